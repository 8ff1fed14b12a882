// Per-channel settings, filled from the model parameters and the
// configuration file when the driver opens, copied by the channel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

struct NetworkSettings {
  std::string address;
  int32_t port = 0;
  std::string user;
  std::string password;
  std::string path;
  std::string authScheme;
  int32_t timeout = 10000;  ///< milliseconds
};

struct SerialSettings {
  int32_t port = 0;
  int32_t baudRate = 0;
  int32_t dataBits = 0;
  int32_t stopBits = 0;
  int32_t parity = 0;       ///< 0 no, 1 odd, 2 even, 3 mark, 4 space
  int32_t flowControl = 0;  ///< 0 none, 1 XON/XOFF
  /// Device path of the port, where "%d" stands for the port number minus one;
  /// empty: the environment's KESTREL_SERIAL_DEVICE, else "/dev/ttyS%d".
  std::string devicePath;
};

struct ChannelSettings {
  std::string lineFeed;
  std::string clearScreen;
  std::string acknowledge;
  std::string keepAliveQuery;
  uint32_t codePage = 65001;
  int32_t endEventSeconds = 0;
  bool validationRequired = false;
  std::vector<uint8_t> lineFeedBytes;
  std::vector<uint8_t> clearScreenBytes;
  std::vector<uint8_t> ignoredBytes;
  std::vector<uint8_t> acknowledgeBytes;
  NetworkSettings network;
  SerialSettings serial;
  /// Kernel receive buffer of the UDP channel, in bytes: room for bursts of
  /// datagrams while a message is being mapped ("udpReceiveBuffer" in the
  /// configuration file's channelConfig section).
  int32_t udpReceiveBufferBytes = 8 << 20;
  bool sendResponse = true;
  std::string responseText;
  std::string processingType = "Content";
};

}  // namespace korvane

namespace korvane {

/// Registration of a proxy model with its outside proxy service.
struct ProxySettings {
  std::string service;        ///< "AgentViProxy", ..., or "IntrepidProxy"
  uint16_t incomingPort = 0;  ///< local TCP port the driver listens on
  std::string address;        ///< device address
  int32_t port = 0;           ///< device port
  int32_t slaveAddress = 0;   ///< Intrepid model only
  std::string user;
  std::string password;
};

}  // namespace korvane
