#include "app/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <random>

#include "app/codepage.h"

namespace tolvane {
namespace {

// ---------------------------------------------------------------------------------------------
// Directories and paths

std::optional<std::string>& stored_run_directory() {
  static std::optional<std::string> directory;
  return directory;
}

// Joins a directory and a file name with one separator. The root directory is the one directory
// name that ends in a separator; an empty directory means the current one.
std::string join_path(const std::string& directory, std::string_view name) {
  std::string path = directory;
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

// ---------------------------------------------------------------------------------------------
// Plain file access

struct FileDescriptor {
  int fd = -1;
  explicit FileDescriptor(int f) : fd(f) {}
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
};

enum class ReadResult { ok, missing, failed };

// Reads a whole regular file. Anything else (a directory, a FIFO, a device) counts as failed,
// and is never read from: opening is non-blocking so a FIFO cannot stall us. On a read error
// `bytes` holds what was read before it.
ReadResult read_regular_file(const std::string& path, std::string& bytes) {
  bytes.clear();
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (file.fd < 0) return errno == ENOENT ? ReadResult::missing : ReadResult::failed;
  struct stat info {};
  if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) return ReadResult::failed;
  if (info.st_size > 0) bytes.reserve(static_cast<std::size_t>(info.st_size));
  constexpr std::size_t chunk = 1 << 20;
  std::size_t used = 0;
  for (;;) {
    bytes.resize(used + chunk);
    const ssize_t got = ::read(file.fd, bytes.data() + used, chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      bytes.resize(used);
      return ReadResult::failed;
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  bytes.resize(used);
  return ReadResult::ok;
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

// Replaces the file at `path` by `bytes`, all or nothing: the bytes go into a new file in the same
// folder, which is flushed to disk and then renamed over the old one. On any failure the old file
// is left whole and the new one removed. A symbolic link at `path` is kept and its target replaced.
bool replace_file(const std::string& path, std::string_view bytes) {
  std::string target = path;
  struct stat link_info {};
  if (::lstat(path.c_str(), &link_info) == 0 && S_ISLNK(link_info.st_mode)) {
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
      target = resolved;
      std::free(resolved);
    }
  }
  const std::size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

  // The new file keeps the old file's permissions; a first file gets the usual 0666 minus umask.
  struct stat old_info {};
  const bool had_old = ::stat(target.c_str(), &old_info) == 0;
  if (had_old && !S_ISREG(old_info.st_mode)) return false;

  static std::atomic<unsigned> counter{0};
  std::random_device random;
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temporary =
        join_path(folder, "." + base + "." + std::to_string(::getpid()) + "." +
                              std::to_string(counter.fetch_add(1)) + "." + std::to_string(random()) + ".tmp");
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;

  bool ok = write_all(fd, bytes);
  if (ok && had_old) ok = ::fchmod(fd, old_info.st_mode & 07777) == 0 || errno == EPERM;
  if (ok) ok = ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok) ok = ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  // Make the rename itself durable.
  FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.fd >= 0) ::fsync(directory.fd);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Code-page text helpers. In code page 936 a byte of 0x80 or above starts a character of two
// bytes (GB18030 adds four-byte characters, whose second and fourth bytes are the digits 0x30 to
// 0x39). A trail byte may be any of 0x40 to 0xFE, so ']' or a letter can sit inside a character.

bool is_lead(char c) { return static_cast<unsigned char>(c) >= 0x80; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Length of the character at `pos`: 1, 2 or 4 bytes, never past the end of the text.
std::size_t char_length(std::string_view text, std::size_t pos) {
  const std::size_t left = text.size() - pos;
  if (!is_lead(text[pos]) || left < 2) return 1;
  if (is_digit(text[pos + 1]) && left >= 4 && is_lead(text[pos + 2]) && is_digit(text[pos + 3])) return 4;
  return 2;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Blanks are plain ASCII bytes that are never part of a character of the code page, so they can be
// cut from both ends byte by byte.
std::string_view trim(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Names match without regard to the case of ASCII letters; the bytes of a two-byte character are
// compared exactly, so two different characters whose trail bytes differ only in case never match.
bool names_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (is_lead(a[i])) {
      if (a[i] != b[i]) return false;
      if (i + 1 < a.size()) {
        ++i;
        if (a[i] != b[i]) return false;
      }
    } else if (ascii_lower(a[i]) != ascii_lower(b[i])) {
      return false;
    }
  }
  return true;
}

// Position of the first `wanted` ASCII byte that stands outside any multi-byte character.
std::size_t find_ascii(std::string_view text, char wanted) {
  for (std::size_t i = 0; i < text.size(); i += char_length(text, i)) {
    if (text[i] == wanted) return i;
  }
  return std::string_view::npos;
}

// Cuts a value to at most max_setting_bytes, at a character boundary.
std::string_view cut_value(std::string_view value) {
  if (value.size() <= max_setting_bytes) return value;
  std::size_t end = 0;
  while (end < value.size()) {
    const std::size_t next = end + char_length(value, end);
    if (next > max_setting_bytes) break;
    end = next;
  }
  return value.substr(0, end);
}

// ---------------------------------------------------------------------------------------------
// INI text

struct Line {
  std::size_t begin = 0;  // first byte of the line
  std::size_t end = 0;    // end of its content, before CR LF or LF
  std::size_t next = 0;   // first byte after its line end
  std::string_view text;  // the content
};

std::vector<Line> split_ini_lines(std::string_view bytes) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::size_t lf = bytes.find('\n', pos);
    Line line;
    line.begin = pos;
    line.next = lf == std::string_view::npos ? bytes.size() : lf + 1;
    line.end = lf == std::string_view::npos ? bytes.size() : lf;
    if (line.end > line.begin && bytes[line.end - 1] == '\r') --line.end;
    line.text = bytes.substr(line.begin, line.end - line.begin);
    lines.push_back(line);
    pos = line.next;
  }
  return lines;
}

// The name of a section header line, or nothing when the line is no header.
std::optional<std::string_view> section_name(std::string_view line) {
  const std::string_view text = trim(line);
  if (text.empty() || text.front() != '[') return std::nullopt;
  const std::string_view inner = text.substr(1);
  const std::size_t close = find_ascii(inner, ']');
  if (close == std::string_view::npos) return std::nullopt;
  return trim(inner.substr(0, close));
}

struct KeyValue {
  std::string_view key;
  std::string_view value;
};

// The key and value of a key=value line; comment lines (;) and lines without '=' have none.
std::optional<KeyValue> key_value(std::string_view line) {
  const std::string_view text = trim(line);
  if (text.empty() || text.front() == ';') return std::nullopt;
  const std::size_t equals = find_ascii(text, '=');
  if (equals == std::string_view::npos) return std::nullopt;
  return KeyValue{trim(text.substr(0, equals)), trim(text.substr(equals + 1))};
}

std::string_view unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// A value that the reader would change (blanks at its ends, or a pair of matching quotes around it)
// is written inside quotes, which the reader removes again, so every value reads back as written.
std::string quote_if_needed(std::string_view value) {
  if (value.empty()) return {};
  const bool blanks = is_blank(value.front()) || is_blank(value.back());
  if (blanks || unquote(value).size() != value.size()) return "\"" + std::string(value) + "\"";
  return std::string(value);
}

// Index range [first, last) of the lines of the first section with the name; first is its header.
struct SectionRange {
  std::size_t header = 0;
  std::size_t end = 0;
};

std::optional<SectionRange> find_section(const std::vector<Line>& lines, std::string_view section) {
  const std::string_view wanted = trim(section);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto name = section_name(lines[i].text);
    if (!name || !names_equal(*name, wanted)) continue;
    std::size_t end = i + 1;
    while (end < lines.size() && !section_name(lines[end].text)) ++end;
    return SectionRange{i, end};
  }
  return std::nullopt;
}

// What completes the last line of the text when it has no line end: LF after a lone CR, else CR LF.
std::string_view line_end_needed(std::string_view text) {
  if (text.empty() || text.back() == '\n') return {};
  return text.back() == '\r' ? "\n" : "\r\n";
}

bool has_line_break(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// ---------------------------------------------------------------------------------------------
// Address list

std::string address_bytes(const std::vector<std::string>& items) {
  std::string bytes;
  for (const std::string& item : items) {
    bytes += utf8_to_codepage(item);
    bytes += "\r\n";
  }
  return bytes;
}

}  // namespace

std::string run_directory() {
  auto& stored = stored_run_directory();
  if (!stored) stored = executable_directory();
  return *stored;
}

void set_run_directory(std::string directory) {
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  stored_run_directory() = std::move(directory);
}

std::string executable_directory() {
  std::string path(PATH_MAX, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) return ".";
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      break;
    }
    path.resize(path.size() * 2);
  }
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string settings_file_path() { return join_path(run_directory(), "Tolvane.INI"); }
std::string address_file_path() { return join_path(run_directory(), "Tolvane.TXT"); }

