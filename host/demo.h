// kestrel-host demo: a point-of-sale terminal, played from the bundled journal,
// sends its lines to the TCP model configured by the bundled example.
#pragma once

#include <string>

#include "host/driver_loader.h"
#include "host/host_callback.h"

namespace korvane::host {

/// Runs the demo against the examples in `hostDirectory`; returns the exit status.
int RunDemo(const DriverLibrary& library, const std::string& hostDirectory, LineOutput& output, OutputFormat& format,
            CallbackMonitor& monitor);

}  // namespace korvane::host
