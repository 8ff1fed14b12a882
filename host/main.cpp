// kestrel-host: the reference recording host. Loads the Kestrel driver library
// with dlopen and prints everything it reports as JSON lines or aligned text.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "host/check.h"
#include "host/commands.h"
#include "host/demo.h"
#include "host/driver_loader.h"
#include "host/host_callback.h"
#include "host/options.h"
#include "host/replay.h"
#include "host/signal_watcher.h"

namespace {

using namespace korvane::host;

int UsageError(const std::string& message) {
  std::fprintf(stderr, "kestrel-host: %s\nTry 'kestrel-host --help'.\n", message.c_str());
  return kExitFailure;
}

int Main(const std::vector<std::string>& args) {
  std::string error;
  const std::optional<Options> options = ParseOptions(args, error);
  if (!options) return UsageError(error);
  if (options->command == Command::kHelp) {
    std::fputs(UsageText(options->helpTopic).c_str(), stdout);
    return kExitOk;
  }

  const std::string exeDirectory = ExecutableDirectory();
  // The driver resolves configuration files, plug-ins and debug files against
  // the host directory; without --home that is the directory of this program.
  std::string hostDirectory = exeDirectory;
  if (!options->home.empty()) {
    std::error_code ec;
    const std::filesystem::path home = std::filesystem::absolute(options->home, ec);
    if (ec || !std::filesystem::is_directory(home, ec)) {
      return UsageError("--home " + options->home + " is not a directory");
    }
    hostDirectory = home.string();
    setenv("KESTREL_HOST_DIR", hostDirectory.c_str(), 1);
  } else {
    unsetenv("KESTREL_HOST_DIR");
  }

  const bool longRunning =
      options->command == Command::kRun || options->command == Command::kDemo || options->command == Command::kReplay;
  // Before the driver exists, so that its threads inherit the blocked signals.
  if (longRunning) BlockStopSignals();

  const std::string driverPath =
      options->driverPath.empty() ? exeDirectory + "/libKestrelDriver.so" : options->driverPath;
  DriverLibrary library;
  if (!library.Load(driverPath, error)) {
    std::fprintf(stderr, "kestrel-host: cannot load the driver library: %s\n", error.c_str());
    return kExitFailure;
  }

  LineOutput output(stdout);
  const std::unique_ptr<OutputFormat> format = MakeOutputFormat(options->format);
  CallbackMonitor monitor;
  // When the reader of our output goes away, stop as on a signal.
  output.OnFailure([&monitor] { monitor.Interrupt(); });
  switch (options->command) {
    case Command::kModels:
      return ListModels(library, output);
    case Command::kParams:
      return ListParameters(library, options->model, output);
    case Command::kRun:
      return RunModel(library, *options, output, *format, monitor);
    case Command::kReplay:
      return ReplayCapture(library, *options, output, *format, monitor);
    case Command::kCheck:
      return CheckModel(library, *options, hostDirectory, output);
    case Command::kDemo:
      return RunDemo(library, hostDirectory, output, *format, monitor);
    default:
      return UsageError("no command given");
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestrel-host: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "kestrel-host: unexpected failure\n");
  }
  return kExitFailure;
}
