#include "driver/channels/tcp_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
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
using testing::TestStream;
using testing::Watchdog;
using Strings = std::vector<std::string>;

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

class TcpChannelTest : public ::testing::Test {
 protected:
  void SetUp() override { settings.lineFeedBytes = Bytes("\r\n"); }
  void TearDown() override {
    Watchdog watchdog(3s, "stopping the channel");
    channel.reset();
  }

  // Starts a channel on an ephemeral port (or settings.network.port) and waits until it listens.
  CTcpChannel& Start(std::chrono::milliseconds pollInterval = CChannelBase::kDefaultPollInterval,
                     const Clock* clock = nullptr) {
    channel = std::make_unique<CTcpChannel>(driver, debug, settings);
    channel->SetPollInterval(pollInterval);
    if (clock != nullptr) channel->SetClock(*clock);
    EXPECT_TRUE(channel->Start());
    EXPECT_TRUE(channel->WaitListening(2s));
    return *channel;
  }
  std::unique_ptr<TestStream> Connect() {
    auto stream = TestStream::Connect(channel->BoundPort());
    EXPECT_NE(stream, nullptr);
    return stream;
  }

  FakeDataDriver driver;
  RecordingDebug debug;
  ChannelSettings settings;
  std::unique_ptr<CTcpChannel> channel;
};

TEST_F(TcpChannelTest, FramesTheStreamIntoMessages) {
  settings.clearScreenBytes = {0x0c};
  Start();
  auto client = Connect();
  ASSERT_TRUE(client->Send("one\r\ntw"));
  ASSERT_TRUE(client->Send("o\r\n\x0cthree\r\n"));
  ASSERT_TRUE(driver.WaitForMessages(3));
  EXPECT_EQ(driver.Sequence(), (Strings{"one", "two", "<clear>", "three"}));
  EXPECT_EQ(driver.Messages()[0].source, "TCP Channel");
  EXPECT_TRUE(debug.Contains("KSL (TCP 0) channel 0 was opened"));
}

// The acknowledge sequence doubles as proof of each received block, so a
// line feed can be cut between two blocks on purpose.
TEST_F(TcpChannelTest, AcknowledgesEveryBlockAndJoinsLineFeedsAcrossBlocks) {
  settings.acknowledgeBytes = Bytes("K");
  Start();
  auto client = Connect();
  ASSERT_TRUE(client->Send("abc\r"));
  ASSERT_EQ(client->Receive(1), "K");
  ASSERT_TRUE(client->Send("\ndef\r\nghi\r\n"));
  ASSERT_TRUE(driver.WaitForMessages(3));
  EXPECT_EQ(driver.Texts(), (Strings{"abc", "def", "ghi"}));
  EXPECT_EQ(client->Receive(1), "K");
  EXPECT_EQ(client->Drain(), "") << "one acknowledge per block, not per message";
}

TEST_F(TcpChannelTest, KeepAliveQueryAndOneTimeoutAfterThirtySecondsOfSilence) {
  settings.keepAliveQuery = "PING";
  ManualClock clock;
  Start(5ms, &clock);
  auto client = Connect();
  ASSERT_TRUE(client->Send("x\r\n"));
  ASSERT_TRUE(driver.WaitForMessages(1));
  EXPECT_EQ(client->Receive(4), "PING") << "the query goes out after 11 idle receive time-outs";

  clock.Advance(30001ms);
  ASSERT_TRUE(debug.WaitForCount("KSL (TCP 0) channel 0 connection lost (Timeout)."));
  client->Drain();
  clock.Advance(31s);
  ASSERT_EQ(client->Receive(8), "PINGPING");  // idle passes after the advance have run
  EXPECT_EQ(debug.Count("connection lost (Timeout)"), 1u);

  ASSERT_TRUE(client->Send("y\r\n"));
  EXPECT_TRUE(debug.WaitForCount("KSL (TCP 0) channel 0 connection restored"));
  EXPECT_TRUE(driver.WaitForMessages(2));
}

// The query follows the eleventh idle receive time-out after data, not the
// tenth: a poll time-out never ends early, so less than eleven intervals
// between the data and the query means a count that is one short.
TEST_F(TcpChannelTest, KeepAliveQueryFollowsTheEleventhIdleTimeout) {
  settings.keepAliveQuery = "PING";
  constexpr auto kInterval = 50ms;
  Start(kInterval);
  auto client = Connect();
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(client->Send("x\r\n"));
  ASSERT_EQ(client->Receive(4), "PING");
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 11 * kInterval);
}

