// A mutex the thread-safety analysis understands (the standard library's is
// not annotated), with its scoped lock and a condition variable that waits on it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "driver/support/thread_annotations.h"

namespace korvane {

/// std::mutex as a capability: members it protects carry GUARDED_BY.
class CAPABILITY("mutex") AnnotatedMutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class AnnotatedCondition;
  std::mutex mutex_;
};

/// Holds an AnnotatedMutex for its scope.
class SCOPED_CAPABILITY AnnotatedLock {
 public:
  explicit AnnotatedLock(AnnotatedMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~AnnotatedLock() RELEASE() { mutex_.unlock(); }
  AnnotatedLock(const AnnotatedLock&) = delete;
  AnnotatedLock& operator=(const AnnotatedLock&) = delete;

 private:
  AnnotatedMutex& mutex_;
};

/// A condition variable for an AnnotatedMutex the caller holds.
class AnnotatedCondition {
 public:
  void NotifyAll() { cv_.notify_all(); }
  /// Waits until `ready()` holds or `timeout` passed; returns ready().
  template <typename Predicate>
  bool WaitFor(AnnotatedMutex& mutex, std::chrono::milliseconds timeout, Predicate ready) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    const bool result = cv_.wait_for(lock, timeout, ready);
    lock.release();  // the caller's scope still holds the mutex
    return result;
  }

 private:
  std::condition_variable cv_;
};

}  // namespace korvane
