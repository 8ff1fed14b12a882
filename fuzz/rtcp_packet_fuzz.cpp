// One datagram on the RTCP port, then our answer to it: reading never
// leaves the datagram, and the answer's length fields add up to its size
// whatever the CNAME.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/channels/rtcp_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> datagram(data, data + size);
  const korvane::RTCPSummary summary = korvane::ParseRTCPCompound(datagram.data(), datagram.size());
  if (summary.senderReport && size < 28) std::abort();
  const std::string cname(reinterpret_cast<const char*>(data), size > 300 ? 300 : size);
  const std::string answer = korvane::BuildReceiverReport(1, summary.senderSsrc, summary.lastSr, cname);
  size_t pos = 0;
  while (pos + 4 <= answer.size()) {
    pos += (size_t{static_cast<uint8_t>(answer[pos + 2])} << 8 | static_cast<uint8_t>(answer[pos + 3])) * 4 + 4;
  }
  if (pos != answer.size()) std::abort();
  return 0;
}
