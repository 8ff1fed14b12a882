// A clock that only moves when a test advances it, so time-driven behaviour
// (silence time-outs, keep-alive, End events) runs in milliseconds.
#pragma once

#include <atomic>
#include <chrono>
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
    while (Now() < deadline) {
      if (stop.Wait(std::chrono::milliseconds(1))) return true;
    }
    return stop.IsSet();
  }
  void Advance(std::chrono::nanoseconds step) { nanos_ += step.count(); }

 private:
  std::atomic<int64_t> nanos_{1'000'000'000};
  const uint64_t baseFileTime_ = CurrentUtcFileTime();
};

}  // namespace korvane::testing
