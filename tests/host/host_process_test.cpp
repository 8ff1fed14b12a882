// kestrel-host run as a child process against the built driver library.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/host/child_process.h"
#include "tests/support/program_peers.h"
#include "tests/support/socket_peers.h"

namespace korvane::testing {
namespace {

using std::chrono::milliseconds;

bool Contains(const std::string& text, const std::string& fragment) { return text.find(fragment) != std::string::npos; }

uint16_t FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

// Connects to the model's TCP port once it listens (it may start just after
// "started" is printed); -1 when it never does.
int ConnectWhenListening(HostProcess& host, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    host.ReadUntil([](const std::string&) { return false; }, milliseconds(20));
  }
  return -1;
}

size_t CountLines(const std::vector<std::string>& lines, const std::string& a, const std::string& b) {
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(),
                                           [&](const std::string& l) { return Contains(l, a) && Contains(l, b); }));
}

// Each test gets an empty host directory, so nothing the driver writes lands in the build tree.
class HostProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestrel-host-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(home_, ec);
  }

  std::vector<std::string> WithHome(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--home", home_});
    return args;
  }

  std::string home_;
};

TEST_F(HostProcessTest, ModelsListsTheNineModelsInRegistryOrder) {
  HostProcess host({"models"});
  ASSERT_TRUE(host.Started());
  EXPECT_EQ(host.Finish(), 0) << host.Err();
  EXPECT_EQ(host.Out(),
            "KestrelRtspModel\nKestrelHttpModel\nKestrelHttpServerModel\nKestrelSerialModel\nKestrelUdpModel\n"
            "KestrelTcpModel\nKestrelTcpClientModel\nKestrelProxyModel\nKestrelIntrepidProxyModel\n");
}

TEST_F(HostProcessTest, ParamsListsTheTcpModelInAnyLetterCase) {
  HostProcess host(WithHome({"params", "kestreltcpmodel"}));
  EXPECT_EQ(host.Finish(), 0) << host.Err();
  const std::vector<std::string> expected = {
      R"({"number":1,"label":"TCP Port number","type":0,"flag":1,"default":"40000","choices":[]})",
      R"({"number":2,"label":"Validation","type":5,"flag":1,"default":"XSD","choices":["XSD","Text","Custom","None"]})",
      R"({"number":3,"label":"Configuration file","type":1,"flag":1,"default":"","choices":[]})",
      R"({"number":4,"label":"Custom validator","type":1,"flag":1,"default":"","choices":[]})",
      R"({"number":5,"label":"Send the \"End\" event after N seconds","type":0,"flag":1,"default":"0","choices":[]})",
  };
  EXPECT_EQ(host.OutLines(), expected);
}

TEST_F(HostProcessTest, ParamsListsEveryChoiceOfTheSerialParity) {
  HostProcess host(WithHome({"params", "KestrelSerialModel"}));
  EXPECT_EQ(host.Finish(), 0) << host.Err();
  const std::vector<std::string> lines = host.OutLines();
  ASSERT_EQ(lines.size(), 10u) << host.Out();
  EXPECT_EQ(
      lines[4],
      R"({"number":5,"label":"Parity","type":5,"flag":1,"default":"No","choices":["No","Odd","Even","Mark","Space"]})");
  // Number parameters carry no choices.
  EXPECT_EQ(lines[1], R"({"number":2,"label":"Baudrate","type":0,"flag":1,"default":"9600","choices":[]})");
}

TEST_F(HostProcessTest, ParamsOfAnUnknownModelFailsWithStatusOne) {
  HostProcess host(WithHome({"params", "KestrelTeleportModel"}));
  EXPECT_EQ(host.Finish(), 1);
  EXPECT_EQ(host.Out(), "");
  EXPECT_TRUE(Contains(host.Err(), "unknown model 'KestrelTeleportModel'")) << host.Err();
}

TEST_F(HostProcessTest, RunOfModelNonePrintsTheDriverLogThenFailedOpen) {
  HostProcess host(WithHome({"run", "None", "--seconds", "5"}));
  EXPECT_EQ(host.Finish(), 2) << host.Err();
  const std::vector<std::string> lines = host.OutLines();
  ASSERT_GE(lines.size(), 3u) << host.Out();
  EXPECT_EQ(lines.back(), R"({"type":"opened","ok":false})");
  EXPECT_TRUE(Contains(lines[0], R"("type":"log")")) << lines[0];
  EXPECT_TRUE(Contains(host.Out(), "Unknown model/device: 'None'")) << host.Out();
  EXPECT_TRUE(Contains(host.Out(), "Unable to open model/device: 'None'")) << host.Out();
  EXPECT_FALSE(Contains(host.Out(), "started"));
}

