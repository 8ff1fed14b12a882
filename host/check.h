// kestrel-host check: opens a model with its configuration without starting
// its channel and reports what the driver made of it.
#pragma once

#include "host/driver_loader.h"
#include "host/host_callback.h"
#include "host/options.h"

namespace korvane::host {

/// Prints the registered event names and search tags and every problem the
/// driver logged while opening. Returns 0 exactly when the driver opened.
/// `home` is the host directory the configuration file is read from.
int CheckModel(const DriverLibrary& library, const Options& options, const std::string& home, LineOutput& output);

}  // namespace korvane::host
