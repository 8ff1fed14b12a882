// kestrel-soak: every model of the driver at once in one process, fed at a
// high rate while a chaos thread disturbs them; proves that what is sent while
// a channel runs arrives exactly once and in order, and that memory,
// descriptors and threads stay flat. `make soak` runs it.
//
//   kestrel-soak [SECONDS]     (default: SOAK_SECONDS, else 600)
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "host/driver_loader.h"
#include "tools/soak/chaos.h"
#include "tools/soak/lanes.h"
#include "tools/soak/process_usage.h"
#include "tools/soak/report.h"

namespace {

using namespace korvane::soak;
namespace fs = std::filesystem;

constexpr int kDefaultSeconds = 600;
// Before the first measurement every lane has run, connected and been drained.
constexpr auto kWarmUp = std::chrono::seconds(5);
// After the chaos the lanes reconnect before the last measurement.
constexpr auto kSettle = std::chrono::seconds(3);
// Allocator arenas and the driver's pools settle at a size of their own; the
// margin is well below what a leak of one buffer per message or connection makes.
constexpr UsageMargin kMargin{16 * 1024, 4, 2};
// Far above every bound a host call or act has (a stop waits 10 s at most
// for what was sent, then the driver's 5 s): beyond it the soak hangs.
constexpr auto kHangLimit = std::chrono::seconds(60);

int Seconds(int argc, char** argv) {
  const char* text = argc > 1 ? argv[1] : std::getenv("SOAK_SECONDS");
  const int seconds = text != nullptr ? std::atoi(text) : kDefaultSeconds;
  return seconds > 0 ? seconds : kDefaultSeconds;
}

// A host directory of its own holding the plug-in, its event table and the
// proxy file; the driver resolves every file name there.
bool MakeHostDirectory(const std::string& binaries, fs::path& directory) {
  std::string pattern = (fs::temp_directory_path() / "kestrel_soak_XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return false;
  directory = pattern;
  std::error_code error;
  fs::create_symlink(fs::path(binaries) / "Heron.so", directory / "Heron.so", error);
  if (!error) fs::copy_file(fs::path(binaries) / "ContactID.xml", directory / "ContactID.xml", error);
  if (error) {
    std::fprintf(stderr, "kestrel-soak: cannot prepare %s: %s\n", directory.c_str(), error.message().c_str());
    return false;
  }
  ::setenv("KESTREL_HOST_DIR", directory.c_str(), 1);
  return true;
}

Usage QuietUsage(LaneSet& lanes, std::vector<std::string>& violations) {
  if (!lanes.Quiesce()) violations.push_back("messages sent before a pause did not arrive in time");
  // Threads that ended a moment ago may still be listed.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const Usage usage = CurrentUsage();
  lanes.Resume();
  return usage;
}

// Two chaos threads, each on every other lane, so that drivers are opened,
// closed, started and stopped at the same time as the host's threads would;
// in rounds of a minute, with a progress line after each.
void RunChaosWithProgress(LaneSet& lanes, RunFigures& figures, Watchdog& watchdog) {
  constexpr int kRound = 60;
  std::vector<ChaosTarget> groups[2];
  for (size_t i = 0; i < lanes.Targets().size(); ++i) groups[i % 2].push_back(lanes.Targets()[i]);
  const auto add = [&](const std::map<std::string, std::map<Act, uint64_t>>& acts) {
    for (const auto& [lane, counts] : acts) {
      for (const auto& [act, count] : counts) figures.acts[lane][act] += count;
    }
  };
  for (int done = 0; done < figures.seconds;) {
    const int round = std::min(kRound, figures.seconds - done);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(round);
    std::map<std::string, std::map<Act, uint64_t>> second;
    std::thread other([&] { second = RunChaos(groups[1], deadline, watchdog, 1); });
    add(RunChaos(groups[0], deadline, watchdog, 0));
    other.join();
    add(second);
    done += round;
    const Usage now = CurrentUsage();
    uint64_t delivered = 0;
    for (const auto& lane : lanes.Lanes()) delivered += lane->Books().Totals().delivered;
    std::printf("soak: %4d s  %llu delivered  RSS %ld KiB  %ld descriptors  %ld threads\n", done,
                static_cast<unsigned long long>(delivered), now.rssKb, now.descriptors, now.threads);
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  RunFigures figures;
  figures.seconds = Seconds(argc, argv);
  figures.margin = kMargin;
  const std::string binaries = korvane::host::ExecutableDirectory();
  korvane::host::DriverLibrary library;
  std::string error;
  if (!library.Load(binaries + "/libKestrelDriver.so", error)) {
    std::fprintf(stderr, "kestrel-soak: %s\n", error.c_str());
    return 2;
  }
  fs::path hostDirectory;
  if (!MakeHostDirectory(binaries, hostDirectory)) return 2;

  std::vector<std::string> violations;
  {
    LaneSet lanes(library, hostDirectory);
    std::printf("soak: %zu lanes, %d s of chaos, host directory %s\n", lanes.Lanes().size(), figures.seconds,
                hostDirectory.c_str());
    std::fflush(stdout);
    Watchdog watchdog(kHangLimit, 2);
    watchdog.Beat(0, "opening and starting the lanes");
    if (!lanes.Begin()) violations.push_back("a lane did not start");
    std::this_thread::sleep_for(kWarmUp);
    watchdog.Beat(0, "the first measurement");
    figures.start = QuietUsage(lanes, violations);

    RunChaosWithProgress(lanes, figures, watchdog);

    std::this_thread::sleep_for(kSettle);
    watchdog.Beat(0, "the last measurement");
    figures.end = QuietUsage(lanes, violations);
    lanes.Quiesce();
    figures.udpKernelDrops = lanes.UdpKernelDrops();
    watchdog.Beat(0, "closing the lanes");
    lanes.End();
    watchdog.Beat(0, "the report");
    const std::vector<std::string> found = PrintReport(lanes, figures);
    violations.insert(violations.end(), found.begin(), found.end());
  }
  std::error_code ignored;
  fs::remove_all(hostDirectory, ignored);
  return violations.empty() ? 0 : 1;
}
