#include "driver/core/configuration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "driver/core/configuration_names.h"
#include "driver/support/xml_parser.h"
#include "tests/core/core_test_util.h"
#include "tests/support/fake_host.h"
#include "tests/support/recording_debug.h"
#include "tests/support/watchdog.h"

namespace korvane::testing {
namespace {

using Bytes = std::vector<uint8_t>;
using Parameters = std::map<int32_t, std::string>;

Parameters With(Parameters base, const Parameters& changes) {
  for (const auto& [index, value] : changes) base[index] = value;
  return base;
}

const Parameters kSerial = {{1, "1"}, {2, "9600"}, {3, "8"}, {4, "1"}, {5, "No"}, {6, "None"}, {7, "None"}};
const Parameters kProxy = {{1, "AgentViProxy"}, {2, "10.0.0.5"}, {3, "8080"}, {6, "9000"}, {7, "XSD"}};
const Parameters kIntrepid = {{1, "10.0.0.6"}, {2, "502"}, {3, "3"}, {4, "9001"}, {5, "XSD"}};

TEST(ParseConfigTest, StringFormDecodesHexAndRefusesMalformedValues) {
  RecordingDebug debug;
  EXPECT_EQ(ParseConfigString(debug, "linefeed", "0x0d0a"), "\r\n");
  EXPECT_EQ(ParseConfigString(debug, "linefeed", "0X0D0A"), "\r\n");
  EXPECT_EQ(ParseConfigString(debug, "linefeed", "0x0d1"), "\r\x01");
  EXPECT_EQ(ParseConfigString(debug, "linefeed", "0x00"), std::string(1, '\0'));
  EXPECT_EQ(ParseConfigString(debug, "linefeed", "0x"), "");
  EXPECT_EQ(ParseConfigString(debug, "acknowledge", "Ack"), "Ack");
  EXPECT_TRUE(debug.Lines().empty());

  EXPECT_EQ(ParseConfigString(debug, "linefeed", "0x0d,0x0a"), "");
  EXPECT_EQ(ParseConfigString(debug, "clear screen", "0x1g"), "");  // not hex, even though "1" reads as a number
  EXPECT_EQ(ParseConfigString(debug, "acknowledge", "0x%n"), "");
  const auto lines = debug.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text,
            "korvane::CKestrelDriver::ParseConfigString: Invalid linefeed value '0x0d,0x0a' in configuration!");
  EXPECT_EQ(lines[0].level, kLogError);
  EXPECT_EQ(lines[0].category, kCatConfiguration);
  EXPECT_EQ(lines[1].text,
            "korvane::CKestrelDriver::ParseConfigString: Invalid clear screen value '0x1g' in configuration!");
  EXPECT_EQ(lines[2].text, "korvane::CKestrelDriver::ParseConfigString: Invalid acknowledge value in configuration!");
}

TEST(ParseConfigTest, ListFormJoinsPiecesAndSkipsExcludedBytes) {
  EXPECT_EQ(ParseConfigList("0x0d,0x0a"), (Bytes{13, 10}));
  EXPECT_EQ(ParseConfigList("0X0D0A"), (Bytes{13, 10}));
  EXPECT_EQ(ParseConfigList("AB,,0x1b"), (Bytes{'A', 'B', 0x1b}));  // literal letters keep their case
  EXPECT_EQ(ParseConfigList(""), Bytes{});
  const Bytes lineFeed = {10};
  EXPECT_EQ(ParseConfigList("0x0a,0x00", &lineFeed), Bytes{0});
}

class ConfigurationTest : public HostDirTest {
 protected:
  static std::string Config(const std::string& channelConfig, const std::string& rest = "") {
    return "<?xml version=\"1.0\"?>\n<root><channelConfig>" + channelConfig + "</channelConfig>" + rest + "</root>\n";
  }

