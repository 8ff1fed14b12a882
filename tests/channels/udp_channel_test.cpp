#include "driver/channels/udp_channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/fake_data_driver.h"
#include "tests/support/recording_debug.h"
#include "tests/support/socket_peers.h"
#include "tests/support/watchdog.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using testing::FakeDataDriver;
using testing::RecordingDebug;
using testing::TestUdpSocket;
using testing::Watchdog;
using Strings = std::vector<std::string>;

class UdpChannelTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Watchdog watchdog(3s, "stopping the channel");
    channel.reset();
  }
  void Start() {
    channel = std::make_unique<CUdpChannel>(driver, debug, settings);
    channel->SetPollInterval(10ms);
    ASSERT_TRUE(channel->Start());
  }
  void Send(TestUdpSocket& sender, std::string_view bytes) { ASSERT_TRUE(sender.SendTo(channel->BoundPort(), bytes)); }

  FakeDataDriver driver;
  RecordingDebug debug;
  ChannelSettings settings;
  std::unique_ptr<CUdpChannel> channel;
};

TEST_F(UdpChannelTest, WithoutLineFeedEachDatagramIsAMessageFromAnySender) {
  Start();
  ASSERT_NE(channel->BoundPort(), 0);
  TestUdpSocket first;
  TestUdpSocket second;
  ASSERT_TRUE(first.Bind());
  ASSERT_TRUE(second.Bind());
  Send(first, "A");
  Send(first, "");  // an empty datagram is no message
  Send(second, "B");
  ASSERT_TRUE(driver.WaitForMessages(2));
  EXPECT_EQ(driver.Texts(), (Strings{"A", "B"}));
  EXPECT_EQ(driver.Messages()[0].source, "UDP Channel");
  EXPECT_TRUE(debug.Contains("KSL (UDP 0) channel 0 was opened"));
}

TEST_F(UdpChannelTest, LineFeedJoinsDatagramsEvenWhenItIsCutBetweenThem) {
  settings.lineFeedBytes = {'\r', '\n'};
  Start();
  TestUdpSocket sender;
  ASSERT_TRUE(sender.Bind());
  Send(sender, "A");
  Send(sender, "\r\nB\r");
  Send(sender, "\nC\r\n");
  ASSERT_TRUE(driver.WaitForMessages(3));
  EXPECT_EQ(driver.Texts(), (Strings{"A", "B", "C"}));
}

TEST_F(UdpChannelTest, PortTakenIsReportedUntilItIsFree) {
  TestUdpSocket occupier;
  ASSERT_TRUE(occupier.Bind(0, true));
  settings.network.port = occupier.Port();
  Start();
  ASSERT_TRUE(debug.WaitForCount("korvane::CUdpChannel::Run: Error reading from socket (code"));
  occupier.Close();
  TestUdpSocket sender;
  ASSERT_TRUE(sender.Bind());
  // Datagrams sent before the channel has its port back are lost; keep sending.
  bool delivered = false;
  for (int i = 0; i < 100 && !delivered; ++i) {
    ASSERT_TRUE(sender.SendTo(settings.network.port, "late"));
    delivered = driver.WaitForMessages(1, 20ms);
  }
  EXPECT_TRUE(delivered);
}

// A burst far larger than the kernel buffer while the driver is busy: every
// datagram is either delivered or counted in an error line; none vanishes.
TEST_F(UdpChannelTest, DatagramsTheKernelDropsAreCountedAtErrorLevel) {
  settings.udpReceiveBufferBytes = 4096;
  Start();
  TestUdpSocket sender;
  ASSERT_TRUE(sender.Bind());
  driver.SetKeepMessages(false);
  driver.BlockDeliveries();
  Send(sender, "first");
  ASSERT_TRUE(driver.WaitForBlockedDelivery());
  constexpr size_t kBurst = 300;
  const std::string payload(1000, 'x');
  for (size_t i = 0; i < kBurst; ++i) Send(sender, payload);
  driver.Release();

  const auto lost = [&] { return debug.SumOfCounts(" datagrams lost: ", kCatUdpChannel); };
  ASSERT_TRUE(debug.WaitForCount(" datagrams lost: the receive buffer of 4096 bytes overflowed"));
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (driver.MessageCount() + lost() < kBurst + 1 && std::chrono::steady_clock::now() < deadline) {
    driver.WaitForMessages(driver.MessageCount() + 1, 20ms);
  }
  EXPECT_EQ(driver.MessageCount() + lost(), kBurst + 1);
  EXPECT_GT(lost(), kBurst / 2);
}

}  // namespace
}  // namespace korvane
