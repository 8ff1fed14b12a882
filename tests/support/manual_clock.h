// A clock that only moves when a test advances it, so time-driven behaviour
// (silence time-outs, keep-alive, End events) runs in milliseconds.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "driver/support/clock.h"
#include "driver/support/event.h"

namespace korvane::testing {

class ManualClock : public Clock {
 public:
  TimePoint Now() const override { return TimePoint(std::chrono::nanoseconds(nanos_.load())); }
  uint64_t UtcFileTime() const override { return baseFileTime_ + static_cast<uint64_t>(nanos_.load() / 100); }
  /// Returns when stop is set or the manual time reaches `deadline`; polls the
  /// stop event in short real waits so a test's Advance is seen promptly.
  bool WaitUntil(Event& stop, TimePoint deadline) const override {
    {
      std::lock_guard<std::mutex> lock(waitMutex_);
      ++waits_;
    }
    waitStarted_.notify_all();
    while (Now() < deadline) {
      if (stop.Wait(std::chrono::milliseconds(1))) return true;
    }
    return stop.IsSet();
  }
  void Advance(std::chrono::nanoseconds step) { nanos_ += step.count(); }
  /// Waits (in real time) until WaitUntil has been entered at least `n` times
  /// in all, so a test can advance the clock exactly when a worker waits on it.
  bool WaitForWaits(uint64_t n, std::chrono::milliseconds timeout = std::chrono::seconds(2)) const {
    std::unique_lock<std::mutex> lock(waitMutex_);
    return waitStarted_.wait_for(lock, timeout, [&] { return waits_ >= n; });
  }
  uint64_t Waits() const {
    std::lock_guard<std::mutex> lock(waitMutex_);
    return waits_;
  }

 private:
  std::atomic<int64_t> nanos_{1'000'000'000};
  const uint64_t baseFileTime_ = CurrentUtcFileTime();
  mutable std::mutex waitMutex_;
  mutable std::condition_variable waitStarted_;
  mutable uint64_t waits_ = 0;
};

}  // namespace korvane::testing
