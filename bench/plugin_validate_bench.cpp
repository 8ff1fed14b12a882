// The validator plug-ins on the panel sessions of examples/: Validate alone,
// as one channel thread calls it, and end to end: a panel on 127.0.0.1 sends
// the session over and over to a real driver (KestrelTcpModel, validation
// "Custom") that loads the plug-in by name, maps each document and reports
// events and text to an in-process host that counts them.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_driver.h"
#include "bench/validator_bench_util.h"
#include "kestrel/exports.h"
#include "plugins/heron/heron.h"
#include "plugins/plover/plover.h"

namespace korvane::bench {
namespace {

namespace fs = std::filesystem;

/// The Contact ID session's messages, without line ends.
std::vector<std::string> ContactIdMessages() {
  std::vector<std::string> messages;
  std::istringstream in(ReadFile(Repository() / "examples/contact-id-tcp/session.txt"));
  for (std::string line; std::getline(in, line);) messages.push_back(line);
  return messages;
}

/// The Galaxy session's blocks, without the CR LF after each.
std::vector<std::string> GalaxyBlocks() {
  std::vector<std::string> blocks;
  std::istringstream in(ReadFile(Repository() / "examples/galaxy-tcp/session.hex"));
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line.substr(0, line.find('#')));
    std::string block;
    for (std::string hex; words >> hex;) block += static_cast<char>(std::stoi(hex, nullptr, 16));
    if (block.size() > 2) blocks.push_back(block.substr(0, block.size() - 2));
  }
  return blocks;
}

/// A host directory holding the plug-ins, Heron's event table and the
/// examples, made at first use and removed when the program ends.
class BenchHostDirectory {
 public:
  BenchHostDirectory() : dir_(fs::temp_directory_path() / ("kestrel_plugin_bench_" + std::to_string(::getpid()))) {
    fs::create_directories(dir_);
    // Copies, not links: the driver reads no file whose real path leaves the host directory.
    for (const char* name : {"Heron.so", "Plover.so"}) {
      fs::copy_file(fs::path(KESTREL_PLUGIN_DIR) / name, dir_ / name);
    }
    fs::copy_file(Repository() / "plugins/heron/ContactID.xml", dir_ / "ContactID.xml");
    fs::copy(Repository() / "examples", dir_ / "examples", fs::copy_options::recursive);
    ::setenv("KESTREL_HOST_DIR", dir_.c_str(), 1);
  }
  ~BenchHostDirectory() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

 private:
  fs::path dir_;
};

void UseBenchHostDirectory() { static const BenchHostDirectory dir; }

void ValidateLoop(benchmark::State& state, IKSLDataValidatorAPI& plugin, const std::vector<std::string>& blocks) {
  std::vector<char> output(64 * 1024);
  size_t i = 0;
  uint64_t accepted = 0;
  for (auto _ : state) {
    const std::string& block = blocks[i];
    i = i + 1 == blocks.size() ? 0 : i + 1;
    uint32_t length = static_cast<uint32_t>(output.size());
    uint32_t count = 0;
    accepted += plugin.Validate(reinterpret_cast<const uint8_t*>(block.data()), static_cast<uint32_t>(block.size()),
                                output.data(), &length, &count);
    benchmark::DoNotOptimize(output.data());
  }
  state.SetItemsProcessed(state.iterations());
  if (accepted != static_cast<uint64_t>(state.iterations())) state.SkipWithError("a session block was refused");
}

void BM_HeronValidate(benchmark::State& state) {
  UseBenchHostDirectory();
  CHeron heron;
  const auto messages = ContactIdMessages();
  if (messages.empty() || !heron.Open(nullptr, nullptr)) {
    state.SkipWithError("examples/contact-id-tcp or ContactID.xml is missing");
    return;
  }
  ValidateLoop(state, heron, messages);
}
BENCHMARK(BM_HeronValidate);

void BM_PloverValidate(benchmark::State& state) {
  CPlover plover;
  const auto blocks = GalaxyBlocks();
  if (blocks.empty() || !plover.Open(nullptr, nullptr)) {
    state.SkipWithError("examples/galaxy-tcp is missing");
    return;
  }
  ValidateLoop(state, plover, blocks);
}
BENCHMARK(BM_PloverValidate);

// --- end to end over TCP ---

constexpr int kSessionsPerIteration = 1000;

/// `lines` (each one block, ended as the panel ends it) sent kSessionsPerIteration times per iteration.
void EndToEnd(benchmark::State& state, const std::string& config, const std::string& plugin,
              const std::vector<std::string>& lines) {
  UseBenchHostDirectory();
  CountingHost host;
  BenchSettings settings("KestrelTcpModel");
  const uint16_t port = FreePort();
  settings.parameters = {{1, std::to_string(port)}, {2, "Custom"}, {3, config}, {4, plugin}, {5, "0"}};
  if (lines.empty()) {
    state.SkipWithError("the example session is missing");
    return;
  }
  std::string batch;
  for (int i = 0; i < kSessionsPerIteration; ++i) {
    for (const std::string& line : lines) batch += line;
  }
  const uint64_t perBatch = static_cast<uint64_t>(kSessionsPerIteration) * lines.size();
  const uint64_t expected =
      FeedTcpDriver(state, host, settings, batch, perBatch, [&] { return host.events.load() + host.data.load(); });
  state.SetItemsProcessed(static_cast<int64_t>(expected));
  state.counters["events"] = static_cast<double>(host.events.load());
}

void BM_HeronEndToEnd(benchmark::State& state) {
  std::vector<std::string> lines;
  for (const std::string& message : ContactIdMessages()) lines.push_back(message + "\r\n");
  EndToEnd(state, "examples/contact-id-tcp/contact-id.xml", "Heron", lines);
}
BENCHMARK(BM_HeronEndToEnd)->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PloverEndToEnd(benchmark::State& state) {
  std::vector<std::string> lines;
  for (const std::string& block : GalaxyBlocks()) lines.push_back(block + "\r\n");
  EndToEnd(state, "examples/galaxy-tcp/galaxy.xml", "Plover", lines);
}
BENCHMARK(BM_PloverEndToEnd)->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvane::bench
