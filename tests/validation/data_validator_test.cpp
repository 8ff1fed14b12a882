#include "driver/validation/data_validator.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "driver/support/string_utils.h"
#include "driver/validation/dll_version.h"
#include "tests/support/manual_clock.h"
#include "tests/support/watchdog.h"
#include "tests/validation/validation_test_util.h"

namespace korvane::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using ::testing::ElementsAre;

// Lines like "SALE LANE 3 TOTAL 250"; a sale over 100 on lanes 1 to 4 is an event.
std::string SaleConfig(const std::string& validation = "SALE .*", const std::string& event = "Large sale",
                       const std::string& tag = "Sale") {
  return R"(<?xml version="1.0"?>
<root>
  <validation><regex value=")" +
         validation + R"("/></validation>
  <kslXmlMapper version="2">
    <messageType parsing="regex">
      <message number="1" value="Sale">
        <param number="1" value='TOTAL ([0-9]+)' group="1"/>
        <param number="2" value='LANE ([0-9]+)' group="1"/>
        <param number="3" value="NOTE (.*)$" group="1"/>
      </message>
    </messageType>
    <constants><array name="LANE"><min>1</min><max>4</max></array></constants>
    <rules>
      <message number="1" value="Sale" handleParameters="all">
        <param reference="2" value="LANE" type="integer">
          <and reference="1" operator="gt" value="100"/>
          <action type="event" value=")" +
         event + R"( on lane LANE"/>
          <searchtag value=")" +
         tag + R"("/>
        </param>
        <param reference="3" value="a &lt;b&gt; &amp; &quot;c&quot;"><action type="event" value="Noted"/></param>
      </message>
    </rules>
  </kslXmlMapper>
</root>)";
}

constexpr const char* kOrderSchema = R"(<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" targetNamespace="urn:kestrel:order"
           xmlns="urn:kestrel:order" elementFormDefault="qualified">
  <xs:element name="order">
    <xs:complexType>
      <xs:sequence><xs:element name="amount" type="xs:int"/><xs:element name="note" type="xs:string"/></xs:sequence>
      <xs:attribute name="lane" type="xs:int" use="required"/>
    </xs:complexType>
  </xs:element>
</xs:schema>
)";

constexpr const char* kOrderConfig = R"(<?xml version="1.0"?>
<root>
  <validation><xsd value="order.xsd"/></validation>
  <kslXmlMapper version="2">
    <messageType><message></message>
      <param value="/*[local-name()='order']/*[local-name()='amount']"/>
      <param value="/*[local-name()='order']/@lane"/>
      <param value="/*[local-name()='order']/*[local-name()='note']"/></messageType>
    <rules>
      <message number="1" value="order" handleParameters="all">
        <param reference="1" operator="ge" value="100"><action type="event" value="Big order"/></param>
        <param reference="3" value="Tom &amp; &quot;Jerry&quot; &lt;3"><action type="event" value="Quoted"/></param>
      </message>
    </rules>
  </kslXmlMapper>
</root>)";

class DataValidatorTest : public ValidationTest {
 protected:
  std::unique_ptr<CDataValidator> Make(int32_t type, const std::string& config, bool legacy = false,
                                       const std::string& plugin = "") {
    WriteFile("config.xml", config);
    auto validator = std::make_unique<CDataValidator>(driver, debug, clock, milliseconds(300));
    if (!validator->Initialize(type, "config.xml", plugin, legacy)) return nullptr;
    return validator;
  }
  bool Validate(CDataValidator& validator, const std::string& data, std::string* errorOut = nullptr) {
    Block block(data);
    std::string error;
    const bool ok = validator.ValidateData(error, block.record);
    if (errorOut != nullptr) *errorOut = error;
    return ok;
  }
  std::vector<std::string> Events() { return driver.host.Texts(Kind::kEvent); }
  /// Moves the manual clock on by `step` (at least one tick) while the timer
  /// thread waits, and returns once the thread has handled that tick.
  void AdvanceTimer(std::chrono::nanoseconds step) {
    // The timer thread is the only user of the clock; each wait starts after it looked at the pending list.
    ASSERT_TRUE(clock.WaitForWaits(1)) << "the timer thread does not run";
    const uint64_t waits = clock.Waits();
    clock.Advance(step);
    ASSERT_TRUE(clock.WaitForWaits(waits + 1)) << "the timer thread did not tick";
  }

