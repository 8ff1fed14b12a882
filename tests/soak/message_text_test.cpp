// The checker reads back exactly the messages the generators made, in the
// form the host receives them, and nothing else: a cut, merged, altered or
// misdelivered message is garbled.
#include "tools/soak/message_text.h"

#include <gtest/gtest.h>

#include <string>

#include "driver/support/string_utils.h"

namespace korvane::soak {
namespace {

std::string WithoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

void ExpectId(const std::optional<MessageId>& id, uint64_t connection, uint64_t sequence) {
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(id->connection, connection);
  EXPECT_EQ(id->sequence, sequence);
}

TEST(SoakMessageTextTest, ReadsBackEveryWireFormAsTheHostSeesIt) {
  for (const uint64_t sequence : {0ull, 1ull, 60ull, 61ull, 123456789ull}) {
    ExpectId(ReadDelivered(Wire::kLine, "tcp", WithoutLineEnd(WireMessage(Wire::kLine, "tcp", 7, sequence))), 7,
             sequence);
    ExpectId(ReadDelivered(Wire::kDatagram, "udp", WireMessage(Wire::kDatagram, "udp", 8, sequence)), 8, sequence);
    ExpectId(ReadDelivered(Wire::kXmlLine, "proxy",
                           XmlEscape(WithoutLineEnd(WireMessage(Wire::kXmlLine, "proxy", 9, sequence)))),
             9, sequence);
  }
}

TEST(SoakMessageTextTest, ContactIdCarriesConnectionAndSequenceWithAValidCheckDigit) {
  const std::string block = WithoutLineEnd(WireMessage(Wire::kContactId, "heron", 0x12, 0xABCDEF01));
  ASSERT_EQ(block.size(), 17u);
  EXPECT_EQ(block.substr(0, 8), "20012181");
  // Digit values (0 counts as ten) and the check digit add up to a multiple of 15.
  unsigned sum = 0;
  for (size_t i = 1; i < block.size(); ++i) {
    const char c = block[i];
    const unsigned value = c >= 'A' ? static_cast<unsigned>(c - 'A' + 10) : static_cast<unsigned>(c - '0');
    sum += value == 0 ? 10 : value;
  }
  EXPECT_EQ(sum % 15, 0u) << block;
  const std::string document =
      "<TexecomEvent>\n<AccountNumber>0012</AccountNumber>\n<MessageType>18</MessageType>\n<EventQualifier>1</"
      "EventQualifier>\n<EventNumber>ABC</EventNumber>\n<EventName>Unknown</EventName>\n<Partition>DE</"
      "Partition>\n<Zone>"
      "F01</Zone>\n</TexecomEvent>";
  ExpectId(ReadDelivered(Wire::kContactId, "heron", document), 0x12, 0xABCDEF01);
}

TEST(SoakMessageTextTest, CutMergedAlteredOrMisdeliveredMessagesAreGarbled) {
  const std::string text = MessageText("tcp", 3, 41);
  EXPECT_TRUE(ReadDelivered(Wire::kLine, "tcp", text).has_value());
  EXPECT_FALSE(ReadDelivered(Wire::kLine, "tcp", text.substr(0, text.size() / 2)));
  EXPECT_FALSE(ReadDelivered(Wire::kLine, "tcp", text.substr(text.size() / 2)));
  EXPECT_FALSE(ReadDelivered(Wire::kLine, "tcp", text + MessageText("tcp", 3, 42)));
  EXPECT_FALSE(ReadDelivered(Wire::kLine, "tcp", text.substr(0, 20) + MessageText("tcp", 3, 42)));
  std::string altered = text;
  altered[25] = altered[25] == 'a' ? 'b' : 'a';
  EXPECT_FALSE(ReadDelivered(Wire::kLine, "tcp", altered));
  EXPECT_FALSE(ReadDelivered(Wire::kLine, "udp", text));     // another lane's message
  EXPECT_FALSE(ReadDelivered(Wire::kXmlLine, "tcp", text));  // not in the form that lane sends
  EXPECT_FALSE(ReadDelivered(Wire::kContactId, "heron", "<TexecomEvent><AccountNumber>0012</AccountNumber>"));
}

}  // namespace
}  // namespace korvane::soak