TEST_F(HostProcessTest, RunWithAnUnusablePortFailsCleanly) {
  HostProcess host(WithHome({"run", "KestrelTcpModel", "-p", "2=None", "-p", "1=abc", "--seconds", "1"}));
  EXPECT_EQ(host.Finish(milliseconds(3000)), 2) << host.Err();
  EXPECT_TRUE(Contains(host.Out(), "Invalid TCP port in configuration")) << host.Out();
  EXPECT_EQ(host.OutLines().back(), R"({"type":"opened","ok":false})");
  EXPECT_FALSE(Contains(host.Out(), "closed"));
}

TEST_F(HostProcessTest, RunPrintsReceivedDataAndStopsOnSigterm) {
  const uint16_t port = FreeLoopbackPort();
  ASSERT_NE(port, 0);
  HostProcess host(WithHome({"run", "KestrelTcpModel", "-p", "1=" + std::to_string(port), "-p", "2=None"}));
  ASSERT_TRUE(host.WaitForOutput(R"({"type":"started","ok":true})")) << host.Out() << host.Err();
  EXPECT_TRUE(Contains(host.Out(), R"({"type":"opened","ok":true,"events":[],"searchTags":[]})")) << host.Out();

  // A device connects and sends one line; the host prints it with its reception time.
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int fd = -1;
  // The channel may start listening just after StartChannel returns.
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      fd = -1;
      host.ReadUntil([](const std::string&) { return false; }, milliseconds(20));
    }
  }
  ASSERT_GE(fd, 0);
  const std::string line = "total <12.50>\r\n";
  ASSERT_EQ(send(fd, line.data(), line.size(), MSG_NOSIGNAL), static_cast<ssize_t>(line.size()));
  EXPECT_TRUE(host.WaitForOutput(R"("type":"data")")) << host.Out();
  close(fd);

  host.Signal(SIGTERM);
  EXPECT_EQ(host.Finish(), 0) << host.Err();
  const std::vector<std::string> lines = host.OutLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), R"({"type":"closed"})");
  std::string data;
  for (const std::string& l : lines) {
    if (Contains(l, R"("type":"data")")) data += l;
  }
  EXPECT_TRUE(Contains(data, R"("source":"TCP Channel")")) << data;
  EXPECT_TRUE(Contains(data, "total &lt;12.50&gt;")) << data;
  EXPECT_TRUE(Contains(data, R"("encoding":"utf-8","time":"20)")) << data;
}

// "run" opens with the metadata face unless told otherwise, and lists the
// registered event and search-tag names when the open succeeds.
TEST_F(HostProcessTest, RunListsNamesAndPrintsMetadataByDefault) {
  std::ofstream(home_ + "/m.xml") << R"xml(<root><validation><regex value=".*"/></validation>
    <kslXmlMapper version="2"><messageType parsing="regex"><message number="1" value="Line">
      <param number="1" value="([a-z]+)" group="1"/></message></messageType>
    <rules><message number="1" value="Line"><param reference="1" value="abc">
      <action type="event" value="Seen"/><action type="metadata" metadatatype="other" value="meta"/>
      <searchtag type="1" value="Zone"/></param></message></rules></kslXmlMapper></root>)xml";
  const uint16_t port = FreeLoopbackPort();
  HostProcess host(WithHome({"run", "KestrelTcpModel", "-p", "1=" + std::to_string(port), "-p", "2=Text", "-p",
                             "3=m.xml", "--seconds", "5"}));
  ASSERT_TRUE(host.WaitForOutput(R"({"type":"started","ok":true})")) << host.Out() << host.Err();
  EXPECT_TRUE(
      Contains(host.Out(), R"({"type":"opened","ok":true,"events":["Seen"],"searchTags":[{"id":1,"name":"Zone"}]})"))
      << host.Out();
  const int fd = ConnectWhenListening(host, port);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(send(fd, "abc", 3, MSG_NOSIGNAL), 3);
  EXPECT_TRUE(host.WaitForOutput(R"("type":"metadata")")) << host.Out();
  close(fd);
  host.Signal(SIGTERM);
  EXPECT_EQ(host.Finish(), 0) << host.Err();
  EXPECT_EQ(CountLines(host.OutLines(), R"("type":"event")", R"("text":"Seen")"), 1u) << host.Out();
}

