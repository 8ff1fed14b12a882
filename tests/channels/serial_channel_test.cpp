#include "driver/channels/serial_channel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/channels/serial_line_speed.h"
#include "tests/support/fake_data_driver.h"
#include "tests/support/manual_clock.h"
#include "tests/support/pty_peers.h"
#include "tests/support/recording_debug.h"
#include "tests/support/scoped_host_directory.h"
#include "tests/support/watchdog.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using testing::FakeDataDriver;
using testing::ManualClock;
using testing::RecordingDebug;
using testing::ScopedHostDirectory;
using testing::TestPty;
using testing::Watchdog;
using Strings = std::vector<std::string>;

constexpr const char* kOpen = "korvane::CSerialChannel::OpenChannel: ";

class SerialChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.IsOpen());
    settings.lineFeedBytes = {'\r', '\n'};
    settings.serial = SerialSettings{1, 9600, 8, 1, 0, 0, pty.DevicePath()};
  }
  void TearDown() override {
    Watchdog watchdog(3s, "stopping the channel");
    channel.reset();
  }
  bool Start() {
    channel = std::make_unique<CSerialChannel>(driver, debug, settings);
    channel->SetClock(clock);
    return channel->Start();
  }
  void Stop() {
    Watchdog watchdog(3s, "stopping the channel");
    channel.reset();
  }

  FakeDataDriver driver;
  RecordingDebug debug;
  ChannelSettings settings;
  ManualClock clock;  // only the pause between reopening attempts reads it
  TestPty pty;
  std::unique_ptr<CSerialChannel> channel;
};

bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

TEST_F(SerialChannelTest, LineSettingsReachTheDeviceAndTheOldOnesComeBackOnClose) {
  termios before{};
  ASSERT_TRUE(pty.Settings(before));
  struct Case {
    int32_t baud, stopBits, parity, flowControl;
    speed_t speed;
    tcflag_t parityBits;
  };
  // A pseudo-terminal always reads back 8 data bits without PARENB; the other
  // parity bits and the input parity check come back as set.
  const Case cases[] = {
      {9600, 1, 0, 0, B9600, 0},          {19200, 2, 2, 1, B19200, 0},              // even
      {115200, 0, 1, 0, B115200, PARODD}, {2400, 1, 3, 0, B2400, CMSPAR | PARODD},  // mark
      {4800, 1, 4, 1, B4800, CMSPAR},                                               // space
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    settings.serial.baudRate = c.baud;
    settings.serial.stopBits = c.stopBits;
    settings.serial.parity = c.parity;
    settings.serial.flowControl = c.flowControl;
    ASSERT_TRUE(Start());
    termios line{};
    ASSERT_TRUE(pty.Settings(line));
    EXPECT_EQ(cfgetospeed(&line), c.speed);
    EXPECT_EQ(cfgetispeed(&line), c.speed);
    EXPECT_EQ(line.c_cflag & (PARODD | CMSPAR), c.parityBits);
    EXPECT_EQ((line.c_iflag & INPCK) != 0, c.parity != 0);
    EXPECT_EQ((line.c_cflag & CSTOPB) != 0, c.stopBits != 1) << "only 1 gives one stop bit";
    if (c.flowControl == 1) {
      EXPECT_EQ(line.c_iflag & (IXON | IXOFF), IXON | IXOFF);
      EXPECT_EQ(line.c_cc[VSTART], 0x11);
      EXPECT_EQ(line.c_cc[VSTOP], 0x13);
    } else {
      EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY), 0u);
    }
    // Raw: no echo, no line editing, no signals, no output processing, no hardware handshake.
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(line.c_cflag & (CRTSCTS | CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    Stop();
    termios after{};
    ASSERT_TRUE(pty.Settings(after));
    EXPECT_TRUE(SameSettings(after, before)) << "the settings from before the open are put back";
  }
  EXPECT_EQ(debug.Count("Enabling XON/XOFF flow control"), 2u);
  EXPECT_EQ(debug.Count("Flow control is disabled"), 3u);
  EXPECT_EQ(debug.Count("SetCommState() succeeded"), 5u);
}

