// The per-driver diagnostics sink: forwards errors and information to the
// host's log (level filter, per-category rate limiter) and, when enabled,
// appends time-stamped lines and raw packets to debug files beside the host.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "kestrel/data_callback.h"

namespace korvane {

class CMutex;

class CDebugLogger {
 public:
  /// `callback` may be null (nothing is forwarded). `suffix` is inserted into
  /// the file and mutex names ("Debug_KSL_Log%s.txt", ...).
  CDebugLogger(IDataCallback* callback, const std::string& suffix);
  virtual ~CDebugLogger();
  CDebugLogger(const CDebugLogger&) = delete;
  CDebugLogger& operator=(const CDebugLogger&) = delete;

  /// Sets the host level and file logging; non-empty names replace the defaults.
  void Configure(uint8_t level, bool fileLogging, const std::string& logFileName, const std::string& packetFileName);
  /// One formatted message at `level` (0 separator, 1 info, 2 warn, 3 error, 4 diagnostic) in `category`.
  void Write(const std::string& message, int32_t level, int32_t category);
  /// Appends a {int32 little-endian length, bytes} record to the packet file.
  void WritePacket(const char* data, int32_t length);

  uint8_t GetLevel() const { return level_; }
  bool IsFileLogging() const { return fileLogging_; }

 private:
  void ForwardToHost(const std::string& categorised, int32_t level, int32_t category);
  bool RateLimiterAllows(int32_t category);
  std::string FullPath(const std::string& fileName);

  IDataCallback* callback_;
  bool fileLogging_ = false;
  std::string logFileName_;
  std::string packetFileName_;
  std::string directory_;
  uint8_t level_ = 3;
  std::map<int32_t, uint32_t> counters_;
  std::unique_ptr<CMutex> fileMutex_;
  std::string suffix_;
  // Guards the counters, the cached directory and the file names against
  // callers that do not serialise their calls themselves.
  std::mutex stateMutex_;
};

}  // namespace korvane
