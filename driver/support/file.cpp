#include "driver/support/file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace korvane {

int64_t FileSize(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return static_cast<int64_t>(st.st_size);
  return errno == ENOENT ? 0 : -1;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

bool AppendToFile(const std::string& path, const char* data, size_t length) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  size_t done = 0;
  while (done < length) {
    const ssize_t n = write(fd, data + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) ok = false;
  return ok;
}

bool RenameFile(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without no-replace renames: check, then rename.
  if (FileExists(to)) return false;
  return rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace korvane
