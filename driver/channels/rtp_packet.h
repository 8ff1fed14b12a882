// The RTP fixed header (RFC 3550) of one datagram: CSRC list, header
// extension and padding, every length checked against the datagram.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

/// One parsed RTP datagram. The pointers point into the datagram and live as long as it.
struct RTPPacket {
  uint8_t csrcCount = 0;
  const uint8_t* csrc = nullptr;  ///< csrcCount 32-bit identifiers, network order
  uint32_t ssrc = 0;
  bool marker = false;
  bool padding = false;
  uint8_t payloadType = 0;
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  bool hasExtension = false;
  uint16_t extensionProfile = 0;
  uint16_t extensionLength = 0;  ///< in 32-bit words
  const uint8_t* extension = nullptr;
  size_t payloadLength = 0;
  const uint8_t* payload = nullptr;  ///< without the padding
};

/// Smallest datagram that can carry a payload: the fixed header and one byte.
inline constexpr size_t kRTPMinimumDatagram = 13;

/// Parses one datagram. False (the datagram is to be dropped) when it is 12
/// bytes or shorter, its version is not 2, its CSRC list or extension runs
/// past its end, or its padding count exceeds what follows the header.
bool ParseRTPPacket(const uint8_t* data, size_t size, RTPPacket& packet);

}  // namespace korvane
