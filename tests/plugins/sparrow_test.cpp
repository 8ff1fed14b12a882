// Sparrow's stream parser and plug-in face: documents reassembled from any
// split of the stream, events and counters read and filtered, the messages
// built, and the parser's memory kept in bounds by a hostile stream.
#include "plugins/sparrow/sparrow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "plugins/sparrow/vca_stream_parser.h"
#include "tests/plugins/plugin_test_util.h"
#include "tests/plugins/vca_documents.h"
#include "tests/support/manual_clock.h"

namespace korvane::testing {
namespace {

using namespace std::chrono_literals;

class SparrowTest : public PluginTest {
 protected:
  /// All messages the parser answers for `blocks`, in order; every block must succeed.
  std::vector<VcaMessage> Feed(CVCAXMLStreamParser& parser, const std::vector<std::string>& blocks) {
    std::vector<VcaMessage> all;
    for (const std::string& block : blocks) {
      std::string text;
      uint32_t count = 99;
      EXPECT_TRUE(parser.Parse(reinterpret_cast<const uint8_t*>(block.data()), block.size(), text, count));
      const auto messages = VcaMessages(text);
      EXPECT_EQ(messages.size(), count) << text;
      all.insert(all.end(), messages.begin(), messages.end());
    }
    return all;
  }
  std::vector<VcaMessage> FeedNew(const std::vector<std::string>& blocks) {
    CVCAXMLStreamParser parser(DeviceEndpoint{}, &user_, clock_);
    return Feed(parser, blocks);
  }

  ManualClock clock_;
  RecordingUser user_;
};

std::string TwoDocumentStream() {
  return "<?xml version=\"1.0\"?>\r\n" +
         VcaDocument({{.id = "1", .ruleType = "counter"}}, {{"3", "Counter2", "8573"}},
                     "<vca schema_version=\"1.6\">") +
         "\r\nnot xml at all <vc" + VcaDocument({{.id = "2", .ruleName = "Door-Cnt Line - Dir B"}}, {}) + "\r\n";
}

TEST_F(SparrowTest, AnySplitOfTheStreamGivesTheSameMessages) {
  const std::string stream = TwoDocumentStream();
  auto whole = FeedNew({stream});
  // A block's alarms come first, then its counters.
  ASSERT_EQ(whole.size(), 3u);
  EXPECT_EQ(whole[0].at("type"), "counter");
  EXPECT_EQ(whole[1].at("type"), "linecounterb");
  EXPECT_EQ(whole[2].at("message"), "VCA Counter");
  EXPECT_EQ(whole[2].at("value"), "8573");
  std::sort(whole.begin(), whole.end());

  const size_t firstEnd = stream.find("</vca>") + 6;
  for (size_t split = 0; split <= stream.size(); ++split) {
    SCOPED_TRACE(split);
    CVCAXMLStreamParser parser(DeviceEndpoint{}, &user_, clock_);
    const auto first = Feed(parser, {stream.substr(0, split)});
    // A document's messages come with the block that brings its end tag.
    EXPECT_EQ(first.size(), split >= stream.rfind("</vca>") + 6 ? 3u : split >= firstEnd ? 2u : 0u);
    auto all = first;
    const auto rest = Feed(parser, {stream.substr(split)});
    all.insert(all.end(), rest.begin(), rest.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all, whole);
    EXPECT_LE(parser.BufferedBytes(), 4u);
  }
  std::vector<std::string> bytes;
  for (const char c : stream) bytes.emplace_back(1, c);
  auto byByte = FeedNew(bytes);
  std::sort(byByte.begin(), byByte.end());
  EXPECT_EQ(byByte, whole);
}

TEST_F(SparrowTest, EventsAreFilteredAndTyped) {
  const std::string doc = VcaDocument(
      {
          {.id = "1", .status = "2", .ruleType = "counter"},                    // update: dropped
          {.id = "2", .status = "7", .type = "tamper", .ruleType = "zone"},     // tamper kept
          {.id = "3", .status = "3", .type = "Tamper", .ruleType = "Counter"},  // only "tamper" is kept
          {.id = "4", .status = "4", .ruleName = "Area1-Direction"},
          {.id = "5", .ruleName = "NoDash", .objectClass = "UNCLASSIFIED"},  // no table: unknown
      },
      {});
  const auto messages = FeedNew({doc});
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0].at("id"), "2");
  EXPECT_EQ(messages[0].at("type"), "tamper");
  EXPECT_EQ(messages[0].at("status"), "unknown");
  EXPECT_EQ(messages[1].at("type"), "counter");
  EXPECT_EQ(messages[1].at("status"), "end");
  EXPECT_EQ(messages[2].at("type"), "direction filter");
  EXPECT_EQ(messages[2].at("status"), "instantaneous");
  EXPECT_EQ(messages[3].at("type"), "unknown");
  EXPECT_EQ(messages[3].at("status"), "begin");
  EXPECT_EQ(messages[3].at("obj_cls_name"), "Unknown");
  EXPECT_EQ(messages[0].at("obj_cls_name"), "person");
  EXPECT_EQ(messages[0].at("channel"), "2");
  EXPECT_EQ(messages[0].at("bb"), "x=100 y=200 w=30 h=60 ");
  EXPECT_EQ(messages[0].at("start_time"), "s=1700000000 ms=250 ");
  EXPECT_EQ(messages[0].at("end_time"), "s=1700000001 ms=500 ");
  EXPECT_EQ(messages[0].at("rule_id"), "0");
  EXPECT_EQ(messages[0].count("rule_type"), 0u);
  // No rule table could load (no address, no "Sparrow.xml"): said once, not per event.
  EXPECT_EQ(user_.lines.size(), 1u);
}

