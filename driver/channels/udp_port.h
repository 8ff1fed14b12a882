// One UDP socket bound to a local port and the loop that receives from it,
// reporting every datagram to its user. The RTP receiver's transport.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "driver/channels/datagram_drops.h"
#include "driver/channels/socket_waiter.h"
#include "driver/support/clock.h"
#include "driver/support/unique_fd.h"

namespace korvane {

class CUDPPort;

/// What the receive loop reports, on the loop's thread.
class IUDPPortUser {
 public:
  virtual ~IUDPPortUser() = default;
  /// One datagram of at least one byte; `data` lives during the call only.
  virtual void DataReceived(CUDPPort& port, const sockaddr_in& sender, const uint8_t* data, size_t length) = 0;
  /// Nothing arrived for the silence limit (reported again after each further limit).
  virtual void ReceiveTimeout() = 0;
  /// The socket failed; the loop has ended.
  virtual void SocketClosed(CUDPPort& port) = 0;
  /// The kernel dropped `lost` datagrams for want of buffer space since the
  /// last report (`total` since Open). At most once a second.
  virtual void DatagramsDropped(CUDPPort& port, uint32_t lost, uint32_t total) = 0;
};

class CUDPPort {
 public:
  /// Results of Open.
  enum OpenResult : int { kOpened = 1, kAlreadyOpen = 2, kNoSocket = 5, kBindFailed = 6, kOptionsFailed = 8 };
  /// Largest socket receive buffer asked for.
  static constexpr int kMaxSocketBuffer = 131070;

  /// `receiveBufferSize` sizes the socket's buffer (32 times it, at most kMaxSocketBuffer).
  explicit CUDPPort(size_t receiveBufferSize) : receiveBufferSize_(receiveBufferSize) {}

  /// Binds a socket to `port` on every local address (0: any free port).
  int Open(uint16_t port);
  /// Closes the socket. Never while a receive loop runs on it.
  void Close();
  bool IsOpen() const { return socket_.Valid(); }
  uint16_t BoundPort() const { return boundPort_; }
  /// Receive buffer the system granted, in bytes.
  int BufferBytes() const { return bufferBytes_; }
  /// errno of the failure that ended the loop or failed Open; 0 when none did.
  int LastError() const { return error_; }

  /// Receives until `waiter` reports a stop or the socket fails, calling
  /// `user` on this thread. Waits in slices of `pollSlice`; silence is
  /// measured with `clock`. Empty datagrams are ignored. Datagrams the kernel
  /// drops while `user` is busy are counted and reported to it.
  void ReceiveLoop(IUDPPortUser& user, ISocketWaiter& waiter, const Clock& clock,
                   std::chrono::milliseconds silenceLimit, std::chrono::milliseconds pollSlice);

 private:
  void NoteDrops(IUDPPortUser& user, std::optional<uint32_t> counter, const Clock& clock);

  const size_t receiveBufferSize_;
  UniqueFd socket_;
  uint16_t boundPort_ = 0;
  int bufferBytes_ = 0;
  int error_ = 0;
  CDatagramDrops drops_;
};

}  // namespace korvane
