#include "tools/soak/poll_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace korvane::soak {
namespace {

constexpr int kPollMs = 50;
constexpr int kSettleTries = 100;  // of 20 ms: two seconds for the server thread to follow

void ResetAndClose(int fd) {
  linger abortive{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  ::close(fd);
}

}  // namespace

PollPeer::PollPeer(Lane& lane, uint16_t port, size_t linesPerAnswer)
    : lane_(lane), port_(port), linesPerAnswer_(linesPerAnswer) {}

PollPeer::~PollPeer() { End(); }

void PollPeer::Begin() {
  thread_ = std::jthread([this](const std::stop_token& stop) { Serve(stop); });
}

void PollPeer::End() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
  TakeDown();
}

void PollPeer::SetDown(bool down) {
  down_ = down;
  for (int i = 0; i < kSettleTries && isDown_ != down; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

bool PollPeer::Listen() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int on = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0) {
    ::close(listener_);
    listener_ = -1;
    return false;
  }
  return true;
}

void PollPeer::TakeDown() {
  for (Client& client : clients_) ResetAndClose(client.fd);
  clients_.clear();
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

void PollPeer::Serve(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    if (down_ != isDown_) {
      if (down_) {
        TakeDown();
        isDown_ = true;
      } else if (Listen()) {
        isDown_ = false;
      }
    }
    std::vector<pollfd> fds;
    if (listener_ >= 0) fds.push_back({listener_, POLLIN, 0});
    for (const Client& client : clients_) fds.push_back({client.fd, POLLIN, 0});
    ::poll(fds.data(), fds.size(), kPollMs);
    if (listener_ >= 0 && (fds[0].revents & POLLIN) != 0) Accept();
    // Clients accepted just now are read on the next pass.
    const size_t offset = listener_ >= 0 ? 1 : 0;
    for (size_t i = fds.size(); i-- > offset;) {
      if (fds[i].revents == 0 || i - offset >= clients_.size()) continue;
      if (!Read(clients_[i - offset])) {
        ::close(clients_[i - offset].fd);
        clients_.erase(clients_.begin() + static_cast<ptrdiff_t>(i - offset));
      }
    }
  }
}

void PollPeer::Accept() {
  const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) clients_.push_back({fd, {}});
}

bool PollPeer::Read(Client& client) {
  char buffer[4096];
  const ssize_t got = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return false;
  if (got > 0) client.request.append(buffer, static_cast<size_t>(got));
  // A GET has no body: each blank line ends a request.
  for (size_t end = client.request.find("\r\n\r\n"); end != std::string::npos; end = client.request.find("\r\n\r\n")) {
    client.request.erase(0, end + 4);
    const std::string answer = NextAnswer();
    // The client is blocking: the whole answer goes out or the client is gone.
    size_t sent = 0;
    while (sent < answer.size()) {
      const ssize_t n = ::send(client.fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
  }
  return true;
}

std::string PollPeer::NextAnswer() {
  if (paused_) return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n";
  // Every answer is a connection of its own in the books.
  const uint64_t id = lane_.Books().NewConnection();
  std::string body;
  for (size_t i = 0; i < linesPerAnswer_; ++i) body += WireMessage(lane_.Setup().wire, lane_.Setup().label, id, i);
  const RunWindow::Pass pass = lane_.Window().Enter(lane_.Window().Generation());
  lane_.Books().Sending(id, 0, linesPerAnswer_, pass.counts);
  ++answers_;
  return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

}  // namespace korvane::soak
