#include "driver/channels/tcp_channel.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
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

}  // namespace

CTcpChannel::CTcpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings)
    : CTcpChannelBase(driver, debug, settings) {
  SetName("TCP " + std::to_string(static_cast<uint32_t>(settings.network.port)));
}

CTcpChannel::~CTcpChannel() = default;

bool CTcpChannel::WaitListening(std::chrono::milliseconds timeout, bool untilListening) const {
  AnnotatedLock lock(listenMutex_);
  return listenChanged_.WaitFor(listenMutex_, timeout, [&]() REQUIRES(listenMutex_) {
    return listenState_ == ListenState::kListening || (!untilListening && listenState_ == ListenState::kFailed);
  }) && listenState_ == ListenState::kListening;
}

void CTcpChannel::SetListenState(ListenState state) {
  {
    AnnotatedLock lock(listenMutex_);
    listenState_ = state;
  }
  listenChanged_.NotifyAll();
}

bool CTcpChannel::OpenChannel() {
  SetListenState(ListenState::kPending);
  OpenWSA();
  return true;
}

void CTcpChannel::CloseChannel() {
  SetConnectionState({}, ConnectionState::Closed);
  clientSocket_.Reset();
  listenSocket_.Reset();
  boundPort_ = 0;
  SetListenState(ListenState::kPending);
  CloseWSA();
}

int CTcpChannel::Run() {
  while (!StopRequested()) {
    if (!listenSocket_ && !OpenPort()) {
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

bool CTcpChannel::FailOpenPort(int error, const char* reason) {
  ReportLoss(error, "korvane::CTcpChannel::OpenPort", "%s", reason);
  CloseChannel();
  SetListenState(ListenState::kFailed);
  return false;
}

bool CTcpChannel::OpenPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return FailOpenPort(errno, "Failed to create socket");
  listenSocket_.Reset(fd);
  // Address reuse goes before the bind so a restarted channel can take its port
  // back from connections in TIME_WAIT; Linux still refuses a second listener.
  if (!SetSocketOption(fd, SOL_SOCKET, SO_REUSEADDR, 1)) return FailOpenPort(errno, "Failed to set socket options");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(Settings().network.port));
  const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  const int bindError = bound ? 0 : errno;
  if (!SetReceiveTimeout(fd, PollInterval())) return FailOpenPort(errno, "Failed to set socket options");
  // Listening on an unbound socket would take some random port: a port that
  // could not be bound fails here, as the listen does elsewhere.
  if (!bound) return FailOpenPort(bindError, "Failed to set listen");
  if (::listen(fd, SOMAXCONN) != 0) return FailOpenPort(errno, "Failed to set listen");
  if (!SetSocketOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1)) return FailOpenPort(errno, "Failed to set socket options");
  boundPort_ = LocalPort(fd);
  SetListenState(ListenState::kListening);
  return true;
}

bool CTcpChannel::WaitForConnection() {
  while (true) {
    if (StopRequested()) return false;
    const WaitResult result = WaitForSocket(listenSocket_.Get(), POLLIN, PollInterval());
    switch (result.readiness) {
      case Readiness::kReady:
        return true;
      case Readiness::kTimeout:
        continue;
      case Readiness::kStopped:
        return false;
      case Readiness::kError:
        ReportLoss(result.error, "korvane::CTcpChannel::WaitForConnection", "Failed to get socket status");
        return false;
    }
  }
}

bool CTcpChannel::AcceptConnection(bool& retry) {
  constexpr const char* kAccept = "korvane::CTcpChannel::AcceptConnection";
  retry = false;
  SetKeepAliveProbing(listenSocket_.Get());
  socklen_t length = sizeof peer_;
  const int fd =
      ::accept4(listenSocket_.Get(), reinterpret_cast<sockaddr*>(&peer_), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
  const int error = fd < 0 ? errno : 0;
  clientSocket_.Reset(fd);
  if (!clientSocket_) {
    // A connection that vanished before it was accepted leaves the listener usable.
    retry = IsTransientAcceptError(error);
    if (!retry) ReportLoss(error, kAccept, "Failed to accept");
    return false;
  }
  if (!SetSocketOption(clientSocket_.Get(), SOL_SOCKET, SO_RCVBUF, static_cast<int>(kReceiveBufferSize)) ||
      !SetReceiveTimeout(clientSocket_.Get(), PollInterval())) {
    ReportLoss(errno, kAccept, "Failed to set socket options");
    return false;
  }
  SetKeepAliveProbing(clientSocket_.Get());
  return true;
}

std::unique_ptr<CChannelBase> CreateTcpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings) {
  return std::make_unique<CTcpChannel>(driver, debug, settings);
}

}  // namespace korvane
