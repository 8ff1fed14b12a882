#include "driver/channels/proxy_config_provider.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "driver/support/xml_parser.h"
#include "tests/support/recording_debug.h"
#include "tests/support/scoped_host_directory.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using testing::ScopedHostDirectory;

constexpr const char* kFile = "KSLProxyConfig.xml";

// A host directory of its own with a fresh proxy file, set through KESTREL_HOST_DIR.
class ProxyConfigProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hostDir_.emplace("kestrel_proxy");
    ASSERT_TRUE(hostDir_->Valid());
    dir_ = hostDir_->Path();
    Write("<root><ProxyConfiguration/></root>");
  }
  void TearDown() override { hostDir_.reset(); }

  void Write(const std::string& text) { std::ofstream(dir_ / kFile) << text; }
  std::string Read() const {
    std::ifstream in(dir_ / kFile);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // The devices as saved, without the XML declaration.
  std::string Devices() const {
    const std::string text = Read();
    const size_t begin = text.find("<ProxyConfiguration");
    const size_t end = text.rfind("</root>");
    return begin == std::string::npos || end == std::string::npos ? text : text.substr(begin, end - begin);
  }

  static ProxySettings Device(uint16_t incomingPort, std::string password = "secret") {
    ProxySettings entry;
    entry.service = "AgentViProxy";
    entry.incomingPort = incomingPort;
    entry.address = "10.0.0.5";
    entry.port = 8080;
    entry.user = "admin";
    entry.password = std::move(password);
    return entry;
  }

  std::optional<ScopedHostDirectory> hostDir_;
  fs::path dir_;
};

TEST_F(ProxyConfigProviderTest, InstancesShareADeviceUntilTheLastDestinationIsRemoved) {
  CProxyConfigProvider provider(kFile);
  EXPECT_TRUE(provider.AddProxy(Device(9000)));
  EXPECT_TRUE(provider.AddProxy(Device(9001)));
  EXPECT_TRUE(provider.AddProxy(Device(9001)));  // registering again changes nothing
  const std::string device = "<AgentViProxy address=\"10.0.0.5\" port=\"8080\" user=\"admin\" password=\"secret\">";
  EXPECT_EQ(Devices(),
            "<ProxyConfiguration>" + device +
                "<Destination port=\"9000\"/><Destination port=\"9001\"/></AgentViProxy></ProxyConfiguration>");

  EXPECT_TRUE(provider.RemoveProxy(Device(9000)));
  EXPECT_EQ(Devices(),
            "<ProxyConfiguration>" + device + "<Destination port=\"9001\"/></AgentViProxy></ProxyConfiguration>");
  EXPECT_FALSE(provider.RemoveProxy(Device(9000)));
  EXPECT_TRUE(provider.RemoveProxy(Device(9001)));
  EXPECT_EQ(Devices(), "<ProxyConfiguration/>");
}

TEST_F(ProxyConfigProviderTest, QuotesInCredentialsNeitherBreakNorCrossRegistrations) {
  CProxyConfigProvider provider(kFile);
  const std::string tricky = "it's \"quoted\" & <odd>] or @port=\"1\"";
  EXPECT_TRUE(provider.AddProxy(Device(9000, tricky)));
  EXPECT_TRUE(provider.AddProxy(Device(9001, "plain")));
  CXMLParser parser;
  ASSERT_TRUE(parser.LoadXml(Read()));
  const auto devices = parser.SelectNodes("root/ProxyConfiguration/AgentViProxy");
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(parser.GetNodeAttributeW(devices[0], "password"), tricky);

  EXPECT_FALSE(provider.RemoveProxy(Device(9001, tricky))) << "another device's destination";
  EXPECT_TRUE(provider.RemoveProxy(Device(9000, tricky)));
  EXPECT_EQ(Devices(),
            "<ProxyConfiguration><AgentViProxy address=\"10.0.0.5\" port=\"8080\" user=\"admin\" "
            "password=\"plain\"><Destination port=\"9001\"/></AgentViProxy></ProxyConfiguration>");
}

TEST_F(ProxyConfigProviderTest, IntrepidDeviceCarriesItsSlaveAddressInAttributeOrder) {
  ProxySettings entry;
  entry.service = "IntrepidProxy";
  entry.incomingPort = 9100;
  entry.address = "192.168.1.9";
  entry.port = 4000;
  entry.slaveAddress = 3;
  CProxyConfigProvider provider(kFile);
  EXPECT_TRUE(provider.AddIntrepidProxy(entry));
  EXPECT_EQ(Devices(),
            "<ProxyConfiguration><IntrepidProxy address=\"192.168.1.9\" port=\"4000\" slaveaddress=\"3\" user=\"\" "
            "password=\"\"><Destination port=\"9100\"/></IntrepidProxy></ProxyConfiguration>");
  entry.slaveAddress = 4;
  EXPECT_FALSE(provider.RemoveIntrepidProxy(entry));
  entry.slaveAddress = 3;
  EXPECT_TRUE(provider.RemoveIntrepidProxy(entry));
  EXPECT_EQ(Devices(), "<ProxyConfiguration/>");
}

TEST_F(ProxyConfigProviderTest, MissingFileOrEmptyEntryChangesNothing) {
  CProxyConfigProvider provider(kFile);
  EXPECT_FALSE(provider.RemoveProxy(ProxySettings{}));
  EXPECT_FALSE(provider.AddProxy(ProxySettings{}));
  fs::remove(dir_ / kFile);
  EXPECT_FALSE(provider.AddProxy(Device(9000)));
  EXPECT_FALSE(fs::exists(dir_ / kFile)) << "the file is never created";
}

// A write cut short (here by a file-size limit, as a full disk would) must
// neither truncate the other registrations nor be reported as a success.
TEST_F(ProxyConfigProviderTest, AFailedWriteKeepsTheOldFileAndFailsTheRegistration) {
  CProxyConfigProvider provider(kFile);
  ASSERT_TRUE(provider.AddProxy(Device(9000)));
  const std::string before = Read();
  // The first limit stops the copy of the old file, the second the new content.
  for (const rlim_t limit : {rlim_t{16}, static_cast<rlim_t>(before.size())}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
      const rlimit fileSize{limit, limit};
      setrlimit(RLIMIT_FSIZE, &fileSize);
      testing::RecordingDebug debug;
      CProxyConfigProvider limited(kFile, {}, &debug);
      const bool refused = !limited.AddProxy(Device(9001));
      _exit(refused && debug.Contains("Unable to update the proxy configuration file") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "limit " << limit;
    EXPECT_EQ(Read(), before) << "limit " << limit;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1) << "no copy left behind";
  }
  EXPECT_TRUE(provider.AddProxy(Device(9001)));
  EXPECT_NE(Read().find("<Destination port=\"9001\"/>"), std::string::npos);
}

}  // namespace
}  // namespace korvane
