#include "tests/support/socket_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace korvane::testing {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(uint16_t port, bool anyAddress = false) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(anyAddress ? INADDR_ANY : INADDR_LOOPBACK);
  return address;
}

int Remaining(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool WaitFor(int fd, short events, Clock::time_point deadline) {
  pollfd p{fd, events, 0};
  int n = 0;
  do {
    n = ::poll(&p, 1, Remaining(deadline));
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

uint16_t PortOf(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

}  // namespace

TestStream::~TestStream() { Close(); }

std::unique_ptr<TestStream> TestStream::Connect(uint16_t port, milliseconds timeout) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return nullptr;
  auto stream = std::make_unique<TestStream>(fd);
  const sockaddr_in address = Loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS || !WaitFor(fd, POLLOUT, Clock::now() + timeout)) return nullptr;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return nullptr;
  }
  return stream;
}

bool TestStream::Send(std::string_view bytes, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (!WaitFor(fd_, POLLOUT, deadline)) return false;
      continue;
    }
    return false;
  }
  return true;
}

std::string TestStream::Receive(size_t size, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string result;
  char buffer[4096];
  while (result.size() < size) {
    if (!WaitFor(fd_, POLLIN, deadline)) break;
    const ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, size - result.size()), MSG_DONTWAIT);
    if (n > 0) {
      result.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;
    }
  }
  return result;
}

std::string TestStream::Drain() {
  std::string result;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) result.append(buffer, static_cast<size_t>(n));
  return result;
}

bool TestStream::WaitClosed(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  char buffer[4096];
  while (WaitFor(fd_, POLLIN, deadline)) {
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
  }
  return false;
}

void TestStream::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TestStream::Reset() {
  if (fd_ < 0) return;
  linger abortive{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  Close();
}

TestListener::~TestListener() { Close(); }

bool TestListener::Listen(uint16_t port, bool anyAddress) {
  Close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return false;
  const sockaddr_in address = Loopback(port, anyAddress);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 16) != 0) {
    Close();
    return false;
  }
  port_ = PortOf(fd_);
  return true;
}

std::unique_ptr<TestStream> TestListener::Accept(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (WaitFor(fd_, POLLIN, deadline)) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) return std::make_unique<TestStream>(fd);
  }
  return nullptr;
}

void TestListener::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  port_ = 0;
}

bool SendDatagram(uint16_t port, std::string_view bytes) {
  TestUdpSocket socket;
  return socket.Bind() && socket.SendTo(port, bytes);
}

TestUdpSocket::~TestUdpSocket() { Close(); }

bool TestUdpSocket::Bind(uint16_t port, bool anyAddress) {
  Close();
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  const sockaddr_in address = Loopback(port, anyAddress);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    Close();
    return false;
  }
  port_ = PortOf(fd_);
  return true;
}

bool TestUdpSocket::SendTo(uint16_t port, std::string_view bytes) {
  const sockaddr_in address = Loopback(port);
  return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
         static_cast<ssize_t>(bytes.size());
}

void TestUdpSocket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  port_ = 0;
}

RawHttpServer::~RawHttpServer() { Stop(); }

bool RawHttpServer::Start(std::string answer, std::string filler) {
  answer_ = std::move(answer);
  filler_ = std::move(filler);
  stop_ = false;
  if (!listener_.Listen()) return false;
  thread_ = std::thread(&RawHttpServer::Serve, this);
  return true;
}

void RawHttpServer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  listener_.Close();
}

void RawHttpServer::Serve() {
  while (!stop_) {
    auto client = listener_.Accept(milliseconds(20));
    if (client == nullptr) continue;
    ++connections_;
    // Whatever the client sends first (a request or a TLS hello) gets the answer.
    std::string first;
    const auto deadline = Clock::now() + milliseconds(2000);
    while (first.empty() && !stop_ && Clock::now() < deadline) first = client->Receive(1, milliseconds(20));
    if (first.empty() || !client->Send(answer_)) continue;
    while (!filler_.empty() && !stop_) {
      if (!client->Send(filler_, milliseconds(20))) {
        // A full buffer is a slow reader; anything else means the client left.
        if (!client->IsOpen() || client->WaitClosed(milliseconds(0))) break;
        continue;
      }
      fillerBytes_ += filler_.size();
    }
  }
}

uint16_t UnusedTcpPort() {
  TestListener listener;
  if (!listener.Listen()) return 0;
  return listener.Port();
}

}  // namespace korvane::testing
