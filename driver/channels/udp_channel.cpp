#include "driver/channels/udp_channel.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
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

CUdpChannel::~CUdpChannel() = default;

bool CUdpChannel::FailOpen(int error, const char* reason) {
  ReportLoss(error, "korvane::CUdpChannel::OpenChannel", "%s", reason);
  CloseChannel();
  return false;
}

bool CUdpChannel::OpenChannel() {
  OpenWSA();
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return FailOpen(errno, "Failed to create socket");
  socket_.Reset(fd);
  // A failed bind does not stop the start; Run reports it and tries again.
  Bind();
  if (!SetKernelBuffer(fd) || !SetReceiveTimeout(fd, PollInterval())) {
    return FailOpen(errno, "Failed to set socket options");
  }
  // The kernel's drop counter comes with every datagram; without it drops go unseen.
  if (!CDatagramDrops::Enable(fd)) {
    Log(kLogWarn, kCatUdpChannel, "%s: Datagrams dropped by the system cannot be counted (error %d)",
        "korvane::CUdpChannel::OpenChannel", errno);
  }
  drops_.Reset();
  return true;
}

bool CUdpChannel::SetKernelBuffer(int fd) {
  const int wanted = Settings().udpReceiveBufferBytes;
  // Past the system limit only with the right privilege; otherwise as much as the limit allows.
  if (!SetSocketOption(fd, SOL_SOCKET, SO_RCVBUFFORCE, wanted) && !SetSocketOption(fd, SOL_SOCKET, SO_RCVBUF, wanted)) {
    return false;
  }
  int granted = 0;
  socklen_t length = sizeof granted;
  // Linux reports twice the size asked for (it counts its bookkeeping).
  if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length) == 0 && granted / 2 < wanted) {
    Log(kLogWarn, kCatUdpChannel,
        "%s: Receive buffer is %d bytes, less than the %d configured; the system limit net.core.rmem_max applies",
        "korvane::CUdpChannel::OpenChannel", granted / 2, wanted);
  }
  return true;
}

bool CUdpChannel::Bind() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(Settings().network.port));
  if (::bind(socket_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    bindError_ = errno;
    return false;
  }
  bindError_ = 0;
  boundPort_ = LocalPort(socket_.Get());
  return true;
}

void CUdpChannel::CloseChannel() {
  SetConnectionState({}, ConnectionState::Closed);
  socket_.Reset();
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
    const WaitResult wait = WaitForSocket(socket_.Get(), POLLIN, PollInterval());
    if (wait.readiness == Readiness::kStopped) break;
    if (wait.readiness == Readiness::kTimeout) {
      // A burst that overflowed the buffer may have ended with dropped datagrams.
      NoteDrops(CDatagramDrops::Poll(socket_.Get()));
      continue;
    }
    if (wait.readiness == Readiness::kError) {
      Log(kLogError, kCatUdpChannel, "%s: Error reading from socket (code %d)", kRun, wait.error);
      WaitForStop(kErrorPause);
      continue;
    }
    int error = 0;
    const ssize_t received = Receive(buffer.data(), buffer.size(), error);
    if (received < 0) {
      if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) continue;
      Log(kLogError, kCatUdpChannel, "%s: Error reading from socket (code %d)", kRun, error);
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

ssize_t CUdpChannel::Receive(char* buffer, size_t size, int& error) {
  iovec data{buffer, size};
  CDatagramDrops::Control control;
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control.bytes;
  message.msg_controllen = sizeof control.bytes;
  const ssize_t received = ::recvmsg(socket_.Get(), &message, MSG_DONTWAIT);
  if (received < 0) {
    error = errno;
    return received;
  }
  NoteDrops(CDatagramDrops::FromMessage(message));
  return received;
}

void CUdpChannel::NoteDrops(std::optional<uint32_t> counter) {
  if (!counter) return;
  const uint32_t lost = drops_.Note(*counter, GetClock().Now());
  if (lost == 0) return;
  Log(kLogError, kCatUdpChannel,
      "%s: %u datagrams lost: the receive buffer of %d bytes overflowed (%u lost since the channel started)", kRun,
      lost, Settings().udpReceiveBufferBytes, drops_.Total());
}

std::unique_ptr<CChannelBase> CreateUdpChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings) {
  return std::make_unique<CUdpChannel>(driver, debug, settings);
}

}  // namespace korvane
