#include "driver/validation/mapper.h"

#include <algorithm>

#include "driver/common/event_storage.h"
#include "driver/support/clock.h"
#include "driver/support/message_trace.h"
#include "driver/support/string_utils.h"

namespace korvane {
namespace {

constexpr char kInitialize[] = "korvane::CMapper::Initialize";
constexpr char kLoadConfiguration[] = "korvane::CMapper::LoadConfiguration";
constexpr char kLoadParameter[] = "korvane::CMapper::LoadParameter";
constexpr char kCompare[] = "korvane::CMapper::Compare";
constexpr char kCompareString[] = "korvane::CMapper::CompareStringA";
constexpr char kCompareInteger[] = "korvane::CMapper::CompareInteger";
constexpr char kCompareFloat[] = "korvane::CMapper::CompareFloat";

constexpr char kArrays[] = "root/kslXmlMapper/constants/array";

std::string_view TrimXmlSpace(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  const size_t begin = text.find_first_not_of(kSpace);
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(kSpace) - begin + 1);
}

CMapper::ValueType TypeOf(std::string_view type) {
  if (type.empty()) return CMapper::ValueType::kAuto;
  if (type == "integer") return CMapper::ValueType::kInteger;
  if (type == "float") return CMapper::ValueType::kFloat;
  if (type == "string") return CMapper::ValueType::kString;
  return CMapper::ValueType::kUnknown;
}

int32_t MetadataTypeCode(std::string_view type) {
  if (type == "xml") return 0;
  if (type == "textevent") return 2;
  if (type == "udpvca") return 3;
  if (type == "other") return 4;
  return 1;
}

void ReplaceAll(std::string& text, std::string_view name, std::string_view value) {
  if (name.empty()) return;
  for (size_t pos = text.find(name); pos != std::string::npos; pos = text.find(name, pos + value.size())) {
    text.replace(pos, name.size(), value);
  }
}

/// The message parameter numbered `number`; a later one replaces an earlier one with the same number.
template <typename Table>
auto FindParam(Table& table, int32_t number) -> decltype(&*table.rbegin()) {
  for (auto it = table.rbegin(); it != table.rend(); ++it) {
    if (it->number == number) return &*it;
  }
  return nullptr;
}

template <typename T>
bool Ordered(const T& p, const T& c, int32_t op) {
  switch (op) {
    case CMapper::kGreater:
      return p > c;
    case CMapper::kGreaterOrEqual:
      return p >= c;
    case CMapper::kLess:
      return p < c;
    case CMapper::kLessOrEqual:
      return p <= c;
    case CMapper::kNotEqual:
      return p != c;
    default:  // equal, and "contains" on numbers
      return p == c;
  }
}

}  // namespace

CMapper::CMapper(IDataValidator& validator, IDriver& driver, IDebug& logger) : CMapperBase(validator, driver, logger) {}

int32_t CMapper::OperatorCode(std::string_view text) {
  if (text == "gt") return kGreater;
  if (text == "ge") return kGreaterOrEqual;
  if (text == "lt") return kLess;
  if (text == "le") return kLessOrEqual;
  if (text == "neq") return kNotEqual;
  if (text == "contains") return kContains;
  return kEqual;
}

bool CMapper::Initialize(int32_t type, const std::string& configFile) {
  CXMLParser parser;
  if (!parser.LoadFile(configFile)) {
    logger_.Log(kLogError, kCatMapper, "%s: Unable to initialize XML parser", kInitialize);
    return false;
  }
  const bool ok = InitializeFrom(type, parser);
  parser.Close();
  return ok;
}

bool CMapper::InitializeFrom(int32_t type, CXMLParser& config) {
  if (!LoadConfiguration(config)) return false;
  if (ReadMessageType(config, type)) return true;
  // Without this line the driver would refuse to open without saying why.
  logger_.Log(kLogError, kCatMapper,
              "%s: Unable to read message configuration: messageType defines no parameter (<param value=\"...\"/>)",
              kInitialize);
  return false;
}

