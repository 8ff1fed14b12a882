// Receives RTP on one UDP port and hands each well-formed packet to its user.
#pragma once

#include <netinet/in.h>

#include "driver/channels/rtp_packet.h"
#include "driver/channels/udp_port.h"

namespace korvane {

class CRTPReceiver;

/// What the receiver reports, on its receive loop's thread.
class IRTPReceiverUser {
 public:
  virtual ~IRTPReceiverUser() = default;
  /// One packet; its pointers live during the call only.
  virtual void PacketReceived(CRTPReceiver& receiver, const sockaddr_in& sender, const RTPPacket& packet) = 0;
  virtual void ReceiveTimeout() = 0;
  virtual void SocketClosed(CRTPReceiver& receiver) = 0;
  /// The kernel dropped `lost` packets for want of buffer space since the last
  /// report (`total` since the port opened), at most once a second.
  virtual void PacketsDropped(CRTPReceiver& receiver, uint32_t lost, uint32_t total) = 0;
};

class CRTPReceiver : private IUDPPortUser {
 public:
  static constexpr size_t kReceiveBufferSize = 4096;

  CRTPReceiver() : port_(kReceiveBufferSize) {}

  CUDPPort& Port() { return port_; }
  /// Receives until `waiter` stops it or the socket fails; malformed
  /// datagrams are dropped without a word.
  void ReceiveLoop(IRTPReceiverUser& user, ISocketWaiter& waiter, const Clock& clock,
                   std::chrono::milliseconds silenceLimit, std::chrono::milliseconds pollSlice);
  /// Datagrams dropped as malformed so far.
  size_t Dropped() const { return dropped_; }

 private:
  void DataReceived(CUDPPort& port, const sockaddr_in& sender, const uint8_t* data, size_t length) override;
  void ReceiveTimeout() override;
  void SocketClosed(CUDPPort& port) override;
  void DatagramsDropped(CUDPPort& port, uint32_t lost, uint32_t total) override;

  CUDPPort port_;
  IRTPReceiverUser* user_ = nullptr;
  size_t dropped_ = 0;
};

}  // namespace korvane
