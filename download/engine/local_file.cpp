#include "download/engine/local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "download/engine/names.h"

namespace tolvane::engine {

namespace {

constexpr std::size_t kNameMax = 255;
constexpr std::size_t kPathMax = PATH_MAX - 1;

bool name_fits(const std::string& folder, const std::string& name) {
  return !name.empty() && name.size() <= kNameMax && folder.size() + name.size() <= kPathMax;
}

int open_exclusive(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

int allocate_full_size(int fd, std::int64_t size) {
  if (size <= 0) return 0;
  int rc = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (rc == 0) return 0;
  if (rc == ENOSPC || rc == EFBIG || rc == EDQUOT) return rc;
  // The file system cannot preallocate: extend the file instead (holes read as zero).
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) return errno;
  return 0;
}

CreatedFile create_local_file(const std::string& folder, const std::string& name, std::int64_t size,
                              const std::function<bool(std::int64_t)>& ask_rename) {
  CreatedFile out;
  if (!name_fits(folder, name)) {
    out.result = CreateResult::bad_name;
    return out;
  }
  std::string current = name;
  std::string path = folder + current;
  int fd = open_exclusive(path);
  if (fd < 0 && errno == EEXIST) {
    struct stat st {};
    const std::int64_t existing = ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
    if (!ask_rename(existing)) {
      out.result = CreateResult::declined;
      return out;
    }
    for (int tries = 0; tries < 99 && fd < 0 && errno == EEXIST; ++tries) {
      current = next_series_name(current);
      if (!name_fits(folder, current)) {
        out.result = CreateResult::bad_name;
        return out;
      }
      path = folder + current;
      fd = open_exclusive(path);
    }
    if (fd < 0 && errno == EEXIST) {
      out.result = CreateResult::bad_name;
      return out;
    }
  }
  if (fd < 0) {
    out.error = errno;
    out.result = errno == ENAMETOOLONG ? CreateResult::bad_name : CreateResult::disk;
    return out;
  }
  out.path = path;
  out.fd = fd;
  if (const int rc = allocate_full_size(fd, size); rc != 0) {
    // The file stays (it is never deleted), but the task cannot go on.
    out.error = rc;
    out.result = CreateResult::disk;
    return out;
  }
  out.result = CreateResult::created;
  return out;
}

}  // namespace tolvane::engine
