#include "driver/validation/message_builder.h"

#include <gtest/gtest.h>

#include <string>

#include "driver/support/xml_parser.h"
#include "tests/validation/validation_test_util.h"

namespace korvane::testing {
namespace {

class MessageBuilderTest : public ValidationTest {
 protected:
  TextPathDefinition Definition(const std::string& messageType) {
    WriteFile("types.xml", "<root><kslXmlMapper>" + messageType + "</kslXmlMapper></root>");
    CXMLParser parser;
    EXPECT_TRUE(parser.LoadFile("types.xml"));
    return ReadTextPathDefinition(parser);
  }
};

TEST_F(MessageBuilderTest, ShapeAExtractsRegexGroupsAndStopsAtTheFirstGap) {
  const TextPathDefinition definition = Definition(R"(<messageType parsing="regex">
      <message number="1" value="Sale">
        <param number="1" value='TOTAL ([0-9.]+)' group="1"/>
        <param number="2" value="LANE [0-9]+" group="abc"/>
        <param number="3" value='CASH ([0-9.]+)' group="1"/>
        <param number="4" value="NAME (.+)$" group="1"/>
      </message>
      <message number="2" value="Gap">
        <param number="1" value='LANE ([0-9]+)' group="1"/>
        <param number="3" value="TOTAL" group="0"/>
      </message>
      <message number="3" value="Groups">
        <param number="1" value='(LANE) ([0-9]+)' group="2"/>
        <param number="2" value='(LANE)' group="2"/>
        <param number="3" value="LANE" group="0"/>
      </message>
      <message number="5" value="Unreachable"/>
    </messageType>)");
  ASSERT_TRUE(definition.regexParsing);
  ASSERT_EQ(definition.messages.size(), 3u);

  UniformMessage message;
  std::string error;
  // The channel delivers the line escaped for XML.
  ASSERT_TRUE(BuildTextMessage(definition, CTextSubject("LANE 3 TOTAL 15.55 NAME Tom &amp; &quot;Jerry&quot;"), message,
                               error));
  ASSERT_EQ(message.messages.size(), 3u);
  const auto& sale = message.messages[0].params;
  // Parameter 3 does not match, so parameter 4 is never tried.
  ASSERT_EQ(sale.size(), 2u);
  EXPECT_EQ(sale[0].value, "15.55");
  EXPECT_EQ(sale[1].value, "LANE 3");  // group "abc" counts as 0
  const auto& gap = message.messages[1].params;
  ASSERT_EQ(gap.size(), 1u);
  EXPECT_EQ(gap[0].value, "3");
  const auto& groups = message.messages[2].params;
  ASSERT_EQ(groups.size(), 1u);  // group 2 of a one-group expression ends the list
  EXPECT_EQ(groups[0].value, "3");

  EXPECT_EQ(RenderUniformMessage(message),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><root>"
            "<message number=\"1\" value=\"Sale\"><param number=\"1\" type=\"string\" value=\"15.55\" />"
            "<param number=\"2\" type=\"string\" value=\"LANE 3\" /></message>"
            "<message number=\"2\" value=\"Gap\"><param number=\"1\" type=\"string\" value=\"3\" /></message>"
            "<message number=\"3\" value=\"Groups\"><param number=\"1\" type=\"string\" value=\"3\" /></message>"
            "</root>");

  // Escaped text is stored as the device sent it and escaped exactly once when written.
  ASSERT_TRUE(BuildTextMessage(definition, CTextSubject("TOTAL 1 LANE 2 CASH 3 NAME a &lt;b&gt; &amp;amp; \"c\""),
                               message, error));
  EXPECT_EQ(message.messages[0].params[3].value, "a <b> &amp; \"c\"");
  EXPECT_NE(RenderUniformMessage(message).find("value=\"a &lt;b&gt; &amp;amp; &quot;c&quot;\""), std::string::npos);
}

TEST_F(MessageBuilderTest, ShapeAWithoutRegexParsingUsesConstantValues) {
  const TextPathDefinition definition = Definition(R"(<messageType>
      <message number="1" value="Line &amp; more"><param number="1" value="(not a regex"/>
        <param number="2" value="two"/></message></messageType>)");
  UniformMessage message;
  std::string error;
  ASSERT_TRUE(BuildTextMessage(definition, CTextSubject("anything"), message, error));
  ASSERT_EQ(message.messages.size(), 1u);
  EXPECT_EQ(message.messages[0].value, "Line & more");
  ASSERT_EQ(message.messages[0].params.size(), 2u);
  EXPECT_EQ(message.messages[0].params[0].value, "(not a regex");
}

// A device that pads with a tab must still match a rule written with a blank,
// as built and after the XML text round trip alike.
TEST_F(MessageBuilderTest, ShapeATurnsTabsAndLineBreaksIntoBlanks) {
  const TextPathDefinition definition = Definition(R"(<messageType parsing="regex">
      <message number="1" value="Item&#9;line"><param number="1" value="ITEM (.+)$" group="1"/></message>
    </messageType>)");
  UniformMessage message;
  std::string error;
  ASSERT_TRUE(BuildTextMessage(definition, CTextSubject("ITEM Coffee\tbeans\r\nx"), message, error));
  EXPECT_EQ(message.messages[0].value, "Item line");
  EXPECT_EQ(message.messages[0].params[0].value, "Coffee beans  x");
  CXMLParser parsed;
  ASSERT_TRUE(parsed.LoadXml(RenderUniformMessage(message)));
  EXPECT_EQ(parsed.GetAttributeW("root/message/param", "value"), "Coffee beans  x");
}

TEST_F(MessageBuilderTest, ShapeAReportsUnusableExpressions) {
  const TextPathDefinition definition = Definition(R"(<messageType parsing="regex">
      <message number="1" value="M"><param number="1" value="x" group="0"/>
        <param number="2" value="(unclosed" group="1"/></message></messageType>)");
  UniformMessage message;
  std::string error;
  EXPECT_FALSE(BuildTextMessage(definition, CTextSubject("x"), message, error));
  EXPECT_NE(error.find("message 1 parameter 2"), std::string::npos) << error;
  // A line where parameter 1 already fails never reaches the broken expression.
  EXPECT_TRUE(BuildTextMessage(definition, CTextSubject("y"), message, error));

  // Catastrophic backtracking is cut short and answered in linear time: no match, no failure.
  const TextPathDefinition slow = Definition(R"(<messageType parsing="regex">
      <message number="1" value="M"><param number="1" value="(x+x+)+y" group="0"/>
        <param number="2" value="x" group="0"/></message></messageType>)");
  const std::string line(100000, 'x');
  error.clear();
  EXPECT_TRUE(BuildTextMessage(slow, CTextSubject(line), message, error)) << error;
  EXPECT_TRUE(message.messages[0].params.empty());
}

TEST_F(MessageBuilderTest, ShapeBTakesValuesFromTheDocumentUnescaped) {
  MessageTypeDefinition type;
  type.messageXPath = "/event/@kind";
  type.paramXPaths = {{1, "/event/zone"}, {2, "/event/missing"}, {3, "/event/text"}};
  UniformMessage message;
  ASSERT_TRUE(BuildXmlMessage(R"(<event kind="a&quot;b"><zone>5</zone><text>x &lt;y&gt; &amp; "z"</text></event>)",
                              type, message));
  ASSERT_EQ(message.messages.size(), 1u);
  EXPECT_EQ(message.messages[0].value, "a\"b");
  ASSERT_EQ(message.messages[0].params.size(), 2u);
  EXPECT_EQ(message.messages[0].params[1].number, 3);
  EXPECT_EQ(message.messages[0].params[1].value, "x <y> & \"z\"");
  EXPECT_EQ(RenderUniformMessage(message),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><message number=\"1\" value=\"a&quot;b\">"
            "<param number=\"1\" type=\"string\" value=\"5\"/>"
            "<param number=\"3\" type=\"string\" value=\"x &lt;y&gt; &amp; &quot;z&quot;\"/></message>");

  // Without a message XPath the value is the root element's name; broken documents give nothing.
  type.messageXPath.clear();
  ASSERT_TRUE(BuildXmlMessage("<vca><zone>1</zone></vca>", type, message));
  EXPECT_EQ(message.messages[0].value, "vca");
  EXPECT_FALSE(BuildXmlMessage("<vca><zone>1</vca>", type, message));
  EXPECT_FALSE(BuildXmlMessage(R"(<!DOCTYPE a [<!ENTITY e "boom">]><a>&e;</a>)", type, message));
}

// Plain child paths are read with the tree reader; they give what the XML parser's XPaths give.
TEST_F(MessageBuilderTest, PlainPathsReadLikeTheXmlParser) {
  MessageTypeDefinition type;
  type.messageXPath = "/r/kind";
  type.paramXPaths = {{1, "/r/g/v"}, {2, "r/g/w"}, {3, "/r/first"}, {4, "/r/none"}, {5, "/r/g"}};
  const std::string documents[] = {
      // a declaration as plug-ins write it; the first <v> in document order is under the second <g>
      "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<r>\n<kind>E</kind><g><w>1</w></g><g><v>2</v><w>3</w></g>"
      "<first><!--c-->x</first></r>",
      "<r><kind><![CDATA[a<b]]></kind><g>text<v>in</v></g><first>&#65;&amp;</first></r>",
      "<?xml version='1.0' standalone='no'?><r><kind>\r\nK\r\n</kind><g><v/></g><first><e/>t</first></r>",
      "<r xmlns=\"urn:x\"><kind>N</kind></r>",  // namespaces: the XML parser's own reading
      "<?xml version=\"1.1\"?><r><kind>V</kind></r>",
  };
  for (const std::string& document : documents) {
    SCOPED_TRACE(document);
    UniformMessage fast;
    ASSERT_TRUE(BuildXmlMessage(document, type, fast));
    CXMLParser parser;
    ASSERT_TRUE(parser.LoadXml(document));
    UniformMessage reference;
    BuildXmlMessage(parser, type, reference);
    EXPECT_EQ(RenderUniformMessage(fast), RenderUniformMessage(reference));
  }
  UniformMessage message;
  ASSERT_TRUE(BuildXmlMessage(documents[0], type, message));
  EXPECT_EQ(message.messages[0].value, "E");
  ASSERT_GE(message.messages[0].params.size(), 2u);
  EXPECT_EQ(message.messages[0].params[0].value, "2");
  EXPECT_EQ(message.messages[0].params[1].value, "1");
  // Declarations of the wrong kind, like broken documents, are refused by both.
  EXPECT_FALSE(BuildXmlMessage("<r/><?xml version=\"1.0\"?>", type, message));
  EXPECT_FALSE(BuildXmlMessage("<?xml version=\"1.0\"?><?xml version=\"1.0\"?><r/>", type, message));
}

TEST_F(MessageBuilderTest, RenderingKeepsTheTextReadable) {
  UniformMessage message;
  message.messages.push_back(UniformEntry{1,
                                          std::string("a\x01"
                                                      "b\xEF\xBF\xBE",
                                                      6),
                                          {{1, "tab\tcr\rlf\n"}}});
  const std::string text = RenderUniformMessage(message);
  EXPECT_NE(text.find("value=\"a\xEF\xBF\xBD"
                      "b\xEF\xBF\xBD\""),
            std::string::npos)
      << text;
  CXMLParser parser;
  ASSERT_TRUE(parser.LoadXml(text));
  EXPECT_EQ(parser.GetAttributeW("message/param", "value"), "tab\tcr\rlf\n");
}

}  // namespace
}  // namespace korvane::testing
