// Whole-file operations by path, as the debug logger uses them: every append
// opens, writes and closes, so the file on disk is always complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/support/file_stamp.h"

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
/// closes it. False when any step fails, and without opening it when `path`
/// names something other than a regular file (a FIFO would block, a device
/// is no log file).
bool AppendToFile(const std::string& path, const char* data, size_t length);
/// True when `path` names a regular file (symbolic links followed).
bool IsRegularFile(const std::string& path);
/// Reads all of `path`, which must be a regular file of at most `maxBytes`,
/// into `content`. FIFOs and devices are refused before they are opened, so
/// this never blocks on them. On failure `reason` completes a sentence that
/// starts with the file name ("is not a regular file"). `stamp` receives the
/// stamp of the file that was read.
bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& content, std::string& reason,
                     FileStamp* stamp = nullptr);
/// Renames `from` to `to`; fails, and leaves both alone, when `to` exists.
bool RenameFile(const std::string& from, const std::string& to);

}  // namespace korvane
