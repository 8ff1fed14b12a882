// RTP payloads per second from a camera on 127.0.0.1 to the host's OnData,
// through a real driver object (KestrelRtspModel, validation "None") whose
// RTSP session is set up with the test suite's scripted camera. Packets go
// out in windows that fit the receive buffer, and each window must arrive
// whole before the next: a lost packet stops the run. Besides the rate seen
// on this shared machine it reports what one core of receiving delivers, and
// the peak resident memory before and after each run, which must not grow
// with the number of packets.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_driver.h"
#include "kestrel/exports.h"
#include "tests/support/null_fakes.h"
#include "tests/support/rtsp_test_server.h"

namespace korvane::bench {
namespace {

class CountingHost final : public testing::NullHost {
 public:
  void OnData(uint8_t, ISearchData*, const char*, int32_t, const char*, int32_t, int32_t, const char*) override {
    payloads.fetch_add(1, std::memory_order_relaxed);
  }
  std::atomic<uint64_t> payloads{0};
};

// User and system time of `who` (the process or this thread), in nanoseconds.
double CpuNs(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e9 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e3;
}

// A camera's metadata document of typical size.
const std::string kPayload =
    "<tt:MetadataStream xmlns:tt=\"http://www.onvif.org/ver10/schema\"><tt:VideoAnalytics><tt:Frame "
    "UtcTime=\"2024-05-02T10:15:02.120Z\"><tt:Object ObjectId=\"17\"/></tt:Frame></tt:VideoAnalytics>"
    "</tt:MetadataStream>";
// Packets in flight at most: what the socket's receive buffer holds.
constexpr size_t kWindow = 128;

// Sends `count` packets numbered from `sequence` with one system call.
bool SendWindow(int fd, const sockaddr_in& to, uint16_t& sequence, size_t count) {
  std::vector<std::string> packets(count);
  std::vector<iovec> vectors(count);
  std::vector<mmsghdr> messages(count);
  for (size_t i = 0; i < count; ++i) {
    const uint16_t number = sequence++;
    packets[i] = {'\x80', '\x6b', static_cast<char>(number >> 8), static_cast<char>(number & 0xFF)};
    packets[i].append(8, '\x01');
    packets[i] += kPayload;
    vectors[i] = {packets[i].data(), packets[i].size()};
    messages[i] = {};
    messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
    messages[i].msg_hdr.msg_namelen = sizeof to;
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  size_t sent = 0;
  while (sent < count) {
    const int n = ::sendmmsg(fd, messages.data() + sent, static_cast<unsigned>(count - sent), 0);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

void BM_RtspPayloadsToHost(benchmark::State& state) {
  const long rssBefore = PeakRssKb();
  testing::FakeCamera camera({});
  testing::RtspTestServer server(camera.Handler());
  if (!server.Start()) {
    state.SkipWithError("camera did not start");
    return;
  }
  CountingHost host;
  BenchSettings settings("KestrelRtspModel");
  settings.parameters = {{1, "127.0.0.1"}, {2, std::to_string(server.Port())}, {5, "None"}, {8, "metadata"}};
  IDataAPIEx* driver = CreateDriver();
  if (driver == nullptr || !driver->OpenEx(&host, &settings) || !driver->StartChannel(0, 0)) {
    state.SkipWithError("driver did not open");
    if (driver != nullptr) ReleaseDriver(&driver);
    return;
  }
  // The first pass of the channel sets the session up after about a second.
  if (!server.WaitForRequests("PLAY", 1, std::chrono::seconds(5))) {
    state.SkipWithError("no session");
    ReleaseDriver(&driver);
    return;
  }
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(camera.RtpPort());

  uint16_t sequence = 0;
  uint64_t expected = 0;
  // The other threads (the channel's, the camera's) are idle but for the RTP
  // receive thread: their time is what the receiving side costs.
  const double othersBefore = CpuNs(RUSAGE_SELF) - CpuNs(RUSAGE_THREAD);
  for (auto _ : state) {
    if (!SendWindow(fd, to, sequence, kWindow)) {
      state.SkipWithError("send failed");
      break;
    }
    expected += kWindow;
    if (!WaitForCount(host.payloads, expected, std::chrono::seconds(5))) {
      state.SkipWithError("payloads were lost");
      break;
    }
  }
  const double receiveNs = CpuNs(RUSAGE_SELF) - CpuNs(RUSAGE_THREAD) - othersBefore;
  ::close(fd);
  driver->StopChannel(0);
  driver->Close();
  ReleaseDriver(&driver);
  state.SetItemsProcessed(static_cast<int64_t>(expected));
  state.counters["payloads"] = static_cast<double>(expected);
  // Payloads one core delivers per second of the receiving side's CPU time.
  if (receiveNs > 0) state.counters["payloads_per_core_second"] = static_cast<double>(expected) * 1e9 / receiveNs;
  state.counters["peak_rss_before_kb"] = static_cast<double>(rssBefore);
  state.counters["peak_rss_after_kb"] = static_cast<double>(PeakRssKb());
}
// About 100 000, 1 000 000 and 5 000 000 payloads.
BENCHMARK(BM_RtspPayloadsToHost)->Iterations(800)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RtspPayloadsToHost)->Iterations(8000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RtspPayloadsToHost)->Iterations(40000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace korvane::bench
