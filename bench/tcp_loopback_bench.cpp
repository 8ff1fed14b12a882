// Lines per second from a TCP peer on 127.0.0.1 to the host's OnData, through
// a real driver object (KestrelTcpModel, validation "None") and an in-process
// host, plus the peak resident memory before and after each run: it must not
// grow with the number of lines.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
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
    lines.fetch_add(1, std::memory_order_relaxed);
  }
  std::atomic<uint64_t> lines{0};
};

constexpr int kLinesPerIteration = 10000;

// The configuration file sets the line feed CR LF; it lives in a host
// directory of its own (KESTREL_HOST_DIR).
std::string WriteConfiguration() {
  static const std::string name = [] {
    const auto dir = std::filesystem::temp_directory_path() / ("kestrel_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "tcp_bench.xml") << "<root><channelConfig><linefeed value=\"0x0d0a\"/></channelConfig></root>";
    ::setenv("KESTREL_HOST_DIR", dir.c_str(), 1);
    return std::string("tcp_bench.xml");
  }();
  return name;
}

void BM_TcpLoopbackLines(benchmark::State& state) {
  const long rssBefore = PeakRssKb();
  CountingHost host;
  BenchSettings settings("KestrelTcpModel");
  const uint16_t port = FreePort();
  settings.parameters = {{1, std::to_string(port)}, {2, "None"}, {3, WriteConfiguration()}, {4, ""}, {5, "0"}};
  const std::string line = std::string(78, 'x').replace(0, 20, "0123456789 RECEIPT  ") + "\r\n";
  std::string batch;
  for (int i = 0; i < kLinesPerIteration; ++i) batch += line;
  const uint64_t expected =
      FeedTcpDriver(state, host, settings, batch, kLinesPerIteration, [&] { return host.lines.load(); });
  state.SetItemsProcessed(static_cast<int64_t>(expected));
  state.SetBytesProcessed(static_cast<int64_t>(expected * line.size()));
  state.counters["lines"] = static_cast<double>(expected);
  state.counters["peak_rss_before_kb"] = static_cast<double>(rssBefore);
  state.counters["peak_rss_after_kb"] = static_cast<double>(PeakRssKb());
}
// 100 000, 5 000 000 and 10 000 000 lines: the peak RSS must not follow the number of lines.
BENCHMARK(BM_TcpLoopbackLines)->Iterations(10)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpLoopbackLines)->Iterations(500)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpLoopbackLines)->Iterations(1000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvane::bench
