#include "driver/validation/mapper_old.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/validation/validation_test_util.h"

namespace korvane::testing {
namespace {

using ::testing::ElementsAre;

constexpr const char* kLegacyConfig = R"(<?xml version="1.0"?>
<root><kslXmlMapper>
  <messageType><message number="1" value="Alarm"><param number="1" value="p1"/><param number="2" value="p2"/>
  </message></messageType>
  <rules>
    <message number="1" value="Alarm">
      <param number="1" reference="1" value="5" operator="GT">
        <and number="1" reference="2" value="door"/>
        <action number="1" type="event" value="High door"/>
        <action number="2" type="event" value="Unregistered"/>
        <searchtag type="1" value="Zone"/>
      </param>
      <param number="2" reference="2" value="DOOR">
        <action number="1" type="data" value="Door text"/>
        <searchtag type="x" value="Raw"/>
      </param>
      <param number="3" reference="*" value=""><searchtag value="Raw"/></param>
      <param number="4" reference="1" value=""><action number="1" type="event" value="Never read"/></param>
      <param number="5" reference="1" value="7"><action number="1" type="event" value="After the end"/></param>
    </message>
    <message number="2" value="Other">
      <param number="1" reference="1" value="x"><action number="1" type="metadata" value=""/></param>
    </message>
  </rules>
</kslXmlMapper></root>)";

UniformMessage Alarm(std::vector<UniformParam> params, std::string value = "Alarm") {
  UniformMessage message;
  message.textPath = true;
  message.messages.push_back(UniformEntry{1, std::move(value), std::move(params)});
  return message;
}

class MapperOldTest : public ValidationTest {
 protected:
  bool Load(const std::string& config) {
    WriteFile("legacy.xml", config);
    return mapper.Initialize(kValidationText, "legacy.xml");
  }

  HostForwarder forwarder{driver};
  CMapperOld mapper{forwarder, driver, debug};
};

TEST_F(MapperOldTest, ReadsNumberAddressedRulesAndRegistersFirstActionsOnly) {
  driver.SetEndEventSeconds(2);
  ASSERT_TRUE(Load(kLegacyConfig));
  const auto& rules = mapper.GetRules();
  ASSERT_EQ(rules.count("Alarm"), 1u);
  const auto& alarm = rules.at("Alarm");
  // The rule with an empty value ends the list; the "*" rule before it is kept.
  ASSERT_EQ(alarm.size(), 3u);
  EXPECT_EQ(alarm[0].conditions.size(), 2u);
  EXPECT_EQ(alarm[0].conditions[0].op, "gt");  // lower-cased on loading
  EXPECT_EQ(alarm[0].conditions[1].op, "eq");
  EXPECT_EQ(alarm[0].actions.size(), 2u);
  EXPECT_EQ(alarm[2].conditions[0].reference, "*");

  EXPECT_THAT(driver.EventNames(), ElementsAre("High door", "End of High door"));
  EXPECT_THAT(driver.SearchTagNames(), ElementsAre("Zone", "Raw", "Raw"));
  EXPECT_EQ(driver.searchTags[0].id, 1);
  EXPECT_EQ(driver.searchTags[1].id, 0);
}

TEST_F(MapperOldTest, MapsEachParameterAgainstItsOwnRulesAndTheWildcard) {
  ASSERT_TRUE(Load(kLegacyConfig));
  Block block("7 door");
  const UniformMessage message = Alarm({{1, "7"}, {2, "door"}});
  ASSERT_TRUE(mapper.MapUniformMessage(message, block.record));
  const auto calls = driver.host.Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].kind, Kind::kEvent);
  EXPECT_EQ(calls[0].text, "High door");
  EXPECT_EQ(calls[0].number, 1);
  EXPECT_EQ(calls[1].kind, Kind::kData);  // "*" after parameter 1
  EXPECT_EQ(calls[1].text, "7 door");
  EXPECT_EQ(calls[2].text, "Door text");  // parameter 2, case-insensitive match
  EXPECT_EQ(calls[3].text, "7 door");     // "*" after parameter 2

  SearchTagEntry entry{};
  std::vector<std::pair<int32_t, std::string>> tags;
  for (bool more = block.searchData.First(&entry); more; more = block.searchData.Next(&entry)) {
    tags.emplace_back(entry.id, std::string(entry.text, static_cast<size_t>(entry.length)));
  }
  EXPECT_THAT(tags,
              ElementsAre(std::pair<int32_t, std::string>{1, "High door"},
                          std::pair<int32_t, std::string>{1, "Unregistered"}, std::pair<int32_t, std::string>{0, "Raw"},
                          std::pair<int32_t, std::string>{2, "Door text"}, std::pair<int32_t, std::string>{0, "Raw"}));

  // The same message as XML text maps the same way.
  driver.host.Clear();
  Block again("7 door");
  ASSERT_TRUE(mapper.MapMessage(true, RenderUniformMessage(message), again.record));
  EXPECT_EQ(driver.host.Calls().size(), 4u);
  EXPECT_EQ(again.searchData.GetCount(), 5);

  // A failing AND condition stops the rule; the wildcard still shows the block.
  driver.host.Clear();
  Block other("7 window");
  ASSERT_TRUE(mapper.MapUniformMessage(Alarm({{1, "7"}, {2, "window"}}), other.record));
  EXPECT_EQ(driver.host.Count(Kind::kEvent), 0u);
  EXPECT_THAT(driver.host.Texts(Kind::kData), ElementsAre("7 window", "7 window"));
}

