// Test peers on 127.0.0.1: a TCP stream (client or accepted), a TCP listener
// and a UDP sender. Every wait has a deadline; nothing blocks without one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace korvane::testing {

using std::chrono::milliseconds;

/// One connected TCP socket.
class TestStream {
 public:
  explicit TestStream(int fd = -1) : fd_(fd) {}
  ~TestStream();
  TestStream(const TestStream&) = delete;
  TestStream& operator=(const TestStream&) = delete;

  /// Connects to 127.0.0.1:`port`; null when refused or timed out.
  static std::unique_ptr<TestStream> Connect(uint16_t port, milliseconds timeout = milliseconds(2000));

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  /// Sends all bytes (waits up to `timeout` for buffer space); false on error.
  bool Send(std::string_view bytes, milliseconds timeout = milliseconds(2000));
  /// Reads until `size` bytes arrived, the peer closed or `timeout` passed; returns what arrived.
  std::string Receive(size_t size, milliseconds timeout = milliseconds(2000));
  /// Reads whatever is there now (nothing waits).
  std::string Drain();
  /// True when the peer closed (or reset) the connection within `timeout`; data read meanwhile is dropped.
  bool WaitClosed(milliseconds timeout = milliseconds(2000));
  /// Orderly close.
  void Close();
  /// Abortive close: the peer sees a reset.
  void Reset();

 private:
  int fd_;
};

/// A listening socket on 127.0.0.1 with an ephemeral port (or a given one).
class TestListener {
 public:
  ~TestListener();
  /// False when the port cannot be bound.
  bool Listen(uint16_t port = 0, bool anyAddress = false);
  uint16_t Port() const { return port_; }
  /// Accepts one connection; null after `timeout`.
  std::unique_ptr<TestStream> Accept(milliseconds timeout = milliseconds(2000));
  void Close();

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

/// Sends one datagram to 127.0.0.1:`port` from a fresh socket.
bool SendDatagram(uint16_t port, std::string_view bytes);

/// A UDP socket bound to 127.0.0.1 (port 0: ephemeral) that sends datagrams.
class TestUdpSocket {
 public:
  ~TestUdpSocket();
  bool Bind(uint16_t port = 0, bool anyAddress = false);
  uint16_t Port() const { return port_; }
  bool SendTo(uint16_t port, std::string_view bytes);
  void Close();

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

/// An HTTP peer for answers real servers do not give. Each connection gets
/// `answer` as soon as the client has sent something; then, with a filler,
/// the filler again and again until the client leaves or Stop; without one
/// the connection is closed.
class RawHttpServer {
 public:
  ~RawHttpServer();
  bool Start(std::string answer, std::string filler = "");
  void Stop();
  uint16_t Port() const { return listener_.Port(); }
  /// Connections accepted so far.
  size_t Connections() const { return connections_.load(); }
  /// Bytes of filler sent so far.
  size_t FillerBytes() const { return fillerBytes_.load(); }

 private:
  void Serve();

  TestListener listener_;
  std::string answer_;
  std::string filler_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> connections_{0};
  std::atomic<size_t> fillerBytes_{0};
  std::thread thread_;
};

/// A TCP port on which nothing listens right now (bound, then released).
uint16_t UnusedTcpPort();

}  // namespace korvane::testing
