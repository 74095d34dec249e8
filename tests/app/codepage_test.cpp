#include "app/codepage.h"

#include <gtest/gtest.h>

namespace tolvane {
namespace {

struct Pair {
  const char* utf8;
  std::string codepage;
};

TEST(Codepage, EncodesAsGbkAndKeepsCharactersOutsideIt) {
  const Pair cases[] = {
      {"plain http://a/b.zip", "plain http://a/b.zip"},
      {"下载文件地址路径", "\xCF\xC2\xD4\xD8\xCE\xC4\xBC\xFE\xB5\xD8\xD6\xB7\xC2\xB7\xBE\xB6"},
      {"/home/用户/𠀀", "/home/\xD3\xC3\xBB\xA7/\x95\x32\x82\x36"},
      {"😀€", "\x94\x39\xFC\x36\xA2\xE3"},
  };
  for (const Pair& c : cases) {
    EXPECT_EQ(utf8_to_codepage(c.utf8), c.codepage) << c.utf8;
    EXPECT_EQ(codepage_to_utf8(c.codepage), c.utf8) << c.utf8;
  }
}

TEST(Codepage, BadBytesBecomeReplacementCharactersAndTheRestSurvives) {
  const Pair cases[] = {
      {"a\xEF\xBF\xBD"
       "b",
       "a\x80"
       "b"},                                             // 0x80 starts no character
      {"a\xEF\xBF\xBD", "a\xFF"},                        // 0xFF neither
      {"\xEF\xBF\xBD", "\xB5"},                          // lead byte at the end
      {"\xEF\xBF\xBD\n\xE4\xB8\x8B", "\xB5\n\xCF\xC2"},  // lead byte before LF, then 下
  };
  for (const Pair& c : cases) EXPECT_EQ(codepage_to_utf8(c.codepage), c.utf8);
  EXPECT_EQ(codepage_to_utf8(std::string("x\0y", 3)), std::string("x\0y", 3));

  // Invalid UTF-8 never stops the encoder: each bad byte costs one replacement character.
  EXPECT_EQ(codepage_to_utf8(utf8_to_codepage("a\xC3"
                                              "b\xFF")),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
}

}  // namespace
}  // namespace tolvane