bool CMapper::LoadConfiguration(CXMLParser& parser) {
  ReadSchema(parser);

  ruleMessages_.clear();
  templates_.clear();
  texts_.Clear();
  arraysWithoutParams_.clear();
  arraysById_.clear();
  usedArrays_.clear();
  std::vector<std::string> arrayNames;
  const std::vector<CXMLParser::Node> arrays = parser.SelectNodes(kArrays);
  for (size_t i = 0; i < arrays.size(); ++i) {
    const CXMLParser::Node& node = arrays[i];
    ConstantArray array;
    array.name = parser.GetNodeAttributeW(node, "name");
    if (array.name.empty()) continue;
    array.values = parser.GetValueList(node);
    if (array.values.empty() && !ReadRange(parser, Format("(%s)[%zu]", kArrays, i + 1), array)) continue;
    if (array.values.empty()) continue;
    const std::string params = parser.GetNodeAttributeW(node, "params");
    arrayNames.push_back(array.name);
    if (params.empty()) {
      arraysWithoutParams_.push_back(std::move(array));
    } else {
      for (const std::string& id : Split(params, ",")) arraysById_[id].push_back(array);
    }
  }

  unmatchedText_ = parser.GetAttributeW("root/kslXmlMapper/rules", "unmatchedText") == "yes";
  expandedRules_ = 0;
  expansionLimitLogged_ = false;
  for (const CXMLParser::Node& node : parser.SelectNodes("root/kslXmlMapper/rules/message")) {
    RuleMessage message;
    int32_t number = 0;
    if (ParseInt(parser.GetNodeAttributeW(node, "number"), number)) message.number = static_cast<uint32_t>(number);
    message.value = parser.GetNodeAttributeW(node, "value");
    message.alwaysShowText = parser.GetNodeAttributeW(node, "alwaysShowText");
    message.handleParameters = parser.GetNodeAttributeW(node, "handleParameters");
    int32_t position = 0;
    for (const CXMLParser::Node& child : parser.GetChildElements(node)) {
      LoadParameter(message, parser, child, ++position);
    }
    if (message.number != 0 && !message.value.empty() && !message.rules.empty()) {
      message.rules.shrink_to_fit();
      ruleMessages_.push_back(std::move(message));
    } else {
      const char* why = message.number == 0     ? "it has no message number"
                        : message.value.empty() ? "it has no value"
                                                : "none of its rules has an action";
      logger_.Log(kLogError, kCatMapper, "%s: Rule message '%s' at line %ld dropped: %s", kLoadConfiguration,
                  message.value.c_str(), parser.GetNodeLine(node), why);
    }
  }
  for (const std::string& name : arrayNames) {
    if (usedArrays_.count(name) != 0) continue;
    logger_.Log(kLogError, kCatMapper,
                "%s: Constant array '%s' applies to no rule: no rule it is offered to (by its params and the rule "
                "ids) mentions '%s'",
                kLoadConfiguration, name.c_str(), name.c_str());
  }
  if (ruleMessages_.empty()) {
    logger_.Log(kLogError, kCatMapper, "%s: Unable to read rules from configuration", kLoadConfiguration);
    return false;
  }
  return true;
}

