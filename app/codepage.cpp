#include "app/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

namespace tolvane {
namespace {

// One converter per direction and thread, opened on first use and reset before every conversion:
// the list file converts one line at a time, and opening a converter per line would dominate.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (valid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // iconv_open reports failure as (iconv_t)-1.
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }  // NOLINT(performance-no-int-to-ptr)

  // Converts `in`. A byte sequence the source encoding rejects (invalid, or cut short at the end)
  // costs one input byte, which is replaced by `replacement` in the output; conversion goes on
  // with the next byte. So no input ever stops or breaks the conversion, and every valid
  // character around a bad byte survives.
  std::string convert(std::string_view in, std::string_view replacement) {
    std::string out;
    if (!valid()) return out;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    out.resize(in.size() * 2 + 16);
    // iconv takes a non-const input pointer but never writes through it.
    char* src = const_cast<char*>(in.data());
    std::size_t src_left = in.size();
    std::size_t used = 0;
    while (src_left > 0) {
      char* dst = out.data() + used;
      std::size_t dst_left = out.size() - used;
      const std::size_t rc = iconv(cd_, &src, &src_left, &dst, &dst_left);
      used = out.size() - dst_left;
      if (rc != static_cast<std::size_t>(-1)) break;
      if (errno == E2BIG) {
        out.resize(out.size() * 2);
        continue;
      }
      // EILSEQ or EINVAL: skip one byte, put the replacement in its place.
      if (out.size() - used < replacement.size()) out.resize(out.size() * 2 + replacement.size());
      std::copy(replacement.begin(), replacement.end(), out.begin() + static_cast<std::ptrdiff_t>(used));
      used += replacement.size();
      ++src;
      --src_left;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    // Flush any shift state (none for these encodings, but harmless).
    for (;;) {
      char* dst = out.data() + used;
      std::size_t dst_left = out.size() - used;
      const std::size_t rc = iconv(cd_, nullptr, nullptr, &dst, &dst_left);
      used = out.size() - dst_left;
      if (rc != static_cast<std::size_t>(-1) || errno != E2BIG) break;
      out.resize(out.size() * 2);
    }
    out.resize(used);
    return out;
  }

 private:
  iconv_t cd_;
};

bool is_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// U+FFFD in UTF-8 and in GB18030.
constexpr std::string_view replacement_utf8 = "\xEF\xBF\xBD";
constexpr std::string_view replacement_gb18030 = "\x84\x31\xA4\x37";

}  // namespace

// ASCII is the same in UTF-8 and in the code page, so plain ASCII text is passed through.
// Invalid UTF-8 bytes are encoded as U+FFFD, one per bad byte.
std::string utf8_to_codepage(std::string_view utf8) {
  if (is_ascii(utf8)) return std::string(utf8);
  thread_local Converter converter("GB18030", "UTF-8");
  return converter.convert(utf8, replacement_gb18030);
}

// Decoding uses GB18030, a superset of GBK, so files written by other GBK tools read the same.
// A byte that starts no valid character (a lone lead byte, 0x80, 0xFF, a lead byte followed by a
// byte that cannot follow it) becomes U+FFFD, one per byte, and decoding resumes after it.
std::string codepage_to_utf8(std::string_view bytes) {
  if (is_ascii(bytes)) return std::string(bytes);
  thread_local Converter converter("UTF-8", "GB18030");
  return converter.convert(bytes, replacement_utf8);
}

}  // namespace tolvane