  ManualClock clock;
};

TEST_F(DataValidatorTest, TextPathValidatesParsesAndMaps) {
  auto validator = Make(kValidationText, SaleConfig());
  ASSERT_NE(validator, nullptr);
  ASSERT_TRUE(Validate(*validator, "SALE LANE 3 TOTAL 250"));
  ASSERT_TRUE(Validate(*validator, "SALE LANE 3 TOTAL 50"));
  // The channel escapes the line; the rule compares the device's own characters.
  ASSERT_TRUE(Validate(*validator, "SALE LANE 9 TOTAL 1 NOTE a &lt;b&gt; &amp; &quot;c&quot;"));
  EXPECT_THAT(Events(), ElementsAre("Large sale on lane 3", "Noted"));
  const auto events = driver.host.Calls(Kind::kEvent);
  EXPECT_EQ(events[0].number, 3);
  EXPECT_EQ(events[0].encoding, "utf-8");
  // Under each of the four "Sale" entries the expanded rule registered.
  ASSERT_EQ(events[0].tags.size(), 4u);
  EXPECT_EQ(events[0].tags[3].id, 4);
  EXPECT_EQ(events[0].tags[3].text, "Large sale on lane 3");

  // A line that does not match the validation expression vanishes without a failure or a log line.
  std::string error;
  EXPECT_TRUE(Validate(*validator, "REFUND LANE 3 TOTAL 250", &error));
  EXPECT_EQ(driver.host.Calls().size(), 2u);
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(DataValidatorTest, ConfigurationIsOneSnapshotKeptUntilAChangedFileLoads) {
  auto validator = Make(kValidationText, SaleConfig());
  ASSERT_NE(validator, nullptr);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Validate(*validator, "SALE LANE 1 TOTAL 500"));
  EXPECT_EQ(validator->ConfigurationLoadCount(), 1u);

  // A new expression and new rules: the next block is validated and mapped by the new version.
  WriteFile("config.xml", SaleConfig("SALE LANE 2.*", "Huge sale"));
  ASSERT_TRUE(Validate(*validator, "SALE LANE 1 TOTAL 500"));
  ASSERT_TRUE(Validate(*validator, "SALE LANE 2 TOTAL 500"));
  EXPECT_EQ(validator->ConfigurationLoadCount(), 2u);
  EXPECT_EQ(Events().size(), 6u);
  EXPECT_EQ(Events().back(), "Huge sale on lane 2");
  // New names follow the ones the host has seen, whose numbers stay; reading a version again adds nothing.
  const auto names = driver.EventNames();
  ASSERT_EQ(names.size(), 9u);
  EXPECT_EQ(names[1], "Large sale on lane 2");
  EXPECT_EQ(names[6], "Huge sale on lane 2");
  EXPECT_EQ(driver.host.Calls(Kind::kEvent).back().number, 7);
  WriteFile("config.xml", SaleConfig("SALE LANE 2.*", "Huge sale", "Amount"));
  ASSERT_TRUE(Validate(*validator, "SALE LANE 2 TOTAL 500"));
  EXPECT_EQ(driver.EventNames().size(), 9u);
  EXPECT_EQ(driver.SearchTagNames(), (std::vector<std::string>{"Sale", "Sale", "Sale", "Sale"}))
      << "the host reads the search-tag list while data flows; it does not grow";
  EXPECT_EQ(debug.Count("Search tag 'Amount' of the changed configuration file is unknown to the host"), 1u);

  // A half-written file, then no file at all: blocks go on with the last version that loaded, said once.
  const std::string good = SaleConfig();
  WriteFile("config.xml", good.substr(0, good.size() / 2));
  ASSERT_TRUE(Validate(*validator, "SALE LANE 2 TOTAL 500"));
  std::filesystem::remove(Dir() / "config.xml");
  ASSERT_TRUE(Validate(*validator, "SALE LANE 2 TOTAL 500"));
  ASSERT_TRUE(Validate(*validator, "SALE LANE 2 TOTAL 500"));
  EXPECT_EQ(Events().size(), 10u);
  EXPECT_EQ(Events().back(), "Huge sale on lane 2");
  const size_t loads = validator->ConfigurationLoadCount();
  ASSERT_TRUE(Validate(*validator, "SALE LANE 2 TOTAL 500"));
  EXPECT_EQ(validator->ConfigurationLoadCount(), loads) << "a version that failed is not read for every block";
  const std::string reloadFailed = "korvane::CConfigurationSource::Current: Unable to reload the changed XML";
  ASSERT_EQ(debug.Count(reloadFailed), 1u);
  for (const LogLine& line : debug.Lines()) {
    if (line.text.find(reloadFailed) != std::string::npos) {
      EXPECT_EQ(line.level, kLogError);
    }
  }
  WriteFile("config.xml", good);
  ASSERT_TRUE(Validate(*validator, "SALE LANE 2 TOTAL 500"));
  EXPECT_EQ(Events().back(), "Large sale on lane 2");
  EXPECT_TRUE(debug.Contains("The changed XML configuration file is loaded"));
}

