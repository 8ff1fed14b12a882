#include "host/replay.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "host/commands.h"
#include "host/driver_session.h"
#include "host/replay_devices.h"
#include "host/signal_watcher.h"

namespace korvane::host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxCapture = size_t{1} << 30;
constexpr size_t kMaxRecord = size_t{16} << 20;
constexpr size_t kStreamBlock = 4096;
// After the last block: wait until the driver has been quiet this long, at most kMaxDrain.
constexpr auto kQuiet = std::chrono::milliseconds(500);
constexpr auto kMaxDrain = std::chrono::seconds(10);
constexpr auto kProgressEvery = std::chrono::seconds(1);

bool ParsePackets(const std::string& bytes, std::vector<std::string>& records) {
  records.clear();
  for (size_t pos = 0; pos < bytes.size();) {
    if (bytes.size() - pos < 4) return false;
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[pos + i])) << (8 * i);
    pos += 4;
    if (length == 0 || length > kMaxRecord || length > bytes.size() - pos) return false;
    records.emplace_back(bytes, pos, length);
    pos += length;
  }
  return true;
}

void SplitRaw(const std::string& bytes, bool lines, std::vector<std::string>& blocks) {
  blocks.clear();
  for (size_t pos = 0; pos < bytes.size();) {
    size_t end = std::min(bytes.size(), pos + kStreamBlock);
    if (lines) {
      const size_t feed = bytes.find('\n', pos);
      end = feed == std::string::npos ? bytes.size() : feed + 1;
    }
    blocks.emplace_back(bytes, pos, end - pos);
    pos = end;
  }
}

// The device of a model, on the port its parameters name.
std::unique_ptr<ReplayDevice> DeviceFor(const std::string& model, const std::map<int32_t, std::string>& values,
                                        std::string& error) {
  const auto port = [&](int32_t number) -> uint16_t {
    const auto found = values.find(number);
    const long value = found != values.end() ? std::strtol(found->second.c_str(), nullptr, 10) : 0;
    return value > 0 && value <= 65535 ? static_cast<uint16_t>(value) : 0;
  };
  std::unique_ptr<ReplayDevice> device;
  uint16_t number = 0;
  if (model == "KestrelTcpModel") {
    device = MakeTcpDevice(number = port(1));
  } else if (model == "KestrelUdpModel") {
    device = MakeUdpDevice(number = port(1));
  } else if (model == "KestrelHttpServerModel") {
    device = MakeHttpPostDevice(number = port(1));
  } else if (model == "KestrelTcpClientModel") {
    const auto address = values.find(1);
    if (address == values.end() || (address->second != "127.0.0.1" && address->second != "localhost")) {
      error = "the TCP client model must connect to 127.0.0.1 (parameter 1) for a replay";
      return nullptr;
    }
    device = MakeTcpListeningDevice(number = port(2));
  } else if (model == "KestrelSerialModel") {
    return MakeSerialDevice();
  } else {
    error = "replay plays TCP, TCP client, UDP, HTTP server and serial models, not " + model;
    return nullptr;
  }
  if (number == 0) {
    error = "the model's port parameter holds no port from 1 to 65535";
    return nullptr;
  }
  return device;
}

// Progress on standard error, at most once a second and once at the end.
class Progress {
 public:
  explicit Progress(size_t total) : total_(total) {}
  void Sent(size_t bytes, bool last) {
    ++blocks_;
    bytes_ += bytes;
    const auto now = Clock::now();
    if (!last && now < next_) return;
    next_ = now + kProgressEvery;
    std::fprintf(stderr, "replay: %zu/%zu blocks, %zu bytes sent\n", blocks_, total_, bytes_);
  }

 private:
  size_t total_;
  size_t blocks_ = 0;
  size_t bytes_ = 0;
  Clock::time_point next_ = Clock::now() + kProgressEvery;
};

size_t Reported(const CallbackCounts& counts) {
  return counts.data + counts.events + counts.endEvents + counts.metadata + counts.logs;
}

}  // namespace