bool CMapper::ReadRange(CXMLParser& parser, const std::string& arrayPath, ConstantArray& array) {
  static constexpr const char* kBounds[] = {"min", "max"};
  if (!parser.NodeExists(arrayPath + "/min") && !parser.NodeExists(arrayPath + "/max")) return true;
  int32_t bounds[2] = {0, 0};
  for (int b = 0; b < 2; ++b) {
    // Pretty-printed files put line breaks around the number.
    const std::string text = parser.GetNodeTextW(arrayPath + "/" + kBounds[b] + "[last()]");
    if (!ParseInt(TrimXmlSpace(text), bounds[b])) {
      logger_.Log(kLogError, kCatMapper, "%s: Constant array '%s' skipped: <%s> '%s' is not an integer",
                  kLoadConfiguration, array.name.c_str(), kBounds[b], text.c_str());
      return false;
    }
  }
  const int64_t count = static_cast<int64_t>(bounds[1]) - bounds[0] + 1;
  if (count <= 0) return true;  // an empty range: no values
  if (count > static_cast<int64_t>(kMaxRangeValues)) {
    logger_.Log(kLogError, kCatMapper, "%s: Constant array '%s' skipped: more than %zu values from <min> to <max>",
                kLoadConfiguration, array.name.c_str(), kMaxRangeValues);
    return false;
  }
  array.values.reserve(static_cast<size_t>(count));
  for (int64_t value = bounds[0]; value <= bounds[1]; ++value) array.values.push_back(std::to_string(value));
  return true;
}

bool CMapper::LoadParameter(RuleMessage& message, CXMLParser& parser, const CXMLParser::Node& node, int32_t position) {
  if (driver_.GetEventStorage() == nullptr || driver_.GetSearchTags() == nullptr) {
    logger_.Log(kLogError, kCatMapper, "%s: event storage and search tags are not created", kLoadParameter);
    return false;
  }
  auto readCondition = [&parser](const CXMLParser::Node& element, int32_t kind) {
    RuleTemplate::ConditionText condition;
    condition.kind = kind;
    if (!ParseInt(parser.GetNodeAttributeW(element, "reference"), condition.reference)) condition.reference = 0;
    condition.value = parser.GetNodeAttributeW(element, "value");
    condition.op = OperatorCode(parser.GetNodeAttributeW(element, "operator"));
    condition.type = parser.GetNodeAttributeW(element, "type");
    return condition;
  };

  auto rule = std::make_unique<RuleTemplate>();
  rule->conditions.push_back(readCondition(node, kOwnCondition));
  rule->id = parser.GetNodeAttributeW(node, "id");
  rule->position = position;
  rule->line = parser.GetNodeLine(node);
  for (const CXMLParser::Node& child : parser.GetChildElements(node)) {
    if (child.name == "and") {
      rule->conditions.push_back(readCondition(child, kAndCondition));
    } else if (child.name == "or") {
      rule->conditions.push_back(readCondition(child, kOrCondition));
    } else if (child.name == "action") {
      Action& action = rule->actions.emplace_back();
      const std::string type = parser.GetNodeAttributeW(child, "type");
      action.kind = type == "event" ? kEventAction : type == "metadata" ? kMetadataAction : kTextAction;
      action.value = parser.GetNodeAttributeW(child, "value");
      action.metadataTypeCode = MetadataTypeCode(parser.GetNodeAttributeW(child, "metadatatype"));
      if (!ParseInt(parser.GetNodeAttributeW(child, "metadatachannel"), action.metadataChannel)) {
        action.metadataChannel = 0;
      }
      if (action.kind == kMetadataAction && action.metadataChannel == 0) rule->learnsChannel = true;
    } else if (child.name == "searchtag") {
      std::string name = parser.GetNodeAttributeW(child, "value");
      if (!name.empty()) {
        rule->searchTagName = std::move(name);
        rule->searchTagType = parser.GetNodeAttributeW(child, "type") == "1";
        rule->searchTagReference = 0;
        const std::string reference = parser.GetNodeAttributeW(child, "reference");
        if (!reference.empty() && (!ParseInt(reference, rule->searchTagReference) || rule->searchTagReference <= 0)) {
          // Better no tag than a tag with a value from the wrong place.
          logger_.Log(kLogError, kCatMapper, "%s: Search tag '%s' skipped: reference '%s' is not a parameter number",
                      kLoadParameter, rule->searchTagName.c_str(), reference.c_str());
          rule->searchTagName.clear();
          rule->searchTagReference = 0;
        }
      }
    }
  }
  // A rule may exist only for the parameter value its search tag carries.
  if (rule->actions.empty() && rule->searchTagReference == 0) {
    logger_.Log(kLogError, kCatMapper, "%s: Rule <%s> at line %ld of message '%s' dropped: it has no action",
                kLoadParameter, node.name.c_str(), parser.GetNodeLine(node), message.value.c_str());
    return false;
  }

  std::vector<const ConstantArray*> arrays;
  const auto listed = arraysById_.find(rule->id);
  const std::vector<ConstantArray>& source =
      (!rule->id.empty() && listed != arraysById_.end()) ? listed->second : arraysWithoutParams_;
  for (const ConstantArray& array : source) {
    arrays.push_back(&array);
    const auto mentions = [&array](const std::string& text) { return text.find(array.name) != std::string::npos; };
    const bool used =
        mentions(rule->searchTagName) ||
        std::any_of(rule->conditions.begin(), rule->conditions.end(),
                    [&](const RuleTemplate::ConditionText& c) { return mentions(c.value); }) ||
        std::any_of(rule->actions.begin(), rule->actions.end(), [&](const Action& a) { return mentions(a.value); });
    if (used) usedArrays_.insert(array.name);
  }

  Expansion expansion;
  for (const RuleTemplate::ConditionText& condition : rule->conditions) {
    expansion.conditionValues.push_back(condition.value);
  }
  for (const Action& action : rule->actions) expansion.actionValues.push_back(action.value);
  expansion.searchTagName = rule->searchTagName;
  const RuleTemplate& shared = *templates_.emplace_back(std::move(rule));
  Expand(shared, expansion, arrays, 0, message);
  return true;
}

