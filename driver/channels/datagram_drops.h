// The kernel's count of datagrams a UDP socket dropped because its receive
// buffer was full, turned into reports of what was lost since the last one.
// Linux attaches the count to every datagram read with recvmsg once
// SO_RXQ_OVFL is set on the socket, and tells it at any time through
// SO_MEMINFO (for drops after the last datagram read).
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "driver/support/clock.h"

namespace korvane {

class CDatagramDrops {
 public:
  /// Shortest pause between two reports.
  static constexpr std::chrono::milliseconds kReportInterval{1000};

  /// Control space for recvmsg that holds the count.
  struct Control {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(uint32_t))];
  };

  /// Has the kernel attach the count to every datagram; false (errno set) when it cannot.
  static bool Enable(int fd);
  /// The count that came with a datagram read into `message` (whose control is a Control).
  static std::optional<uint32_t> FromMessage(msghdr& message);
  /// The socket's count now.
  static std::optional<uint32_t> Poll(int fd);

  /// A new socket: its count starts at zero.
  void Reset();
  /// Notes a reading of the count taken at `now`. Returns how many datagrams to
  /// report as lost now: those dropped since the last report, or 0 when there
  /// are none or the last report is younger than kReportInterval (they are
  /// reported at a later note).
  uint32_t Note(uint32_t counter, Clock::TimePoint now);
  /// Datagrams dropped since Reset.
  uint32_t Total() const { return seen_; }

 private:
  // The kernel's counter, which wraps.
  uint32_t seen_ = 0;
  uint32_t reported_ = 0;
  std::optional<Clock::TimePoint> lastReport_;
};

}  // namespace korvane
