// Whole-file operations by path, as the debug logger uses them: every append
// opens, writes and closes, so the file on disk is always complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane {

/// Holds no state; the operations are the free functions below.
class CFile {
 public:
  virtual ~CFile() = default;
};

/// Size in bytes; 0 when the file does not exist, negative on any other error.
int64_t FileSize(const std::string& path);
/// True when something exists under `path`.
bool FileExists(const std::string& path);
/// Opens `path` for appending (creating it), writes all `length` bytes and
/// closes it. False when any step fails.
bool AppendToFile(const std::string& path, const char* data, size_t length);
/// Renames `from` to `to`; fails, and leaves both alone, when `to` exists.
bool RenameFile(const std::string& from, const std::string& to);

}  // namespace korvane