TEST_F(DataValidatorTest, InPlaceRewritesDuringAFloodLoseNoMessage) {
  WriteFile("config.xml", SaleConfig());
  // The real clock: whether a file has rested is judged against the time the file system writes.
  CDataValidator validator(driver, debug, SystemClock());
  ASSERT_TRUE(validator.Initialize(kValidationText, "config.xml", "", false));
  // Two versions, rewritten in place as an editor would; each write leaves a half-written file for a moment.
  const std::string versions[] = {SaleConfig(), SaleConfig("SALE .*", "Big sale")};
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; i < 60; ++i) {
      const std::string& text = versions[i % 2];
      std::ofstream file(Dir() / "config.xml", std::ios::binary | std::ios::trunc);
      file << text.substr(0, text.size() / 2) << std::flush << text.substr(text.size() / 2);
    }
    writing = false;
  });
  int sent = 0;
  while (writing || sent < 200) {
    std::string error;
    EXPECT_TRUE(Validate(validator, "SALE LANE 1 TOTAL 500", &error)) << error;
    ++sent;
  }
  writer.join();
  EXPECT_EQ(Events().size(), static_cast<size_t>(sent)) << "every block mapped by one version or the other";

  // Once the file rests, the last version written is the one in use.
  const auto deadline = std::chrono::steady_clock::now() + seconds(3);
  while (Events().back() != "Big sale on lane 1" && std::chrono::steady_clock::now() < deadline) {
    ASSERT_TRUE(Validate(validator, "SALE LANE 1 TOTAL 500"));
  }
  EXPECT_EQ(Events().back(), "Big sale on lane 1");
  EXPECT_EQ(driver.EventNames().size(), 9u);
}

