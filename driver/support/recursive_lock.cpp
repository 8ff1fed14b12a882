#include "driver/support/recursive_lock.h"

#include <thread>

namespace korvane {
namespace {

uint32_t SpinCountForThisMachine() {
  static const uint32_t spins = std::thread::hardware_concurrency() > 1 ? 4000 : 0;
  return spins;
}

}  // namespace

RecursiveLock::RecursiveLock() : spinCount_(SpinCountForThisMachine()) {}

uint32_t RecursiveLock::CurrentThreadId() {
  static std::atomic<uint32_t> next{1};
  thread_local const uint32_t id = next.fetch_add(1, std::memory_order_relaxed);
  return id;
}

void RecursiveLock::Take(uint32_t self) {
  owner_.store(self, std::memory_order_relaxed);
  recursion_ = 1;
}

bool RecursiveLock::TryEnter() {
  const uint32_t self = CurrentThreadId();
  for (uint32_t i = 0; i <= spinCount_; ++i) {
    int32_t expected = 0;
    if (lockCount_.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
      Take(self);
      return true;
    }
    if (owner_.load(std::memory_order_relaxed) == self) break;
  }
  if (owner_.load(std::memory_order_relaxed) == self) {
    lockCount_.fetch_add(1, std::memory_order_relaxed);
    ++recursion_;
    return true;
  }
  return false;
}

void RecursiveLock::Enter() {
  if (TryEnter()) return;
  const uint32_t self = CurrentThreadId();
  if (lockCount_.fetch_add(1, std::memory_order_acquire) + 1 == 1) {
    Take(self);
    return;
  }
  // The event's own mutex orders this wake-up after the previous owner's Leave.
  event_.Wait();
  Take(self);
}

void RecursiveLock::Leave() {
  if (--recursion_ > 0) {
    lockCount_.fetch_sub(1, std::memory_order_release);
    return;
  }
  owner_.store(0, std::memory_order_relaxed);
  if (lockCount_.fetch_sub(1, std::memory_order_release) - 1 > 0) event_.Set();
}

}  // namespace korvane