// check lists the registered names, explains what becomes of each sample
// message, and a configuration that does not load fails with status 2 and
// the driver's reason.
TEST_F(HostProcessTest, CheckReportsNamesProblemsAndSampleMessages) {
  std::ofstream(home_ + "/m.xml") << R"xml(<root><channelConfig><linefeed value="0x0a"/></channelConfig>
    <validation><regex value="[a-z0-9]*"/></validation>
    <kslXmlMapper version="2"><messageType parsing="regex"><message number="1" value="Line">
      <param number="1" value="([a-z]+)" group="1"/></message></messageType>
    <rules><message number="1" value="Line"><param reference="1" value="abc">
      <action type="event" value="Seen"/><searchtag type="1" value="Zone"/></param></message></rules>
    </kslXmlMapper></root>)xml";
  const uint16_t port = FreeLoopbackPort();
  const std::string portParameter = "1=" + std::to_string(port);
  HostProcess good(WithHome({"check", "KestrelTcpModel", "-p", portParameter, "-p", "2=Text", "-p", "3=m.xml"}));
  EXPECT_EQ(good.Finish(), 0) << good.Out() << good.Err();
  EXPECT_TRUE(Contains(good.Out(), "KestrelTcpModel: opens\n")) << good.Out();
  EXPECT_TRUE(Contains(good.Out(), R"(events (1): "Seen")")) << good.Out();
  EXPECT_TRUE(Contains(good.Out(), R"(search tags (1): "Zone" (type 1))")) << good.Out();
  EXPECT_TRUE(Contains(good.Out(), "\nschema: the file follows ")) << good.Out();

  std::ofstream(home_ + "/sample.txt") << "abc\nxyz\n123\nno way\n";
  HostProcess sample(WithHome({"check", "KestrelTcpModel", "-p", portParameter, "-p", "2=Text", "-p", "3=m.xml",
                               "--sample", home_ + "/sample.txt"}));
  EXPECT_EQ(sample.Finish(), 0) << sample.Out() << sample.Err();
  const std::string expected = R"(message 1: "abc"
    accepted by the validation expression
    message 1 "Line" parameter 1 = "abc"
    rule 1 of message 1 (line 5) fired
  => )";
  EXPECT_TRUE(Contains(sample.Out(), expected)) << sample.Out();
  EXPECT_EQ(CountLines(sample.OutLines(), "  => ", "event     Seen                  [Zone=Seen] Seen"), 1u)
      << sample.Out();
  EXPECT_TRUE(Contains(sample.Out(), R"(message 1 "Line" parameter 1 = "xyz"
    no rule of message 1 matched
  => nothing reaches the host
message 3: "123"
    accepted by the validation expression
    message 1 parameter 1 not found: list ended
    no rule of message 1 matched
  => nothing reaches the host
message 4: "no way"
    refused by the validation expression
  => nothing reaches the host
)")) << sample.Out();

  // A misspelt element and an unknown word: the schema names both lines.
  std::ofstream(home_ + "/typo.xml") << R"xml(<root><validation><regex value=".*"/></validation>
    <kslXmlMapper version="2"><rules><message number="1" value="Line"><param reference="1" value="abc">
      <action type="evnt" value="Seen"/>
      <acton type="event" value="Seen"/></param></message></rules></kslXmlMapper></root>)xml";
  HostProcess typo(WithHome({"check", "KestrelTcpModel", "-p", portParameter, "-p", "2=Text", "-p", "3=typo.xml"}));
  typo.Finish();
  EXPECT_TRUE(Contains(typo.Out(), "\nschema: 2 departure(s) from ")) << typo.Out();
  EXPECT_TRUE(Contains(typo.Out(), "\n  line 3: Element 'action', attribute 'type': ")) << typo.Out();
  EXPECT_TRUE(Contains(typo.Out(), "\n  line 4: Element 'acton': This element is not expected.")) << typo.Out();

  HostProcess bad(WithHome({"check", "KestrelTcpModel", "-p", portParameter, "-p", "2=Text", "-p", "3=none.xml"}));
  EXPECT_EQ(bad.Finish(), 2) << bad.Out() << bad.Err();
  EXPECT_TRUE(Contains(bad.Out(), "KestrelTcpModel: does NOT open")) << bad.Out();
  EXPECT_TRUE(Contains(bad.Out(), "  error: ")) << bad.Out();
}

// A plug-in unloaded when the driver closes must not leave the XML library
// calling into it: check then reads the configuration schema with the library.
TEST_F(HostProcessTest, CheckWithAPluginStillReadsTheSchema) {
  HostProcess check({"check", "KestrelTcpModel", "-p", "2=Custom", "-p", "3=examples/contact-id-tcp/contact-id.xml",
                     "-p", "4=Heron"});
  EXPECT_EQ(check.Finish(), 0) << check.Out() << check.Err();
  EXPECT_TRUE(Contains(check.Out(), "\nschema: the file follows ")) << check.Out();
}

