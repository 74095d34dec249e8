#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/codepage.h"
#include "app/settings.h"
#include "test_files.h"

namespace tolvane {
namespace {

using Lines = std::vector<std::string>;
using testing::ScratchFolder;

std::string bytes(const char* text, std::size_t size) { return std::string(text, size); }

TEST(SplitAddressBytes, LineRules) {
  const std::string long_line(5000, 'x');
  const struct {
    const char* name;
    std::string file;
    Lines lines;
  } cases[] = {
      {"empty file", "", {}},
      {"CR LF, blank line dropped, no final line end", "a\r\n\r\nb", {"a", "b"}},
      {"LF only", "a\n\nb\n", {"a", "b"}},
      {"CR CR LF keeps one CR", "a\r\r\nb\r\n", {"a\r", "b"}},
      {"CR inside a line stays", "a\rb\r\n", {"a\rb"}},
      {"line of spaces stays", "   \r\n", {"   "}},
      {"NUL ends the text", bytes("a\r\nb\0c\r\nd", 9), {"a", "b"}},
      {"0x1A ends the text",
       "a\r\nb\r\n\x1A"
       "c\r\n",
       {"a", "b"}},
      {"lead byte takes the LF after it", "a\x81\nb\nc", {"a\x81\nb", "c"}},
      {"lead byte takes 0x1A after it",
       "\xB5\x1A"
       "b\n",
       {"\xB5\x1A"
        "b"}},
      {"lead byte before NUL stays last", bytes("a\xB5\0b\n", 5), {"a\xB5"}},
      {"lead byte at the end of the file", "a\nb\xB5", {"a", "b\xB5"}},
      {"two-byte characters", "\xCF\xC2\xD4\xD8\r\n", {"\xCF\xC2\xD4\xD8"}},
      {"long line read whole", long_line + "\r\n" + long_line, {long_line, long_line}},
  };
  for (const auto& c : cases) EXPECT_EQ(split_address_bytes(c.file), c.lines) << c.name;
}

class AddressFile : public ScratchFolder {};

TEST_F(AddressFile, WrittenBytesAndTheListKey) {
  write_address_file({"A", "B"});
  EXPECT_EQ(take(address_file_path()), "A\r\nB\r\n");
  write_address_file({"C"});
  EXPECT_EQ(take(address_file_path()), "C\r\n");
  EXPECT_EQ(read_setting(key_address_file), address_file_path());

  const Lines items = {"http://h/下载.zip", " ftp://h/𠀀 "};
  write_address_file(items);
  EXPECT_EQ(take(address_file_path()),
            utf8_to_codepage(items[0]) + "\r\n" + utf8_to_codepage(items[1]) + "\r\n");
  EXPECT_EQ(read_address_lines(read_setting(key_address_file)), items);
  EXPECT_EQ(entries(), 2u);  // the two files, no temporary left
}

TEST_F(AddressFile, KeyIsWrittenEvenWhenTheListCannotBe) {
  std::filesystem::create_directory(address_file_path());
  write_address_file({"A"});
  EXPECT_TRUE(std::filesystem::is_directory(address_file_path()));
  EXPECT_EQ(read_setting(key_address_file), address_file_path());
}

TEST_F(AddressFile, ListIsReadFromWhereTheKeyPoints) {
  put(path("elsewhere.txt"), "x\r\n");
  put(address_file_path(), "beside\r\n");
  write_setting(key_address_file, path("elsewhere.txt"));
  EXPECT_EQ(read_address_lines(read_setting(key_address_file)), Lines{"x"});
}

// Nothing readable, or nothing sensible: empty or partial results, never a crash or a hang.
TEST_F(AddressFile, BadFilesReadEmptyOrPartial) {
  EXPECT_TRUE(read_address_lines("").empty());
  EXPECT_TRUE(read_address_lines(path("missing.txt")).empty());
  EXPECT_TRUE(read_address_lines(dir_.string()).empty());
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  EXPECT_TRUE(read_address_lines(path("fifo")).empty());  // no writer: must not block
  put(path("file"), "x");
  EXPECT_TRUE(read_address_lines(path("file") + "/Tolvane.TXT").empty());

  std::mt19937 random(7);
  std::string binary(1 << 16, '\0');
  for (char& c : binary) c = static_cast<char>(random() % 255 + 1);  // no NUL: read it all
  put(path("binary"), binary);
  const Lines lines = read_address_lines(path("binary"));
  EXPECT_FALSE(lines.empty());
  for (const std::string& line : lines) EXPECT_FALSE(line.empty());
}

TEST_F(AddressFile, LargeFileReadsWhole) {
  const std::string line = "http://example.com/files/archive-part.zip\r\n";
  const std::size_t count = std::size_t{20} * 1024 * 1024 / line.size();
  std::string file;
  file.reserve(count * line.size() + 16);
  for (std::size_t i = 0; i < count; ++i) file += line;
  file += "\xCF\xC2";  // a last line without line end
  put(path("big.txt"), file);
  const Lines lines = read_address_lines(path("big.txt"));
  ASSERT_EQ(lines.size(), count + 1);
  EXPECT_EQ(lines.front(), "http://example.com/files/archive-part.zip");
  EXPECT_EQ(lines.back(), "下");
}

}  // namespace
}  // namespace tolvane
