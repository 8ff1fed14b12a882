// A device that writes numbered lines into a TCP connection (or a serial
// line) as fast as it takes them, never blocking inside a write: it notices
// when the receiver stops reading (no room for a while) and when the
// connection fails.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>

namespace korvane::testing {

/// Line `number`, `bytes` long with its line feed: `prefix`, eight digits, a
/// space, 'x' padding, '\n'.
std::string NumberedLine(size_t number, size_t bytes, const std::string& prefix = "");

class LineFlood {
 public:
  /// Writes into `fd` (not owned: a connected socket, or a non-blocking
  /// descriptor such as a pseudo-terminal's master) lines of `lineBytes`
  /// bytes, each starting with `prefix`.
  LineFlood(int fd, size_t lineBytes, std::string prefix = "");

  /// Sends until lines 0 to `lines`-1 have all gone out (true), or the socket
  /// had no room for `patience` or the connection failed (false).
  bool SendUntil(size_t lines, std::chrono::milliseconds patience);
  /// Whole lines sent so far.
  size_t LinesSent() const { return sent_; }
  /// The connection was closed or reset by the other side.
  bool Failed() const { return failed_; }

 private:
  const int fd_;
  bool socket_ = true;
  const size_t lineBytes_;
  const std::string prefix_;
  std::string pending_;
  size_t offset_ = 0;
  size_t sent_ = 0;
  bool failed_ = false;
};

}  // namespace korvane::testing