TEST(SparrowRuleNameTest, TypeFromTheTextAfterTheFirstDash) {
  EXPECT_EQ(CVCAXMLStreamParser::RuleNameType("Door-Cnt Line - Dir A"), "linecountera");
  EXPECT_EQ(CVCAXMLStreamParser::RuleNameType("Door-CNT LINE - DIR D"), "linecounterd");
  EXPECT_EQ(CVCAXMLStreamParser::RuleNameType("Gate-Cnt Line - Dir E"), "linecounter");
  EXPECT_EQ(CVCAXMLStreamParser::RuleNameType("Shop-People Counter"), "linecounter");
  EXPECT_EQ(CVCAXMLStreamParser::RuleNameType("Yard-Loitering-Long"), "loitering-long");
  EXPECT_EQ(CVCAXMLStreamParser::RuleNameType("Loitering"), "");
}

TEST_F(SparrowTest, DeviceTextCannotChangeWhichEventIsRead) {
  // Ids that would break or widen a query, and two events sharing an id: each keeps its own fields.
  const auto messages = FeedNew({VcaDocument({{.id = "1]|//event[1", .ruleType = "a", .zoneName = "North"},
                                              {.id = "x' or '1'='1", .ruleType = "b", .zoneName = "South"},
                                              {.id = "7", .ruleType = "c", .zoneName = "East"},
                                              {.id = "7", .ruleType = "d", .zoneName = "West &amp; &lt;Gate&gt; [FF]"}},
                                             {})});
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0].at("id"), "1]|//event[1");
  EXPECT_EQ(messages[0].at("zone_name"), "North");
  EXPECT_EQ(messages[1].at("zone_name"), "South");
  EXPECT_EQ(messages[2].at("zone_name"), "East");
  EXPECT_EQ(messages[3].at("type"), "d");
  // Device text is escaped in the message, so "&", "<" and the message separator arrive as sent.
  EXPECT_EQ(messages[3].at("zone_name"), "West & <Gate> [FF]");
}

TEST_F(SparrowTest, DocumentsThatCarryNothing) {
  const std::string padded = VcaDocument({}, {{"1", "In", "5"}});
  const std::string tiny = "<vca><counts><count><id>1</id><name>In</name><val>5</val></count></counts></vca>";
  ASSERT_LE(tiny.size(), 256u);
  const std::string broken = VcaDocument({}, {{"1", "In", "<6"}});
  EXPECT_TRUE(FeedNew({tiny, broken, "garbage </vca> more"}).empty());
  EXPECT_EQ(FeedNew({tiny + padded}).size(), 1u);
}

TEST_F(SparrowTest, AStartTagBeforeTheEndTagStartsTheDocumentAgain) {
  const std::string full = VcaDocument({{.id = "9", .ruleType = "zone"}}, {});
  // A document cut off by a new start tag (with or without attributes) is dropped, the new one read.
  const auto messages = FeedNew(
      {"<vca schema_version=\"1.6\"><events><event><id>1</id>", "<vca" + full.substr(4), "<vca><vca><vca ", full});
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].at("id"), "9");
  // A document with attributes on its start tag followed by a bare one: both are read.
  const auto both = FeedNew({VcaDocument({{.id = "1", .ruleType = "a"}}, {}, "<vca schema_version=\"1.6\">") + full});
  EXPECT_EQ(both.size(), 2u);
}

TEST_F(SparrowTest, AnUnclosedDocumentIsCappedAndTheStreamResumes) {
  CVCAXMLStreamParser parser(DeviceEndpoint{}, &user_, clock_);
  const std::string filler(64 * 1024, 'a');
  EXPECT_TRUE(Feed(parser, {"<vca>"}).empty());
  for (int i = 0; i < 40; ++i) {
    EXPECT_TRUE(Feed(parser, {filler}).empty());
    ASSERT_LE(parser.BufferedBytes(), CVCAXMLStreamParser::kMaxDocumentBytes + filler.size());
  }
  EXPECT_EQ(user_.lines.size(), 1u);
  EXPECT_TRUE(user_.Contains("without its end tag", true));
  // The rest of the lost document is skipped; the next document is read.
  const auto messages = Feed(parser, {filler + "</vca>" + VcaDocument({}, {{"1", "In", "5"}})});
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].at("name"), "In");
  EXPECT_LE(parser.BufferedBytes(), 4u);
}

