#include "driver/channels/rtcp_session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "driver/channels/rtcp_packet.h"
#include "driver/channels/socket_options.h"

namespace korvane {
namespace {

constexpr size_t kHostNameBuffer = 128;

std::string HostName() {
  char name[kHostNameBuffer + 1] = {};
  if (::gethostname(name, kHostNameBuffer) != 0 || name[0] == '\0') return "default";
  return name;
}

}  // namespace

CRTCPSession::CRTCPSession() : cname_(HostName()) {
  std::random_device random;
  ssrc_ = static_cast<uint32_t>(random());
}

bool CRTCPSession::Open(uint16_t port) {
  error_ = 0;
  socket_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket_.Valid()) {
    error_ = errno;
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  // The port must be ours: the server sends its reports to the port we announce.
  if (::bind(socket_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      !SetSocketOption(socket_.Get(), SOL_SOCKET, SO_RCVBUF, kSocketBuffer) ||
      !SetSocketOption(socket_.Get(), SOL_SOCKET, SO_SNDBUF, kSocketBuffer)) {
    error_ = errno;
    socket_.Reset();
    return false;
  }
  boundPort_ = LocalPort(socket_.Get());
  return true;
}

void CRTCPSession::Run(ISocketWaiter& waiter, std::chrono::milliseconds pollSlice) {
  uint8_t buffer[kReceiveSize];
  bool running = socket_.Valid();
  while (running) {
    const ISocketWaiter::Result result = waiter.WaitForSocket(socket_.Get(), POLLIN, pollSlice);
    if (result == ISocketWaiter::Result::kStopped || result == ISocketWaiter::Result::kError) break;
    if (result == ISocketWaiter::Result::kTimeout) continue;
    while (true) {
      sockaddr_in sender{};
      socklen_t senderLength = sizeof sender;
      const ssize_t n = ::recvfrom(socket_.Get(), buffer, sizeof buffer, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&sender), &senderLength);
      if (n < 0) {
        const int error = errno;
        if (error == EINTR || error == ECONNREFUSED) continue;
        if (error != EAGAIN && error != EWOULDBLOCK) {
          error_ = error;
          running = false;
        }
        break;
      }
      const RTCPSummary summary = ParseRTCPCompound(buffer, static_cast<size_t>(n));
      if (summary.bye) {
        running = false;
        break;
      }
      if (summary.senderReport) {
        lastSender_ = sender;
        haveSender_ = true;
        const std::string report = BuildReceiverReport(ssrc_, summary.senderSsrc, summary.lastSr, cname_);
        SendTo(sender, report);
      }
    }
  }
  if (socket_.Valid() && haveSender_) SendTo(lastSender_, BuildBye(ssrc_));
  socket_.Reset();
}

void CRTCPSession::SendTo(const sockaddr_in& receiver, const std::string& packet) {
  if (::sendto(socket_.Get(), packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&receiver), sizeof receiver) == static_cast<ssize_t>(packet.size())) {
    ++sent_;
  }
}

}  // namespace korvane
