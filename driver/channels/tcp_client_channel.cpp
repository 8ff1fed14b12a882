#include "driver/channels/tcp_client_channel.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "driver/channels/socket_options.h"
#include "driver/support/event.h"

namespace korvane {
namespace {

constexpr const char* kConnect = "korvane::CTcpClientChannel::Connect";

// One host-name lookup on a thread of its own, sharing only this block, so a
// stop never waits for a slow name server.
struct Lookup {
  Event done;
  std::mutex mutex;
  bool found = false;
  in_addr address{};
};

void RunLookup(const std::shared_ptr<Lookup>& lookup, const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) == 0 && result != nullptr) {
    std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
    lookup->found = true;
  }
  if (result != nullptr) ::freeaddrinfo(result);
  lookup->done.Set();
}

// Lookup threads a channel stopped waiting for finish on their own. They are
// joined once finished, and all of them before the library is unloaded, so
// none returns into unmapped code.
class LookupThreads {
 public:
  ~LookupThreads() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : threads_) entry.second.join();
  }
  void Start(const std::shared_ptr<Lookup>& lookup, const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = threads_.begin(); it != threads_.end();) {
      if (it->first->done.IsSet()) {
        it->second.join();
        it = threads_.erase(it);
      } else {
        ++it;
      }
    }
    threads_.emplace_back(lookup, std::thread(RunLookup, lookup, host));
  }

 private:
  std::mutex mutex_;
  std::list<std::pair<std::shared_ptr<Lookup>, std::thread>> threads_;
};

LookupThreads& Lookups() {
  static LookupThreads threads;
  return threads;
}

}  // namespace

CTcpClientChannel::CTcpClientChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings)
    : CTcpChannelBase(driver, debug, settings) {
  SetName("TCP Client " + settings.network.address + ":" +
          std::to_string(static_cast<uint32_t>(settings.network.port)));
}

CTcpClientChannel::~CTcpClientChannel() { CloseSocket(socket_); }

bool CTcpClientChannel::OpenChannel() {
  if (socket_ >= 0) return false;
  OpenWSA();
  return true;
}

void CTcpClientChannel::CloseChannel() {
  SetConnectionState({}, ConnectionState::Closed);
  CloseSocket(socket_);
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

bool CTcpClientChannel::FailConnect(const char* reasonFormat) {
  char reason[256];
  std::snprintf(reason, sizeof reason, reasonFormat, kConnect);
  SetConnectionState(reason, ConnectionState::Lost);
  CloseChannel();
  return false;
}

CTcpClientChannel::Resolution CTcpClientChannel::Resolve(in_addr& address) {
  const std::string& host = Settings().network.address;
  if (ParseIPv4(host, address)) return Resolution::kResolved;
  auto lookup = std::make_shared<Lookup>();
  try {
    Lookups().Start(lookup, host);
  } catch (const std::exception&) {
    return Resolution::kFailed;
  }
  const auto deadline = GetClock().Now() + NetworkTimeout();
  while (!lookup->done.IsSet()) {
    if (GetClock().Now() >= deadline) return Resolution::kFailed;
    if (WaitForSocket(lookup->done.Fd(), POLLIN, PollInterval()) == Readiness::kStopped) return Resolution::kStopped;
  }
  std::lock_guard<std::mutex> lock(lookup->mutex);
  if (!lookup->found) return Resolution::kFailed;
  address = lookup->address;
  return Resolution::kResolved;
}

std::chrono::milliseconds CTcpClientChannel::NetworkTimeout() const {
  const int32_t timeout = Settings().network.timeout;
  return std::chrono::milliseconds(timeout > 0 ? timeout : 10000);
}

bool CTcpClientChannel::Connect() {
  if (socket_ >= 0) return true;
  socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (socket_ < 0) return FailConnect("%s: Failed to create socket");
  if (!SetReceiveTimeout(socket_, PollInterval()) || !SetSocketOption(socket_, SOL_SOCKET, SO_KEEPALIVE, 1)) {
    return FailConnect("%s: Failed to set socket options");
  }
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(Settings().network.port));
  switch (Resolve(server.sin_addr)) {
    case Resolution::kResolved:
      break;
    case Resolution::kStopped:
      CloseSocket(socket_);
      return false;
    case Resolution::kFailed:
      return FailConnect("%s: Failed to resolve host name");
  }

  // Connect without blocking, so a stop is noticed while the server does not answer.
  int error = 0;
  if (::connect(socket_, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      const auto deadline = GetClock().Now() + NetworkTimeout();
      error = ETIMEDOUT;
      while (GetClock().Now() < deadline) {
        const Readiness readiness = WaitForSocket(socket_, POLLOUT, PollInterval());
        if (readiness == Readiness::kStopped) {
          CloseSocket(socket_);
          return false;
        }
        if (readiness == Readiness::kTimeout) continue;
        socklen_t length = sizeof error;
        if (readiness == Readiness::kError || ::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
          error = errno != 0 ? errno : EIO;
        }
        break;
      }
    }
  }
  if (error == 0) return true;

  // A socket whose connect failed is of no further use: the next pass starts afresh.
  CloseSocket(socket_);
  if (connectFailureReported_) return false;
  char reason[512];
  std::snprintf(reason, sizeof reason, "%s: Failed to connect to server %s:%d", kConnect,
                Settings().network.address.c_str(), Settings().network.port);
  SetConnectionState(reason, ConnectionState::Lost);
  connectFailureReported_ = true;
  return false;
}

std::unique_ptr<CChannelBase> CreateTcpClientChannel(IDataDriver& driver, IDebug& debug,
                                                     const ChannelSettings& settings) {
  return std::make_unique<CTcpClientChannel>(driver, debug, settings);
}

}  // namespace korvane
