#include "tools/soak/accounting.h"

#include <algorithm>

namespace korvane::soak {
namespace {

constexpr size_t kGarbledSamples = 5;
constexpr size_t kSampleLength = 160;

}  // namespace

RunWindow::Pass RunWindow::Enter(uint64_t generation) {
  Pass pass{std::unique_lock<std::mutex>(gate_)};
  pass.counts = open_.load() && generation_.load() == generation;
  return pass;
}

void RunWindow::Close() {
  open_ = false;
  ++generation_;
  // A batch that began while the window was open ends before this returns.
  const std::lock_guard<std::mutex> wait(gate_);
}

void RunWindow::Open() {
  const std::lock_guard<std::mutex> lock(gate_);
  ++generation_;
  open_ = true;
}

uint64_t Accounting::Connection::Missing() const {
  uint64_t missing = countedEnd > next ? countedEnd - next : 0;
  for (const auto& [first, end] : gaps) {
    if (first >= countedEnd) break;
    missing += std::min(end, countedEnd) - first;
  }
  return missing;
}

uint64_t Accounting::NewConnection() {
  const std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t id = nextConnection_++;
  connections_[id];
  return id;
}

void Accounting::Sending(uint64_t connection, uint64_t first, uint64_t count, bool counted) {
  const std::lock_guard<std::mutex> lock(mutex_);
  Connection& c = connections_[connection];
  c.sent = std::max(c.sent, first + count);
  if (counted && c.countedEnd == first) {
    c.countedEnd = first + count;
    tally_.sentWhileRunning += count;
  } else {
    tally_.sentOther += count;
  }
  Settle(connection, c);
}

void Accounting::Unsent(uint64_t connection, uint64_t first) {
  const std::lock_guard<std::mutex> lock(mutex_);
  Connection& c = connections_[connection];
  if (c.countedEnd <= first) return;
  const uint64_t uncounted = c.countedEnd - first;
  tally_.sentWhileRunning -= uncounted;
  tally_.sentOther += uncounted;
  c.countedEnd = first;
  Settle(connection, c);
}

void Accounting::Delivered(uint64_t connection, uint64_t sequence) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = connections_.find(connection);
  if (found == connections_.end() || sequence >= found->second.sent) {
    // A message this lane never sent (or not on that connection).
    ++tally_.garbled;
    return;
  }
  Connection& c = found->second;
  ++tally_.delivered;
  if (sequence >= c.next) {
    if (sequence > c.next) c.gaps.emplace(c.next, sequence);
    c.next = sequence + 1;
  } else {
    // Earlier than the last one: either it fills a gap (late) or it came before.
    auto gap = c.gaps.upper_bound(sequence);
    if (gap != c.gaps.begin() && (--gap)->second > sequence) {
      ++tally_.outOfOrder;
      const auto [first, end] = *gap;
      c.gaps.erase(gap);
      if (first < sequence) c.gaps.emplace(first, sequence);
      if (sequence + 1 < end) c.gaps.emplace(sequence + 1, end);
    } else {
      ++tally_.duplicated;
    }
  }
  Settle(connection, c);
}

void Accounting::Settle(uint64_t id, const Connection& connection) {
  if (connection.Drained()) {
    if (undrained_.erase(id) > 0 && undrained_.empty()) drained_.notify_all();
  } else {
    undrained_.insert(id);
  }
}

void Accounting::Garbled(const std::string& text) {
  const std::lock_guard<std::mutex> lock(mutex_);
  ++tally_.garbled;
  if (garbledSamples_.size() < kGarbledSamples) garbledSamples_.push_back(text.substr(0, kSampleLength));
}

bool Accounting::WaitDrained(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return drained_.wait_for(lock, limit, [&] { return undrained_.empty(); });
}

Tally Accounting::Totals() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  Tally totals = tally_;
  for (const auto& [id, connection] : connections_) totals.lost += connection.Missing();
  return totals;
}

std::vector<std::string> Accounting::GarbledSamples() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return garbledSamples_;
}

}  // namespace korvane::soak
