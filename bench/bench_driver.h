// Shared by the benchmarks that run a whole driver object: the host's
// settings for one model, a free port on 127.0.0.1, a connection made once
// the driver listens, a sender that never leaves bytes behind, and bounded
// waits on the host's counters.
#pragma once

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>

#include "kestrel/data_callback.h"
#include "kestrel/driver_settings.h"
#include "kestrel/exports.h"

namespace korvane::bench {

/// The numbered parameters a host hands the driver, for one model.
class BenchSettings final : public IDriverSettings {
 public:
  explicit BenchSettings(std::string model) : model_(std::move(model)) {}
  const char* GetParameter(int32_t index) override {
    const auto found = parameters.find(index);
    return found == parameters.end() ? nullptr : found->second.c_str();
  }
  const char* GetModel() override { return model_.c_str(); }
  std::map<int32_t, std::string> parameters;

 private:
  std::string model_;
};

/// Peak resident memory of the process so far, in KiB.
inline long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

/// A TCP port on 127.0.0.1 that was free a moment ago.
inline uint16_t FreePort() {
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

/// The driver listens once its worker has run; connects until it answers or
/// `limit` has passed (then -1).
inline int ConnectWithin(uint16_t port, std::chrono::milliseconds limit) {
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

/// Sends everything, reading whatever the driver answers meanwhile (a plug-in's
/// acknowledgements) so neither side stalls.
inline bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  char answers[4096];
  while (sent < bytes.size()) {
    while (::recv(fd, answers, sizeof answers, MSG_DONTWAIT) > 0) {
    }
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

/// Waits until `reached()` holds, at most `limit`.
template <typename Reached>
bool WaitUntil(Reached reached, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!reached()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

/// Waits until `counter` has reached `expected`, at most `limit`.
inline bool WaitForCount(const std::atomic<uint64_t>& counter, uint64_t expected, std::chrono::milliseconds limit) {
  return WaitUntil([&] { return counter.load(std::memory_order_relaxed) >= expected; }, limit);
}

/// Opens a TCP-server driver object for `host` with `settings` (parameter 1
/// is the port), connects to it and sends `batch` once per iteration, waiting
/// until `delivered()` has grown by `perBatch`; then closes everything.
/// Returns how many reports were expected (the state says what went wrong).
inline uint64_t FeedTcpDriver(benchmark::State& state, IDataCallbackEx& host, BenchSettings& settings,
                              const std::string& batch, uint64_t perBatch, const std::function<uint64_t()>& delivered) {
  const auto port = static_cast<uint16_t>(std::stoi(settings.parameters.at(1)));
  IDataAPIEx* driver = CreateDriver();
  if (driver == nullptr || !driver->OpenEx(&host, &settings) || !driver->StartChannel(0, 0)) {
    state.SkipWithError("driver did not open");
    if (driver != nullptr) ReleaseDriver(&driver);
    return 0;
  }
  const int fd = ConnectWithin(port, std::chrono::seconds(5));
  if (fd < 0) {
    state.SkipWithError("driver does not listen");
    ReleaseDriver(&driver);
    return 0;
  }
  uint64_t expected = 0;
  for (auto _ : state) {
    if (!SendAll(fd, batch)) {
      state.SkipWithError("send failed");
      break;
    }
    expected += perBatch;
    if (!WaitUntil([&] { return delivered() >= expected; }, std::chrono::seconds(10))) {
      state.SkipWithError("reports did not arrive");
      break;
    }
  }
  ::close(fd);
  driver->StopChannel(0);
  driver->Close();
  ReleaseDriver(&driver);
  return expected;
}

}  // namespace korvane::bench