bool ReadCapture(const std::string& path, CaptureKind kind, bool lines, std::vector<std::string>& blocks,
                 std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot open " + path;
    return false;
  }
  std::string bytes;
  char buffer[65536];
  while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
    bytes.append(buffer, static_cast<size_t>(file.gcount()));
    if (bytes.size() > kMaxCapture) {
      error = path + " is larger than 1 GiB";
      return false;
    }
  }
  if (bytes.empty()) {
    error = path + " is empty";
    return false;
  }
  const bool named = path.size() >= 4 && path.compare(path.size() - 4, 4, ".bin") == 0;
  if (kind == CaptureKind::kPackets || (kind == CaptureKind::kAuto && named)) {
    if (ParsePackets(bytes, blocks)) return true;
    if (kind == CaptureKind::kPackets) {
      error = path + " is not a packet dump: its length-prefixed records do not fill it exactly";
      return false;
    }
  }
  SplitRaw(bytes, lines, blocks);
  return true;
}

int ReplayCapture(const DriverLibrary& library, const Options& options, LineOutput& output, OutputFormat& format,
                  CallbackMonitor& monitor) {
  std::map<int32_t, std::string> values = ParameterValues(library, options.model, options.parameters);
  if (values.empty()) {
    std::fprintf(stderr, "kestrel-host: unknown model '%s'\n", options.model.c_str());
    return kExitFailure;
  }
  std::string error;
  std::unique_ptr<ReplayDevice> device = DeviceFor(options.model, values, error);
  std::vector<std::string> blocks;
  if (device == nullptr || !ReadCapture(options.captureFile, options.capture, device->SendsLines(), blocks, error) ||
      !device->Prepare(error)) {
    std::fprintf(stderr, "replay: %s\n", error.c_str());
    return kExitFailure;
  }

  HostSettings settings(options.model, std::move(values));
  HostCallback callback(output, format, monitor);
  SignalWatcher watcher([&monitor](int) { monitor.Interrupt(); });
  DriverSession session(library, output, format);
  if (const int status = session.Begin(callback, settings, false); status != kExitOk) return status;
  if (!device->Connect(error)) {
    std::fprintf(stderr, "replay: %s\n", error.c_str());
    session.Shutdown(true);
    return kExitOpenFailed;
  }

  Progress progress(blocks.size());
  const auto pause = std::chrono::duration<double, std::milli>(options.intervalMs);
  for (size_t i = 0; i < blocks.size() && !monitor.Interrupted(); ++i) {
    if (i > 0 && options.intervalMs > 0) {
      const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(pause);
      monitor.WaitUntil([](const CallbackCounts&) { return false; }, until);
    }
    if (!device->Send(blocks[i], error)) {
      std::fprintf(stderr, "replay: block %zu of %zu: %s\n", i + 1, blocks.size(), error.c_str());
      session.Shutdown(true);
      return kExitOpenFailed;
    }
    progress.Sent(blocks[i].size(), i + 1 == blocks.size());
  }

  if (options.seconds) {
    // Kept running as asked, for End events and late answers.
    const std::chrono::duration<double> linger(std::min(*options.seconds, 1e9));
    monitor.WaitUntil([](const CallbackCounts&) { return false; },
                      Clock::now() + std::chrono::duration_cast<Clock::duration>(linger));
  } else {
    // Let the driver finish what it received: stop once nothing new arrived for a moment.
    const auto drainEnd = Clock::now() + kMaxDrain;
    for (size_t seen = Reported(monitor.Snapshot()); Clock::now() < drainEnd && !monitor.Interrupted();) {
      monitor.WaitUntil([seen](const CallbackCounts& counts) { return Reported(counts) != seen; },
                        std::min(drainEnd, Clock::now() + kQuiet));
      const size_t now = Reported(monitor.Snapshot());
      if (now == seen) break;
      seen = now;
    }
  }
  session.Shutdown(true);
  return kExitOk;
}

}  // namespace korvane::host
