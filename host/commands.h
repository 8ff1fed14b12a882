// The commands of kestrel-host. Each returns the process exit status.
#pragma once

#include "host/driver_loader.h"
#include "host/host_callback.h"
#include "host/options.h"

namespace korvane::host {

/// Exit statuses shared by the commands.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;     ///< bad command line, unknown model, library or files missing, demo incomplete
constexpr int kExitOpenFailed = 2;  ///< the driver did not open or its channel did not start

/// Prints the known model names, one per line, in registry order.
int ListModels(const DriverLibrary& library, LineOutput& output);

/// Prints one JSON line per parameter of `model`, in number order.
int ListParameters(const DriverLibrary& library, const std::string& model, LineOutput& output);

/// Opens `options.model`, starts channel 0 and prints every callback until a
/// stop signal or `options.seconds` has passed.
int RunModel(const DriverLibrary& library, const Options& options, LineOutput& output, OutputFormat& format,
             CallbackMonitor& monitor);

}  // namespace korvane::host