TEST_F(MapperOldTest, ComparisonFallsBackToStrings) {
  struct Case {
    const char* p;
    const char* c;
    const char* op;
    bool expected;
  };
  const Case cases[] = {
      {"10", "9", "gt", true},        {"10", "9a", "gt", false},
      {"15", "5", "contains", false}, {"Front door", "DOOR", "contains", true},
      {"b", "a", "ge", true},         {"1", "1", "bogus", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mapper.Compare(c.p, c.c, c.op, false), c.expected) << c.p << " " << c.op << " " << c.c;
  }
  EXPECT_FALSE(mapper.Compare("Door", "door", "eq", true));
}

TEST_F(MapperOldTest, NameLimitsRefuseFurtherNamesButKeepCompanions) {
  std::string rules;
  for (int n = 1; n <= 3; ++n) {
    const std::string name(1, static_cast<char>('A' + n - 1));
    rules += "<param number=\"" + std::to_string(n) + "\" reference=\"1\" value=\"1\"><action number=\"1\" " +
             "type=\"event\" value=\"" + name + "\"/><searchtag value=\"Tag" + name + "\"/></param>";
  }
  driver.SetEndEventSeconds(1);
  mapper.SetNameLimitForTesting(4);
  ASSERT_TRUE(Load(R"(<root><kslXmlMapper><messageType><message number="1" value="M"><param number="1" value="x"/>
    </message></messageType><rules><message number="1" value="M">)" +
                   rules + "</message></rules></kslXmlMapper></root>"));
  // B is accepted with 2 names in (counter 3 < 4) and still brings its companion.
  EXPECT_THAT(driver.EventNames(), ElementsAre("A", "End of A", "B", "End of B"));
  EXPECT_EQ(debug.Count("korvane::CMapperOld::ReadEvents: MAX_CUSTOM_EVENT_NUMBER exceeded"), 1u);
  EXPECT_THAT(driver.SearchTagNames(), ElementsAre("TagA", "TagB", "TagC"));
  EXPECT_EQ(debug.Count("MAX_SEARCH_TAG_NUMBER exceeded!"), 0u);
}

// The counter starts at 1 and refuses once it has reached the limit: with a
// limit of 4 exactly three names fit.
TEST_F(MapperOldTest, NameLimitAdmitsOneNameFewerThanItsValue) {
  std::string rules;
  for (int n = 1; n <= 4; ++n) {
    rules += "<param number=\"" + std::to_string(n) + "\" reference=\"1\" value=\"1\"><action number=\"1\" " +
             "type=\"event\" value=\"E" + std::to_string(n) + "\"/></param>";
  }
  mapper.SetNameLimitForTesting(4);
  ASSERT_TRUE(Load(R"(<root><kslXmlMapper><messageType><message number="1" value="M"><param number="1" value="x"/>
    </message></messageType><rules><message number="1" value="M">)" +
                   rules + "</message></rules></kslXmlMapper></root>"));
  EXPECT_THAT(driver.EventNames(), ElementsAre("E1", "E2", "E3"));
  EXPECT_EQ(debug.Count("MAX_CUSTOM_EVENT_NUMBER exceeded"), 1u);
}

TEST_F(MapperOldTest, MissingMessageTypeFailsInitialisation) {
  EXPECT_FALSE(Load(R"(<root><kslXmlMapper><rules/></kslXmlMapper></root>)"));
  EXPECT_TRUE(debug.Contains("korvane::CMapperOld::Initialize: Unable to read message configuration"));
  debug.Clear();
  EXPECT_FALSE(mapper.Initialize(kValidationText, "missing.xml"));
  EXPECT_TRUE(debug.Contains("korvane::CMapperOld::Initialize: Unable to initialize XML parser"));
}

}  // namespace
}  // namespace korvane::testing