// The rest of a line cut by a receive time-out is no message of its own: it
// is dropped up to the next line feed, with one error line per connection.
TEST_F(TcpChannelTest, PartialMessageIsDroppedWithTheRestOfItsLineAfterAReceiveTimeout) {
  Start(20ms);
  auto client = Connect();
  for (const char* tail : {"def\r\nghi\r\n", "jk\r\nmn\r\n"}) {
    ASSERT_TRUE(client->Send("abc"));
    std::this_thread::sleep_for(150ms);  // a slow device: silent longer than the receive time-out
    ASSERT_TRUE(client->Send(tail));
    ASSERT_TRUE(driver.WaitForMessages(tail[0] == 'd' ? 1 : 2));
  }
  EXPECT_EQ(driver.Texts(), (Strings{"ghi", "mn"}));
  const std::string line =
      "korvane::CChannelBase::ProcessData: Message incomplete at a receive time-out; 6 bytes up to the next line "
      "feed were dropped";
  ASSERT_EQ(debug.Count("Message incomplete"), 1u);
  EXPECT_TRUE(debug.Contains(line));
  for (const auto& logged : debug.Lines()) {
    if (logged.text == line) {
      EXPECT_EQ(logged.level, kLogError);
    }
  }
}

TEST_F(TcpChannelTest, ClientThatSendsOneByteAndClosesIsServedAndTheNextOneToo) {
  settings.lineFeedBytes.clear();
  Start();
  auto first = Connect();
  ASSERT_TRUE(first->Send("A"));
  first->Close();
  auto second = Connect();
  ASSERT_TRUE(second->Send("B"));
  ASSERT_TRUE(driver.WaitForMessages(2));
  EXPECT_EQ(driver.Texts(), (Strings{"A", "B"}));
  EXPECT_FALSE(debug.Contains("connection lost"));
}

// A peer that leaves mid-line (reset or orderly close) must not leave its
// partial line in front of the next peer's first message.
TEST_F(TcpChannelTest, PartialLineOfAPeerThatLeavesIsDropped) {
  settings.acknowledgeBytes = Bytes("K");
  Start();
  for (bool reset : {true, false}) {
    auto leaving = Connect();
    ASSERT_TRUE(leaving->Send("abc"));
    ASSERT_EQ(leaving->Receive(1), "K");
    if (reset) {
      leaving->Reset();
      ASSERT_TRUE(debug.WaitForCount("KSL (TCP 0) channel 0 connection lost (Connection reset by peer)."));
    } else {
      leaving->Close();
    }
    auto next = Connect();
    ASSERT_TRUE(next->Send("def\r\n"));
    ASSERT_TRUE(driver.WaitForMessages(reset ? 1 : 2));
  }
  EXPECT_EQ(driver.Texts(), (Strings{"def", "def"}));
}

TEST_F(TcpChannelTest, ServesOneClientAtATime) {
  Start();
  auto first = Connect();
  auto second = Connect();  // waits in the listen queue
  ASSERT_TRUE(first->Send("a\r\n"));
  ASSERT_TRUE(second->Send("b\r\n"));
  ASSERT_TRUE(driver.WaitForMessages(1));
  EXPECT_EQ(driver.Texts(), (Strings{"a"}));
  first->Close();
  ASSERT_TRUE(driver.WaitForMessages(2));
  EXPECT_EQ(driver.Texts(), (Strings{"a", "b"}));
}

// A client that has to wait behind a connected one is reported at error
// level as soon as it connects, once, not only when its turn comes.
TEST_F(TcpChannelTest, ClientWaitingBehindAConnectedOneIsReportedWhenItConnects) {
  Start(20ms);
  auto first = Connect();
  ASSERT_TRUE(first->Send("a\r\n"));
  ASSERT_TRUE(driver.WaitForMessages(1));
  auto second = Connect();
  const std::string waiting =
      "korvane::CTcpChannelBase::ReceiveStream: Another client connected to TCP 0 while a "
      "client is served; it waits until that client disconnects";
  ASSERT_TRUE(debug.WaitForCount(waiting));
  auto third = Connect();
  ASSERT_TRUE(first->Send("b\r\n"));
  ASSERT_TRUE(driver.WaitForMessages(2));
  EXPECT_EQ(debug.Count(waiting), 1u);
  for (const auto& line : debug.Lines()) {
    if (line.text == waiting) {
      EXPECT_EQ(line.level, kLogError);
    }
  }
  first->Close();
  ASSERT_TRUE(second->Send("c\r\n"));
  ASSERT_TRUE(driver.WaitForMessages(3));
  EXPECT_EQ(driver.Texts(), (Strings{"a", "b", "c"}));
}

TEST_F(TcpChannelTest, MessageLimitDeliversWhatAccumulatedAndDropsTheRestOfTheLine) {
  Start();
  channel->Stop();
  channel->SetMessageLimit(1000);
  ASSERT_TRUE(channel->Start());
  ASSERT_TRUE(channel->WaitListening(2s));
  for (int connection = 0; connection < 2; ++connection) {
    auto client = Connect();
    ASSERT_TRUE(client->Send(std::string(2500, 'x') + "\r\nnext\r\n"));
    ASSERT_TRUE(driver.WaitForMessages(2 * (connection + 1)));
  }
  EXPECT_EQ(driver.Texts(), (Strings{std::string(1000, 'x'), "next", std::string(1000, 'x'), "next"}));
  EXPECT_EQ(debug.Count("reached the buffer limit of 1000 bytes"), 2u);
  EXPECT_EQ(debug.Count("Message longer than the buffer limit of 1000 bytes; 1500 further bytes up to the next line "
                        "feed were dropped"),
            2u);
}

