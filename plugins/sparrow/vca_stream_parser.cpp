#include "plugins/sparrow/vca_stream_parser.h"

#include <algorithm>
#include <string_view>

#include "driver/support/string_utils.h"

namespace korvane {
namespace {

constexpr std::string_view kEndTag = "</vca>";
constexpr std::string_view kMessageHead = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<root>\n";
constexpr std::string_view kSeparator = "[FF]";
// "<vca" and the byte that tells it from "<vca_hdr>".
constexpr size_t kStartTagBytes = 5;

/// Position of the first "<vca>" or "<vca " in `text` starting in [from, limit).
size_t FindStartTag(const std::string& text, size_t from, size_t limit) {
  for (size_t at = text.find("<vca", from); at != std::string::npos && at < limit; at = text.find("<vca", at + 1)) {
    if (at + kStartTagBytes > text.size()) return std::string::npos;
    const char next = text[at + 4];
    if (next == '>' || next == ' ') return at;
  }
  return std::string::npos;
}

/// Appends device text escaped for XML; "[" becomes a character reference as
/// well, so no device text can hold the "[FF]" that separates messages.
void AppendText(std::string& out, std::string_view value) {
  size_t start = 0;
  for (size_t bracket = value.find('['); bracket != std::string_view::npos; bracket = value.find('[', start)) {
    XmlEscapeAppend(out, value.data() + start, bracket - start);
    out += "&#91;";
    start = bracket + 1;
  }
  XmlEscapeAppend(out, value.data() + start, value.size() - start);
}

void AppendLine(std::string& out, std::string_view tag, std::string_view value, bool escape = true) {
  out += '<';
  out += tag;
  out += '>';
  if (escape) {
    AppendText(out, value);
  } else {
    out += value;
  }
  out += "</";
  out += tag;
  out += ">\n";
}

/// "<tag>value</tag>" with the value escaped, no line end.
void AppendPart(std::string& out, std::string_view tag, std::string_view value) {
  out += '<';
  out += tag;
  out += '>';
  AppendText(out, value);
  out += "</";
  out += tag;
  out += '>';
}

std::string StatusName(const std::string& text) {
  int32_t status = 0;
  if (!ParseInt(text, status)) return "unknown";
  switch (status) {
    case 1:
      return "begin";
    case 2:
      return "update";
    case 3:
      return "end";
    case 4:
      return "instantaneous";
    default:
      return "unknown";
  }
}

/// Reads the first child element of each name in `names`; later ones of the same name are ignored.
class ChildTexts {
 public:
  static constexpr size_t kMaxNames = 16;

  ChildTexts(const CXmlTreeReader& reader, int32_t element, std::initializer_list<std::string_view> names)
      : reader_(reader), names_(names) {
    std::fill(std::begin(nodes_), std::end(nodes_), CXmlTreeReader::kNone);
    const auto& elements = reader.Elements();
    for (int32_t child = elements[static_cast<size_t>(element)].firstChild; child != CXmlTreeReader::kNone;
         child = elements[static_cast<size_t>(child)].nextSibling) {
      const auto found = std::find(names_.begin(), names_.end(), elements[static_cast<size_t>(child)].name);
      if (found == names_.end()) continue;
      const auto index = static_cast<size_t>(found - names_.begin());
      if (index < kMaxNames && nodes_[index] == CXmlTreeReader::kNone) nodes_[index] = child;
    }
  }
  bool Has(size_t index) const { return nodes_[index] != CXmlTreeReader::kNone; }
  std::string_view Text(size_t index) const {
    if (!Has(index)) return {};
    return reader_.Text(reader_.Elements()[static_cast<size_t>(nodes_[index])]);
  }
  /// The element itself, for one with children of its own; kNone when absent.
  int32_t Node(size_t index) const { return nodes_[index]; }

