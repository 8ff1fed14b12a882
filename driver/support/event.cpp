#include "driver/support/event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace korvane {

Event::Event(Mode mode, bool initiallySet) : mode_(mode), set_(initiallySet) {
  if (mode_ == Mode::kManualReset) {
    fd_.Reset(eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK));
  }
}

Event::~Event() = default;

void Event::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!set_ && fd_) {
      uint64_t one = 1;
      [[maybe_unused]] ssize_t n = write(fd_.Get(), &one, sizeof one);
    }
    set_ = true;
  }
  if (mode_ == Mode::kManualReset) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (set_ && fd_) {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = read(fd_.Get(), &value, sizeof value);
  }
  set_ = false;
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

bool Event::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cv_.wait_for(lock, timeout, [this] { return set_; })) return false;
  if (mode_ == Mode::kAutoReset) set_ = false;
  return true;
}

void Event::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return set_; });
  if (mode_ == Mode::kAutoReset) set_ = false;
}

}  // namespace korvane
