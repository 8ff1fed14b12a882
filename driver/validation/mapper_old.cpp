#include "driver/validation/mapper_old.h"

#include "driver/common/event_storage.h"
#include "driver/common/search_data.h"
#include "driver/support/clock.h"
#include "driver/support/message_trace.h"
#include "driver/support/string_utils.h"
#include "driver/support/xml_parser.h"

namespace korvane {
namespace {

constexpr char kInitialize[] = "korvane::CMapperOld::Initialize";
constexpr char kReadEvents[] = "korvane::CMapperOld::ReadEvents";
constexpr char kReadSearchTags[] = "korvane::CMapperOld::ReadSearchTags";
constexpr char kRules[] = "root/kslXmlMapper/rules";

/// `text` as an XPath string literal (values come from the configuration).
std::string Literal(const std::string& text) {
  std::string out;
  if (text.find('"') == std::string::npos || text.find('\'') == std::string::npos) {
    const char quote = text.find('"') == std::string::npos ? '"' : '\'';
    out.append(1, quote).append(text).append(1, quote);
    return out;
  }
  // Both quote characters: concat("a", '"', "b", ...).
  out = "concat(";
  size_t start = 0;
  for (size_t found = text.find('"'); found != std::string::npos; found = text.find('"', start)) {
    out.append(1, '"').append(text, start, found - start).append("\", '\"', ");
    start = found + 1;
  }
  out.append(1, '"').append(text, start, std::string::npos).append("\")");
  return out;
}

std::string ParamPath(const std::string& messageValue, int32_t p) {
  return Format("%s/message[@value=%s]/param[@number=\"%d\"]", kRules, Literal(messageValue).c_str(), p);
}

std::string LowerOperator(const std::string& op) { return op.empty() ? std::string("eq") : AsciiLower(op); }

}  // namespace

CMapperOld::CMapperOld(IDataValidator& validator, IDriver& driver, IDebug& logger)
    : CMapperBase(validator, driver, logger) {}

bool CMapperOld::Initialize(int32_t type, const std::string& configFile) {
  CXMLParser parser;
  if (!parser.LoadFile(configFile)) {
    logger_.Log(kLogError, kCatMapper, "%s: Unable to initialize XML parser", kInitialize);
    return false;
  }
  const bool ok = InitializeFrom(type, parser);
  parser.Close();
  return ok;
}

bool CMapperOld::InitializeFrom(int32_t type, CXMLParser& parser) {
  bool ok = false;
  if (!ReadRules(parser)) {
    logger_.Log(kLogError, kCatMapper, "%s: Unable to read mapper configuration", kInitialize);
  } else if (!ReadMessageType(parser, type)) {
    logger_.Log(kLogError, kCatMapper, "%s: Unable to read message configuration", kInitialize);
  } else if (!ReadEvents(parser)) {
    logger_.Log(kLogError, kCatMapper, "%s: Unable to read events", kInitialize);
  } else if (!ReadSearchTags(parser)) {
    logger_.Log(kLogError, kCatMapper, "%s: Unable to read search tags", kInitialize);
  } else {
    schemaFile_.clear();
    targetNamespace_.clear();
    if (type == kValidationXsd) ReadSchema(parser);
    ok = true;
  }
  return ok;
}

std::vector<std::string> CMapperOld::RuleMessageValues(CXMLParser& parser) {
  std::vector<std::string> values;
  for (int32_t n = 1;; ++n) {
    std::string value = parser.GetAttributeW(Format("%s/message[@number=\"%d\"]", kRules, n), "value");
    if (value.empty()) break;
    values.push_back(std::move(value));
  }
  return values;
}

bool CMapperOld::ReadRules(CXMLParser& parser) {
  rules_.clear();
  for (const std::string& messageValue : RuleMessageValues(parser)) {
    std::vector<ParameterRule> rules;
    for (int32_t p = 1;; ++p) {
      const std::string path = ParamPath(messageValue, p);
      ParameterRule rule;
      rule.number = p;
      Condition own{parser.GetAttributeW(path, "reference"), parser.GetAttributeW(path, "value"),
                    LowerOperator(parser.GetAttributeW(path, "operator"))};
      const bool last = (own.value.empty() || own.reference.empty()) && own.reference != "*";
      if (last) break;
      for (int32_t k = 1; k <= 999; ++k) {
        const std::string andPath = Format("%s/and[@number=\"%d\"]", path.c_str(), k);
        Condition condition{parser.GetAttributeW(andPath, "reference"), parser.GetAttributeW(andPath, "value"),
                            LowerOperator(parser.GetAttributeW(andPath, "operator"))};
        if (condition.value.empty() || condition.reference.empty()) break;
        rule.conditions.push_back(std::move(condition));
      }
      rule.conditions.insert(rule.conditions.begin(), std::move(own));
      for (int32_t a = 1;; ++a) {
        const std::string actionPath = Format("%s/action[@number=\"%d\"]", path.c_str(), a);
        Action action{parser.GetAttributeW(actionPath, "type"), rule.conditions.front().value,
                      parser.GetAttributeW(actionPath, "value")};
        if (action.type.empty()) break;
        rule.actions.push_back(std::move(action));
      }
      rule.searchTagName = parser.GetAttributeW(path + "/searchtag", "value");
      rules.push_back(std::move(rule));
    }
    // Every message with this value reads the first one's parameters, so a repeat stores the same list.
    rules_[messageValue] = std::move(rules);
  }
  return true;
}

bool CMapperOld::ReadEvents(CXMLParser& parser) {
  CEventStorage* storage = driver_.GetEventStorage();
  if (storage == nullptr) {
    logger_.Log(kLogError, kCatMapper, "%s: Event storage is not created", kReadEvents);
    return false;
  }
  const bool endEvents = EndEventSeconds(driver_) != 0;
  int32_t counter = 1;
  for (const std::string& messageValue : RuleMessageValues(parser)) {
    for (int32_t p = 1;; ++p) {
      const std::string actionPath = ParamPath(messageValue, p) + "/action";
      const std::string type = parser.GetAttributeW(actionPath, "type");
      const std::string value = parser.GetAttributeW(actionPath, "value");
      if (type.empty() || value.empty()) break;
      if (type != "event") continue;
      if (counter >= nameLimit_) {
        logger_.Log(kLogError, kCatMapper, "%s: MAX_CUSTOM_EVENT_NUMBER exceeded", kReadEvents);
        continue;
      }
      storage->AddEvent(value);
      ++counter;
      if (endEvents) {
        storage->AddEvent("End of " + value);
        ++counter;
      }
    }
  }
  return true;
}

bool CMapperOld::ReadSearchTags(CXMLParser& parser) {
  SearchTagList* tags = driver_.GetSearchTags();
  if (tags == nullptr) {
    logger_.Log(kLogError, kCatMapper, "%s: Search tags are not created", kReadSearchTags);
    return false;
  }
  int32_t counter = 1;
  for (const std::string& messageValue : RuleMessageValues(parser)) {
    for (int32_t p = 1;; ++p) {
      const std::string tagPath = ParamPath(messageValue, p) + "/searchtag";
      std::string value = parser.GetAttributeW(tagPath, "value");
      if (value.empty()) break;
      if (counter >= nameLimit_) {
        logger_.Log(kLogError, kCatMapper, "%s: MAX_SEARCH_TAG_NUMBER exceeded!", kReadSearchTags);
        continue;
      }
      // The type is the tag's id; missing or not a number reads as 0.
      int32_t id = 0;
      if (!ParseInt(parser.GetAttributeW(tagPath, "type"), id)) id = 0;
      tags->push_back(SearchTag{std::move(value), id});
      ++counter;
    }
  }
  return true;
}

bool CMapperOld::MapMessage(bool textPath, const std::string& message, const ChannelData& record) {
  CXMLParser parser;
  if (!parser.LoadXml(message)) return false;
  bool caseSensitive = false;
  driver_.IsCaseSensitive(&caseSensitive);
  const std::string prefix = textPath ? "root/" : "";
  for (uint32_t m = 1;; ++m) {
    const std::string messagePath = Format("%smessage[@number=\"%u\"]", prefix.c_str(), m);
    const std::string value = parser.GetAttributeW(textPath ? messagePath : std::string("message"), "value");
    if (textPath && value.empty()) break;
    const ParamLookup lookup = [&parser, &messagePath](const std::string& number) {
      return parser.GetAttributeW(Format("%s/param[@number=%s]", messagePath.c_str(), Literal(number).c_str()),
                                  "value");
    };
    MapOne(value, lookup, record, caseSensitive);
    if (!textPath) break;
  }
  parser.Close();
  return true;
}

bool CMapperOld::MapUniformMessage(const UniformMessage& message, const ChannelData& record) {
  bool caseSensitive = false;
  driver_.IsCaseSensitive(&caseSensitive);
  for (const UniformEntry& entry : message.messages) {
    if (message.textPath && entry.value.empty()) break;
    const ParamLookup lookup = [&entry](const std::string& number) {
      for (const UniformParam& param : entry.params) {
        if (std::to_string(param.number) == number) return param.value;
      }
      return std::string();
    };
    MapOne(entry.value, lookup, record, caseSensitive);
    if (!message.textPath) break;
  }
  return true;
}

void CMapperOld::MapOne(const std::string& value, const ParamLookup& lookup, const ChannelData& record,
                        bool caseSensitive) {
  const auto found = rules_.find(value);
  if (found == rules_.end()) {
    if (CurrentTrace() != nullptr) TraceStep("no rules for message %s", QuotedForTrace(value).c_str());
    return;
  }
  const std::vector<ParameterRule>& rules = found->second;
  for (int32_t i = 1; i <= messageTypeParamCount_; ++i) {
    const std::string number = std::to_string(i);
    const std::string parameter = lookup(number);
    if (parameter.empty()) continue;
    for (const ParameterRule& rule : rules) {
      const Condition& own = rule.conditions.front();
      if (own.reference == "*") {
        const SearchTagList& tags = *driver_.GetSearchTags();
        if (CSearchData* searchData = SearchDataOf(record)) {
          for (const SearchTag& tag : tags) {
            if (tag.name == rule.searchTagName) {
              searchData->AddSearchTag(tag.name.c_str(), tag.id);
              break;
            }
          }
        }
        TraceStep("rule %d (reference \"*\") shows the message as text", rule.number);
        ReportBlock(record);
        break;
      }
      int32_t reference = 0;
      if (!ParseInt(own.reference, reference) || reference != i) continue;
      bool holds = Compare(parameter, own.value, own.op, caseSensitive);
      for (size_t k = 1; holds && k < rule.conditions.size(); ++k) {
        const Condition& condition = rule.conditions[k];
        holds = Compare(lookup(condition.reference), condition.value, condition.op, caseSensitive);
      }
      if (!holds) continue;
      TraceStep("rule %d fired (parameter %d = %s)", rule.number, i, QuotedForTrace(parameter).c_str());
      for (const Action& action : rule.actions) RunAction(rule, action, record);
    }
  }
}

void CMapperOld::RunAction(const ParameterRule& rule, const Action& action, const ChannelData& record) {
  AttachSearchTag(record, rule.searchTagName, action.value, TagEntries::kFirst);
  if (action.type == "data") {
    validator_.ReportData(record.channel, record.searchData, record.source, record.sourceLength, action.value.c_str(),
                          static_cast<int32_t>(action.value.size()), record.reserved, "utf-8");
  } else if (action.type == "event") {
    ReportNamedEvent(action.value, record);
  } else if (action.type == "metadata") {
    const SYSTEMTIME now = CurrentUtcSystemTime();
    validator_.ReportMetadata(2, MetadataChannelFromData(record) - 1, 1, &now, record.data, record.dataLength);
  }
}

bool CMapperOld::Compare(const std::string& p, const std::string& c, const std::string& op, bool caseSensitive) const {
  int32_t pi = 0;
  int32_t ci = 0;
  if (ParseInt(p, pi) && ParseInt(c, ci)) {
    if (op == "eq" || op == "contains") return pi == ci;
    if (op == "neq") return pi != ci;
    if (op == "gt") return pi > ci;
    if (op == "ge") return pi >= ci;
    if (op == "lt") return pi < ci;
    if (op == "le") return pi <= ci;
    return false;
  }
  const std::string ps = caseSensitive ? p : AsciiLower(p);
  const std::string cs = caseSensitive ? c : AsciiLower(c);
  if (op == "eq") return ps == cs;
  if (op == "neq") return ps != cs;
  if (op == "gt") return ps > cs;
  if (op == "ge") return ps >= cs;
  if (op == "lt") return ps < cs;
  if (op == "le") return ps <= cs;
  if (op == "contains") return ps.find(cs) != std::string::npos;
  return false;
}

}  // namespace korvane
