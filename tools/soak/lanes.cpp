#include "tools/soak/lanes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <thread>

namespace korvane::soak {
namespace {

// Messages per second of each generator.
constexpr int kStreamRate = 2000;
constexpr int kRate = 1000;
constexpr size_t kLinesPerPoll = 300;

/// A TCP or UDP port on 127.0.0.1 that was free a moment ago.
uint16_t FreePort(int type) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string Port(uint16_t port) { return std::to_string(port); }

// Two versions of one configuration that deliver the same: the chaos thread
// swaps them while data flows. `variable` is the part that differs.
std::string Configuration(const std::string& channel, const std::string& body, const std::string& additional = "") {
  return "<?xml version=\"1.0\"?>\n<root>\n  <logging><level value=\"1\"/></logging>\n  <channelConfig>" + channel +
         "</channelConfig>\n" + (additional.empty() ? "" : "  <Additional>" + additional + "</Additional>\n") + body +
         "</root>\n";
}

constexpr const char* kLineFeed = "<linefeed value=\"0x0a\"/>";

// A rule that never holds: the mapper needs one. Every message matches no
// rule and so reaches the host as text.
constexpr const char* kNoRule =
    "    <rules unmatchedText=\"yes\"><message number=\"1\" value=\"never\"><param reference=\"1\" "
    "value=\"never\"><action type=\"event\" value=\"Never\"/></param></message></rules>\n";

// Text validation: every message passes.
std::string TextBody(const char* expression, const char* parameter) {
  return std::string("  <validation><regex value=\"") + expression +
         "\"/></validation>\n  <kslXmlMapper version=\"2\">\n    <messageType parsing=\"regex\"><message "
         "number=\"1\" value=\"Soak\"><param number=\"1\" value=\"" +
         parameter + "\" group=\"1\"/></message></messageType>\n" + kNoRule + "  </kslXmlMapper>\n";
}

// XML documents (a plug-in's or the device's, checked for well-formedness only).
std::string XmlBody(const char* message, const char* parameter) {
  return std::string(
             "  <validation><xsd value=\"\"/></validation>\n  <kslXmlMapper version=\"2\">\n    "
             "<messageType><message>") +
         message + "</message><param value=\"" + parameter + "\"/></messageType>\n" + kNoRule + "  </kslXmlMapper>\n";
}

std::string NoBody(const char* note) { return std::string("  <!-- ") + note + " -->\n"; }

}  // namespace

LaneSet::LaneSet(const host::DriverLibrary& library, std::filesystem::path hostDirectory)
    : library_(library), hostDirectory_(std::move(hostDirectory)) {
  AddTcpLanes();
  AddUdpLane();
  AddProxyLanes();
  AddHttpLanes();
  AddSerialLane();
  AddRtspLane();
}

LaneSet::~LaneSet() { End(); }

Lane& LaneSet::Add(LaneSpec spec) {
  lanes_.push_back(std::make_unique<Lane>(library_, std::move(spec), hostDirectory_));
  return *lanes_.back();
}

void LaneSet::AddTcpLanes() {
  const uint16_t server = FreePort(SOCK_STREAM);
  Lane& tcp = Add({"tcp",
                   "KestrelTcpModel",
                   {{1, Port(server)}, {2, "Text"}, {3, "tcp.xml"}, {4, ""}, {5, "0"}},
                   Wire::kLine,
                   "tcp.xml",
                   {Configuration(kLineFeed, TextBody("soak .*", "^soak [a-z]+ ([0-9]+)")),
                    Configuration(kLineFeed, TextBody("soak [a-z]* .*[0-9A-F]", "^soak [a-z]+ [0-9]+ ([0-9]+)"))}});
  generators_.push_back(MakeConnectingGenerator(tcp, kStreamRate, server));
  targets_.push_back({&tcp, generators_.back().get(), {}});

  const uint16_t client = FreePort(SOCK_STREAM);
  Lane& tcpClient =
      Add({"tcpclient",
           "KestrelTcpClientModel",
           {{1, "127.0.0.1"}, {2, Port(client)}, {3, "Text"}, {4, "tcpclient.xml"}, {5, ""}, {6, "0"}},
           Wire::kLine,
           "tcpclient.xml",
           {Configuration(kLineFeed, TextBody("soak .*", "^soak [a-z]+ ([0-9]+)")),
            Configuration(kLineFeed, TextBody("soak [a-z]* .*[0-9A-F]", "^soak [a-z]+ [0-9]+ ([0-9]+)"))}});
  generators_.push_back(MakeListeningGenerator(tcpClient, kStreamRate, client));
  targets_.push_back({&tcpClient, generators_.back().get(), {}});

  // A Contact ID panel behind the Heron plug-in, answered with the receiver's acknowledgement.
  const uint16_t heronPort = FreePort(SOCK_STREAM);
  const std::string channel = std::string(kLineFeed) + "<ignored value=\"0x0d\"/><acknowledge value=\"0x32060d0a\"/>";
  Lane& heron = Add({"heron",
                     "KestrelTcpModel",
                     {{1, Port(heronPort)}, {2, "Custom"}, {3, "heron.xml"}, {4, "Heron"}, {5, "0"}},
                     Wire::kContactId,
                     "heron.xml",
                     {Configuration(channel, XmlBody("/TexecomEvent/EventQualifier", "/TexecomEvent/Zone")),
                      Configuration(channel, XmlBody("/TexecomEvent/MessageType", "/TexecomEvent/Partition"))}});
  generators_.push_back(MakeConnectingGenerator(heron, kRate, heronPort));
  targets_.push_back({&heron, generators_.back().get(), {}});
}

void LaneSet::AddUdpLane() {
  const uint16_t port = FreePort(SOCK_DGRAM);
  LaneSpec spec{"udp",
                "KestrelUdpModel",
                {{1, Port(port)}, {2, "None"}, {3, "udp.xml"}, {4, ""}, {5, "0"}},
                Wire::kDatagram,
                "udp.xml",
                // No line feed: every datagram is one message.
                {Configuration("", NoBody("every datagram is one message")),
                 Configuration("", NoBody("rewritten: every datagram is one message"))}};
  // Datagrams the kernel dropped never come; a stop does not wait long for them.
  spec.drainLimit = std::chrono::milliseconds(1000);
  udpLane_ = &Add(std::move(spec));
  udpDrops_ = std::make_unique<UdpDropCounter>(port);
  udpLane_->BeforeStop([this] {
    const std::lock_guard<std::mutex> lock(udpMutex_);
    udpDrops_->Sample();
  });
  generators_.push_back(MakeDatagramGenerator(*udpLane_, kRate, port));
  targets_.push_back({udpLane_, generators_.back().get(), {}});
}

void LaneSet::AddProxyLanes() {
  std::ofstream(hostDirectory_ / "KSLProxyConfig.xml") << "<root><ProxyConfiguration/></root>\n";
  const uint16_t proxyPort = FreePort(SOCK_STREAM);
  Lane& proxy = Add({"proxy",
                     "KestrelProxyModel",
                     {{1, "AgentViProxy"},
                      {2, "127.0.0.1"},
                      {3, "8000"},
                      {4, "soak"},
                      {5, "secret"},
                      {6, Port(proxyPort)},
                      {7, "XSD"},
                      {8, "proxy.xml"},
                      {9, "0"}},
                     Wire::kXmlLine,
                     "proxy.xml",
                     {Configuration(kLineFeed, XmlBody("/m", "/m")),
                      Configuration(kLineFeed, XmlBody("name(/m)", "string-length(/m)"))}});
  generators_.push_back(MakeConnectingGenerator(proxy, kRate, proxyPort));
  targets_.push_back({&proxy, generators_.back().get(), {}});

  const uint16_t intrepidPort = FreePort(SOCK_STREAM);
  Lane& intrepid = Add(
      {"intrepid",
       "KestrelIntrepidProxyModel",
       {{1, "127.0.0.1"}, {2, "9000"}, {3, "1"}, {4, Port(intrepidPort)}, {5, "XSD"}, {6, "intrepid.xml"}, {7, "0"}},
       Wire::kXmlLine,
       "intrepid.xml",
       {Configuration(kLineFeed, XmlBody("/m", "/m")),
        Configuration(kLineFeed, XmlBody("name(/m)", "string-length(/m)"))}});
  generators_.push_back(MakeConnectingGenerator(intrepid, kRate, intrepidPort));
  targets_.push_back({&intrepid, generators_.back().get(), {}});
}

void LaneSet::AddHttpLanes() {
  const uint16_t serverPort = FreePort(SOCK_STREAM);
  const std::string answer = "<HTTPServer processingType=\"Content\"><Response send=\"yes\">OK</Response></HTTPServer>";
  Lane& server = Add({"httpserver",
                      "KestrelHttpServerModel",
                      {{1, Port(serverPort)}, {2, "None"}, {3, "httpserver.xml"}, {4, ""}, {5, "0"}},
                      Wire::kLine,
                      "httpserver.xml",
                      {Configuration(kLineFeed, NoBody("devices post lines"), answer),
                       Configuration(kLineFeed, NoBody("rewritten: devices post lines"), answer)}});
  generators_.push_back(MakePostingGenerator(server, kRate, serverPort));
  targets_.push_back({&server, generators_.back().get(), {}});

  const uint16_t pollPort = FreePort(SOCK_STREAM);
  Lane& poll = Add({"httppoll",
                    "KestrelHttpModel",
                    {{1, "127.0.0.1"},
                     {2, Port(pollPort)},
                     {3, ""},
                     {4, ""},
                     {5, "Basic"},
                     {6, "None"},
                     {7, "httppoll.xml"},
                     {8, ""},
                     {9, "/soak"},
                     {10, "0"}},
                    Wire::kLine,
                    "httppoll.xml",
                    {Configuration(kLineFeed, NoBody("the device answers lines")),
                     Configuration(kLineFeed, NoBody("rewritten: the device answers lines"))}});
  pollPeer_ = std::make_unique<PollPeer>(poll, pollPort, kLinesPerPoll);
  targets_.push_back({&poll, nullptr, [this](bool down) { pollPeer_->SetDown(down); }});
}

void LaneSet::AddSerialLane() {
  // The driver opens the other end of the generator's pseudo-terminal, named in its configuration.
  pty_ = std::make_unique<testing::TestPty>();
  const std::string additional = "<SerialDevice value=\"" + pty_->DevicePath() + "\"/>";
  Lane& serial = Add({"serial",
                      "KestrelSerialModel",
                      {{1, "1"},
                       {2, "115200"},
                       {3, "8"},
                       {4, "1"},
                       {5, "No"},
                       {6, "None"},
                       {7, "None"},
                       {8, "serial.xml"},
                       {9, ""},
                       {10, "0"}},
                      Wire::kLine,
                      "serial.xml",
                      {Configuration(kLineFeed, NoBody("a pseudo-terminal"), additional),
                       Configuration(kLineFeed, NoBody("rewritten: a pseudo-terminal"), additional)}});
  generators_.push_back(MakeSerialGenerator(serial, kRate, *pty_));
  targets_.push_back({&serial, generators_.back().get(), {}});
}

void LaneSet::AddRtspLane() {
  rtspPort_ = FreePort(SOCK_STREAM);
  LaneSpec spec{"rtsp",
                "KestrelRtspModel",
                {{1, "127.0.0.1"},
                 {2, Port(rtspPort_)},
                 {3, ""},
                 {4, ""},
                 {5, "None"},
                 {6, "rtsp.xml"},
                 {7, ""},
                 {8, "soak"},
                 {9, "0"}},
                Wire::kLine,
                "rtsp.xml",
                {Configuration("", NoBody("one message per packet")),
                 Configuration("", NoBody("rewritten: one message per packet"))}};
  // The camera numbers its packets itself and RTP may lose some: only what
  // arrives is checked.
  spec.countOnly = true;
  spec.validText = [](std::string_view text) {
    static const std::regex valid("soak rtsp [0-9]+");
    return std::regex_match(text.begin(), text.end(), valid);
  };
  Lane& rtsp = Add(std::move(spec));
  targets_.push_back({&rtsp, nullptr, [this](bool down) {
                        if (down) {
                          rtspPeer_.reset();
                        } else {
                          StartRtspPeer();
                        }
                      }});
}

bool LaneSet::StartRtspPeer() {
  rtspPeer_ = std::make_unique<testing::GstRtspServer>(
      std::vector<std::string>{"--port", Port(rtspPort_), "--path", "soak", "--interval-ms", "10", "--message",
                               "soak rtsp {n}", "--lifetime", "100000"});
  if (rtspPeer_->Start()) return true;
  std::fprintf(stderr, "soak: the RTSP peer did not start: %s\n", rtspPeer_->Error().c_str());
  return false;
}

bool LaneSet::Begin() {
  begun_ = true;
  bool ok = StartRtspPeer();
  pollPeer_->SetDown(false);
  pollPeer_->Begin();
  for (const auto& lane : lanes_) {
    if (!lane->Open() || !lane->Start()) {
      std::fprintf(stderr, "soak: lane %s (%s) did not start\n", lane->Spec().label.c_str(),
                   lane->Spec().model.c_str());
      ok = false;
    }
  }
  for (const auto& generator : generators_) generator->Begin();
  return ok;
}

void LaneSet::Quiesce() {
  for (const auto& generator : generators_) generator->Pause(true);
  for (const auto& lane : lanes_) {
    if (!lane->Spec().countOnly) lane->Books().WaitDrained(lane->Spec().drainLimit);
  }
}

void LaneSet::Resume() {
  for (const auto& generator : generators_) generator->Pause(false);
}

void LaneSet::End() {
  if (!begun_) return;
  begun_ = false;
  for (const auto& generator : generators_) generator->End();
  if (pollPeer_) pollPeer_->End();
  for (const auto& lane : lanes_) lane->Close();
  rtspPeer_.reset();
}

uint64_t LaneSet::UdpKernelDrops() {
  const std::lock_guard<std::mutex> lock(udpMutex_);
  udpDrops_->Sample();
  return udpDrops_->Total();
}

}  // namespace korvane::soak
