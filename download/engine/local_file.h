// Creating the local file: exclusively (an existing file is never overwritten, even by a
// same-name race), at its full size from the start.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tolvane::engine {

enum class CreateResult { created, bad_name, disk, declined };

struct CreatedFile {
  CreateResult result = CreateResult::disk;
  int fd = -1;
  std::string path;  // folder + final name
  int error = 0;     // errno of the failure
};

// Creates `folder` + `name` with O_EXCL and gives it `size` bytes. When the name is taken,
// `ask_rename(existing_size)` is asked once; true walks the series name(1), name(2)... (at most
// 99 names). `folder` is used as given ("" or ending in "/").
CreatedFile create_local_file(const std::string& folder, const std::string& name, std::int64_t size,
                              const std::function<bool(std::int64_t)>& ask_rename);

// Gives an open file its full size: preallocated where the file system can, else by extension.
// Returns 0 or an errno.
int allocate_full_size(int fd, std::int64_t size);

}  // namespace tolvane::engine
