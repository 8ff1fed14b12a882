// Sparrow's rule types: asked of a real web server (lighttpd) with Basic and
// Digest authentication, read from "Sparrow.xml" and the device settings file,
// and a device that does not answer asked again only every 30 s.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "plugins/sparrow/vca_rule_discovery.h"
#include "tests/plugins/plugin_test_util.h"
#include "tests/support/manual_clock.h"
#include "tests/support/program_peers.h"
#include "tests/support/socket_peers.h"

namespace korvane::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kRuleFile = "nvc-cgi/admin/vca.cgi";
const std::string kRuleList =
    "VCA.Ch0.enable=yes\r\nVCA.Ch0.nbrofrule=3\r\nVCA.Ch0.Rl0.type=counter\r\nVCA.Ch0.Rl1.type=\r\n"
    "VCA.Ch0.Rl2.type=direction\r\nXML.Meta.version=2.0\r\n";

class SparrowRulesTest : public PluginTest {
 protected:
  void Serve(std::vector<std::pair<std::string, std::string>> files, const std::string& method = "") {
    Lighttpd::Options options;
    options.files = std::move(files);
    if (!method.empty()) options.protectedPaths.push_back({"/nvc-cgi/", method});
    if (!server_.Start(options)) GTEST_SKIP() << server_.Error();
  }
  DeviceEndpoint Device(std::string password = Lighttpd::kPassword) const {
    return DeviceEndpoint{"127.0.0.1", server_.Port(), Lighttpd::kUser, std::move(password)};
  }

  Lighttpd server_;
  ManualClock clock_;
  RecordingUser user_;
};

TEST_F(SparrowRulesTest, RuleListOverBasicAndDigest) {
  for (const std::string method : {"basic", "digest"}) {
    SCOPED_TRACE(method);
    Serve({{kRuleFile, kRuleList}}, method);
    if (IsSkipped()) return;
    CVcaRuleDiscovery rules(Device(), &user_, clock_);
    EXPECT_EQ(rules.Lookup("0"), "counter");
    EXPECT_EQ(rules.Lookup("1"), "unknown");  // an empty type is no entry
    EXPECT_EQ(rules.Lookup(" 2 "), "direction");
    EXPECT_EQ(rules.Lookup("two"), "unknown");
    EXPECT_EQ(rules.Table().size(), 2u);
    EXPECT_TRUE(user_.lines.empty());

    CVcaRuleDiscovery refused(Device("wrong"), &user_, clock_);
    EXPECT_EQ(refused.Lookup("0"), "unknown");
    EXPECT_TRUE(user_.Contains("401", true)) << (user_.lines.empty() ? "" : user_.lines[0].text);
    user_.lines.clear();
    server_.Stop();
  }
}

TEST_F(SparrowRulesTest, AFailingDeviceIsAskedAtMostEveryHalfMinute) {
  Serve({{"other.txt", "x"}});  // the rule list is missing: 404
  if (IsSkipped()) return;
  CVcaRuleDiscovery rules(Device(), &user_, clock_);
  EXPECT_EQ(rules.Lookup("0"), "unknown");
  EXPECT_EQ(rules.Lookup("0"), "unknown");
  clock_.Advance(29s);
  EXPECT_EQ(rules.Lookup("0"), "unknown");
  clock_.Advance(1s);
  EXPECT_EQ(rules.Lookup("0"), "unknown");
  EXPECT_EQ(rules.Lookup("0"), "unknown");
  EXPECT_EQ(server_.StopAndListRequests().size(), 2u);
  // One line for the whole streak of failures.
  ASSERT_EQ(user_.lines.size(), 1u);
  EXPECT_NE(user_.lines[0].text.find("status 404"), std::string::npos) << user_.lines[0].text;
}

TEST_F(SparrowRulesTest, PortFromTheConfigurationFile) {
  Serve({{kRuleFile, kRuleList}});
  if (IsSkipped()) return;
  DeviceEndpoint device = Device();
  const int32_t served = device.port;
  device.port = 9;  // nothing answers there
  WriteFile("Sparrow.xml",
            "<UDP><Configuration><HTTPPort>" + std::to_string(served) + "</HTTPPort></Configuration></UDP>");
  CVcaRuleDiscovery rules(device, &user_, clock_);
  EXPECT_EQ(rules.Lookup("0"), "counter");

  // 0 keeps the endpoint's port.
  WriteFile("Sparrow.xml", "<UDP><Configuration><HTTPPort>0</HTTPPort></Configuration></UDP>");
  device.port = served;
  CVcaRuleDiscovery zero(device, &user_, clock_);
  EXPECT_EQ(zero.Lookup("0"), "counter");
}

TEST_F(SparrowRulesTest, OversizedAnswersAreRefused) {
  Serve({{kRuleFile, "VCA.Ch0.nbrofrule=1\r\nVCA.Ch0.Rl0.type=" +
                         std::string(CVcaRuleDiscovery::kMaxRuleListBytes, 'a') + "\r\n"}});
  if (IsSkipped()) return;
  CVcaRuleDiscovery rules(Device(), &user_, clock_);
  EXPECT_EQ(rules.Lookup("0"), "unknown");
  EXPECT_TRUE(user_.Contains("more than", true));
}

