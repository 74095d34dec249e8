// The progress and speed display of the file being fetched.
#pragma once

#include <cstdint>
#include <string>

namespace tolvane {

// Every 100 ms while a batch runs: percentage, bar, KB received and size on disk, target folder.
void refresh_progress();
// Every second while a batch runs: KB received during the last second.
void refresh_speed();

// Half away from zero after adding 1e-12 to the magnitude.
double round_to_whole(double x);
// Plain decimal digits of a whole number, with "-" when negative.
std::string whole_text(double whole);
// Size in bytes of the file at the path; -1 when there is none (an empty path or one ending in the
// separator finds nothing). 64-bit, so files over 2 GiB show their true size.
std::int64_t file_size_on_disk(const std::string& path);

}  // namespace tolvane
