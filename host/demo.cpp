#include "host/demo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "host/commands.h"
#include "host/driver_session.h"
#include "host/signal_watcher.h"

namespace korvane::host {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kConfiguration = "examples/pos-tcp/pos.xml";
constexpr const char* kJournal = "examples/pos-tcp/journal.txt";
constexpr int kEndSeconds = 1;
constexpr milliseconds kConnectTime{3000};
constexpr milliseconds kLinePause{40};
// Time for the last lines to pass through the driver before counting events.
constexpr milliseconds kSettleTime{300};
// Beyond the End delay, how long to wait for the last End events.
constexpr milliseconds kEndGrace{3000};

std::string ErrnoText() { return std::strerror(errno); }

// A port the TCP model can listen on: bind port 0 on the loopback and read it back.
uint16_t FindFreePort(std::string& error) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = ErrnoText();
    return 0;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  } else {
    error = ErrnoText();
  }
  close(fd);
  return port;
}

std::vector<std::string> ReadJournal(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// Plays the journal as a terminal would: connect, then one CR LF line at a time.
class JournalPlayer {
 public:
  /// Starts playing at once; reports its end through `monitor`.
  JournalPlayer(uint16_t port, std::vector<std::string> lines, CallbackMonitor& monitor)
      : port_(port), lines_(std::move(lines)), monitor_(monitor), thread_([this] { Play(); }) {}
  ~JournalPlayer() {
    Cancel();
    if (thread_.joinable()) thread_.join();
  }

  void Cancel() { cancelled_ = true; }
  bool Done() const { return done_; }
  /// Waits for the player to finish; empty when every line was sent, else what went wrong.
  std::string Finish() {
    if (thread_.joinable()) thread_.join();
    return error_;
  }

 private:
  void Pause(milliseconds time) const {
    const auto until = Clock::now() + time;
    while (!cancelled_ && Clock::now() < until) std::this_thread::sleep_for(milliseconds(10));
  }

  int Connect() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The channel starts listening on its own thread; retry until it does.
    const auto deadline = Clock::now() + kConnectTime;
    while (!cancelled_) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) {
        error_ = "socket: " + ErrnoText();
        return -1;
      }
      if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
      const std::string reason = ErrnoText();
      close(fd);
      if (Clock::now() >= deadline) {
        error_ = "could not connect to 127.0.0.1:" + std::to_string(port_) + ": " + reason;
        return -1;
      }
      Pause(milliseconds(50));
    }
    error_ = "cancelled";
    return -1;
  }

  void Play() {
    PlayLines();
    done_ = true;
    monitor_.Update([](CallbackCounts&) {});
  }

  void PlayLines() {
    const int fd = Connect();
    if (fd < 0) return;
    for (const std::string& line : lines_) {
      if (cancelled_) {
        error_ = "cancelled";
        break;
      }
      const std::string bytes = line + "\r\n";
      if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
        error_ = "sending to the TCP channel failed: " + ErrnoText();
        break;
      }
      Pause(kLinePause);
    }
    close(fd);
  }

  uint16_t port_;
  std::vector<std::string> lines_;
  CallbackMonitor& monitor_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> done_{false};
  std::string error_;
  std::thread thread_;
};

std::string LastLog(const CallbackMonitor& monitor) {
  const std::string last = monitor.Snapshot().lastLog;
  return last.empty() ? "(the driver logged nothing)" : last;
}

}  // namespace

int RunDemo(const DriverLibrary& library, const std::string& hostDirectory, LineOutput& output, OutputFormat& format,
            CallbackMonitor& monitor) {
  const std::filesystem::path home(hostDirectory);
  for (const char* file : {kConfiguration, kJournal}) {
    if (!std::filesystem::is_regular_file(home / file)) {
      std::fprintf(stderr, "demo: %s is missing (the build copies examples/ next to kestrel-host)\n",
                   (home / file).c_str());
      return kExitFailure;
    }
  }
  const std::vector<std::string> journal = ReadJournal(home / kJournal);
  std::string error;
  const uint16_t port = FindFreePort(error);
  if (port == 0) {
    std::fprintf(stderr, "demo: no free local TCP port: %s\n", error.c_str());
    return kExitFailure;
  }

  HostSettings settings(
      "KestrelTcpModel",
      {{1, std::to_string(port)}, {2, "Text"}, {3, kConfiguration}, {4, ""}, {5, std::to_string(kEndSeconds)}});
  HostCallback callback(output, format, monitor);
  SignalWatcher watcher([&monitor](int) { monitor.Interrupt(); });
  DriverSession session(library, output, format);
  if (!session.Create()) {
    std::fprintf(stderr, "demo: the driver library gave no driver object\n");
    return kExitFailure;
  }
  if (!session.Open(callback, settings, false)) {
    session.Shutdown(false);
    std::fprintf(stderr, "demo: the driver could not open the TCP model: %s\n", LastLog(monitor).c_str());
    return kExitOpenFailed;
  }
  if (!session.Start()) {
    session.Shutdown(true);
    std::fprintf(stderr, "demo: the TCP channel did not start: %s\n", LastLog(monitor).c_str());
    return kExitOpenFailed;
  }

  JournalPlayer player(port, journal, monitor);
  // The player's own waits are bounded; a stop signal cuts them short.
  if (!monitor.WaitUntil([&](const CallbackCounts&) { return player.Done(); }, std::nullopt)) player.Cancel();
  error = player.Finish();
  if (monitor.Interrupted()) {
    session.Shutdown(true);
    return kExitOk;
  }
  if (!error.empty()) {
    session.Shutdown(true);
    std::fprintf(stderr, "demo: %s; last log line: %s\n", error.c_str(), LastLog(monitor).c_str());
    return kExitOpenFailed;
  }

  // Every event is followed by its "End of" event kEndSeconds later.
  const auto settled = Clock::now() + kSettleTime;
  const bool complete = monitor.WaitUntil(
      [&](const CallbackCounts& counts) {
        return counts.events > 0 && counts.endEvents >= counts.events && Clock::now() >= settled;
      },
      Clock::now() + std::chrono::seconds(kEndSeconds) + kEndGrace);
  const CallbackCounts counts = monitor.Snapshot();
  session.Shutdown(true);
  if (complete || monitor.Interrupted()) return kExitOk;
  if (counts.events == 0) {
    std::fprintf(stderr, "demo: the journal produced no events; check the rules in %s (last log line: %s)\n",
                 kConfiguration, counts.lastLog.empty() ? "none" : counts.lastLog.c_str());
  } else {
    std::fprintf(stderr, "demo: %zu of %zu End events arrived in time\n", counts.endEvents, counts.events);
  }
  return kExitFailure;
}

}  // namespace korvane::host