void CMapper::Expand(const RuleTemplate& source, const Expansion& expansion,
                     const std::vector<const ConstantArray*>& arrays, size_t index, RuleMessage& message) {
  const auto mentions = [&expansion](const ConstantArray* array) {
    const auto names = [array](const std::string& text) { return text.find(array->name) != std::string::npos; };
    return std::any_of(expansion.conditionValues.begin(), expansion.conditionValues.end(), names) ||
           std::any_of(expansion.actionValues.begin(), expansion.actionValues.end(), names);
  };
  if (ExpansionLimitReached()) return;
  if (index < arrays.size() && std::any_of(arrays.begin(), arrays.end(), mentions)) {
    const ConstantArray& array = *arrays[index];
    for (const std::string& value : array.values) {
      if (ExpansionLimitReached()) return;
      Expansion copy = expansion;
      for (std::string& text : copy.conditionValues) ReplaceAll(text, array.name, value);
      for (std::string& text : copy.actionValues) ReplaceAll(text, array.name, value);
      ReplaceAll(copy.searchTagName, array.name, value);
      copy.substitutions.push_back(Substitution{&array.name, &value});
      Expand(source, copy, arrays, index + 1, message);
    }
    return;
  }
  Finish(source, expansion, message);
}

void CMapper::Finish(const RuleTemplate& source, const Expansion& expansion, RuleMessage& message) {
  ++expandedRules_;
  ParameterRule& rule = message.rules.emplace_back();
  rule.source = &source;
  rule.conditions.reserve(source.conditions.size());
  for (size_t i = 0; i < source.conditions.size(); ++i) {
    const RuleTemplate::ConditionText& text = source.conditions[i];
    const std::string& value = expansion.conditionValues[i];
    Condition& condition = rule.conditions.emplace_back();
    condition.kind = static_cast<int8_t>(text.kind);
    condition.reference = text.reference;
    condition.op = static_cast<int8_t>(text.op);
    condition.valueType = TypeOf(text.type);
    condition.value = texts_.Intern(value);
    const std::string lower = AsciiLower(value);
    condition.lowerValue = lower == value ? condition.value : texts_.Intern(lower);
    condition.valueIsInteger = ParseInt(value, condition.integerValue);
  }
  rule.substitutions = expansion.substitutions;
  if (source.learnsChannel) {
    rule.learnedChannels = std::make_unique<std::atomic<int32_t>[]>(source.actions.size());
    for (size_t i = 0; i < source.actions.size(); ++i) rule.learnedChannels[i].store(0, std::memory_order_relaxed);
  }

  CEventStorage* storage = driver_.GetEventStorage();
  const bool endEvents = EndEventSeconds(driver_) != 0;
  for (size_t i = 0; i < source.actions.size(); ++i) {
    if (source.actions[i].kind != kEventAction) continue;
    storage->AddEvent(expansion.actionValues[i]);
    if (endEvents) storage->AddEvent("End of " + expansion.actionValues[i]);
  }
  if (!expansion.searchTagName.empty()) {
    SearchTagList& tags = *driver_.GetSearchTags();
    const auto known = [&expansion](const SearchTag& tag) { return tag.name == expansion.searchTagName; };
    // A tag that carries parameter values is one tag, however many rules and values it has.
    if (source.searchTagReference == 0 || std::none_of(tags.begin(), tags.end(), known)) {
      tags.push_back(SearchTag{expansion.searchTagName, source.searchTagType ? 1 : 0});
    }
  }
}

