#include "host/commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "host/driver_session.h"
#include "host/json_writer.h"
#include "host/signal_watcher.h"

namespace korvane::host {
namespace {

// The library has no export that lists its models; these are the ones a
// Kestrel driver can know, in its registry order.
constexpr const char* kKnownModels[] = {
    "KestrelRtspModel",      "KestrelHttpModel",  "KestrelHttpServerModel",
    "KestrelSerialModel",    "KestrelUdpModel",   "KestrelTcpModel",
    "KestrelTcpClientModel", "KestrelProxyModel", "KestrelIntrepidProxyModel",
};

constexpr int32_t kMaxParameters = 1000;
constexpr int32_t kMaxChoices = 1000;
constexpr int32_t kChoiceType = 5;
// About 31 years: long enough to mean "until stopped", short enough for the clock's range.
constexpr double kMaxSeconds = 1e9;

bool ModelKnown(const DriverLibrary& library, const char* model) {
  ParameterInfo info{};
  return library.getParameterType(model, 1, &info) != 0;
}

}  // namespace

int ListModels(const DriverLibrary& library, LineOutput& output) {
  for (const char* model : kKnownModels) {
    if (ModelKnown(library, model)) output.Write(model);
  }
  return kExitOk;
}

int ListParameters(const DriverLibrary& library, const std::string& model, LineOutput& output) {
  if (!ModelKnown(library, model.c_str())) {
    std::fprintf(stderr, "kestrel-host: unknown model '%s'\n", model.c_str());
    return kExitFailure;
  }
  for (int32_t number = 1; number <= kMaxParameters; ++number) {
    ParameterInfo info{};
    if (library.getParameterType(model.c_str(), number, &info) == 0) break;
    info.label[sizeof info.label - 1] = '\0';
    info.defaultValue[sizeof info.defaultValue - 1] = '\0';
    std::vector<std::string> choices;
    if (info.type == kChoiceType) {
      for (int32_t choice = 1; choice <= kMaxChoices; ++choice) {
        char text[256] = {};
        if (library.getParameterValue(model.c_str(), number, choice, text) == 0) break;
        text[sizeof text - 1] = '\0';
        choices.emplace_back(text);
      }
    }
    JsonObject line;
    line.AddInt("number", number).AddText("label", info.label).AddInt("type", info.type).AddInt("flag", info.flag);
    line.AddText("default", info.defaultValue).AddTextArray("choices", choices);
    output.Write(line.str());
  }
  return kExitOk;
}

int RunModel(const DriverLibrary& library, const Options& options, LineOutput& output, OutputFormat& format,
             CallbackMonitor& monitor) {
  HostSettings settings(options.model, ParameterValues(library, options.model, options.parameters));
  HostCallback callback(output, format, monitor);
  SignalWatcher watcher([&monitor](int) { monitor.Interrupt(); });
  DriverSession session(library, output, format);
  if (const int status = session.Begin(callback, settings, options.plainOpen); status != kExitOk) return status;
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (options.seconds) {
    const std::chrono::duration<double> seconds(std::min(*options.seconds, kMaxSeconds));
    deadline =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(seconds);
  }
  monitor.WaitUntil([](const CallbackCounts&) { return false; }, deadline);
  session.Shutdown(true);
  return kExitOk;
}

}  // namespace korvane::host
