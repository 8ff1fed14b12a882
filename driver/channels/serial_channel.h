// The serial channel: reads a device's output from a tty (a COM port of the
// serial model). It only reads; nothing is ever written to the line.
#pragma once

#include <termios.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "driver/channels/channel_base.h"

namespace korvane {

class CSerialChannel : public CChannelBase {
 public:
  /// Device path of COM n when neither the settings nor the environment name one:
  /// "%d" stands for n - 1.
  static constexpr const char* kDefaultDevicePath = "/dev/ttyS%d";
  /// Environment variable naming the device path (same form) when the settings do not.
  static constexpr const char* kDevicePathVariable = "KESTREL_SERIAL_DEVICE";
  static constexpr int32_t kMaxPort = 255;
  /// Longest single wait for bytes; the stop event ends it at once.
  static constexpr std::chrono::milliseconds kByteWait{2000};
  /// Pause after a read, so bytes arriving one by one are read in blocks.
  static constexpr std::chrono::milliseconds kReadPause{10};
  /// Pause between attempts to reopen a port that went away (channel clock).
  static constexpr std::chrono::milliseconds kReopenInterval{1000};
  static constexpr size_t kReadSize = 4096;

  /// Reads COM settings.serial.port with the baud rate, framing and flow control of settings.serial.
  CSerialChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);
  ~CSerialChannel() override;

  /// The tty this channel opens; empty when the port number is out of range.
  const std::string& DevicePath() const { return path_; }

 protected:
  bool OpenChannel() override;
  void CloseChannel() override;
  int Run() override;

 private:
  /// Opens and configures the tty; on failure fills `reason` and leaves the port closed.
  bool OpenPort(std::string& reason);
  bool Configure(std::string& reason);
  /// Puts the line into the break state, restores the saved settings, closes.
  void ClosePort();
  /// After a read error: reopens the port once per interval until it is back; false when stopped.
  bool Reopen();
  /// Waits `pause` (real time) or until the stop event.
  void Pause(std::chrono::milliseconds pause);

  std::string path_;
  // The open tty (-1 when closed) and, once this channel holds it, its
  // settings from before the open, put back on close.
  int fd_ = -1;
  bool restoreOnClose_ = false;
  termios saved_{};
  uint32_t savedSpeed_ = 0;
};

/// Device path of COM `port` under `pathTemplate`: its first "%d" becomes
/// port - 1, any other character is taken as it stands.
std::string SerialDevicePath(const std::string& pathTemplate, int32_t port);

/// Channel factory of the serial model.
std::unique_ptr<CChannelBase> CreateSerialChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);

}  // namespace korvane
