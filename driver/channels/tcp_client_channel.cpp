#include "driver/channels/tcp_client_channel.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <string>

#include "driver/channels/socket_options.h"

namespace korvane {
namespace {

constexpr const char* kConnect = "korvane::CTcpClientChannel::Connect";

}  // namespace

CTcpClientChannel::CTcpClientChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings)
    : CTcpChannelBase(driver, debug, settings) {
  SetName("TCP Client " + settings.network.address + ":" +
          std::to_string(static_cast<uint32_t>(settings.network.port)));
}

CTcpClientChannel::~CTcpClientChannel() = default;

bool CTcpClientChannel::OpenChannel() {
  if (socket_) return false;
  OpenWSA();
  return true;
}

void CTcpClientChannel::CloseChannel() {
  SetConnectionState({}, ConnectionState::Closed);
  socket_.Reset();
  CloseWSA();
}

int CTcpClientChannel::Run() {
  while (!StopRequested()) {
    if (!Connect()) {
      WaitForStop(kRetryInterval);
      continue;
    }
    SetConnectionState({}, ConnectionState::Opened);
    // After a stream that delivered data the next connection follows at once.
    if (ReceiveStream(socket_) == 0) WaitForStop(kRetryInterval);
  }
  CloseChannel();
  return 0;
}

bool CTcpClientChannel::FailConnect(int error, const char* reason) {
  ReportLoss(error, kConnect, "%s", reason);
  CloseChannel();
  return false;
}

std::chrono::milliseconds CTcpClientChannel::NetworkTimeout() const {
  const int32_t timeout = Settings().network.timeout;
  return std::chrono::milliseconds(timeout > 0 ? timeout : 10000);
}

bool CTcpClientChannel::Connect() {
  if (socket_) return true;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return FailConnect(errno, "Failed to create socket");
  socket_.Reset(fd);
  if (!SetReceiveTimeout(fd, PollInterval()) || !SetSocketOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1)) {
    return FailConnect(errno, "Failed to set socket options");
  }
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(Settings().network.port));
  switch (ResolveHost(Settings().network.address, NetworkTimeout(), server.sin_addr)) {
    case Resolution::kResolved:
      break;
    case Resolution::kStopped:
      socket_.Reset();
      return false;
    case Resolution::kFailed:
      return FailConnect(0, "Failed to resolve host name");
  }

  // Connect without blocking, so a stop is noticed while the server does not answer.
  int error = 0;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      const auto deadline = GetClock().Now() + NetworkTimeout();
      error = ETIMEDOUT;
      while (GetClock().Now() < deadline) {
        const WaitResult result = WaitForSocket(fd, POLLOUT, PollInterval());
        if (result.readiness == Readiness::kStopped) {
          socket_.Reset();
          return false;
        }
        if (result.readiness == Readiness::kTimeout) continue;
        if (result.readiness == Readiness::kError) {
          error = result.error;
          break;
        }
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        break;
      }
    }
  }
  if (error == 0) return true;

  // A socket whose connect failed is of no further use: the next pass starts afresh.
  socket_.Reset();
  if (connectFailureReported_) return false;
  ReportLoss(error, kConnect, "Failed to connect to server %s:%d", Settings().network.address.c_str(),
             Settings().network.port);
  connectFailureReported_ = true;
  return false;
}

std::unique_ptr<CChannelBase> CreateTcpClientChannel(IDataDriver& driver, IDebug& debug,
                                                     const ChannelSettings& settings) {
  return std::make_unique<CTcpClientChannel>(driver, debug, settings);
}

}  // namespace korvane
