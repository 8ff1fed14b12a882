#include "driver/validation/message_builder.h"

#include <exception>

#include "driver/support/message_trace.h"
#include "driver/support/string_utils.h"
#include "driver/support/xml_parser.h"

namespace korvane {
namespace {

constexpr char kMessageTypePath[] = "root/kslXmlMapper/messageType";

// Text-path values are attribute values of the message: as an XML parser reads
// an attribute, a tab or line break in them counts as a blank.
std::string AttributeText(std::string value) {
  for (char& c : value) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return value;
}

}  // namespace

TextPathDefinition ReadTextPathDefinition(CXMLParser& config) {
  TextPathDefinition definition;
  definition.regexParsing = config.GetAttributeW(kMessageTypePath, "parsing") == "regex";
  for (uint32_t m = 1;; ++m) {
    const std::string messagePath = Format("%s/message[@number=\"%u\"]", kMessageTypePath, m);
    TextMessageDefinition message;
    message.value = config.GetAttributeW(messagePath, "value");
    if (message.value.empty()) break;
    for (uint32_t p = 1;; ++p) {
      const std::string paramPath = Format("%s/param[@number=\"%u\"]", messagePath.c_str(), p);
      TextParamDefinition param;
      param.value = config.GetAttributeW(paramPath, "value");
      if (param.value.empty()) break;
      if (definition.regexParsing) {
        if (!ParseInt(config.GetAttributeW(paramPath, "group"), param.group)) param.group = 0;
        param.expression = CompileTextRegex(param.value, RegexSyntax::kPerl, param.compileError);
        if (!param.expression) definition.brokenExpressions = true;
      }
      message.params.push_back(std::move(param));
    }
    definition.messages.push_back(std::move(message));
  }
  return definition;
}

bool BuildTextMessage(const TextPathDefinition& definition, const CTextSubject& validated, UniformMessage& out,
                      std::string& error) {
  out.textPath = true;
  out.messages.clear();
  out.messages.reserve(definition.messages.size());
  std::string found;
  uint32_t m = 0;
  const bool tracing = CurrentTrace() != nullptr;
  for (const TextMessageDefinition& messageDefinition : definition.messages) {
    UniformEntry& entry = out.messages.emplace_back();
    entry.number = ++m;
    entry.value = AttributeText(messageDefinition.value);
    int32_t p = 0;
    for (const TextParamDefinition& param : messageDefinition.params) {
      ++p;
      std::string value;
      if (!definition.regexParsing) {
        value = param.value;
      } else {
        if (!param.expression) {
          error = Format("Invalid regular expression in message %u parameter %d: %s", m, p, param.compileError.c_str());
          return false;
        }
        try {
          // A negative group would address the text around the match, not a group.
          if (!param.expression->Search(validated, param.group, found)) {
            TraceStep("message %u parameter %d not found: list ended", m, p);
            break;
          }
        } catch (const std::exception& e) {
          error = Format("Regular expression of message %u parameter %d failed: %s", m, p, e.what());
          return false;
        }
        // The channel escaped the line for XML; the mapper compares the device's own characters.
        value = XmlUnescape(found);
      }
      if (value.empty()) {
        TraceStep("message %u parameter %d is empty: list ended", m, p);
        break;
      }
      entry.params.push_back(UniformParam{p, AttributeText(std::move(value))});
      if (tracing) {
        TraceStep("message %u %s parameter %d = %s", m, QuotedForTrace(entry.value).c_str(), p,
                  QuotedForTrace(entry.params.back().value).c_str());
      }
    }
  }
  return true;
}

bool BuildXmlMessage(const std::string& xml, const MessageTypeDefinition& type, UniformMessage& out) {
  CXMLParser document;
  if (!document.LoadXml(xml)) {
    out.textPath = false;
    out.messages.clear();
    return false;
  }
  BuildXmlMessage(document, type, out);
  return true;
}

void BuildXmlMessage(CXMLParser& document, const MessageTypeDefinition& type, UniformMessage& out) {
  out.textPath = false;
  out.messages.clear();
  UniformEntry& entry = out.messages.emplace_back();
  entry.number = 1;
  entry.value = type.messageXPath.empty() ? document.GetRootName() : document.GetNodeTextW(type.messageXPath);
  const bool tracing = CurrentTrace() != nullptr;
  if (tracing) TraceStep("message value %s", QuotedForTrace(entry.value).c_str());
  for (const auto& [number, xpath] : type.paramXPaths) {
    if (number <= 0 || xpath.empty()) continue;
    std::string value = document.GetNodeTextW(xpath);
    if (tracing) {
      if (value.empty()) {
        TraceStep("parameter %d: %s selects no text", number, xpath.c_str());
      } else {
        TraceStep("parameter %d = %s", number, QuotedForTrace(value).c_str());
      }
    }
    if (!value.empty()) entry.params.push_back(UniformParam{number, std::move(value)});
  }
}

}  // namespace korvane
