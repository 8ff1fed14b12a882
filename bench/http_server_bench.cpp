// Small POST requests per second from wrk (Debian's HTTP load generator) to
// the HTTP server model on 127.0.0.1, through a real driver object (validation
// "None", body delivered, "200 OK" answered) and an in-process host: on one
// keep-alive connection (one request at a time, and 16 pipelined), and with a
// new connection for every request. Each run also checks that every request
// wrk completed reached the host, and reports the process's CPU time per
// request (the driver's share: wrk runs in its own process).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>

#include "bench/bench_driver.h"
#include "kestrel/exports.h"
#include "tests/support/null_fakes.h"

namespace korvane::bench {
namespace {

class CountingHost final : public testing::NullHost {
 public:
  void OnData(uint8_t, ISearchData*, const char*, int32_t, const char*, int32_t, int32_t, const char*) override {
    messages.fetch_add(1, std::memory_order_relaxed);
  }
  std::atomic<uint64_t> messages{0};
};

// The host directory holds the configuration (body delivered, empty "200 OK"
// answer) and wrk's request script.
std::filesystem::path BenchDirectory() {
  static const std::filesystem::path dir = [] {
    const auto path = std::filesystem::temp_directory_path() / ("kestrel_http_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    std::ofstream(path / "http_bench.xml") << "<root><Additional><HTTPServer processingType=\"Content\">"
                                              "<Response send=\"yes\"></Response></HTTPServer></Additional></root>";
    const std::string post =
        "wrk.method = \"POST\"\n"
        "wrk.body = \"zone=3&event=alarm&time=20240101T120000\"\n"
        "wrk.headers[\"Content-Type\"] = \"application/x-www-form-urlencoded\"\n";
    std::ofstream(path / "post.lua") << post;
    // wrk counts each answer; a request string of 16 requests keeps 16 in flight.
    std::ofstream(path / "pipeline.lua") << post
                                         << "init = function(args)\n"
                                            "  local r = {}\n"
                                            "  for i = 1, 16 do r[i] = wrk.format(nil, \"/alarm\") end\n"
                                            "  req = table.concat(r)\n"
                                            "end\n"
                                            "request = function() return req end\n";
    ::setenv("KESTREL_HOST_DIR", path.c_str(), 1);
    return path;
  }();
  return dir;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct WrkResult {
  bool ran = false;
  double requests = 0;
  double perSecond = 0;
  double errors = 0;
  std::string output;
};

enum Mode { kKeepAlive = 0, kNewConnections = 1, kPipelined = 2 };

WrkResult RunWrk(uint16_t port, Mode mode, int seconds) {
  WrkResult result;
  const char* script = mode == kPipelined ? "pipeline.lua" : "post.lua";
  std::string command = "wrk -t1 -c1 -d" + std::to_string(seconds) + "s -s " + (BenchDirectory() / script).string();
  if (mode == kNewConnections) command += " -H 'Connection: close'";
  command += " http://127.0.0.1:" + std::to_string(port) + "/alarm 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) result.output.append(buffer, n);
  result.ran = ::pclose(pipe) == 0;
  std::smatch match;
  if (std::regex_search(result.output, match, std::regex(R"((\d+) requests in)"))) {
    result.requests = std::stod(match[1]);
  }
  if (std::regex_search(result.output, match, std::regex(R"(Requests/sec:\s+([\d.]+))"))) {
    result.perSecond = std::stod(match[1]);
  }
  const std::regex errors(R"((connect|read|write|timeout) (\d+))");
  for (auto it = std::sregex_iterator(result.output.begin(), result.output.end(), errors); it != std::sregex_iterator();
       ++it) {
    result.errors += std::stod((*it)[2]);
  }
  return result;
}

void BM_HttpServerPosts(benchmark::State& state) {
  if (std::system("command -v wrk >/dev/null 2>&1") != 0) {
    state.SkipWithError("wrk is not installed (scripts/setup.sh installs it)");
    return;
  }
  const auto mode = static_cast<Mode>(state.range(0));
  CountingHost host;
  BenchSettings settings("KestrelHttpServerModel");
  BenchDirectory();
  const uint16_t port = FreePort();
  settings.parameters = {{1, std::to_string(port)}, {2, "None"}, {3, "http_bench.xml"}, {4, ""}, {5, "0"}};
  IDataAPIEx* driver = CreateDriver();
  if (driver == nullptr || !driver->OpenEx(&host, &settings) || !driver->StartChannel(0, 0)) {
    state.SkipWithError("driver did not open");
    if (driver != nullptr) ReleaseDriver(&driver);
    return;
  }
  double requests = 0;
  double perSecond = 0;
  double errors = 0;
  const double cpuBefore = CpuSeconds();
  for (auto _ : state) {
    const WrkResult wrk = RunWrk(port, mode, 5);
    if (!wrk.ran || wrk.requests == 0) {
      state.SkipWithError(("wrk failed: " + wrk.output).c_str());
      break;
    }
    requests += wrk.requests;
    perSecond = wrk.perSecond;
    errors += wrk.errors;
  }
  // Deliveries run before wrk sees the answer of the next request; give the last ones a moment.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (host.messages.load() < requests && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const double cpu = CpuSeconds() - cpuBefore;
  driver->StopChannel(0);
  driver->Close();
  ReleaseDriver(&driver);
  state.counters["cpu_us_per_request"] = requests > 0 ? cpu * 1e6 / requests : 0;
  state.counters["wrk_requests"] = requests;
  state.counters["requests_per_s"] = perSecond;
  state.counters["delivered"] = static_cast<double>(host.messages.load());
  state.counters["undelivered"] =
      requests > static_cast<double>(host.messages.load()) ? requests - static_cast<double>(host.messages.load()) : 0;
  state.counters["wrk_socket_errors"] = errors;
}
// Argument 0: one keep-alive connection; 1: a new connection per request; 2: keep-alive, 16 pipelined.
BENCHMARK(BM_HttpServerPosts)->Arg(0)->Arg(1)->Arg(2)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace korvane::bench
