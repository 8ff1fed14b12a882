// Builds uniform messages from arbitrary device input (a text line for the
// text path, an XML document for the XML paths) and checks that the XML text
// of every message reads back to exactly the values it was built with.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "driver/support/string_utils.h"
#include "driver/support/xml_parser.h"
#include "driver/validation/message_builder.h"

namespace {

using namespace korvane;

TextPathDefinition Definition() {
  TextPathDefinition definition;
  definition.regexParsing = true;
  const char* const expressions[] = {"^([A-Z]+)", "([0-9]+\\.[0-9]{2})$", "\"([^\"]*)\"", "(.)(.)(.)"};
  const int32_t groups[] = {1, 1, 1, 3};
  TextMessageDefinition message;
  message.value = "Line <&> \"1\"";
  for (size_t i = 0; i < 4; ++i) {
    TextParamDefinition param;
    param.value = expressions[i];
    param.group = groups[i];
    param.expression = std::make_shared<const CTextRegex>(param.value, RegexSyntax::kPerl);
    message.params.push_back(std::move(param));
  }
  definition.messages.push_back(message);
  message.value = "Whole";
  message.params.resize(1);
  message.params[0].value = ".+";
  message.params[0].group = 0;
  message.params[0].expression = std::make_shared<const CTextRegex>(".+", RegexSyntax::kPerl);
  definition.messages.push_back(message);
  return definition;
}

/// What an XML reader gives back for `value` written by RenderUniformMessage.
std::string Readable(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
      out += "\xEF\xBF\xBD";
    } else if (c == 0xEF && i + 2 < value.size() && static_cast<unsigned char>(value[i + 1]) == 0xBF &&
               (static_cast<unsigned char>(value[i + 2]) & 0xFE) == 0xBE) {
      out += "\xEF\xBF\xBD";
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "message_builder_fuzz: %s\n", what);
    std::abort();
  }
}

void CheckRoundTrip(const UniformMessage& message) {
  CXMLParser parser;
  Check(parser.LoadXml(RenderUniformMessage(message)), "rendered message is not readable XML");
  const std::string path = message.textPath ? "root/message" : "message";
  const auto values = parser.GetAttributeListW(path, "value");
  Check(values.size() == message.messages.size(), "message count differs");
  for (size_t m = 0; m < values.size(); ++m) {
    Check(values[m] == Readable(message.messages[m].value), "message value differs");
    const auto params = parser.GetAttributeListW(path + "[" + std::to_string(m + 1) + "]/param", "value");
    Check(params.size() == message.messages[m].params.size(), "parameter count differs");
    for (size_t p = 0; p < params.size(); ++p) {
      Check(params[p] == Readable(message.messages[m].params[p].value), "parameter value differs");
    }
  }
}

// Plain child paths are read with the tree reader: the same message as the
// XML parser's XPaths give, and a document only when the parser reads it.
void ComparePlainPaths(const std::string& input) {
  MessageTypeDefinition type;
  type.messageXPath = "/a/k";
  type.paramXPaths = {{1, "/a/b"}, {2, "a/b/c"}, {3, "/a/c"}};
  UniformMessage fast;
  const bool read = BuildXmlMessage(input, type, fast);
  CXMLParser parser;
  const bool loaded = parser.LoadXml(input);
  if (read != loaded) {
    std::fprintf(stderr, "plain paths %s, parser %s the document\n", read ? "read" : "refuse",
                 loaded ? "reads" : "refuses");
    std::abort();
  }
  if (!read) return;
  UniformMessage reference;
  BuildXmlMessage(parser, type, reference);
  if (RenderUniformMessage(fast) != RenderUniformMessage(reference)) {
    std::fprintf(stderr, "plain paths give\n%s\nthe parser gives\n%s\n", RenderUniformMessage(fast).c_str(),
                 RenderUniformMessage(reference).c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const TextPathDefinition definition = Definition();
  const std::string input(reinterpret_cast<const char*>(data), size);
  UniformMessage message;
  std::string error;
  // The channel hands the text path XML-escaped lines; try both the raw and the escaped form.
  for (const std::string& line : {input, XmlEscape(input)}) {
    if (BuildTextMessage(definition, CTextSubject(line), message, error)) CheckRoundTrip(message);
  }
  MessageTypeDefinition type;
  type.paramXPaths = {{1, "/*/*[1]"}, {2, "//@*"}, {4, "//text()"}};
  if (BuildXmlMessage(input, type, message)) CheckRoundTrip(message);
  type.messageXPath = "/*/*[2]";
  if (BuildXmlMessage(input, type, message)) CheckRoundTrip(message);
  ComparePlainPaths(input);
  return 0;
}