TEST_F(SparrowTest, CounterReadingsAndTheirRepeats) {
  CVCAXMLStreamParser parser(DeviceEndpoint{}, &user_, clock_);
  const auto reported = [&](const std::vector<VcaCount>& counts) {
    std::string values;
    for (const auto& message : Feed(parser, {VcaDocument({}, counts)})) values += message.at("value") + " ";
    return values;
  };
  EXPECT_EQ(reported({{"1", "In", "5"}, {"2", "Out", "5"}}), "5 5 ");
  // The first repeat since start is let through, the next within 3 s of it is not.
  EXPECT_EQ(reported({{"1", "In", "5"}}), "5 ");
  clock_.Advance(2s);
  EXPECT_EQ(reported({{"1", "In", "5"}, {"2", "Out", "5"}}), "");
  clock_.Advance(1500ms);
  EXPECT_EQ(reported({{"2", "Out", "5"}, {"1", "In", "5"}}), "5 ");
  // A new value is always news, also the value a counter had before.
  EXPECT_EQ(reported({{"1", "In", "6"}, {"1", "In", "5"}, {"3", "In", "5"}}), "6 5 5 ");
  // Empty fields carry nothing.
  EXPECT_EQ(reported({{"", "In", "1"}, {"4", "", "1"}, {"4", "In", ""}}), "");
  parser.Reset();
  EXPECT_EQ(reported({{"1", "In", "5"}, {"1", "In", "5"}}), "5 5 ");
}

TEST_F(SparrowTest, CounterMemoryStaysFlat) {
  CVCAXMLStreamParser parser(DeviceEndpoint{}, &user_, clock_);
  for (int value = 0; value < 3000; ++value) {
    const std::string text = std::to_string(value);
    ASSERT_EQ(Feed(parser, {VcaDocument({}, {{"1", "In", text}, {"2", "Out", text}})}).size(), 2u);
  }
  EXPECT_EQ(parser.RememberedCounters(), 2u);
  // A device inventing counters without end cannot make it grow past its bound.
  std::string block;
  for (size_t id = 0; id < CVCAXMLStreamParser::kMaxCounters + 10; ++id) {
    block += VcaDocument({}, {{std::to_string(id), "C", "1"}});
  }
  std::string text;
  uint32_t count = 0;
  ASSERT_TRUE(parser.Parse(reinterpret_cast<const uint8_t*>(block.data()), block.size(), text, count));
  EXPECT_EQ(count, CVCAXMLStreamParser::kMaxCounters + 10);
  EXPECT_LE(parser.RememberedCounters(), CVCAXMLStreamParser::kMaxCounters);
  EXPECT_TRUE(user_.Contains("forgotten", true));
}

TEST_F(SparrowTest, PluginFace) {
  CKSLDataValidatorAPIImpl sparrow(clock_);
  const std::string doc = VcaDocument({{.id = "1", .ruleType = "zone"}}, {{"1", "In", "5"}});
  Answer answer = Validate(sparrow, doc);
  EXPECT_FALSE(answer.ok);
  EXPECT_EQ(answer.text, "UDP data parser is not initialized");
  EXPECT_FALSE(sparrow.Open(nullptr, nullptr));
  ASSERT_TRUE(sparrow.Open(&user_, nullptr));

  answer = Validate(sparrow, doc + doc.substr(0, 100));
  ASSERT_TRUE(answer.ok) << answer.text;
  EXPECT_EQ(answer.count, 2u);
  EXPECT_EQ(answer.length, answer.text.size());
  // Reset drops the partial document: its end does not complete it.
  sparrow.Reset();
  answer = Validate(sparrow, doc.substr(100));
  EXPECT_TRUE(answer.ok);
  EXPECT_EQ(answer.count, 0u);
  EXPECT_EQ(answer.text, "");

  // More messages than the driver's buffer holds: a failure that says so, not a silent success.
  std::vector<VcaEvent> many;
  for (int i = 0; i < 20; ++i) many.push_back({.id = std::to_string(i), .ruleType = "zone"});
  answer = Validate(sparrow, VcaDocument(many, {}));
  EXPECT_FALSE(answer.ok);
  EXPECT_NE(answer.text.find("does not fit"), std::string::npos) << answer.text;

  EXPECT_TRUE(sparrow.Close());
  EXPECT_EQ(Validate(sparrow, doc).text, "UDP data parser is not initialized");
  EXPECT_TRUE(sparrow.Close());
}

}  // namespace
}  // namespace korvane::testing
