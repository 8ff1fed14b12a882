// A host that misbehaves in its callbacks, through a real driver and real
// sockets: one that throws, one that blocks, one whose driver is deleted
// while a device floods it. The driver contains the fault, loses nothing it
// has taken from the device, and calls the host no more once Close returned.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "driver/channels/serial_channel.h"
#include "driver/core/kestrel_driver.h"
#include "driver/support/event.h"
#include "tests/core/core_test_util.h"
#include "tests/core/device_configs.h"
#include "tests/core/faulty_host.h"
#include "tests/support/free_port_channels.h"
#include "tests/support/line_flood.h"
#include "tests/support/pty_peers.h"
#include "tests/support/socket_peers.h"

namespace korvane::testing {
namespace {

using namespace std::chrono_literals;
using Kind = HostCall::Kind;

std::string WithoutLineFeed(std::string line) {
  line.pop_back();
  return line;
}

class HostFaultTest : public HostDirTest {
 protected:
  void SetUp() override {
    HostDirTest::SetUp();
    WriteFile("lines.xml", kLineConfig);
  }
  void TearDown() override {
    driver_.reset();
    ::unsetenv(CSerialChannel::kDevicePathVariable);
    host_.closed = true;
    EXPECT_EQ(host_.callsAfterClose, 0);
    HostDirTest::TearDown();
  }
  /// Opens the TCP model on a free port without validation and connects to it.
  void OpenTcp() {
    Open("KestrelTcpModel", &TcpChannelOnFreePort);
    CTcpChannel* channel = FreePortTcpChannel();
    ASSERT_TRUE(channel->WaitListening(2s, true));
    stream_ = TestStream::Connect(channel->BoundPort());
    ASSERT_NE(stream_, nullptr);
  }
  /// Opens a model whose port is parameter 1, without validation.
  void Open(const char* model, ChannelFactory factory, const char* config = "lines.xml") {
    Open(model, {{1, "1"}, {2, "None"}, {3, config}}, factory);
  }
  /// Opens `model` and starts its channel; `factory` replaces the model's channel.
  void Open(const char* model, std::map<int32_t, std::string> parameters, ChannelFactory factory = nullptr) {
    FakeSettings settings(model, std::move(parameters));
    driver_ = std::make_unique<CKestrelDriver>();
    driver_->SetChannelFactory(factory);
    ASSERT_TRUE(driver_->OpenEx(&host_, &settings));
    ASSERT_TRUE(driver_->StartChannel(0, 0));
  }

  /// The first data call blocks until ExpectTheSlowHostToHoldTheDeviceBack releases it (10 s at most).
  void HoldTheFirstDelivery() {
    host_.afterData = [this](const std::string&) {
      if (firstDelivery_.exchange(false)) release_.Wait(10s);
    };
  }
  void ExpectTheSlowHostToHoldTheDeviceBack(int fd);