TEST_F(DataValidatorTest, BadExpressionsAreLoggedOnceAtLoadAndNeverCrash) {
  auto validator = Make(kValidationText, SaleConfig("SALE \\(unclosed"));
  ASSERT_NE(validator, nullptr);
  // Said when the configuration loads, with where boost.regex found the fault; lines are then dropped silently.
  EXPECT_EQ(debug.Count("Initialize: Invalid validation expression 'SALE \\(unclosed': "), 1u);
  EXPECT_TRUE(debug.Contains("at position "));
  std::string error;
  EXPECT_TRUE(Validate(*validator, "SALE LANE 1 TOTAL 500", &error)) << error;
  EXPECT_TRUE(Validate(*validator, "SALE LANE 2 TOTAL 500", &error)) << error;
  EXPECT_EQ(debug.Count("Invalid validation expression"), 1u);
  EXPECT_TRUE(Events().empty());

  // A catastrophic expression on a long line is answered, not cut off: no match, dropped silently.
  WriteFile("config.xml", SaleConfig("\\(x*\\)*\\(x*\\)*y"));
  EXPECT_TRUE(Validate(*validator, std::string(100000, 'x'), &error)) << error;
  EXPECT_TRUE(Events().empty());
  // Back-references stay with boost.regex, whose limit still fails the block.
  WriteFile("config.xml", SaleConfig("\\(x*\\)*\\1\\(x*\\)*y"));
  EXPECT_FALSE(Validate(*validator, std::string(40, 'x'), &error));
  EXPECT_NE(error.find("could not be matched"), std::string::npos) << error;

  // A parameter expression: once for the changed file, not per line.
  std::string broken = SaleConfig();
  broken.replace(broken.find("TOTAL ([0-9]+)"), 14, "TOTAL ([0-9]+");
  WriteFile("config.xml", broken);
  EXPECT_TRUE(Validate(*validator, "SALE LANE 1 TOTAL 500", &error)) << error;
  EXPECT_TRUE(Validate(*validator, "SALE LANE 1 TOTAL 500", &error)) << error;
  EXPECT_EQ(debug.Count("Invalid expression 'TOTAL ([0-9]+' of message 1 parameter 1: "), 1u);
  EXPECT_TRUE(Events().empty());
  // An edit elsewhere in the file leaves the same expression broken: nothing new to say.
  broken.replace(broken.find("Large sale"), 10, "Great sale");
  WriteFile("config.xml", broken);
  EXPECT_TRUE(Validate(*validator, "SALE LANE 1 TOTAL 500", &error)) << error;
  EXPECT_EQ(debug.Count("Invalid expression 'TOTAL ([0-9]+'"), 1u);
  const std::vector<std::string> names = driver.EventNames();
  EXPECT_NE(std::find(names.begin(), names.end(), "Great sale on lane 1"), names.end()) << "the edit was not loaded";
}

// XPaths of the XML paths compile when the configuration loads.
TEST_F(DataValidatorTest, BrokenMessageTypeXPathIsLoggedAtLoadWithItsPosition) {
  auto validator = Make(kValidationXsd, R"(<root><kslXmlMapper version="2">
    <messageType><message>/alarm/type</message><param value="/alarm/[zone"/><param value="/alarm/state"/></messageType>
    <rules><message number="1" value="fire"><param reference="2" value="on"><action type="event" value="Fire"/></param>
    </message></rules></kslXmlMapper></root>)");
  ASSERT_NE(validator, nullptr);
  EXPECT_EQ(debug.Count("Initialize: Invalid XPath '/alarm/[zone' of the message type parameter 1: "), 1u);
  EXPECT_EQ(debug.Count("Invalid XPath"), 1u);
  EXPECT_TRUE(debug.Contains("at position "));
  EXPECT_TRUE(Validate(*validator, "<alarm><type>fire</type><state>on</state></alarm>"));
  EXPECT_THAT(Events(), ElementsAre("Fire"));
}

TEST_F(DataValidatorTest, UnsupportedTypesAndMissingConfigurationAreReported) {
  std::string config = SaleConfig();
  config.replace(config.find("</messageType>"), 0, "<param value=\"/x\"/>");
  auto binary = Make(kValidationBinary, config);
  ASSERT_NE(binary, nullptr);
  std::string error;
  EXPECT_FALSE(Validate(*binary, "SALE", &error));
  EXPECT_EQ(error, "korvane::CDataValidator::ValidateData: Unsupported type of validation");

  CDataValidator unconfigured(driver, debug);
  EXPECT_FALSE(unconfigured.Initialize(kValidationText, "nowhere.xml", "", false));
  EXPECT_TRUE(debug.Contains("korvane::CMapper::Initialize: Unable to initialize XML parser"));
  EXPECT_EQ(unconfigured.GetMapper(), nullptr);
}

TEST_F(DataValidatorTest, SchemaAndPluginThatAreNotRegularFilesAreRefusedWithALogLine) {
  Watchdog watchdog(seconds(5), "initialising with a FIFO as schema and as plug-in");
  ASSERT_EQ(mkfifo((Dir() / "order.xsd").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((Dir() / "Pipe.so").c_str(), 0600), 0);
  auto validator = Make(kValidationXsd, kOrderConfig);
  ASSERT_NE(validator, nullptr);
  const auto lines = debug.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().text,
            "korvane::CDataValidator::Initialize: Unable to load XML schema: 'order.xsd' is not a regular file");
  EXPECT_EQ(lines.back().level, kLogError);
  std::string error;
  EXPECT_FALSE(Validate(*validator, XmlEscape(R"(<order xmlns="urn:kestrel:order" lane="3"/>)"), &error));
  EXPECT_EQ(error, "korvane::CXMLParser::XSDValidateW: Cannot add schema (HRESULT = 0x80004005)");

  CDataValidator custom(driver, debug);
  EXPECT_FALSE(custom.Initialize(kValidationCustom, "config.xml", "Pipe", false));
  EXPECT_TRUE(debug.Contains("Pipe.so\" : 'not a regular file'"));
}

