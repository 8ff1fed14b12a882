// Lines sent through a real TCP socket to a real driver (TCP model, text
// validation), mapped by both rule formats and reported to the in-process host.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "driver/core/kestrel_driver.h"
#include "driver/support/event.h"
#include "tests/core/core_test_util.h"
#include "tests/support/fake_host.h"
#include "tests/support/free_port_channels.h"
#include "tests/support/socket_peers.h"

namespace korvane::testing {
namespace {

using namespace std::chrono_literals;
using Kind = HostCall::Kind;

// Sale lines "SALE <amount> LANE <lane>"; one regex message type with two parameters.
constexpr const char* kSaleHead = R"(<?xml version="1.0"?>
<root>
  <channelConfig><linefeed value="0x0d0a"/></channelConfig>
  <validation><regex value="SALE .*"/></validation>
  <kslXmlMapper%s>
    <messageType parsing="regex">
      <message number="1" value="Sale">
        <param number="1" value='SALE ([0-9]+)' group="1"/>
        <param number="2" value='LANE ([0-9]+)' group="1"/>
      </message>
    </messageType>)";

std::string Config(const std::string& version, const std::string& body) {
  std::string head = kSaleHead;
  head.replace(head.find("%s"), 2, version);
  return head + body + "</kslXmlMapper></root>";
}

class MappingEndToEndTest : public HostDirTest {
 protected:
  void TearDown() override {
    driver_.reset();
    HostDirTest::TearDown();
  }
  /// Opens the TCP model on `config` with End events after `endSeconds`, and connects to it.
  void Start(const std::string& config, int endSeconds) {
    WriteFile("mapping.xml", config);
    FakeSettings settings("KestrelTcpModel",
                          {{1, "1"}, {2, "Text"}, {3, "mapping.xml"}, {5, std::to_string(endSeconds)}});
    driver_ = std::make_unique<CKestrelDriver>();
    driver_->SetChannelFactory(&TcpChannelOnFreePort);
    ASSERT_TRUE(driver_->OpenEx(&host_, &settings));
    ASSERT_TRUE(driver_->StartChannel(0, 0));
    CTcpChannel* channel = FreePortTcpChannel();
    ASSERT_NE(channel, nullptr);
    ASSERT_TRUE(channel->WaitListening(2s, true));
    stream_ = TestStream::Connect(channel->BoundPort());
    ASSERT_NE(stream_, nullptr);
  }
  void Send(const std::string& line) { ASSERT_TRUE(stream_->Send(line + "\r\n")); }

