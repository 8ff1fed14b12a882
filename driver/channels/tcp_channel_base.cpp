#include "driver/channels/tcp_channel_base.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <span>
#include <string>

#include "driver/channels/socket_options.h"

namespace korvane {

CTcpChannelBase::CTcpChannelBase(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings)
    : CChannelBase(driver, debug, settings) {
  SetKind("TCP Channel");
}

uint64_t CTcpChannelBase::ReceiveStream(UniqueFd& socket, int listener) {
  const auto buffer = std::make_unique<char[]>(kReceiveBufferSize);
  const auto& acknowledge = Settings().acknowledgeBytes;
  const std::string_view acknowledgeBytes(reinterpret_cast<const char*>(acknowledge.data()), acknowledge.size());
  BeginConnection();
  lastDataTime_ = GetClock().Now();
  timeoutReported_ = false;
  keepAliveCounter_ = 0;
  std::string reason;
  bool stopped = false;
  uint64_t total = 0;
  while (true) {
    if (StopRequested()) {
      stopped = true;
      break;
    }
    // The listener is watched until a waiting client has been reported; it stays readable after that.
    pollfd fds[2] = {{socket.Get(), POLLIN, 0}, {listener, POLLIN, 0}};
    const Readiness readiness = WaitForAny(std::span<pollfd>(fds, listener >= 0 ? 2 : 1), PollInterval()).readiness;
    if (readiness == Readiness::kReady && listener >= 0 && (fds[1].revents & POLLIN) != 0) {
      // A second client connected while this one is served: its data waits, so say so at once.
      Log(kLogError, kCatChannel,
          "%s: Another client connected to %s while a client is served; it waits until that client disconnects",
          "korvane::CTcpChannelBase::ReceiveStream", Name().c_str());
      listener = -1;
      if (fds[0].revents == 0) continue;
    }
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
      total += static_cast<uint64_t>(received);
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
  return total;
}

void CTcpChannelBase::OnIdleTimeout(int socket) {
  // A message still incomplete after a receive time-out is dropped, with the rest of its line.
  CutPartialMessage();
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
