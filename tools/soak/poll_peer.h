// The device the HTTP model polls: an HTTP server on 127.0.0.1 whose every
// answer is a new batch of numbered lines, and which the chaos thread can take
// down (every connection reset) and bring back on the same port.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tools/soak/driver_lane.h"

namespace korvane::soak {

class PollPeer {
 public:
  /// Each answer carries `linesPerAnswer` messages.
  PollPeer(Lane& lane, uint16_t port, size_t linesPerAnswer);
  ~PollPeer();
  PollPeer(const PollPeer&) = delete;
  PollPeer& operator=(const PollPeer&) = delete;

  void Begin();
  void End();
  /// Down: the listener closes and every connection is reset; up: it listens
  /// again. Waits (bounded) until the server thread has done it.
  void SetDown(bool down);
  /// While paused every answer is empty.
  void Pause(bool paused) { paused_ = paused; }
  uint64_t Answers() const { return answers_.load(); }

 private:
  struct Client {
    int fd = -1;
    std::string request;
  };
  void Serve(const std::stop_token& stop);
  bool Listen();
  void TakeDown();
  void Accept();
  /// False when the client went away.
  bool Read(Client& client);
  std::string NextAnswer();

  Lane& lane_;
  const uint16_t port_;
  const size_t linesPerAnswer_;
  int listener_ = -1;
  std::vector<Client> clients_;
  std::atomic<bool> paused_{false};
  std::atomic<bool> down_{false};
  std::atomic<bool> isDown_{true};
  std::atomic<uint64_t> answers_{0};
  std::jthread thread_;
};

}  // namespace korvane::soak
