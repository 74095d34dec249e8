// Conversion between UTF-8 in memory and the code page 936 bytes of the program's files.
// GB18030 is used for encoding: the same bytes as GBK for every GBK character, and nothing lost.
#pragma once

#include <string>
#include <string_view>

namespace tolvane {

std::string utf8_to_codepage(std::string_view utf8);
std::string codepage_to_utf8(std::string_view bytes);

}  // namespace tolvane
