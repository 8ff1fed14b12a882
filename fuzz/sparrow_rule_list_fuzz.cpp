// The rule list a VCA unit answers ("name=value" lines) read into Sparrow's
// rule table: whatever the text, only rules below the announced number with a
// non-empty type enter the table, and reading never costs more than the text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "driver/support/string_utils.h"
#include "fuzz/plugin_fuzz_check.h"
#include "plugins/sparrow/vca_rule_discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using korvane::fuzzing::Check;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  korvane::RuleTypeTable table;
  const bool read = korvane::CVcaRuleDiscovery::ReadRuleList(text, table);
  Check(read || table.empty(), "a list without its number of rules filled the table");
  Check(table.size() <= size / 16, "more rules than the text can name");
  for (const auto& [rule, type] : table) {
    Check(rule >= 0 && !type.empty(), "a rule below 0 or without a type");
    Check(text.find(korvane::Format("VCA.Ch0.Rl%d.type", rule)) != std::string_view::npos,
          "a rule the text never names");
  }
  return 0;
}
