// How the RTSP client, the RTP port and the RTCP session wait for their
// sockets. The RTSP channel implements it over its own waits, so that every
// wait also ends when the channel (or the session) is asked to stop.
#pragma once

#include <chrono>

namespace korvane {

class ISocketWaiter {
 public:
  enum class Result { kReady, kTimeout, kStopped, kError };
  /// Waits up to `timeout` for `events` (poll flags) on `fd`. kTimeout only
  /// once the whole time has passed. Thread-safe.
  virtual Result WaitForSocket(int fd, short events, std::chrono::milliseconds timeout) = 0;

 protected:
  ~ISocketWaiter() = default;
};

}  // namespace korvane