const std::string& CMapper::Resolve(const std::string& text, const ParameterRule& rule, std::string& scratch) {
  bool copied = false;
  for (const Substitution& substitution : rule.substitutions) {
    if ((copied ? scratch : text).find(*substitution.name) == std::string::npos) continue;
    if (!copied) {
      scratch = text;
      copied = true;
    }
    ReplaceAll(scratch, *substitution.name, *substitution.value);
  }
  return copied ? scratch : text;
}

bool CMapper::ExpansionLimitReached() {
  if (expandedRules_ < expansionLimit_) return false;
  // Arrays multiply rules; a configuration must not be able to exhaust memory.
  if (!expansionLimitLogged_) {
    logger_.Log(kLogError, kCatMapper,
                "%s: More than %zu parameter rules after constant expansion; the rest are ignored", kLoadParameter,
                expansionLimit_);
    expansionLimitLogged_ = true;
  }
  return true;
}

bool CMapper::MapMessage(bool textPath, const std::string& message, const ChannelData& record) {
  CXMLParser parser;
  if (!parser.LoadXml(message)) return false;
  const std::string messagePath = textPath ? "root/message" : "message";
  const std::string value = parser.GetAttributeW(messagePath, "value");
  const std::vector<std::string> values = parser.GetAttributeListW(messagePath + "/param", "value");
  const std::vector<std::string> numbers = parser.GetAttributeListW(messagePath + "/param", "number");
  parser.Close();
  ParamTable table;
  if (!values.empty() && values.size() == numbers.size()) {
    table.resize(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
      if (!ParseInt(numbers[i], table[i].number)) table[i].number = 0;
      table[i].text = values[i];
    }
  }
  return Map(value, table, record);
}

bool CMapper::MapUniformMessage(const UniformMessage& message, const ChannelData& record) {
  ParamTable table;
  size_t count = 0;
  for (const UniformEntry& entry : message.messages) count += entry.params.size();
  table.reserve(count);
  for (const UniformEntry& entry : message.messages) {
    for (const UniformParam& param : entry.params) {
      ParamValue& value = table.emplace_back();
      value.number = param.number;
      value.text = param.value;
    }
  }
  return Map(message.messages.empty() ? std::string_view() : std::string_view(message.messages.front().value), table,
             record);
}

