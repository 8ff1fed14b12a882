#include "driver/channels/channel_base.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "driver/support/unique_fd.h"
#include "tests/support/fake_data_driver.h"
#include "tests/support/recording_debug.h"
#include "tests/support/socket_peers.h"
#include "tests/support/watchdog.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using testing::FakeDataDriver;
using testing::RecordingDebug;
using testing::TestStream;
using testing::Watchdog;

// A transport with no transport: its worker runs `body` (by default it waits
// for the stop event), so the base class can be driven directly.
class TestChannel : public CChannelBase {
 public:
  TestChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings)
      : CChannelBase(driver, debug, settings) {
    SetName("Test");
    SetKind("Test Channel");
  }
  ~TestChannel() override {
    if (onDestroy) onDestroy();
  }

  using CChannelBase::ConnectionState;
  using CChannelBase::ProcessData;
  using CChannelBase::Readiness;
  using CChannelBase::SetConnectionState;
  using CChannelBase::StartHelper;
  using CChannelBase::WaitForAny;

  bool openResult = true;
  std::function<void(TestChannel&)> body;
  std::function<void()> onDestroy;
  std::atomic<int> closes{0};

 protected:
  bool OpenChannel() override { return openResult; }
  void CloseChannel() override {
    ++closes;
    SetConnectionState({}, ConnectionState::Closed);
  }
  int Run() override {
    if (body) body(*this);
    while (!WaitForStop(5ms)) {
    }
    CloseChannel();
    return 0;
  }
};

class ChannelBaseTest : public ::testing::Test {
 protected:
  std::unique_ptr<TestChannel> MakeChannel() { return std::make_unique<TestChannel>(driver, debug, settings); }
  std::vector<std::string> LogTexts() const {
    std::vector<std::string> texts;
    for (const auto& line : debug.Lines()) texts.push_back(line.text);
    return texts;
  }

  FakeDataDriver driver;
  RecordingDebug debug;
  ChannelSettings settings;
};

TEST_F(ChannelBaseTest, ConnectionStateChangesAreLoggedOnlyWhenTheyChangeSomething) {
  auto channel = MakeChannel();
  using State = TestChannel::ConnectionState;
  channel->SetConnectionState({}, State::Lost);  // not connected: nothing
  channel->SetConnectionState({}, State::Opened);
  channel->SetConnectionState({}, State::Restored);  // already connected: nothing
  channel->SetConnectionState({}, State::Lost);      // no reason: stays connected
  channel->SetConnectionState("Timeout", State::Lost);
  channel->SetConnectionState("again", State::Lost);  // already lost: only the reason
  channel->SetConnectionState({}, State::Restored);
  channel->SetConnectionState({}, State::Closed);
  channel->SetConnectionState({}, State::Closed);
  EXPECT_EQ(LogTexts(), (std::vector<std::string>{
                            "KSL (Test) channel 0 was opened",
                            "korvane::CChannelBase::SetConnectionState: KSL channel state is changed (Timeout)",
                            "KSL (Test) channel 0 connection lost (Timeout).",
                            "korvane::CChannelBase::SetConnectionState: KSL channel state is changed (again)",
                            "KSL (Test) channel 0 connection restored",
                            "KSL (Test) channel 0 was closed",
                        }));
  EXPECT_EQ(debug.Lines()[2].level, kLogError);
  EXPECT_EQ(debug.Lines()[2].category, kCatChannel);
}

TEST_F(ChannelBaseTest, MessagesAreEscapedForXmlUnlessValidationIsCustom) {
  settings.lineFeedBytes = {'\n'};
  auto channel = MakeChannel();
  driver.SetValidationType(kValidationText);
  channel->ProcessData("a<b & \"c\" 'd'>\n", 15);
  driver.SetValidationType(kValidationCustom);
  channel->ProcessData("a<b>\n", 5);
  const auto messages = driver.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].data, "a&lt;b &amp; &quot;c&quot; &apos;d&apos;&gt;");
  EXPECT_EQ(messages[1].data, "a<b>");
  EXPECT_EQ(messages[0].source, "Test Channel");
  EXPECT_EQ(messages[0].channel, 0);
  EXPECT_EQ(messages[0].reserved, 0);
  EXPECT_TRUE(messages[0].hasTime);
  EXPECT_EQ(debug.PacketBytes(), 20u);
}

TEST_F(ChannelBaseTest, CodePageIsConvertedForTheWholeMessage) {
  settings.codePage = 1252;
  settings.validationRequired = true;  // zero bytes pass unchanged
  MakeChannel()->ProcessData("\xE9\0\xE9", 3);
  settings.codePage = 12345;  // unknown: the message becomes empty
  MakeChannel()->ProcessData("abc", 3);
  EXPECT_EQ(driver.Texts(), (std::vector<std::string>{std::string("\xC3\xA9\0\xC3\xA9", 5), ""}));
}

