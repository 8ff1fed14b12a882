// Command line of kestrel-host. Outside scripts rely on it; keep it stable.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvane::host {

enum class Command { kNone, kHelp, kModels, kParams, kRun, kDemo };

struct Options {
  Command command = Command::kNone;
  std::string driverPath;                     ///< --driver; empty: libKestrelDriver.so beside kestrel-host
  std::string home;                           ///< --home; empty: the directory of kestrel-host
  std::string model;                          ///< params, run
  std::map<int32_t, std::string> parameters;  ///< run: -p N=VALUE
  std::optional<double> seconds;              ///< run: --seconds
  bool plainOpen = false;                     ///< run: --plain-open
};

/// Parses argv. On a malformed command line returns nullopt and sets `error`.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error);

/// The usage text printed by --help.
std::string UsageText();

}  // namespace korvane::host