std::string ini_get(std::string_view file_bytes, std::string_view section, std::string_view key) {
  const std::vector<Line> lines = split_ini_lines(file_bytes);
  const auto range = find_section(lines, section);
  if (!range) return {};
  const std::string_view wanted = trim(key);
  for (std::size_t i = range->header + 1; i < range->end; ++i) {
    const auto entry = key_value(lines[i].text);
    if (entry && names_equal(entry->key, wanted)) return std::string(cut_value(unquote(entry->value)));
  }
  return {};
}

std::string ini_set(std::string_view file_bytes, std::string_view section, std::string_view key,
                    std::string_view value) {
  const std::string new_line = std::string(trim(key)) + "=" + quote_if_needed(value);
  const std::vector<Line> lines = split_ini_lines(file_bytes);
  const auto range = find_section(lines, section);
  std::string out;
  out.reserve(file_bytes.size() + new_line.size() + section.size() + 8);

  if (!range) {
    out = file_bytes;
    out += line_end_needed(file_bytes);
    out += "[" + std::string(trim(section)) + "]\r\n" + new_line + "\r\n";
    return out;
  }

  const std::string_view wanted = trim(key);
  for (std::size_t i = range->header + 1; i < range->end; ++i) {
    const auto entry = key_value(lines[i].text);
    if (!entry || !names_equal(entry->key, wanted)) continue;
    // Replace the line's content; its own line end and every other byte stay.
    out.append(file_bytes.substr(0, lines[i].begin));
    out += new_line;
    out.append(file_bytes.substr(lines[i].end));
    return out;
  }

  // A new key goes after the last non-blank line of the section.
  std::size_t last = range->header;
  for (std::size_t i = range->header + 1; i < range->end; ++i) {
    if (!trim(lines[i].text).empty()) last = i;
  }
  const Line& after = lines[last];
  out.append(file_bytes.substr(0, after.next));
  if (after.next == file_bytes.size()) out += line_end_needed(file_bytes);
  out += new_line + "\r\n";
  out.append(file_bytes.substr(after.next));
  return out;
}

