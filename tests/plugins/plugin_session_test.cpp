// The plug-ins as a host uses them: a real driver on the TCP model loads them
// by name from the host directory, a panel connects and reports an evening
// (arm, alarm, restore, disarm, trouble), and the host receives named events.
// The configurations and panel sessions are the ones under examples/.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver/core/kestrel_driver.h"
#include "tests/plugins/plugin_test_util.h"
#include "tests/support/fake_host.h"
#include "tests/support/free_port_channels.h"
#include "tests/support/socket_peers.h"
#include "tests/support/watchdog.h"

namespace korvane::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Kind = HostCall::Kind;

const fs::path kExamples = fs::path(KESTREL_SOURCE_DIR) / "examples";

/// The lines of the Contact ID session, each ended by CR LF as the panel sends it.
std::string ContactIdSession() {
  std::istringstream in(ReadFile(kExamples / "contact-id-tcp/session.txt"));
  std::string bytes;
  for (std::string line; std::getline(in, line);) bytes += line + "\r\n";
  return bytes;
}

/// The bytes of the Galaxy session: hex pairs, "#" starts a comment.
std::string GalaxySession() {
  std::istringstream in(ReadFile(kExamples / "galaxy-tcp/session.hex"));
  std::string bytes;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line.substr(0, line.find('#')));
    for (std::string hex; words >> hex;) bytes += static_cast<char>(std::stoi(hex, nullptr, 16));
  }
  return bytes;
}

class PluginSessionTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    // The host directory holds the plug-ins, Heron's event table and the examples, as an installation does.
    for (const char* name : {"Heron.so", "Plover.so", "HeronNoRelease.so"}) {
      fs::create_symlink(fs::path(KESTREL_PLUGIN_DIR) / name, Dir() / name);
    }
    // Copied, not linked: the driver reads only regular files inside the host directory.
    fs::copy(kExamples, Dir() / "examples", fs::copy_options::recursive);
  }
  void TearDown() override {
    stream_.reset();
    {
      Watchdog watchdog(5s, "closing the driver");
      driver_.reset();
    }
    PluginTest::TearDown();
  }
  void UseShippedEventTable() const {
    fs::copy_file(fs::path(KESTREL_SOURCE_DIR) / "plugins/heron/ContactID.xml", Dir() / "ContactID.xml");
  }
  /// Opens the TCP model with custom validation through `plugin`; false when the open failed.
  bool Open(const std::string& config, const std::string& plugin) {
    settings_ = FakeSettings("KestrelTcpModel", {{1, "1"}, {2, "Custom"}, {3, config}, {4, plugin}, {5, "0"}});
    driver_ = std::make_unique<CKestrelDriver>();
    driver_->SetChannelFactory(&TcpChannelOnFreePort);
    return driver_->OpenEx(&host_, &settings_);
  }
  /// Opens, starts the channel and connects a panel to it.
  void Connect(const std::string& config, const std::string& plugin) {
    ASSERT_TRUE(Open(config, plugin));
    ASSERT_TRUE(driver_->StartChannel(0, 0));
    CTcpChannel* channel = FreePortTcpChannel();
    ASSERT_NE(channel, nullptr);
    ASSERT_TRUE(channel->WaitListening(2s, true));
    stream_ = TestStream::Connect(channel->BoundPort());
    ASSERT_NE(stream_, nullptr);
  }
  static bool Loaded(const fs::path& library) {
    void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (module != nullptr) dlclose(module);
    return module != nullptr;
  }

  RecordingHost host_;  // outlives the driver
  FakeSettings settings_;
  std::unique_ptr<CKestrelDriver> driver_;
  std::unique_ptr<TestStream> stream_;
};

TEST_F(PluginSessionTest, ContactIdPanelEvening) {
  UseShippedEventTable();
  ASSERT_NO_FATAL_FAILURE(Connect("examples/contact-id-tcp/contact-id.xml", "Heron.dll"));
  EXPECT_EQ(host_.LogCount("Custom validator Heron.dll is loaded"), 1u);

  const std::string session = ContactIdSession();
  ASSERT_FALSE(session.empty());
  ASSERT_TRUE(stream_->Send(session));
  ASSERT_TRUE(host_.WaitForCount(Kind::kData, 1)) << host_.Texts(Kind::kLog).size();
  EXPECT_EQ(host_.Texts(Kind::kEvent),
            (std::vector<std::string>{"Armed by user 3", "Burglary zone 5", "Zone 5 restored", "Disarmed by user 3",
                                      "Fire zone 8", "Fire zone 8 restored", "Panic alarm", "Mains power lost",
                                      "Mains power restored"}));
  EXPECT_EQ(host_.Texts(Kind::kData), std::vector<std::string>{"Periodic test report"});
  const HostCall burglary = host_.Calls(Kind::kEvent).at(1);
  EXPECT_EQ(burglary.source, "TCP Channel");
  // The value goes under every registered entry of the tag's name (one per expanded rule).
  ASSERT_FALSE(burglary.tags.empty());
  for (const auto& tag : burglary.tags) EXPECT_EQ(tag.text, "Burglary zone 5");
  EXPECT_EQ(host_.LogCount("Validation failed"), 0u);
  // What the panel received is acknowledged with "2", ACK, CR LF.
  EXPECT_EQ(stream_->Receive(4), "2\x06\r\n");

  // A message damaged on the line is refused with the plug-in's reason.
  ASSERT_TRUE(stream_->Send("24721181131010051\r\n"));
  ASSERT_TRUE(host_.WaitFor([](const std::vector<HostCall>& calls) {
    for (const HostCall& call : calls) {
      if (call.kind == Kind::kLog &&
          call.text.find("Validation failed (Unable to parse Texecom message: invalid format or currupted)") !=
              std::string::npos) {
        return true;
      }
    }
    return false;
  }));
  EXPECT_EQ(host_.Count(Kind::kEvent), 9u);
}

