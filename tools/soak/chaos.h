// The chaos thread: while the generators send, it stops and starts channels,
// closes and reopens drivers, resets connections mid-line, takes peers down
// and back up, and rewrites configuration files, one random act at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/soak/driver_lane.h"
#include "tools/soak/generators.h"

namespace korvane::soak {

enum class Act { kStopStart, kReopen, kReset, kRewrite, kPeerRestart };
const char* ActName(Act act);

struct ChaosTarget {
  Lane* lane = nullptr;
  Generator* generator = nullptr;           ///< null when the peer is the generator
  std::function<void(bool down)> peerDown;  ///< takes the lane's peer down or up; empty when it has none
};

/// Aborts the process when a step of the soak (a host call, an act) does not
/// return within a limit: a hang is a violation the report would never show.
/// Each thread that acts beats in a slot of its own.
class Watchdog {
 public:
  Watchdog(std::chrono::seconds limit, size_t slots);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  /// A new step begins in `slot`; `what` names it in the abort message.
  void Beat(size_t slot, std::string what);
  /// `slot` waits for nothing until its next beat.
  void Rest(size_t slot);

 private:
  struct Step {
    std::string what;  ///< empty while resting
    std::chrono::steady_clock::time_point since;
  };
  void Watch(const std::stop_token& stop);

  const std::chrono::seconds limit_;
  std::mutex mutex_;
  std::vector<Step> steps_;
  std::jthread thread_;
};

/// Runs acts on `targets` until `deadline`, beating in `slot`; returns how
/// many of each it ran, by lane. Threads running it at once must be given
/// disjoint targets: the host never calls one driver from two threads.
std::map<std::string, std::map<Act, uint64_t>> RunChaos(std::vector<ChaosTarget>& targets,
                                                        std::chrono::steady_clock::time_point deadline,
                                                        Watchdog& watchdog, size_t slot);

}  // namespace korvane::soak
