// The VCA metadata stream: XML documents enclosed in "vca" elements, split
// over received blocks or several to a block, each reporting alarm events and
// line-counter readings. The parser reassembles the documents, reads their
// events and counters, drops what the host does not need (events in state
// "update", a counter reading repeated within 3 s) and answers one small XML
// message per event or counter, joined by "[FF]".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "driver/support/clock.h"
#include "driver/support/xml_tree_reader.h"
#include "plugins/common/validator_api.h"
#include "plugins/sparrow/vca_rule_discovery.h"

namespace korvane {

struct VcaAlarmRecord {
  std::string id, type, zoneId, zoneName, ruleId, ruleName, ruleType, status, objectId, objectClass;
  std::string boundingBox;  ///< "<x>..</x><y>..</y><w>..</w><h>..</h>", texts escaped
  std::string startTime;    ///< "<s>..</s><ms>..</ms>", texts escaped
  std::string endTime;
  std::string channel;
};

struct VcaCounterRecord {
  std::string id, name, value, channel;
};

class CVCAXMLStreamParser {
 public:
  /// The longest document kept while its end tag has not arrived.
  static constexpr size_t kMaxDocumentBytes = 1 << 20;
  /// A document this long or shorter (tags included) carries nothing.
  static constexpr size_t kMinDocumentChars = 256;
  /// Counter readings repeated within this time (100 ns units) are not reported again.
  static constexpr uint64_t kRepeatInterval = 30'000'000;
  /// Distinct counters (id and name) remembered; a device never has this many.
  static constexpr size_t kMaxCounters = 4096;

  /// `user` (may be null) receives the parser's few log lines.
  CVCAXMLStreamParser(const DeviceEndpoint& endpoint, IKSLDataValidatorAPIUser* user,
                      const Clock& clock = SystemClock());

  /// Takes one block; `text` receives the messages of every document the
  /// block completes, `count` their number. False only when the parse failed.
  bool Parse(const uint8_t* data, size_t length, std::string& text, uint32_t& count);

  /// Forgets a partial document and the counter readings; keeps the rule table.
  void Reset();

  /// The rule-name type of `ruleName` ("" when it tells nothing), e.g. "linecounterb" for "Door-Cnt Line - Dir B".
  static std::string RuleNameType(const std::string& ruleName);

  size_t RememberedCounters() const { return history_.size(); }
  size_t BufferedBytes() const { return buffer_.size(); }

 private:
  /// Reads events and counters of the document in buffer_[begin, end).
  void ProcessDocument(size_t begin, size_t end);
  void ReadEvent(int32_t event, const std::string& channel);
  void ReadCounter(int32_t count, const std::string& channel);
  bool AcceptCounter(const VcaCounterRecord& counter);
  void BuildOutput(std::string& text, uint32_t& count);
  void LogOnce(bool& logged, const std::string& line);

  IKSLDataValidatorAPIUser* const user_;
  const Clock& clock_;
  CVcaRuleDiscovery rules_;

  bool inside_ = false;  // buffer_ starts with a start tag whose end tag has not come
  std::string buffer_;   // the partial document, or outside one a tail that may begin a start tag
  size_t scanFrom_ = 0;  // where the search for the end tag resumes in buffer_
  CXmlTreeReader reader_;
  std::vector<VcaAlarmRecord> alarms_;
  std::vector<VcaCounterRecord> counters_;
  // Last reading of each counter (id, name) -> value.
  std::map<std::pair<std::string, std::string>, std::string> history_;
  uint64_t repeatStamp_ = 0;
  bool loggedOverlong_ = false;
  bool loggedForgetting_ = false;
};

}  // namespace korvane
