// A file descriptor with exactly one owner, closed when the owner goes.
#pragma once

#include <unistd.h>

#include <utility>

namespace korvane {

/// Move-only owner of one descriptor (sockets, eventfds, ttys). An empty
/// owner holds -1. Not thread-safe: one owner thread at a time.
class UniqueFd {
 public:
  UniqueFd() = default;
  /// Takes ownership of `fd` (-1 for none).
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  explicit operator bool() const { return Valid(); }

  /// Closes the current descriptor (if any) and takes `fd`.
  void Reset(int fd = -1) {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) ::close(old);
  }
  /// Gives the descriptor up without closing it.
  [[nodiscard]] int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

}  // namespace korvane
