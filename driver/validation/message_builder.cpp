#include "driver/validation/message_builder.h"

#include <algorithm>
#include <exception>
#include <string_view>
#include <vector>

#include "driver/support/message_trace.h"
#include "driver/support/string_utils.h"
#include "driver/support/xml_parser.h"
#include "driver/support/xml_tree_reader.h"

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
    entry.params.reserve(messageDefinition.params.size());
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

namespace {

/// Fills the message of a document: `root` gives its root element's name,
/// `text` the text of the first node an XPath selects.
template <typename Root, typename Text>
void FillXmlMessage(const MessageTypeDefinition& type, Root root, Text text, UniformMessage& out) {
  out.textPath = false;
  out.messages.clear();
  UniformEntry& entry = out.messages.emplace_back();
  entry.number = 1;
  entry.value = type.messageXPath.empty() ? root() : text(type.messageXPath);
  const bool tracing = CurrentTrace() != nullptr;
  if (tracing) TraceStep("message value %s", QuotedForTrace(entry.value).c_str());
  for (const auto& [number, xpath] : type.paramXPaths) {
    if (number <= 0 || xpath.empty()) continue;
    std::string value = text(xpath);
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

bool IsPlainName(std::string_view name) {
  if (name.empty()) return false;
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!letter(name.front())) return false;
  return std::all_of(name.begin() + 1, name.end(),
                     [&letter](char c) { return letter(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'; });
}

/// The element names of an XPath that only steps from the document down to
/// child elements ("/a/b" or "a/b", plain ASCII names); false for any other.
bool SplitPlainPath(std::string_view xpath, std::vector<std::string_view>& names) {
  names.clear();
  if (!xpath.empty() && xpath.front() == '/') xpath.remove_prefix(1);
  for (size_t pos = 0;;) {
    const size_t slash = xpath.find('/', pos);
    const size_t end = slash == std::string_view::npos ? xpath.size() : slash;
    const std::string_view name = xpath.substr(pos, end - pos);
    if (!IsPlainName(name)) return false;
    names.push_back(name);
    if (end == xpath.size()) return true;
    pos = end + 1;
  }
}

bool AllPlainPaths(const MessageTypeDefinition& type, std::vector<std::string_view>& names) {
  if (!type.messageXPath.empty() && !SplitPlainPath(type.messageXPath, names)) return false;
  return std::all_of(type.paramXPaths.begin(), type.paramXPaths.end(), [&names](const auto& entry) {
    return entry.second.empty() || SplitPlainPath(entry.second, names);
  });
}

/// The first element in document order on the path `names[step..]` among
/// `first` and its following siblings.
int32_t FindOnPath(const std::vector<CXmlTreeReader::Element>& elements, const std::vector<std::string_view>& names,
                   size_t step, int32_t first) {
  for (int32_t i = first; i != CXmlTreeReader::kNone; i = elements[static_cast<size_t>(i)].nextSibling) {
    const CXmlTreeReader::Element& element = elements[static_cast<size_t>(i)];
    if (element.name != names[step]) continue;
    if (step + 1 == names.size()) return i;
    const int32_t found = FindOnPath(elements, names, step + 1, element.firstChild);
    if (found != CXmlTreeReader::kNone) return found;
  }
  return CXmlTreeReader::kNone;
}

}  // namespace

bool BuildXmlMessage(const std::string& xml, const MessageTypeDefinition& type, UniformMessage& out) {
  // Plug-ins hand over small documents whose values plain paths pick: those
  // are read with the tree reader, which allocates nothing once warm. Other
  // paths, and whatever the reader leaves to it, go to the XML parser.
  thread_local CXmlTreeReader reader;
  thread_local std::vector<std::string_view> names;
  // A document with namespaces is the XML parser's: its XPaths see namespaced names.
  if (AllPlainPaths(type, names) && reader.Read(xml, true) && !reader.ReadByLibrary()) {
    const auto& elements = reader.Elements();
    FillXmlMessage(
        type, [&] { return std::string(elements.front().name); },
        [&](const std::string& xpath) {
          SplitPlainPath(xpath, names);
          const int32_t found = FindOnPath(elements, names, 0, 0);
          return found == CXmlTreeReader::kNone ? std::string()
                                                : std::string(reader.Text(elements[static_cast<size_t>(found)]));
        },
        out);
    return true;
  }
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
  FillXmlMessage(
      type, [&] { return document.GetRootName(); },
      [&](const std::string& xpath) { return document.GetNodeTextW(xpath); }, out);
}

}  // namespace korvane
