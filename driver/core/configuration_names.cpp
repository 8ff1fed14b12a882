#include "driver/core/configuration_names.h"

#include <algorithm>

#include "driver/support/string_utils.h"
#include "driver/support/xml_parser.h"

namespace korvane {
namespace {

constexpr char kCheck[] = "korvane::CKestrelDriver::ReadConfigurationFile";

using Content = ElementName::Content;

AttributeName Value() { return {"value", {}}; }
/// An element whose one attribute "value" holds the setting.
ElementName Setting(std::string_view name) { return {name, {Value()}, {}}; }

// Both rule formats read the message types the same way: for the text path
// numbered messages with numbered expressions, for the XML paths XPaths.
ElementName MessageTypeNames() {
  return {"messageType",
          {{"parsing", {"regex"}}},
          {{"message", {{"number", {}}, Value()}, {{"param", {{"number", {}}, Value(), {"group", {}}}, {}}}},
           {"param", {Value()}, {}}}};
}

ElementName RuleMapperNames() {
  const std::vector<std::string_view> operators = {"eq", "gt", "ge", "lt", "le", "neq", "contains"};
  const std::vector<std::string_view> types = {"string", "integer", "float"};
  const std::vector<AttributeName> condition = {{"reference", {}}, Value(), {"operator", operators}, {"type", types}};
  std::vector<AttributeName> rule = condition;
  rule.push_back({"id", {}});
  // Metadata actions may carry a whole document as their payload: not looked into.
  const ElementName action{"action",
                           {{"type", {"event", "metadata", "text", "data"}},
                            Value(),
                            {"metadatatype", {"xml", "textevent", "udpvca", "other"}},
                            {"metadatachannel", {}}},
                           {},
                           Content::kOpaque};
  const ElementName param{"param",
                          rule,
                          {{"and", condition, {}},
                           {"or", condition, {}},
                           action,
                           {"searchtag", {{"type", {"0", "1"}}, Value(), {"reference", {}}}, {}}}};
  return {"kslXmlMapper",
          {{"version", {}}},
          {MessageTypeNames(),
           {"constants",
            {},
            {{"array", {{"name", {}}, {"params", {}}}, {{"value", {}, {}}, {"min", {}, {}}, {"max", {}, {}}}}}},
           {"rules",
            {{"case_sensitive", {"yes", "no"}}, {"unmatchedText", {"yes", "no"}}},
            {{"message",
              {{"number", {}}, Value(), {"alwaysShowText", {"yes", "no"}}, {"handleParameters", {"all", "first"}}},
              {param},
              Content::kRules}}}}};
}

ElementName LegacyMapperNames() {
  const AttributeName op{"operator", {"eq", "neq", "gt", "ge", "lt", "le", "contains"}, true};
  const std::vector<AttributeName> condition = {{"number", {}}, {"reference", {}}, Value(), op};
  const ElementName action{
      "action", {{"number", {}}, {"type", {"data", "event", "metadata", "none"}}, Value()}, {}, Content::kOpaque};
  const ElementName param{
      "param", condition, {{"and", condition, {}}, action, {"searchtag", {{"type", {}}, Value()}, {}}}};
  return {"kslXmlMapper",
          {{"version", {}}},
          {MessageTypeNames(),
           {"rules", {{"case_sensitive", {"yes", "no"}}}, {{"message", {{"number", {}}, Value()}, {param}}}}}};
}

ElementName RootNames(ElementName mapper) {
  return {"root",
          {},
          {{"logging", {}, {Setting("level"), {"additionalDebug", {{"value", {"yes", "no"}}}, {}}}},
           {"channelConfig",
            {},
            {Setting("linefeed"), Setting("clearscreen"), Setting("ignored"), Setting("acknowledge"),
             Setting("keepAliveQuery"), Setting("codePage"), Setting("udpReceiveBuffer")}},
           // Settings of particular models.
           {"Additional",
            {},
            {Setting("NetworkTimeout"),
             Setting("SerialDevice"),
             {"HTTPServer",
              {{"processingType", {"Content", "All", "Headers", "Uri"}}},
              {{"Response", {{"send", {"yes", "no"}}}, {}}}}}},
           {"validation", {}, {Setting("regex"), Setting("xsd")}},
           std::move(mapper)}};
}

/// Namespace declarations and xml: attributes belong to XML itself.
bool IsXmlAttribute(std::string_view name) {
  return name == "xmlns" || name.rfind("xmlns:", 0) == 0 || name.rfind("xml:", 0) == 0;
}

std::string KnownValues(const AttributeName& attribute) {
  std::string list;
  for (std::string_view value : attribute.values) {
    if (!list.empty()) list += ", ";
    list += value;
  }
  return list;
}

class NameCheck {
 public:
  NameCheck(CXMLParser& config, IDebug& logger, bool legacyMapper)
      : config_(config),
        logger_(logger),
        mapperSection_(legacyMapper ? " (legacy mapper rules)" : " (mapper version 2)") {}

