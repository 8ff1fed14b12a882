#include "driver/support/file_stamp.h"

#include <sys/stat.h>

namespace korvane {
namespace {

FileStamp FromStat(const struct stat& info) {
  FileStamp stamp;
  stamp.exists = true;
  stamp.device = info.st_dev;
  stamp.inode = info.st_ino;
  stamp.size = info.st_size;
  stamp.modifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  stamp.changedNs = static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
  return stamp;
}

}  // namespace

FileStamp StampOf(const std::string& path) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return FileStamp{};
  return FromStat(info);
}

FileStamp StampOfDescriptor(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return FileStamp{};
  return FromStat(info);
}

bool Unchanged(const std::vector<TrackedFile>& files) {
  for (const TrackedFile& file : files) {
    if (StampOf(file.path) != file.stamp) return false;
  }
  return true;
}

}  // namespace korvane
