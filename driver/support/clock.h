// The time source of every timed behaviour (receive silence, keep-alive,
// End events). Production code uses SystemClock(); tests inject a clock they
// advance by hand.
#pragma once

#include <chrono>
#include <cstdint>

#include "kestrel/system_time.h"

namespace korvane {

class Event;

class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  /// Monotonic time.
  virtual TimePoint Now() const = 0;
  /// Wall-clock UTC as 100 ns intervals since 1601-01-01.
  virtual uint64_t UtcFileTime() const = 0;
  /// Blocks until `stop` is set or Now() reaches `deadline`; true when stop was set.
  virtual bool WaitUntil(Event& stop, TimePoint deadline) const = 0;
  /// WaitUntil(stop, Now() + timeout).
  bool WaitFor(Event& stop, std::chrono::milliseconds timeout) const { return WaitUntil(stop, Now() + timeout); }
};

/// The process-wide real clock.
const Clock& SystemClock();

/// Current UTC time as a calendar record.
SYSTEMTIME CurrentUtcSystemTime();
/// Current local time as a calendar record.
SYSTEMTIME CurrentLocalSystemTime();
/// Current UTC time as 100 ns intervals since 1601-01-01.
uint64_t CurrentUtcFileTime();
/// Calendar record (UTC) for a file time.
SYSTEMTIME FileTimeToSystemTime(uint64_t fileTime);

}  // namespace korvane