TEST_F(PluginSessionTest, GalaxyPanelEvening) {
  ASSERT_NO_FATAL_FAILURE(Connect("examples/galaxy-tcp/galaxy.xml", "Plover"));
  const std::string session = GalaxySession();
  ASSERT_FALSE(session.empty());
  ASSERT_TRUE(stream_->Send(session));
  ASSERT_TRUE(host_.WaitForCount(Kind::kData, 1));
  EXPECT_EQ(host_.Texts(Kind::kEvent),
            (std::vector<std::string>{"Armed by user 3", "Burglary zone 1005", "Zone 1005 restored",
                                      "Disarmed by user 3", "Fire zone 1008", "Fire zone 1008 restored",
                                      "Panic alarm zone 1002", "Mains power lost", "Mains power restored"}));
  EXPECT_EQ(host_.Texts(Kind::kData), std::vector<std::string>{"Automatic test report"});
  const HostCall armed = host_.Calls(Kind::kEvent).at(0);
  // The value goes under every registered entry of the tag's name (one per expanded rule).
  ASSERT_FALSE(armed.tags.empty());
  for (const auto& tag : armed.tags) EXPECT_EQ(tag.text, "Armed by user 3");
  EXPECT_EQ(host_.LogCount("Validation failed"), 0u);
}

TEST_F(PluginSessionTest, DocumentsLargerThanTheOldBufferAreMapped) {
  // An installer's long event name makes a document of over 5 KiB; it reaches the rules whole.
  WriteFile("ContactID.xml",
            "<ContactID><Events><Event number=\"130\" text=\"" + std::string(6000, 'n') + "\"/></Events></ContactID>");
  WriteFile("long.xml", R"(<root><logging><level value="3"/></logging>
    <channelConfig><linefeed value="0x0d0a"/></channelConfig>
    <kslXmlMapper version="2">
      <messageType><message>/TexecomEvent/EventQualifier</message><param value="/TexecomEvent/EventNumber"/></messageType>
      <rules><message number="1" value="1"><param reference="1" value="130">
        <action type="event" value="Burglary"/></param></message></rules>
    </kslXmlMapper></root>)");
  ASSERT_NO_FATAL_FAILURE(Connect("long.xml", "Heron"));
  ASSERT_TRUE(stream_->Send("24721181130000020\r\n"));
  ASSERT_TRUE(host_.WaitForCount(Kind::kEvent, 1));
  EXPECT_EQ(host_.Texts(Kind::kEvent).at(0), "Burglary");
}

TEST_F(PluginSessionTest, HeronWithoutEventTableDoesNotOpen) {
  EXPECT_FALSE(Open("examples/contact-id-tcp/contact-id.xml", "Heron"));
  EXPECT_EQ(host_.LogCount("korvane::CHeron::Open: Unable to load ContactID.xml"), 1u);
  EXPECT_EQ(host_.LogCount("korvane::CDataValidator::LoadCustomValidator: Cannot open custom data validator"), 1u);
  EXPECT_EQ(host_.LogCount("Unable to initialize data validator"), 1u);
  EXPECT_FALSE(Loaded(Dir() / "Heron.so"));
}

TEST_F(PluginSessionTest, PluginWithoutReleaseExportDoesNotOpen) {
  UseShippedEventTable();
  EXPECT_FALSE(Open("examples/contact-id-tcp/contact-id.xml", "HeronNoRelease"));
  EXPECT_EQ(host_.LogCount("Could not find function 'ReleaseDriver' from DLL HeronNoRelease.so"), 1u);
  EXPECT_EQ(host_.LogCount("Unable to open driver - exception is occurred"), 1u);
  EXPECT_FALSE(Loaded(Dir() / "HeronNoRelease.so"));
}

TEST_F(PluginSessionTest, LibrariesExportOnlyTheContract) {
  for (const char* name : {"Heron.so", "Plover.so"}) {
    void* module = dlopen((Dir() / name).c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto create = reinterpret_cast<CreateValidatorFn>(dlsym(module, "CreateDriver"));
    auto release = reinterpret_cast<ReleaseValidatorFn>(dlsym(module, "ReleaseDriver"));
    auto version = reinterpret_cast<ProductVersionFn>(dlsym(module, "KestrelProductVersion"));
    ASSERT_NE(create, nullptr);
    ASSERT_NE(release, nullptr);
    ASSERT_NE(version, nullptr);
    EXPECT_STRNE(version(), "");
    // The shared support code stays inside: a host's own copy cannot be bound in its place.
    EXPECT_EQ(dlsym(module, "_ZN7korvane10CXMLParser7LoadXmlERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"),
              nullptr);

    IKSLDataValidatorAPI* plugin = create();
    ASSERT_NE(plugin, nullptr);
    EXPECT_TRUE(release(&plugin));
    EXPECT_EQ(plugin, nullptr);
    EXPECT_FALSE(release(&plugin));
    EXPECT_FALSE(release(nullptr));
    dlclose(module);
  }
}

}  // namespace
}  // namespace korvane::testing
