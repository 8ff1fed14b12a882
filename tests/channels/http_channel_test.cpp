#include "driver/channels/http_channel.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/fake_data_driver.h"
#include "tests/support/manual_clock.h"
#include "tests/support/program_peers.h"
#include "tests/support/recording_debug.h"
#include "tests/support/socket_peers.h"
#include "tests/support/watchdog.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using testing::FakeDataDriver;
using testing::Lighttpd;
using testing::ManualClock;
using testing::RawHttpServer;
using testing::RecordingDebug;
using testing::Watchdog;

constexpr const char* kEndOfBody = "korvane::CHttpChannel::ReadData: Unable to read response (code 0)";
constexpr const char* kNoAnswer = "korvane::CHttpChannel::Connect: Unable to send HTTP request";

class HttpChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.network.address = "127.0.0.1";
    settings.network.path = "/korvane/";
  }
  void TearDown() override {
    Watchdog watchdog(3s, "stopping the channel");
    channel.reset();
  }

  void Start(uint16_t port) {
    settings.network.port = port;
    channel = std::make_unique<CHttpChannel>(driver, debug, settings);
    channel->SetClock(clock);
    ASSERT_TRUE(channel->Start());
  }
  // Lets the worker's wait between polls end once more.
  void NextPoll() {
    ASSERT_TRUE(clock.WaitForWaits(++polls));
    clock.Advance(CHttpChannel::kPollPeriod);
  }

  FakeDataDriver driver;
  RecordingDebug debug;
  ManualClock clock;
  ChannelSettings settings;
  std::unique_ptr<CHttpChannel> channel;
  uint64_t polls = 0;
};

TEST_F(HttpChannelTest, EachPollFeedsTheBodyInPiecesOfAtMost128Bytes) {
  Lighttpd server;
  const std::string page(300, 'p');
  Lighttpd::Options options;
  options.files = {{"digest/status", page}};
  if (!server.Start(options)) GTEST_SKIP() << server.Error();
  settings.network.path = "/digest/status";
  settings.network.user = Lighttpd::kUser;
  settings.network.password = Lighttpd::kPassword;
  settings.network.authScheme = "Digest";
  Start(server.Port());

  for (size_t poll = 1; poll <= 2; ++poll) {
    NextPoll();
    ASSERT_TRUE(debug.WaitForCount(kEndOfBody, poll)) << "every completed body logs its end";
    std::vector<size_t> sizes;
    for (const auto& text : driver.Texts()) sizes.push_back(text.size());
    ASSERT_EQ(sizes.size(), 3 * poll);
    EXPECT_EQ(sizes[3 * poll - 3], 128u);
    EXPECT_EQ(sizes[3 * poll - 2], 128u);
    EXPECT_EQ(sizes[3 * poll - 1], 44u);
  }
  EXPECT_EQ(driver.Messages()[0].source, "HTTP Channel");
  EXPECT_EQ(debug.Count("KSL (HTTP 127.0.0.1) channel 0 was opened"), 1u);
  EXPECT_FALSE(debug.Contains(kNoAnswer));
  // The Digest challenge is answered once; then a poll costs one request on the same connection.
  EXPECT_EQ(server.StopAndListRequests(), (std::vector<std::string>{"401 0", "200 1", "200 2"}));
}

// Lines cut by the 128-byte pieces, and by the end of one body, are joined.
TEST_F(HttpChannelTest, LineFeedJoinsLinesAcrossPiecesAndPolls) {
  Lighttpd server;
  const std::string line(200, 'a');
  Lighttpd::Options options;
  options.files = {{"status", line + "\r\n" + line}};
  if (!server.Start(options)) GTEST_SKIP() << server.Error();
  settings.network.path = "/status";
  settings.lineFeedBytes = {'\r', '\n'};
  Start(server.Port());
  NextPoll();
  ASSERT_TRUE(driver.WaitForMessages(1));
  NextPoll();
  ASSERT_TRUE(driver.WaitForMessages(2));
  EXPECT_EQ(driver.Texts(), (std::vector<std::string>{line, line + line}));
}

TEST_F(HttpChannelTest, EndlessBodyIsReadUntilTheStopWhichEndsItAtOnce) {
  RawHttpServer server;
  ASSERT_TRUE(server.Start("HTTP/1.1 200 OK\r\n\r\n", std::string(1000, 'e')));
  Start(server.Port());
  NextPoll();
  ASSERT_TRUE(driver.WaitForMessages(1000, 5s));
  const auto started = std::chrono::steady_clock::now();
  {
    Watchdog watchdog(2s, "Stop during an endless body");
    channel->Stop();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
  for (const auto& text : driver.Texts()) ASSERT_LE(text.size(), CHttpChannel::kPieceSize);
  EXPECT_FALSE(debug.Contains("Unable to read response")) << "a stop is not a failed read";
}

// Garbage is no answer in either scheme; each poll tries both with a new client.
TEST_F(HttpChannelTest, GarbageAnswerIsLoggedAndEveryPollTriesBothSchemes) {
  RawHttpServer server;
  ASSERT_TRUE(server.Start("\x16\x03garbage\r\n\r\n"));
  Start(server.Port());
  for (size_t poll = 1; poll <= 2; ++poll) {
    NextPoll();
    ASSERT_TRUE(debug.WaitForCount(kNoAnswer, poll));
    EXPECT_EQ(server.Connections(), 2 * poll);
  }
  EXPECT_TRUE(debug.Contains("korvane::CHttpChannel::Connect: GET /korvane/ from 127.0.0.1:"));
  EXPECT_EQ(driver.MessageCount(), 0u);
  EXPECT_FALSE(debug.Contains("was opened"));
}

}  // namespace
}  // namespace korvane
