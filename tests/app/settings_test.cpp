#include "app/settings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "app/codepage.h"
#include "test_files.h"

namespace tolvane {
namespace {

using testing::ScratchFolder;

// GBK bytes of the two keys.
const std::string gbk_address_key = "\xCF\xC2\xD4\xD8\xCE\xC4\xBC\xFE\xB5\xD8\xD6\xB7\xC2\xB7\xBE\xB6";
const std::string gbk_folder_key = utf8_to_codepage(key_save_folder);

TEST(Paths, RunDirectoryJoinsWithOneSeparator) {
  const struct {
    const char* set;
    const char* directory;
    const char* ini;
    const char* txt;
  } cases[] = {
      {"/", "/", "/Tolvane.INI", "/Tolvane.TXT"},
      {"/opt/tolvane", "/opt/tolvane", "/opt/tolvane/Tolvane.INI", "/opt/tolvane/Tolvane.TXT"},
      {"/opt/tolvane/", "/opt/tolvane", "/opt/tolvane/Tolvane.INI", "/opt/tolvane/Tolvane.TXT"},
  };
  for (const auto& c : cases) {
    set_run_directory(c.set);
    EXPECT_EQ(run_directory(), c.directory);
    EXPECT_EQ(settings_file_path(), c.ini);
    EXPECT_EQ(address_file_path(), c.txt);
  }
}

TEST(Paths, ExecutableDirectoryHoldsThisProgram) {
  const std::string directory = executable_directory();
  ASSERT_FALSE(directory.empty());
  EXPECT_NE(directory.back(), '/');
  EXPECT_TRUE(std::filesystem::exists(directory + "/test_app"));
}

// Hand-written files: both line-end styles, names in any letter case, blanks, quotes, comments,
// unknown lines, the same key in another section or before any section.
TEST(IniGet, ReadsHandWrittenFiles) {
  for (const std::string end : {"\r\n", "\n"}) {
    std::string file;
    for (const char* line :
         {"folder=outside", "; comment=no", "[Other]", "folder=other", "  [ tolVANE ]  ", "junk line",
          ";folder=commented", "  FOLDER  =  /data/下载  ", "q1=\"  spaced  \"", "q2='x'", "q3=\"unbalanced",
          "empty=", "folder=second", "[Last]"}) {
      file.append(line).append(end);
    }
    file += "tail=1";  // no line end at the end of the file
    const std::string bytes = utf8_to_codepage(file);
    const struct {
      const char* section;
      const char* key;
      const char* value;
    } cases[] = {
        {"Tolvane", "folder", "/data/下载"}, {"TOLVANE", " Folder ", "/data/下载"},
        {"Tolvane", "q1", "  spaced  "},     {"Tolvane", "q2", "x"},
        {"Tolvane", "q3", "\"unbalanced"},   {"Tolvane", "empty", ""},
        {"Tolvane", "junk line", ""},        {"Tolvane", "tail", ""},
        {"Other", "folder", "other"},        {"Last", "tail", "1"},
        {"Missing", "folder", ""},           {"Tolvane", "missing", ""},
    };
    for (const auto& c : cases) {
      EXPECT_EQ(codepage_to_utf8(ini_get(bytes, c.section, utf8_to_codepage(c.key))), c.value)
          << c.section << "/" << c.key << " with line end " << (end.size() == 2 ? "CR LF" : "LF");
    }
  }
}

TEST(IniGet, CaseFoldingNeverJoinsTwoDifferentCharacters) {
  // 0xB5 0x41 and 0xB5 0x61 are two different characters whose trail bytes differ only in case;
  // ']' (0x5D) can be a trail byte inside a section name.
  const std::string file = "[\xB5\x5D]\r\n\xB5\x41=upper\r\n\xB5\x61=lower\r\n";
  EXPECT_EQ(ini_get(file, "\xB5\x5D", "\xB5\x61"), "lower");
  EXPECT_EQ(ini_get(file, "\xB5\x5D", "\xB5\x41"), "upper");
}

TEST(IniGet, LongValueIsCutAtACharacterBoundary) {
  const std::string two_byte = "\xCF\xC2";
  const std::string four_byte = "\x95\x32\x82\x36";
  const struct {
    std::string value;
    std::size_t kept;
  } cases[] = {
      {std::string(10239, 'a'), 10239},
      {std::string(10240, 'a'), 10239},
      {std::string(10238, 'a') + two_byte, 10238},
      {std::string(10237, 'a') + two_byte, 10239},
      {std::string(10237, 'a') + four_byte, 10237},
      {std::string(10235, 'a') + four_byte + "b", 10239},
  };
  for (const auto& c : cases) {
    const std::string got = ini_get("[Tolvane]\r\nk=" + c.value + "\r\n", "Tolvane", "k");
    EXPECT_EQ(got, c.value.substr(0, c.kept)) << c.value.size();
  }
}

TEST(IniSet, ChangesOnlyTheLineItWrites) {
  const struct {
    const char* name;
    std::string before;
    const char* key;
    const char* value;
    std::string after;
  } cases[] = {
      {"new file", "", "k", "v", "[Tolvane]\r\nk=v\r\n"},
      {"second key", "[Tolvane]\r\nk=v\r\n", "j", "w", "[Tolvane]\r\nk=v\r\nj=w\r\n"},
      {"rewrite keeps the rest", "; top\r\n[Tolvane]\r\n junk\r\n;c\r\n  K = old \r\nj=w\r\n[B]\r\nk=b\r\n",
       "k", "new", "; top\r\n[Tolvane]\r\n junk\r\n;c\r\nk=new\r\nj=w\r\n[B]\r\nk=b\r\n"},
      {"rewrite keeps an LF line end", "[tolvane]\nk=old\nj=w", "k", "", "[tolvane]\nk=\nj=w"},
      {"new key before the section's trailing blank lines", "[Tolvane]\r\nk=v\r\n\r\n[B]\r\n", "j", "w",
       "[Tolvane]\r\nk=v\r\nj=w\r\n\r\n[B]\r\n"},
      {"new key after a last line without line end", "[Tolvane]\r\nk=v", "j", "w",
       "[Tolvane]\r\nk=v\r\nj=w\r\n"},
      {"section appended after a missing line end", "[B]\r\nx=1", "k", "v",
       "[B]\r\nx=1\r\n[Tolvane]\r\nk=v\r\n"},
      {"value the reader would change is quoted", "", "k", " a'", "[Tolvane]\r\nk=\" a'\"\r\n"},
  };
  for (const auto& c : cases) {
    const std::string after = ini_set(c.before, "Tolvane", c.key, c.value);
    EXPECT_EQ(after, c.after) << c.name;
    EXPECT_EQ(ini_get(after, "Tolvane", c.key), c.value) << c.name;
  }
}

TEST(IniSet, EveryValueReadsBackAsWritten) {
  for (const char* value : {"", "  both ends  ", "'single'", "\"double\"", "\"", "a=b;c", "\tx"}) {
    EXPECT_EQ(ini_get(ini_set("", "Tolvane", "k", value), "Tolvane", "k"), value) << value;
  }
}

class SettingsFile : public ScratchFolder {};

TEST_F(SettingsFile, FirstWritesGiveExactBytes) {
  EXPECT_EQ(read_setting(key_save_folder), "");
  EXPECT_FALSE(std::filesystem::exists(settings_file_path()));

  write_setting(key_address_file, "/a/Tolvane.TXT");
  EXPECT_EQ(take(settings_file_path()), "[Tolvane]\r\n" + gbk_address_key + "=/a/Tolvane.TXT\r\n");
  write_setting(key_save_folder, "/d");
  EXPECT_EQ(take(settings_file_path()),
            "[Tolvane]\r\n" + gbk_address_key + "=/a/Tolvane.TXT\r\n" + gbk_folder_key + "=/d\r\n");
  EXPECT_EQ(entries(), 1u);  // no temporary file left behind
}

TEST_F(SettingsFile, FolderOutsideGbkSurvivesTheRoundTrip) {
  const std::string folder = "/home/用户/𠀀 😀";
  write_setting(key_save_folder, folder);
  EXPECT_EQ(read_setting(key_save_folder), folder);
  write_setting(key_save_folder, "");
  EXPECT_EQ(read_setting(key_save_folder), "");
}

TEST_F(SettingsFile, HandWrittenFileWithLfOnly) {
  put(settings_file_path(), "[tolvane]\n" + gbk_folder_key + " = \"/srv/x \"\n");
  EXPECT_EQ(read_setting(key_save_folder), "/srv/x ");
}

TEST_F(SettingsFile, ValueWithALineBreakIsNotWritten) {
  write_setting(key_save_folder, "/ok");
  const std::string before = take(settings_file_path());
  write_setting(key_save_folder, "/a\n[Tolvane]\nx=y");
  EXPECT_EQ(take(settings_file_path()), before);
}

TEST_F(SettingsFile, SymbolicLinkIsKeptAndItsTargetWritten) {
  put(path("real.ini"), "");
  std::filesystem::create_symlink(path("real.ini"), settings_file_path());
  write_setting(key_save_folder, "/d");
  EXPECT_TRUE(std::filesystem::is_symlink(settings_file_path()));
  EXPECT_EQ(take(path("real.ini")), "[Tolvane]\r\n" + gbk_folder_key + "=/d\r\n");
}

// Unusable places for the file: reads give empty, writes are lost silently and harm nothing.
TEST_F(SettingsFile, BadPlacesReadEmptyAndNeverBreak) {
  std::filesystem::create_directory(settings_file_path());  // a directory where the file should be
  EXPECT_EQ(read_setting(key_save_folder), "");
  write_setting(key_save_folder, "/d");
  EXPECT_TRUE(std::filesystem::is_directory(settings_file_path()));
  EXPECT_EQ(entries(), 1u);

  put(path("file"), "x");
  set_run_directory(path("file"));  // the folder is a regular file
  write_setting(key_save_folder, "/d");
  EXPECT_EQ(read_setting(key_save_folder), "");
  EXPECT_EQ(take(path("file")), "x");

  set_run_directory(dir_.string());
  std::filesystem::remove(settings_file_path());
  put(settings_file_path(), std::string("\0\xFF\x81[Tolvane\r\n\x1A=", 15) + std::string(4096, '\x80'));
  EXPECT_EQ(read_setting(key_save_folder), "");
}

// A write that fails half-way (here: the file size limit) leaves the old file whole.
TEST_F(SettingsFile, FailedWriteLeavesTheOldFileWhole) {
  write_setting(key_save_folder, "/old");
  const std::string before = take(settings_file_path());

  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  write_setting(key_save_folder, std::string(8000, 'n'));
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);

  EXPECT_EQ(take(settings_file_path()), before);
  EXPECT_EQ(read_setting(key_save_folder), "/old");
  EXPECT_EQ(entries(), 1u);
}

}  // namespace
}  // namespace tolvane
