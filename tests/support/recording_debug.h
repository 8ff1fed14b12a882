// An IDebug that keeps every formatted line, for assertions on log output.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

#include "driver/common/driver_interfaces.h"

namespace korvane::testing {

struct LogLine {
  int32_t level;
  int32_t category;
  std::string text;
};

class RecordingDebug : public IDebug {
 public:
  void Log(int32_t level, int32_t category, const char* format, ...) override __attribute__((format(printf, 4, 5)));
  void LogPacket(const char* data, int32_t length) override;

  std::vector<LogLine> Lines() const;
  /// Number of lines whose text contains `fragment`.
  size_t Count(const std::string& fragment) const;
  bool Contains(const std::string& fragment) const { return Count(fragment) > 0; }
  /// Sum of the numbers written just before `fragment` ("12" in "...: 12 datagrams
  /// lost: ...") over the lines holding it, which must be errors of `category`.
  size_t SumOfCounts(const std::string& fragment, int32_t category) const;
  size_t PacketBytes() const;
  /// Waits until at least `n` received bytes were logged as packets (that is, read by a channel).
  bool WaitForPacketBytes(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(2)) const;
  void Clear();
  /// Waits until at least `n` lines contain `fragment`; false when `timeout` passed first.
  bool WaitForCount(const std::string& fragment, size_t n = 1,
                    std::chrono::milliseconds timeout = std::chrono::seconds(2)) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<LogLine> lines_;
  size_t packetBytes_ = 0;
};

}  // namespace korvane::testing
