#include "driver/support/file_watch.h"

#include <errno.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace korvane {
namespace {

constexpr size_t kMaxWatches = 64;
// Kernel notification queues are counted per user (often 128 in all): a host
// with many devices open leaves the rest to other programs and compares stamps.
constexpr int kMaxQueues = 16;
std::atomic<int> queues{0};
constexpr uint32_t kFileEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

}  // namespace

CFileWatch::CFileWatch() {
  if (queues.fetch_add(1) < kMaxQueues) fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) {
    queues.fetch_sub(1);
    broken_ = true;
  }
}

CFileWatch::~CFileWatch() {
  if (fd_ < 0) return;
  ::close(fd_);
  queues.fetch_sub(1);
}

void CFileWatch::Watch(const std::string& path) {
  if (broken_) return;
  if (fileWatches_.size() + folders_.size() + 2 > kMaxWatches) {
    broken_ = true;
    return;
  }
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const int folderWd = inotify_add_watch(fd_, folder.c_str(), kFolderEvents | IN_ONLYDIR);
  if (folderWd < 0 || name.empty()) {
    broken_ = true;
    return;
  }
  auto it = std::find_if(folders_.begin(), folders_.end(), [&](const Folder& f) { return f.wd == folderWd; });
  if (it == folders_.end()) it = folders_.insert(folders_.end(), Folder{folderWd, {}});
  if (std::find(it->names.begin(), it->names.end(), name) == it->names.end()) it->names.push_back(name);
  // A missing file is seen through its folder when it appears.
  const int fileWd = inotify_add_watch(fd_, path.c_str(), kFileEvents);
  if (fileWd >= 0 && std::find(fileWatches_.begin(), fileWatches_.end(), fileWd) == fileWatches_.end()) {
    fileWatches_.push_back(fileWd);
  }
}

bool CFileWatch::MayHaveChanged() {
  if (broken_) return true;
  bool changed = false;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (errno != EAGAIN) changed = true;
      return changed;
    }
    if (n == 0) return true;
    for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      inotify_event event;
      std::memcpy(&event, buffer + offset, sizeof event);
      const char* name = buffer + offset + sizeof(inotify_event);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
      if (event.mask & (IN_Q_OVERFLOW | IN_IGNORED)) {
        changed = true;
        continue;
      }
      const int wd = event.wd;
      const auto folder = std::find_if(folders_.begin(), folders_.end(), [wd](const Folder& f) { return f.wd == wd; });
      if (folder == folders_.end() || event.len == 0) {
        changed = true;  // a watched file itself, or its folder moved or removed
        continue;
      }
      const std::string entry(name, strnlen(name, event.len));
      if (std::find(folder->names.begin(), folder->names.end(), entry) != folder->names.end()) changed = true;
    }
  }
}

}  // namespace korvane
