// Sparrow as a host uses it: a real driver on the UDP model loads it by name,
// a VCA unit sends the stream of examples/vca-udp in datagrams that cut its
// documents in two, and the host receives the events, metadata and search
// tags that example's configuration maps.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/channels/udp_channel.h"
#include "driver/core/kestrel_driver.h"
#include "tests/plugins/plugin_test_util.h"
#include "tests/support/fake_host.h"
#include "tests/support/socket_peers.h"
#include "tests/support/watchdog.h"

namespace korvane::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Kind = HostCall::Kind;

const fs::path kExample = fs::path(KESTREL_SOURCE_DIR) / "examples/vca-udp";

CUdpChannel* g_channel = nullptr;

std::unique_ptr<CChannelBase> UdpChannelOnFreePort(IDataDriver& driver, IDebug& debug,
                                                   const ChannelSettings& settings) {
  ChannelSettings copy = settings;
  copy.network.port = 0;
  auto channel = std::make_unique<CUdpChannel>(driver, debug, copy);
  g_channel = channel.get();
  return channel;
}

class SparrowSessionTest : public PluginTest {
 protected:
  void TearDown() override {
    {
      Watchdog watchdog(5s, "closing the driver");
      driver_.reset();
    }
    PluginTest::TearDown();
  }

  RecordingHost host_;  // outlives the driver
  std::unique_ptr<CKestrelDriver> driver_;
};

TEST_F(SparrowSessionTest, VcaUnitOverUdp) {
  fs::create_symlink(fs::path(KESTREL_PLUGIN_DIR) / "Sparrow.so", Dir() / "Sparrow.so");
  fs::create_directories(Dir() / "examples");
  fs::copy(kExample, Dir() / "examples/vca-udp", fs::copy_options::recursive);
  fs::copy_file(kExample / "Sparrow.xml", Dir() / "Sparrow.xml");

  FakeSettings settings("KestrelUdpModel",
                        {{1, "1"}, {2, "Custom"}, {3, "examples/vca-udp/vca.xml"}, {4, "Sparrow"}, {5, "0"}});
  driver_ = std::make_unique<CKestrelDriver>();
  driver_->SetChannelFactory(&UdpChannelOnFreePort);
  ASSERT_TRUE(driver_->OpenEx(&host_, &settings));
  ASSERT_TRUE(driver_->StartChannel(0, 0));
  ASSERT_NE(g_channel, nullptr);
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (g_channel->BoundPort() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  const uint16_t port = g_channel->BoundPort();
  ASSERT_NE(port, 0);

  const std::string session = ReadFile(kExample / "session.xml");
  ASSERT_FALSE(session.empty());
  TestUdpSocket unit;
  ASSERT_TRUE(unit.Bind());
  size_t start = 0;
  size_t sent = 0;
  for (size_t end = session.find("</vca>"); end != std::string::npos; end = session.find("</vca>", start)) {
    end += 6;
    const size_t middle = start + (end - start) / 2;
    ASSERT_TRUE(unit.SendTo(port, session.substr(start, middle - start)));
    ASSERT_TRUE(unit.SendTo(port, session.substr(middle, end - middle)));
    start = end;
    ++sent;
  }
  ASSERT_EQ(sent, 6u);

  const std::vector<std::string> expected{"Presence detected",    "Person entered", "Person left",
                                          "Line crossed inbound", "Person entered", "Camera tampered",
                                          "Wrong direction",      "Presence ended", "Person left"};
  ASSERT_TRUE(host_.WaitForCount(Kind::kEvent, expected.size())) << host_.Texts(Kind::kEvent).size();
  EXPECT_EQ(host_.Texts(Kind::kEvent), expected);
  // The last event's metadata follows it.
  ASSERT_TRUE(host_.WaitForCount(Kind::kMetadata, 5));
  EXPECT_EQ(host_.Texts(Kind::kMetadata), (std::vector<std::string>{"Person entered", "Person left", "Person entered",
                                                                    "Camera tampered", "Person left"}));
  const HostCall presence = host_.Calls(Kind::kEvent).at(0);
  EXPECT_EQ(presence.source, "UDP Channel");
  ASSERT_FALSE(presence.tags.empty());
  EXPECT_EQ(presence.tags[0].text, "Presence detected");
  EXPECT_EQ(host_.LogCount("Validation failed"), 0u);
  EXPECT_EQ(host_.LogCount("Cannot load the VCA rule types"), 0u);
}

}  // namespace
}  // namespace korvane::testing
