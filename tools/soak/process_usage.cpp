#include "tools/soak/process_usage.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace korvane::soak {
namespace {

long CountEntries(const char* folder) {
  std::error_code error;
  long count = 0;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) ++count;
  return count;
}

}  // namespace

Usage CurrentUsage() {
  Usage usage;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) usage.rssKb = std::stol(line.substr(6));
  }
  // The iterator's own descriptor is counted too, at the start and at the end alike.
  usage.descriptors = CountEntries("/proc/self/fd");
  usage.threads = CountEntries("/proc/self/task");
  return usage;
}

std::map<uint64_t, uint64_t> UdpDrops(uint16_t port) {
  std::map<uint64_t, uint64_t> drops;
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode, refs, pointer, dropped;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode >>
          refs >> pointer >> dropped)) {
      continue;
    }
    const size_t colon = local.find(':');
    if (colon == std::string::npos || std::stoul(local.substr(colon + 1), nullptr, 16) != port) continue;
    drops[std::stoull(inode)] = std::stoull(dropped);
  }
  return drops;
}

void UdpDropCounter::Sample() {
  for (const auto& [inode, drops] : UdpDrops(port_)) seen_[inode] = std::max(seen_[inode], drops);
}

uint64_t UdpDropCounter::Total() const {
  uint64_t total = 0;
  for (const auto& [inode, drops] : seen_) total += drops;
  return total;
}

}  // namespace korvane::soak
