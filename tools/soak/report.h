// The soak's closing figures: per lane what had to arrive and what did, what
// the chaos thread did, the process's memory, descriptors and threads at the
// end against the start, and every violation; the exit status follows them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/soak/chaos.h"
#include "tools/soak/lanes.h"
#include "tools/soak/process_usage.h"

namespace korvane::soak {

/// How far the end may lie above the start.
struct UsageMargin {
  long rssKb = 0;
  long descriptors = 0;
  long threads = 0;
};

struct RunFigures {
  int seconds = 0;
  Usage start;
  Usage end;
  UsageMargin margin;
  uint64_t udpKernelDrops = 0;
  std::map<std::string, std::map<Act, uint64_t>> acts;
};

/// Prints the report to standard output; the violations found (empty: a clean run).
std::vector<std::string> PrintReport(const LaneSet& lanes, const RunFigures& figures);

}  // namespace korvane::soak