// replay plays the driver's own packet dump (one datagram per record) and a
// raw capture through a pseudo-terminal, and delivers every block.
TEST_F(HostProcessTest, ReplayDeliversPacketDumpsAndRawCaptures) {
  const std::vector<std::string> records = {"door 1 open", "door 2 closed", "zone 3 alarm"};
  std::string dump;
  for (const std::string& record : records) {
    const auto size = static_cast<uint32_t>(record.size());
    for (int shift = 0; shift < 32; shift += 8) dump += static_cast<char>((size >> shift) & 0xFF);
    dump += record;
  }
  std::ofstream(home_ + "/Debug_KSL_Packets.bin", std::ios::binary) << dump;
  HostProcess udp(WithHome({"replay", "KestrelUdpModel", "-p", "1=" + std::to_string(FreeLoopbackPort()), "-p",
                            "2=None", home_ + "/Debug_KSL_Packets.bin"}));
  EXPECT_EQ(udp.Finish(milliseconds(20000)), 0) << udp.Err();
  for (const std::string& record : records) {
    EXPECT_EQ(CountLines(udp.OutLines(), R"("type":"data")", R"("data":")" + record + '"'), 1u) << udp.Out();
  }
  EXPECT_TRUE(Contains(udp.Err(), "replay: 3/3 blocks, 36 bytes sent")) << udp.Err();

  // A raw capture is one byte stream; the driver cuts it at the configured line feed.
  std::ofstream(home_ + "/serial.xml") << R"(<root><channelConfig><linefeed value="0x0a"/></channelConfig></root>)";
  std::ofstream(home_ + "/capture.txt") << "door 1 open\ndoor 2 closed\n";
  HostProcess serial(
      WithHome({"replay", "KestrelSerialModel", "-p", "7=None", "-p", "8=serial.xml", home_ + "/capture.txt"}));
  EXPECT_EQ(serial.Finish(milliseconds(20000)), 0) << serial.Err();
  EXPECT_EQ(CountLines(serial.OutLines(), R"("source":"Serial Channel")", R"("data":"door 2 closed")"), 1u)
      << serial.Out();

  HostProcess proxy(WithHome({"replay", "KestrelRtspModel", home_ + "/capture.txt"}));
  EXPECT_EQ(proxy.Finish(), 1);
  EXPECT_TRUE(Contains(proxy.Err(), "not KestrelRtspModel")) << proxy.Err();
  HostProcess packets(WithHome({"replay", "KestrelUdpModel", "--capture", "packets", home_ + "/capture.txt"}));
  EXPECT_EQ(packets.Finish(), 1);
  EXPECT_TRUE(Contains(packets.Err(), "is not a packet dump")) << packets.Err();
}

// The demo plays the whole journal and waits for the End event of every event.
TEST_F(HostProcessTest, DemoDeliversEveryEventAndItsEndEvent) {
  HostProcess host({"demo"});
  EXPECT_EQ(host.Finish(milliseconds(10000)), 0) << host.Err();
  const std::vector<std::string> lines = host.OutLines();
  // Three receipts, a sale with its lane and size, a void, a watched item, a drawer opening, a refund, a payout.
  EXPECT_EQ(CountLines(lines, R"("type":"event")", R"("encoding":"utf-8")"), 12u) << host.Out();
  EXPECT_EQ(CountLines(lines, R"("type":"event")", R"("encoding":null)"), 12u) << host.Out();
  // The sale's three events carry lane and total from the journal line.
  EXPECT_EQ(CountLines(lines, R"("type":"event")", R"({"id":2,"text":"3"},{"id":3,"text":"15.55"})"), 3u) << host.Out();
  EXPECT_EQ(CountLines(lines, R"("type":"data")", R"("source":"TCP Channel")"), 15u) << host.Out();
}

// Both HTTP models through the real library: a device posting to the server
// model (played by curl), and a device whose page the polling model fetches.
TEST_F(HostProcessTest, RunOfTheHttpModelsPrintsWhatTheDevicesSend) {
  if (!ProgramAvailable("curl")) GTEST_SKIP() << "curl is not installed";
  const std::string port = std::to_string(FreeLoopbackPort());
  HostProcess server(WithHome({"run", "KestrelHttpServerModel", "-p", "1=" + port, "-p", "2=None"}));
  ASSERT_TRUE(server.WaitForOutput(R"({"type":"started","ok":true})")) << server.Out() << server.Err();
  // The channel may start listening just after StartChannel returns: curl retries refused connections.
  const auto curl = RunProgram({"curl", "-sS", "--noproxy", "*", "--retry", "20", "--retry-connrefused",
                                "--retry-delay", "0", "-d", "door=open&zone=2", "http://127.0.0.1:" + port + "/alarm"});
  EXPECT_EQ(curl.exitCode, 0) << curl.errors;
  EXPECT_TRUE(server.WaitForOutput(R"("data":"door=open&amp;zone=2")")) << server.Out();
  EXPECT_TRUE(Contains(server.Out(), R"("source":"HTTP Channel")")) << server.Out();

  RawHttpServer device;
  ASSERT_TRUE(device.Start("HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\nzone 3 open"));
  HostProcess poller(WithHome({"run", "KestrelHttpModel", "-p", "1=127.0.0.1", "-p",
                               "2=" + std::to_string(device.Port()), "-p", "6=None", "-p", "9=/status"}));
  EXPECT_TRUE(poller.WaitForOutput(R"("data":"zone 3 open")")) << poller.Out() << poller.Err();
}

TEST_F(HostProcessTest, RunStopsByItselfAfterTheGivenSeconds) {
  HostProcess host(WithHome({"run", "KestrelTcpModel", "-p", "1=" + std::to_string(FreeLoopbackPort()), "-p", "2=None",
                             "--seconds", "0.2", "--plain-open"}));
  EXPECT_EQ(host.Finish(milliseconds(3000)), 0) << host.Err();
  const std::vector<std::string> lines = host.OutLines();
  ASSERT_GE(lines.size(), 3u) << host.Out();
  EXPECT_EQ(lines.front(), R"({"type":"opened","ok":true,"events":[],"searchTags":[]})");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), R"({"type":"started","ok":true})"), 1) << host.Out();
  EXPECT_EQ(lines.back(), R"({"type":"closed"})");
}

