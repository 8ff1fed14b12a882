#include "driver/channels/tcp_channel.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "driver/channels/socket_options.h"

namespace korvane {
namespace {

// Failures of one incoming connection rather than of the listening socket.
bool IsTransientAcceptError(int error) {
  switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

std::string Reason(const char* format, const char* operation) {
  char text[256];
  std::snprintf(text, sizeof text, format, operation);
  return text;
}

}  // namespace

CTcpChannel::CTcpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings)
    : CTcpChannelBase(driver, debug, settings) {
  SetName("TCP " + std::to_string(static_cast<uint32_t>(settings.network.port)));
}

CTcpChannel::~CTcpChannel() {
  CloseSocket(clientSocket_);
  CloseSocket(listenSocket_);
}

bool CTcpChannel::WaitListening(std::chrono::milliseconds timeout, bool untilListening) const {
  std::unique_lock<std::mutex> lock(listenMutex_);
  listenChanged_.wait_for(lock, timeout, [&] {
    return listenState_ == ListenState::kListening || (!untilListening && listenState_ == ListenState::kFailed);
  });
  return listenState_ == ListenState::kListening;
}

void CTcpChannel::SetListenState(ListenState state) {
  {
    std::lock_guard<std::mutex> lock(listenMutex_);
    listenState_ = state;
  }
  listenChanged_.notify_all();
}

bool CTcpChannel::OpenChannel() {
  SetListenState(ListenState::kPending);
  OpenWSA();
  return true;
}

void CTcpChannel::CloseChannel() {
  SetConnectionState({}, ConnectionState::Closed);
  CloseSocket(clientSocket_);
  CloseSocket(listenSocket_);
  boundPort_ = 0;
  SetListenState(ListenState::kPending);
  CloseWSA();
}

int CTcpChannel::Run() {
  while (!StopRequested()) {
    if (listenSocket_ < 0 && !OpenPort()) {
      ReportOpenFailed();
      WaitForStop(std::chrono::milliseconds(1000));
      continue;
    }
    SetConnectionState({}, ConnectionState::Opened);
    if (!WaitForConnection()) break;
    bool retry = false;
    if (AcceptConnection(retry)) {
      ReceiveStream(clientSocket_);
      continue;
    }
    if (!retry) break;
  }
  CloseChannel();
  return 0;
}

bool CTcpChannel::FailOpenPort(const char* reasonFormat) {
  SetConnectionState(Reason(reasonFormat, "korvane::CTcpChannel::OpenPort"), ConnectionState::Lost);
  CloseChannel();
  SetListenState(ListenState::kFailed);
  return false;
}

bool CTcpChannel::OpenPort() {
  listenSocket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenSocket_ < 0) return FailOpenPort("%s: Failed to create socket");
  // Address reuse goes before the bind so a restarted channel can take its port
  // back from connections in TIME_WAIT; Linux still refuses a second listener.
  if (!SetSocketOption(listenSocket_, SOL_SOCKET, SO_REUSEADDR, 1)) {
    return FailOpenPort("%s: Failed to set socket options");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(Settings().network.port));
  const bool bound = ::bind(listenSocket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (!SetReceiveTimeout(listenSocket_, PollInterval())) return FailOpenPort("%s: Failed to set socket options");
  // Listening on an unbound socket would take some random port: a port that
  // could not be bound fails here, as the listen does elsewhere.
  if (!bound || ::listen(listenSocket_, SOMAXCONN) != 0) return FailOpenPort("%s: Failed to set listen");
  if (!SetSocketOption(listenSocket_, SOL_SOCKET, SO_KEEPALIVE, 1)) {
    return FailOpenPort("%s: Failed to set socket options");
  }
  boundPort_ = LocalPort(listenSocket_);
  SetListenState(ListenState::kListening);
  return true;
}

bool CTcpChannel::WaitForConnection() {
  while (true) {
    if (StopRequested()) return false;
    switch (WaitForSocket(listenSocket_, POLLIN, PollInterval())) {
      case Readiness::kReady:
        return true;
      case Readiness::kTimeout:
        continue;
      case Readiness::kStopped:
        return false;
      case Readiness::kError:
        SetConnectionState(Reason("%s: Failed to get socket status", "korvane::CTcpChannel::WaitForConnection"),
                           ConnectionState::Lost);
        return false;
    }
  }
}

bool CTcpChannel::AcceptConnection(bool& retry) {
  retry = false;
  SetKeepAliveProbing(listenSocket_);
  socklen_t length = sizeof peer_;
  clientSocket_ = ::accept4(listenSocket_, reinterpret_cast<sockaddr*>(&peer_), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (clientSocket_ < 0) {
    clientSocket_ = -1;
    // A connection that vanished before it was accepted leaves the listener usable.
    retry = IsTransientAcceptError(errno);
    if (!retry) {
      SetConnectionState(Reason("%s: Failed to accept", "korvane::CTcpChannel::AcceptConnection"),
                         ConnectionState::Lost);
    }
    return false;
  }
  if (!SetSocketOption(clientSocket_, SOL_SOCKET, SO_RCVBUF, static_cast<int>(kReceiveBufferSize)) ||
      !SetReceiveTimeout(clientSocket_, PollInterval())) {
    SetConnectionState(Reason("%s: Failed to set socket options", "korvane::CTcpChannel::AcceptConnection"),
                       ConnectionState::Lost);
    return false;
  }
  SetKeepAliveProbing(clientSocket_);
  return true;
}

std::unique_ptr<CChannelBase> CreateTcpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings) {
  return std::make_unique<CTcpChannel>(driver, debug, settings);
}

}  // namespace korvane
