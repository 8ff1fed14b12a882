#include "tools/soak/chaos.h"

#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

namespace korvane::soak {
namespace {

using std::chrono::milliseconds;

std::vector<Act> PossibleActs(const ChaosTarget& target) {
  std::vector<Act> acts{Act::kStopStart, Act::kReopen, Act::kRewrite};
  if (target.generator != nullptr && target.generator->CanReset()) acts.push_back(Act::kReset);
  if (target.peerDown) acts.push_back(Act::kPeerRestart);
  return acts;
}

void Perform(Act act, ChaosTarget& target, std::minstd_rand& random, int& variant) {
  Lane& lane = *target.lane;
  const auto pause = [&](int from, int to) {
    std::this_thread::sleep_for(milliseconds(from + random() % (to - from)));
  };
  switch (act) {
    case Act::kStopStart:
      lane.Stop();
      pause(20, 300);
      lane.Start();
      break;
    case Act::kReopen:
      lane.Close();
      pause(0, 100);
      if (lane.Open()) lane.Start();
      break;
    case Act::kReset:
      target.generator->RequestReset();
      break;
    case Act::kRewrite:
      variant ^= 1;
      lane.WriteConfiguration(variant);
      break;
    case Act::kPeerRestart:
      // What the peer sent before must arrive; what it sends while going down need not.
      lane.Quiet();
      target.peerDown(true);
      pause(100, 600);
      target.peerDown(false);
      if (lane.Running()) lane.Window().Open();
      break;
  }
}

}  // namespace

const char* ActName(Act act) {
  switch (act) {
    case Act::kStopStart:
      return "stop/start";
    case Act::kReopen:
      return "close/reopen";
    case Act::kReset:
      return "reset mid-line";
    case Act::kRewrite:
      return "rewrite config";
    case Act::kPeerRestart:
      return "peer restart";
  }
  return "?";
}

Watchdog::Watchdog(std::chrono::seconds limit, size_t slots)
    : limit_(limit), steps_(slots), thread_([this](const std::stop_token& stop) { Watch(stop); }) {}

Watchdog::~Watchdog() = default;

void Watchdog::Beat(size_t slot, std::string what) {
  const std::lock_guard<std::mutex> lock(mutex_);
  steps_.at(slot) = {std::move(what), std::chrono::steady_clock::now()};
}

void Watchdog::Rest(size_t slot) {
  const std::lock_guard<std::mutex> lock(mutex_);
  steps_.at(slot).what.clear();
}

void Watchdog::Watch(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    std::this_thread::sleep_for(milliseconds(200));
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const Step& step : steps_) {
      if (step.what.empty() || std::chrono::steady_clock::now() - step.since <= limit_) continue;
      std::printf("VIOLATION hang: %s did not return within %lld s\nsoak: FAILED\n", step.what.c_str(),
                  static_cast<long long>(limit_.count()));
      std::fflush(stdout);
      std::_Exit(1);
    }
  }
}

std::map<std::string, std::map<Act, uint64_t>> RunChaos(std::vector<ChaosTarget>& targets,
                                                        std::chrono::steady_clock::time_point deadline,
                                                        Watchdog& watchdog, size_t slot) {
  std::map<std::string, std::map<Act, uint64_t>> done;
  std::minstd_rand random{std::random_device{}()};
  std::vector<int> variants(targets.size(), 0);
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(100 + random() % 300));
    const size_t index = random() % targets.size();
    ChaosTarget& target = targets[index];
    const std::vector<Act> acts = PossibleActs(target);
    const Act act = acts[random() % acts.size()];
    watchdog.Beat(slot, std::string(ActName(act)) + " on " + target.lane->Setup().label);
    Perform(act, target, random, variants[index]);
    ++done[target.lane->Setup().label][act];
  }
  watchdog.Rest(slot);
  return done;
}

}  // namespace korvane::soak
