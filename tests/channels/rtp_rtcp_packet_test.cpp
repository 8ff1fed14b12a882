#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/channels/rtcp_packet.h"
#include "driver/channels/rtp_packet.h"

namespace korvane {
namespace {

std::vector<uint8_t> Hex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string Payload(const RTPPacket& packet) {
  return std::string(reinterpret_cast<const char*>(packet.payload), packet.payloadLength);
}

// Packets decoded independently (Wireshark) in the shared vectors.
TEST(RtpPacketTest, HeadersWithCsrcListExtensionAndPadding) {
  RTPPacket packet;
  const auto csrc2 = Hex("82ebffff00015f9012345678deadbeef0badf00d3c7663613e");
  ASSERT_TRUE(ParseRTPPacket(csrc2.data(), csrc2.size(), packet));
  EXPECT_EQ(packet.csrcCount, 2);
  EXPECT_EQ(packet.csrc, csrc2.data() + 12);
  EXPECT_TRUE(packet.marker);
  EXPECT_EQ(packet.payloadType, 107);
  EXPECT_EQ(packet.sequence, 65535);
  EXPECT_EQ(packet.timestamp, 90000u);
  EXPECT_EQ(packet.ssrc, 0x12345678u);
  EXPECT_EQ(Payload(packet), "<vca>");

  const auto extension = Hex("90e0698fd9c293da1c64278200010001ffffffff9836be889e");
  ASSERT_TRUE(ParseRTPPacket(extension.data(), extension.size(), packet));
  EXPECT_EQ(packet.sequence, 27023);
  EXPECT_EQ(packet.timestamp, 3653407706u);
  EXPECT_EQ(packet.extensionProfile, 1);
  EXPECT_EQ(packet.extensionLength, 1);
  EXPECT_EQ(Payload(packet), "\x98\x36\xbe\x88\x9e");

  // Padding is no part of the payload.
  const auto all = Hex("b16b0000ffffffff01020304cafebabebede000110aa00004142000003");
  ASSERT_TRUE(ParseRTPPacket(all.data(), all.size(), packet));
  EXPECT_TRUE(packet.padding);
  EXPECT_EQ(packet.csrcCount, 1);
  EXPECT_EQ(packet.extensionProfile, 0xBEDE);
  EXPECT_EQ(Payload(packet), "AB");
}

TEST(RtpPacketTest, EveryShortOrInconsistentDatagramIsDropped) {
  const auto valid = Hex("b16b0000ffffffff01020304cafebabebede000110aa00004142000003");
  RTPPacket packet;
  // Every prefix cuts the CSRC list, the extension or the padding short.
  for (size_t size = 0; size < valid.size(); ++size) {
    EXPECT_FALSE(ParseRTPPacket(valid.data(), size, packet)) << size;
  }
  const auto headerOnly = Hex("806b000a0000000000000001");
  EXPECT_FALSE(ParseRTPPacket(headerOnly.data(), headerOnly.size(), packet));
  auto broken = Hex("806b000a000000000000000141");
  broken[0] = 0x40;  // version 1
  EXPECT_FALSE(ParseRTPPacket(broken.data(), broken.size(), packet));
  broken[0] = 0x8F;  // fifteen CSRCs in a 13-byte datagram
  EXPECT_FALSE(ParseRTPPacket(broken.data(), broken.size(), packet));
  broken[0] = 0x90;  // an extension with no room for its header
  EXPECT_FALSE(ParseRTPPacket(broken.data(), broken.size(), packet));
  auto longExtension = Hex("906b000a000000000000000100010fff41");
  EXPECT_FALSE(ParseRTPPacket(longExtension.data(), longExtension.size(), packet));
  auto padding = Hex("a06b000a00000000000000014105");  // padding count beyond the payload
  EXPECT_FALSE(ParseRTPPacket(padding.data(), padding.size(), packet));
  padding.back() = 0;  // a padding count of zero
  EXPECT_FALSE(ParseRTPPacket(padding.data(), padding.size(), packet));
}

TEST(RtcpPacketTest, SenderReportIsAnsweredAndByeSeenInCompounds) {
  // A 52-byte SR whose length field says 32 bytes: the report counts, the rest is ignored.
  const auto sr =
      Hex("81c80007902f9e2eda8bd1fcdddda05aaaf4edd50000000100000002bc5e9a4000000000000046e10000011109f3643200024a79");
  RTCPSummary summary = ParseRTCPCompound(sr.data(), sr.size());
  EXPECT_TRUE(summary.senderReport);
  EXPECT_EQ(summary.senderSsrc, 0x902f9e2eu);
  EXPECT_EQ(summary.lastSr, 0xd1fcddddu);
  EXPECT_FALSE(summary.bye);

  // RR + SDES + BYE + feedback + APP from a real dump: a BYE, nothing to answer.
  const auto compound = Hex(
      "81c90007902f9e2ebc5e9a4000000000000046e10000011109f3643200024a7981ca000c902f9e2e01267b39633030656239322d316166"
      "622d396434392d613437642d3931663634656565363966357d0000000081cb0001902f9e2e81ce0002902f9e2e902f9e2e85cd0002902f"
      "9e2e902f9e2e80cc00034baae1ab4e414d4541424344");
  summary = ParseRTCPCompound(compound.data(), compound.size());
  EXPECT_FALSE(summary.senderReport);
  EXPECT_TRUE(summary.bye);

  // Every truncation of a report is either understood or ignored.
  for (size_t size = 0; size < 28; ++size) {
    EXPECT_FALSE(ParseRTCPCompound(sr.data(), size).senderReport) << size;
  }
  const auto bye = Hex("81cb0001902f9e2e");
  EXPECT_TRUE(ParseRTCPCompound(bye.data(), bye.size()).bye);
  EXPECT_FALSE(ParseRTCPCompound(bye.data(), 7).bye);
}

TEST(RtcpPacketTest, ReceiverReportLengthsDescribeWhatIsSent) {
  for (const std::string& cname :
       std::vector<std::string>{"", "cam", "host-name-of-27-characters", std::string(300, 'h')}) {
    const std::string report = BuildReceiverReport(0x01020304, 0x902f9e2e, 0xd1fcdddd, cname);
    const auto* bytes = reinterpret_cast<const uint8_t*>(report.data());
    ASSERT_EQ(report.size() % 4, 0u) << cname;
    // Each packet's length field covers exactly the bytes up to the next one.
    size_t pos = 0;
    int packets = 0;
    while (pos < report.size()) {
      ASSERT_LE(pos + 4, report.size());
      pos += (size_t{bytes[pos + 2]} << 8 | bytes[pos + 3]) * 4 + 4;
      ++packets;
    }
    EXPECT_EQ(pos, report.size()) << cname;
    EXPECT_EQ(packets, 2);
    EXPECT_EQ(report.substr(0, 4), std::string("\x81\xc9\x00\x07", 4));
    EXPECT_EQ(report.substr(8, 4), std::string("\x90\x2f\x9e\x2e", 4));   // the block is about the sender
    EXPECT_EQ(report.substr(24, 4), std::string("\xd1\xfc\xdd\xdd", 4));  // last SR echoed
    // The CNAME item is as long as it says and is followed by the end item.
    const size_t cnameLength = bytes[41];
    EXPECT_EQ(cnameLength, std::min<size_t>(cname.size(), 255));
    EXPECT_EQ(report.substr(42, cnameLength), cname.substr(0, cnameLength));
    EXPECT_EQ(bytes[42 + cnameLength], 0);
  }
  EXPECT_EQ(BuildBye(0x01020304), std::string("\x81\xcb\x00\x01\x01\x02\x03\x04", 8));
}

}  // namespace
}  // namespace korvane
