#include "driver/validation/mapper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/validation/validation_test_util.h"

namespace korvane::testing {
namespace {

using ::testing::ElementsAre;

// A configuration with the given constants and rules sections.
std::string Config(const std::string& constants, const std::string& rules, const std::string& rulesAttributes = "") {
  return R"(<?xml version="1.0"?>
<root>
  <kslXmlMapper version="2">
    <messageType parsing="regex">
      <message number="1" value="Sale">
        <param number="1" value='AMOUNT ([0-9]+)' group="1"/>
        <param number="2" value='LANE ([0-9]+)' group="1"/>
      </message>
    </messageType>
    <constants>)" +
         constants + R"(</constants>
    <rules)" +
         rulesAttributes + ">" + rules + R"(</rules>
  </kslXmlMapper>
</root>)";
}

UniformMessage Sale(std::vector<UniformParam> params, std::string value = "Sale") {
  UniformMessage message;
  message.textPath = true;
  message.messages.push_back(UniformEntry{1, std::move(value), std::move(params)});
  return message;
}

class MapperTest : public ValidationTest {
 protected:
  bool Load(const std::string& config, int32_t type = kValidationText) {
    WriteFile("config.xml", config);
    return mapper.Initialize(type, "config.xml");
  }
  /// Maps through both routes (structured and XML text) and checks they agree.
  void Map(const UniformMessage& message, const std::string& data = "line") {
    Block first(data);
    ASSERT_TRUE(mapper.MapUniformMessage(message, first.record));
    const std::vector<HostCall> structured = driver.host.Calls();
    driver.host.Clear();
    Block second(data);
    ASSERT_TRUE(mapper.MapMessage(message.textPath, RenderUniformMessage(message), second.record));
    const std::vector<HostCall> text = driver.host.Calls();
    ASSERT_EQ(structured.size(), text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      EXPECT_EQ(structured[i].kind, text[i].kind);
      EXPECT_EQ(structured[i].number, text[i].number);
      EXPECT_EQ(structured[i].text, text[i].text);
      EXPECT_EQ(structured[i].tags.size(), text[i].tags.size());
    }
  }
  std::vector<std::string> Events() { return driver.host.Texts(Kind::kEvent); }

  HostForwarder forwarder{driver};
  CMapper mapper{forwarder, driver, debug};
};

// The lane example: expansion, registration with End companions, evaluation and search tags.
TEST_F(MapperTest, LaneArrayExampleRegistersExpandsAndMatchesOneLane) {
  driver.SetEndEventSeconds(5);
  ASSERT_TRUE(Load(Config(R"(<array name="LANE" params="p1"><min>1</min><max>4</max></array>)",
                          R"(<message number="1" value="Sale" handleParameters="all">
        <param id="p1" reference="2" operator="eq" value="LANE" type="integer">
          <and reference="1" operator="gt" value="100" type="integer"/>
          <action type="event" value="Large sale on lane LANE"/>
          <searchtag type="1" value="Amount"/>
        </param></message>)",
                          R"( case_sensitive="yes")")));
  EXPECT_THAT(driver.EventNames(),
              ElementsAre("Large sale on lane 1", "End of Large sale on lane 1", "Large sale on lane 2",
                          "End of Large sale on lane 2", "Large sale on lane 3", "End of Large sale on lane 3",
                          "Large sale on lane 4", "End of Large sale on lane 4"));
  ASSERT_EQ(driver.searchTags.size(), 4u);
  EXPECT_EQ(driver.searchTags[0].name, "Amount");
  EXPECT_EQ(driver.searchTags[0].id, 1);

  Map(Sale({{1, "250"}, {2, "3"}}));
  const auto events = driver.host.Calls(Kind::kEvent);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].text, "Large sale on lane 3");
  EXPECT_EQ(events[0].number, 5);
  EXPECT_EQ(events[0].source, "TCP Channel");
  // The value goes under every registered "Amount" entry, with that entry's id.
  ASSERT_EQ(events[0].tags.size(), 4u);
  for (int32_t id = 1; id <= 4; ++id) {
    EXPECT_EQ(events[0].tags[id - 1].id, id);
    EXPECT_EQ(events[0].tags[id - 1].text, "Large sale on lane 3");
  }

  driver.host.Clear();
  Map(Sale({{1, "50"}, {2, "3"}}));
  EXPECT_TRUE(driver.host.Calls().empty());
}