TEST_F(ChannelBaseTest, StartAndStopFollowTheLifecycle) {
  auto channel = MakeChannel();
  channel->Stop();  // never started: logs, releases nothing
  EXPECT_EQ(LogTexts(), (std::vector<std::string>{"korvane::CChannelBase::Stop: Processing...",
                                                  "korvane::CChannelBase::Stop: Completed"}));
  channel->openResult = false;
  EXPECT_FALSE(channel->Start());
  EXPECT_TRUE(debug.Contains("korvane::CChannelBase::Start: Unable to start channel"));
  EXPECT_FALSE(channel->IsRunning());

  channel->openResult = true;
  EXPECT_TRUE(channel->Start());
  EXPECT_TRUE(debug.Contains("korvane::CChannelBase::Start: Result is OK"));
  EXPECT_TRUE(channel->IsRunning());
  EXPECT_TRUE(channel->Start());  // restarts from a stopped channel
  channel->Stop();
  channel->Stop();
  EXPECT_FALSE(channel->IsRunning());
}

TEST_F(ChannelBaseTest, StopOrDeleteOnTheWorkerItselfDoesNotWaitForItself) {
  auto channel = MakeChannel();
  std::promise<void> stopped;
  channel->body = [&](TestChannel& self) {
    self.Stop();
    stopped.set_value();
  };
  ASSERT_TRUE(channel->Start());
  ASSERT_EQ(stopped.get_future().wait_for(2s), std::future_status::ready);
  channel->Stop();

  // A host that releases the driver from inside a callback deletes the channel on its worker.
  std::promise<void> started;
  std::promise<void> destroyed;
  TestChannel* raw = MakeChannel().release();
  raw->onDestroy = [&] { destroyed.set_value(); };
  raw->body = [future = started.get_future().share()](TestChannel& self) {
    future.wait_for(2s);
    delete &self;
  };
  ASSERT_TRUE(raw->Start());
  started.set_value();
  EXPECT_EQ(destroyed.get_future().wait_for(2s), std::future_status::ready);
}

TEST_F(ChannelBaseTest, FailuresOfTheDriverDoNotEndTheWorker) {
  settings.lineFeedBytes = {'\n'};
  auto channel = MakeChannel();
  driver.ThrowOnce();
  channel->body = [](TestChannel& self) {
    self.ProcessData("a\nb\n", 4);
    throw std::runtime_error("broken transport");
  };
  ASSERT_TRUE(channel->Start());
  ASSERT_TRUE(debug.WaitForCount("Channel thread ended by an exception: broken transport"));
  EXPECT_EQ(driver.Texts(), (std::vector<std::string>{"b"}));
  EXPECT_TRUE(debug.Contains("Message delivery failed with an exception"));
  channel->Stop();
}

// A worker stuck in the host beyond the join limit is left behind: Stop
// returns, the worker makes no further calls out, and the channel's memory
// lives until the worker ends and frees it.
TEST_F(ChannelBaseTest, WorkerMissingTheJoinLimitIsLeftBehindSafely) {
  settings.lineFeedBytes = {'\n'};
  auto channel = MakeChannel();
  channel->SetJoinTimeout(50ms);
  std::promise<void> destroyed;
  channel->onDestroy = [&] { destroyed.set_value(); };
  channel->body = [](TestChannel& self) {
    self.SetConnectionState({}, TestChannel::ConnectionState::Opened);
    self.ProcessData("stuck\n", 6);
  };
  driver.BlockDeliveries();
  ASSERT_TRUE(channel->Start());
  ASSERT_TRUE(driver.WaitForBlockedDelivery());

  const int closes = channel->closes.load();
  channel->Stop();
  EXPECT_TRUE(debug.Contains("korvane::CChannelBase::Stop: Channel timeout: thread terminating"));
  EXPECT_EQ(channel->closes.load(), closes) << "the transport still belongs to the worker";
  EXPECT_FALSE(channel->Start()) << "a left-behind worker still uses the channel";
  channel.reset();
  const size_t linesBefore = debug.Lines().size();

  driver.Release();
  ASSERT_EQ(destroyed.get_future().wait_for(2s), std::future_status::ready);
  EXPECT_EQ(debug.Lines().size(), linesBefore) << "the left-behind worker logged after Stop returned";
}

