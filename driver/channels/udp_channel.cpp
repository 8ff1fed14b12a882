#include "driver/channels/udp_channel.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/channels/socket_options.h"

namespace korvane {
namespace {

constexpr const char* kRun = "korvane::CUdpChannel::Run";
// Pause after a receive error, so an error that repeats at once cannot spin.
constexpr std::chrono::milliseconds kErrorPause{50};

}  // namespace

CUdpChannel::CUdpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings)
    : CChannelBase(driver, debug, settings) {
  SetName("UDP " + std::to_string(static_cast<uint32_t>(settings.network.port)));
  SetKind("UDP Channel");
}

CUdpChannel::~CUdpChannel() { CloseSocket(socket_); }

bool CUdpChannel::FailOpen(const char* reasonFormat) {
  char reason[256];
  std::snprintf(reason, sizeof reason, reasonFormat, "korvane::CUdpChannel::OpenChannel");
  SetConnectionState(reason, ConnectionState::Lost);
  CloseChannel();
  return false;
}

bool CUdpChannel::OpenChannel() {
  OpenWSA();
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (socket_ < 0) return FailOpen("%s: Failed to create socket");
  // A failed bind does not stop the start; Run reports it and tries again.
  Bind();
  if (!SetSocketOption(socket_, SOL_SOCKET, SO_RCVBUF, static_cast<int>(kReceiveBufferSize)) ||
      !SetReceiveTimeout(socket_, PollInterval())) {
    return FailOpen("%s: Failed to set socket options");
  }
  return true;
}

bool CUdpChannel::Bind() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(Settings().network.port));
  if (::bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    bindError_ = errno;
    return false;
  }
  bindError_ = 0;
  boundPort_ = LocalPort(socket_);
  return true;
}

void CUdpChannel::CloseChannel() {
  SetConnectionState({}, ConnectionState::Closed);
  CloseSocket(socket_);
  boundPort_ = 0;
  CloseWSA();
}

int CUdpChannel::Run() {
  std::vector<char> buffer(kReceiveBufferSize, 0);
  BeginConnection();
  SetConnectionState({}, ConnectionState::Opened);
  while (!StopRequested()) {
    // An unbound socket would wait for nothing: report it like a failing receive.
    if (boundPort_ == 0 && !Bind()) {
      Log(kLogError, kCatUdpChannel, "%s: Error reading from socket (code %d)", kRun, bindError_);
      WaitForStop(PollInterval());
      continue;
    }
    const Readiness readiness = WaitForSocket(socket_, POLLIN, PollInterval());
    if (readiness == Readiness::kStopped) break;
    if (readiness == Readiness::kTimeout) continue;
    if (readiness == Readiness::kError) {
      Log(kLogError, kCatUdpChannel, "%s: Error reading from socket (code %d)", kRun, errno);
      WaitForStop(kErrorPause);
      continue;
    }
    const ssize_t received = ::recv(socket_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (received < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      Log(kLogError, kCatUdpChannel, "%s: Error reading from socket (code %d)", kRun, errno);
      WaitForStop(kErrorPause);
      continue;
    }
    if (received == 0) continue;
    SetConnectionState({}, ConnectionState::Restored);
    ProcessData(buffer.data(), static_cast<size_t>(received));
  }
  CloseChannel();
  return 0;
}

std::unique_ptr<CChannelBase> CreateUdpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings) {
  return std::make_unique<CUdpChannel>(driver, debug, settings);
}

}  // namespace korvane
