#include "host/options.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace korvane::host {
namespace {

bool ParseParameterNumber(const std::string& text, int32_t& number) {
  if (text.empty() || text.size() > 10) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value < 1 || value > INT32_MAX) return false;
  number = static_cast<int32_t>(value);
  return true;
}

bool ParseSeconds(const std::string& text, double& seconds) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < 0) return false;
  seconds = value;
  return true;
}

Command CommandNamed(const std::string& name) {
  if (name == "models") return Command::kModels;
  if (name == "params") return Command::kParams;
  if (name == "run") return Command::kRun;
  if (name == "demo") return Command::kDemo;
  return Command::kNone;
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error) {
  Options options;
  std::vector<std::string> positional;
  bool runOptionSeen = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      if (const size_t eq = arg.find('='); eq != std::string::npos) {
        inlineValue = arg.substr(eq + 1);
        arg.resize(eq);
      }
    }
    // The value of an option: "--name=value" or the next argument.
    const auto value = [&](std::string& out) {
      if (inlineValue) {
        out = *inlineValue;
        return true;
      }
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      options.command = Command::kHelp;
      return options;
    }
    if (arg == "--driver") {
      if (!value(options.driverPath)) return std::nullopt;
      if (options.driverPath.empty()) {
        error = "--driver needs a library path";
        return std::nullopt;
      }
    } else if (arg == "--home") {
      if (!value(options.home)) return std::nullopt;
      if (options.home.empty()) {
        error = "--home needs a directory";
        return std::nullopt;
      }
    } else if (arg == "-p") {
      std::string assignment;
      if (!value(assignment)) return std::nullopt;
      const size_t eq = assignment.find('=');
      int32_t number = 0;
      if (eq == std::string::npos || !ParseParameterNumber(assignment.substr(0, eq), number)) {
        error = "-p expects N=VALUE with a parameter number N from 1, not '" + assignment + "'";
        return std::nullopt;
      }
      options.parameters[number] = assignment.substr(eq + 1);
      runOptionSeen = true;
    } else if (arg == "--seconds") {
      std::string text;
      double seconds = 0;
      if (!value(text)) return std::nullopt;
      if (!ParseSeconds(text, seconds)) {
        error = "--seconds expects a number of seconds, not '" + text + "'";
        return std::nullopt;
      }
      options.seconds = seconds;
      runOptionSeen = true;
    } else if (arg == "--plain-open" && !inlineValue) {
      options.plainOpen = true;
      runOptionSeen = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option " + args[i];
      return std::nullopt;
    } else {
      positional.push_back(args[i]);
    }
  }

  if (positional.empty()) {
    error = "no command given";
    return std::nullopt;
  }
  options.command = CommandNamed(positional[0]);
  if (options.command == Command::kNone) {
    error = "unknown command '" + positional[0] + "'";
    return std::nullopt;
  }
  const bool takesModel = options.command == Command::kParams || options.command == Command::kRun;
  const size_t expected = takesModel ? 2 : 1;
  if (positional.size() < expected) {
    error = positional[0] + " needs a model name";
    return std::nullopt;
  }
  if (positional.size() > expected) {
    error = "unexpected argument '" + positional[expected] + "'";
    return std::nullopt;
  }
  if (takesModel) options.model = positional[1];
  if (runOptionSeen && options.command != Command::kRun) {
    error = "-p, --seconds and --plain-open belong to the run command";
    return std::nullopt;
  }
  return options;
}

std::string UsageText() {
  return R"(Usage: kestrel-host [--driver PATH] [--home DIR] COMMAND

Loads the Kestrel driver library and drives it as a recording host would,
printing what the driver reports as one JSON object per line.

Commands:
  models                 List the models the driver knows, one per line.
  params MODEL           List the parameters of MODEL (any letter case) as JSON lines.
  run MODEL [-p N=VALUE]... [--seconds S] [--plain-open]
                         Open MODEL (exact name), start channel 0 and print every
                         callback until SIGINT/SIGTERM or for S seconds. Parameter N
                         answers VALUE; unset parameters answer their default.
                         --plain-open opens with Open instead of OpenEx (no metadata).
  demo                   Play the bundled point-of-sale journal into the TCP model
                         configured by examples/pos-tcp/pos.xml and print the callbacks.

Options:
  --driver PATH          Driver library to load (default: libKestrelDriver.so beside kestrel-host).
  --home DIR             Host directory for configuration files, plug-ins and debug files
                         (default: the directory of kestrel-host).
  -h, --help             Show this text.

Exit status: 0 success; 1 usage error, unknown model, driver library or
example files missing, demo incomplete; 2 the driver could not be opened,
its channel not started or (demo) not reached.
)";
}

}  // namespace korvane::host
