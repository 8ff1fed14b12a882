// RTCP (RFC 3550) as a receiver needs it: what a server's compound packet
// asks for, and the receiver report with source description and the BYE we
// send back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvane {

/// What one received compound RTCP packet holds for us.
struct RTCPSummary {
  bool senderReport = false;  ///< an SR to answer
  uint32_t senderSsrc = 0;    ///< of that SR
  uint32_t lastSr = 0;        ///< middle 32 bits of its NTP timestamp
  bool bye = false;           ///< the sender leaves
};

/// Walks the packets of a compound datagram while their headers are sound
/// (version 2, length within the datagram); what follows a broken header is
/// ignored. An SR shorter than its sender information does not count.
RTCPSummary ParseRTCPCompound(const uint8_t* data, size_t size);

/// The answer to a sender report: a receiver report with one block for
/// `senderSsrc` (nothing lost, last SR echoed, delay since it 1/65536 s)
/// followed by a source description carrying `cname` (at most 255 bytes),
/// closed and padded to a 32-bit boundary as the length fields say.
std::string BuildReceiverReport(uint32_t ownSsrc, uint32_t senderSsrc, uint32_t lastSr, std::string_view cname);

/// The 8-byte BYE for `ownSsrc`.
std::string BuildBye(uint32_t ownSsrc);

}  // namespace korvane
