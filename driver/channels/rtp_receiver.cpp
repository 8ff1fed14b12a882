#include "driver/channels/rtp_receiver.h"

namespace korvane {

void CRTPReceiver::ReceiveLoop(IRTPReceiverUser& user, ISocketWaiter& waiter, const Clock& clock,
                               std::chrono::milliseconds silenceLimit, std::chrono::milliseconds pollSlice) {
  user_ = &user;
  port_.ReceiveLoop(*this, waiter, clock, silenceLimit, pollSlice);
  user_ = nullptr;
}

void CRTPReceiver::DataReceived(CUDPPort&, const sockaddr_in& sender, const uint8_t* data, size_t length) {
  RTPPacket packet;
  if (!ParseRTPPacket(data, length, packet)) {
    ++dropped_;
    return;
  }
  user_->PacketReceived(*this, sender, packet);
}

void CRTPReceiver::ReceiveTimeout() { user_->ReceiveTimeout(); }

void CRTPReceiver::SocketClosed(CUDPPort&) { user_->SocketClosed(*this); }

void CRTPReceiver::DatagramsDropped(CUDPPort&, uint32_t lost, uint32_t total) {
  user_->PacketsDropped(*this, lost, total);
}

}  // namespace korvane