TEST_F(DataValidatorTest, XsdPathValidatesAndKeepsMarkupInValues) {
  WriteFile("order.xsd", kOrderSchema);
  auto validator = Make(kValidationXsd, kOrderConfig);
  ASSERT_NE(validator, nullptr);
  // Blocks arrive escaped by the channel, as every block of a non-custom type does.
  ASSERT_TRUE(Validate(*validator, XmlEscape(R"(<order xmlns="urn:kestrel:order" lane="3"><amount>250</amount>)"
                                             R"(<note>Tom &amp; "Jerry" &lt;3</note></order>)")));
  EXPECT_THAT(Events(), ElementsAre("Big order", "Quoted"));

  std::string error;
  EXPECT_FALSE(Validate(*validator,
                        XmlEscape(R"(<order xmlns="urn:kestrel:order" lane="3"><amount>lots</amount><note/></order>)"),
                        &error));
  EXPECT_NE(error.find("korvane::CXMLParser::XSDValidateW"), std::string::npos) << error;
  EXPECT_FALSE(Validate(*validator, XmlEscape("<order"), &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(Events().size(), 2u);

  // An edited schema applies from the next block on, although the configuration file is unchanged.
  std::string stricter = kOrderSchema;
  stricter.replace(stricter.find("xs:int\"/><xs:element name=\"note\""), 6, "xs:byte");
  WriteFile("order.xsd", stricter);
  EXPECT_FALSE(Validate(*validator,
                        XmlEscape(R"(<order xmlns="urn:kestrel:order" lane="3"><amount>250</amount>)"
                                  R"(<note/></order>)"),
                        &error));
  EXPECT_NE(error.find("amount"), std::string::npos) << error;
}

TEST_F(DataValidatorTest, XsdPathMapsTheDocumentAndShowsTheBlockAsDelivered) {
  auto validator = Make(kValidationXsd, R"(<root><validation><xsd value=""/></validation>
  <kslXmlMapper version="2"><messageType><message></message><param value="/korvanemetadata/event"/></messageType>
    <rules><message number="1" value="korvanemetadata" alwaysShowText="yes">
      <param reference="1" value="motion"><action type="metadata" metadatatype="xml"/></param>
    </message></rules></kslXmlMapper></root>)");
  ASSERT_NE(validator, nullptr);
  const std::string document = R"(<korvanemetadata><video c="3"/><event>motion</event></korvanemetadata>)";
  const std::string delivered = XmlEscape(document);  // as every channel delivers a block for this type
  ASSERT_TRUE(Validate(*validator, delivered));
  ASSERT_EQ(driver.host.Texts(Kind::kData), std::vector<std::string>{delivered});
  const auto metadata = driver.host.Calls(Kind::kMetadata);
  ASSERT_EQ(metadata.size(), 1u);
  EXPECT_EQ(metadata[0].text, document);
  EXPECT_EQ(metadata[0].channel, 2) << "video channel 3 learned from the document";
  EXPECT_EQ(metadata[0].format, 0);
}

TEST_F(DataValidatorTest, EndEventsFollowAfterTheDelay) {
  driver.SetEndEventSeconds(5);
  auto validator = Make(kValidationText, SaleConfig());
  ASSERT_NE(validator, nullptr);
  EXPECT_TRUE(debug.Contains("korvane::CDataValidator::StartTimer: Timer thread started OK"));
  ASSERT_TRUE(Validate(*validator, "SALE LANE 2 TOTAL 250"));
  ASSERT_EQ(driver.host.Count(Kind::kEvent), 1u);
  EXPECT_EQ(validator->PendingEndEventCount(), 1u);

  AdvanceTimer(milliseconds(4900));
  EXPECT_EQ(driver.host.Count(Kind::kEvent), 1u);
  // Due at 5 s; found by the tick that follows, 300 ms at most later.
  AdvanceTimer(milliseconds(400));
  ASSERT_EQ(driver.host.Count(Kind::kEvent), 2u);
  const auto events = driver.host.Calls(Kind::kEvent);
  EXPECT_EQ(events[1].text, "End of Large sale on lane 2");
  EXPECT_EQ(events[1].number, events[0].number + 1);
  EXPECT_EQ(events[1].source, "TCP Channel");
  EXPECT_FALSE(events[1].encoding.has_value());
  EXPECT_TRUE(events[1].hasTime);
  // The name at number + 1 is the End event's own.
  EXPECT_EQ(std::string(driver.events.GetEventText(events[1].number)), events[1].text);
  EXPECT_EQ(validator->PendingEndEventCount(), 0u);
}

TEST_F(DataValidatorTest, EndEventsBeyondThePendingLimitAreDroppedWithErrorLines) {
  driver.SetEndEventSeconds(1);
  auto validator = Make(kValidationText, SaleConfig());
  ASSERT_NE(validator, nullptr);
  validator->SetPendingEndEventLimitForTesting(2);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Validate(*validator, "SALE LANE 1 TOTAL 250"));
  EXPECT_EQ(validator->PendingEndEventCount(), 2u);
  AdvanceTimer(seconds(2));
  ASSERT_EQ(validator->PendingEndEventCount(), 0u);
  ASSERT_TRUE(Validate(*validator, "SALE LANE 1 TOTAL 250"));
  EXPECT_EQ(validator->PendingEndEventCount(), 1u);
  // Warnings never reach the host; both lines are errors.
  std::vector<std::string> errors;
  for (const LogLine& line : debug.Lines()) {
    if (line.level == kLogError) errors.push_back(line.text);
  }
  EXPECT_THAT(errors,
              ElementsAre("korvane::CDataValidator::ReportEvent: 2 End events are pending; further End events are "
                          "dropped",
                          "korvane::CDataValidator::ReportEvent: 3 End events were dropped while 2 were pending"));
}

TEST_F(DataValidatorTest, LongDelaysDoNotWrapAround) {
  // 500 s in 100 ns units does not fit 32 bits; wrapped, it would be due after about 70 s.
  driver.SetEndEventSeconds(500);
  auto validator = Make(kValidationText, SaleConfig());
  ASSERT_NE(validator, nullptr);
  ASSERT_TRUE(Validate(*validator, "SALE LANE 1 TOTAL 250"));
  AdvanceTimer(seconds(100));
  EXPECT_EQ(driver.host.Count(Kind::kEvent), 1u);
  EXPECT_EQ(validator->PendingEndEventCount(), 1u);
  AdvanceTimer(seconds(401));
  EXPECT_EQ(driver.host.Count(Kind::kEvent), 2u);
}

TEST_F(DataValidatorTest, StoppingDiscardsPendingEndEventsAndNoDelayMeansNoTimer) {
  driver.SetEndEventSeconds(1);
  auto validator = Make(kValidationText, SaleConfig());
  ASSERT_NE(validator, nullptr);
  ASSERT_TRUE(Validate(*validator, "SALE LANE 1 TOTAL 250"));
  validator->StopTimer();
  EXPECT_EQ(validator->PendingEndEventCount(), 0u);
  clock.Advance(seconds(2));

  driver.host.Clear();
  driver.events.Clear();
  driver.SetEndEventSeconds(0);
  debug.Clear();
  auto plain = Make(kValidationText, SaleConfig());
  ASSERT_NE(plain, nullptr);
  EXPECT_FALSE(debug.Contains("Timer thread started OK"));
  ASSERT_TRUE(Validate(*plain, "SALE LANE 1 TOTAL 250"));
  EXPECT_EQ(plain->PendingEndEventCount(), 0u);
  EXPECT_THAT(driver.EventNames(), ElementsAre("Large sale on lane 1", "Large sale on lane 2", "Large sale on lane 3",
                                               "Large sale on lane 4", "Noted"));
}

TEST_F(DataValidatorTest, TimerSurvivesAThrowingHost) {
  driver.SetEndEventSeconds(1);
  auto validator = Make(kValidationText, SaleConfig());
  ASSERT_NE(validator, nullptr);
  ASSERT_TRUE(Validate(*validator, "SALE LANE 1 TOTAL 250"));
  ASSERT_TRUE(Validate(*validator, "SALE LANE 2 TOTAL 250"));
  driver.host.ThrowOnDelivery(true);
  AdvanceTimer(milliseconds(1300));
  EXPECT_EQ(driver.host.Count(Kind::kEvent), 4u);
  driver.host.ThrowOnDelivery(false);
  EXPECT_EQ(debug.Count("korvane::CDataValidator::TimerThread: DataCallback exception"), 2u);
  // The channel thread sees the host's exception (the driver reports it); the timer keeps going.
  Block block("SALE LANE 3 TOTAL 250");
  std::string error;
  driver.host.ThrowOnDelivery(true);
  EXPECT_ANY_THROW(validator->ValidateData(error, block.record));
  driver.host.ThrowOnDelivery(false);
  AdvanceTimer(milliseconds(1300));
  EXPECT_EQ(driver.host.Count(Kind::kEvent), 6u);
}

// --- custom validator plug-ins ---

constexpr const char* kAlarmConfig = R"(<?xml version="1.0"?>
<root><kslXmlMapper version="2">
  <messageType><message></message><param value="/alarm/zone"/></messageType>
  <rules><message number="1" value="alarm"><param reference="1" value="0" operator="neq">
    <action type="text" value="zone"/></param></message></rules>
</kslXmlMapper></root>)";

