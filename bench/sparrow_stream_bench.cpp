// Sparrow's Validate on a VCA stream as one channel thread calls it: one
// document per block, each with 3 events and 2 line counters whose values
// change from document to document. Reports documents per second and the
// resident memory before, after and at its peak over 1 000 000 documents.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>
#include <vector>

#include "bench/validator_bench_util.h"
#include "plugins/sparrow/sparrow.h"

namespace korvane::bench {
namespace {

std::string Event(int id, const char* ruleType, int status) {
  return "<event>\n<id>" + std::to_string(id) + "</id>\n<type>zone</type>\n<zone_id>" + std::to_string(id) +
         "</zone_id>\n<zone_name>Zone " + std::to_string(id) + "</zone_name>\n<rule_id>" + std::to_string(id) +
         "</rule_id>\n<rule_name>Rule-" + ruleType + "</rule_name>\n<rule_type>" + ruleType + "</rule_type>\n<status>" +
         std::to_string(status) + "</status>\n<obj_id>" + std::to_string(100 + id) +
         "</obj_id>\n<obj_cls_name>person</obj_cls_name>\n<bb><x>12000</x><y>20000</y><w>4000</w><h>9000</h></bb>\n"
         "<start_time><s>1765180800</s><ms>120</ms></start_time>\n"
         "<end_time><s>1765180802</s><ms>480</ms></end_time>\n</event>\n";
}

/// Document `n`: three events, the entrance counters at n and n / 2 + 1.
std::string Document(int n) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<vca schema_version=\"1.6\">\n<vca_hdr>\n<frame_id>" +
         std::to_string(n) + "</frame_id>\n<vca_status>0</vca_status>\n<trk_mode>0</trk_mode>\n</vca_hdr>\n" +
         "<channel_id>0</channel_id>\n<events>\n" + Event(1, "presence", 1) + Event(2, "linecountera", 4) +
         Event(3, "direction", 3) + "</events>\n<counts>\n<count>\n<id>0</id>\n<name>Entrance In</name>\n<val>" +
         std::to_string(n) + "</val>\n</count>\n<count>\n<id>1</id>\n<name>Entrance Out</name>\n<val>" +
         std::to_string(n / 2 + 1) + "</val>\n</count>\n</counts>\n</vca>\n";
}

/// Peak resident set size of the process in KiB.
long PeakResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

class NoLog final : public IKSLDataValidatorAPIUser {
 public:
  void Log(uint8_t, const char*) override {}
};

void BM_SparrowValidate(benchmark::State& state) {
  // Counter values change with every document, as line counters do; 4999 documents
  // (odd, so a counter never meets its last value again) are reused round-robin.
  std::vector<std::string> documents;
  for (int n = 0; n < 4999; ++n) documents.push_back(Document(n));
  NoLog user;
  CKSLDataValidatorAPIImpl sparrow;
  if (!sparrow.Open(&user, nullptr)) {
    state.SkipWithError("Sparrow did not open");
    return;
  }
  std::vector<char> output(5120);
  const long residentBefore = ResidentKiB();
  size_t i = 0;
  uint64_t messages = 0;
  uint64_t refused = 0;
  for (auto _ : state) {
    const std::string& doc = documents[i];
    i = i + 1 == documents.size() ? 0 : i + 1;
    uint32_t length = static_cast<uint32_t>(output.size());
    uint32_t count = 0;
    if (!sparrow.Validate(reinterpret_cast<const uint8_t*>(doc.data()), static_cast<uint32_t>(doc.size()),
                          output.data(), &length, &count)) {
      ++refused;
    }
    messages += count;
    benchmark::DoNotOptimize(output.data());
  }
  sparrow.Close();
  state.SetItemsProcessed(state.iterations());
  state.counters["messages_per_doc"] = static_cast<double>(messages) / static_cast<double>(state.iterations());
  state.counters["rss_before_kib"] = static_cast<double>(residentBefore);
  state.counters["rss_after_kib"] = static_cast<double>(ResidentKiB());
  state.counters["peak_rss_kib"] = static_cast<double>(PeakResidentKiB());
  if (refused != 0) state.SkipWithError("a document was refused");
}
BENCHMARK(BM_SparrowValidate)->Iterations(1000000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace korvane::bench
