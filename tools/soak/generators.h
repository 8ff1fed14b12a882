// The devices of the soak: one generator thread per lane, sending numbered
// messages at a steady rate over the lane's transport, starting a new
// connection when the driver drops one, and (when the chaos thread asks)
// resetting its connection in the middle of a message.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pty_peers.h"
#include "tools/soak/driver_lane.h"

namespace korvane::soak {

class Generator {
 public:
  /// `rate`: messages per second.
  Generator(Lane& lane, int rate);
  virtual ~Generator();
  Generator(const Generator&) = delete;
  Generator& operator=(const Generator&) = delete;

  void Begin();
  /// Stops the thread; call before the generator's lane goes.
  void End();
  /// While paused the generator keeps its connection and sends nothing.
  void Pause(bool paused) { paused_ = paused; }
  /// Asks for a reset in the middle of a message on the current connection.
  void RequestReset() { resetRequested_ = true; }
  virtual bool CanReset() const { return false; }
  /// Messages sent and connections begun so far (for the report).
  uint64_t Sent() const { return sent_.load(); }
  uint64_t Connections() const { return connections_.load(); }

 protected:
  /// One connection's numbering.
  struct Link {
    uint64_t id = 0;
    uint64_t generation = 0;
    uint64_t next = 0;
    bool counting = true;
  };
  /// Sends the messages of one batch; false when the connection failed.
  using Sender = std::function<bool(const std::vector<std::string>& messages)>;

  virtual void Run(const std::stop_token& stop) = 0;

  Link NewLink();
  /// Sends the next batch on `link`, counted when the run window allows.
  bool SendBatch(Link& link, const Sender& send);
  /// Sleeps so that batches follow the rate.
  void Pace();
  /// True (after a short sleep) while paused.
  bool Paused();
  bool TakeResetRequest() { return resetRequested_.exchange(false); }
  /// The message after the last of `link`, cut in the middle, as a peer that dies mid-line leaves it.
  std::string HalfMessage(Link& link);
  Lane& lane_;

 private:
  const int rate_;
  std::atomic<bool> paused_{false};
  std::atomic<bool> resetRequested_{false};
  std::atomic<uint64_t> sent_{0};
  std::atomic<uint64_t> connections_{0};
  std::chrono::steady_clock::time_point nextBatch_;
  std::jthread thread_;
};

/// TCP server models (and the proxies, and Heron's panel): connects to the driver's port.
std::unique_ptr<Generator> MakeConnectingGenerator(Lane& lane, int rate, uint16_t port);
/// TCP client model: listens where the driver connects.
std::unique_ptr<Generator> MakeListeningGenerator(Lane& lane, int rate, uint16_t port);
/// HTTP server model: POSTs batches of lines on a kept-alive connection.
std::unique_ptr<Generator> MakePostingGenerator(Lane& lane, int rate, uint16_t port);
/// UDP model: one datagram per message.
std::unique_ptr<Generator> MakeDatagramGenerator(Lane& lane, int rate, uint16_t port);
/// Serial model: writes into `pty`, whose other end the driver opens.
std::unique_ptr<Generator> MakeSerialGenerator(Lane& lane, int rate, testing::TestPty& pty);

}  // namespace korvane::soak
