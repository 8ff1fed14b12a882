// What tells one version of a file from the next: identity, size and times.
// Readers that keep what they parsed from a file (compiled schemas, the
// configuration) remember the stamps of the files they read and read again
// when any of them changed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
  bool operator==(const FileStamp&) const = default;
};

/// The stamp of `path` (symbolic links followed); `exists` false when there is nothing to stat.
FileStamp StampOf(const std::string& path);
/// The stamp of an open file.
FileStamp StampOfDescriptor(int fd);

/// A file something was read from, with its stamp at the time of reading.
struct TrackedFile {
  std::string path;
  FileStamp stamp;
  bool operator==(const TrackedFile&) const = default;
};

/// True when every file still has the stamp it had when it was read.
bool Unchanged(const std::vector<TrackedFile>& files);

}  // namespace korvane
