#include "tools/soak/generators.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <random>

#include "tests/support/socket_peers.h"

namespace korvane::soak {
namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::TestStream;

constexpr size_t kBatch = 20;
constexpr milliseconds kSendLimit{5000};
constexpr milliseconds kRetryPause{20};
constexpr int kSendBuffer = 32 * 1024;

std::string Joined(const std::vector<std::string>& messages) {
  std::string joined;
  for (const std::string& message : messages) joined += message;
  return joined;
}

size_t RandomBelow(size_t limit) {
  thread_local std::minstd_rand random{std::random_device{}()};
  return limit == 0 ? 0 : random() % limit;
}

// A connection lives a random 0.5 to 8 s before the device closes it in order.
milliseconds RandomLifetime() { return milliseconds(500 + RandomBelow(7500)); }

// Sends `bytes` in two writes cut at a random point with a short pause
// between, so that messages also reach the driver split across reads.
bool WriteInTwo(const std::string& bytes, const std::function<bool(std::string_view)>& write) {
  const std::string_view all(bytes);
  const size_t cut = RandomBelow(all.size());
  if (!write(all.substr(0, cut))) return false;
  std::this_thread::sleep_for(std::chrono::microseconds(100));
  return write(all.substr(cut));
}

/// A byte stream: runs connections one after the other, each until it fails,
/// its lifetime ends or the chaos thread resets it.
class StreamGenerator : public Generator {
 public:
  using Generator::Generator;
  bool CanReset() const override { return true; }

 protected:
  /// The next connection to the driver; null when there is none yet.
  virtual std::unique_ptr<TestStream> Reach() = 0;
  /// Sends one batch's bytes on `stream`.
  virtual bool Deliver(TestStream& stream, const std::string& bytes) {
    const bool sent = WriteInTwo(bytes, [&](std::string_view part) { return stream.Send(part, kSendLimit); });
    stream.Drain();  // acknowledgements
    return sent;
  }

  void Run(const std::stop_token& stop) override {
    while (!stop.stop_requested()) {
      std::unique_ptr<TestStream> stream = Reach();
      if (!stream) {
        std::this_thread::sleep_for(kRetryPause);
        continue;
      }
      Serve(*stream, stop);
    }
  }

