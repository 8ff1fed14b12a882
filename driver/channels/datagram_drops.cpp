#include "driver/channels/datagram_drops.h"

#include <linux/sock_diag.h>

#include <cstring>

#include "driver/channels/socket_options.h"

namespace korvane {

bool CDatagramDrops::Enable(int fd) { return SetSocketOption(fd, SOL_SOCKET, SO_RXQ_OVFL, 1); }

std::optional<uint32_t> CDatagramDrops::FromMessage(msghdr& message) {
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SO_RXQ_OVFL) {
      uint32_t counter = 0;
      std::memcpy(&counter, CMSG_DATA(header), sizeof counter);
      return counter;
    }
  }
  return std::nullopt;
}

std::optional<uint32_t> CDatagramDrops::Poll(int fd) {
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof info;
  if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &length) != 0 || length <= SK_MEMINFO_DROPS * 4) {
    return std::nullopt;
  }
  return info[SK_MEMINFO_DROPS];
}

void CDatagramDrops::Reset() {
  seen_ = reported_ = 0;
  lastReport_.reset();
}

uint32_t CDatagramDrops::Note(uint32_t counter, Clock::TimePoint now) {
  // The counter only grows (modulo 2^32); an older reading changes nothing.
  if (static_cast<int32_t>(counter - seen_) > 0) seen_ = counter;
  if (seen_ == reported_) return 0;
  if (lastReport_ && now - *lastReport_ < kReportInterval) return 0;
  lastReport_ = now;
  const uint32_t lost = seen_ - reported_;
  reported_ = seen_;
  return lost;
}

}  // namespace korvane
