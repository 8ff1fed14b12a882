#include "driver/channels/tcp_channel_base.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <string>

#include "driver/channels/socket_options.h"

namespace korvane {

CTcpChannelBase::CTcpChannelBase(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings)
    : CChannelBase(driver, debug, settings) {
  SetKind("TCP Channel");
}

void CTcpChannelBase::ReceiveStream(UniqueFd& socket) {
  const auto buffer = std::make_unique<char[]>(kReceiveBufferSize);
  const auto& acknowledge = Settings().acknowledgeBytes;
  const std::string_view acknowledgeBytes(reinterpret_cast<const char*>(acknowledge.data()), acknowledge.size());
  BeginConnection();
  lastDataTime_ = GetClock().Now();
  timeoutReported_ = false;
  keepAliveCounter_ = 0;
  std::string reason;
  bool stopped = false;
  while (true) {
    if (StopRequested()) {
      stopped = true;
      break;
    }
    const Readiness readiness = WaitForSocket(socket.Get(), POLLIN, PollInterval()).readiness;
    if (readiness == Readiness::kStopped) {
      stopped = true;
      break;
    }
    if (readiness == Readiness::kTimeout) {
      OnIdleTimeout(socket.Get());
      continue;
    }
    if (readiness == Readiness::kError) {
      DiscardPartialMessage();
      reason = "Error reading from socket";
      break;
    }
    const ssize_t received = ::recv(socket.Get(), buffer.get(), kReceiveBufferSize, MSG_DONTWAIT);
    const int error = received < 0 ? errno : 0;
    if (received > 0) {
      SendWithoutWaiting(socket.Get(), acknowledgeBytes);
      lastDataTime_ = GetClock().Now();
      keepAliveCounter_ = 0;
      timeoutReported_ = false;
      SetConnectionState({}, ConnectionState::Restored);
      ProcessData(buffer.get(), static_cast<size_t>(received));
      continue;
    }
    if (received == 0) break;  // orderly close: no reason, nothing logged
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) continue;
    DiscardPartialMessage();
    if (error == ECONNRESET) {
      reason = "Connection reset by peer";
    } else if (error == ENOTCONN) {
      reason = "Socket is not connected";
    } else {
      reason = "Error reading from socket";
    }
    break;
  }
  if (!stopped) SetConnectionState(reason, ConnectionState::Lost);
  socket.Reset();
}

void CTcpChannelBase::OnIdleTimeout(int socket) {
  // A message still incomplete after a receive time-out is dropped.
  DiscardPartialMessage();
  const std::string& query = Settings().keepAliveQuery;
  if (query.empty()) return;
  if (++keepAliveCounter_ > kIdleTimeoutsPerQuery) {
    keepAliveCounter_ = 0;
    SendWithoutWaiting(socket, query);
  }
  if (timeoutReported_) return;
  const auto now = GetClock().Now();
  if (now - lastDataTime_ > kSilenceLimit) {
    lastDataTime_ = now;
    SetConnectionState("Timeout", ConnectionState::Lost);
    timeoutReported_ = true;
  }
}

}  // namespace korvane
