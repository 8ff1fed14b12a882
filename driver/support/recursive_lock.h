// A recursive lock: spins briefly on a multi-processor machine, then sleeps on
// an auto-reset event. The owning thread may enter again; each Enter needs a
// matching Leave.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/support/event.h"

namespace korvane {

class RecursiveLock {
 public:
  RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  bool TryEnter();
  void Enter();
  void Leave();

  // BasicLockable, so std::lock_guard and std::unique_lock work.
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  static uint32_t CurrentThreadId();
  void Take(uint32_t self);

  const uint32_t spinCount_;
  std::atomic<int32_t> lockCount_{0};  // 0 free; else 1 + threads waiting or about to wait
  std::atomic<uint32_t> owner_{0};
  int32_t recursion_ = 0;  // touched by the owner only
  Event event_{Event::Mode::kAutoReset};
};

/// Scoped Enter/Leave.
class RecursiveLockGuard {
 public:
  explicit RecursiveLockGuard(RecursiveLock& lock) : lock_(lock) { lock_.Enter(); }
  ~RecursiveLockGuard() { lock_.Leave(); }
  RecursiveLockGuard(const RecursiveLockGuard&) = delete;
  RecursiveLockGuard& operator=(const RecursiveLockGuard&) = delete;

 private:
  RecursiveLock& lock_;
};

}  // namespace korvane
