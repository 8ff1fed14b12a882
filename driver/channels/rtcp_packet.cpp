#include "driver/channels/rtcp_packet.h"

namespace korvane {
namespace {

constexpr uint8_t kSenderReport = 200;
constexpr uint8_t kReceiverReport = 201;
constexpr uint8_t kSourceDescription = 202;
constexpr uint8_t kBye = 203;
constexpr uint8_t kCname = 1;
// Header (4), sender SSRC (4), NTP timestamp (8), RTP timestamp (4), counts (8).
constexpr size_t kSenderReportMinimum = 28;

uint32_t Read32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void Put16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value & 0xFF));
}

void Put32(std::string& out, uint32_t value) {
  Put16(out, static_cast<uint16_t>(value >> 16));
  Put16(out, static_cast<uint16_t>(value & 0xFFFF));
}

}  // namespace

RTCPSummary ParseRTCPCompound(const uint8_t* data, size_t size) {
  RTCPSummary summary;
  size_t pos = 0;
  while (data != nullptr && size - pos >= 4) {
    const uint8_t* packet = data + pos;
    if ((packet[0] >> 6) != 2) break;
    const size_t length = (size_t{packet[2]} << 8 | packet[3]) * 4 + 4;
    if (length > size - pos) break;
    const uint8_t type = packet[1];
    if (type == kSenderReport && length >= kSenderReportMinimum && !summary.senderReport) {
      summary.senderReport = true;
      summary.senderSsrc = Read32(packet + 4);
      summary.lastSr = Read32(packet + 10);
    } else if (type == kBye) {
      summary.bye = true;
    }
    pos += length;
  }
  return summary;
}

std::string BuildReceiverReport(uint32_t ownSsrc, uint32_t senderSsrc, uint32_t lastSr, std::string_view cname) {
  cname = cname.substr(0, 255);
  std::string out;
  out.reserve(32 + 12 + cname.size() + 4);
  // Receiver report, one block: version 2, count 1, length 7 words after the first.
  out.push_back(static_cast<char>(0x81));
  out.push_back(static_cast<char>(kReceiverReport));
  Put16(out, 7);
  Put32(out, ownSsrc);
  Put32(out, senderSsrc);
  Put32(out, 0);  // fraction lost, cumulative lost
  Put32(out, 0);  // extended highest sequence number
  Put32(out, 0);  // jitter
  Put32(out, lastSr);
  Put32(out, 1);  // delay since the last SR, 1/65536 s
  // Source description, one chunk: SSRC, CNAME item, end item, padding.
  const size_t chunk = 4 + 2 + cname.size() + 1;
  const size_t padded = (chunk + 3) / 4 * 4;
  out.push_back(static_cast<char>(0x81));
  out.push_back(static_cast<char>(kSourceDescription));
  Put16(out, static_cast<uint16_t>(padded / 4));
  Put32(out, ownSsrc);
  out.push_back(static_cast<char>(kCname));
  out.push_back(static_cast<char>(cname.size()));
  out.append(cname);
  out.append(padded - chunk + 1, '\0');  // the end item and the padding
  return out;
}

std::string BuildBye(uint32_t ownSsrc) {
  std::string out;
  out.push_back(static_cast<char>(0x81));
  out.push_back(static_cast<char>(kBye));
  Put16(out, 1);
  Put32(out, ownSsrc);
  return out;
}

}  // namespace korvane
