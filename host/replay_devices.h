// The device side of kestrel-host replay: one class per transport, each
// delivering recorded blocks to a running driver as the device would.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace korvane::host {

/// A device that sends blocks to the driver. Every call is bounded in time.
class ReplayDevice {
 public:
  virtual ~ReplayDevice() = default;
  /// Before the driver opens: anything the driver must find ready (a pty, a
  /// listening port). False with `error` set when that fails.
  virtual bool Prepare(std::string& /*error*/) { return true; }
  /// After the channel started: reach the driver (retrying for a few seconds
  /// while it starts listening).
  virtual bool Connect(std::string& error) = 0;
  /// Sends one block as the device would (a write, a datagram, a request).
  virtual bool Send(std::string_view block, std::string& error) = 0;
  /// True when every block of a raw capture should be one line (datagram
  /// and request transports); false for byte streams.
  virtual bool SendsLines() const { return false; }
};

/// TCP: connects to the driver's listening port.
std::unique_ptr<ReplayDevice> MakeTcpDevice(uint16_t port);
/// TCP client model: listens on the port the driver connects to.
std::unique_ptr<ReplayDevice> MakeTcpListeningDevice(uint16_t port);
/// UDP: one datagram per block.
std::unique_ptr<ReplayDevice> MakeUdpDevice(uint16_t port);
/// HTTP server model: one POST per block on a kept-alive connection.
std::unique_ptr<ReplayDevice> MakeHttpPostDevice(uint16_t port);
/// Serial: a pseudo-terminal pair; the driver opens the other end, named
/// through KESTREL_SERIAL_DEVICE.
std::unique_ptr<ReplayDevice> MakeSerialDevice();

}  // namespace korvane::host