bool CMapper::Map(std::string_view value, ParamTable& table, const ChannelData& record) {
  bool caseSensitive = false;
  driver_.IsCaseSensitive(&caseSensitive);
  bool shown = false;  // the block went to the host as text already
  bool acted = false;  // some matching rule ran an action
  const bool tracing = CurrentTrace() != nullptr;
  bool known = false;  // some rule message has this value
  for (const RuleMessage& message : ruleMessages_) {
    if (message.value != value) continue;
    known = true;
    if (message.alwaysShowText == "yes") {
      TraceStep("message %u shows the message as text (alwaysShowText)", message.number);
      ReportBlock(record);
      shown = true;
    }
    const bool all = message.handleParameters == "all";
    bool matched = false;
    for (const ParameterRule& rule : message.rules) {
      if (Evaluate(rule, table, caseSensitive)) {
        if (tracing) TraceRule(message, rule);
        matched = true;
        acted = acted || !rule.source->actions.empty();
        RunActions(rule, table, record);
      }
      if (matched && !all) break;
    }
    if (tracing && !matched) TraceStep("no rule of message %u matched", message.number);
    if (matched) break;
  }
  if (tracing && !known) TraceStep("no rule message has the value %s", QuotedForTrace(value).c_str());
  if (unmatchedText_ && !acted && !shown) {
    TraceStep("no rule acted: shown as text (unmatchedText)");
    ReportBlock(record);
  }
  return true;
}

void CMapper::TraceRule(const RuleMessage& message, const ParameterRule& rule) {
  std::string values;
  for (const Substitution& substitution : rule.substitutions) {
    values += values.empty() ? " with " : ", ";
    values += *substitution.name + " = " + *substitution.value;
  }
  TraceStep("rule %d of message %u (line %ld) fired%s", rule.source->position, message.number, rule.source->line,
            values.c_str());
}

bool CMapper::Evaluate(const ParameterRule& rule, ParamTable& table, bool caseSensitive) {
  // Conditions combine from left to right: an "and" after a failed part and an
  // "or" after a part that holds cannot change the result and are not compared.
  bool matched = true;
  for (const Condition& condition : rule.conditions) {
    if ((condition.kind == kOrCondition) == matched) continue;
    ParamValue* param = FindParam(table, condition.reference);
    matched = param != nullptr && CompareValues(*param, condition, caseSensitive);
  }
  return matched;
}

void CMapper::AttachReferencedTag(const ParameterRule& rule, const std::string& tagName, const ParamTable& table,
                                  const ChannelData& record) {
  const ParamValue* param = FindParam(table, rule.source->searchTagReference);
  if (param != nullptr && !param->text.empty()) {
    AttachSearchTag(record, tagName, std::string(param->text), TagEntries::kFirst);
    return;
  }
  // Common for messages that vary; said once per rule, so the log is not flooded.
  if (!rule.source->missingReferenceLogged.exchange(true, std::memory_order_relaxed)) {
    logger_.Log(kLogInfo, kCatMapper,
                "%s: Search tag '%s' not attached: the message has no parameter %d (said once per rule)",
                "korvane::CMapper::RunActions", tagName.c_str(), rule.source->searchTagReference);
  }
}

void CMapper::RunActions(const ParameterRule& rule, const ParamTable& table, const ChannelData& record) {
  const RuleTemplate& source = *rule.source;
  std::string tagScratch;
  const std::string& tagName = Resolve(source.searchTagName, rule, tagScratch);
  // A parameter's value is attached once, before the actions, so the rule's events carry it.
  const bool referenced = source.searchTagReference > 0 && !tagName.empty();
  if (referenced) AttachReferencedTag(rule, tagName, table, record);
  std::string scratch;
  for (size_t i = 0; i < source.actions.size(); ++i) {
    const Action& action = source.actions[i];
    const std::string& value = Resolve(action.value, rule, scratch);
    if (!referenced) AttachSearchTag(record, tagName, value, TagEntries::kEvery);
    switch (action.kind) {
      case kTextAction:
        validator_.ReportData(record.channel, record.searchData, record.source, record.sourceLength, value.c_str(),
                              static_cast<int32_t>(value.size()), record.reserved, "utf-8");
        break;
      case kEventAction:
        ReportNamedEvent(value, record);
        break;
      case kMetadataAction: {
        const SYSTEMTIME now = CurrentUtcSystemTime();
        int32_t channel = action.metadataChannel;
        if (channel == 0) {
          // Learned at the first use and kept for the later messages.
          std::atomic<int32_t>& learned = rule.learnedChannels[i];
          channel = learned.load(std::memory_order_relaxed);
          if (channel == 0) {
            channel = MetadataChannelFromData(record);
            learned.store(channel, std::memory_order_relaxed);
          }
        }
        if (!value.empty()) {
          validator_.ReportMetadata(2, channel - 1, action.metadataTypeCode, &now, value.c_str(),
                                    static_cast<int32_t>(value.size()));
        } else {
          validator_.ReportMetadata(2, channel - 1, action.metadataTypeCode, &now, record.data, record.dataLength);
        }
        break;
      }
      default:
        break;
    }
  }
}

