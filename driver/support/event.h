// A waitable event, manual or auto reset, that can also be watched by poll().
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "driver/support/unique_fd.h"

namespace korvane {

class Event {
 public:
  enum class Mode { kManualReset, kAutoReset };

  explicit Event(Mode mode = Mode::kManualReset, bool initiallySet = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  /// Signals the event; wakes every waiter (manual) or one waiter (auto).
  void Set();
  /// Clears the signal.
  void Reset();
  /// True while signalled (does not consume an auto-reset signal).
  bool IsSet() const;
  /// Waits up to `timeout` for the signal; true when it was (or became) set.
  /// An auto-reset event is cleared by a successful wait.
  bool Wait(std::chrono::milliseconds timeout);
  /// Waits without a time limit.
  void Wait();
  /// A descriptor that polls readable while a manual-reset event is set
  /// (-1 when the system gave none). Worker loops add it to their poll set.
  int Fd() const { return fd_.Get(); }

 private:
  const Mode mode_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool set_;
  UniqueFd fd_;
};

}  // namespace korvane
