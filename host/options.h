// Command line of kestrel-host. Outside scripts rely on it; keep it stable.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/output_format.h"

namespace korvane::host {

enum class Command { kNone, kHelp, kModels, kParams, kRun, kDemo, kCheck, kReplay };

/// What a replayed capture file holds.
enum class CaptureKind { kAuto, kRaw, kPackets };

struct Options {
  Command command = Command::kNone;
  Command helpTopic = Command::kNone;         ///< --help after a command, or help COMMAND
  std::string driverPath;                     ///< --driver; empty: libKestrelDriver.so beside kestrel-host
  std::string home;                           ///< --home; empty: the directory of kestrel-host
  std::string model;                          ///< params, run, check, replay
  std::map<int32_t, std::string> parameters;  ///< run, check, replay: -p N=VALUE
  std::optional<double> seconds;              ///< run: --seconds
  bool plainOpen = false;                     ///< run: --plain-open
  Format format = Format::kJson;              ///< run, demo, replay: --format
  std::string captureFile;                    ///< replay: FILE
  std::string sampleFile;                     ///< check: --sample
  CaptureKind capture = CaptureKind::kAuto;   ///< replay: --capture
  double intervalMs = 0;                      ///< replay: --interval, pause between blocks
};

/// Parses argv. On a malformed command line returns nullopt and sets `error`.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error);

/// The usage text printed by --help: the whole tool's, or one command's.
std::string UsageText(Command topic = Command::kNone);

}  // namespace korvane::host