  RecordingHost host_;  // outlives the driver
  std::unique_ptr<CKestrelDriver> driver_;
  std::unique_ptr<TestStream> stream_;
};

TEST_F(MappingEndToEndTest, LargeSaleBecomesAnEventWithSearchTagAndEndEvent) {
  Start(Config(R"( version="2")", R"(<rules case_sensitive="yes">
      <message number="1" value="Sale">
        <param reference="1" operator="gt" value="100" type="integer">
          <action type="event" value="Large sale"/>
          <searchtag value="Amount"/>
        </param>
      </message></rules>)"),
        1);
  EXPECT_STREQ(driver_->GetEventName(1), "Large sale");
  EXPECT_STREQ(driver_->GetEventName(2), "End of Large sale");
  int32_t id = -1;
  EXPECT_STREQ(driver_->GetSearchTagName(1, &id), "Amount");

  Send("SALE 50 LANE 1");
  Send("SALE 250 LANE 1");
  ASSERT_TRUE(host_.WaitForCount(Kind::kEvent, 1));
  const HostCall sale = host_.Calls(Kind::kEvent).at(0);
  EXPECT_EQ(sale.text, "Large sale");
  EXPECT_EQ(sale.number, 1);
  EXPECT_EQ(sale.source, "TCP Channel");
  ASSERT_EQ(sale.tags.size(), 1u);
  EXPECT_EQ(sale.tags[0].id, 1);
  EXPECT_EQ(sale.tags[0].text, "Large sale");

  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(host_.WaitForCount(Kind::kEvent, 2, 3s));
  const auto delay = std::chrono::steady_clock::now() - sent;
  EXPECT_GE(delay, 900ms);
  const HostCall end = host_.Calls(Kind::kEvent).at(1);
  EXPECT_EQ(end.text, "End of Large sale");
  EXPECT_EQ(end.number, 2);
  EXPECT_FALSE(end.encoding.has_value());
  // The line of 50 produced nothing; nothing was logged as a failure.
  EXPECT_EQ(host_.Count(Kind::kEvent), 2u);
  EXPECT_EQ(host_.LogCount("Validation failed"), 0u);
}

TEST_F(MappingEndToEndTest, LaneArrayPicksTheOneMatchingLane) {
  Start(Config(R"( version="2")", R"(
      <constants><array name="LANE" params="p1"><min>1</min><max>4</max></array></constants>
      <rules case_sensitive="yes">
      <message number="1" value="Sale" handleParameters="all">
        <param id="p1" reference="2" operator="eq" value="LANE" type="integer">
          <and reference="1" operator="gt" value="100" type="integer"/>
          <action type="event" value="Large sale on lane LANE"/>
          <searchtag type="1" value="Amount"/>
        </param>
      </message></rules>)"),
        0);
  EXPECT_STREQ(driver_->GetEventName(3), "Large sale on lane 3");
  EXPECT_EQ(driver_->GetEventName(5), nullptr);

  Send("SALE 250 LANE 3");
  Send("SALE 50 LANE 3");
  Send("SALE 300 LANE 4");
  ASSERT_TRUE(host_.WaitForCount(Kind::kEvent, 2));
  const auto events = host_.Calls(Kind::kEvent);
  EXPECT_EQ(events[0].text, "Large sale on lane 3");
  EXPECT_EQ(events[0].number, 3);
  ASSERT_EQ(events[0].tags.size(), 4u);  // one per registered "Amount" entry
  EXPECT_EQ(events[0].tags[0].text, "Large sale on lane 3");
  EXPECT_EQ(events[1].text, "Large sale on lane 4");
}

TEST_F(MappingEndToEndTest, LegacyRulesMapThroughTheSameChannel) {
  Start(Config("", R"(<rules>
      <message number="1" value="Sale">
        <param number="1" reference="1" value="100" operator="GT">
          <and number="1" reference="2" value="3"/>
          <action number="1" type="event" value="Large sale on lane 3"/>
          <action number="2" type="data" value="Check lane 3"/>
          <searchtag type="1" value="Amount"/>
        </param>
      </message></rules>)"),
        0);
  EXPECT_STREQ(driver_->GetEventName(1), "Large sale on lane 3");

  Send("SALE 99 LANE 3");
  Send("SALE 250 LANE 2");
  Send("SALE 250 LANE 3");
  ASSERT_TRUE(host_.WaitForCount(Kind::kData, 1));
  ASSERT_EQ(host_.Count(Kind::kEvent), 1u);
  const HostCall event = host_.Calls(Kind::kEvent).at(0);
  EXPECT_EQ(event.text, "Large sale on lane 3");
  ASSERT_EQ(event.tags.size(), 1u);
  EXPECT_EQ(event.tags[0].id, 1);
  EXPECT_EQ(host_.Texts(Kind::kData).at(0), "Check lane 3");
}

// The join limit scaled down from 5000 ms, and a host that blocks through
// Close in the same proportion as a 6 s callback does against 5000 ms.
constexpr auto kJoinLimit = 250ms;
constexpr auto kHostBlocks = kJoinLimit * 6 / 5;

std::promise<void>* g_channelGone = nullptr;
CTcpChannel* g_channel = nullptr;
class ShortJoinTcpChannel : public CTcpChannel {
 public:
  using CTcpChannel::CTcpChannel;
  ~ShortJoinTcpChannel() override {
    if (g_channelGone != nullptr) g_channelGone->set_value();
  }
  static std::unique_ptr<CChannelBase> Make(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings) {
    ChannelSettings copy = settings;
    copy.network.port = 0;
    auto channel = std::make_unique<ShortJoinTcpChannel>(driver, debug, copy);
    channel->SetJoinTimeout(kJoinLimit);
    g_channel = channel.get();
    return channel;
  }
};

// Blocks in its first OnEvent (a host busy elsewhere) and records every call
// that arrives after the test marked the driver closed.
class SlowHost : public RecordingHost {
 public:
  void OnEvent(uint8_t channel, int32_t eventNumber, ISearchData* searchData, const char* source, int32_t sourceLength,
               const char* eventText, int32_t eventTextLength, int32_t reserved, const char* encoding) override {
    Note();
    RecordingHost::OnEvent(channel, eventNumber, searchData, source, sourceLength, eventText, eventTextLength, reserved,
                           encoding);
    if (!blocked_.exchange(true)) {
      entered.Set();
      std::this_thread::sleep_for(kHostBlocks);
    }
  }
  void OnData(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength, const char* data,
              int32_t dataLength, int32_t reserved, const char* encoding) override {
    Note();
    RecordingHost::OnData(channel, searchData, source, sourceLength, data, dataLength, reserved, encoding);
  }
  void OnLog(int32_t severity, const char* text) override {
    Note();
    RecordingHost::OnLog(severity, text);
  }