TEST_F(HostProcessTest, MalformedCommandLinesAreRefusedWithStatusOne) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"fly"},
      {"params"},
      {"run", "KestrelTcpModel", "-p", "x=1"},
      {"run", "KestrelTcpModel", "-p", "0=1"},
      {"run", "KestrelTcpModel", "-p", "1"},
      {"run", "KestrelTcpModel", "--seconds", "-1"},
      {"run", "KestrelTcpModel", "--seconds"},
      {"params", "KestrelTcpModel", "-p", "1=2"},
      {"models", "extra"},
      {"--frobnicate", "models"},
      {"run", "KestrelTcpModel", "--format", "xml"},
      {"models", "--format", "text"},
      {"help", "fly"},
  };
  for (const auto& args : cases) {
    HostProcess host(args);
    EXPECT_EQ(host.Finish(), 1) << ::testing::PrintToString(args);
    EXPECT_EQ(host.Out(), "") << ::testing::PrintToString(args);
    EXPECT_TRUE(Contains(host.Err(), "kestrel-host: ")) << host.Err();
  }
}

TEST_F(HostProcessTest, HelpExplainsTheWholeToolOrOneCommand) {
  HostProcess general({"--help"});
  EXPECT_EQ(general.Finish(), 0);
  EXPECT_TRUE(Contains(general.Out(), "Commands:")) << general.Out();
  for (const auto& args : std::vector<std::vector<std::string>>{{"run", "--help"}, {"help", "run"}}) {
    HostProcess host(args);
    EXPECT_EQ(host.Finish(), 0);
    EXPECT_TRUE(Contains(host.Out(), "run MODEL [-p N=VALUE]")) << host.Out();
    EXPECT_TRUE(Contains(host.Out(), "--format F")) << host.Out();
    EXPECT_FALSE(Contains(host.Out(), "Commands:")) << host.Out();
  }
}

TEST_F(HostProcessTest, AMissingDriverLibraryIsReportedWithTheLoaderMessage) {
  HostProcess host({"--driver", home_ + "/libNothing.so", "models"});
  EXPECT_EQ(host.Finish(), 1);
  EXPECT_TRUE(Contains(host.Err(), "cannot load the driver library")) << host.Err();
  EXPECT_TRUE(Contains(host.Err(), "libNothing.so")) << host.Err();
}

TEST_F(HostProcessTest, DemoWithoutItsExampleFilesSaysWhatIsMissing) {
  HostProcess host(WithHome({"demo"}));
  EXPECT_EQ(host.Finish(), 1);
  EXPECT_TRUE(Contains(host.Err(), "examples/pos-tcp/pos.xml is missing")) << host.Err();
  EXPECT_EQ(host.Out(), "");
}

}  // namespace
}  // namespace korvane::testing