TEST_F(TcpChannelTest, StopsWithinHalfASecondUnderAFlood) {
  driver.SetKeepMessages(false);
  Start();
  auto client = Connect();
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    std::string block;
    for (int i = 0; i < 1000; ++i) block += "0123456789012345678901234567890123456789\r\n";
    while (flooding && client->Send(block, 200ms)) {
    }
  });
  ASSERT_TRUE(driver.WaitForMessages(5000));
  const auto started = std::chrono::steady_clock::now();
  {
    Watchdog watchdog(2s, "Stop under a flood");
    channel->Stop();
  }
  const auto elapsed = std::chrono::steady_clock::now() - started;
  flooding = false;
  flood.join();
  EXPECT_LT(elapsed, 500ms);
  EXPECT_FALSE(channel->IsRunning());
}

TEST_F(TcpChannelTest, PortInUseFailsAtListenAndReportsOpenFailedEverySecond) {
  TestListener occupier;
  ASSERT_TRUE(occupier.Listen(0, true));
  settings.network.port = occupier.Port();
  ManualClock clock;
  channel = std::make_unique<CTcpChannel>(driver, debug, settings);
  channel->SetClock(clock);
  ASSERT_TRUE(channel->Start());
  EXPECT_FALSE(channel->WaitListening(2s));
  ASSERT_TRUE(driver.WaitForOpenFailures(1));
  EXPECT_TRUE(debug.Contains("korvane::CTcpChannel::OpenPort: Failed to set listen"));

  ASSERT_TRUE(clock.WaitForWaits(1));
  clock.Advance(1000ms);
  ASSERT_TRUE(driver.WaitForOpenFailures(2));
  EXPECT_EQ(debug.Count("Failed to set listen"), 2u);

  occupier.Close();
  ASSERT_TRUE(clock.WaitForWaits(2));
  clock.Advance(1000ms);
  ASSERT_TRUE(channel->WaitListening(2s, true));
  EXPECT_EQ(channel->BoundPort(), settings.network.port);
  EXPECT_EQ(driver.OpenFailures(), 2u);
}

// After a stop with a live connection the port sits in TIME_WAIT; a new
// channel on the same port must still be able to listen.
TEST_F(TcpChannelTest, RestartedChannelTakesItsPortBack) {
  Start();
  auto client = Connect();
  ASSERT_TRUE(client->Send("a\r\n"));
  ASSERT_TRUE(driver.WaitForMessages(1));
  settings.network.port = channel->BoundPort();
  channel.reset();
  EXPECT_TRUE(client->WaitClosed());
  Start();
  EXPECT_EQ(channel->BoundPort(), settings.network.port);
}

TEST_F(TcpChannelTest, SurvivesThousandsOfConnectionAttempts) {
  Start();
  for (int i = 0; i < 500; ++i) {
    auto stream = TestStream::Connect(channel->BoundPort());
    ASSERT_NE(stream, nullptr);
    if (i % 2 == 0) stream->Reset();
  }
  auto client = Connect();
  ASSERT_TRUE(client->Send("still here\r\n"));
  // Served after every queued connection (slow under sanitizers).
  ASSERT_TRUE(driver.WaitForMessages(1, 5s));
  EXPECT_EQ(driver.Texts(), (Strings{"still here"}));
}

// Receipt lines of a real cash register, in its own code page (CP932).
TEST_F(TcpChannelTest, ConvertsRealCp932ReceiptLines) {
  const auto vectors = std::filesystem::path(KESTREL_SOURCE_DIR) / "../shared/vectors";
  std::ifstream file(vectors / "pos_receipts.md");
  if (!file) GTEST_SKIP() << "shared test vectors not available";
  Strings expected;
  std::string stream;
  for (std::string line; std::getline(file, line);) {
    const size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos || line.rfind("    ", 0) != 0) continue;
    const std::string text = line.substr(0, arrow);
    const size_t first = text.find_first_not_of(' ');
    expected.push_back(text.substr(first, text.find_last_not_of(' ') + 1 - first));
    std::istringstream hex(line.substr(arrow + 4));
    for (unsigned byte = 0; hex >> std::hex >> byte;) stream.push_back(static_cast<char>(byte));
    stream += "\r\n";
  }
  ASSERT_FALSE(expected.empty());
  settings.codePage = 932;
  Start();
  auto client = Connect();
  ASSERT_TRUE(client->Send(stream));
  ASSERT_TRUE(driver.WaitForMessages(expected.size()));
  EXPECT_EQ(driver.Texts(), expected);
}

}  // namespace
}  // namespace korvane
