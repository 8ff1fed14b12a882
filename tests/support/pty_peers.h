// Serial test peers: a pseudo-terminal pair standing in for a device, and
// socat relaying between two pseudo-terminals as an independent peer. Every
// wait has a deadline.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <string_view>

namespace korvane::testing {

using std::chrono::milliseconds;

/// A pseudo-terminal pair. The channel opens the device side by its path; the
/// test writes what the device sends into the other side and reads there the
/// settings the channel gave the device side.
class TestPty {
 public:
  TestPty();
  ~TestPty();
  TestPty(const TestPty&) = delete;
  TestPty& operator=(const TestPty&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  /// The test's side; terminal requests on it read the device side.
  int Fd() const { return fd_; }
  /// The device side, "/dev/pts/N".
  const std::string& DevicePath() const { return path_; }
  /// Sends all bytes to the channel (waits up to `timeout` for room); false on error.
  bool Write(std::string_view bytes, milliseconds timeout = milliseconds(2000));
  /// The device side's current settings; false when they cannot be read.
  bool Settings(termios& settings) const;
  /// The device goes away: the channel's next read fails.
  void Close();

 private:
  int fd_ = -1;
  std::string path_;
};

/// socat relaying between two fresh pseudo-terminals, reached through the
/// symbolic links `device` (for the channel) and `peer` (written by the test).
class SocatPtyPair {
 public:
  SocatPtyPair(std::string device, std::string peer);
  ~SocatPtyPair();
  SocatPtyPair(const SocatPtyPair&) = delete;
  SocatPtyPair& operator=(const SocatPtyPair&) = delete;

  /// True when a socat program is on the PATH.
  static bool Available();
  /// Starts socat and waits until both links exist; false when it did not come up in time.
  bool Start(milliseconds timeout = milliseconds(2000));
  /// Sends all bytes into the peer side; false on error.
  bool Write(std::string_view bytes, milliseconds timeout = milliseconds(2000));
  /// Ends socat (and with it both pseudo-terminals and their links) and waits for it.
  void Stop();

 private:
  std::string device_;
  std::string peer_;
  pid_t pid_ = -1;
  int peerFd_ = -1;
};

}  // namespace korvane::testing
