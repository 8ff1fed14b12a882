#include "driver/support/file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return false;
  // Non-blocking, so a FIFO that appears between the check and the open fails instead of waiting for a reader.
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  if (fd < 0) return false;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
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

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& content, std::string& reason,
                     FileStamp* stamp) {
  content.clear();
  reason.clear();
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    reason = errno == ENOENT ? "was not found" : std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  // Opening a device can have effects of its own (a serial port raises its
  // modem lines), so anything else is refused before it is opened.
  if (!S_ISREG(st.st_mode)) {
    reason = "is not a regular file";
    return false;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    reason = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  const FileStamp opened = StampOfDescriptor(fd);
  bool ok = false;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    reason = "is not a regular file";
  } else if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    reason = "is larger than " + std::to_string(maxBytes) + " bytes";
  } else {
    content.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    ok = true;
    while (done < content.size()) {
      const ssize_t n = read(fd, content.data() + done, content.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        reason = std::string("cannot be read: ") + std::strerror(errno);
        ok = false;
        break;
      }
      if (n == 0) break;  // shrank while it was read: what is there is the file
      done += static_cast<size_t>(n);
    }
    content.resize(done);
  }
  close(fd);
  if (!ok) {
    content.clear();
    return false;
  }
  if (stamp != nullptr) *stamp = opened;
  return true;
}

bool RenameFile(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without no-replace renames: check, then rename.
  if (FileExists(to)) return false;
  return rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace korvane
