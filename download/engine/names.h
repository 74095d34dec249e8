// Addresses and local file names: parsing what start_task accepts, deriving a safe file name
// from the server's answer or the address, and the series of names tried when one is taken.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane::engine {

enum class Scheme { http, https, ftp, streaming };

struct Address {
  Scheme scheme = Scheme::http;
  std::string scheme_text;     // lower case
  std::string user, password;  // decoded userinfo (ftp), empty when absent
  bool has_userinfo = false;
  std::string host_port;  // host[:port] without userinfo
  std::string path;       // from the first "/" after the host on, query included
};

// The address with CR and LF dropped.
std::string strip_line_breaks(std::string_view text);

// Parses an address the way start_task accepts it; nullopt for a refusal (unknown scheme, no "/"
// after the host, empty host part).
std::optional<Address> parse_address(std::string_view text);

// The address made safe for the transfer library: bytes outside printable ASCII are
// percent-encoded, userinfo is left out.
std::string request_url(const Address& address);

// Bytes outside printable ASCII, and the characters an address may not carry, percent-encoded.
std::string escape_unsafe_bytes(std::string_view text);

// Percent-decoding of a path segment: "%XX" becomes that byte, "+" a space; a "%" without two
// hexadecimal digits stays as it is.
std::string percent_decode(std::string_view text);

// The last segment of an address path (query and fragment left out), decoded.
std::string name_from_path(std::string_view path);

// The value of "filename=" in a Content-Disposition header; nullopt when there is none.
std::optional<std::string> name_from_disposition(std::string_view header_value);

// A name from the server or the address made safe: everything up to the last "/" or "\" goes,
// control characters go; "." and ".." become empty. Empty means no usable name.
std::string sanitize_name(std::string_view name);

// The next name of the same-name series: setup.exe -> setup(1).exe -> setup(2).exe,
// a.tar.gz -> a(1).tar.gz, README -> README(1). Empty when the number would pass 99.
std::string next_series_name(std::string_view name);

// Referer sent when the task names none: the address up to, not including, its last "/".
std::string default_referer(std::string_view address);

// True when the extension of `name` (from its last ".", dot included) occurs in `list`.
bool has_listed_extension(std::string_view name, std::string_view list);

// Parses "bytes a-b/total" ("total" may be "*", giving -1); false when malformed.
bool parse_content_range(std::string_view value, std::int64_t& first, std::int64_t& last,
                         std::int64_t& total);

// A decimal number without sign; false when malformed or too large.
bool parse_size(std::string_view text, std::int64_t& value);

}  // namespace tolvane::engine
