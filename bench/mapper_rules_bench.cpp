// Memory and time of loading a large rule set: one parameter rule expanded by
// a constant array into 100 000 rules, each with a condition, an "and"
// condition, an event action and a search tag, and optionally a metadata
// action whose value is a small XML document naming the zone. Reports the
// heap the loaded rule set holds per rule, counted with the event names and
// search-tag entries the rules register (mallinfo2, so memory freed while
// loading does not count), and how much of it those names are.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>
#include <memory>
#include <string>

#include "bench/validator_bench_util.h"
#include "driver/validation/mapper.h"
#include "tests/support/scoped_host_directory.h"

namespace korvane::bench {
namespace {

constexpr int64_t kRules = 100000;

// About 1 KiB of metadata text, as a video-analytics overlay would carry it.
std::string MetadataDocument() {
  std::string document = "&lt;overlay zone=&quot;ZONE&quot;&gt;";
  for (int i = 0; i < 16; ++i) {
    document += "&lt;line x1=&quot;" + std::to_string(i * 10) + "&quot; y1=&quot;0&quot; x2=&quot;" +
                std::to_string(i * 10 + 5) + "&quot; y2=&quot;100&quot;/&gt;";
  }
  return document + "&lt;/overlay&gt;";
}

std::string Configuration(int64_t rules, bool metadata) {
  return "<root><kslXmlMapper version=\"2\">"
         "<messageType parsing=\"regex\"><message number=\"1\" value=\"Alarm\">"
         "<param number=\"1\" value=\"ZONE ([0-9]+)\" group=\"1\"/>"
         "<param number=\"2\" value=\"STATE ([A-Z]+)\" group=\"1\"/></message></messageType>"
         "<constants><array name=\"ZONE\"><min>1</min><max>" +
         std::to_string(rules) +
         "</max></array></constants>"
         "<rules><message number=\"1\" value=\"Alarm\" handleParameters=\"all\">"
         "<param reference=\"1\" operator=\"eq\" value=\"ZONE\" type=\"integer\">"
         "<and reference=\"2\" operator=\"eq\" value=\"OPEN\" type=\"string\"/>"
         "<action type=\"event\" value=\"Door open in zone ZONE\"/>" +
         (metadata ? "<action type=\"metadata\" metadatatype=\"xml\" value=\"" + MetadataDocument() + "\"/>"
                   : std::string()) +
         "<searchtag type=\"1\" value=\"Zone\"/>"
         "</param></message></rules></kslXmlMapper></root>";
}

class NullValidator : public IDataValidator {
 public:
  void ReportMetadata(int32_t, int32_t, int32_t, const SYSTEMTIME*, const char*, int32_t) override {}
  void ReportData(uint8_t, ISearchData*, const char*, int32_t, const char*, int32_t, int32_t, const char*) override {}
  void ReportEvent(uint8_t, int32_t, ISearchData*, const char*, int32_t, const char*, int32_t, int32_t) override {}
};

size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

void LoadExpandedRules(benchmark::State& state, bool metadata) {
  testing::ScopedHostDirectory host("kestrel_rules_bench");
  host.Write("rules.xml", Configuration(kRules, metadata));
  NullValidator validator;
  size_t held = 0;
  size_t names = 0;
  size_t rules = 0;
  for (auto _ : state) {
    malloc_trim(0);
    const size_t before = HeapInUse();
    auto driver = std::make_unique<BenchDriver>();
    auto mapper = std::make_unique<CMapper>(validator, *driver, *driver);
    if (!mapper->Initialize(kValidationText, "rules.xml")) {
      state.SkipWithError("the rule configuration does not load");
      return;
    }
    held = HeapInUse() - before;
    // What the driver's name lists hold for the same rules.
    const size_t withNames = HeapInUse();
    driver->events.Clear();
    SearchTagList().swap(driver->tags);
    names = withNames - HeapInUse();
    rules = 0;
    for (const auto& message : mapper->GetRuleMessages()) rules += message.rules.size();
    benchmark::DoNotOptimize(mapper);
  }
  state.counters["rules"] = static_cast<double>(rules);
  const double count = rules == 0 ? 1.0 : static_cast<double>(rules);
  state.counters["bytes_per_rule"] = static_cast<double>(held) / count;
  state.counters["of_which_names"] = static_cast<double>(names) / count;
}

void BM_LoadExpandedRules(benchmark::State& state) { LoadExpandedRules(state, false); }
BENCHMARK(BM_LoadExpandedRules)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_LoadExpandedRulesWithMetadataDocument(benchmark::State& state) { LoadExpandedRules(state, true); }
BENCHMARK(BM_LoadExpandedRulesWithMetadataDocument)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace korvane::bench
