// The text path's expressions alone: the point-of-sale example's validation
// expression and five parameter expressions on its journal, through the
// compiled engines and through boost.regex on the decoded line (the way every
// line was matched before), and catastrophic expressions on a long line.
#include <benchmark/benchmark.h>

#include <boost/regex.hpp>
#include <string>
#include <vector>

#include "bench/validator_bench_util.h"
#include "driver/support/string_utils.h"
#include "driver/validation/text_regex.h"

namespace korvane::bench {
namespace {

const char* const kValidation = "[A-Z].*";
const char* const kParameters[] = {"^(RECEIPT|ITEM|VOID|SALE|CASH OUT|CASH|NO SALE|REFUND LANE|REFUND)",
                                   "[0-9]+(\\.[0-9]{2})?", "([0-9]+\\.[0-9]{2})$", " ([0-9]+) x ",
                                   "^(ITEM|REFUND) (.+) [0-9]+ x "};
const int32_t kGroups[] = {1, 0, 1, 1, 2};

std::vector<std::string> Journal() {
  std::vector<std::string> lines;
  for (std::string line : Split(ReadFile(Repository() / "examples/pos-tcp/journal.txt"), "\n")) {
    std::erase(line, '\r');
    if (!line.empty()) lines.push_back(XmlEscape(line));
  }
  return lines;
}

void BM_JournalExpressionsCompiled(benchmark::State& state) {
  const std::vector<std::string> lines = Journal();
  const CTextRegex validation(kValidation, RegexSyntax::kBasic);
  std::vector<std::unique_ptr<CTextRegex>> parameters;
  for (const char* expression : kParameters) {
    parameters.push_back(std::make_unique<CTextRegex>(expression, RegexSyntax::kPerl));
  }
  std::string value;
  size_t i = 0;
  for (auto _ : state) {
    const CTextSubject line(lines[i]);
    i = i + 1 == lines.size() ? 0 : i + 1;
    benchmark::DoNotOptimize(validation.FullMatch(line));
    for (size_t p = 0; p < parameters.size(); ++p)
      benchmark::DoNotOptimize(parameters[p]->Search(line, kGroups[p], value));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_JournalExpressionsCompiled);

void BM_JournalExpressionsBoostWide(benchmark::State& state) {
  const std::vector<std::string> lines = Journal();
  const boost::wregex validation(Utf8ToWide(kValidation), boost::regex::basic);
  std::vector<boost::wregex> parameters;
  for (const char* expression : kParameters) parameters.emplace_back(Utf8ToWide(expression), boost::regex::normal);
  boost::wsmatch match;
  size_t i = 0;
  for (auto _ : state) {
    const std::wstring line = Utf8ToWide(lines[i]);
    i = i + 1 == lines.size() ? 0 : i + 1;
    benchmark::DoNotOptimize(boost::regex_match(line, validation));
    for (size_t p = 0; p < parameters.size(); ++p) {
      if (boost::regex_search(line, match, parameters[p]))
        benchmark::DoNotOptimize(WideToUtf8(match[kGroups[p]].str()));
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_JournalExpressionsBoostWide);

// 100 000 'a' against an expression a backtracking engine needs exponential
// time for; boost.regex stops at its complexity limit and fails the block.
void BM_CatastrophicValidation(benchmark::State& state) {
  const std::string line(100000, 'a');
  const CTextRegex regex("\\(a*\\)*b", RegexSyntax::kBasic);
  for (auto _ : state) benchmark::DoNotOptimize(regex.FullMatch(CTextSubject(line)));
}
BENCHMARK(BM_CatastrophicValidation)->Unit(benchmark::kMillisecond);

void BM_CatastrophicParameter(benchmark::State& state) {
  const std::string line(100000, 'a');
  const CTextRegex regex("(a*)*b", RegexSyntax::kPerl);
  std::string value;
  for (auto _ : state) benchmark::DoNotOptimize(regex.Search(CTextSubject(line), 1, value));
}
BENCHMARK(BM_CatastrophicParameter)->Unit(benchmark::kMillisecond);

// No required character to rule the line out early: PCRE2 runs into its step
// limit and RE2 answers.
void BM_CatastrophicPastTheStepLimit(benchmark::State& state) {
  const std::string line = std::string(100000, 'a') + "!";
  const CTextRegex regex("(a|aa)+$", RegexSyntax::kPerl);
  std::string value;
  for (auto _ : state) benchmark::DoNotOptimize(regex.Search(CTextSubject(line), 0, value));
}
BENCHMARK(BM_CatastrophicPastTheStepLimit)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvane::bench
