// The rule types of a VCA device: which kind of rule (counter, direction,
// tamper...) each rule number stands for. Events that name neither a rule type
// nor a telling rule name get their type from here. The table is read once,
// from the device's web interface when the endpoint has an address, else from
// "Sparrow.xml" and the exported device settings file it names. A device that
// does not answer is asked again at most every 30 s, so it never stalls the
// stream for longer than one request's time-outs per half minute.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "driver/support/clock.h"
#include "plugins/common/validator_api.h"

namespace korvane {

/// Rule number -> rule type.
using RuleTypeTable = std::map<int32_t, std::string>;

class CVcaRuleDiscovery {
 public:
  static constexpr const char* kConfigFile = "Sparrow.xml";
  static constexpr const char* kRuleListPath = "/nvc-cgi/admin/vca.cgi?action=list";
  /// Connect time-out and the longest silence while the rule list is sent or received.
  static constexpr std::chrono::milliseconds kRequestTimeout{5000};
  /// The longest a whole rule-list request may take, however slowly the device trickles.
  static constexpr std::chrono::milliseconds kRequestDeadline{10000};
  /// The least time between two loading attempts while they keep failing.
  static constexpr std::chrono::seconds kRetryInterval{30};
  /// A rule list longer than this is no rule list.
  static constexpr size_t kMaxRuleListBytes = 1 << 20;

  /// `user` (may be null) receives one line per streak of failed loads.
  CVcaRuleDiscovery(const DeviceEndpoint& endpoint, IKSLDataValidatorAPIUser* user, const Clock& clock);

  /// The type of rule `ruleId` (decimal text), "unknown" when the table does
  /// not have it. Loads the table first while it is empty, unless the last
  /// failed attempt was less than kRetryInterval ago.
  std::string Lookup(std::string_view ruleId);

  const RuleTypeTable& Table() const { return table_; }

  /// Fills `table` from a rule-list answer ("name=value" lines): the types of
  /// rules 0 to "VCA.Ch0.nbrofrule" - 1 that are not empty. False when the
  /// number of rules is missing or not a number.
  static bool ReadRuleList(std::string_view text, RuleTypeTable& table);

 private:
  /// One loading attempt; true when the table holds a rule afterwards. `why` says what failed.
  bool Load(std::string& why);
  bool LoadOverHttp(std::string& why);
  bool LoadFromFiles(std::string& why);
  /// The web interface's port: the endpoint's, or "HTTPPort" from the configuration file.
  int32_t HttpPort() const;

  const DeviceEndpoint endpoint_;
  IKSLDataValidatorAPIUser* const user_;
  const Clock& clock_;
  RuleTypeTable table_;
  bool attempted_ = false;
  bool failing_ = false;  // the last attempt failed and was logged
  Clock::TimePoint lastAttempt_{};
};

}  // namespace korvane
