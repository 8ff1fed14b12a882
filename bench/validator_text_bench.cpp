// Text path of the point-of-sale example: an escaped journal line in, events,
// search tags and text at the host out (validation expression, five regex
// parameters, 21 rules after array expansion).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/validator_bench_util.h"
#include "driver/common/search_data.h"
#include "driver/support/string_utils.h"
#include "driver/validation/data_validator.h"
#include "driver/validation/mapper.h"

namespace korvane::bench {
namespace {

std::vector<std::string> JournalLines() {
  std::vector<std::string> lines;
  for (std::string line : Split(ReadFile(Repository() / "examples/pos-tcp/journal.txt"), "\n")) {
    std::erase(line, '\r');
    lines.push_back(XmlEscape(line));  // as the channel delivers it
  }
  return lines;
}

/// Runs `lines` in a loop through one validator, as one channel thread would.
void RunJournal(benchmark::State& state, const std::vector<std::string>& lines, int32_t endSeconds) {
  UseRepositoryAsHost();
  BenchDriver driver;
  driver.events.SetEndEventSeconds(endSeconds);
  CDataValidator validator(driver, driver);
  if (lines.empty() || !validator.Initialize(kValidationText, "examples/pos-tcp/pos.xml", "", false)) {
    state.SkipWithError("examples/pos-tcp is missing or does not load");
    return;
  }
  const long rssBefore = ResidentKiB();
  size_t i = 0;
  std::string error;
  for (auto _ : state) {
    const std::string& line = lines[i];
    i = i + 1 == lines.size() ? 0 : i + 1;
    CSearchData searchData;
    ChannelData record;
    record.searchData = &searchData;
    record.source = "TCP Channel";
    record.sourceLength = 11;
    record.data = line.data();
    record.dataLength = static_cast<int32_t>(line.size());
    if (!validator.ValidateData(error, record)) state.SkipWithError(error.c_str());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["events_per_message"] =
      static_cast<double>(driver.host.events.load()) / static_cast<double>(state.iterations());
  state.counters["rss_growth_KiB"] = static_cast<double>(ResidentKiB() - rssBefore);
  state.counters["config_loads"] = static_cast<double>(validator.ConfigurationLoadCount());
  validator.StopTimer();
}

// The journal as it is: 15 lines, 9 of them with events.
void BM_TextPathJournal(benchmark::State& state) { RunJournal(state, JournalLines(), 0); }
BENCHMARK(BM_TextPathJournal);

// Only sale lines, each reporting three events.
void BM_TextPathSaleLines(benchmark::State& state) { RunJournal(state, {"SALE LANE 3 TOTAL 15.55"}, 0); }
BENCHMARK(BM_TextPathSaleLines);

// One million messages with End events queued (a long delay keeps them pending
// up to the list's limit): memory must stay flat.
void BM_TextPathMillionWithEndEvents(benchmark::State& state) { RunJournal(state, JournalLines(), 3600); }
BENCHMARK(BM_TextPathMillionWithEndEvents)->Iterations(1000000)->Unit(benchmark::kMillisecond);

// One million messages without End events.
void BM_TextPathMillion(benchmark::State& state) { RunJournal(state, JournalLines(), 0); }
BENCHMARK(BM_TextPathMillion)->Iterations(1000000)->Unit(benchmark::kMillisecond);

// The mapper alone on one sale message: handed over as built, or as the XML
// text of the uniform message that is parsed again (the cost the text path avoids).
void RunMapper(benchmark::State& state, bool asText) {
  UseRepositoryAsHost();
  BenchDriver driver;
  CDataValidator validator(driver, driver);
  if (!validator.Initialize(kValidationText, "examples/pos-tcp/pos.xml", "", false)) {
    state.SkipWithError("examples/pos-tcp is missing or does not load");
    return;
  }
  UniformMessage message;
  message.textPath = true;
  message.messages.push_back(UniformEntry{1, "Journal", {{1, "SALE"}, {2, "3"}, {3, "15.55"}}});
  const std::string text = RenderUniformMessage(message);
  IMapper& mapper = *validator.GetMapper();
  for (auto _ : state) {
    CSearchData searchData;
    ChannelData record;
    record.searchData = &searchData;
    record.data = "SALE LANE 3 TOTAL 15.55";
    record.dataLength = 23;
    benchmark::DoNotOptimize(asText ? mapper.MapMessage(true, text, record)
                                    : mapper.MapUniformMessage(message, record));
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_MapperStructured(benchmark::State& state) { RunMapper(state, false); }
BENCHMARK(BM_MapperStructured);
void BM_MapperXmlText(benchmark::State& state) { RunMapper(state, true); }
BENCHMARK(BM_MapperXmlText);

}  // namespace
}  // namespace korvane::bench
