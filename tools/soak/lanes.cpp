#include "tools/soak/lanes.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

#include "tests/support/socket_peers.h"

namespace korvane::soak {
namespace {

// Messages per second of each generator.
constexpr int kStreamRate = 2000;
constexpr int kRate = 1000;
constexpr size_t kLinesPerPoll = 300;
// How long everything sent before a pause may take to arrive.
constexpr std::chrono::seconds kQuiesceLimit{15};

using Versions = std::array<std::string, 2>;

std::string Port(uint16_t port) { return std::to_string(port); }

/// A UDP port on 127.0.0.1 that was free a moment ago.
uint16_t UnusedUdpPort() {
  testing::TestUdpSocket socket;
  return socket.Bind() ? socket.Port() : 0;
}

/// Parameters 1, 2, ... of a model in order.
std::map<int32_t, std::string> Numbered(std::vector<std::string> values) {
  std::map<int32_t, std::string> parameters;
  for (size_t i = 0; i < values.size(); ++i) parameters[static_cast<int32_t>(i + 1)] = std::move(values[i]);
  return parameters;
}

std::string File(const std::string& label) { return label + ".xml"; }

std::string Configuration(const std::string& channel, const std::string& body, const std::string& additional) {
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

// The two versions of each configuration deliver the same; the chaos thread
// swaps them while data flows. Without validation only a comment differs.
Versions PlainConfigurations(const std::string& channel, const std::string& note, const std::string& additional = "") {
  return {Configuration(channel, "  <!-- " + note + " -->\n", additional),
          Configuration(channel, "  <!-- rewritten: " + note + " -->\n", additional)};
}

// Text validation: every message passes, under another expression in each version.
Versions TextConfigurations() {
  const auto body = [](const char* expression, const char* parameter) {
    return std::string("  <validation><regex value=\"") + expression +
           "\"/></validation>\n  <kslXmlMapper version=\"2\">\n    <messageType parsing=\"regex\"><message "
           "number=\"1\" value=\"Soak\"><param number=\"1\" value=\"" +
           parameter + "\" group=\"1\"/></message></messageType>\n" + kNoRule + "  </kslXmlMapper>\n";
  };
  return {Configuration(kLineFeed, body("soak .*", "^soak [a-z]+ ([0-9]+)"), ""),
          Configuration(kLineFeed, body("soak [a-z]* .*[0-9A-F]", "^soak [a-z]+ [0-9]+ ([0-9]+)"), "")};
}

// XML documents (the device's, or a plug-in's), checked for well-formedness
// only; each version picks the message value and a parameter by other XPaths.
Versions XmlConfigurations(const std::string& channel, const std::array<const char*, 4>& paths) {
  const auto body = [](const char* message, const char* parameter) {
    return std::string(
               "  <validation><xsd value=\"\"/></validation>\n  <kslXmlMapper version=\"2\">\n    "
               "<messageType><message>") +
           message + "</message><param value=\"" + parameter + "\"/></messageType>\n" + kNoRule + "  </kslXmlMapper>\n";
  };
  return {Configuration(channel, body(paths[0], paths[1]), ""), Configuration(channel, body(paths[2], paths[3]), "")};
}

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

Lane& LaneSet::Add(LaneSetup setup) {
  lanes_.push_back(std::make_unique<Lane>(library_, std::move(setup), hostDirectory_));
  return *lanes_.back();
}

void LaneSet::Drive(Lane& lane, std::unique_ptr<Generator> generator) {
  generators_.push_back(std::move(generator));
  targets_.push_back({&lane, generators_.back().get(), {}});
}

void LaneSet::AddTcpLanes() {
  const uint16_t server = testing::UnusedTcpPort();
  Lane& tcp = Add({"tcp", "KestrelTcpModel", Numbered({Port(server), "Text", File("tcp"), "", "0"}), Wire::kLine,
                   TextConfigurations()});
  Drive(tcp, MakeConnectingGenerator(tcp, kStreamRate, server));

  const uint16_t client = testing::UnusedTcpPort();
  Lane& tcpClient = Add({"tcpclient", "KestrelTcpClientModel",
                         Numbered({"127.0.0.1", Port(client), "Text", File("tcpclient"), "", "0"}), Wire::kLine,
                         TextConfigurations()});
  Drive(tcpClient, MakeListeningGenerator(tcpClient, kStreamRate, client));

  // A Contact ID panel behind the Heron plug-in, answered with the receiver's acknowledgement.
  const uint16_t panel = testing::UnusedTcpPort();
  const std::string channel = std::string(kLineFeed) + "<ignored value=\"0x0d\"/><acknowledge value=\"0x32060d0a\"/>";
  Lane& heron =
      Add({"heron", "KestrelTcpModel", Numbered({Port(panel), "Custom", File("heron"), "Heron", "0"}), Wire::kContactId,
           XmlConfigurations(channel, {"/TexecomEvent/EventQualifier", "/TexecomEvent/Zone",
                                       "/TexecomEvent/MessageType", "/TexecomEvent/Partition"})});
  Drive(heron, MakeConnectingGenerator(heron, kRate, panel));
}

void LaneSet::AddUdpLane() {
  const uint16_t port = UnusedUdpPort();
  // No line feed: every datagram is one message.
  LaneSetup setup{"udp", "KestrelUdpModel", Numbered({Port(port), "None", File("udp"), "", "0"}), Wire::kDatagram,
                  PlainConfigurations("", "every datagram is one message")};
  // Datagrams the kernel dropped never come; a stop does not wait long for them.
  setup.drainLimit = std::chrono::milliseconds(1000);
  udpLane_ = &Add(std::move(setup));
  udpDrops_ = std::make_unique<UdpDropCounter>(port);
  udpLane_->BeforeStop([this] {
    const std::lock_guard<std::mutex> lock(udpMutex_);
    udpDrops_->Sample();
  });
  Drive(*udpLane_, MakeDatagramGenerator(*udpLane_, kRate, port));
}

void LaneSet::AddProxyLanes() {
  std::ofstream(hostDirectory_ / "KSLProxyConfig.xml") << "<root><ProxyConfiguration/></root>\n";
  const Versions xml = XmlConfigurations(kLineFeed, {"/m", "/m", "name(/m)", "string-length(/m)"});
  const uint16_t proxyPort = testing::UnusedTcpPort();
  Lane& proxy = Add(
      {"proxy", "KestrelProxyModel",
       Numbered({"AgentViProxy", "127.0.0.1", "8000", "soak", "secret", Port(proxyPort), "XSD", File("proxy"), "0"}),
       Wire::kXmlLine, xml});
  Drive(proxy, MakeConnectingGenerator(proxy, kRate, proxyPort));

  const uint16_t intrepidPort = testing::UnusedTcpPort();
  Lane& intrepid = Add({"intrepid", "KestrelIntrepidProxyModel",
                        Numbered({"127.0.0.1", "9000", "1", Port(intrepidPort), "XSD", File("intrepid"), "0"}),
                        Wire::kXmlLine, xml});
  Drive(intrepid, MakeConnectingGenerator(intrepid, kRate, intrepidPort));
}

void LaneSet::AddHttpLanes() {
  const uint16_t serverPort = testing::UnusedTcpPort();
  Lane& server = Add({"httpserver", "KestrelHttpServerModel",
                      Numbered({Port(serverPort), "None", File("httpserver"), "", "0"}), Wire::kLine,
                      PlainConfigurations(kLineFeed, "devices post lines",
                                          "<HTTPServer processingType=\"Content\"><Response "
                                          "send=\"yes\">OK</Response></HTTPServer>")});
  Drive(server, MakePostingGenerator(server, kRate, serverPort));

  const uint16_t pollPort = testing::UnusedTcpPort();
  Lane& poll =
      Add({"httppoll", "KestrelHttpModel",
           Numbered({"127.0.0.1", Port(pollPort), "", "", "Basic", "None", File("httppoll"), "", "/soak", "0"}),
           Wire::kLine, PlainConfigurations(kLineFeed, "the device answers lines")});
  pollPeer_ = std::make_unique<PollPeer>(poll, pollPort, kLinesPerPoll);
  targets_.push_back({&poll, nullptr, [this](bool down) { pollPeer_->SetDown(down); }});
}

void LaneSet::AddSerialLane() {
  // The driver opens the other end of the generator's pseudo-terminal, named in its configuration.
  pty_ = std::make_unique<testing::TestPty>();
  Lane& serial = Add(
      {"serial", "KestrelSerialModel",
       Numbered({"1", "115200", "8", "1", "No", "None", "None", File("serial"), "", "0"}), Wire::kLine,
       PlainConfigurations(kLineFeed, "a pseudo-terminal", "<SerialDevice value=\"" + pty_->DevicePath() + "\"/>")});
  Drive(serial, MakeSerialGenerator(serial, kRate, *pty_));
}

void LaneSet::AddRtspLane() {
  rtspPort_ = testing::UnusedTcpPort();
  LaneSetup setup{"rtsp", "KestrelRtspModel",
                  Numbered({"127.0.0.1", Port(rtspPort_), "", "", "None", File("rtsp"), "", "soak", "0"}), Wire::kLine,
                  PlainConfigurations("", "one message per packet")};
  // The camera numbers its packets itself and RTP may lose some: only what
  // arrives is checked.
  setup.countOnly = true;
  setup.validText = [](std::string_view text) {
    static const std::regex valid("soak rtsp [0-9]+");
    return std::regex_match(text.begin(), text.end(), valid);
  };
  Lane& rtsp = Add(std::move(setup));
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
      std::fprintf(stderr, "soak: lane %s (%s) did not start\n", lane->Setup().label.c_str(),
                   lane->Setup().model.c_str());
      ok = false;
    }
  }
  for (const auto& generator : generators_) generator->Begin();
  return ok;
}

bool LaneSet::Quiesce() {
  for (const auto& generator : generators_) generator->Pause(true);
  pollPeer_->Pause(true);
  // One bound for all lanes together: each had its generator paused at the same moment.
  const auto deadline = std::chrono::steady_clock::now() + kQuiesceLimit;
  bool drained = true;
  for (const auto& lane : lanes_) {
    if (lane->Setup().countOnly) continue;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (lane->Books().WaitDrained(std::max(left, std::chrono::milliseconds(0)))) continue;
    std::printf("soak: lane %s still awaits messages sent before the pause\n", lane->Setup().label.c_str());
    drained = false;
  }
  return drained;
}

void LaneSet::Resume() {
  for (const auto& generator : generators_) generator->Pause(false);
  pollPeer_->Pause(false);
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
