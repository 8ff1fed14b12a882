#include "host/replay_devices.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace korvane::host {
namespace {

using Clock = std::chrono::steady_clock;

// How long the driver may take to start listening (or to open its tty), and
// how long one block may take to go out.
constexpr auto kReachTime = std::chrono::seconds(5);
constexpr auto kSendTime = std::chrono::seconds(10);
constexpr auto kRetryPause = std::chrono::milliseconds(20);

std::string SystemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(-1); }
  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on `fd` until `deadline`; false on time-out or error.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  while (true) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, MillisecondsLeft(deadline));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

bool WriteAll(int fd, std::string_view data, std::string& error) {
  const auto deadline = Clock::now() + kSendTime;
  while (!data.empty()) {
    const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      data.remove_prefix(static_cast<size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == ENOTSOCK) {
      const ssize_t written = ::write(fd, data.data(), data.size());
      if (written > 0) {
        data.remove_prefix(static_cast<size_t>(written));
        continue;
      }
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      error = SystemError("send");
      return false;
    }
    if (!WaitFor(fd, POLLOUT, deadline)) {
      error = "the driver took no data for " + std::to_string(kSendTime.count()) + " s";
      return false;
    }
  }
  return true;
}

class TcpDevice final : public ReplayDevice {
 public:
  explicit TcpDevice(uint16_t port) : port_(port) {}

  bool Connect(std::string& error) override {
    const sockaddr_in address = Loopback(port_);
    const auto deadline = Clock::now() + kReachTime;
    while (true) {
      socket_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
      if (Clock::now() >= deadline) {
        error = SystemError(("connect to 127.0.0.1:" + std::to_string(port_)).c_str());
        return false;
      }
      std::this_thread::sleep_for(kRetryPause);
    }
  }

  bool Send(std::string_view block, std::string& error) override { return WriteAll(socket_.get(), block, error); }

  int Socket() const { return socket_.get(); }

 private:
  uint16_t port_;
  Fd socket_;
};

class TcpListeningDevice final : public ReplayDevice {
 public:
  explicit TcpListeningDevice(uint16_t port) : port_(port) {}

  bool Prepare(std::string& error) override {
    listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = Loopback(port_);
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 1) != 0) {
      error = SystemError(("listen on 127.0.0.1:" + std::to_string(port_)).c_str());
      return false;
    }
    return true;
  }

  bool Connect(std::string& error) override {
    if (!WaitFor(listener_.get(), POLLIN, Clock::now() + kReachTime)) {
      error = "the driver did not connect to 127.0.0.1:" + std::to_string(port_);
      return false;
    }
    connection_.Reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (connection_.get() < 0) {
      error = SystemError("accept");
      return false;
    }
    return true;
  }

  bool Send(std::string_view block, std::string& error) override { return WriteAll(connection_.get(), block, error); }

 private:
  uint16_t port_;
  Fd listener_;
  Fd connection_;
};

class UdpDevice final : public ReplayDevice {
 public:
  explicit UdpDevice(uint16_t port) : port_(port) {}

  bool Connect(std::string& error) override {
    socket_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = Loopback(port_);
    if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      error = SystemError("connect");
      return false;
    }
    return true;
  }

  bool Send(std::string_view block, std::string& error) override {
    if (::send(socket_.get(), block.data(), block.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(block.size())) {
      return true;
    }
    error = SystemError("send");
    return false;
  }

  bool SendsLines() const override { return true; }

 private:
  uint16_t port_;
  Fd socket_;
};

class HttpPostDevice final : public ReplayDevice {
 public:
  explicit HttpPostDevice(uint16_t port) : tcp_(port), port_(port) {}

  bool Connect(std::string& error) override { return tcp_.Connect(error); }

  bool Send(std::string_view block, std::string& error) override {
    std::string request =
        "POST / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
        "\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(block.size()) + "\r\n\r\n";
    request.append(block);
    if (!tcp_.Send(request, error)) return false;
    // The answer is read so that requests never pile up unanswered.
    return ReadAnswer(error);
  }

  bool SendsLines() const override { return true; }

 private:
  bool ReadAnswer(std::string& error) {
    const auto deadline = Clock::now() + kSendTime;
    std::string answer;
    size_t headerEnd = std::string::npos;
    size_t needed = 0;
    while (headerEnd == std::string::npos || answer.size() < needed) {
      char buffer[4096];
      if (!WaitFor(Socket(), POLLIN, deadline)) {
        error = "no answer to a POST within " + std::to_string(kSendTime.count()) + " s";
        return false;
      }
      const ssize_t got = ::recv(Socket(), buffer, sizeof buffer, 0);
      if (got <= 0) {
        error = "the driver closed the connection";
        return false;
      }
      answer.append(buffer, static_cast<size_t>(got));
      if (headerEnd == std::string::npos && (headerEnd = answer.find("\r\n\r\n")) != std::string::npos) {
        needed = headerEnd + 4 + ContentLength(answer.substr(0, headerEnd));
      }
    }
    return true;
  }

  static size_t ContentLength(const std::string& header) {
    for (size_t pos = header.find("\r\n"); pos != std::string::npos; pos = header.find("\r\n", pos + 2)) {
      if (strncasecmp(header.c_str() + pos + 2, "content-length:", 15) == 0) {
        return std::strtoull(header.c_str() + pos + 17, nullptr, 10);
      }
    }
    return 0;
  }

  int Socket() const { return tcp_.Socket(); }

  TcpDevice tcp_;
  uint16_t port_;
};

class SerialDevice final : public ReplayDevice {
 public:
  bool Prepare(std::string& error) override {
    master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master_.get() < 0 || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) {
      error = SystemError("posix_openpt");
      return false;
    }
    const char* name = ::ptsname(master_.get());
    if (name == nullptr) {
      error = SystemError("ptsname");
      return false;
    }
    // The driver opens this end in place of a serial port.
    ::setenv("KESTREL_SERIAL_DEVICE", name, 1);
    return true;
  }

  bool Connect(std::string& error) override {
    // While nobody holds the other end, the master reports a hang-up.
    const auto deadline = Clock::now() + kReachTime;
    while (true) {
      pollfd entry{master_.get(), POLLOUT, 0};
      if (::poll(&entry, 1, 0) >= 0 && (entry.revents & POLLHUP) == 0) break;
      if (Clock::now() >= deadline) {
        error = "the driver did not open the pseudo-terminal";
        return false;
      }
      std::this_thread::sleep_for(kRetryPause);
    }
    // The driver switches the line to raw mode right after opening it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return true;
  }

  bool Send(std::string_view block, std::string& error) override { return WriteAll(master_.get(), block, error); }

 private:
  Fd master_;
};

}  // namespace

std::unique_ptr<ReplayDevice> MakeTcpDevice(uint16_t port) { return std::make_unique<TcpDevice>(port); }
std::unique_ptr<ReplayDevice> MakeTcpListeningDevice(uint16_t port) {
  return std::make_unique<TcpListeningDevice>(port);
}
std::unique_ptr<ReplayDevice> MakeUdpDevice(uint16_t port) { return std::make_unique<UdpDevice>(port); }
std::unique_ptr<ReplayDevice> MakeHttpPostDevice(uint16_t port) { return std::make_unique<HttpPostDevice>(port); }
std::unique_ptr<ReplayDevice> MakeSerialDevice() { return std::make_unique<SerialDevice>(); }

}  // namespace korvane::host
