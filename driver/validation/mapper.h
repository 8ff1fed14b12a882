// The rule mapper for configuration files of mapper version "2": rule
// messages with parameter rules (and/or conditions, actions, search tags),
// constant arrays expanded at load time.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "driver/support/text_pool.h"
#include "driver/support/xml_parser.h"
#include "driver/validation/mapper_base.h"

namespace korvane {

class CMapper : public CMapperBase {
 public:
  enum Operator : int32_t {
    kEqual = 0,
    kGreater = 1,
    kGreaterOrEqual = 2,
    kLess = 3,
    kLessOrEqual = 4,
    kNotEqual = 5,
    kContains = 6,
  };
  enum ConditionKind : int32_t { kOwnCondition = 0, kAndCondition = 1, kOrCondition = 2 };
  enum ActionKind : int32_t { kEventAction = 0, kTextAction = 1, kMetadataAction = 2 };
  enum class ValueType { kAuto, kInteger, kFloat, kString, kUnknown };

  /// One condition of an expanded rule. Its texts live in the mapper's text
  /// pool, so rules that compare with the same value share it.
  struct Condition {
    const std::string* value = nullptr;
    /// The value lower-cased (the same pointer when it has no capitals).
    const std::string* lowerValue = nullptr;
    int32_t reference = 0;
    int32_t integerValue = 0;
    int8_t kind = kOwnCondition;
    int8_t op = kEqual;
    ValueType valueType = ValueType::kAuto;
    bool valueIsInteger = false;
  };

  struct Action {
    int32_t kind = kTextAction;
    std::string value;
    int32_t metadataTypeCode = 1;
    /// 1-based metadata channel; 0 means "learn it from the first message's data".
    int32_t metadataChannel = 0;
  };

  /// A parameter rule as configured, before constant expansion. Every rule
  /// expanded from it shares it: its action values, search tag and id are
  /// kept once, and an expanded rule makes its substitutions in them only
  /// when it runs its actions.
  struct RuleTemplate {
    struct ConditionText {
      int32_t kind = kOwnCondition;
      int32_t reference = 0;
      std::string value;
      int32_t op = kEqual;
      std::string type;
    };
    std::string id;
    /// Position among its message's rules (from 1) and line in the file.
    int32_t position = 0;
    long line = 0;
    std::vector<ConditionText> conditions;
    std::vector<Action> actions;
    std::string searchTagName;
    bool searchTagType = false;
    /// Message parameter whose value the search tag carries (numbered as the
    /// conditions' "reference"); 0: the tag carries each action's value.
    int32_t searchTagReference = 0;
    /// A message without that parameter has been logged (once per rule).
    mutable std::atomic<bool> missingReferenceLogged{false};
    /// Some metadata action has no configured channel and learns one.
    bool learnsChannel = false;
  };

  /// A constant array's name replaced by one of its values.
  struct Substitution {
    const std::string* name = nullptr;
    const std::string* value = nullptr;
  };

  /// One rule after constant expansion: its conditions ready to evaluate,
  /// and what it shares with its siblings by reference.
  struct ParameterRule {
    const RuleTemplate* source = nullptr;
    std::vector<Condition> conditions;
    /// In the order they were made; applied in that order to the template's texts.
    std::vector<Substitution> substitutions;
    /// The metadata channel each action learned at its first use (0: not yet);
    /// only when the template has an action that learns one.
    std::unique_ptr<std::atomic<int32_t>[]> learnedChannels;
  };

  struct RuleMessage {
    uint32_t number = 0;
    std::string value;
    std::string alwaysShowText;
    std::string handleParameters;
    std::vector<ParameterRule> rules;
  };

  struct ConstantArray {
    std::string name;
    std::vector<std::string> values;
  };

  /// Upper bound on parameter rules produced by constant expansion per configuration.
  static constexpr size_t kMaxExpandedRules = 100000;
  /// Upper bound on the values of one <min>..<max> array.
  static constexpr size_t kMaxRangeValues = 100000;

  CMapper(IDataValidator& validator, IDriver& driver, IDebug& logger);

