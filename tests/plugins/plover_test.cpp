// Plover on its own: block framing, event codes, parameter kinds.
#include "plugins/plover/plover.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>

#include "driver/support/xml_parser.h"
#include "tests/plugins/plugin_test_util.h"

namespace korvane::testing {
namespace {

constexpr const char* kParseFailure = "Unable to parse Galaxy message: invalid format or currupted";

/// A block as a Galaxy panel frames it: header (flags + data length),
/// function code, data, parity.
std::string Frame(const std::string& data, char function = 'N', uint8_t flags = 0x40) {
  std::string block;
  block += static_cast<char>(flags | data.size());
  block += function;
  block += data;
  uint8_t parity = 0xff;
  for (char c : block) parity ^= static_cast<uint8_t>(c);
  block += static_cast<char>(parity);
  return block;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    if (hex[i] == ' ') {
      --i;
      continue;
    }
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

/// "Type/Value" of an accepted block, or "refused".
std::string Decode(CPlover& plover, const std::string& block) {
  const Answer answer = Validate(plover, block);
  if (!answer.ok) {
    EXPECT_EQ(answer.text, kParseFailure);
    return "refused";
  }
  CXMLParser parser;
  EXPECT_TRUE(parser.LoadXml(answer.text)) << answer.text;
  return parser.GetNodeTextW("/GalaxyEvent/Type") + "/" + parser.GetNodeTextW("/GalaxyEvent/Value");
}

TEST(PloverTest, BlockBecomesAGalaxyEventDocument) {
  CPlover plover;
  RecordingUser user;
  ASSERT_TRUE(plover.Open(&user, nullptr));
  const Answer answer = Validate(plover, Frame("BA0012"));
  ASSERT_TRUE(answer.ok) << answer.text;
  EXPECT_EQ(answer.text,
            "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<GalaxyEvent>\n<ID>BA</ID>\n"
            "<Description>Burglary Alarm</Description>\n<Type>Zone</Type>\n<Value>0012</Value>\n</GalaxyEvent>");
  EXPECT_EQ(answer.count, 1u);
  EXPECT_EQ(answer.length, answer.text.size());
  EXPECT_TRUE(plover.Close());
}

TEST(PloverTest, ParameterLengthChoosesTheKind) {
  CPlover plover;
  const std::map<std::string, std::string> cases = {
      {"BA0012", "Zone/0012"}, {"BA012", "refused"},  {"FA012", "User/012"},   {"FA0012", "Zone/0012"},
      {"BV", "Event/"},        {"CE123", "User/123"}, {"CE12", "Event/12"},    {"LR01", "refused"},
      {"LR001", "Module/001"}, {"ba0012", "refused"}, {"AR0001", "Zone/0001"}, {"AR12345", "Event/12345"},
      {"ZZ0012", "refused"},   {"B", "refused"},      {"", "refused"},
  };
  for (const auto& [data, expected] : cases) EXPECT_EQ(Decode(plover, Frame(data)), expected) << data;
}

TEST(PloverTest, Framing) {
  CPlover plover;
  EXPECT_EQ(Decode(plover, Frame("BA0012", 'O')), "Zone/0012");
  // The header's top bits are flags; only the low six give the length.
  EXPECT_EQ(Decode(plover, Frame("BA0012", 'N', 0xc0)), "Zone/0012");
  EXPECT_EQ(Decode(plover, Frame("BA0012", 'N', 0x00)), "Zone/0012");
  EXPECT_EQ(Decode(plover, Frame("BA0012", 'n')), "refused");
  EXPECT_EQ(Decode(plover, Frame("BA0012", '#')), "refused");

  std::string badParity = Frame("BA0012");
  badParity.back() ^= 1;
  EXPECT_EQ(Decode(plover, badParity), "refused");

  // One byte more than the header announces, parity recomputed: refused.
  std::string longer = Frame("BA00123");
  longer[0] = static_cast<char>(0x46);
  longer.back() ^= 0x46 ^ 0x47;
  EXPECT_EQ(Decode(plover, longer), "refused");
  EXPECT_EQ(Decode(plover, Frame("BA0012").substr(0, 3)), "refused");

  // The panel's bytes are escaped into the document.
  EXPECT_EQ(Decode(plover, Frame("BV<&>")), "Event/<&>");
}

TEST(PloverTest, PublishedBlocks) {
  const std::string vectors = ReadVector("sia_galaxy.md");
  if (vectors.empty()) GTEST_SKIP() << "sia_galaxy.md not found in " << VectorsDir();
  CPlover plover;
  // Real Galaxy Flex segments: account, level-3 event, ASCII and end-of-data
  // blocks; none is a level-1 event block, so each is refused cleanly.
  const std::regex real(R"(\| `([0-9a-f]+)` \| hdr=)");
  int realBlocks = 0;
  for (std::sregex_iterator it(vectors.begin(), vectors.end(), real), end; it != end; ++it, ++realBlocks) {
    EXPECT_EQ(Decode(plover, FromHex((*it)[1])), "refused") << (*it)[1];
  }
  EXPECT_EQ(realBlocks, 4);

  // Blocks for the event-block examples, each with headers 0x40, 0xC0 and 0x00.
  const std::map<std::string, std::string> expected = {
      {"BA0012", "Zone/0012"}, {"BA012", "refused"},    {"FA012", "User/012"}, {"FA0012", "Zone/0012"},
      {"BV", "Event/"},        {"CE123", "User/123"},   {"CE12", "Event/12"},  {"LR01", "refused"},
      {"LR001", "Module/001"}, {"BA1011", "Zone/1011"}, {"OP001", "User/001"}, {"RP", "Event/"},
  };
  const std::regex row(R"(\| `([A-Z0-9]+)` \| `([0-9a-f ]+)` \| `([0-9a-f ]+)` \| `([0-9a-f ]+)` \|)");
  int rows = 0;
  for (std::sregex_iterator it(vectors.begin(), vectors.end(), row), end; it != end; ++it, ++rows) {
    const auto want = expected.find((*it)[1]);
    ASSERT_NE(want, expected.end()) << (*it)[1];
    for (int column = 2; column <= 4; ++column) EXPECT_EQ(Decode(plover, FromHex((*it)[column])), want->second);
  }
  EXPECT_EQ(rows, 12);

  // The negative cases: wrong parity, one byte too many, lower-case function code.
  const std::regex negative(R"((wrong parity|one more than header says|lower-case function code) `([0-9a-f ]+)`)");
  int negatives = 0;
  for (std::sregex_iterator it(vectors.begin(), vectors.end(), negative), end; it != end; ++it, ++negatives) {
    EXPECT_EQ(Decode(plover, FromHex((*it)[2])), "refused") << (*it)[1];
  }
  EXPECT_EQ(negatives, 3);
}

}  // namespace
}  // namespace korvane::testing
