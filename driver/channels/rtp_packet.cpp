#include "driver/channels/rtp_packet.h"

namespace korvane {
namespace {

constexpr size_t kFixedHeader = 12;

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Read32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace

bool ParseRTPPacket(const uint8_t* data, size_t size, RTPPacket& packet) {
  packet = RTPPacket{};
  if (data == nullptr || size < kRTPMinimumDatagram || (data[0] >> 6) != 2) return false;
  packet.padding = (data[0] & 0x20) != 0;
  packet.hasExtension = (data[0] & 0x10) != 0;
  packet.csrcCount = data[0] & 0x0F;
  packet.marker = (data[1] & 0x80) != 0;
  packet.payloadType = data[1] & 0x7F;
  packet.sequence = Read16(data + 2);
  packet.timestamp = Read32(data + 4);
  packet.ssrc = Read32(data + 8);

  size_t header = kFixedHeader + 4 * size_t{packet.csrcCount};
  if (size < header) return false;
  packet.csrc = packet.csrcCount > 0 ? data + kFixedHeader : nullptr;
  if (packet.hasExtension) {
    if (size < header + 4) return false;
    packet.extensionProfile = Read16(data + header);
    packet.extensionLength = Read16(data + header + 2);
    packet.extension = data + header + 4;
    header += 4 + 4 * size_t{packet.extensionLength};
    if (size < header) return false;
  }
  size_t payloadLength = size - header;
  if (packet.padding) {
    // The last byte counts the padding bytes, itself included.
    const size_t paddingLength = data[size - 1];
    if (paddingLength == 0 || paddingLength > payloadLength) return false;
    payloadLength -= paddingLength;
  }
  packet.payload = data + header;
  packet.payloadLength = payloadLength;
  return true;
}

}  // namespace korvane
