// The receiver's side of RTCP for one session: answers each sender report
// with a receiver report and our source description, ends on the sender's
// BYE, and says BYE itself when it leaves.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "driver/channels/socket_waiter.h"
#include "driver/support/unique_fd.h"

namespace korvane {

class CRTCPSession {
 public:
  static constexpr int kSocketBuffer = 65536;
  static constexpr size_t kReceiveSize = 4096;

  /// A random SSRC; the host name as CNAME ("default" when it cannot be read).
  CRTCPSession();

  /// Binds a socket to `port` on every local address; false (socket closed)
  /// when it cannot be bound or set up.
  bool Open(uint16_t port);
  bool IsOpen() const { return socket_.Valid(); }
  uint16_t BoundPort() const { return boundPort_; }
  uint32_t Ssrc() const { return ssrc_; }
  const std::string& Cname() const { return cname_; }
  int LastError() const { return error_; }

  /// Answers sender reports until `waiter` stops it, the sender says BYE or
  /// the socket fails; then sends our BYE to the last sender and closes the
  /// socket. Waits in slices of `pollSlice`.
  void Run(ISocketWaiter& waiter, std::chrono::milliseconds pollSlice);
  /// Packets sent so far (read after Run has returned).
  size_t Sent() const { return sent_; }

 private:
  void SendTo(const sockaddr_in& receiver, const std::string& packet);

  UniqueFd socket_;
  uint16_t boundPort_ = 0;
  uint32_t ssrc_ = 0;
  std::string cname_;
  int error_ = 0;
  bool haveSender_ = false;
  sockaddr_in lastSender_{};
  size_t sent_ = 0;
};

}  // namespace korvane
