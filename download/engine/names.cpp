#include "download/engine/names.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace tolvane::engine {

namespace {

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

std::string decode_escapes(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 && hex_value(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

}  // namespace

std::string strip_line_breaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != '\r' && c != '\n') out.push_back(c);
  return out;
}

std::optional<Address> parse_address(std::string_view text) {
  const auto sep = text.find("://");
  if (sep == std::string_view::npos) return std::nullopt;
  const std::string_view scheme = text.substr(0, sep);
  Address a;
  if (iequals(scheme, "http")) {
    a.scheme = Scheme::http;
  } else if (iequals(scheme, "https")) {
    a.scheme = Scheme::https;
  } else if (iequals(scheme, "ftp")) {
    a.scheme = Scheme::ftp;
  } else if (iequals(scheme, "mms") || iequals(scheme, "mmst") || iequals(scheme, "rtsp")) {
    a.scheme = Scheme::streaming;
  } else {
    return std::nullopt;
  }
  for (char c : scheme)
    a.scheme_text.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  const std::string_view rest = text.substr(sep + 3);
  const auto slash = rest.find('/');
  if (slash == std::string_view::npos || slash == 0) return std::nullopt;
  std::string_view host = rest.substr(0, slash);
  a.path = std::string(rest.substr(slash));
  const auto at = host.rfind('@');
  if (at != std::string_view::npos) {
    const std::string_view info = host.substr(0, at);
    host = host.substr(at + 1);
    a.has_userinfo = true;
    const auto colon = info.find(':');
    // In userinfo "+" stands for itself.
    a.user = decode_escapes(info.substr(0, colon));
    if (colon != std::string_view::npos) a.password = decode_escapes(info.substr(colon + 1));
  }
  a.host_port = std::string(host);
  return a;
}

std::string escape_unsafe_bytes(std::string_view text) {
  static const char* const digits = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
        c == '{' || c == '|' || c == '}') {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

std::string request_url(const Address& address) {
  return address.scheme_text + "://" + escape_unsafe_bytes(address.host_port) +
         escape_unsafe_bytes(address.path);
}

std::string percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
      i += 2;
    } else if (c == '+') {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string name_from_path(std::string_view path) {
  const auto end = path.find_first_of("?#");
  if (end != std::string_view::npos) path = path.substr(0, end);
  const auto slash = path.rfind('/');
  if (slash != std::string_view::npos) path = path.substr(slash + 1);
  return percent_decode(path);
}

std::optional<std::string> name_from_disposition(std::string_view value) {
  static constexpr std::string_view key = "filename=";
  std::size_t pos = std::string_view::npos;
  for (std::size_t i = 0; i + key.size() <= value.size(); ++i) {
    if (iequals(value.substr(i, key.size()), key)) {
      pos = i + key.size();
      break;
    }
  }
  if (pos == std::string_view::npos) return std::nullopt;
  std::string_view rest = value.substr(pos);
  if (!rest.empty() && rest.front() == '"') {
    rest.remove_prefix(1);
    const auto close = rest.find('"');
    return std::string(close == std::string_view::npos ? trim(rest) : rest.substr(0, close));
  }
  return std::string(trim(rest));
}

std::string sanitize_name(std::string_view name) {
  const auto sep = name.find_last_of("/\\");
  if (sep != std::string_view::npos) name = name.substr(sep + 1);
  std::string out;
  out.reserve(name.size());
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) continue;
#ifdef _WIN32
    if (c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' || c == '*') continue;
#endif
    out.push_back(ch);
  }
  if (out == "." || out == "..") out.clear();
  return out;
}

std::string next_series_name(std::string_view name) {
  const auto dot = name.find('.');
  std::string_view stem = name.substr(0, dot);
  const std::string_view rest = dot == std::string_view::npos ? std::string_view{} : name.substr(dot);
  int number = 0;
  if (stem.size() >= 3 && stem.back() == ')') {
    const auto open = stem.rfind('(');
    const std::size_t digits = open == std::string_view::npos ? 0 : stem.size() - open - 2;
    if (open != std::string_view::npos && (digits == 1 || digits == 2) &&
        std::all_of(stem.begin() + static_cast<std::ptrdiff_t>(open) + 1, stem.end() - 1,
                    [](char c) { return c >= '0' && c <= '9'; })) {
      number = std::stoi(std::string(stem.substr(open + 1, digits)));
      stem = stem.substr(0, open);
    }
  }
  if (number + 1 > 99) return {};
  return std::string(stem) + "(" + std::to_string(number + 1) + ")" + std::string(rest);
}

std::string default_referer(std::string_view address) {
  const auto slash = address.rfind('/');
  return std::string(slash == std::string_view::npos ? address : address.substr(0, slash));
}

bool has_listed_extension(std::string_view name, std::string_view list) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view ext = name.substr(dot);
  if (ext.size() < 2) return false;
  for (std::size_t i = 0; i + ext.size() <= list.size(); ++i)
    if (iequals(list.substr(i, ext.size()), ext)) return true;
  return false;
}

bool parse_size(std::string_view text, std::int64_t& value) {
  text = trim(text);
  if (text.empty() || text.size() > 18) return false;
  std::int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  value = v;
  return true;
}

bool parse_content_range(std::string_view value, std::int64_t& first, std::int64_t& last,
                         std::int64_t& total) {
  value = trim(value);
  if (value.size() < 6 || !iequals(value.substr(0, 5), "bytes")) return false;
  value = trim(value.substr(5));
  const auto dash = value.find('-');
  const auto slash = value.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) return false;
  if (!parse_size(value.substr(0, dash), first) ||
      !parse_size(value.substr(dash + 1, slash - dash - 1), last))
    return false;
  const std::string_view t = trim(value.substr(slash + 1));
  if (t == "*") {
    total = -1;
  } else if (!parse_size(t, total)) {
    return false;
  }
  return last >= first && (total < 0 || last < total);
}

}  // namespace tolvane::engine
