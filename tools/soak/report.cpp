#include "tools/soak/report.h"

#include <cstdio>

namespace korvane::soak {
namespace {

void LaneViolations(const Lane& lane, const Tally& tally, uint64_t udpDrops, std::vector<std::string>& found) {
  const std::string& name = lane.Setup().label;
  const auto add = [&](const std::string& what) { found.push_back(name + ": " + what); };
  const Lane::Calls calls = lane.CallFigures();
  if (lane.Setup().countOnly) {
    if (calls.countOnlyDelivered == 0) add("no message delivered");
  } else {
    if (tally.sentWhileRunning == 0) add("nothing was sent while the channel ran");
    const bool udp = lane.Setup().wire == Wire::kDatagram;
    if (tally.lost > 0 && !(udp && tally.lost <= udpDrops)) {
      add(std::to_string(tally.lost) + " lost" + (udp ? " (more than the kernel dropped)" : ""));
    }
    if (tally.duplicated > 0) add(std::to_string(tally.duplicated) + " duplicated");
    if (tally.outOfOrder > 0) add(std::to_string(tally.outOfOrder) + " out of order");
  }
  if (tally.garbled > 0) add(std::to_string(tally.garbled) + " garbled");
  if (calls.openFailures > 0) add(std::to_string(calls.openFailures) + " failed opens");
  if (calls.startFailures > 0) add(std::to_string(calls.startFailures) + " failed starts");
  if (calls.longestStop > kCallBound) add("a stop took " + std::to_string(calls.longestStop.count()) + " ms");
  if (calls.longestClose > kCallBound) add("a close took " + std::to_string(calls.longestClose.count()) + " ms");
}

void PrintLanes(const LaneSet& lanes, const RunFigures& figures, std::vector<std::string>& violations) {
  std::printf("%-10s %-26s %10s %8s %10s %6s %6s %6s %7s %6s %5s %5s\n", "lane", "model", "sent-run", "other",
              "delivered", "lost", "dup", "order", "garbled", "stops", "stop", "close");
  for (const auto& lane : lanes.Lanes()) {
    const Tally tally = lane->Books().Totals();
    const Lane::Calls calls = lane->CallFigures();
    const bool udp = lane.get() == lanes.UdpLane();
    LaneViolations(*lane, tally, figures.udpKernelDrops, violations);
    if (lane->Setup().countOnly) {
      std::printf("%-10s %-26s %10s %8s %10llu %6s %6s %6s %7llu %6llu %4lldms %4lldms\n", lane->Setup().label.c_str(),
                  lane->Setup().model.c_str(), "-", "-", static_cast<unsigned long long>(calls.countOnlyDelivered), "-",
                  "-", "-", static_cast<unsigned long long>(tally.garbled),
                  static_cast<unsigned long long>(calls.stops), static_cast<long long>(calls.longestStop.count()),
                  static_cast<long long>(calls.longestClose.count()));
      continue;
    }
    std::printf("%-10s %-26s %10llu %8llu %10llu %6llu %6llu %6llu %7llu %6llu %4lldms %4lldms%s\n",
                lane->Setup().label.c_str(), lane->Setup().model.c_str(),
                static_cast<unsigned long long>(tally.sentWhileRunning),
                static_cast<unsigned long long>(tally.sentOther), static_cast<unsigned long long>(tally.delivered),
                static_cast<unsigned long long>(tally.lost), static_cast<unsigned long long>(tally.duplicated),
                static_cast<unsigned long long>(tally.outOfOrder), static_cast<unsigned long long>(tally.garbled),
                static_cast<unsigned long long>(calls.stops), static_cast<long long>(calls.longestStop.count()),
                static_cast<long long>(calls.longestClose.count()),
                udp ? (" kernel drops " + std::to_string(figures.udpKernelDrops)).c_str() : "");
  }
}

void PrintActs(const LaneSet& lanes, const RunFigures& figures) {
  std::printf("\nchaos acts:\n");
  for (const auto& lane : lanes.Lanes()) {
    const auto found = figures.acts.find(lane->Setup().label);
    std::printf("  %-10s", lane->Setup().label.c_str());
    if (found != figures.acts.end()) {
      for (const auto& [act, count] : found->second) {
        std::printf("  %s %llu", ActName(act), static_cast<unsigned long long>(count));
      }
    }
    const Lane::Calls calls = lane->CallFigures();
    std::printf("  | error lines %llu, drain time-outs %llu\n", static_cast<unsigned long long>(calls.errorLogs),
                static_cast<unsigned long long>(calls.drainTimeouts));
  }
}

void PrintSamples(const LaneSet& lanes) {
  for (const auto& lane : lanes.Lanes()) {
    for (const std::string& text : lane->Books().GarbledSamples()) {
      std::printf("  garbled on %s: %s\n", lane->Setup().label.c_str(), text.c_str());
    }
  }
  std::printf("\nfirst error lines the driver logged, by lane (expected under chaos):\n");
  for (const auto& lane : lanes.Lanes()) {
    for (const std::string& line : lane->ErrorSamples()) {
      std::printf("  %-10s %s\n", lane->Setup().label.c_str(), line.c_str());
    }
  }
}

void CheckUsage(const char* what, long start, long end, long margin, const char* unit,
                std::vector<std::string>& violations) {
  std::printf("  %-12s start %8ld  end %8ld  (%+ld %s, margin %ld)\n", what, start, end, end - start, unit, margin);
  if (end - start > margin) {
    violations.push_back(std::string(what) + " grew from " + std::to_string(start) + " to " + std::to_string(end) +
                         " " + unit);
  }
}

}  // namespace

std::vector<std::string> PrintReport(const LaneSet& lanes, const RunFigures& figures) {
  std::vector<std::string> violations;
  std::printf(
      "\nsoak: %d s with chaos; sent-run = messages sent while the channel ran (each must arrive once, "
      "in order)\n\n",
      figures.seconds);
  PrintLanes(lanes, figures, violations);
  PrintActs(lanes, figures);
  std::printf("\nprocess after warm-up and at the end (generators paused, everything delivered):\n");
  CheckUsage("memory (RSS)", figures.start.rssKb, figures.end.rssKb, figures.margin.rssKb, "KiB", violations);
  CheckUsage("descriptors", figures.start.descriptors, figures.end.descriptors, figures.margin.descriptors, "",
             violations);
  CheckUsage("threads", figures.start.threads, figures.end.threads, figures.margin.threads, "", violations);
  PrintSamples(lanes);
  std::printf("\n");
  for (const std::string& violation : violations) std::printf("VIOLATION %s\n", violation.c_str());
  std::printf("soak: %s\n", violations.empty() ? "clean" : "FAILED");
  std::fflush(stdout);
  return violations;
}

}  // namespace korvane::soak