  bool Initialize(int32_t type, const std::string& configFile) override;
  bool InitializeFrom(int32_t type, CXMLParser& config) override;
  bool MapMessage(bool textPath, const std::string& message, const ChannelData& record) override;
  bool MapUniformMessage(const UniformMessage& message, const ChannelData& record) override;

  /// Compares parameter value `p` with condition value `c` (p op c) as `type`.
  bool Compare(const std::string& p, const std::string& c, int32_t op, const std::string& type);

  const std::vector<RuleMessage>& GetRuleMessages() const { return ruleMessages_; }
  /// `text` (a value of `rule`'s template) with the rule's substitutions made;
  /// `scratch` holds the result when the text changes.
  static const std::string& Resolve(const std::string& text, const ParameterRule& rule, std::string& scratch);
  /// Lowers the expansion limit, so tests can reach it with small arrays.
  void SetExpansionLimitForTesting(size_t limit) { expansionLimit_ = limit; }

  static int32_t OperatorCode(std::string_view text);

 private:
  /// One message parameter, with its conversions made once per message.
  struct ParamValue {
    int32_t number = 0;
    std::string_view text;
    int8_t integerState = -1;  // -1 not tried, 0 no, 1 yes
    int32_t integerValue = 0;
    bool lowered = false;
    std::string lowerText;
  };
  using ParamTable = std::vector<ParamValue>;

  bool LoadConfiguration(CXMLParser& parser);
  /// Fills the values min..max of an array without "value" children. False
  /// (logged) when the array must be skipped: a bound that is not an integer,
  /// or too many values. No bounds, or max below min, give no values.
  bool ReadRange(CXMLParser& parser, const std::string& arrayPath, ConstantArray& array);
  bool LoadParameter(RuleMessage& message, CXMLParser& parser, const CXMLParser::Node& node, int32_t position);
  /// Says in the message trace that `rule` fired.
  static void TraceRule(const RuleMessage& message, const ParameterRule& rule);
  /// A rule during expansion: the template's texts with the substitutions made so far.
  struct Expansion {
    std::vector<std::string> conditionValues;
    std::vector<std::string> actionValues;
    std::string searchTagName;
    std::vector<Substitution> substitutions;
  };
  void Expand(const RuleTemplate& source, const Expansion& expansion, const std::vector<const ConstantArray*>& arrays,
              size_t index, RuleMessage& message);
  /// Appends the final rule to `message` and registers its event and search-tag names.
  void Finish(const RuleTemplate& source, const Expansion& expansion, RuleMessage& message);
  /// True (logged once) when no further expanded rule may be added.
  bool ExpansionLimitReached();

  bool Map(std::string_view value, ParamTable& table, const ChannelData& record);
  bool Evaluate(const ParameterRule& rule, ParamTable& table, bool caseSensitive);
  void RunActions(const ParameterRule& rule, const ParamTable& table, const ChannelData& record);
  /// Attaches the referenced parameter's value under the rule's search tag.
  void AttachReferencedTag(const ParameterRule& rule, const std::string& tagName, const ParamTable& table,
                           const ChannelData& record);
  bool CompareValues(ParamValue& p, const Condition& c, bool caseSensitive);
  bool CompareStringA(std::string_view p, std::string_view c, int32_t op);
  bool CompareInteger(bool converted, int32_t p, int32_t c, int32_t op);
  bool CompareFloat(std::string_view p, std::string_view c, int32_t op);

  // Rules point into the arrays, templates and pool: all are replaced together.
  std::vector<ConstantArray> arraysWithoutParams_;
  std::map<std::string, std::vector<ConstantArray>> arraysById_;
  std::set<std::string> usedArrays_;  // arrays some rule mentions, while loading
  std::vector<std::unique_ptr<RuleTemplate>> templates_;
  CTextPool texts_;
  std::vector<RuleMessage> ruleMessages_;
  /// root/kslXmlMapper/rules "unmatchedText" is "yes": a message that runs
  /// no action is shown as text.
  bool unmatchedText_ = false;
  size_t expansionLimit_ = kMaxExpandedRules;
  size_t expandedRules_ = 0;
  bool expansionLimitLogged_ = false;
};

}  // namespace korvane
