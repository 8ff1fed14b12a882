#include "driver/core/kestrel_driver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "driver/common/search_data.h"
#include "tests/core/core_test_util.h"
#include "tests/support/fake_host.h"

namespace korvane::testing {
namespace {

using namespace std::chrono_literals;
using Kind = HostCall::Kind;

// A TCP model without validation: opens as soon as a channel can be built.
FakeSettings PlainTcpSettings() { return FakeSettings("KestrelTcpModel", {{1, "4000"}, {2, "None"}}); }

class KestrelDriverTest : public HostDirTest {
 protected:
  RecordingHost host_;  // outlives the driver
  CKestrelDriver driver_;
};

TEST_F(KestrelDriverTest, UnknownModelsAreRefusedWithBothLogLines) {
  for (const char* model : {"None", "Bogus", "kestreltcpmodel"}) {
    host_.Clear();
    FakeSettings settings(model, {{1, "4000"}, {2, "None"}});
    EXPECT_FALSE(driver_.Open(&host_, &settings)) << model;
    const std::string name = std::string("'") + model + "'";
    EXPECT_EQ(host_.LogCount("korvane::CKestrelDriver::OpenModel: Unknown model/device: " + name), 1u) << model;
    EXPECT_EQ(host_.LogCount("korvane::CKestrelDriver::Open: Unable to open model/device: " + name), 1u) << model;
    for (const HostCall& call : host_.Calls(Kind::kLog)) EXPECT_EQ(call.number, 1) << call.text;
  }
  // A failed Open still counts as finished: queries answer at once.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(driver_.GetEventName(1), nullptr);
  EXPECT_FALSE(driver_.StartChannel(0, 0));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(KestrelDriverTest, MissingSettingsFailCleanly) {
  EXPECT_FALSE(driver_.Open(&host_, nullptr));
  EXPECT_EQ(host_.LogCount("korvane::CKestrelDriver::Open: Unable to open model/device: ''"), 1u);

  // Every parameter null: read as empty, refused by the reader.
  FakeSettings empty("KestrelTcpModel", {});
  EXPECT_FALSE(driver_.Open(&host_, &empty));
  EXPECT_EQ(host_.LogCount("korvane::CKestrelDriver::ReadTCPParameters: Invalid TCP port in configuration"), 1u);
  EXPECT_FALSE(driver_.Open(nullptr, &empty));  // no host to tell, but no crash either
}

TEST_F(KestrelDriverTest, QueriesBeforeOpenWaitThenGiveUp) {
  driver_.SetOpenedWait(30ms);
  const auto start = std::chrono::steady_clock::now();
  int32_t id = -1;
  EXPECT_EQ(driver_.GetEventName(1), nullptr);
  EXPECT_EQ(driver_.GetSearchTagName(1, &id), nullptr);
  EXPECT_FALSE(driver_.StartChannel(0, 0));
  EXPECT_FALSE(driver_.StopChannel(0));
  int32_t s1 = 0;
  int32_t s2 = 0;
  EXPECT_FALSE(driver_.GetChannelStatus(0, &s1, &s2, nullptr, 0));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 5 * 30ms);
  EXPECT_EQ(id, -1);
}

// Settings whose GetModel blocks, so a query can arrive while Open runs.
class BlockingSettings : public IDriverSettings {
 public:
  const char* GetParameter(int32_t) override { return nullptr; }
  const char* GetModel() override {
    entered.Set();
    release.Wait(2s);
    return "None";
  }
  Event entered;
  Event release;
};

TEST_F(KestrelDriverTest, QueryDuringOpenLogsThatTheDriverIsNotOpened) {
  driver_.SetOpenedWait(20ms);
  BlockingSettings settings;
  std::thread opener([&] { driver_.Open(&host_, &settings); });
  ASSERT_TRUE(settings.entered.Wait(2s));
  EXPECT_EQ(driver_.GetEventName(1), nullptr);
  settings.release.Set();
  opener.join();
  EXPECT_EQ(host_.LogCount("korvane::CKestrelDriver::GetEventName: Driver still is not opened!"), 1u);
}

// Validation names are read in any letter case: "none" needs no configuration file, as "None" does.
TEST_F(KestrelDriverTest, LowerCaseNoneNeedsNoConfigurationFile) {
  driver_.SetChannelFactory(&FakeChannel::Make);
  FakeSettings settings("KestrelTcpModel", {{1, "4000"}, {2, "none"}});
  ASSERT_TRUE(driver_.Open(&host_, &settings));
  EXPECT_FALSE(FakeChannel::lastSettings.validationRequired);
}

TEST_F(KestrelDriverTest, OpenedDriverAnswersChannelAndNameQueries) {
  driver_.SetChannelFactory(&FakeChannel::Make);
  FakeSettings settings = PlainTcpSettings();
  ASSERT_TRUE(driver_.Open(&host_, &settings));
  EXPECT_EQ(FakeChannel::alive, 1);
  EXPECT_EQ(FakeChannel::lastSettings.network.port, 4000);
  EXPECT_FALSE(FakeChannel::lastSettings.validationRequired);

  EXPECT_FALSE(driver_.StartChannel(1, 0));
  EXPECT_EQ(host_.LogCount("korvane::CKestrelDriver::StartChannel: Cannot start channel, invalid channel index 1"), 1u);
  EXPECT_FALSE(driver_.StopChannel(2));
  EXPECT_EQ(host_.LogCount("korvane::CKestrelDriver::StopChannel: Cannot stop channel, invalid channel index 2"), 1u);

  int32_t s1 = 0;
  int32_t s2 = 0;
  char text[4] = "xyz";
  EXPECT_TRUE(driver_.GetChannelStatus(0, &s1, &s2, nullptr, 0));
  EXPECT_TRUE(driver_.GetChannelStatus(0, &s1, &s2, text, 0));
  EXPECT_STREQ(text, "xyz");
  EXPECT_TRUE(driver_.GetChannelStatus(0, &s1, &s2, text, sizeof text));
  EXPECT_STREQ(text, "");
  EXPECT_EQ(s1, 1);
  EXPECT_EQ(s2, 1);
  EXPECT_FALSE(driver_.GetChannelStatus(1, &s1, &s2, text, sizeof text));
  EXPECT_TRUE(driver_.StartChannel(0, 0));
  EXPECT_TRUE(driver_.StopChannel(0));

  driver_.GetSearchTags()->push_back({"Cashier", 7});
  driver_.GetSearchTags()->push_back({"Till", 9});
  ASSERT_TRUE(driver_.GetEventStorage()->AddEvent("Sale"));
  int32_t id = 0;
  EXPECT_EQ(driver_.GetSearchTagName(0, &id), nullptr);
  EXPECT_STREQ(driver_.GetSearchTagName(1, &id), "Cashier");
  EXPECT_EQ(id, 7);
  EXPECT_STREQ(driver_.GetSearchTagName(2, nullptr), "Till");
  EXPECT_EQ(driver_.GetSearchTagName(3, &id), nullptr);
  EXPECT_STREQ(driver_.GetEventName(1), "Sale");

  EXPECT_TRUE(driver_.Close());
  EXPECT_EQ(FakeChannel::alive, 0);
  EXPECT_TRUE(driver_.GetSearchTags()->empty());
  EXPECT_EQ(driver_.GetEventStorage()->GetCount(), 0);
  EXPECT_EQ(driver_.GetCallback(), nullptr);

  // Open again after Close builds a new channel; Open on an open driver replaces everything.
  ASSERT_TRUE(driver_.Open(&host_, &settings));
  EXPECT_EQ(FakeChannel::alive, 1);
  ASSERT_TRUE(driver_.GetEventStorage()->AddEvent("Sale"));
  ASSERT_TRUE(driver_.Open(&host_, &settings));
  EXPECT_EQ(FakeChannel::alive, 1);
  EXPECT_EQ(driver_.GetEventStorage()->GetCount(), 0);
}

TEST_F(KestrelDriverTest, OpenExRoutesEverythingToTheExtendedCallback) {
  driver_.SetChannelFactory(&FakeChannel::Make);
  FakeSettings settings = PlainTcpSettings();
  ASSERT_TRUE(driver_.OpenEx(&host_, &settings));
  EXPECT_EQ(driver_.GetCallbackEx(), static_cast<IDataCallback*>(&host_));
  EXPECT_EQ(driver_.GetValidationType(), kValidationNone);

  CSearchData search;
  const char source[] = "TCP Channel";
  const char data[] = "total &amp; tax";
  ChannelData record;
  record.searchData = &search;
  record.source = source;
  record.sourceLength = static_cast<int32_t>(std::strlen(source));
  record.data = data;
  record.dataLength = static_cast<int32_t>(std::strlen(data));
  driver_.OnChannelData(&record);
  driver_.OnChannelData(nullptr);
  driver_.ForwardEvent(&record, 5);
  driver_.OnClearScreen(&record);
  driver_.ForwardNotify(42);
  driver_.OnOpenFailed(0);
  const SYSTEMTIME time{2024, 5, 0, 17, 8, 30, 0, 0};
  driver_.ForwardMetadata(1, 0, 2, &time, "<m/>", 4);

  const auto calls = host_.Calls();
  std::vector<Kind> kinds;
  for (const HostCall& call : calls) {
    if (call.kind != Kind::kLog) kinds.push_back(call.kind);
  }
  EXPECT_EQ(kinds, (std::vector<Kind>{Kind::kData, Kind::kEvent, Kind::kClearScreen, Kind::kNotify, Kind::kOpenFailed,
                                      Kind::kMetadata}));
  const HostCall dataCall = host_.Calls(Kind::kData).at(0);
  EXPECT_EQ(dataCall.text, data);
  EXPECT_EQ(dataCall.source, source);
  EXPECT_EQ(dataCall.encoding, "utf-8");
  EXPECT_TRUE(dataCall.hasTime);
  EXPECT_EQ(host_.Calls(Kind::kEvent).at(0).number, 5);
  EXPECT_EQ(host_.Calls(Kind::kNotify).at(0).number, 42);
  EXPECT_EQ(host_.Calls(Kind::kMetadata).at(0).text, "<m/>");

  // A plain Open has no metadata face: metadata is dropped, data still arrives.
  driver_.Close();
  host_.Clear();
  ASSERT_TRUE(driver_.Open(&host_, &settings));
  EXPECT_EQ(driver_.GetCallbackEx(), nullptr);
  driver_.ForwardMetadata(1, 0, 2, &time, "<m/>", 4);
  driver_.OnChannelData(&record);
  EXPECT_EQ(host_.Count(Kind::kMetadata), 0u);
  EXPECT_EQ(host_.Count(Kind::kData), 1u);
}

TEST_F(KestrelDriverTest, HostExceptionOnTheDataPathIsContained) {
  driver_.SetChannelFactory(&FakeChannel::Make);
  FakeSettings settings = PlainTcpSettings();
  ASSERT_TRUE(driver_.Open(&host_, &settings));
  host_.ThrowOnDelivery(true);
  ChannelData record;
  record.data = "x";
  record.dataLength = 1;
  driver_.OnChannelData(&record);
  driver_.ForwardEvent(&record, 1);
  EXPECT_EQ(host_.LogCount("DataCallback exception"), 2u);
}

TEST_F(KestrelDriverTest, ValidationNamesMapToTypeCodesIgnoringCase) {
  WriteFile("plain.xml", "<root><channelConfig><linefeed value=\"0x0a\"/></channelConfig></root>");
  driver_.SetChannelFactory(&FakeChannel::Make);
  const std::pair<const char*, int32_t> cases[] = {{"XSD", kValidationXsd},       {"text", kValidationText},
                                                   {"Binary", kValidationBinary}, {"CUSTOM", kValidationCustom},
                                                   {"none", kValidationNone},     {"Other", kValidationNone}};
  for (const auto& [name, code] : cases) {
    FakeSettings settings("KestrelTcpModel", {{1, "4000"}, {2, name}, {3, "plain.xml"}});
    driver_.Open(&host_, &settings);  // may fail later, in the validator, for want of rules
    EXPECT_EQ(driver_.GetValidationType(), code) << name;
    driver_.Close();
  }
}

TEST_F(KestrelDriverTest, ValidationDecidesWhetherTheFileIsNeeded) {
  // "None" without a file opens.
  FakeSettings none("KestrelSerialModel",
                    {{1, "1"}, {2, "9600"}, {3, "8"}, {4, "1"}, {5, "No"}, {6, "None"}, {7, "None"}});
  EXPECT_TRUE(driver_.Open(&host_, &none));
  EXPECT_EQ(host_.LogCount("configuration"), 0u);
  driver_.Close();

  // "Text" without a file cannot open.
  host_.Clear();
  none.Set(7, "Text");
  EXPECT_FALSE(driver_.Open(&host_, &none));
  EXPECT_EQ(host_.LogCount("<Configuration> korvane::CKestrelDriver::ReadConfigurationFile: No XML configuration "
                           "file name in parameters"),
            1u);
}

TEST_F(KestrelDriverTest, StopChannelEndsTheWorkerAndStartRunsItAgain) {
  driver_.SetChannelFactory(&FakeChannel::Make);
  FakeSettings settings = PlainTcpSettings();
  ASSERT_TRUE(driver_.Open(&host_, &settings));
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(driver_.StartChannel(0, 0));
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (FakeChannel::workers == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_EQ(FakeChannel::workers, 1) << round;
    EXPECT_TRUE(driver_.StopChannel(0));
    EXPECT_EQ(FakeChannel::workers, 0) << "the worker still runs after StopChannel";
  }
}

// Text rules with an event and a metadata action for every line (the plain
// message-type parameter serves the other validation types).
constexpr const char* kLineConfig =
    R"xml(<root><logging><level value="1"/></logging><validation><regex value=".*"/></validation>
  <kslXmlMapper version="2"><messageType parsing="regex"><message number="1" value="Line">
    <param number="1" value="(.+)" group="1"/></message><param value="line"/></messageType>
  <rules><message number="1" value="Line"><param reference="1" value="x" operator="neq">
    <action type="event" value="Seen"/><action type="metadata" metadatatype="other" value="meta"/>
  </param></message></rules></kslXmlMapper></root>)xml";

ChannelData Line(const char* text) {
  ChannelData record;
  record.data = text;
  record.dataLength = static_cast<int32_t>(std::strlen(text));
  return record;
}

TEST_F(KestrelDriverTest, OpenFailsCleanlyWhenTheValidatorCannotStart) {
  WriteFile("norules.xml", R"(<root><logging><level value="1"/></logging><kslXmlMapper version="2"/></root>)");
  driver_.SetChannelFactory(&FakeChannel::Make);
  FakeSettings settings("KestrelTcpModel", {{1, "4000"}, {2, "Text"}, {3, "norules.xml"}});
  EXPECT_FALSE(driver_.Open(&host_, &settings));
  EXPECT_EQ(host_.LogCount("korvane::CKestrelDriver::CreateDataValidator: Unable to initialize data validator"), 1u);
  EXPECT_EQ(FakeChannel::alive, 0) << "no channel is left behind";
  EXPECT_FALSE(driver_.StartChannel(0, 0));
}

TEST_F(KestrelDriverTest, ValidationFailureReachesTheHostWithItsReason) {
  WriteFile("lines.xml", kLineConfig);
  driver_.SetChannelFactory(&FakeChannel::Make);
  FakeSettings settings("KestrelTcpModel", {{1, "4000"}, {2, "Binary"}, {3, "lines.xml"}});
  ASSERT_TRUE(driver_.Open(&host_, &settings));
  const ChannelData record = Line("abc");
  driver_.OnChannelData(&record);
  EXPECT_EQ(host_.LogCount("Validation failed (korvane::CDataValidator::ValidateData: Unsupported type of validation)"),
            1u);
}

// A host opened with Open has no metadata face: metadata is dropped, while
// events and their End events still arrive.
TEST_F(KestrelDriverTest, PlainOpenDropsMetadataButDeliversEventsAndEndEvents) {
  WriteFile("lines.xml", kLineConfig);
  driver_.SetChannelFactory(&FakeChannel::Make);
  FakeSettings settings("KestrelTcpModel", {{1, "4000"}, {2, "Text"}, {3, "lines.xml"}, {5, "1"}});
  ASSERT_TRUE(driver_.Open(&host_, &settings));
  const ChannelData record = Line("abc");
  driver_.OnChannelData(&record);
  ASSERT_TRUE(host_.WaitForCount(Kind::kEvent, 2, 3s));
  EXPECT_EQ(host_.Texts(Kind::kEvent), (std::vector<std::string>{"Seen", "End of Seen"}));
  EXPECT_EQ(host_.Count(Kind::kMetadata), 0u);
}

TEST_F(KestrelDriverTest, PlugInIsHandedTheDeviceEndpoint) {
  std::filesystem::copy_file(std::filesystem::path(KESTREL_TEST_PLUGIN_DIR) / "TestValidator.so",
                             Dir() / "TestValidator.so");
  WriteFile("alarm.xml", R"(<root><kslXmlMapper version="2">
    <messageType><message></message><param value="/alarm/zone"/></messageType>
    <rules><message number="1" value="alarm" alwaysShowText="yes"><param reference="1" value="-">
      <action type="event" value="Never"/></param></message></rules></kslXmlMapper></root>)");
  driver_.SetChannelFactory(&FakeChannel::Make);
  FakeSettings settings("KestrelRtspModel", {{1, "cam.local"},
                                             {2, "554"},
                                             {3, "op"},
                                             {4, "secret"},
                                             {5, "Custom"},
                                             {6, "alarm.xml"},
                                             {7, "TestValidator.so"}});
  ASSERT_TRUE(driver_.OpenEx(&host_, &settings));
  const ChannelData record = Line("endpoint");
  driver_.OnChannelData(&record);
  EXPECT_EQ(host_.Texts(Kind::kData), (std::vector<std::string>{"<alarm><zone>cam.local,op,secret</zone></alarm>"}));
  driver_.Close();
}

}  // namespace
}  // namespace korvane::testing