std::string read_setting(std::string_view key) {
  std::string bytes;
  if (read_regular_file(settings_file_path(), bytes) != ReadResult::ok) return {};
  return codepage_to_utf8(ini_get(bytes, settings_section, utf8_to_codepage(key)));
}

void write_setting(std::string_view key, std::string_view value) {
  // A key or value holding a line break cannot be stored in a line; writing it would add stray
  // lines to the file, so such a write is dropped like any other failed write.
  if (has_line_break(key) || has_line_break(value) || trim(key).empty() || key.find('=') != key.npos) return;
  const std::string path = settings_file_path();
  std::string old_bytes;
  // An existing file that cannot be read is never replaced: its content would be lost.
  if (read_regular_file(path, old_bytes) == ReadResult::failed) return;
  const std::string new_bytes =
      ini_set(old_bytes, settings_section, utf8_to_codepage(key), utf8_to_codepage(value));
  if (new_bytes == old_bytes) return;
  replace_file(path, new_bytes);
}

std::vector<std::string> split_address_bytes(std::string_view bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  auto finish = [&](std::size_t end) {
    std::string_view line = bytes.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
  };
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const char c = bytes[i];
    if (c == '\0' || c == '\x1A') {  // end of the text
      finish(i);
      return lines;
    }
    if (c == '\n') {
      finish(i);
      start = ++i;
    } else if (is_lead(c)) {
      if (i + 1 < n && bytes[i + 1] == '\0') {  // a lead byte before NUL stays as the line's last byte
        finish(i + 1);
        return lines;
      }
      i += i + 1 < n ? 2 : 1;
    } else {
      ++i;
    }
  }
  finish(n);
  return lines;
}

std::vector<std::string> read_address_lines(std::string_view path) {
  if (path.empty()) return {};
  std::string bytes;
  const ReadResult result = read_regular_file(std::string(path), bytes);
  if (result == ReadResult::missing) return {};
  if (result == ReadResult::failed) {
    // Only the lines completed before a read error count.
    const std::size_t last_lf = bytes.rfind('\n');
    bytes.resize(last_lf == std::string::npos ? 0 : last_lf + 1);
  }
  std::vector<std::string> lines = split_address_bytes(bytes);
  bytes.clear();
  bytes.shrink_to_fit();
  for (std::string& line : lines) line = codepage_to_utf8(line);
  return lines;
}

void write_address_file(const std::vector<std::string>& items) {
  replace_file(address_file_path(), address_bytes(items));
  write_setting(key_address_file, address_file_path());
}

}  // namespace tolvane
