#include "driver/channels/tcp_client_channel.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <string>

#include "driver/channels/socket_options.h"
#include "driver/support/annotated_mutex.h"
#include "driver/support/event.h"
#include "driver/support/thread_annotations.h"

namespace korvane {
namespace {

constexpr const char* kConnect = "korvane::CTcpClientChannel::Connect";

// One host-name lookup, shared by the channel and the helper thread that
// runs it, so a stop never waits for a slow name server.
struct Lookup {
  Event done;
  AnnotatedMutex mutex;
  bool found GUARDED_BY(mutex) = false;
  in_addr address GUARDED_BY(mutex){};
};

void RunLookup(Lookup& lookup, const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) == 0 && result != nullptr) {
    AnnotatedLock lock(lookup.mutex);
    lookup.address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
    lookup.found = true;
  }
  if (result != nullptr) ::freeaddrinfo(result);
  lookup.done.Set();
}

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
    ReceiveStream(socket_);
  }
  CloseChannel();
  return 0;
}

bool CTcpClientChannel::FailConnect(int error, const char* reason) {
  ReportLoss(error, kConnect, "%s", reason);
  CloseChannel();
  return false;
}

CTcpClientChannel::Resolution CTcpClientChannel::Resolve(in_addr& address) {
  const std::string& host = Settings().network.address;
  if (ParseIPv4(host, address)) return Resolution::kResolved;
  auto lookup = std::make_shared<Lookup>();
  // The lookup cannot be interrupted: Stop does not wait for it, and it only touches what it owns.
  if (!StartHelper([lookup, host] { RunLookup(*lookup, host); }, HelperKind::kBlockingCall)) {
    return StopRequested() ? Resolution::kStopped : Resolution::kFailed;
  }
  const auto deadline = GetClock().Now() + NetworkTimeout();
  while (!lookup->done.IsSet()) {
    if (GetClock().Now() >= deadline) return Resolution::kFailed;
    if (WaitForSocket(lookup->done.Fd(), POLLIN, PollInterval()).readiness == Readiness::kStopped) {
      return Resolution::kStopped;
    }
  }
  AnnotatedLock lock(lookup->mutex);
  if (!lookup->found) return Resolution::kFailed;
  address = lookup->address;
  return Resolution::kResolved;
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
  switch (Resolve(server.sin_addr)) {
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