TEST_F(SparrowRulesTest, AnswersNoDeviceGives) {
  struct Case {
    const char* what;
    std::string answer, filler;
  };
  const Case cases[] = {
      {"redirect to itself",
       "HTTP/1.1 302 Found\r\nLocation: /nvc-cgi/admin/vca.cgi?action=list\r\nContent-Length: 0\r\n\r\n", ""},
      {"no HTTP at all", "VCA.Ch0.nbrofrule=1\r\nVCA.Ch0.Rl0.type=counter\r\n\r\n", ""},
      {"endless body", "HTTP/1.1 200 OK\r\n\r\nVCA.Ch0.nbrofrule=1\r\nVCA.Ch0.Rl0.type=", std::string(4096, 'a')},
  };
  // The endless body is cut off at the size limit (the clock stands still, so no deadline would end it).
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RawHttpServer device;
    ASSERT_TRUE(device.Start(c.answer, c.filler));
    CVcaRuleDiscovery rules(DeviceEndpoint{"127.0.0.1", device.Port(), "", ""}, &user_, clock_);
    EXPECT_EQ(rules.Lookup("0"), "unknown");
    EXPECT_TRUE(rules.Table().empty());
    if (c.filler.empty() && c.answer.find("302") != std::string::npos) {
      EXPECT_EQ(device.Connections(), 1u);  // a redirect is not followed
    }
  }
  // Nobody listening.
  CVcaRuleDiscovery dead(DeviceEndpoint{"127.0.0.1", UnusedTcpPort(), "", ""}, &user_, clock_);
  EXPECT_EQ(dead.Lookup("0"), "unknown");
  EXPECT_EQ(user_.lines.size(), 4u);
}

TEST(SparrowRuleListTest, ReadsTheTypesOfTheCountedRules) {
  RuleTypeTable table;
  // Bare line feeds end lines too; names are trimmed; only canonical indices below the count.
  ASSERT_TRUE(CVcaRuleDiscovery::ReadRuleList(
      " VCA.Ch0.nbrofrule =2\nVCA.Ch0.Rl0.type=zone\nVCA.Ch0.Rl0.type=later\r\nVCA.Ch0.Rl01.type=x\r\n"
      "VCA.Ch0.Rl2.type=beyond\r\nVCA.Ch0.Rl1.type=line counter",
      table));
  EXPECT_EQ(table, (RuleTypeTable{{0, "zone"}, {1, "line counter"}}));
  table.clear();
  EXPECT_FALSE(CVcaRuleDiscovery::ReadRuleList("VCA.Ch0.Rl0.type=zone\r\n", table));
  EXPECT_FALSE(CVcaRuleDiscovery::ReadRuleList("VCA.Ch0.nbrofrule=many\r\nVCA.Ch0.Rl0.type=zone\r\n", table));
  // A count far beyond the lines costs nothing.
  EXPECT_TRUE(CVcaRuleDiscovery::ReadRuleList("VCA.Ch0.nbrofrule=2147483647\r\nVCA.Ch0.Rl5.type=zone\r\n", table));
  EXPECT_EQ(table, (RuleTypeTable{{5, "zone"}}));
}

TEST_F(SparrowRulesTest, FromFilesWhenTheDeviceHasNoAddress) {
  WriteFile("Sparrow.xml",
            "<UDP><Configuration file=\"device.xml\"><Rules><Rule type=\"5\">counter</Rule>"
            "<Rule type=\"abc\">odd</Rule><Rule type=\"7\">tamper</Rule></Rules></Configuration></UDP>");
  WriteFile("device.xml",
            "<Root><VCASetting><Engine><RuleSettings><Rule Id=\"3\" Type=\"5\"/><Rule Id=\"4\" Type=\"9\"/>"
            "<Rule Id=\"6\" Type=\"abc\"/></RuleSettings></Engine></VCASetting></Root>");
  CVcaRuleDiscovery rules(DeviceEndpoint{}, &user_, clock_);
  EXPECT_EQ(rules.Lookup("3"), "counter");
  EXPECT_EQ(rules.Lookup("4"), "unknown");
  EXPECT_EQ(rules.Lookup("6"), "odd");
  EXPECT_TRUE(user_.lines.empty());

  // A rule without a Type spoils the pairing: nothing loads.
  WriteFile("device.xml",
            "<Root><VCASetting><Engine><RuleSettings><Rule Id=\"3\" Type=\"5\"/><Rule Id=\"4\"/>"
            "</RuleSettings></Engine></VCASetting></Root>");
  CVcaRuleDiscovery unpaired(DeviceEndpoint{}, &user_, clock_);
  EXPECT_EQ(unpaired.Lookup("3"), "unknown");
  EXPECT_TRUE(user_.Contains("do not all carry", true));
}

}  // namespace
}  // namespace korvane::testing