class CustomValidatorTest : public DataValidatorTest {
 protected:
  void SetUp() override {
    DataValidatorTest::SetUp();
    for (const char* name : {"TestValidator.so", "TestValidatorNoRelease.so"}) {
      std::filesystem::copy_file(std::filesystem::path(KESTREL_TEST_PLUGIN_DIR) / name, Dir() / name);
    }
  }
  /// Keeps the plug-in loaded independently of the validator, so its counters stay readable.
  int Counter(const char* function) {
    if (module_ == nullptr) module_ = dlopen((Dir() / "TestValidator.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    auto read = reinterpret_cast<int (*)()>(dlsym(module_, function));
    return read != nullptr ? read() : -1;
  }
  void TearDown() override {
    if (module_ != nullptr) dlclose(module_);
    DataValidatorTest::TearDown();
  }
  bool Loaded(const char* name) {
    void* module = dlopen((Dir() / name).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (module != nullptr) dlclose(module);
    return module != nullptr;
  }

  void* module_ = nullptr;
};

TEST_F(CustomValidatorTest, PluginTextsBecomeMessages) {
  Counter("TestValidatorAlive");
  driver.endpoint.address = "10.0.0.7";
  // ".dll" configured for Windows loads the ".so".
  auto validator = Make(kValidationCustom, kAlarmConfig, false, "TestValidator.dll");
  ASSERT_NE(validator, nullptr);
  EXPECT_TRUE(
      debug.Contains("korvane::CDataValidator::LoadCustomValidator: Custom validator TestValidator.dll is loaded"));

  ASSERT_TRUE(Validate(*validator, "multi"));
  const auto data = driver.host.Calls(Kind::kData);
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0].text, "zone");

  driver.host.Clear();
  EXPECT_TRUE(Validate(*validator, "empty"));
  EXPECT_TRUE(Validate(*validator, "0"));  // a message, but no rule matches
  EXPECT_TRUE(driver.host.Calls().empty());

  std::string error;
  EXPECT_FALSE(Validate(*validator, "fail", &error));
  EXPECT_EQ(error, "TestValidator: checksum mismatch");
  EXPECT_TRUE(Validate(*validator, "overlong"));  // not XML, dropped; nothing read past the buffer

  // The plug-in's log text is logged as text, never used as a format.
  ASSERT_TRUE(Validate(*validator, "log"));
  EXPECT_TRUE(debug.Contains("device said %s %n"));

  // The plug-in keeps the endpoint pointer it was opened with.
  ASSERT_TRUE(Validate(*validator, "endpoint"));
  validator->ResetCustomValidator();
  EXPECT_EQ(Counter("TestValidatorResets"), 1);
  EXPECT_TRUE(debug.Contains("korvane::CDataValidator::ResetCustomValidator: Reset custom validator"));

  validator->UnloadCustomValidator();
  EXPECT_EQ(Counter("TestValidatorAlive"), 0);
  EXPECT_FALSE(Validate(*validator, "multi", &error));
  EXPECT_EQ(error, "Custom Validation - Data validator is not loaded");
}

TEST_F(CustomValidatorTest, FailedLoadsLeaveNothingLoaded) {
  // A plug-in that refuses to open is closed, released and freed.
  Counter("TestValidatorAlive");
  driver.endpoint.address = "refuse";
  EXPECT_EQ(Make(kValidationCustom, kAlarmConfig, false, "TestValidator"), nullptr);
  EXPECT_TRUE(debug.Contains("korvane::CDataValidator::LoadCustomValidator: Cannot open custom data validator"));
  EXPECT_EQ(Counter("TestValidatorCloses"), 1);
  EXPECT_EQ(Counter("TestValidatorAlive"), 0);

  // A missing export throws out of Initialize (the driver's Open reports it) after freeing the library.
  WriteFile("config.xml", kAlarmConfig);
  CDataValidator validator(driver, debug);
  EXPECT_THROW(validator.Initialize(kValidationCustom, "config.xml", "TestValidatorNoRelease", false),
               std::runtime_error);
  EXPECT_TRUE(debug.Contains("Could not find function 'ReleaseDriver' from DLL TestValidatorNoRelease.so"));
  EXPECT_FALSE(Loaded("TestValidatorNoRelease.so"));

  // No name at all is said, not logged as an empty line.
  EXPECT_FALSE(validator.Initialize(kValidationCustom, "config.xml", "", false));
  EXPECT_TRUE(debug.Contains("no validator plug-in named"));

  // A library that is not there.
  EXPECT_FALSE(validator.Initialize(kValidationCustom, "config.xml", "Missing", false));
  EXPECT_TRUE(
      debug.Contains("CDynamicDLL::ConnectDLL: cannot load library \"" + (Dir() / "Missing.so").string() + "\" : '"));
}

TEST(DynamicDllTest, NamesAreCompletedAndVersionsRead) {
  EXPECT_EQ(CDynamicDLL::CompleteName("Sparrow"), "Sparrow.so");
  EXPECT_EQ(CDynamicDLL::CompleteName("Sparrow.dll"), "Sparrow.so");
  EXPECT_EQ(CDynamicDLL::CompleteName("Sparrow.DLL"), "Sparrow.DLL.so");  // the search is case-sensitive
  EXPECT_EQ(CDynamicDLL::CompleteName("Sparrow.dll.v2"), "Sparrow.dll.v2");
  EXPECT_EQ(CDynamicDLL::CompleteName("Sparrow.so"), "Sparrow.so");

  setenv("KESTREL_HOST_DIR", KESTREL_TEST_PLUGIN_DIR, 1);
  CDynamicDLL dll;
  std::string message;
  ASSERT_TRUE(dll.ConnectDLL("TestValidator", message));
  EXPECT_EQ(message, "Loaded library \"TestValidator.so\": version 1.2.3.4");
  EXPECT_NE(dll.GetCreateFunction(), nullptr);
  EXPECT_NE(dll.GetReleaseFunction(), nullptr);
  EXPECT_TRUE(dll.DisconnectDLL());
  EXPECT_THROW(dll.GetCreateFunction(), std::runtime_error);
  EXPECT_FALSE(dll.ConnectDLL("", message));
  EXPECT_NE(message.find("no validator plug-in named"), std::string::npos) << message;
  unsetenv("KESTREL_HOST_DIR");

  CDllVersion version("/nonexistent.so");
  EXPECT_TRUE(version.GetVersionText().empty());
  version.Parse("4,5,6,7");  // a comma wins over full stops
  EXPECT_EQ(version.GetRevision(), 7);
}

}  // namespace
}  // namespace korvane::testing
