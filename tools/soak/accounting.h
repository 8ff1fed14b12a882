// What one lane sent and what its host received, per connection: which
// messages had to arrive (sent while the channel ran), and which arrived
// once, twice, late or not at all.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace korvane::soak {

struct Tally {
  uint64_t sentWhileRunning = 0;  ///< messages that had to arrive
  uint64_t sentOther = 0;         ///< sent while the channel stopped, on a connection about to be reset, ...
  uint64_t delivered = 0;         ///< valid messages the host received, duplicates included
  uint64_t lost = 0;              ///< sent while running and never delivered
  uint64_t duplicated = 0;
  uint64_t outOfOrder = 0;  ///< arrived after a later message of its connection
  uint64_t garbled = 0;     ///< delivered texts that are no message sent on this lane
};

/// Tells generators whether what they send now must arrive: closed while the
/// channel is being stopped or its peer restarted.
class RunWindow {
 public:
  /// A generator holds a pass while it sends one batch.
  struct Pass {
    std::unique_lock<std::mutex> lock;
    bool counts = false;
  };
  /// `generation` is the one the connection began in: a connection that
  /// outlived a closed window never counts again.
  Pass Enter(uint64_t generation);
  uint64_t Generation() const { return generation_.load(); }
  bool IsOpen() const { return open_.load(); }
  /// From its return on, no batch counts; a batch being sent has finished.
  void Close();
  void Open();

 private:
  std::mutex gate_;
  std::atomic<bool> open_{false};
  std::atomic<uint64_t> generation_{1};
};

class Accounting {
 public:
  uint64_t NewConnection();
  /// Before a batch goes out: messages [first, first + count) of `connection`.
  /// Counted messages must follow the counted ones before them without a gap.
  void Sending(uint64_t connection, uint64_t first, uint64_t count, bool counted);
  /// The batch from `first` on may not have gone out: it no longer counts.
  void Unsent(uint64_t connection, uint64_t first);
  void Delivered(uint64_t connection, uint64_t sequence);
  void Garbled(const std::string& text);
  /// Waits until every counted message has arrived; false after `limit`.
  bool WaitDrained(std::chrono::milliseconds limit);
  Tally Totals() const;
  /// A few garbled texts, for the report.
  std::vector<std::string> GarbledSamples() const;

 private:
  struct Connection {
    uint64_t sent = 0;                  ///< sequences below it were sent
    uint64_t countedEnd = 0;            ///< sequences below it count
    uint64_t next = 0;                  ///< one past the highest delivered
    std::map<uint64_t, uint64_t> gaps;  ///< undelivered ranges below `next`: first -> end
    bool Drained() const { return next >= countedEnd && (gaps.empty() || gaps.begin()->first >= countedEnd); }
    uint64_t Missing() const;
  };
  void Settle(uint64_t id, const Connection& connection);

  mutable std::mutex mutex_;
  std::condition_variable drained_;
  std::map<uint64_t, Connection> connections_;
  std::set<uint64_t> undrained_;
  uint64_t nextConnection_ = 1;
  Tally tally_;
  std::vector<std::string> garbledSamples_;
};

}  // namespace korvane::soak