  void Element(const CXMLParser::Node& node, const ElementName& spec, const char* section) {
    // Lines about the mapper section say which rule format they were checked against.
    if (spec.name == "kslXmlMapper") section = mapperSection_;
    const long line = config_.GetNodeLine(node);
    for (const std::string& name : config_.GetNodeAttributeNames(node)) {
      if (IsXmlAttribute(name)) continue;
      const auto known = std::find_if(spec.attributes.begin(), spec.attributes.end(),
                                      [&name](const AttributeName& attribute) { return attribute.name == name; });
      if (known == spec.attributes.end()) {
        logger_.Log(kLogError, kCatConfiguration, "%s: Unknown attribute '%s' of <%s> at line %ld%s; it is ignored",
                    kCheck, name.c_str(), node.name.c_str(), line, section);
      } else {
        CheckValue(node, *known, line, section);
      }
    }
    if (spec.content == Content::kOpaque) return;
    for (const CXMLParser::Node& child : config_.GetChildElements(node)) {
      if (spec.content == Content::kRules) {
        // Any element is a parameter rule; another name than <param> is most likely a slip.
        if (child.name != "param") {
          logger_.Log(kLogWarn, kCatConfiguration, "%s: <%s> in <%s> at line %ld%s is read as a parameter rule <param>",
                      kCheck, child.name.c_str(), node.name.c_str(), config_.GetNodeLine(child), section);
        }
        Element(child, spec.children.front(), section);
        continue;
      }
      const auto known = std::find_if(spec.children.begin(), spec.children.end(),
                                      [&child](const ElementName& element) { return element.name == child.name; });
      if (known == spec.children.end()) {
        logger_.Log(kLogError, kCatConfiguration, "%s: Unknown element <%s> in <%s> at line %ld%s; it is ignored",
                    kCheck, child.name.c_str(), node.name.c_str(), config_.GetNodeLine(child), section);
      } else {
        Element(child, *known, section);
      }
    }
  }

 private:
  void CheckValue(const CXMLParser::Node& node, const AttributeName& attribute, long line, const char* section) {
    if (attribute.values.empty()) return;
    const std::string value = config_.GetNodeAttributeW(node, std::string(attribute.name));
    if (value.empty()) return;  // the same as leaving it out
    const std::string compared = attribute.anyCase ? ToLower(value) : value;
    if (std::find(attribute.values.begin(), attribute.values.end(), compared) != attribute.values.end()) return;
    logger_.Log(kLogError, kCatConfiguration,
                "%s: Unknown value '%s' of attribute '%s' of <%s> at line %ld%s; known values: %s", kCheck,
                value.c_str(), std::string(attribute.name).c_str(), node.name.c_str(), line, section,
                KnownValues(attribute).c_str());
  }

  CXMLParser& config_;
  IDebug& logger_;
  const char* mapperSection_;
};

}  // namespace

const ElementName& ConfigurationNames(bool legacyMapper) {
  static const ElementName rules = RootNames(RuleMapperNames());
  static const ElementName legacy = RootNames(LegacyMapperNames());
  return legacyMapper ? legacy : rules;
}

void CheckConfigurationNames(CXMLParser& config, IDebug& logger) {
  const std::vector<CXMLParser::Node> roots = config.SelectNodes("/*");
  if (roots.empty()) return;
  if (roots.front().name != "root") {
    logger.Log(kLogError, kCatConfiguration,
               "%s: The document element is <%s> at line %ld, not <root>; nothing is read", kCheck,
               roots.front().name.c_str(), config.GetNodeLine(roots.front()));
    return;
  }
  // The same choice of rule format as the driver makes.
  const bool legacy = config.GetAttributeW("root/kslXmlMapper", "version") != "2";
  NameCheck(config, logger, legacy).Element(roots.front(), ConfigurationNames(legacy), "");
}

}  // namespace korvane
