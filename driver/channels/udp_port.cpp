#include "driver/channels/udp_port.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "driver/channels/socket_options.h"

namespace korvane {
namespace {

// The largest datagram there is: nothing is ever cut short.
constexpr size_t kDatagramBuffer = 65536;
// Datagrams read per wakeup before the stop signal is looked at again.
constexpr int kBurst = 64;

}  // namespace

int CUDPPort::Open(uint16_t port) {
  if (socket_.Valid()) return kAlreadyOpen;
  error_ = 0;
  socket_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket_.Valid()) {
    error_ = errno;
    return kNoSocket;
  }
  const size_t wanted = std::min<size_t>(32 * receiveBufferSize_, kMaxSocketBuffer);
  if (!SetSocketOption(socket_.Get(), SOL_SOCKET, SO_RCVBUF, static_cast<int>(wanted))) {
    error_ = errno;
    socket_.Reset();
    return kOptionsFailed;
  }
  int granted = 0;
  socklen_t length = sizeof granted;
  // Linux reports twice the size asked for (it counts its bookkeeping).
  bufferBytes_ = ::getsockopt(socket_.Get(), SOL_SOCKET, SO_RCVBUF, &granted, &length) == 0 ? granted / 2 : 0;
  // Without the count, drops go unseen; receiving works all the same.
  CDatagramDrops::Enable(socket_.Get());
  drops_.Reset();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (::bind(socket_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error_ = errno;
    socket_.Reset();
    return kBindFailed;
  }
  boundPort_ = LocalPort(socket_.Get());
  return kOpened;
}

void CUDPPort::Close() {
  socket_.Reset();
  boundPort_ = 0;
}

void CUDPPort::ReceiveLoop(IUDPPortUser& user, ISocketWaiter& waiter, const Clock& clock,
                           std::chrono::milliseconds silenceLimit, std::chrono::milliseconds pollSlice) {
  const auto buffer = std::make_unique<uint8_t[]>(kDatagramBuffer);
  auto lastActivity = clock.Now();
  while (socket_.Valid()) {
    switch (waiter.WaitForSocket(socket_.Get(), POLLIN, pollSlice)) {
      case ISocketWaiter::Result::kStopped:
        return;
      case ISocketWaiter::Result::kTimeout:
        // A burst that overflowed the buffer may have ended with dropped datagrams.
        NoteDrops(user, CDatagramDrops::Poll(socket_.Get()), clock);
        if (clock.Now() - lastActivity >= silenceLimit) {
          user.ReceiveTimeout();
          lastActivity = clock.Now();
        }
        continue;
      case ISocketWaiter::Result::kError:
        error_ = EBADF;
        user.SocketClosed(*this);
        return;
      case ISocketWaiter::Result::kReady:
        break;
    }
    bool received = false;
    for (int i = 0; i < kBurst; ++i) {
      sockaddr_in sender{};
      iovec data{buffer.get(), kDatagramBuffer};
      CDatagramDrops::Control control;
      msghdr message{};
      message.msg_name = &sender;
      message.msg_namelen = sizeof sender;
      message.msg_iov = &data;
      message.msg_iovlen = 1;
      message.msg_control = control.bytes;
      message.msg_controllen = sizeof control.bytes;
      const ssize_t n = ::recvmsg(socket_.Get(), &message, MSG_DONTWAIT);
      if (n >= 0) NoteDrops(user, CDatagramDrops::FromMessage(message), clock);
      if (n > 0) {
        received = true;
        user.DataReceived(*this, sender, buffer.get(), static_cast<size_t>(n));
        continue;
      }
      if (n == 0) continue;  // an empty datagram carries nothing
      const int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK) break;
      // An ICMP error for something we sent earlier says nothing about receiving.
      if (error == EINTR || error == ECONNREFUSED) continue;
      error_ = error;
      user.SocketClosed(*this);
      return;
    }
    if (received) lastActivity = clock.Now();
  }
}

void CUDPPort::NoteDrops(IUDPPortUser& user, std::optional<uint32_t> counter, const Clock& clock) {
  if (!counter) return;
  const uint32_t lost = drops_.Note(*counter, clock.Now());
  if (lost > 0) user.DatagramsDropped(*this, lost, drops_.Total());
}

}  // namespace korvane
