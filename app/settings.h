// The two files beside the program: the settings file (INI) and the address list file.
// Texts are UTF-8 in memory and code page 936 (encoded as GB18030) on disk.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

inline constexpr std::string_view settings_section = "Tolvane";
inline constexpr std::string_view key_address_file = "下载文件地址路径";
inline constexpr std::string_view key_save_folder = "保存下载文件夹路径";

// Longest value read_setting gives, in code-page bytes (a buffer of 10240 with its terminator).
inline constexpr std::size_t max_setting_bytes = 10239;

// The program file's directory, never ending in a separator (set by the platform at start-up).
std::string run_directory();
void set_run_directory(std::string directory);
// The directory of the running executable, as the platform reports it.
std::string executable_directory();

std::string settings_file_path();  // run_directory + "/Tolvane.INI"
std::string address_file_path();   // run_directory + "/Tolvane.TXT"

// The value of the key in section "Tolvane" of the settings file; empty when absent.
std::string read_setting(std::string_view key);
// Sets key=value in section "Tolvane", creating the file and the section when missing. The file is
// replaced atomically; a failed write is lost silently.
void write_setting(std::string_view key, std::string_view value);

// The non-empty lines of the list file at the path; empty when the path is empty or unreadable.
std::vector<std::string> read_address_lines(std::string_view path);
// Writes the list file at address_file_path (each item followed by CR LF) and records that path
// under key_address_file, the latter also when the file could not be written.
void write_address_file(const std::vector<std::string>& items);

// The byte-level rules, exposed for tests: lines of a list file's raw bytes (before conversion).
std::vector<std::string> split_address_bytes(std::string_view bytes);
// Reading and rewriting INI text (code-page bytes) in memory.
std::string ini_get(std::string_view file_bytes, std::string_view section, std::string_view key);
std::string ini_set(std::string_view file_bytes, std::string_view section, std::string_view key,
                    std::string_view value);

}  // namespace tolvane
