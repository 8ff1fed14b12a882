// Many driver objects in one process: a hundred at once, each message reaching
// its own driver's host, and a thousand open/close cycles that leave no
// descriptor or thread behind (bytes are LeakSanitizer's in the sanitizer run).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "driver/core/kestrel_driver.h"
#include "tests/core/core_test_util.h"
#include "tests/core/device_configs.h"
#include "tests/core/faulty_host.h"
#include "tests/support/free_port_channels.h"
#include "tests/support/sanitizer_build.h"
#include "tests/support/socket_peers.h"

namespace korvane::testing {
namespace {

using namespace std::chrono_literals;
using Kind = HostCall::Kind;

// Open/close cycles: KESTREL_FAULT_CYCLES, else fewer under the (slower) sanitizers.
size_t CycleCount() {
  if (const char* text = getenv("KESTREL_FAULT_CYCLES")) return std::stoul(text);
  return kSanitized ? 250 : 1000;
}

size_t CountEntries(const char* folder) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++n;
  return n;
}

class DriverScaleTest : public HostDirTest {
 protected:
  /// Opens `driver` for `host` on the TCP model (even `index`) or the UDP model
  /// (odd), starts it and returns its port.
  static uint16_t Open(CKestrelDriver& driver, FaultyHost& host, size_t index, const char* config,
                       const char* validation) {
    const bool udp = index % 2 == 1;
    driver.SetChannelFactory(udp ? &UdpChannelOnFreePort : &TcpChannelOnFreePort);
    FakeSettings settings(udp ? "KestrelUdpModel" : "KestrelTcpModel",
                          {{1, "1"}, {2, validation}, {3, config}, {5, "1"}});
    if (!driver.OpenEx(&host, &settings) || !driver.StartChannel(0, 0)) return 0;
    if (udp) return FreePortUdpChannel()->BoundPort();
    return FreePortTcpChannel()->WaitListening(2s, true) ? FreePortTcpChannel()->BoundPort() : 0;
  }
};

TEST_F(DriverScaleTest, HundredDriversEachGetOnlyTheirOwnMessages) {
  constexpr size_t kDrivers = 100;
  constexpr size_t kLines = 20;
  WriteFile("lines.xml", kLineConfig);
  std::vector<std::unique_ptr<FaultyHost>> hosts;  // declared first: they outlive the drivers
  std::vector<std::unique_ptr<CKestrelDriver>> drivers;
  std::vector<std::unique_ptr<TestStream>> streams(kDrivers);
  std::vector<uint16_t> ports;
  for (size_t i = 0; i < kDrivers; ++i) {
    hosts.push_back(std::make_unique<FaultyHost>());
    drivers.push_back(std::make_unique<CKestrelDriver>());
    ports.push_back(Open(*drivers[i], *hosts[i], i, "lines.xml", "None"));
    ASSERT_NE(ports[i], 0) << "driver " << i;
    if (i % 2 == 0) {
      streams[i] = TestStream::Connect(ports[i]);
      ASSERT_NE(streams[i], nullptr) << "driver " << i;
    }
  }
  TestUdpSocket datagrams;
  ASSERT_TRUE(datagrams.Bind());
  // Line by line across all drivers, so that every channel thread is busy at once.
  for (size_t line = 0; line < kLines; ++line) {
    for (size_t i = 0; i < kDrivers; ++i) {
      const std::string text = "driver " + std::to_string(i) + " line " + std::to_string(line) + "\n";
      ASSERT_TRUE(i % 2 == 0 ? streams[i]->Send(text) : datagrams.SendTo(ports[i], text));
    }
  }
  for (size_t i = 0; i < kDrivers; ++i) {
    std::vector<std::string> expected;
    for (size_t line = 0; line < kLines; ++line) {
      expected.push_back("driver " + std::to_string(i) + " line " + std::to_string(line));
    }
    EXPECT_TRUE(hosts[i]->WaitForCount(Kind::kData, kLines, 10s)) << "driver " << i;
    EXPECT_EQ(hosts[i]->Texts(Kind::kData), expected) << "driver " << i;
  }
  drivers.clear();
  for (const auto& host : hosts) host->closed = true;
}

// Each cycle opens a driver with validation, mapping and End events on TCP or
// UDP, starts it, now and then has a device send a line, and closes it (half
// the time stopping the channel first).
TEST_F(DriverScaleTest, OpenCloseCyclesLeaveNoDescriptorOrThreadBehind) {
  WriteFile("door.xml", kDoorConfig);
  TestUdpSocket datagrams;
  ASSERT_TRUE(datagrams.Bind());
  const auto cycle = [&](size_t i) {
    FaultyHost host;
    CKestrelDriver driver;
    const uint16_t port = Open(driver, host, i, "door.xml", "Text");
    ASSERT_NE(port, 0) << "cycle " << i;
    if (i % 50 == 0) {
      if (i % 2 == 0) {
        const auto stream = TestStream::Connect(port);
        ASSERT_NE(stream, nullptr);
        ASSERT_TRUE(stream->Send("DOOR 7\n"));
      } else {
        ASSERT_TRUE(datagrams.SendTo(port, "DOOR 7\n"));
      }
      ASSERT_TRUE(host.WaitForCount(Kind::kEvent, 1, 5s)) << "cycle " << i;
    }
    if (i % 4 < 2) {
      EXPECT_TRUE(driver.StopChannel(0));
    }
    EXPECT_TRUE(driver.Close());
    host.closed = true;
    EXPECT_EQ(host.callsAfterClose, 0);
  };
  // What lives as long as the process (the shared mutexes, the parsers' tables) is set up by the first cycle.
  cycle(0);
  const size_t descriptors = CountEntries("/proc/self/fd");
  const size_t threads = CountEntries("/proc/self/task");
  const size_t cycles = CycleCount();
  for (size_t i = 1; i <= cycles && !HasFatalFailure(); ++i) cycle(i);
  EXPECT_EQ(CountEntries("/proc/self/fd"), descriptors) << "after " << cycles << " cycles";
  EXPECT_EQ(CountEntries("/proc/self/task"), threads) << "after " << cycles << " cycles";
}

}  // namespace
}  // namespace korvane::testing
