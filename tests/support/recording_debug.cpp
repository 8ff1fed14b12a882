#include "tests/support/recording_debug.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace korvane::testing {

void RecordingDebug::Log(int32_t level, int32_t category, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(LogLine{level, category, std::move(text)});
  }
  changed_.notify_all();
}

void RecordingDebug::LogPacket(const char*, int32_t length) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    packetBytes_ += static_cast<size_t>(length);
  }
  changed_.notify_all();
}

std::vector<LogLine> RecordingDebug::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

size_t RecordingDebug::Count(const std::string& fragment) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = 0;
  for (const auto& line : lines_) {
    if (line.text.find(fragment) != std::string::npos) ++count;
  }
  return count;
}

size_t RecordingDebug::SumOfCounts(const std::string& fragment, int32_t category) const {
  size_t total = 0;
  for (const LogLine& line : Lines()) {
    const size_t at = line.text.find(fragment);
    if (at == std::string::npos) continue;
    EXPECT_EQ(line.level, kLogError) << line.text;
    EXPECT_EQ(line.category, category) << line.text;
    const size_t number = at == 0 ? 0 : line.text.rfind(' ', at - 1) + 1;
    total += std::stoul(line.text.substr(number, at - number));
  }
  return total;
}

size_t RecordingDebug::PacketBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return packetBytes_;
}

bool RecordingDebug::WaitForCount(const std::string& fragment, size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    size_t count = 0;
    for (const auto& line : lines_) {
      if (line.text.find(fragment) != std::string::npos) ++count;
    }
    return count >= n;
  });
}

bool RecordingDebug::WaitForPacketBytes(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return packetBytes_ >= n; });
}

void RecordingDebug::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
  packetBytes_ = 0;
}

}  // namespace korvane::testing
