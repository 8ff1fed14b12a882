// The configurations under examples/ with their sample data, fed to the
// validator as the channel would deliver them (cut into messages, escaped).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "driver/support/string_utils.h"
#include "driver/validation/data_validator.h"
#include "tests/validation/validation_test_util.h"

namespace korvane::testing {
namespace {

using ::testing::ElementsAre;
namespace fs = std::filesystem;

const fs::path kRepository = fs::path(KESTREL_SOURCE_DIR);

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ExamplesTest : public ValidationTest {
 protected:
  void SetUp() override {
    ValidationTest::SetUp();
    if (!fs::is_directory(kRepository / "examples")) GTEST_SKIP() << "examples/ not found beside the tests";
    // File names in the examples are relative to the host directory, where the build copies examples/.
    setenv("KESTREL_HOST_DIR", kRepository.c_str(), 1);
  }
  std::unique_ptr<CDataValidator> Open(int32_t type, const std::string& config, bool legacy) {
    auto validator = std::make_unique<CDataValidator>(driver, debug);
    if (!validator->Initialize(type, config, "", legacy)) return nullptr;
    return validator;
  }
  /// Delivers each piece of `data` between `separator`s, dropping `ignored` bytes.
  void Play(CDataValidator& validator, const std::string& data, const std::string& separator, char ignored = 0) {
    for (std::string line : Split(data, separator)) {
      std::erase(line, ignored);
      Deliver(validator, line);
    }
  }
  void Deliver(CDataValidator& validator, const std::string& message) {
    Block block(XmlEscape(message));
    std::string error;
    if (!validator.ValidateData(error, block.record)) failures.push_back(error);
  }

  std::vector<std::string> failures;
};

TEST_F(ExamplesTest, PointOfSaleJournal) {
  auto validator = Open(kValidationText, "examples/pos-tcp/pos.xml", false);
  ASSERT_NE(validator, nullptr) << debug.Lines().size();
  const std::string journal = ReadFile(kRepository / "examples/pos-tcp/journal.txt");
  if (journal.empty()) GTEST_SKIP() << "examples/pos-tcp/journal.txt is missing";
  Play(*validator, journal, "\n", '\r');
  EXPECT_TRUE(failures.empty()) << failures.front();
  EXPECT_THAT(driver.host.Texts(Kind::kEvent),
              ElementsAre("Receipt", "Void", "Watched item: Coffee beans", "Sale", "Sale on lane 3", "Large sale",
                          "Receipt", "No sale", "Receipt", "Refund", "Refund on lane 3", "Cash out"));
  // Every line is also shown as text.
  EXPECT_EQ(driver.host.Count(Kind::kData), 15u);
  // Tags that carry the line's values are registered once each; Transaction once per rule that names it.
  const std::vector<std::string> names = driver.SearchTagNames();
  ASSERT_GE(names.size(), 4u);
  EXPECT_THAT(std::vector<std::string>(names.begin(), names.begin() + 4),
              ElementsAre("Receipt", "Lane", "Total", "Transaction"));
  const auto events = driver.host.Calls(Kind::kEvent);
  ASSERT_EQ(events[0].tags.size(), 1u);
  EXPECT_EQ(events[0].tags[0].text, "000412");
  EXPECT_EQ(events[0].tags[0].id, 1);
  // The sale: lane and total, then the kind of event under every Transaction entry.
  ASSERT_GE(events[3].tags.size(), 3u);
  EXPECT_EQ(events[3].tags[0].text, "3");
  EXPECT_EQ(events[3].tags[0].id, 2);
  EXPECT_EQ(events[3].tags[1].text, "15.55");
  EXPECT_EQ(events[3].tags[1].id, 3);
  EXPECT_EQ(events[3].tags[2].text, "Sale");
  // The refund's lane and amount.
  EXPECT_EQ(events[9].tags[0].text, "3");
  EXPECT_EQ(events[9].tags[1].text, "2.49");
}

TEST_F(ExamplesTest, AlarmPanelOverUdp) {
  auto validator = Open(kValidationXsd, "examples/xml-udp/alarms.xml", false);
  ASSERT_NE(validator, nullptr);
  std::vector<fs::path> samples;
  for (const auto& entry : fs::directory_iterator(kRepository / "examples/xml-udp/samples")) samples.push_back(entry);
  std::sort(samples.begin(), samples.end());
  ASSERT_EQ(samples.size(), 5u);
  for (const fs::path& sample : samples) Deliver(*validator, ReadFile(sample));
  EXPECT_THAT(driver.host.Texts(Kind::kEvent),
              ElementsAre("Intrusion in zone 3", "Zone 3 restored", "Tamper", "Fire alarm"));
  EXPECT_THAT(driver.host.Texts(Kind::kData), ElementsAre("East side: check camera 7"));
  const auto metadata = driver.host.Calls(Kind::kMetadata);
  ASSERT_EQ(metadata.size(), 1u);
  EXPECT_EQ(metadata[0].channel, 0);
  EXPECT_EQ(metadata[0].format, 2);
  ASSERT_EQ(failures.size(), 1u);  // 5-not-valid.xml
  EXPECT_NE(failures[0].find("korvane::CXMLParser::XSDValidateW"), std::string::npos) << failures[0];
}

TEST_F(ExamplesTest, CameraMetadataOverRtsp) {
  auto validator = Open(kValidationXsd, "examples/rtsp-metadata/camera.xml", false);
  ASSERT_NE(validator, nullptr);
  std::vector<fs::path> samples;
  for (const auto& entry : fs::directory_iterator(kRepository / "examples/rtsp-metadata/samples")) {
    samples.push_back(entry);
  }
  std::sort(samples.begin(), samples.end());
  ASSERT_EQ(samples.size(), 6u);
  for (const fs::path& sample : samples) Deliver(*validator, ReadFile(sample));
  // The motion state reported on connection is not an event; the end of motion is not mapped.
  EXPECT_THAT(driver.host.Texts(Kind::kEvent), ElementsAre("Motion", "Camera tampered", "Entrance line crossed"));
  const auto metadata = driver.host.Calls(Kind::kMetadata);
  ASSERT_EQ(metadata.size(), 1u);
  EXPECT_EQ(metadata[0].channel, 0);
  // The line crossing is also shown as the document it came in.
  ASSERT_EQ(driver.host.Count(Kind::kData), 1u);
  EXPECT_NE(driver.host.Texts(Kind::kData)[0].find("Entrance West"), std::string::npos);
  ASSERT_EQ(failures.size(), 1u);  // 6-not-well-formed.xml
}

TEST_F(ExamplesTest, LegacyAccessControl) {
  driver.SetEndEventSeconds(1);
  auto validator = Open(kValidationText, "examples/legacy-access/access.xml", true);
  ASSERT_NE(validator, nullptr);
  Play(*validator, ReadFile(kRepository / "examples/legacy-access/events.txt"), "\n", '\r');
  EXPECT_TRUE(failures.empty());
  EXPECT_THAT(driver.host.Texts(Kind::kEvent), ElementsAre("Server room opened", "Supervisor entry", "Access denied",
                                                           "Door forced", "Door held open", "Supervisor entry"));
  EXPECT_THAT(driver.host.Texts(Kind::kData),
              ElementsAre("Door forced open - check the camera", "ALARM Glass break in the lobby"));
  EXPECT_THAT(driver.EventNames(),
              ElementsAre("Door forced", "End of Door forced", "Door held open", "End of Door held open",
                          "Server room opened", "End of Server room opened", "Access denied", "End of Access denied",
                          "Supervisor entry", "End of Supervisor entry"));
  const auto alarm = driver.host.Calls(Kind::kData).back();
  ASSERT_EQ(alarm.tags.size(), 1u);
  EXPECT_EQ(alarm.tags[0].text, "Alarm text");
}

// The bodies the README's curl lines post, as the HTTP server channel delivers them.
TEST_F(ExamplesTest, AlarmsPushedByHttpPost) {
  auto validator = Open(kValidationText, "examples/http-push/push.xml", false);
  ASSERT_NE(validator, nullptr);
  for (const char* body : {"event=intrusion&zone=3&state=active", "event=intrusion&zone=3&state=restored",
                           "event=tamper&state=active", "hello"}) {
    Deliver(*validator, body);
  }
  EXPECT_THAT(driver.host.Texts(Kind::kEvent), ElementsAre("Intrusion in zone 3", "Zone 3 restored", "Tamper"));
  EXPECT_TRUE(failures.empty()) << "a body that is no alarm form is dropped silently";
}

TEST_F(ExamplesTest, StatusPagePolledOverHttp) {
  auto validator = Open(kValidationText, "examples/http-poll/poll.xml", false);
  ASSERT_NE(validator, nullptr);
  const std::string page = ReadFile(kRepository / "examples/http-poll/device/status.txt");
  ASSERT_FALSE(page.empty());
  Play(*validator, page + page, "\n");
  EXPECT_TRUE(failures.empty()) << failures.front();
  EXPECT_THAT(driver.host.Texts(Kind::kEvent),
              ElementsAre("Alarm in zone 3", "Mains power lost", "Alarm in zone 3", "Mains power lost"));
}

}  // namespace
}  // namespace korvane::testing
