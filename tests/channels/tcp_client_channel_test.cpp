#include "driver/channels/tcp_client_channel.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/fake_data_driver.h"
#include "tests/support/manual_clock.h"
#include "tests/support/recording_debug.h"
#include "tests/support/socket_peers.h"
#include "tests/support/watchdog.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using testing::FakeDataDriver;
using testing::ManualClock;
using testing::RecordingDebug;
using testing::TestListener;
using testing::Watchdog;
using Strings = std::vector<std::string>;

class TcpClientChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.lineFeedBytes = {'\r', '\n'};
    settings.network.address = "127.0.0.1";
  }
  void TearDown() override {
    Watchdog watchdog(3s, "stopping the channel");
    channel.reset();
  }
  void Start() {
    channel = std::make_unique<CTcpClientChannel>(driver, debug, settings);
    channel->SetClock(clock);
    ASSERT_TRUE(channel->Start());
  }

  FakeDataDriver driver;
  RecordingDebug debug;
  ChannelSettings settings;
  ManualClock clock;  // only moves when a test advances it
  std::unique_ptr<CTcpClientChannel> channel;
};

TEST_F(TcpClientChannelTest, ServerDownIsReportedOnceAndRetriedEveryHalfSecond) {
  const uint16_t port = testing::UnusedTcpPort();
  settings.network.port = port;
  Start();
  const std::string failure =
      "korvane::CTcpClientChannel::Connect: Failed to connect to server 127.0.0.1:" + std::to_string(port);
  ASSERT_TRUE(debug.WaitForCount(failure));
  // Each advance of 500 ms releases exactly one further attempt.
  for (uint64_t attempt = 1; attempt <= 3; ++attempt) {
    ASSERT_TRUE(clock.WaitForWaits(attempt));
    clock.Advance(500ms);
  }
  ASSERT_TRUE(clock.WaitForWaits(4));
  EXPECT_EQ(debug.Count("Failed to connect to server"), 1u);

  TestListener server;
  ASSERT_TRUE(server.Listen(port));
  clock.Advance(500ms);
  auto stream = server.Accept();
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(stream->Send("hello\r\n"));
  ASSERT_TRUE(driver.WaitForMessages(1));
  EXPECT_EQ(driver.Texts(), (Strings{"hello"}));
  EXPECT_TRUE(debug.Contains("KSL (TCP Client 127.0.0.1:" + std::to_string(port) + ") channel 0 was opened"));
  EXPECT_EQ(driver.Messages()[0].source, "TCP Channel");
}

// The clock never moves here: any wait between connections would hang the test.
TEST_F(TcpClientChannelTest, ReconnectsAtOnceWhenTheServerClosesAfterEachMessage) {
  TestListener server;
  ASSERT_TRUE(server.Listen());
  settings.network.port = server.Port();
  Start();
  for (int i = 0; i < 3; ++i) {
    auto stream = server.Accept();
    ASSERT_NE(stream, nullptr) << "connection " << i;
    ASSERT_TRUE(stream->Send("m" + std::to_string(i) + "\r\n"));
    ASSERT_TRUE(driver.WaitForMessages(static_cast<size_t>(i + 1)));
    stream->Close();
  }
  EXPECT_EQ(driver.Texts(), (Strings{"m0", "m1", "m2"}));
  EXPECT_FALSE(debug.Contains("Failed to connect"));
}

// A server that accepts and closes at once must not be met with a storm of
// connections: after a connection that delivered nothing the channel waits.
TEST_F(TcpClientChannelTest, EmptyConnectionIsFollowedByAHalfSecondPause) {
  TestListener server;
  ASSERT_TRUE(server.Listen());
  settings.network.port = server.Port();
  Start();
  for (uint64_t round = 1; round <= 2; ++round) {
    auto stream = server.Accept();
    ASSERT_NE(stream, nullptr) << "round " << round;
    stream->Close();
    ASSERT_TRUE(clock.WaitForWaits(round));
    EXPECT_EQ(server.Accept(100ms), nullptr) << "reconnected without waiting";
    clock.Advance(500ms);
  }
  EXPECT_NE(server.Accept(), nullptr);
  EXPECT_FALSE(debug.Contains("Failed to connect"));
}

// The failed connection is reported with the system's reason.
TEST_F(TcpClientChannelTest, ConnectFailureCarriesTheSystemError) {
  settings.network.port = testing::UnusedTcpPort();
  Start();
  EXPECT_TRUE(debug.WaitForCount("korvane::CTcpClientChannel::Connect: system error " + std::to_string(ECONNREFUSED)));
}

TEST_F(TcpClientChannelTest, ResolvesHostNames) {
  TestListener server;
  ASSERT_TRUE(server.Listen());
  settings.network.address = "localhost";
  settings.network.port = server.Port();
  Start();
  auto stream = server.Accept();
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(stream->Send("named\r\n"));
  EXPECT_TRUE(driver.WaitForMessages(1));
}

TEST_F(TcpClientChannelTest, UnresolvableHostIsReportedWithinTheNetworkTimeout) {
  settings.network.address = "no-such-host.invalid";
  settings.network.port = 9;
  settings.network.timeout = 300;
  Start();
  // Whether the name server answers at once or never, the lookup ends within the time-out.
  bool reported = false;
  for (int i = 0; i < 40 && !reported; ++i) {
    reported = debug.WaitForCount("korvane::CTcpClientChannel::Connect: Failed to resolve host name", 1, 25ms);
    clock.Advance(100ms);
  }
  EXPECT_TRUE(reported);
  const auto started = std::chrono::steady_clock::now();
  channel->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
}

}  // namespace
}  // namespace korvane