// A helper reading a flooded socket beside an idle one: Stop wakes it through
// the stop descriptor its wait adds, and joins it before returning.
TEST_F(ChannelBaseTest, HelperThreadStopsWithinHalfASecondUnderAFlood) {
  settings.lineFeedBytes = {'\n'};
  driver.SetKeepMessages(false);
  int flooded[2];
  int idle[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, flooded), 0);
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, idle), 0);
  const UniqueFd reader(flooded[0]);
  TestStream writer(flooded[1]);
  const UniqueFd idleReader(idle[0]);
  const UniqueFd idleWriter(idle[1]);

  auto channel = MakeChannel();
  std::atomic<bool> helperEnded{false};
  std::atomic<bool> idleReported{false};
  channel->body = [&](TestChannel& self) {
    ASSERT_TRUE(self.StartHelper([&] {
      char buffer[8192];
      pollfd fds[2] = {{idleReader.Get(), POLLIN, 0}, {reader.Get(), POLLIN, 0}};
      for (;;) {
        const auto result = self.WaitForAny(fds, 500ms);
        if (result.readiness == TestChannel::Readiness::kStopped) break;
        if (fds[0].revents != 0) idleReported = true;
        if (result.readiness != TestChannel::Readiness::kReady || (fds[1].revents & POLLIN) == 0) continue;
        const ssize_t n = ::read(reader.Get(), buffer, sizeof buffer);
        if (n > 0) self.ProcessData(buffer, static_cast<size_t>(n));
      }
      helperEnded = true;
    }));
  };
  ASSERT_TRUE(channel->Start());
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    std::string block;
    for (int i = 0; i < 1000; ++i) block += "0123456789012345678901234567890123456789\n";
    while (flooding && writer.Send(block, 200ms)) {
    }
  });
  ASSERT_TRUE(driver.WaitForMessages(5000));
  const auto started = std::chrono::steady_clock::now();
  {
    Watchdog watchdog(2s, "Stop of a flooded helper");
    channel->Stop();
  }
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_TRUE(helperEnded) << "Stop returned before the helper ended";
  flooding = false;
  flood.join();
  EXPECT_LT(elapsed, 500ms);
  EXPECT_FALSE(idleReported) << "readiness reported for a descriptor with nothing to read";
  EXPECT_FALSE(debug.Contains("Channel timeout"));
}

// A helper stuck in the driver beyond the join limit is left behind like a
// worker: it makes no further call once it wakes, and the channel's memory
// lives until the helper ends, although the worker ended long before.
TEST_F(ChannelBaseTest, HelperLeftBehindMakesNoDriverCallAndKeepsTheChannelAlive) {
  settings.lineFeedBytes = {'\n'};
  auto channel = MakeChannel();
  channel->SetJoinTimeout(50ms);
  std::promise<void> destroyed;
  channel->onDestroy = [&] { destroyed.set_value(); };
  channel->body = [](TestChannel& self) {
    self.StartHelper([&self] {
      self.ProcessData("stuck\nnever\n", 12);
      self.SetConnectionState("gone", TestChannel::ConnectionState::Lost);
    });
  };
  driver.BlockDeliveries();
  ASSERT_TRUE(channel->Start());
  ASSERT_TRUE(driver.WaitForBlockedDelivery());

  channel->Stop();
  EXPECT_TRUE(debug.Contains("korvane::CChannelBase::Stop: Channel timeout: thread terminating"));
  EXPECT_FALSE(channel->Start()) << "a left-behind helper still uses the channel";
  channel.reset();
  const size_t linesBefore = debug.Lines().size();

  driver.Release();
  ASSERT_EQ(destroyed.get_future().wait_for(2s), std::future_status::ready);
  EXPECT_EQ(driver.Texts(), (std::vector<std::string>{"stuck"}));
  EXPECT_EQ(debug.Lines().size(), linesBefore) << "the left-behind helper logged after Stop returned";
}

// Stop on a helper only signals: the worker and the helper both end, and the
// host's Stop that follows joins them without waiting for the limit.
TEST_F(ChannelBaseTest, StopCalledFromAHelperEndsEveryThread) {
  auto channel = MakeChannel();
  std::promise<void> helperStopped;
  channel->body = [&](TestChannel& self) {
    self.StartHelper([&] {
      self.Stop();
      helperStopped.set_value();
    });
  };
  const int closesBefore = channel->closes.load() + 1;  // Start stops first, which closes once
  ASSERT_TRUE(channel->Start());
  ASSERT_EQ(helperStopped.get_future().wait_for(2s), std::future_status::ready);
  // The worker noticed the stop by itself and released its transport.
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (channel->closes.load() == closesBefore && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(channel->closes.load(), closesBefore + 1);
  const auto started = std::chrono::steady_clock::now();
  {
    Watchdog watchdog(2s, "Stop after a helper stopped the channel");
    channel->Stop();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
  EXPECT_FALSE(debug.Contains("Channel timeout"));
  EXPECT_FALSE(channel->IsRunning());
}

}  // namespace
}  // namespace korvane