 private:
  void Serve(TestStream& stream, const std::stop_token& stop) {
    // A small send queue: what a stop lets arrive is never more than a moment's worth.
    const int sendBuffer = kSendBuffer;
    ::setsockopt(stream.Fd(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    Link link = NewLink();
    const auto end = SteadyClock::now() + RandomLifetime();
    const Sender send = [&](const std::vector<std::string>& messages) { return Deliver(stream, Joined(messages)); };
    while (!stop.stop_requested()) {
      if (Paused()) {
        stream.Drain();
        continue;
      }
      if (TakeResetRequest()) {
        ResetMidLine(stream, link);
        return;
      }
      if (SteadyClock::now() >= end) return;  // orderly close
      if (!SendBatch(link, send)) return;
      Pace();
    }
  }

  void ResetMidLine(TestStream& stream, Link& link) {
    // A reset throws away what still waits in our send queue, so it goes out
    // only once everything sent has reached the driver's socket; the bytes
    // there must be delivered, the cut message must not. A queue that does
    // not empty in time (a slow driver) gets an orderly close instead.
    if (!WaitSent(stream.Fd())) return;
    stream.Send(HalfMessage(link), kSendLimit);
    stream.Reset();
  }

  static bool WaitSent(int fd) {
    const auto deadline = SteadyClock::now() + kSendLimit;
    int queued = 0;
    while (::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0) {
      if (SteadyClock::now() >= deadline) return false;
      std::this_thread::sleep_for(milliseconds(1));
    }
    return queued == 0;
  }
};

class ConnectingGenerator : public StreamGenerator {
 public:
  ConnectingGenerator(Lane& lane, int rate, uint16_t port) : StreamGenerator(lane, rate), port_(port) {}
  ~ConnectingGenerator() override { End(); }

 protected:
  std::unique_ptr<TestStream> Reach() override { return TestStream::Connect(port_, milliseconds(200)); }

 private:
  const uint16_t port_;
};

class ListeningGenerator final : public StreamGenerator {
 public:
  ListeningGenerator(Lane& lane, int rate, uint16_t port) : StreamGenerator(lane, rate) {
    if (!listener_.Listen(port)) std::fprintf(stderr, "soak: cannot listen on 127.0.0.1:%u\n", port);
  }
  ~ListeningGenerator() override { End(); }

 protected:
  std::unique_ptr<TestStream> Reach() override { return listener_.Accept(milliseconds(200)); }

 private:
  testing::TestListener listener_;
};

class PostingGenerator final : public ConnectingGenerator {
 public:
  using ConnectingGenerator::ConnectingGenerator;
  ~PostingGenerator() override { End(); }

 protected:
  bool Deliver(TestStream& stream, const std::string& bytes) override {
    const std::string request =
        "POST /soak HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nContent-Length: " +
        std::to_string(bytes.size()) + "\r\n\r\n" + bytes;
    return stream.Send(request, kSendLimit) && ReadAnswer(stream);
  }

 private:
  // Reads one answer, so requests never pile up unanswered.
  static bool ReadAnswer(TestStream& stream) {
    const auto deadline = SteadyClock::now() + kSendLimit;
    std::string answer;
    size_t needed = std::string::npos;
    while (answer.size() < needed) {
      if (SteadyClock::now() >= deadline) return false;
      const std::string piece = stream.Receive(1, milliseconds(200));
      if (piece.empty()) {
        if (!stream.IsOpen()) return false;
        continue;
      }
      answer += piece + stream.Drain();
      const size_t headerEnd = answer.find("\r\n\r\n");
      if (needed == std::string::npos && headerEnd != std::string::npos) {
        const size_t length = FindLength(answer.substr(0, headerEnd));
        needed = headerEnd + 4 + length;
      }
    }
    return answer.compare(0, 12, "HTTP/1.1 200") == 0;
  }

  static size_t FindLength(const std::string& header) {
    for (size_t pos = header.find("\r\n"); pos != std::string::npos; pos = header.find("\r\n", pos + 2)) {
      if (strncasecmp(header.c_str() + pos + 2, "content-length:", 15) == 0) {
        return std::strtoull(header.c_str() + pos + 17, nullptr, 10);
      }
    }
    return 0;
  }
};

class DatagramGenerator final : public Generator {
 public:
  DatagramGenerator(Lane& lane, int rate, uint16_t port) : Generator(lane, rate) {
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  ~DatagramGenerator() override {
    End();
    ::close(socket_);
  }

 protected:
  void Run(const std::stop_token& stop) override {
    Link link = NewLink();
    // A refused datagram (the port was closed) ends the numbering: what follows is a new one.
    const Sender send = [&](const std::vector<std::string>& messages) {
      for (const std::string& message : messages) {
        if (::send(socket_, message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size())) {
          return false;
        }
      }
      return true;
    };
    while (!stop.stop_requested()) {
      if (Paused()) continue;
      if (link.generation != lane_.Window().Generation() || !SendBatch(link, send)) link = NewLink();
      Pace();
    }
  }

 private:
  int socket_ = -1;
};

/// Writes only while the channel runs: bytes written into a closed port would
/// reach the next opening as the tail of a line.
class SerialGenerator final : public Generator {
 public:
  SerialGenerator(Lane& lane, int rate, testing::TestPty& pty) : Generator(lane, rate), pty_(pty) {}
  ~SerialGenerator() override { End(); }

 protected:
  void Run(const std::stop_token& stop) override {
    Link link;
    bool reached = false;
    const Sender send = [&](const std::vector<std::string>& messages) {
      return WriteInTwo(Joined(messages), [&](std::string_view part) { return pty_.Write(part, kSendLimit); });
    };
    while (!stop.stop_requested()) {
      DiscardEcho();
      if (Paused()) continue;
      if (!lane_.Window().IsOpen()) {
        reached = false;
        std::this_thread::sleep_for(kRetryPause);
        continue;
      }
      if (!reached || link.generation != lane_.Window().Generation()) {
        if (!DeviceOpened()) {
          std::this_thread::sleep_for(kRetryPause);
          continue;
        }
        // The driver switches the line to raw mode right after opening it.
        std::this_thread::sleep_for(milliseconds(100));
        reached = true;
        link = NewLink();
      }
      if (!SendBatch(link, send)) reached = false;
      Pace();
    }
  }

 private:
  // While nobody holds the device side, the other side reports a hang-up.
  bool DeviceOpened() const {
    pollfd entry{pty_.Fd(), POLLOUT, 0};
    return ::poll(&entry, 1, 0) >= 0 && (entry.revents & POLLHUP) == 0;
  }

  void DiscardEcho() const {
    char buffer[4096];
    while (::read(pty_.Fd(), buffer, sizeof buffer) > 0) {
    }
  }

  testing::TestPty& pty_;
};

}  // namespace

Generator::Generator(Lane& lane, int rate) : lane_(lane), rate_(rate) {}

Generator::~Generator() { assert(!thread_.joinable() && "End the generator in the derived destructor"); }

void Generator::Begin() {
  nextBatch_ = SteadyClock::now();
  thread_ = std::jthread([this](const std::stop_token& stop) { Run(stop); });
}

void Generator::End() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
}

Generator::Link Generator::NewLink() {
  ++connections_;
  Link link;
  link.generation = lane_.Window().Generation();
  link.counting = lane_.Window().IsOpen();
  link.id = lane_.Books().NewConnection();
  return link;
}

bool Generator::SendBatch(Link& link, const Sender& send) {
  std::vector<std::string> messages;
  messages.reserve(kBatch);
  for (size_t i = 0; i < kBatch; ++i) {
    messages.push_back(WireMessage(lane_.Setup().wire, lane_.Setup().label, link.id, link.next + i));
  }
  const RunWindow::Pass pass = lane_.Window().Enter(link.generation);
  link.counting = link.counting && pass.counts;
  const uint64_t first = link.next;
  lane_.Books().Sending(link.id, first, kBatch, link.counting);
  link.next += kBatch;
  sent_ += kBatch;
  if (send(messages)) return true;
  lane_.Books().Unsent(link.id, first);
  link.counting = false;
  return false;
}

void Generator::Pace() {
  nextBatch_ += std::chrono::microseconds(1000000 * kBatch / static_cast<size_t>(rate_));
  const auto now = SteadyClock::now();
  // Behind by more than a second: the driver was slow; do not burst to catch up.
  if (nextBatch_ < now - std::chrono::seconds(1)) nextBatch_ = now;
  std::this_thread::sleep_until(nextBatch_);
}

bool Generator::Paused() {
  if (!paused_) return false;
  std::this_thread::sleep_for(milliseconds(10));
  nextBatch_ = SteadyClock::now();
  return true;
}

std::string Generator::HalfMessage(Link& link) {
  const std::string message = WireMessage(lane_.Setup().wire, lane_.Setup().label, link.id, link.next);
  lane_.Books().Sending(link.id, link.next, 1, false);
  ++link.next;
  return message.substr(0, message.size() / 2);
}

std::unique_ptr<Generator> MakeConnectingGenerator(Lane& lane, int rate, uint16_t port) {
  return std::make_unique<ConnectingGenerator>(lane, rate, port);
}
std::unique_ptr<Generator> MakeListeningGenerator(Lane& lane, int rate, uint16_t port) {
  return std::make_unique<ListeningGenerator>(lane, rate, port);
}
std::unique_ptr<Generator> MakePostingGenerator(Lane& lane, int rate, uint16_t port) {
  return std::make_unique<PostingGenerator>(lane, rate, port);
}
std::unique_ptr<Generator> MakeDatagramGenerator(Lane& lane, int rate, uint16_t port) {
  return std::make_unique<DatagramGenerator>(lane, rate, port);
}
std::unique_ptr<Generator> MakeSerialGenerator(Lane& lane, int rate, testing::TestPty& pty) {
  return std::make_unique<SerialGenerator>(lane, rate, pty);
}

}  // namespace korvane::soak
