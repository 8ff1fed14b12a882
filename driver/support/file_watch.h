// Tells cheaply whether files may have changed: the kernel queues a note for
// every write, attribute change, rename or removal of a watched file (and of a
// file created or moved in under its name), so asking costs one non-blocking
// read instead of a path lookup per file. A change made before the question is
// always seen, as the note is queued by the call that made it. Where the kernel
// cannot watch (no inotify, too many watches, a missing folder) every question
// answers "may have changed", and callers compare stamps as before. A process
// holds at most a few kernel queues; watches made past that are of this kind.
#pragma once

#include <string>
#include <vector>

namespace korvane {

class CFileWatch {
 public:
  CFileWatch();
  ~CFileWatch();
  CFileWatch(const CFileWatch&) = delete;
  CFileWatch& operator=(const CFileWatch&) = delete;

  /// Adds `path` (and its name in its folder) to the watched files.
  void Watch(const std::string& path);
  /// True when a watched file may have changed since the last call (or when
  /// watching is not possible). Consumes the queued notes.
  bool MayHaveChanged();

 private:
  struct Folder {
    int wd;
    std::vector<std::string> names;
  };
  int fd_ = -1;
  bool broken_ = false;
  std::vector<int> fileWatches_;
  std::vector<Folder> folders_;
};

}  // namespace korvane
