// One datagram on the RTP port: whatever it holds, a packet that parses has
// its header, payload and padding adding up to the datagram, all inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "driver/channels/rtp_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the datagram's size, so ASan sees any read past it.
  const std::vector<uint8_t> datagram(data, data + size);
  korvane::RTPPacket packet;
  if (!korvane::ParseRTPPacket(datagram.data(), datagram.size(), packet)) return 0;
  const uint8_t* begin = datagram.data();
  const size_t header =
      12 + 4 * size_t{packet.csrcCount} + (packet.hasExtension ? 4 + 4 * size_t{packet.extensionLength} : 0);
  const size_t padding = packet.padding ? datagram.back() : 0;
  if (packet.payload != begin + header) std::abort();
  if (header + packet.payloadLength + padding != size) std::abort();
  // Touch every byte the record points to.
  volatile uint8_t sink = 0;
  for (size_t i = 0; i < packet.payloadLength; ++i) sink = sink ^ packet.payload[i];
  for (size_t i = 0; i < 4 * size_t{packet.csrcCount}; ++i) sink = sink ^ packet.csrc[i];
  for (size_t i = 0; packet.hasExtension && i < 4 * size_t{packet.extensionLength}; ++i) {
    sink = sink ^ packet.extension[i];
  }
  return 0;
}
