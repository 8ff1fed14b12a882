// What the process holds (resident memory, descriptors, threads) and what the
// kernel dropped for a UDP port because its receive buffer was full.
#pragma once

#include <cstdint>
#include <map>

namespace korvane::soak {

struct Usage {
  long rssKb = 0;  ///< VmRSS
  long descriptors = 0;
  long threads = 0;
};

Usage CurrentUsage();

/// Datagrams the kernel dropped, by socket inode, for every UDP socket bound
/// to local `port` (from /proc/net/udp).
std::map<uint64_t, uint64_t> UdpDrops(uint16_t port);

/// Keeps the highest drop count seen per socket, so the drops of sockets the
/// driver has closed since still count.
class UdpDropCounter {
 public:
  explicit UdpDropCounter(uint16_t port) : port_(port) {}
  void Sample();
  uint64_t Total() const;

 private:
  const uint16_t port_;
  std::map<uint64_t, uint64_t> seen_;
};

}  // namespace korvane::soak
