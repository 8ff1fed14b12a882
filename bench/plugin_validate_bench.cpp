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
    for (const char* name : {"Heron.so", "Plover.so"}) {
      fs::create_symlink(fs::path(KESTREL_PLUGIN_DIR) / name, dir_ / name);
    }
    fs::create_symlink(Repository() / "plugins/heron/ContactID.xml", dir_ / "ContactID.xml");
    fs::create_symlink(Repository() / "examples", dir_ / "examples");
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

class Settings final : public IDriverSettings {
 public:
  const char* GetParameter(int32_t index) override {
    const auto found = parameters.find(index);
    return found == parameters.end() ? nullptr : found->second.c_str();
  }
  const char* GetModel() override { return "KestrelTcpModel"; }
  std::map<int32_t, std::string> parameters;
};

uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// The driver listens once its worker has run; connect until it answers.
int ConnectWithin(uint16_t port, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

/// Sends everything, reading the driver's acknowledgements meanwhile so neither side stalls.
bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  char acks[4096];
  while (sent < bytes.size()) {
    while (::recv(fd, acks, sizeof acks, MSG_DONTWAIT) > 0) {
    }
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool WaitForReports(const CountingHost& host, uint64_t expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (host.events.load(std::memory_order_relaxed) + host.data.load(std::memory_order_relaxed) < expected) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

constexpr int kSessionsPerIteration = 1000;

/// `lines` (each one block, ended as the panel ends it) sent kSessionsPerIteration times per iteration.
void EndToEnd(benchmark::State& state, const std::string& config, const std::string& plugin,
              const std::vector<std::string>& lines) {
  UseBenchHostDirectory();
  CountingHost host;
  Settings settings;
  const uint16_t port = FreePort();
  settings.parameters = {{1, std::to_string(port)}, {2, "Custom"}, {3, config}, {4, plugin}, {5, "0"}};
  IDataAPIEx* driver = CreateDriver();
  if (lines.empty() || driver == nullptr || !driver->OpenEx(&host, &settings) || !driver->StartChannel(0, 0)) {
    state.SkipWithError("driver did not open");
    if (driver != nullptr) ReleaseDriver(&driver);
    return;
  }
  const int fd = ConnectWithin(port, std::chrono::seconds(5));
  if (fd < 0) {
    state.SkipWithError("driver does not listen");
    ReleaseDriver(&driver);
    return;
  }
  std::string batch;
  for (int i = 0; i < kSessionsPerIteration; ++i) {
    for (const std::string& line : lines) batch += line;
  }
  const uint64_t perBatch = static_cast<uint64_t>(kSessionsPerIteration) * lines.size();
  uint64_t expected = 0;
  for (auto _ : state) {
    if (!SendAll(fd, batch)) {
      state.SkipWithError("send failed");
      break;
    }
    expected += perBatch;
    if (!WaitForReports(host, expected)) {
      state.SkipWithError("reports did not arrive");
      break;
    }
  }
  ::close(fd);
  driver->StopChannel(0);
  driver->Close();
  ReleaseDriver(&driver);
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