 private:
  const CXmlTreeReader& reader_;
  std::initializer_list<std::string_view> names_;
  int32_t nodes_[kMaxNames];
};

}  // namespace

CVCAXMLStreamParser::CVCAXMLStreamParser(const DeviceEndpoint& endpoint, IKSLDataValidatorAPIUser* user,
                                         const Clock& clock)
    : user_(user), clock_(clock), rules_(endpoint, user, clock) {}

bool CVCAXMLStreamParser::Parse(const uint8_t* data, size_t length, std::string& text, uint32_t& count) {
  try {
    buffer_.append(reinterpret_cast<const char*>(data), length);
    size_t p = 0;  // buffer_ before p is used up
    while (true) {
      if (!inside_) {
        const size_t start = FindStartTag(buffer_, p, buffer_.size());
        if (start == std::string::npos) {
          // Keep what may be the beginning of a start tag the next block completes.
          p = buffer_.size() - std::min(buffer_.size() - p, kStartTagBytes - 1);
          break;
        }
        p = start;
        inside_ = true;
        scanFrom_ = start + 1;
      }
      const size_t end = buffer_.find(kEndTag, scanFrom_);
      // A start tag before the end tag means the document at p never ended: start over at the new one.
      const size_t restart = FindStartTag(buffer_, scanFrom_, end == std::string::npos ? buffer_.size() : end);
      if (restart != std::string::npos) {
        p = restart;
        scanFrom_ = restart + 1;
        continue;
      }
      if (end == std::string::npos) {
        if (buffer_.size() - p > kMaxDocumentBytes) {
          LogOnce(loggedOverlong_,
                  Format("korvane::CVCAXMLStreamParser::Parse: A VCA document grew beyond %zu bytes without its end "
                         "tag; it is dropped and the stream resumes at the next start tag",
                         kMaxDocumentBytes));
          inside_ = false;
          p = buffer_.size() - (kStartTagBytes - 1);
        } else {
          // The end tag or a start tag may begin in the last bytes: search them again.
          scanFrom_ = std::max(p + 1, buffer_.size() - std::min(buffer_.size(), kEndTag.size() - 1));
        }
        break;
      }
      ProcessDocument(p, end + kEndTag.size());
      p = end + kEndTag.size();
      inside_ = false;
    }
    buffer_.erase(0, p);
    if (inside_) scanFrom_ -= p;
    BuildOutput(text, count);
    return true;
  } catch (...) {
    alarms_.clear();
    counters_.clear();
    return false;
  }
}

void CVCAXMLStreamParser::Reset() {
  inside_ = false;
  buffer_.clear();
  scanFrom_ = 0;
  history_.clear();
  repeatStamp_ = 0;
}

void CVCAXMLStreamParser::ProcessDocument(size_t begin, size_t end) {
  if (end - begin <= kMinDocumentChars) return;
  // A document that is not well-formed is dropped whole.
  if (!reader_.Read(std::string_view(buffer_).substr(begin, end - begin))) return;
  const auto& elements = reader_.Elements();
  if (elements[0].name != "vca") return;
  // One walk over the document's elements, in document order: each event and
  // counter is read from its own node, so device texts never become part of a query.
  const auto children = [&](int32_t parent, auto&& visit) {
    for (int32_t child = elements[static_cast<size_t>(parent)].firstChild; child != CXmlTreeReader::kNone;
         child = elements[static_cast<size_t>(child)].nextSibling) {
      visit(child, elements[static_cast<size_t>(child)].name);
    }
  };
  std::string channel;
  bool channelSeen = false;
  children(0, [&](int32_t section, std::string_view name) {
    if (name != "channel_id" || channelSeen) return;
    channel = reader_.Text(elements[static_cast<size_t>(section)]);
    channelSeen = true;
  });
  children(0, [&](int32_t section, std::string_view name) {
    if (name != "events") return;
    children(section, [&](int32_t event, std::string_view kind) {
      if (kind == "event") ReadEvent(event, channel);
    });
  });
  children(0, [&](int32_t section, std::string_view name) {
    if (name != "counts") return;
    children(section, [&](int32_t count, std::string_view kind) {
      if (kind == "count") ReadCounter(count, channel);
    });
  });
}

void CVCAXMLStreamParser::ReadEvent(int32_t event, const std::string& channel) {
  enum { kId, kType, kZoneId, kZoneName, kRuleId, kRuleName, kRuleType, kStatus, kBox, kStart, kEnd, kObjId, kObjCls };
  const ChildTexts fields(reader_, event,
                          {"id", "type", "zone_id", "zone_name", "rule_id", "rule_name", "rule_type", "status", "bb",
                           "start_time", "end_time", "obj_id", "obj_cls_name"});
  if (!fields.Has(kId)) return;
  VcaAlarmRecord alarm;
  alarm.status = StatusName(Trim(fields.Text(kStatus)));
  if (alarm.status == "update") return;
  alarm.id = fields.Text(kId);
  alarm.channel = channel;
  alarm.type = fields.Text(kType);
  alarm.zoneId = fields.Text(kZoneId);
  alarm.zoneName = fields.Text(kZoneName);
  alarm.ruleId = fields.Text(kRuleId);
  alarm.ruleName = fields.Text(kRuleName);
  alarm.ruleType = fields.Text(kRuleType);
  alarm.objectId = fields.Text(kObjId);
  alarm.objectClass = fields.Text(kObjCls);

  const auto parts = [&](size_t index, std::initializer_list<std::string_view> names, std::string& out) {
    const int32_t node = fields.Node(index);
    if (node == CXmlTreeReader::kNone) {
      for (const std::string_view name : names) AppendPart(out, name, {});
      return;
    }
    const ChildTexts children(reader_, node, names);
    size_t i = 0;
    for (const std::string_view name : names) AppendPart(out, name, children.Text(i++));
  };
  parts(kBox, {"x", "y", "w", "h"}, alarm.boundingBox);
  parts(kStart, {"s", "ms"}, alarm.startTime);
  parts(kEnd, {"s", "ms"}, alarm.endTime);

  if (alarm.type != "tamper") {
    if (!alarm.ruleType.empty()) {
      alarm.type = alarm.ruleType;
    } else {
      alarm.type.clear();
      if (!alarm.ruleName.empty()) alarm.type = RuleNameType(alarm.ruleName);
      if (alarm.type.empty()) alarm.type = rules_.Lookup(alarm.ruleId);
    }
    if (alarm.type == "direction") alarm.type = "direction filter";
  }
  alarms_.push_back(std::move(alarm));
}

void CVCAXMLStreamParser::ReadCounter(int32_t count, const std::string& channel) {
  const ChildTexts fields(reader_, count, {"id", "name", "val"});
  VcaCounterRecord counter{std::string(fields.Text(0)), std::string(fields.Text(1)), std::string(fields.Text(2)),
                           channel};
  if (counter.id.empty() || counter.name.empty() || counter.value.empty()) return;
  if (AcceptCounter(counter)) counters_.push_back(std::move(counter));
}

bool CVCAXMLStreamParser::AcceptCounter(const VcaCounterRecord& counter) {
  // Only the last reading of each counter is kept: a line counter changes its
  // value all day, and every reading it ever had would grow without end.
  auto key = std::make_pair(counter.id, counter.name);
  const auto known = history_.find(key);
  if (known == history_.end()) {
    if (history_.size() >= kMaxCounters) {
      LogOnce(loggedForgetting_,
              Format("korvane::CVCAXMLStreamParser::AcceptCounter: More than %zu VCA counters; the readings seen so "
                     "far are forgotten",
                     kMaxCounters));
      history_.clear();
    }
    history_.emplace(std::move(key), counter.value);
    return true;
  }
  if (known->second != counter.value) {
    known->second = counter.value;
    return true;
  }
  // The same reading again: let one repeat through every 3 s, across all counters.
  const uint64_t now = clock_.UtcFileTime();
  if (now - repeatStamp_ <= kRepeatInterval) return false;
  repeatStamp_ = now;
  return true;
}

void CVCAXMLStreamParser::BuildOutput(std::string& text, uint32_t& count) {
  count = 0;
  for (const VcaAlarmRecord& alarm : alarms_) {
    if (!text.empty()) text += kSeparator;
    text += kMessageHead;
    text += "<message>VCA Alarm</message>\n";
    if (!alarm.channel.empty()) AppendLine(text, "channel", alarm.channel);
    if (!alarm.id.empty()) AppendLine(text, "id", alarm.id);
    AppendLine(text, "type", alarm.type.empty() ? std::string("unknown") : ToLower(alarm.type));
    if (!alarm.zoneId.empty()) AppendLine(text, "zone_id", alarm.zoneId);
    if (!alarm.zoneName.empty()) AppendLine(text, "zone_name", alarm.zoneName);
    if (!alarm.ruleId.empty()) AppendLine(text, "rule_id", alarm.ruleId);
    if (!alarm.ruleName.empty()) AppendLine(text, "rule_name", alarm.ruleName);
    AppendLine(text, "status", alarm.status);
    AppendLine(text, "bb", alarm.boundingBox, false);
    AppendLine(text, "start_time", alarm.startTime, false);
    AppendLine(text, "end_time", alarm.endTime, false);
    if (!alarm.objectId.empty()) AppendLine(text, "obj_id", alarm.objectId);
    const std::string cls = ToLower(alarm.objectClass);
    AppendLine(text, "obj_cls_name",
               cls.empty() || cls == "unknown" || cls == "unclassified" ? std::string("Unknown") : alarm.objectClass);
    text += "</root>\n";
    ++count;
  }
  for (const VcaCounterRecord& counter : counters_) {
    if (!text.empty()) text += kSeparator;
    text += kMessageHead;
    text += "<message>VCA Counter</message>\n";
    AppendLine(text, "channel", counter.channel);
    AppendLine(text, "id", counter.id);
    AppendLine(text, "name", counter.name);
    AppendLine(text, "value", counter.value);
    text += "</root>\n";
    ++count;
  }
  alarms_.clear();
  counters_.clear();
}

std::string CVCAXMLStreamParser::RuleNameType(const std::string& ruleName) {
  const size_t dash = ruleName.find('-');
  if (dash == std::string::npos) return {};
  const std::string rest = ToLower(std::string_view(ruleName).substr(dash + 1));
  if (rest == "cnt line - dir a") return "linecountera";
  if (rest == "cnt line - dir b") return "linecounterb";
  if (rest == "cnt line - dir c") return "linecounterc";
  if (rest == "cnt line - dir d") return "linecounterd";
  if (rest.find("cnt") != std::string::npos || rest.find("counter") != std::string::npos) return "linecounter";
  return rest;
}

void CVCAXMLStreamParser::LogOnce(bool& logged, const std::string& line) {
  if (logged) return;
  logged = true;
  if (user_ != nullptr) user_->Log(1, line.c_str());
}

}  // namespace korvane