  FaultyHost host_;  // outlives the driver
  std::unique_ptr<CKestrelDriver> driver_;
  std::unique_ptr<TestStream> stream_;
  Event release_;
  std::atomic<bool> firstDelivery_{true};
};

TEST_F(HostFaultTest, ThrowingHostIsContainedAndTheChannelKeepsDelivering) {
  host_.afterData = [](const std::string& text) {
    if (text.starts_with("std")) throw std::runtime_error("host failed");
    if (text.starts_with("int")) throw 42;
  };
  host_.throwFromLog = true;
  OpenTcp();
  std::vector<std::string> lines;
  size_t throwing = 0;
  for (int i = 0; i < 20; ++i) {
    const char* kind = i % 3 == 0 ? "std" : i % 5 == 0 ? "int" : "ok";
    if (i % 3 == 0 || i % 5 == 0) ++throwing;
    lines.push_back(std::string(kind) + " " + std::to_string(i));
  }
  for (const std::string& line : lines) ASSERT_TRUE(stream_->Send(line + "\n"));

  ASSERT_TRUE(host_.WaitForCount(Kind::kData, lines.size(), 5s));
  EXPECT_EQ(host_.Texts(Kind::kData), lines);
  // One error line per exception, although the host throws from its log callback as well.
  EXPECT_EQ(host_.LogCount("DataCallback exception"), throwing);
}

// While the host sits in a callback the driver reads nothing more, so the
// device runs out of room (TCP's window holds it back); afterwards every
// line arrives once and in order, although the device sent many times what
// the socket buffers hold. The TCP server and client share this loop; the
// serial line holds the device back through the tty's buffers.
void HostFaultTest::ExpectTheSlowHostToHoldTheDeviceBack(int fd) {
  constexpr size_t kLineBytes = 1024;
  constexpr size_t kMostLines = (256u << 20) / kLineBytes;
  LineFlood device(fd, kLineBytes);
  const bool sentAll = device.SendUntil(kMostLines, 300ms);
  release_.Set();
  ASSERT_FALSE(sentAll) << "the device sent 256 MiB while the host was blocked";
  EXPECT_GT(device.LinesSent(), 0u);
  ASSERT_FALSE(device.Failed());
  const size_t total = std::max<size_t>(4 * device.LinesSent(), 1024);
  ASSERT_TRUE(device.SendUntil(total, 10s)) << device.LinesSent() << " of " << total << " lines sent";

  ASSERT_TRUE(host_.WaitForCount(Kind::kData, total, 60s)) << host_.Count(Kind::kData) << " of " << total;
  const std::vector<std::string> texts = host_.Texts(Kind::kData);
  ASSERT_EQ(texts.size(), total);
  size_t wrong = 0;
  for (size_t i = 0; i < total; ++i) wrong += texts[i] != WithoutLineFeed(NumberedLine(i, kLineBytes)) ? 1 : 0;
  EXPECT_EQ(wrong, 0u);
}

TEST_F(HostFaultTest, SlowHostHoldsTheDeviceBackOnTheTcpServer) {
  HoldTheFirstDelivery();
  OpenTcp();
  ExpectTheSlowHostToHoldTheDeviceBack(stream_->Fd());
}

TEST_F(HostFaultTest, SlowHostHoldsTheDeviceBackOnTheTcpClient) {
  HoldTheFirstDelivery();
  TestListener device;
  ASSERT_TRUE(device.Listen());
  Open("KestrelTcpClientModel", {{1, "127.0.0.1"}, {2, std::to_string(device.Port())}, {3, "None"}, {4, "lines.xml"}});
  stream_ = device.Accept(5s);
  ASSERT_NE(stream_, nullptr);
  ExpectTheSlowHostToHoldTheDeviceBack(stream_->Fd());
}

TEST_F(HostFaultTest, SlowHostHoldsTheDeviceBackOnTheSerialLine) {
  HoldTheFirstDelivery();
  TestPty device;
  ASSERT_TRUE(device.IsOpen());
  ::setenv(CSerialChannel::kDevicePathVariable, device.DevicePath().c_str(), 1);
  Open("KestrelSerialModel",
       {{1, "1"}, {2, "115200"}, {3, "8"}, {4, "1"}, {5, "No"}, {6, "None"}, {7, "None"}, {8, "lines.xml"}});
  ExpectTheSlowHostToHoldTheDeviceBack(device.Fd());
}

// Datagrams arriving while the host blocks for two seconds wait in the
// socket's buffer and are delivered afterwards, none reported lost.
TEST_F(HostFaultTest, DatagramsWaitWhileTheHostBlocksTwoSeconds) {
  Event entered;
  host_.afterData = [&](const std::string& text) {
    if (text != "first") return;
    entered.Set();
    std::this_thread::sleep_for(2s);
  };
  Open("KestrelUdpModel", &UdpChannelOnFreePort, "");
  const uint16_t port = FreePortUdpChannel()->BoundPort();
  TestUdpSocket device;
  ASSERT_TRUE(device.Bind());
  ASSERT_TRUE(device.SendTo(port, "first"));
  ASSERT_TRUE(entered.Wait(5s));
  std::vector<std::string> expected{"first"};
  // Few enough for the buffer an unprivileged socket gets under the system's default limit.
  for (int i = 0; i < 100; ++i) {
    expected.push_back("datagram " + std::to_string(i));
    ASSERT_TRUE(device.SendTo(port, expected.back()));
  }
  ASSERT_TRUE(host_.WaitForCount(Kind::kData, expected.size(), 10s));
  EXPECT_EQ(host_.Texts(Kind::kData), expected);
  EXPECT_EQ(host_.LogCount("datagrams lost"), 0u);
}

// Stop and Close wait for a callback that blocks two seconds (less than their
// join limit) instead of leaving its thread behind, and nothing reaches the
// host after they returned; a stopped channel starts again.
TEST_F(HostFaultTest, StopAndCloseWaitForACallbackBlockedTwoSeconds) {
  Event entered;
  std::atomic<bool> inside{false};
  host_.afterData = [&](const std::string& text) {
    if (!text.starts_with("block")) return;
    inside = true;
    entered.Set();
    std::this_thread::sleep_for(2s);
    inside = false;
  };
  OpenTcp();
  ASSERT_TRUE(stream_->Send("block 1\nafter 1\n"));
  ASSERT_TRUE(entered.Wait(5s));
  ASSERT_TRUE(driver_->StopChannel(0));
  EXPECT_FALSE(inside);

  entered.Reset();
  ASSERT_TRUE(driver_->StartChannel(0, 0));
  ASSERT_TRUE(FreePortTcpChannel()->WaitListening(2s, true));
  stream_ = TestStream::Connect(FreePortTcpChannel()->BoundPort());
  ASSERT_NE(stream_, nullptr);
  ASSERT_TRUE(stream_->Send("block 2\n"));
  ASSERT_TRUE(entered.Wait(5s));
  driver_->Close();
  host_.closed = true;
  EXPECT_FALSE(inside);
  EXPECT_EQ(host_.LogCount("thread terminating"), 0u);
  EXPECT_EQ(host_.Texts(Kind::kData).back(), "block 2");
}

// The driver deleted while a device floods it, at a different moment each
// round, over TCP and UDP, with the validator, mapper and End-event timer at
// work: deletion returns, the TCP device sees its connection go, and no call
// reaches the host afterwards (the host itself goes at the end of each round).
TEST_F(HostFaultTest, DeletingTheDriverDuringAFloodReturnsCleanly) {
  WriteFile("door.xml", kDoorConfig);
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const bool udp = round % 2 == 1;
    FaultyHost host;
    auto driver = std::make_unique<CKestrelDriver>();
    driver->SetChannelFactory(udp ? &UdpChannelOnFreePort : &TcpChannelOnFreePort);
    FakeSettings settings(udp ? "KestrelUdpModel" : "KestrelTcpModel",
                          {{1, "1"}, {2, "Text"}, {3, "door.xml"}, {5, "1"}});
    ASSERT_TRUE(driver->OpenEx(&host, &settings));
    ASSERT_TRUE(driver->StartChannel(0, 0));

    std::atomic<bool> stop{false};
    Event deviceEnded;
    std::thread device;
    if (udp) {
      const uint16_t port = FreePortUdpChannel()->BoundPort();
      device = std::thread([&stop, &deviceEnded, port] {
        TestUdpSocket socket;
        if (socket.Bind()) {
          for (size_t n = 0; !stop; ++n) socket.SendTo(port, "DOOR " + std::to_string(n) + "\n");
        }
        deviceEnded.Set();
      });
    } else {
      ASSERT_TRUE(FreePortTcpChannel()->WaitListening(2s, true));
      std::shared_ptr<TestStream> stream = TestStream::Connect(FreePortTcpChannel()->BoundPort());
      ASSERT_NE(stream, nullptr);
      device = std::thread([&stop, &deviceEnded, stream] {
        LineFlood flood(stream->Fd(), 64, "DOOR ");
        while (!stop && !flood.Failed()) flood.SendUntil(SIZE_MAX, 100ms);
        deviceEnded.Set();
      });
    }
    const bool flowing = host.WaitForCount(Kind::kEvent, 1 + static_cast<size_t>(round) * 25, 10s);
    driver.reset();
    host.closed = true;
    // A closed connection ends the TCP device by itself.
    const bool ended = udp || deviceEnded.Wait(5s);
    stop = true;
    device.join();
    EXPECT_TRUE(flowing);
    EXPECT_TRUE(ended);
    EXPECT_EQ(host.callsAfterClose, 0);
  }
}

}  // namespace
}  // namespace korvane::testing
