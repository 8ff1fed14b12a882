// The chaos thread: while the generators send, it stops and starts channels,
// closes and reopens drivers, resets connections mid-line, takes peers down
// and back up, and rewrites configuration files, one random act at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
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

/// Runs acts until `deadline`; returns how many of each it ran, by lane.
std::map<std::string, std::map<Act, uint64_t>> RunChaos(std::vector<ChaosTarget>& targets,
                                                        std::chrono::steady_clock::time_point deadline);

}  // namespace korvane::soak
