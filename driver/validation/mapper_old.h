// The legacy mapper for configuration files without mapper version "2":
// number-addressed rule messages and parameter rules, AND-only conditions,
// automatic integer/string comparison, and a "*" reference that shows the
// whole block.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "driver/validation/mapper_base.h"

namespace korvane {

class CMapperOld : public CMapperBase {
 public:
  struct Condition {
    std::string reference;
    std::string value;
    std::string op;  ///< lower-cased; "eq" when not given
  };
  struct Action {
    std::string type;
    std::string paramValue;  ///< the parameter rule's own "value"
    std::string value;
  };
  struct ParameterRule {
    /// The rule's own condition first, then its "and" conditions in number order.
    std::vector<Condition> conditions;
    std::vector<Action> actions;
    std::string searchTagName;
    /// The number of the rule's <param> element.
    int32_t number = 0;
  };

  /// Names (events with their "End of" companions, or search tags) one pass may add.
  static constexpr int32_t kMaxNames = 32767;

  CMapperOld(IDataValidator& validator, IDriver& driver, IDebug& logger);

  bool Initialize(int32_t type, const std::string& configFile) override;
  bool InitializeFrom(int32_t type, CXMLParser& config) override;
  bool MapMessage(bool textPath, const std::string& message, const ChannelData& record) override;
  bool MapUniformMessage(const UniformMessage& message, const ChannelData& record) override;

  const std::map<std::string, std::vector<ParameterRule>>& GetRules() const { return rules_; }
  /// Lowers the name limit, so tests can reach it without tens of thousands of rules.
  void SetNameLimitForTesting(int32_t limit) { nameLimit_ = limit; }

  /// p op c: as integers when both convert, else as strings.
  bool Compare(const std::string& p, const std::string& c, const std::string& op, bool caseSensitive) const;

 private:
  /// Value of the current message's parameter with the given number text; empty when missing.
  using ParamLookup = std::function<std::string(const std::string& number)>;

  bool ReadRules(CXMLParser& parser);
  bool ReadEvents(CXMLParser& parser);
  bool ReadSearchTags(CXMLParser& parser);
  std::vector<std::string> RuleMessageValues(CXMLParser& parser);

  void MapOne(const std::string& value, const ParamLookup& lookup, const ChannelData& record, bool caseSensitive);
  void RunAction(const ParameterRule& rule, const Action& action, const ChannelData& record);

  std::map<std::string, std::vector<ParameterRule>> rules_;
  int32_t nameLimit_ = kMaxNames;
};

}  // namespace korvane
