// Many driver objects in one process: a hundred at once, each message reaching
// its own driver's host, and a thousand open/close cycles that leave no
// descriptor or thread behind (bytes are LeakSanitizer's in the sanitizer run).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
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

// A server model listens once its worker has opened the port: connects until it does (5 s at most).
std::unique_ptr<TestStream> ConnectWhenListening(int port) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  std::unique_ptr<TestStream> stream;
  while (stream == nullptr && std::chrono::steady_clock::now() < deadline) {
    stream = TestStream::Connect(static_cast<uint16_t>(port));
    if (stream == nullptr) std::this_thread::sleep_for(5ms);
  }
  return stream;
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

// The other transports, each opened and closed again and again once it has
// reached its peer: the device's listener for the clients (TCP, HTTP polling,
// RTSP), a device connecting for the servers (HTTP server, proxy, which also
// registers itself in the proxy file and leaves it again).
TEST_F(DriverScaleTest, EveryOtherModelOpensAndClosesWithoutLeaving) {
  WriteFile("KSLProxyConfig.xml", "<root><ProxyConfiguration/></root>");
  TestListener device;
  ASSERT_TRUE(device.Listen());
  const std::string devicePort = std::to_string(device.Port());
  const std::string serverPort = std::to_string(UnusedTcpPort());
  struct Model {
    const char* name;
    std::map<int32_t, std::string> parameters;
    bool connects;  // to the device's listener, else the device connects to it
    size_t cycles;  // after the first
  };
  // The HTTP model polls once a second; the RTSP model waits for its TEARDOWN's answer, which never comes.
  const size_t many = std::max<size_t>(CycleCount() / 10, 2);
  const Model models[] = {
      {"KestrelTcpClientModel", {{1, "127.0.0.1"}, {2, devicePort}, {3, "None"}}, true, many},
      {"KestrelHttpModel", {{1, "127.0.0.1"}, {2, devicePort}, {5, "Basic"}, {6, "None"}, {9, "/"}}, true, 2},
      {"KestrelRtspModel", {{1, "127.0.0.1"}, {2, devicePort}, {5, "None"}, {8, "metadata"}}, true, 2},
      {"KestrelHttpServerModel", {{1, serverPort}, {2, "None"}}, false, many},
      {"KestrelProxyModel",
       {{1, "AgentViProxy"}, {2, "10.0.0.5"}, {3, "8080"}, {6, serverPort}, {7, "None"}},
       false,
       many / 4},
  };
  for (const Model& model : models) {
    SCOPED_TRACE(model.name);
    const auto cycle = [&] {
      FaultyHost host;
      CKestrelDriver driver;
      FakeSettings settings(model.name, model.parameters);
      ASSERT_TRUE(driver.OpenEx(&host, &settings));
      ASSERT_TRUE(driver.StartChannel(0, 0));
      const auto peer = model.connects ? device.Accept(5s) : ConnectWhenListening(std::stoi(serverPort));
      ASSERT_NE(peer, nullptr);
      EXPECT_TRUE(driver.Close());
    };
    cycle();
    const size_t descriptors = CountEntries("/proc/self/fd");
    const size_t threads = CountEntries("/proc/self/task");
    for (size_t i = 0; i < model.cycles && !HasFatalFailure(); ++i) cycle();
    EXPECT_EQ(CountEntries("/proc/self/fd"), descriptors);
    EXPECT_EQ(CountEntries("/proc/self/task"), threads);
  }
  std::ifstream proxyFile(Dir() / "KSLProxyConfig.xml");
  const std::string registrations((std::istreambuf_iterator<char>(proxyFile)), std::istreambuf_iterator<char>());
  EXPECT_EQ(registrations.find("AgentViProxy"), std::string::npos) << registrations;
}

}  // namespace
}  // namespace korvane::testing
