// Heron on its own: message fields, the check digit, the event table file and
// the copy into the driver's buffer.
#include "plugins/heron/heron.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "driver/support/xml_parser.h"
#include "tests/plugins/plugin_test_util.h"

namespace korvane::testing {
namespace {

constexpr const char* kParseFailure = "Unable to parse Texecom message: invalid format or currupted";

std::string Table(const std::string& events) {
  return "<?xml version=\"1.0\"?><ContactID><Events>" + events + "</Events></ContactID>";
}

class HeronTest : public PluginTest {
 protected:
  /// Opens a fresh plug-in on `events` written as ContactID.xml.
  bool Open(const std::string& events) {
    WriteFile(CHeron::kEventTableFile, Table(events));
    return heron.Open(&user, nullptr);
  }

  RecordingUser user;
  CHeron heron;
};

TEST_F(HeronTest, MessageBecomesATexecomEventDocument) {
  ASSERT_TRUE(Open(R"(<Event number="131" text="Perimeter"/><Event number="137" text="Tamper"/>)"));
  EXPECT_TRUE(user.Contains("2 events loaded from ContactID.xml", false));

  const Answer answer = Validate(heron, "21234181131010158");
  ASSERT_TRUE(answer.ok) << answer.text;
  EXPECT_EQ(answer.text,
            "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<TexecomEvent>\n<AccountNumber>1234</AccountNumber>\n"
            "<MessageType>18</MessageType>\n<EventQualifier>1</EventQualifier>\n<EventNumber>131</EventNumber>\n"
            "<EventName>Perimeter</EventName>\n<Partition>01</Partition>\n<Zone>015</Zone>\n</TexecomEvent>");
  EXPECT_EQ(answer.length, answer.text.size());
  EXPECT_TRUE(answer.terminated);
  EXPECT_EQ(answer.count, 1u);

  // A code the table does not know is still a valid message.
  const Answer unknown = Validate(heron, "24721181301000002");
  ASSERT_TRUE(unknown.ok);
  EXPECT_NE(unknown.text.find("<EventName>Unknown</EventName>"), std::string::npos);
}

TEST_F(HeronTest, CheckDigit) {
  ASSERT_TRUE(Open(R"(<Event number="131" text="Perimeter"/>)"));
  // Body sum 5 modulo 15: the check value is 10, which Contact ID sends as "0".
  EXPECT_TRUE(Validate(heron, "24721181131010050").ok);
  EXPECT_TRUE(Validate(heron, "2472118113101005A").ok);
  EXPECT_TRUE(Validate(heron, "2472118113101005:").ok);  // ":" stands for A
  EXPECT_FALSE(Validate(heron, "2472118113101005a").ok);
  // "0" is accepted for A only, not for any other digit.
  EXPECT_FALSE(Validate(heron, "21234181131010150").ok);

  // The sum runs over everything but the first and last byte: a trailing CR
  // moves it onto the check digit, which only an F survives.
  EXPECT_FALSE(Validate(heron, "21234181131010158\r").ok);
  EXPECT_TRUE(Validate(heron, "2123418313701015F\r").ok);

  const Answer shortBlock = Validate(heron, "2123418113101015");
  EXPECT_FALSE(shortBlock.ok);
  EXPECT_EQ(shortBlock.text, kParseFailure);
  EXPECT_EQ(shortBlock.count, 1u);
  EXPECT_FALSE(Validate(heron, "31234181131010158").ok);  // wrong format digit
  EXPECT_FALSE(Validate(heron, "212G4181131010158").ok);  // a letter where a digit belongs
  EXPECT_FALSE(Validate(heron, "2").ok);

  EXPECT_EQ(CHeron::ComputeChecksum("2000000000000000?"), 'F');  // fifteen zeros count 150
  EXPECT_EQ(CHeron::ComputeChecksum("21F"), 'E');                // only the "1" is summed
  EXPECT_EQ(CHeron::ComputeChecksum("2F"), 0);
}

TEST_F(HeronTest, PublishedMessagesAreAccepted) {
  const std::string vectors = ReadVector("contact_id.md");
  if (vectors.empty()) GTEST_SKIP() << "contact_id.md not found in " << VectorsDir();
  // Table rows: | n | published | `16-char` | `17-char` | sum | value (`digit`) | `digit A-F form` | ...
  const std::regex row(
      R"(\| \d+ \| [^|]+\| `([0-9A-F]{16})` \| `(2[0-9A-F]{16})` \| \d+ \| (\d+) \(`(.)`\) \| `(.)` \|)");
  ASSERT_TRUE(Open(R"(<Event number="137" text="Tamper"/>)"));
  int rows = 0;
  int tens = 0;
  for (std::sregex_iterator it(vectors.begin(), vectors.end(), row), end; it != end; ++it) {
    const std::string message = (*it)[2];
    ++rows;
    EXPECT_TRUE(Validate(heron, message).ok) << message;
    std::string upper = message;
    upper.back() = (*it)[5].str()[0];
    EXPECT_TRUE(Validate(heron, upper).ok) << upper;
    if ((*it)[3] == "10") ++tens;
  }
  EXPECT_GE(rows, 19);
  EXPECT_GE(tens, 3);  // the messages whose check digit travels as "0"
}

TEST_F(HeronTest, EventTableFile) {
  EXPECT_FALSE(heron.Open(&user, nullptr));
  EXPECT_TRUE(user.Contains("korvane::CHeron::Open: Unable to load ContactID.xml", true));

  // One Event without "text" would shift every name after it: nothing is loaded.
  EXPECT_FALSE(Open(R"(<Event number="130" text="Burglary"/><Event number="131"/>)"));
  EXPECT_TRUE(user.Contains("2 events with a \"number\" but 1 with a \"text\"", true));
  EXPECT_FALSE(Open(""));
  EXPECT_FALSE(Open(R"(<Event number="130" text="Burglary">)"));  // not well-formed
  WriteFile(CHeron::kEventTableFile, R"(<?xml version="1.0"?><!DOCTYPE c [<!ENTITY n "Burglary">]><ContactID><Events>)"
                                     R"(<Event number="130" text="&n;"/></Events></ContactID>)");
  EXPECT_FALSE(heron.Open(&user, nullptr));

  // A repeated number keeps its last text; "30" never matches a three-digit code.
  user.lines.clear();
  ASSERT_TRUE(Open(R"(<Event number="130" text="Intruder"/><Event number="130" text="Burglary &amp; hold-up"/>)"
                   R"(<Event number="30" text="Short"/>)"));
  EXPECT_TRUE(user.Contains("lists 1 event numbers again (first 130)", false));
  const Answer burglary = Validate(heron, "24721181130000020");
  ASSERT_TRUE(burglary.ok);
  // The name is escaped, so the document stays readable.
  CXMLParser parser;
  ASSERT_TRUE(parser.LoadXml(burglary.text));
  EXPECT_EQ(parser.GetNodeTextW("/TexecomEvent/EventName"), "Burglary & hold-up");

  heron.Close();
  const Answer closed = Validate(heron, "24721181130000020");
  ASSERT_TRUE(closed.ok);
  EXPECT_NE(closed.text.find("<EventName>Unknown</EventName>"), std::string::npos);
}

TEST_F(HeronTest, PublishedEventTableLoads) {
  if (ReadVector("ContactID.xml").empty()) GTEST_SKIP() << "ContactID.xml not found in " << VectorsDir();
  std::filesystem::copy_file(VectorsDir() / "ContactID.xml", Dir() / CHeron::kEventTableFile);
  ASSERT_TRUE(heron.Open(&user, nullptr));
  const Answer tamper = Validate(heron, "21234181137010152");
  ASSERT_TRUE(tamper.ok);
  EXPECT_NE(tamper.text.find("<EventName>Tamper</EventName>"), std::string::npos);
}

TEST_F(HeronTest, AnswersThatDoNotFit) {
  const std::string longName(6000, 'n');
  ASSERT_TRUE(Open(R"(<Event number="130" text=")" + longName + R"("/>)"));
  const std::string message = "24721181130000020";

  // Too large for the buffer: a failure that says so, never an empty success.
  const Answer cut = Validate(heron, message, 5120);
  EXPECT_FALSE(cut.ok);
  EXPECT_EQ(cut.text, "Heron: the XML text of 6269 bytes does not fit the output buffer of 5120 bytes");
  EXPECT_EQ(cut.length, cut.text.size());
  EXPECT_EQ(cut.count, 1u);
  const Answer whole = Validate(heron, message, 64 * 1024);
  EXPECT_TRUE(whole.ok);
  EXPECT_EQ(whole.text.size(), 6269u);

  // Not even the failure text fits: an empty output.
  for (const std::string& block : {message, std::string("garbage")}) {
    const Answer tiny = Validate(heron, block, 20);
    EXPECT_FALSE(tiny.ok);
    EXPECT_EQ(tiny.text, "");
    EXPECT_EQ(tiny.length, 0u);
    EXPECT_EQ(tiny.count, 0u);
  }
  // No capacity at all: nothing is written.
  char output = 'x';
  uint32_t length = 0;
  uint32_t count = 5;
  EXPECT_FALSE(heron.Validate(reinterpret_cast<const uint8_t*>(message.data()), 17, &output, &length, &count));
  EXPECT_EQ(output, 'x');
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(count, 0u);
}

}  // namespace
}  // namespace korvane::testing
