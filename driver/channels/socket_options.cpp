#include "driver/channels/socket_options.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace korvane {

bool SetSocketOption(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

bool SetReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool SetKeepAliveProbing(int fd) {
  const bool on = SetSocketOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  const bool idle = SetSocketOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 10);
  const bool interval = SetSocketOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 3);
  return on && idle && interval;
}

bool SetNonBlocking(int fd, bool enable) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  const int wanted = enable ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

void SendWithoutWaiting(int fd, std::string_view bytes) {
  if (fd < 0 || bytes.empty()) return;
  [[maybe_unused]] const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

uint16_t LocalPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

bool ParseIPv4(const std::string& text, in_addr& address) { return ::inet_pton(AF_INET, text.c_str(), &address) == 1; }

}  // namespace korvane