TEST_F(MapperTest, ConstantExpansionFollowsArraysAndIds) {
  ASSERT_TRUE(Load(Config(R"(<array name="ZONE"><min>1</min><max>3</max></array>)",
                          R"(<message number="1" value="Sale">
        <param reference="1" value="1"><action type="event" value="Alarm ZONE"/></param></message>)")));
  EXPECT_THAT(driver.EventNames(), ElementsAre("Alarm 1", "Alarm 2", "Alarm 3"));

  // Every array without ids is walked while any name is still present.
  driver.events.Clear();
  ASSERT_TRUE(Load(Config(R"(<array name="AA"><value>a1</value><value>a2</value></array>
                             <array name="BB"><value>b1</value><value>b2</value><value>b3</value></array>)",
                          R"(<message number="1" value="Sale">
        <param reference="1" value="1"><action type="event" value="Got BB"/></param></message>)")));
  EXPECT_THAT(driver.EventNames(), ElementsAre("Got b1", "Got b2", "Got b3", "Got b1", "Got b2", "Got b3"));

  // An array listed for ids applies only to rules whose id is one of them.
  driver.events.Clear();
  ASSERT_TRUE(Load(Config(R"(<array name="XX" params="p1,p2"><value>1</value><value>2</value></array>)",
                          R"(<message number="1" value="Sale">
        <param id="p2" reference="1" value="XX"><action type="event" value="P2 XX"/></param>
        <param id="p3" reference="1" value="XX"><action type="event" value="P3 XX"/></param>
        <param reference="1" value="XX"><action type="event" value="None XX"/></param></message>)")));
  EXPECT_THAT(driver.EventNames(), ElementsAre("P2 1", "P2 2", "P3 XX", "None XX"));

  // Arrays multiply rules; beyond the limit the rest are dropped with one log line.
  driver.events.Clear();
  mapper.SetExpansionLimitForTesting(4);
  ASSERT_TRUE(Load(Config(R"(<array name="AA"><min>1</min><max>100</max></array>
                             <array name="BB"><min>1</min><max>100</max></array>)",
                          R"(<message number="1" value="Sale">
        <param reference="1" value="AA"><action type="event" value="Got BB"/></param>
        <param reference="1" value="2"><action type="event" value="Never"/></param></message>)")));
  EXPECT_THAT(driver.EventNames(), ElementsAre("Got 1", "Got 2", "Got 3", "Got 4"));
  ASSERT_EQ(debug.Count("More than 4 parameter rules after constant expansion"), 1u);
  EXPECT_EQ(debug.Lines().back().level, kLogError) << "the host hears errors only";
}

// Pretty-printed bounds are numbers; a bound that is not one skips the array
// instead of reading as 0 and adding a rule for the value 0.
TEST_F(MapperTest, RangeBoundsAreTrimmedAndAnInvalidBoundSkipsTheArray) {
  ASSERT_TRUE(
      Load(Config("<array name=\"ZONE\"><min>\n  1\n</min><max>\r\n\t2 </max></array>"
                  "<array name=\"DOOR\" params=\"d\"><min>1</min><max>2x</max></array>"
                  "<array name=\"UNUSED\"><value>1</value></array>",
                  R"(<message number="1" value="Sale">
        <param reference="1" value="1"><action type="event" value="Alarm ZONE"/></param>
        <param id="d" reference="1" value="1"><action type="event" value="Door DOOR"/></param></message>)")));
  EXPECT_THAT(driver.EventNames(), ElementsAre("Alarm 1", "Alarm 2", "Door DOOR"));
  EXPECT_TRUE(debug.Contains("Constant array 'DOOR' skipped: <max> '2x' is not an integer"));
  // An array no rule mentions is said at load (a misspelt name would otherwise expand nothing).
  EXPECT_EQ(debug.Count("applies to no rule"), 1u);
  EXPECT_TRUE(debug.Contains("Constant array 'UNUSED' applies to no rule"));
}

TEST_F(MapperTest, InvalidRuleMessagesAreDroppedAndNoRulesFailsInitialisation) {
  EXPECT_FALSE(Load(Config("", R"(<message number="0" value="Sale"><param reference="1" value="1">
      <action type="event" value="Zero"/></param></message>
      <message number="x" value="Sale"><param reference="1" value="1"><action type="event" value="Bad"/></param>
      </message>
      <message number="2" value="Sale"><param reference="1" value="1"/></message>)")));
  EXPECT_TRUE(debug.Contains("korvane::CMapper::LoadConfiguration: Unable to read rules from configuration"));
  // Each dropped rule and rule message says why, with its line.
  EXPECT_EQ(debug.Count("dropped: it has no message number"), 2u);
  EXPECT_EQ(debug.Count("of message 'Sale' dropped: it has no action"), 1u);
  EXPECT_EQ(debug.Count("dropped: none of its rules has an action"), 1u);
  EXPECT_EQ(debug.Count(" at line 0 "), 0u) << "every dropped rule names its line";

  // A configuration for the XML paths needs at least one messageType/param, and says so.
  debug.Clear();
  EXPECT_FALSE(Load(Config("", R"(<message number="1" value="Sale"><param reference="1" value="1">
      <action type="event" value="E"/></param></message>)"),
                    kValidationCustom));
  EXPECT_EQ(debug.Count("Unable to read message configuration: messageType defines no parameter"), 1u);
}

TEST_F(MapperTest, CompareCoversTypesAndOperators) {
  struct Case {
    const char* p;
    const char* c;
    const char* op;
    const char* type;
    bool expected;
  };
  const Case cases[] = {
      {"10", "9", "gt", "", true},              // both integers: numeric
      {"10", "9a", "gt", "", false},            // else string: "1" sorts before "9"
      {"10", "9", "gt", "string", false},       //
      {"5", "5", "contains", "integer", true},  // "contains" on numbers is equality
      {"15", "5", "contains", "integer", false},
      {"abcde", "cd", "contains", "string", true},
      {"2.5", "2.25", "ge", "float", true},
      {"2.5", "2.5", "neq", "float", false},
      {" 7 ", "+7", "eq", "integer", true},  // blanks trimmed, sign allowed
      {"7", "8", "le", "", true},
      {"b", "a", "lt", "", false},
      {"Alarm", "ALARM", "eq", "", true},        // case-insensitive by default
      {"Alarm", "ALARM", "whatever", "", true},  // unknown operator means equal
      // Boundaries: "ge" and "le" hold on equal values, "gt" and "lt" do not.
      {"7", "7", "ge", "integer", true},
      {"7", "7", "le", "integer", true},
      {"7", "7", "gt", "integer", false},
      {"2.5", "2.5", "ge", "float", true},
      {"2.5", "2.5", "le", "float", true},
      {"2.5", "2.5", "lt", "float", false},
      {"b", "B", "ge", "string", true},
      {"b", "B", "le", "string", true},
      {"a", "b", "ge", "string", false},
      {"c", "b", "le", "string", false},
      {"a", "b", "neq", "string", true},
      {"a", "A", "neq", "string", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mapper.Compare(c.p, c.c, CMapper::OperatorCode(c.op), c.type), c.expected)
        << c.p << " " << c.op << " " << c.c << " as " << c.type;
  }
  driver.caseSensitive = true;
  EXPECT_FALSE(mapper.Compare("Alarm", "ALARM", CMapper::kEqual, ""));
  EXPECT_TRUE(debug.Lines().empty());

  EXPECT_FALSE(mapper.Compare("x", "1", CMapper::kEqual, "integer"));
  EXPECT_TRUE(debug.Contains("korvane::CMapper::CompareInteger: Unable to convert parameter values to integer"));
  EXPECT_FALSE(mapper.Compare("1.5", "y", CMapper::kEqual, "float"));
  EXPECT_TRUE(debug.Contains("korvane::CMapper::CompareFloat: Unable to convert parameter values to float"));
  EXPECT_FALSE(mapper.Compare("1", "1", CMapper::kEqual, "bool"));
  EXPECT_TRUE(debug.Contains("korvane::CMapper::Compare: Unknown parameter value type"));
}

TEST_F(MapperTest, ConditionsCombineLeftToRightWithoutPrecedence) {
  // (true AND false) OR true
  ASSERT_TRUE(Load(Config("", R"(<message number="1" value="Sale" handleParameters="all">
      <param reference="1" value="250">
        <and reference="2" value="9"/><or reference="2" value="3"/>
        <action type="event" value="Matched"/></param>
      <param reference="1" value="250">
        <or reference="2" value="3"/><and reference="2" value="9"/>
        <action type="event" value="Not matched"/></param>
      <param reference="7" value="1" operator="neq"><action type="event" value="Missing parameter"/></param>
      <param reference="1" value="999"><or reference="2" value="3"/><action type="event" value="Rescued"/></param>
    </message>)",
                          "")));
  Map(Sale({{1, "250"}, {2, "3"}}));
  EXPECT_THAT(Events(), ElementsAre("Matched", "Rescued"));
}

// All messages of one text-path document share one parameter table: a later
// message's parameter replaces an earlier one with the same number.
TEST_F(MapperTest, LaterMessagesReplaceParametersWithTheSameNumber) {
  ASSERT_TRUE(Load(Config("", R"(<message number="1" value="Sale" handleParameters="all">
      <param reference="1" value="first"><action type="event" value="Saw first"/></param>
      <param reference="1" value="second"><action type="event" value="Saw second"/></param>
      <param reference="2" value="kept"><action type="event" value="Saw kept"/></param></message>)")));
  UniformMessage message = Sale({{1, "first"}, {2, "kept"}});
  message.messages.push_back(UniformEntry{2, "Other", {{1, "second"}}});
  Map(message);
  EXPECT_THAT(Events(), ElementsAre("Saw second", "Saw kept"));
}

TEST_F(MapperTest, RuleMessagesAndParameterRulesAreTriedInOrder) {
  ASSERT_TRUE(Load(Config("", R"(
    <message number="1" value="Sale">
      <param reference="1" value="1"><action type="event" value="First one"/></param>
    </message>
    <message number="2" value="Sale" handleParameters="all" alwaysShowText="yes">
      <param reference="1" value="250"><action type="event" value="Second A"/>
        <action type="text" value="shown"/></param>
      <param reference="2" value="3" operator="le"><action type="event" value="Second B"/></param>
    </message>
    <message number="3" value="Sale">
      <param reference="1" value="250"><action type="event" value="Third"/></param>
    </message>)")));
  // No rule of message 1 matches, so message 2 is tried; "all" runs both; message 3 is not looked at.
  Map(Sale({{1, "250"}, {2, "3"}}), "raw block");
  EXPECT_THAT(Events(), ElementsAre("Second A", "Second B"));
  EXPECT_THAT(driver.host.Texts(Kind::kData), ElementsAre("raw block", "shown"));

  // alwaysShowText shows the block even when nothing matches; an unknown value produces nothing.
  driver.host.Clear();
  Map(Sale({{1, "1000"}, {2, "9"}}), "other block");
  EXPECT_THAT(driver.host.Texts(Kind::kData), ElementsAre("other block"));
  EXPECT_TRUE(Events().empty());
  driver.host.Clear();
  Map(Sale({{1, "250"}}, "Refund"));
  EXPECT_TRUE(driver.host.Calls().empty());
}

TEST_F(MapperTest, MetadataChannelIsLearnedFromTheFirstMessage) {
  ASSERT_TRUE(Load(Config("", R"(<message number="1" value="Sale" handleParameters="all">
      <param reference="1" value="1"><action type="metadata" metadatatype="textevent" value=""/></param>
      <param reference="1" value="1"><action type="metadata" metadatatype="xml" metadatachannel="4"
        value="fixed"/></param>
    </message>)")));
  Block withChannel(R"(<korvanemetadata><video c="3"/></korvanemetadata>)");
  ASSERT_TRUE(mapper.MapUniformMessage(Sale({{1, "1"}}), withChannel.record));
  Block other(R"(<korvanemetadata><video c="7"/></korvanemetadata>)");
  ASSERT_TRUE(mapper.MapUniformMessage(Sale({{1, "1"}}), other.record));
  const auto calls = driver.host.Calls(Kind::kMetadata);
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].channel, 2);  // c=3, zero-based
  EXPECT_EQ(calls[0].format, 2);   // textevent
  EXPECT_EQ(calls[0].number, 2);   // kind
  EXPECT_EQ(calls[0].text, withChannel.data);
  EXPECT_EQ(calls[1].channel, 3);
  EXPECT_EQ(calls[1].format, 0);
  EXPECT_EQ(calls[1].text, "fixed");
  EXPECT_EQ(calls[2].channel, 2);  // learned, not re-read
  EXPECT_EQ(calls[2].text, other.data);

  // Without a korvanemetadata element the record's channel is used.
  CMapper fresh(forwarder, driver, debug);
  ASSERT_TRUE(fresh.Initialize(kValidationText, "config.xml"));
  driver.host.Clear();
  Block plain("no xml");
  ASSERT_TRUE(fresh.MapUniformMessage(Sale({{1, "1"}}), plain.record));
  EXPECT_EQ(driver.host.Calls(Kind::kMetadata).at(0).channel, 0);

  // A message text that is not XML is refused.
  EXPECT_FALSE(mapper.MapMessage(true, "<root><message", plain.record));
}

// Expanded rules share their template's texts: each must still see its own
// substitutions, made in expansion order, and learn its own metadata channel.
TEST_F(MapperTest, ExpandedRulesKeepTheirOwnTextsAndLearnedChannels) {
  ASSERT_TRUE(Load(Config(R"(<array name="AA"><value>BB-a</value></array>
                             <array name="BB"><min>1</min><max>2</max></array>)",
                          R"(<message number="1" value="Sale">
        <param reference="1" value="BB"><action type="metadata" value="AA"/><searchtag value="Tag BB"/></param>
      </message>)")));
  EXPECT_THAT(driver.SearchTagNames(), ElementsAre("Tag 1", "Tag 2"));
  const auto map = [this](const char* lane, const char* channel) {
    Block block(std::string("<korvanemetadata><video c=\"") + channel + "\"/></korvanemetadata>");
    EXPECT_TRUE(mapper.MapUniformMessage(Sale({{1, lane}}), block.record));
    SearchTagEntry tag{};
    EXPECT_TRUE(block.searchData.First(&tag));
    return std::to_string(tag.id) + ":" + std::string(tag.text, static_cast<size_t>(tag.length));
  };
  EXPECT_EQ(map("2", "3"), "2:2-a");
  EXPECT_EQ(map("1", "7"), "1:1-a");
  EXPECT_EQ(map("2", "7"), "2:2-a");
  const auto calls = driver.host.Calls(Kind::kMetadata);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].text, "2-a");
  EXPECT_EQ(calls[0].channel, 2);
  EXPECT_EQ(calls[1].text, "1-a");
  EXPECT_EQ(calls[1].channel, 6);  // its own, not the sibling's
  EXPECT_EQ(calls[2].channel, 2);  // kept from the first use
}

TEST_F(MapperTest, ValuesWithMarkupCharactersSurviveBothRoutes) {
  ASSERT_TRUE(Load(Config("", R"(<message number="1" value="A&amp;B &quot;x&quot;">
      <param reference="1" value="&lt;tag&gt; &amp; 'q'"><action type="event" value="Markup"/></param>
      <param reference="1" value="tab&#9;in"><action type="event" value="Tab"/></param>
    </message>)")));
  Map(Sale({{1, "<tag> & 'q'"}}, "A&B \"x\""));
  EXPECT_THAT(Events(), ElementsAre("Markup"));
  driver.host.Clear();
  Map(Sale({{1, "tab\tin"}}, "A&B \"x\""));
  EXPECT_THAT(Events(), ElementsAre("Tab"));
}

// A search tag with a reference carries that message parameter's value: one
// registered name whatever the number of rules and values, attached once per
// match before the rule's events; a missing parameter attaches nothing and is
// said once per rule.
TEST_F(MapperTest, SearchTagWithReferenceCarriesTheParameterValue) {
  ASSERT_TRUE(Load(Config(R"(<array name="LANE"><min>1</min><max>3</max></array>)",
                          R"(<message number="1" value="Sale" handleParameters="all">
        <param reference="1" operator="gt" value="0"><searchtag value="Amount" reference="1"/></param>
        <param reference="2" value="LANE">
          <action type="event" value="Sale on lane LANE"/>
          <action type="text" value="lane LANE"/>
          <searchtag value="Lane" reference="2"/>
        </param>
        <param reference="1" operator="gt" value="100"><searchtag value="Till" reference="3"/></param>
      </message>)")));
  EXPECT_THAT(driver.SearchTagNames(), ElementsAre("Amount", "Lane", "Till"));

  Map(Sale({{1, "250"}, {2, "2"}}));
  const auto events = driver.host.Calls(Kind::kEvent);
  ASSERT_EQ(events.size(), 1u);
  ASSERT_EQ(events[0].tags.size(), 2u);
  EXPECT_EQ(events[0].tags[0].id, 1);
  EXPECT_EQ(events[0].tags[0].text, "250");
  EXPECT_EQ(events[0].tags[1].id, 2);
  EXPECT_EQ(events[0].tags[1].text, "2");
  // Two actions, one value: the text action sees the same two tags.
  EXPECT_EQ(driver.host.Calls(Kind::kData).at(0).tags.size(), 2u);

  // No parameter 3: nothing attached for Till, one line for the rule whatever the number of messages.
  EXPECT_EQ(debug.Count("Search tag 'Till' not attached: the message has no parameter 3"), 1u);
  driver.host.Clear();
  Map(Sale({{1, "300"}, {2, "9"}}));
  EXPECT_EQ(debug.Count("Search tag 'Till' not attached"), 1u);
}

TEST_F(MapperTest, SearchTagWithAnUnusableReferenceIsSkippedAtLoad) {
  ASSERT_TRUE(Load(Config("", R"(<message number="1" value="Sale">
        <param reference="1" value="5"><searchtag value="Amount" reference="one"/></param>
        <param reference="1" value="6"><action type="event" value="Six"/><searchtag value="Lane" reference="0"/></param>
      </message>)")));
  EXPECT_EQ(debug.Count("Search tag 'Amount' skipped: reference 'one' is not a parameter number"), 1u);
  EXPECT_EQ(debug.Count("Search tag 'Lane' skipped: reference '0' is not a parameter number"), 1u);
  EXPECT_TRUE(driver.SearchTagNames().empty());
  Map(Sale({{1, "6"}}));
  EXPECT_THAT(Events(), ElementsAre("Six"));
  EXPECT_TRUE(driver.host.Calls(Kind::kEvent).at(0).tags.empty());
}

// unmatchedText shows as text every message that ran no action: one no rule
// message matches, one whose rules do not hold, one that only attached a tag;
// a message that reported an event, or was shown by alwaysShowText, is not shown again.
TEST_F(MapperTest, UnmatchedTextShowsMessagesThatRanNoAction) {
  const std::string rules = R"(<message number="1" value="Sale">
        <param reference="1" value="5"><action type="event" value="Five"/></param>
        <param reference="1" value="6"><searchtag value="Lane" reference="2"/></param>
      </message>
      <message number="2" value="Shown" alwaysShowText="yes">
        <param reference="1" value="5"><action type="event" value="Shown five"/></param>
      </message>)";
  // What the host receives for one message: its events, then its texts.
  const auto mapped = [this](const UniformMessage& message, const std::string& line) {
    driver.host.Clear();
    Map(message, line);
    std::vector<std::string> calls = Events();
    for (const std::string& text : driver.host.Texts(Kind::kData)) calls.push_back("text: " + text);
    return calls;
  };
  ASSERT_TRUE(Load(Config("", rules, R"( unmatchedText="yes")")));
  EXPECT_THAT(mapped(Sale({{1, "5"}}), "event line"), ElementsAre("Five"));
  EXPECT_THAT(mapped(Sale({{1, "7"}}), "unmatched line"), ElementsAre("text: unmatched line"));
  EXPECT_THAT(mapped(Sale({{1, "6"}, {2, "4"}}), "tagged line"), ElementsAre("text: tagged line"));
  EXPECT_EQ(driver.host.Calls(Kind::kData).at(0).tags.size(), 1u);
  EXPECT_THAT(mapped(Sale({{1, "1"}}, "Other"), "other line"), ElementsAre("text: other line"));
  EXPECT_THAT(mapped(Sale({{1, "1"}}, "Shown"), "shown line"), ElementsAre("text: shown line"));

  // Off by default.
  ASSERT_TRUE(Load(Config("", rules)));
  EXPECT_TRUE(mapped(Sale({{1, "7"}}), "unmatched line").empty());
}

}  // namespace
}  // namespace korvane::testing
