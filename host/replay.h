// kestrel-host replay: plays a capture into a running driver as its device
// would, and prints what the driver reports.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/driver_loader.h"
#include "host/host_callback.h"
#include "host/options.h"

namespace korvane::host {

/// Reads a capture: the driver's packet dump (records of a 4-byte
/// little-endian length and that many bytes) or raw bytes. `kAuto` takes a
/// file as a packet dump when its name ends in ".bin" and its records fill
/// it exactly. Raw bytes become one block per line when `lines` (the line
/// feed stays with its line), else blocks of at most 4 KiB. False with
/// `error` set when the file cannot be read or is not of the kind asked for.
bool ReadCapture(const std::string& path, CaptureKind kind, bool lines, std::vector<std::string>& blocks,
                 std::string& error);

/// Opens the model, starts its channel, plays the capture and stops once
/// the driver has been quiet for a moment. Progress goes to standard error.
int ReplayCapture(const DriverLibrary& library, const Options& options, LineOutput& output, OutputFormat& format,
                  CallbackMonitor& monitor);

}  // namespace korvane::host
