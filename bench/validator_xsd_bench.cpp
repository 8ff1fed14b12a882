// XML path of the alarm-panel example: an escaped XML datagram in, schema
// validation, message built by XPath, events at the host out.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/validator_bench_util.h"
#include "driver/common/search_data.h"
#include "driver/support/string_utils.h"
#include "driver/validation/data_validator.h"

namespace korvane::bench {
namespace {

void BM_XsdPathAlarms(benchmark::State& state) {
  UseRepositoryAsHost();
  std::vector<std::string> datagrams;
  std::vector<std::filesystem::path> files;
  const auto samples = Repository() / "examples/xml-udp/samples";
  if (std::filesystem::is_directory(samples)) {
    for (const auto& entry : std::filesystem::directory_iterator(samples)) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    if (file.filename().string().find("not-valid") == std::string::npos) {
      datagrams.push_back(XmlEscape(ReadFile(file)));
    }
  }
  BenchDriver driver;
  CDataValidator validator(driver, driver);
  if (datagrams.empty() || !validator.Initialize(kValidationXsd, "examples/xml-udp/alarms.xml", "", false)) {
    state.SkipWithError("examples/xml-udp is missing or does not load");
    return;
  }
  const long rssBefore = ResidentKiB();
  size_t i = 0;
  std::string error;
  for (auto _ : state) {
    const std::string& datagram = datagrams[i];
    i = i + 1 == datagrams.size() ? 0 : i + 1;
    CSearchData searchData;
    ChannelData record;
    record.searchData = &searchData;
    record.source = "UDP Channel";
    record.sourceLength = 11;
    record.data = datagram.data();
    record.dataLength = static_cast<int32_t>(datagram.size());
    if (!validator.ValidateData(error, record)) state.SkipWithError(error.c_str());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["events_per_message"] =
      static_cast<double>(driver.host.events.load()) / static_cast<double>(state.iterations());
  state.counters["rss_growth_KiB"] = static_cast<double>(ResidentKiB() - rssBefore);
}
BENCHMARK(BM_XsdPathAlarms);

}  // namespace
}  // namespace korvane::bench
