#include "driver/core/configuration.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <string_view>

#include "driver/channels/channel_base.h"
#include "driver/channels/proxy_config_provider.h"
#include "driver/core/configuration_names.h"
#include "driver/core/kestrel_driver.h"
#include "driver/core/model_table.h"
#include "driver/support/code_page.h"
#include "driver/support/debug_logger.h"
#include "driver/support/string_utils.h"
#include "driver/support/xml_parser.h"

namespace korvane {
namespace {

constexpr char kProxyConfigFile[] = "KSLProxyConfig.xml";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/// Value of the leading hex digits of `pair` (0 when there are none);
/// `complete` tells whether every character was a hex digit.
uint8_t ReadHexPair(std::string_view pair, bool& complete) {
  unsigned value = 0;
  complete = true;
  for (char c : pair) {
    const int digit = HexDigit(c);
    if (digit < 0) {
      complete = false;
      break;
    }
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return static_cast<uint8_t>(value);
}

bool StartsWithHexPrefix(std::string_view lowered) { return lowered.size() >= 2 && lowered.substr(0, 2) == "0x"; }

/// C atoi reading (leading blanks, optional sign, digits up to the first other
/// character), limited to the range of a log level.
uint8_t ReadLogLevel(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = std::min(value * 10 + (text[i] - '0'), 1000);
  }
  if (negative) return 0;
  return static_cast<uint8_t>(std::min(value, 255));
}

std::string Parameter(IDriverSettings& settings, int32_t index) {
  const char* value = settings.GetParameter(index);
  return value != nullptr ? std::string(value) : std::string();
}

/// A missing or malformed number reads as 0, which every reader refuses where it matters.
int32_t IntParameter(IDriverSettings& settings, int32_t index) {
  int32_t value = 0;
  if (!ParseInt(Parameter(settings, index), value)) value = 0;
  return value;
}

bool IsTcpUdpPort(int32_t port) { return port > 0 && port <= 65535; }
bool IsComPort(int32_t port) { return port > 0 && port <= 255; }

constexpr int32_t kMinUdpReceiveBuffer = 4096;
constexpr int32_t kMaxUdpReceiveBuffer = 1 << 30;

}  // namespace

std::string ParseConfigString(IDebug& debug, const std::string& name, const std::string& value) {
  const std::string lowered = ToLower(value);
  if (!StartsWithHexPrefix(lowered)) return value;
  const std::string_view digits = std::string_view(lowered).substr(2);
  std::string result;
  result.reserve(digits.size() / 2 + 1);
  for (size_t i = 0; i < digits.size(); i += 2) {
    const std::string_view pair = digits.substr(i, 2);
    bool complete = false;
    const uint8_t byte = ReadHexPair(pair, complete);
    if (!complete || (byte == 0 && pair != "00")) {
      if (value.find('%') != std::string::npos || value.empty()) {
        debug.Log(kLogError, kCatConfiguration, "%s: Invalid %s value in configuration!",
                  "korvane::CKestrelDriver::ParseConfigString", name.c_str());
      } else {
        debug.Log(kLogError, kCatConfiguration, "%s: Invalid %s value '%s' in configuration!",
                  "korvane::CKestrelDriver::ParseConfigString", name.c_str(), value.c_str());
      }
      return {};
    }
    result.push_back(static_cast<char>(byte));
  }
  return result;
}

std::vector<uint8_t> ParseConfigList(const std::string& value, const std::vector<uint8_t>* excluded) {
  std::vector<uint8_t> result;
  const auto append = [&](uint8_t byte) {
    if (excluded != nullptr && std::find(excluded->begin(), excluded->end(), byte) != excluded->end()) return;
    result.push_back(byte);
  };
  for (const std::string& piece : Split(value, ",")) {
    const std::string lowered = ToLower(piece);
    if (StartsWithHexPrefix(lowered)) {
      const std::string_view digits = std::string_view(lowered).substr(2);
      for (size_t i = 0; i < digits.size(); i += 2) {
        bool complete = false;
        append(ReadHexPair(digits.substr(i, 2), complete));
      }
    } else {
      // Literal characters keep their case: "ACK" acknowledges with "ACK", "X" ignores "X".
      for (char c : piece) append(static_cast<uint8_t>(c));
    }
  }
  return result;
}

// --- model opening ---

bool CKestrelDriver::OpenModel(const std::string& model, IDriverSettings* settings, std::string& validation,
                               std::string& customValidator) {
  constexpr const char* kName = "korvane::CKestrelDriver::OpenModel";
  configFile_.clear();
  if (settings == nullptr) {
    Log(kLogError, kCatConfiguration, "%s: No model parameters for model/device '%s'", kName, model.c_str());
    return false;
  }
  const ModelEntry* entry = FindModelEntry(model);
  if (entry == nullptr) {
    Log(kLogError, kCatNone, "%s: Unknown model/device: '%s'", kName, model.c_str());
    return false;
  }
  validation = Parameter(*settings, entry->validationIndex);
  customValidator = entry->customValidatorIndex > 0 ? Parameter(*settings, entry->customValidatorIndex) : "";

  ChannelSettings config;
  // Validation types are read in any letter case; "none" needs no configuration file either.
  config.validationRequired = ToLower(validation) != "none";
  if (!(this->*entry->reader)(*settings, config)) return false;

  const ChannelFactory factory = channelFactory_ != nullptr ? channelFactory_ : entry->factory;
  if (factory == nullptr) {
    Log(kLogError, kCatNone, "%s: Channel for model '%s' is not available in this build", kName, model.c_str());
    return false;
  }
  try {
    channel_ = factory(*context_, *context_, config);
  } catch (const std::exception& e) {
    channel_.reset();
    Log(kLogError, kCatNone, "%s: Unable to create the channel for model '%s': %s", kName, model.c_str(), e.what());
    return false;
  }
  if (channel_ == nullptr) {
    Log(kLogError, kCatNone, "%s: Unable to create the channel for model '%s'", kName, model.c_str());
    return false;
  }
  // A channel thread left behind by Stop keeps using what the context holds.
  channel_->KeepAlive(context_);

  if (entry->registration != ProxyRegistration::kNone) {
    CProxyConfigProvider provider(kProxyConfigFile, {}, this);
    const bool intrepid = entry->registration == ProxyRegistration::kIntrepidProxy;
    const ProxySettings& registration = intrepid ? intrepidProxy_ : proxy_;
    const bool registered = intrepid ? provider.AddIntrepidProxy(registration) : provider.AddProxy(registration);
    if (!registered) {
      Log(kLogError, kCatConfiguration, "%s: Unable to register with proxy service '%s' in '%s'", kName,
          registration.service.c_str(), kProxyConfigFile);
      return false;
    }
  }

  device_.address = config.network.address;
  device_.user = config.network.user;
  device_.password = config.network.password;
  return true;
}

// --- parameter readers ---

bool CKestrelDriver::ReadSerialParameters(IDriverSettings& settings, ChannelSettings& config) {
  constexpr const char* kName = "korvane::CKestrelDriver::ReadSerialParameters";
  SerialSettings& serial = config.serial;
  serial.port = IntParameter(settings, 1);
  if (!IsComPort(serial.port)) {
    Log(kLogError, kCatConfiguration, "%s: Invalid COM port number in configuration", kName);
    return false;
  }
  serial.baudRate = IntParameter(settings, 2);
  if (serial.baudRate == 0) {
    Log(kLogError, kCatConfiguration, "%s: Invalid baudrate in configuration", kName);
    return false;
  }
  serial.dataBits = IntParameter(settings, 3);
  if (serial.dataBits == 0) {
    Log(kLogError, kCatConfiguration, "%s: Invalid databits in configuration", kName);
    return false;
  }
  serial.stopBits = IntParameter(settings, 4);
  if (serial.stopBits == 0) {
    Log(kLogError, kCatConfiguration, "%s: Invalid stopbits in configuration", kName);
    return false;
  }

  static constexpr const char* kParities[] = {"no", "odd", "even", "mark", "space"};
  const std::string parity = ToLower(Parameter(settings, 5));
  const auto parityIt = std::find(std::begin(kParities), std::end(kParities), parity);
  if (parityIt == std::end(kParities)) {
    Log(kLogError, kCatConfiguration, "%s: Invalid parity '%s' in configuration", kName, parity.c_str());
    return false;
  }
  serial.parity = static_cast<int32_t>(parityIt - std::begin(kParities));

  const std::string flowControl = ToLower(Parameter(settings, 6));
  if (flowControl == "none") {
    serial.flowControl = 0;
  } else if (flowControl == "xonxoff") {
    serial.flowControl = 1;
  } else {
    Log(kLogError, kCatConfiguration, "%s: Invalid flow control '%s' in configuration", kName, flowControl.c_str());
    return false;
  }
  return ReadCommonParameters(settings, config, 8, 10);
}

bool CKestrelDriver::ReadUDPParameters(IDriverSettings& settings, ChannelSettings& config) {
  config.network.port = IntParameter(settings, 1);
  if (!IsTcpUdpPort(config.network.port)) {
    Log(kLogError, kCatConfiguration, "%s: Invalid UDP port in configuration",
        "korvane::CKestrelDriver::ReadUDPParameters");
    return false;
  }
  return ReadCommonParameters(settings, config, 3, 5);
}

bool CKestrelDriver::ReadTCPParameters(IDriverSettings& settings, ChannelSettings& config) {
  config.network.port = IntParameter(settings, 1);
  if (!IsTcpUdpPort(config.network.port)) {
    Log(kLogError, kCatConfiguration, "%s: Invalid TCP port in configuration",
        "korvane::CKestrelDriver::ReadTCPParameters");
    return false;
  }
  return ReadCommonParameters(settings, config, 3, 5);
}

bool CKestrelDriver::ReadTCPClientParameters(IDriverSettings& settings, ChannelSettings& config) {
  constexpr const char* kName = "korvane::CKestrelDriver::ReadTCPClientParameters";
  config.network.address = Parameter(settings, 1);
  if (config.network.address.empty()) {
    Log(kLogError, kCatConfiguration, "%s: Invalid TCP client address in configuration", kName);
    return false;
  }
  config.network.port = IntParameter(settings, 2);
  if (!IsTcpUdpPort(config.network.port)) {
    Log(kLogError, kCatConfiguration, "%s: Invalid TCP client port in configuration", kName);
    return false;
  }
  return ReadCommonParameters(settings, config, 4, 6);
}

bool CKestrelDriver::ReadHttpParameters(IDriverSettings& settings, ChannelSettings& config) {
  constexpr const char* kName = "korvane::CKestrelDriver::ReadHttpParameters";
  NetworkSettings& network = config.network;
  network.address = Parameter(settings, 1);
  if (network.address.empty()) {
    Log(kLogError, kCatConfiguration, "%s: Invalid HTTP address configuration", kName);
    return false;
  }
  network.port = IntParameter(settings, 2);
  if (!IsTcpUdpPort(network.port)) {
    Log(kLogError, kCatConfiguration, "%s: Invalid HTTP port in configuration", kName);
    return false;
  }
  network.path = Parameter(settings, 9);
  network.user = Parameter(settings, 3);
  network.password = Parameter(settings, 4);
  network.authScheme = Parameter(settings, 5);
  return ReadCommonParameters(settings, config, 7, 10);
}

bool CKestrelDriver::ReadHttpServerParameters(IDriverSettings& settings, ChannelSettings& config) {
  config.network.port = IntParameter(settings, 1);
  if (!IsTcpUdpPort(config.network.port)) {
    Log(kLogError, kCatConfiguration, "%s: Invalid HTTP server port in configuration",
        "korvane::CKestrelDriver::ReadHttpServerParameters");
    return false;
  }
  return ReadCommonParameters(settings, config, 3, 5);
}

bool CKestrelDriver::ReadRtspParameters(IDriverSettings& settings, ChannelSettings& config) {
  constexpr const char* kName = "korvane::CKestrelDriver::ReadRtspParameters";
  NetworkSettings& network = config.network;
  network.address = Parameter(settings, 1);
  if (network.address.empty()) {
    Log(kLogError, kCatConfiguration, "%s: Invalid RTSP address configuration", kName);
    return false;
  }
  network.port = IntParameter(settings, 2);
  if (!IsTcpUdpPort(network.port)) {
    Log(kLogError, kCatConfiguration, "%s: Invalid RTSP port in configuration", kName);
    return false;
  }
  network.path = Parameter(settings, 8);
  network.user = Parameter(settings, 3);
  network.password = Parameter(settings, 4);
  return ReadCommonParameters(settings, config, 6, 9);
}

bool CKestrelDriver::ReadProxyParameters(IDriverSettings& settings, ChannelSettings& config) {
  constexpr const char* kName = "korvane::CKestrelDriver::ReadProxyParameters";
  ProxySettings proxy;
  proxy.service = Parameter(settings, 1);
  if (proxy.service.empty()) {
    Log(kLogError, kCatConfiguration, "%s: Invalid proxy service name in configuration", kName);
    return false;
  }
  proxy.address = Parameter(settings, 2);
  if (proxy.address.empty()) {
    Log(kLogError, kCatConfiguration, "%s: Invalid address in configuration", kName);
    return false;
  }
  proxy.port = IntParameter(settings, 3);
  if ((proxy.port & 0xFFFF) == 0) {
    Log(kLogError, kCatConfiguration, "%s: Invalid port in configuration", kName);
    return false;
  }
  proxy.user = Parameter(settings, 4);
  proxy.password = Parameter(settings, 5);
  proxy.incomingPort = static_cast<uint16_t>(IntParameter(settings, 6) & 0xFFFF);
  if (proxy.incomingPort == 0) {
    Log(kLogError, kCatConfiguration, "%s: Invalid incoming TCP port in configuration", kName);
    return false;
  }
  // The channel listens on the port written to the proxy file, so both use the 16-bit value.
  config.network.port = proxy.incomingPort;
  proxy_ = std::move(proxy);
  return ReadCommonParameters(settings, config, 8, 9);
}

bool CKestrelDriver::ReadIntrepidProxyParameters(IDriverSettings& settings, ChannelSettings& config) {
  constexpr const char* kName = "korvane::CKestrelDriver::ReadIntrepidProxyParameters";
  ProxySettings proxy;
  proxy.service = "IntrepidProxy";
  proxy.address = Parameter(settings, 1);
  if (proxy.address.empty()) {
    Log(kLogError, kCatConfiguration, "%s: Invalid address in configuration", kName);
    return false;
  }
  proxy.port = IntParameter(settings, 2);
  if ((proxy.port & 0xFFFF) == 0) {
    Log(kLogError, kCatConfiguration, "%s: Invalid port in configuration", kName);
    return false;
  }
  proxy.slaveAddress = IntParameter(settings, 3);
  proxy.incomingPort = static_cast<uint16_t>(IntParameter(settings, 4) & 0xFFFF);
  if (proxy.incomingPort == 0) {
    Log(kLogError, kCatConfiguration, "%s: Invalid incoming TCP port in configuration", kName);
    return false;
  }
  config.network.port = proxy.incomingPort;
  intrepidProxy_ = std::move(proxy);
  return ReadCommonParameters(settings, config, 6, 7);
}

bool CKestrelDriver::ReadCommonParameters(IDriverSettings& settings, ChannelSettings& config, int32_t fileIndex,
                                          int32_t secondsIndex) {
  const std::string secondsText = Parameter(settings, secondsIndex);
  int32_t seconds = 0;
  const bool parsed = ParseInt(secondsText, seconds);
  if (!parsed || seconds < 0) {
    // Empty means "no End events"; anything else unusable is worth a line.
    if (!Trim(secondsText).empty()) {
      Log(kLogWarn, kCatConfiguration, "%s: Invalid \"End\" event delay '%s' in configuration, using 0",
          "korvane::CKestrelDriver::ReadCommonParameters", secondsText.c_str());
    }
    seconds = 0;
  }
  config.endEventSeconds = seconds;
  context_->GetEventStorage()->SetEndEventSeconds(seconds);

  const std::string file = Parameter(settings, fileIndex);
  // Without validation the file is optional; with it the file is required
  // (ReadConfigurationFile reports the missing name).
  if (file.empty() && !config.validationRequired) return true;
  return ReadConfigurationFile(config, file);
}

bool CKestrelDriver::ReadConfigurationFile(ChannelSettings& config, const std::string& path) {
  constexpr const char* kName = "korvane::CKestrelDriver::ReadConfigurationFile";
  if (path.empty()) {
    Log(kLogError, kCatConfiguration, "%s: No XML configuration file name in parameters", kName);
    return false;
  }
  configFile_ = path;
  CXMLParser parser;
  if (!parser.LoadFile(path)) {
    // One line that says why, for the operator (the path, then a missing or empty file, the line and
    // column of bad XML, a FIFO or device, a file outside the host directory); callers may match its start.
    Log(kLogError, kCatConfiguration, "%s: Unable to open XML configuration file: %s", kName,
        parser.GetLoadErrorDetail().c_str());
    return false;
  }

  const uint8_t level = ReadLogLevel(parser.GetAttributeW("root/logging/level", "value"));
  const bool fileLogging = parser.GetAttributeW("root/logging/additionalDebug", "value") == "yes";
  context_->ConfigureLogger(level, fileLogging);
  // Misspelt names would otherwise be ignored silently; said once, here, at the file's own logging level.
  CheckConfigurationNames(parser, *this);

  const std::string lineFeed = parser.GetAttributeW("root/channelConfig/linefeed", "value");
  config.lineFeed = ParseConfigString(*this, "linefeed", lineFeed);
  config.lineFeedBytes = ParseConfigList(lineFeed);
  const std::string clearScreen = parser.GetAttributeW("root/channelConfig/clearscreen", "value");
  config.clearScreen = ParseConfigString(*this, "clear screen", clearScreen);
  config.clearScreenBytes = ParseConfigList(clearScreen);
  const std::string acknowledge = parser.GetAttributeW("root/channelConfig/acknowledge", "value");
  config.acknowledge = ParseConfigString(*this, "acknowledge", acknowledge);
  config.acknowledgeBytes = ParseConfigList(acknowledge);
  // Ignoring a line-feed byte would make the framing unreachable.
  config.ignoredBytes =
      ParseConfigList(parser.GetAttributeW("root/channelConfig/ignored", "value"), &config.lineFeedBytes);
  config.keepAliveQuery = parser.GetAttributeW("root/channelConfig/keepAliveQuery", "value");

  int32_t codePage = 0;
  if (ParseInt(parser.GetAttributeW("root/channelConfig/codePage", "value"), codePage) && codePage > 0) {
    config.codePage = static_cast<uint32_t>(codePage);
  } else {
    config.codePage = 65001;
  }
  // A code page no converter knows would turn every message into an empty one.
  if (config.codePage != 65001 && CodePageCharset(config.codePage) == nullptr) {
    Log(kLogError, kCatConfiguration, "%s: Unsupported codePage value '%u' in configuration; text is read as UTF-8",
        kName, config.codePage);
    config.codePage = 65001;
  }

  const std::string udpBuffer = parser.GetAttributeW("root/channelConfig/udpReceiveBuffer", "value");
  if (!udpBuffer.empty()) {
    int32_t bytes = 0;
    if (ParseInt(udpBuffer, bytes) && bytes >= kMinUdpReceiveBuffer && bytes <= kMaxUdpReceiveBuffer) {
      config.udpReceiveBufferBytes = bytes;
    } else {
      Log(kLogError, kCatConfiguration, "%s: Invalid udpReceiveBuffer value '%s' in configuration (%d to %d bytes)",
          kName, udpBuffer.c_str(), kMinUdpReceiveBuffer, kMaxUdpReceiveBuffer);
    }
  }

  legacyMapper_ = parser.GetAttributeW("root/kslXmlMapper", "version") != "2";
  caseSensitive_ = parser.GetAttributeW("root/kslXmlMapper/rules", "case_sensitive") == "yes";

  const std::string processingType = parser.GetAttributeW("root/Additional/HTTPServer", "processingType");
  config.processingType =
      (processingType == "All" || processingType == "Headers" || processingType == "Uri") ? processingType : "Content";

  int32_t timeout = 0;
  if (ParseInt(parser.GetAttributeW("root/Additional/NetworkTimeout", "value"), timeout) && timeout > 0) {
    config.network.timeout = timeout;
  }
  config.serial.devicePath = parser.GetAttributeW("root/Additional/SerialDevice", "value");

  const std::string send = parser.GetAttributeW("root/Additional/HTTPServer/Response", "send");
  if (send == "yes") {
    config.sendResponse = true;
    config.responseText = parser.GetNodeTextW("root/Additional/HTTPServer/Response");
  } else if (send == "no") {
    config.sendResponse = false;
  }
  parser.Close();
  return true;
}

}  // namespace korvane