  RecordingHost host_;
};

TEST_F(ConfigurationTest, ReadersRefuseBadParametersWithTheirMessage) {
  struct Case {
    const char* model;
    Parameters parameters;
    const char* message;
  };
  const Case cases[] = {
      {"KestrelTcpModel", {{1, "0"}, {2, "None"}}, "ReadTCPParameters: Invalid TCP port in configuration"},
      {"KestrelTcpModel", {{1, ""}, {2, "None"}}, "ReadTCPParameters: Invalid TCP port in configuration"},
      {"KestrelTcpModel", {{1, "abc"}, {2, "None"}}, "ReadTCPParameters: Invalid TCP port in configuration"},
      {"KestrelTcpModel", {{1, "40 00"}, {2, "None"}}, "ReadTCPParameters: Invalid TCP port in configuration"},
      {"KestrelTcpModel", {{1, "70000"}, {2, "None"}}, "ReadTCPParameters: Invalid TCP port in configuration"},
      {"KestrelUdpModel", {{1, "x"}}, "ReadUDPParameters: Invalid UDP port in configuration"},
      {"KestrelHttpServerModel", {{1, "-1"}}, "ReadHttpServerParameters: Invalid HTTP server port in configuration"},
      {"KestrelTcpClientModel", {{2, "4000"}}, "ReadTCPClientParameters: Invalid TCP client address in configuration"},
      {"KestrelTcpClientModel", {{1, "dev"}, {2, "0"}}, "ReadTCPClientParameters: Invalid TCP client port"},
      {"KestrelHttpModel", {{2, "80"}}, "ReadHttpParameters: Invalid HTTP address configuration"},
      {"KestrelRtspModel", {{1, "cam"}, {2, "x"}}, "ReadRtspParameters: Invalid RTSP port in configuration"},
      {"KestrelSerialModel", With(kSerial, {{1, "0"}}), "ReadSerialParameters: Invalid COM port number"},
      {"KestrelSerialModel", With(kSerial, {{1, "256"}}), "ReadSerialParameters: Invalid COM port number"},
      {"KestrelSerialModel", With(kSerial, {{1, "-3"}}), "ReadSerialParameters: Invalid COM port number"},
      {"KestrelSerialModel", With(kSerial, {{4, "0"}}), "ReadSerialParameters: Invalid stopbits in configuration"},
      {"KestrelSerialModel", With(kSerial, {{5, "None"}}), "Invalid parity 'none' in configuration"},
      {"KestrelSerialModel", With(kSerial, {{6, "RTS"}}), "Invalid flow control 'rts' in configuration"},
      {"KestrelProxyModel", With(kProxy, {{1, ""}}), "ReadProxyParameters: Invalid proxy service name"},
      {"KestrelProxyModel", With(kProxy, {{3, "65536"}}), "ReadProxyParameters: Invalid port in configuration"},
      {"KestrelProxyModel", With(kProxy, {{6, "131072"}}), "ReadProxyParameters: Invalid incoming TCP port"},
      {"KestrelIntrepidProxyModel", With(kIntrepid, {{2, "0x10"}}), "ReadIntrepidProxyParameters: Invalid port"},
      {"KestrelIntrepidProxyModel", With(kIntrepid, {{4, ""}}), "ReadIntrepidProxyParameters: Invalid incoming"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " / " + c.message);
    CKestrelDriver driver;
    host_.Clear();
    FakeSettings settings(c.model, c.parameters);
    EXPECT_FALSE(driver.Open(&host_, &settings));
    EXPECT_EQ(host_.LogCount("<Configuration> korvane::CKestrelDriver::Read"), 1u);
    EXPECT_EQ(host_.LogCount(c.message), 1u);
    EXPECT_EQ(host_.LogCount("Unable to open model/device: '" + std::string(c.model) + "'"), 1u);
  }
}

TEST_F(ConfigurationTest, ReadersFillChannelAndProxySettings) {
  CKestrelDriver driver;
  ChannelSettings config;
  FakeSettings serial("KestrelSerialModel", With(kSerial, {{5, "Mark"}, {6, "XonXoff"}, {10, "15"}}));
  ASSERT_TRUE(driver.ReadSerialParameters(serial, config));
  EXPECT_EQ(config.serial.parity, 3);
  EXPECT_EQ(config.serial.flowControl, 1);
  EXPECT_EQ(config.serial.baudRate, 9600);
  EXPECT_EQ(config.endEventSeconds, 15);
  EXPECT_EQ(driver.GetEventStorage()->GetEndEventSeconds(), 15);

  // Only the low 16 bits of proxy ports count; the channel listens where the proxy file says.
  config = ChannelSettings{};
  FakeSettings proxy("KestrelProxyModel", With(kProxy, {{3, "65537"}, {6, "65537"}, {4, "op"}, {9, "soon"}}));
  ASSERT_TRUE(driver.ReadProxyParameters(proxy, config));
  EXPECT_EQ(driver.GetProxySettings().service, "AgentViProxy");
  EXPECT_EQ(driver.GetProxySettings().port, 65537);
  EXPECT_EQ(driver.GetProxySettings().incomingPort, 1);
  EXPECT_EQ(driver.GetProxySettings().user, "op");
  EXPECT_EQ(config.network.port, 1);
  EXPECT_EQ(config.endEventSeconds, 0);

  config = ChannelSettings{};
  FakeSettings intrepid("KestrelIntrepidProxyModel", kIntrepid);
  ASSERT_TRUE(driver.ReadIntrepidProxyParameters(intrepid, config));
  EXPECT_EQ(driver.GetIntrepidProxySettings().service, "IntrepidProxy");
  EXPECT_EQ(driver.GetIntrepidProxySettings().slaveAddress, 3);
  EXPECT_EQ(config.network.port, 9001);
}

// Every model reads the validation type, plug-in, configuration file and End
// delay from its own parameter numbers, and takes the highest port there is.
TEST_F(ConfigurationTest, EveryModelReadsItsOwnParameterNumbers) {
  WriteFile("m.xml", Config(R"(<linefeed value="0x7c"/>)", R"(<logging><level value="1"/></logging>)"));
  WriteFile("KSLProxyConfig.xml", "<root><ProxyConfiguration/></root>");
  struct Case {
    const char* model;
    Parameters transport;
    int32_t validation, custom, file, seconds;
  };
  const std::string top = "65535";
  const Case cases[] = {
      {"KestrelSerialModel", kSerial, 7, 9, 8, 10},
      {"KestrelUdpModel", {{1, top}}, 2, 4, 3, 5},
      {"KestrelTcpModel", {{1, top}}, 2, 4, 3, 5},
      {"KestrelTcpClientModel", {{1, "dev"}, {2, top}}, 3, 5, 4, 6},
      {"KestrelHttpModel", {{1, "dev"}, {2, top}}, 6, 8, 7, 10},
      {"KestrelHttpServerModel", {{1, top}}, 2, 4, 3, 5},
      {"KestrelRtspModel", {{1, "dev"}, {2, top}}, 5, 7, 6, 9},
      {"KestrelProxyModel", With(kProxy, {{6, top}}), 7, 0, 8, 9},
      {"KestrelIntrepidProxyModel", With(kIntrepid, {{4, top}}), 5, 0, 6, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    Parameters parameters = c.transport;
    parameters[c.validation] = "Custom";
    if (c.custom != 0) parameters[c.custom] = "NoSuchPlugin.so";
    parameters[c.file] = "m.xml";
    parameters[c.seconds] = "7";
    CKestrelDriver driver;
    driver.SetChannelFactory(&FakeChannel::Make);
    FakeChannel::lastSettings = ChannelSettings{};
    host_.Clear();
    FakeSettings settings(c.model, parameters);
    EXPECT_FALSE(driver.Open(&host_, &settings)) << "the plug-in does not exist";
    EXPECT_EQ(FakeChannel::lastSettings.lineFeed, "|");
    EXPECT_EQ(FakeChannel::lastSettings.endEventSeconds, 7);
    if (c.model != std::string("KestrelSerialModel")) {
      EXPECT_EQ(FakeChannel::lastSettings.network.port, 65535);
    }
    EXPECT_EQ(driver.GetValidationType(), kValidationCustom);
    if (c.custom != 0) {
      EXPECT_EQ(host_.LogCount("NoSuchPlugin.so"), 1u);
    }
  }
}

TEST_F(ConfigurationTest, FileSectionsFillSettingsAndFallBackToDefaults) {
  CKestrelDriver driver;
  WriteFile("a.xml", Config(R"(<linefeed value="0X0D0A"/><clearscreen value="0x0c"/><acknowledge value="ACK"/>)"));
  ChannelSettings a;
  ASSERT_TRUE(driver.ReadConfigurationFile(a, "a.xml"));
  EXPECT_EQ(driver.GetConfigFile(), "a.xml");
  EXPECT_EQ(a.lineFeed, "\r\n");
  EXPECT_EQ(a.lineFeedBytes, (Bytes{13, 10}));
  EXPECT_EQ(a.clearScreenBytes, Bytes{12});
  EXPECT_EQ(a.acknowledge, "ACK");
  EXPECT_EQ(a.acknowledgeBytes, (Bytes{'A', 'C', 'K'}));
  EXPECT_EQ(a.codePage, 65001u);
  EXPECT_EQ(a.processingType, "Content");
  EXPECT_EQ(a.network.timeout, 10000);
  EXPECT_TRUE(a.sendResponse);
  EXPECT_TRUE(driver.UsesLegacyMapper());

  WriteFile("b.xml", Config(R"(<linefeed value="0x0d,0x0a"/><codePage value="0"/>)",
                            R"(<kslXmlMapper version="2"><rules case_sensitive="yes"/></kslXmlMapper>)"
                            R"(<Additional><NetworkTimeout value="2500"/><SerialDevice value="/dev/ttyUSB%d"/>)"
                            R"(<HTTPServer processingType="all"><Response send="no">OK</Response></HTTPServer>)"
                            R"(</Additional>)"));
  ChannelSettings b;
  ASSERT_TRUE(driver.ReadConfigurationFile(b, "b.xml"));
  EXPECT_EQ(b.lineFeed, "");
  EXPECT_EQ(b.lineFeedBytes, (Bytes{13, 10}));
  EXPECT_EQ(b.codePage, 65001u);
  EXPECT_EQ(b.network.timeout, 2500);
  EXPECT_EQ(b.serial.devicePath, "/dev/ttyUSB%d");
  EXPECT_EQ(b.processingType, "Content");
  EXPECT_FALSE(b.sendResponse);
  EXPECT_FALSE(driver.UsesLegacyMapper());
  bool caseSensitive = false;
  driver.IsCaseSensitive(&caseSensitive);
  EXPECT_TRUE(caseSensitive);

  // Flags come from the file read last, not from an earlier one.
  WriteFile("c.xml", Config(R"(<linefeed value="0x0a"/><ignored value="0x0a,0x00"/>)"
                            R"(<keepAliveQuery value="PING"/><codePage value="1252"/>)",
                            R"(<kslXmlMapper version="1"><rules case_sensitive="YES"/></kslXmlMapper>)"
                            R"(<Additional><NetworkTimeout value="abc"/>)"
                            R"(<HTTPServer processingType="Headers"><Response send="yes">HTTP OK</Response>)"
                            R"(</HTTPServer></Additional>)"));
  ChannelSettings c;
  ASSERT_TRUE(driver.ReadConfigurationFile(c, "c.xml"));
  EXPECT_EQ(c.ignoredBytes, Bytes{0});
  EXPECT_EQ(c.keepAliveQuery, "PING");
  EXPECT_EQ(c.codePage, 1252u);
  EXPECT_EQ(c.network.timeout, 10000);
  EXPECT_EQ(c.processingType, "Headers");
  EXPECT_TRUE(c.sendResponse);
  EXPECT_EQ(c.responseText, "HTTP OK");
  EXPECT_TRUE(driver.UsesLegacyMapper());
  driver.IsCaseSensitive(&caseSensitive);
  EXPECT_FALSE(caseSensitive);
}

TEST_F(ConfigurationTest, UdpReceiveBufferIsReadAndAnUnusableValueIsRefusedWithALine) {
  FakeSettings settings("KestrelUdpModel", {{1, "5000"}, {2, "Text"}, {3, "udp.xml"}});
  CKestrelDriver driver;
  driver.SetChannelFactory(&FakeChannel::Make);
  WriteFile("udp.xml", Config(R"(<linefeed value="0x0a"/><udpReceiveBuffer value="16777216"/>)"));
  driver.Open(&host_, &settings);  // fails later for want of rules; the channel is built first
  EXPECT_EQ(FakeChannel::lastSettings.udpReceiveBufferBytes, 16777216);
  driver.Close();

  // A code page no converter knows is said and read as UTF-8, not turned into empty messages.
  WriteFile("udp.xml", Config(R"(<linefeed value="0x0a"/><udpReceiveBuffer value="64k"/><codePage value="4242"/>)",
                              R"(<logging><level value="1"/></logging>)"));
  driver.Open(&host_, &settings);
  EXPECT_EQ(FakeChannel::lastSettings.udpReceiveBufferBytes, ChannelSettings{}.udpReceiveBufferBytes);
  EXPECT_EQ(host_.LogCount("korvane::CKestrelDriver::ReadConfigurationFile: Invalid udpReceiveBuffer value '64k'"), 1u);
  EXPECT_EQ(FakeChannel::lastSettings.codePage, 65001u);
  EXPECT_EQ(host_.LogCount("Unsupported codePage value '4242' in configuration"), 1u);
}

TEST_F(ConfigurationTest, ProxyModelRegistersItsPortUntilClose) {
  const std::string empty = "<root><ProxyConfiguration/></root>";
  WriteFile("KSLProxyConfig.xml", empty);
  WriteFile("proxy.xml", Config(R"(<linefeed value="0x0a"/>)", R"(<logging><level value="3"/></logging>)"));
  CKestrelDriver driver;
  driver.SetChannelFactory(&FakeChannel::Make);
  FakeSettings settings("KestrelProxyModel", With(kProxy, {{8, "proxy.xml"}}));
  // OpenModel alone: the validator that Open builds next would need mapping rules.
  std::string validation;
  std::string customValidator;
  ASSERT_TRUE(driver.OpenModel("KestrelProxyModel", &settings, validation, customValidator));
  EXPECT_EQ(validation, "XSD");
  EXPECT_EQ(FakeChannel::lastSettings.network.port, 9000);
  const auto fileText = [&] {
    std::ifstream in(Dir() / "KSLProxyConfig.xml");
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_NE(fileText().find(R"(<AgentViProxy address="10.0.0.5" port="8080")"), std::string::npos) << fileText();
  EXPECT_NE(fileText().find(R"(<Destination port="9000"/>)"), std::string::npos) << fileText();
  driver.Close();
  EXPECT_EQ(fileText().find("AgentViProxy"), std::string::npos) << fileText();

  // Without the proxy file the model cannot register, so it does not open.
  std::filesystem::remove(Dir() / "KSLProxyConfig.xml");
  EXPECT_FALSE(driver.Open(&host_, &settings));
  EXPECT_EQ(host_.LogCount("OpenModel: Unable to register with proxy service 'AgentViProxy'"), 1u);
  EXPECT_EQ(FakeChannel::alive, 0);
}

// One line per refusal: the fixed text callers match, the file, and what is wrong with it where.
TEST_F(ConfigurationTest, MissingEmptyMalformedOrNonRegularFileRefusesTheOpenWithOneLocatingLine) {
  WriteFile("empty.xml", " \n");
  WriteFile("bad.xml", "<root>\n  <logging>\n    <level value=\"1\"/>\n  </loging>\n</root>\n");
  // Opening a FIFO without a writer would block Open for good; the watchdog turns that into a failure.
  ASSERT_EQ(mkfifo((Dir() / "pipe.xml").c_str(), 0600), 0);
  Watchdog watchdog(std::chrono::seconds(5), "opening with a FIFO as configuration file");
  const std::pair<const char*, const char*> cases[] = {
      {"missing.xml", "file not found"},
      {"empty.xml", "file is empty"},
      {"bad.xml", "line 4, column 12: Opening and ending tag mismatch: logging line 2 and loging"},
      {"pipe.xml", "not a regular file"}};
  for (const auto& [file, reason] : cases) {
    SCOPED_TRACE(file);
    CKestrelDriver driver;
    host_.Clear();
    FakeSettings settings("KestrelTcpModel", {{1, "4000"}, {2, "Text"}, {3, file}});
    EXPECT_FALSE(driver.Open(&host_, &settings));
    EXPECT_EQ(host_.LogCount("korvane::CKestrelDriver::ReadConfigurationFile: Unable to open XML configuration file: " +
                             (Dir() / file).string() + ": " + reason),
              1u);
    EXPECT_EQ(host_.LogCount("ReadConfigurationFile:"), 1u);
  }
}

// Names the driver does not read are said at open with their line; the file still opens.
TEST_F(ConfigurationTest, UnknownElementsAttributesAndValuesAreLoggedWithTheirLine) {
  WriteFile("typos.xml", R"xml(<root>
  <logging><level value="1"/></logging>
  <channelConfig><linefed value="0x0d0a"/></channelConfig>
  <kslXmlMapper version="2">
    <messageType parsing="regex"><message number="1" value="M"><param number="1" value="(.*)"/></message></messageType>
    <rules>
      <message number="1" value="M">
        <param reference="1" value="x">
          <action type="evnt" value="X"/>
          <acton type="event" value="Y"/>
          <searchtag value="Card" refrence="1"/>
          <action type="metadata"><payload anything="goes"><deep/></payload></action>
        </param>
      </message>
    </rules>
  </kslXmlMapper>
</root>)xml");
  CKestrelDriver driver;
  driver.SetChannelFactory(&FakeChannel::Make);
  FakeSettings settings("KestrelTcpModel", {{1, "4000"}, {2, "None"}, {3, "typos.xml"}});
  ASSERT_TRUE(driver.Open(&host_, &settings));
  const std::string prefix = "<Configuration> korvane::CKestrelDriver::ReadConfigurationFile: ";
  EXPECT_EQ(host_.LogCount(prefix + "Unknown element <linefed> in <channelConfig> at line 3; it is ignored"), 1u);
  EXPECT_EQ(
      host_.LogCount(prefix + "Unknown value 'evnt' of attribute 'type' of <action> at line 9 (mapper version 2); "
                              "known values: event, metadata, text, data"),
      1u);
  EXPECT_EQ(host_.LogCount(prefix + "Unknown element <acton> in <param> at line 10 (mapper version 2); it is ignored"),
            1u);
  EXPECT_EQ(host_.LogCount(prefix +
                           "Unknown attribute 'refrence' of <searchtag> at line 11 (mapper version 2); it is ignored"),
            1u);
  // Nothing else: the metadata payload is not looked into.
  EXPECT_EQ(host_.LogCount("Unknown"), 4u);
}

// Each rule format is checked against its own names: what one reads, the other may not.
TEST_F(ConfigurationTest, MapperSectionIsCheckedAgainstTheFormatTheFileDeclares) {
  const auto rules = [](const std::string& version) {
    return R"(<root><logging><level value="1"/></logging><kslXmlMapper version=")" + version + R"(">
<rules unmatchedText="yes"><message number="1" value="M"><param number="1" reference="1" value="x">
<action number="1" type="event" value="X"/><searchtag value="T"/></param></message></rules></kslXmlMapper></root>)";
  };
  WriteFile("v2.xml", rules("2"));
  WriteFile("legacy.xml", rules("1.0"));
  for (const char* file : {"v2.xml", "legacy.xml"}) {
    CKestrelDriver driver;
    driver.SetChannelFactory(&FakeChannel::Make);
    FakeSettings settings("KestrelTcpModel", {{1, "4000"}, {2, "None"}, {3, file}});
    ASSERT_TRUE(driver.Open(&host_, &settings));
  }
  // Version 2 rules are not numbered; the legacy rules know no unmatched text.
  EXPECT_EQ(host_.LogCount("Unknown attribute 'number' of <param> at line 2 (mapper version 2)"), 1u);
  EXPECT_EQ(host_.LogCount("Unknown attribute 'number' of <action> at line 3 (mapper version 2)"), 1u);
  EXPECT_EQ(host_.LogCount("Unknown attribute 'unmatchedText' of <rules> at line 2 (legacy mapper rules)"), 1u);
  EXPECT_EQ(host_.LogCount("Unknown"), 3u);
}

// The commented examples use only names the driver reads, and follow the shipped schema made from
// the same table: neither misses anything they rely on.
TEST_F(ConfigurationTest, ExampleConfigurationsUseOnlyKnownNamesAndFollowTheSchema) {
  const std::filesystem::path examples = std::filesystem::path(KESTREL_SOURCE_DIR) / "examples";
  if (!std::filesystem::is_directory(examples)) GTEST_SKIP() << "examples/ not found";
  // Schemas, like configuration files, are read from the host directory.
  std::filesystem::copy_file(KESTREL_SOURCE_DIR "/schema/kestrel-configuration.xsd", Dir() / "configuration.xsd");
  const auto schema = CXMLParser::LoadSchema("configuration.xsd");
  ASSERT_TRUE(schema != nullptr && schema->IsCompiled()) << (schema ? schema->Error() : "");
  size_t checked = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(examples)) {
    if (entry.path().extension() != ".xml") continue;
    std::ifstream in(entry.path());
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    if (text.find("<kslXmlMapper") == std::string::npos) continue;  // plug-in settings, device samples
    SCOPED_TRACE(entry.path().string());
    WriteFile("example.xml", text);
    CXMLParser parser;
    ASSERT_TRUE(parser.LoadFile("example.xml"));
    RecordingDebug debug;
    CheckConfigurationNames(parser, debug);
    for (const LogLine& line : debug.Lines()) ADD_FAILURE() << line.text;
    std::string error;
    EXPECT_FALSE(CXMLParser::XSDValidateW(text, schema.get(), error).empty()) << error;
    ++checked;
  }
  EXPECT_GE(checked, 8u);
}

TEST_F(ConfigurationTest, LoggingSectionConfiguresHostForwardingAndDebugFile) {
  WriteFile("log1.xml", R"(<root><logging><level value="1"/><additionalDebug value="yes"/></logging></root>)");
  WriteFile("log0.xml", R"(<root><logging><level value="0"/></logging></root>)");
  CKestrelDriver driver;
  driver.SetChannelFactory(&FakeChannel::Make);

  FakeSettings settings("KestrelTcpModel", {{1, "4000"}, {2, "None"}, {3, "log1.xml"}});
  ASSERT_TRUE(driver.Open(&host_, &settings));
  driver.Log(kLogInfo, kCatNone, "%s", "routine line");
  driver.Log(kLogError, kCatChannel, "%s", "broken line");
  EXPECT_EQ(host_.LogCount("routine line"), 0u);
  EXPECT_EQ(host_.LogCount("<Channel> broken line"), 1u);
  std::ifstream file(Dir() / "Debug_KSL_Log.txt");
  std::stringstream content;
  content << file.rdbuf();
  EXPECT_NE(content.str().find("broken line"), std::string::npos);

  driver.Close();
  host_.Clear();
  settings.Set(3, "log0.xml");
  ASSERT_TRUE(driver.Open(&host_, &settings));
  driver.Log(kLogError, kCatNone, "%s", "silenced line");
  EXPECT_EQ(host_.LogCount("silenced line"), 0u);
}

}  // namespace
}  // namespace korvane::testing