bool CMapper::Compare(const std::string& p, const std::string& c, int32_t op, const std::string& type) {
  bool caseSensitive = false;
  driver_.IsCaseSensitive(&caseSensitive);
  const std::string lower = AsciiLower(c);
  Condition condition;
  condition.value = &c;
  condition.lowerValue = &lower;
  condition.op = static_cast<int8_t>(op);
  condition.valueType = TypeOf(type);
  condition.valueIsInteger = ParseInt(c, condition.integerValue);
  ParamValue value;
  value.text = p;
  return CompareValues(value, condition, caseSensitive);
}

bool CMapper::CompareValues(ParamValue& p, const Condition& c, bool caseSensitive) {
  if (p.integerState < 0) p.integerState = ParseInt(p.text, p.integerValue) ? 1 : 0;
  ValueType type = c.valueType;
  if (type == ValueType::kAuto) {
    type = (p.integerState == 1 && c.valueIsInteger) ? ValueType::kInteger : ValueType::kString;
  }
  switch (type) {
    case ValueType::kInteger:
      return CompareInteger(p.integerState == 1 && c.valueIsInteger, p.integerValue, c.integerValue, c.op);
    case ValueType::kFloat:
      return CompareFloat(p.text, *c.value, c.op);
    case ValueType::kString:
      if (caseSensitive) return CompareStringA(p.text, *c.value, c.op);
      if (!p.lowered) {
        p.lowerText = AsciiLower(p.text);
        p.lowered = true;
      }
      return CompareStringA(p.lowerText, *c.lowerValue, c.op);
    default:
      logger_.Log(kLogError, kCatMapper, "%s: Unknown parameter value type", kCompare);
      return false;
  }
}

bool CMapper::CompareStringA(std::string_view p, std::string_view c, int32_t op) {
  switch (op) {
    case kEqual:
      return p == c;
    case kGreater:
      return p > c;
    case kGreaterOrEqual:
      return p >= c;
    case kLess:
      return p < c;
    case kLessOrEqual:
      return p <= c;
    case kNotEqual:
      return p != c;
    case kContains:
      return p.find(c) != std::string_view::npos;
    default:
      logger_.Log(kLogError, kCatMapper, "%s: Unknown parameter operator", kCompareString);
      return false;
  }
}

bool CMapper::CompareInteger(bool converted, int32_t p, int32_t c, int32_t op) {
  if (!converted) {
    logger_.Log(kLogError, kCatMapper, "%s: Unable to convert parameter values to integer", kCompareInteger);
    return false;
  }
  return Ordered(p, c, op);
}

bool CMapper::CompareFloat(std::string_view p, std::string_view c, int32_t op) {
  float pv = 0;
  float cv = 0;
  if (!ParseFloat(p, pv) || !ParseFloat(c, cv)) {
    logger_.Log(kLogError, kCatMapper, "%s: Unable to convert parameter values to float", kCompareFloat);
    return false;
  }
  return Ordered(pv, cv, op);
}

}  // namespace korvane