  Event entered;
  std::atomic<bool> closed{false};
  std::atomic<int> callsAfterClose{0};

 private:
  void Note() {
    if (closed) ++callsAfterClose;
  }
  std::atomic<bool> blocked_{false};
};

// The host's callback blocks past the join limit while the driver closes and
// is released: the worker left behind must wake to a validator, mapper, event
// names and logger that still exist (run under ASan), and make no further call
// to the host, not even for the rest of the message it was mapping.
TEST_F(HostDirTest, CallbackBlockingThroughCloseAndReleaseFindsNothingFreed) {
  WriteFile("mapping.xml", Config(R"( version="2")", R"(<rules case_sensitive="yes">
      <message number="1" value="Sale">
        <param reference="1" operator="gt" value="100" type="integer">
          <action type="event" value="Large sale"/>
          <action type="text" value="Check the lane"/>
          <searchtag value="Amount"/>
        </param>
      </message></rules>)"));
  SlowHost host;  // outlives the worker
  // A promise, not an event: the worker may still be inside the signal when the test ends.
  std::promise<void> channelGone;
  g_channelGone = &channelGone;
  FakeSettings settings("KestrelTcpModel", {{1, "1"}, {2, "Text"}, {3, "mapping.xml"}});
  auto driver = std::make_unique<CKestrelDriver>();
  driver->SetChannelFactory(&ShortJoinTcpChannel::Make);
  ASSERT_TRUE(driver->OpenEx(&host, &settings));
  ASSERT_TRUE(driver->StartChannel(0, 0));
  ASSERT_TRUE(g_channel->WaitListening(2s, true));
  auto stream = TestStream::Connect(g_channel->BoundPort());
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(stream->Send("SALE 250 LANE 1\r\nSALE 300 LANE 2\r\n"));
  ASSERT_TRUE(host.entered.Wait(2s));

  const auto closing = std::chrono::steady_clock::now();
  EXPECT_TRUE(driver->Close());
  EXPECT_LT(std::chrono::steady_clock::now() - closing, kHostBlocks) << "Close waited for the blocked host";
  host.closed = true;
  driver.reset();  // ReleaseDriver while the worker is still inside the host
  g_channel = nullptr;

  EXPECT_EQ(channelGone.get_future().wait_for(3s), std::future_status::ready) << "the left-behind worker never ended";
  g_channelGone = nullptr;
  EXPECT_EQ(host.callsAfterClose.load(), 0);
  EXPECT_EQ(host.Count(Kind::kEvent), 1u);
  EXPECT_EQ(host.Count(Kind::kData), 0u);
}

}  // namespace
}  // namespace korvane::testing