TEST_F(SerialChannelTest, RateWithoutConstantIsSetInBitsPerSecond) {
  termios before{};
  ASSERT_TRUE(pty.Settings(before));
  settings.serial.baudRate = 31250;
  ASSERT_TRUE(Start());
  uint32_t speed = 0;
  ASSERT_EQ(GetLineSpeed(pty.Fd(), speed), 0);
  EXPECT_EQ(speed, 31250u);
  Stop();
  termios after{};
  ASSERT_TRUE(pty.Settings(after));
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST_F(SerialChannelTest, PortsAndSettingsThatCannotBeUsedFailTheStartWithTheirReason) {
  ScopedHostDirectory dir("kestrel_serial");
  const std::string missing = (dir.Path() / "ttyUSB9").string();
  const std::string device = pty.DevicePath();
  // Another program holds the port: it is refused and its settings are left alone.
  const int holder = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  termios before{};
  ASSERT_TRUE(pty.Settings(before));

  struct Case {
    int32_t port;
    std::string path;
    int32_t baud, dataBits, parity;
    std::string reason;
  };
  const Case cases[] = {
      {1, missing, 9600, 8, 0, "Failed to open COM port '" + missing + "' (error 2: No such file or directory)"},
      {1, "/dev/null", 9600, 8, 0, "Failed to open COM port '/dev/null' (not a terminal)"},
      {1, device, 9600, 8, 0, "Failed to open COM port '" + device + "' (in use by another program)"},
      {0, device, 9600, 8, 0, "Invalid COM port number 0 (1 to 255)"},
      {256, device, 9600, 8, 0, "Invalid COM port number 256 (1 to 255)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    settings.serial = SerialSettings{c.port, c.baud, c.dataBits, 1, c.parity, 0, c.path};
    EXPECT_FALSE(Start());
    EXPECT_EQ(debug.Count("KSL channel state is changed (" + std::string(kOpen) + c.reason + ")"), 1u);
  }
  EXPECT_EQ(debug.Count("successfully opened"), 0u);
  ::close(holder);

  const Case refused[] = {
      {1, device, -9600, 8, 0, "Set COM port state failed (baud rate -9600 not supported)"},
      {1, device, 9600, 9, 0, "Set COM port state failed (data bits 9 not supported)"},
      {1, device, 9600, 8, 5, "Set COM port state failed (parity 5 not supported)"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.reason);
    settings.serial = SerialSettings{c.port, c.baud, c.dataBits, 1, c.parity, 0, c.path};
    EXPECT_FALSE(Start());
    EXPECT_FALSE(channel->IsRunning());
    EXPECT_EQ(debug.Count(std::string(kOpen) + c.reason), 1u);
  }
  EXPECT_EQ(debug.Count("korvane::CChannelBase::Start: Unable to start channel"), 8u);
  termios after{};
  ASSERT_TRUE(pty.Settings(after));
  EXPECT_TRUE(SameSettings(after, before));
}

TEST_F(SerialChannelTest, PortNumberPicksTheDeviceUnderTheConfiguredOrDefaultTemplate) {
  EXPECT_EQ(SerialDevicePath("/dev/serial/by-id/usb-FTDI_A1-if00", 7), "/dev/serial/by-id/usb-FTDI_A1-if00");
  EXPECT_EQ(SerialDevicePath("/tmp/100%/ttyS%d%d", 2), "/tmp/100%/ttyS1%d") << "only the first %d is replaced";
  settings.serial.port = 3;
  settings.serial.devicePath.clear();
  ::unsetenv(CSerialChannel::kDevicePathVariable);
  EXPECT_EQ(CSerialChannel(driver, debug, settings).DevicePath(), "/dev/ttyS2");
  ::setenv(CSerialChannel::kDevicePathVariable, "/dev/ttyACM%d", 1);
  EXPECT_EQ(CSerialChannel(driver, debug, settings).DevicePath(), "/dev/ttyACM2");
  settings.serial.devicePath = "/dev/ttyUSB%d";
  EXPECT_EQ(CSerialChannel(driver, debug, settings).DevicePath(), "/dev/ttyUSB2") << "the configuration comes first";
  ::unsetenv(CSerialChannel::kDevicePathVariable);
}

TEST_F(SerialChannelTest, DeviceThatGoesAwayIsReopenedOnceASecondWithOneLineAnOutage) {
  ScopedHostDirectory dir("kestrel_serial");
  const std::string link = (dir.Path() / "device").string();
  ASSERT_EQ(::symlink(pty.DevicePath().c_str(), link.c_str()), 0);
  settings.serial.devicePath = link;
  ASSERT_TRUE(Start());
  ASSERT_TRUE(pty.Write("A\r\ncut"));
  ASSERT_TRUE(debug.WaitForPacketBytes(6));

  // Unplugged mid-line.
  ASSERT_EQ(::unlink(link.c_str()), 0);
  pty.Close();
  ASSERT_TRUE(
      debug.WaitForCount("korvane::CSerialChannel::Run: Channel 0 - Error when trying to read characters, error code"));
  ASSERT_TRUE(debug.WaitForCount("KSL (COM port 1) channel 0 was closed"));
  // Each second of the channel clock releases one attempt.
  for (uint64_t attempt = 1; attempt <= 2; ++attempt) {
    ASSERT_TRUE(clock.WaitForWaits(attempt));
    clock.Advance(1s);
  }
  ASSERT_TRUE(clock.WaitForWaits(3));
  EXPECT_EQ(debug.Count("Failed to open COM port '" + link + "'"), 1u);

  TestPty back;
  ASSERT_EQ(::symlink(back.DevicePath().c_str(), link.c_str()), 0);
  clock.Advance(1s);
  ASSERT_TRUE(debug.WaitForCount("KSL (COM port 1) channel 0 was opened", 2));
  ASSERT_TRUE(back.Write("B\r\n"));
  ASSERT_TRUE(driver.WaitForMessages(2));
  EXPECT_EQ(driver.Texts(), (Strings{"A", "B"})) << "the line cut off by the outage is dropped";
  EXPECT_EQ(driver.Messages()[0].source, "Serial Channel");
  EXPECT_EQ(debug.Count(std::string(kOpen) + "Channel 0 COM port successfully opened. '" + link + "'"), 2u);
  EXPECT_EQ(debug.Count("Error when trying to read characters"), 1u);
  EXPECT_EQ(debug.Count("Failed to open COM port"), 1u);
  Stop();
}

// What an unplugged USB adapter does to its tty: a hang-up, after which reads
// return no bytes and no error.
TEST_F(SerialChannelTest, HungUpPortIsClosedAndReopened) {
  ASSERT_TRUE(Start());
  ASSERT_TRUE(debug.WaitForCount("channel 0 was opened"));
  const int device = ::open(pty.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(device, 0);
  if (::ioctl(device, TIOCVHANGUP) != 0) {
    ::close(device);
    GTEST_SKIP() << "hanging up a terminal needs CAP_SYS_ADMIN";
  }
  ::close(device);
  ASSERT_TRUE(debug.WaitForCount("Channel 0 - Error when trying to read characters, error code 0x5"));
  ASSERT_TRUE(clock.WaitForWaits(1));
  clock.Advance(1s);
  ASSERT_TRUE(debug.WaitForCount("channel 0 was opened", 2));
  ASSERT_TRUE(pty.Write("B\r\n"));
  ASSERT_TRUE(driver.WaitForMessages(1));
  EXPECT_EQ(debug.Count("Error when trying to read characters"), 1u);
}

TEST_F(SerialChannelTest, StopsWithinHalfASecondWhileWaitingAndUnderAFlood) {
  ASSERT_TRUE(Start());
  ASSERT_TRUE(debug.WaitForCount("channel 0 was opened"));
  auto started = std::chrono::steady_clock::now();
  channel->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms) << "the wait for bytes ends at the stop";
  channel->Stop();
  EXPECT_FALSE(channel->IsRunning());

  driver.SetKeepMessages(false);
  ASSERT_TRUE(channel->Start());
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    std::string block;
    for (int i = 0; i < 100; ++i) block += "0123456789012345678901234567890123456789\r\n";
    while (flooding && pty.Write(block, 200ms)) {
    }
  });
  ASSERT_TRUE(driver.WaitForMessages(5000, 5s));
  started = std::chrono::steady_clock::now();
  {
    Watchdog watchdog(2s, "Stop under a flood");
    channel->Stop();
  }
  const auto elapsed = std::chrono::steady_clock::now() - started;
  flooding = false;
  flood.join();
  EXPECT_LT(elapsed, 500ms);
}

}  // namespace
}  // namespace korvane
