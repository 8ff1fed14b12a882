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

// Each command: its name, how many arguments follow it, and the options that
// belong to it (the global --driver and --home belong to all).
struct CommandShape {
  const char* name;
  Command command;
  size_t arguments;
  std::string_view options;
  const char* argumentsNeeded;
};

constexpr CommandShape kCommands[] = {
    {"models", Command::kModels, 0, "", ""},
    {"params", Command::kParams, 1, "", "a model name"},
    {"run", Command::kRun, 1, "-p --seconds --plain-open --format", "a model name"},
    {"demo", Command::kDemo, 0, "--format", ""},
    {"check", Command::kCheck, 1, "-p --sample", "a model name"},
    {"replay", Command::kReplay, 2, "-p --format --capture --interval --seconds", "a model name and a capture file"},
    {"help", Command::kHelp, 1, "", ""},
};

const CommandShape* CommandNamed(const std::string& name) {
  for (const CommandShape& shape : kCommands) {
    if (name == shape.name) return &shape;
  }
  return nullptr;
}

bool Belongs(std::string_view option, std::string_view options) {
  for (size_t pos = 0; pos < options.size();) {
    size_t end = options.find(' ', pos);
    if (end == std::string_view::npos) end = options.size();
    if (options.substr(pos, end - pos) == option) return true;
    pos = end + 1;
  }
  return false;
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error) {
  Options options;
  std::vector<std::string> positional;
  std::vector<std::string> commandOptions;
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
      // "kestrel-host run --help" explains run; the rest of the line is not checked.
      options.command = Command::kHelp;
      for (const std::string& other : args) {
        const CommandShape* shape = other.empty() || other[0] == '-' ? nullptr : CommandNamed(other);
        if (shape != nullptr) {
          options.helpTopic = shape->command;
          break;
        }
      }
      return options;
    }
    if (arg == "--driver") {
      if (!value(options.driverPath)) return std::nullopt;
      if (options.driverPath.empty()) {
        error = "--driver needs a library path";
        return std::nullopt;
      }
      continue;
    }
    if (arg == "--home") {
      if (!value(options.home)) return std::nullopt;
      if (options.home.empty()) {
        error = "--home needs a directory";
        return std::nullopt;
      }
      continue;
    }
    if (arg.size() <= 1 || arg[0] != '-') {
      positional.push_back(args[i]);
      continue;
    }
    commandOptions.push_back(arg);
    if (arg == "-p") {
      std::string assignment;
      if (!value(assignment)) return std::nullopt;
      const size_t eq = assignment.find('=');
      int32_t number = 0;
      if (eq == std::string::npos || !ParseParameterNumber(assignment.substr(0, eq), number)) {
        error = "-p expects N=VALUE with a parameter number N from 1, not '" + assignment + "'";
        return std::nullopt;
      }
      options.parameters[number] = assignment.substr(eq + 1);
    } else if (arg == "--seconds" || arg == "--interval") {
      std::string text;
      double number = 0;
      if (!value(text)) return std::nullopt;
      if (!ParseSeconds(text, number)) {
        error = arg + " expects a number, not '" + text + "'";
        return std::nullopt;
      }
      if (arg == "--seconds") {
        options.seconds = number;
      } else {
        options.intervalMs = number;
      }
    } else if (arg == "--format") {
      std::string text;
      if (!value(text)) return std::nullopt;
      if (text == "json") {
        options.format = Format::kJson;
      } else if (text == "text") {
        options.format = Format::kText;
      } else {
        error = "--format expects json or text, not '" + text + "'";
        return std::nullopt;
      }
    } else if (arg == "--capture") {
      std::string text;
      if (!value(text)) return std::nullopt;
      if (text == "raw") {
        options.capture = CaptureKind::kRaw;
      } else if (text == "packets") {
        options.capture = CaptureKind::kPackets;
      } else {
        error = "--capture expects raw or packets, not '" + text + "'";
        return std::nullopt;
      }
    } else if (arg == "--sample") {
      if (!value(options.sampleFile)) return std::nullopt;
      if (options.sampleFile.empty()) {
        error = "--sample needs a file";
        return std::nullopt;
      }
    } else if (arg == "--plain-open" && !inlineValue) {
      options.plainOpen = true;
    } else {
      error = "unknown option " + args[i];
      return std::nullopt;
    }
  }

  if (positional.empty()) {
    error = "no command given";
    return std::nullopt;
  }
  const CommandShape* shape = CommandNamed(positional[0]);
  if (shape == nullptr) {
    error = "unknown command '" + positional[0] + "'";
    return std::nullopt;
  }
  options.command = shape->command;
  const size_t given = positional.size() - 1;
  if (shape->command == Command::kHelp) {
    if (given > 1) {
      error = "unexpected argument '" + positional[2] + "'";
      return std::nullopt;
    }
    if (given == 1) {
      const CommandShape* topic = CommandNamed(positional[1]);
      if (topic == nullptr || topic->command == Command::kHelp) {
        error = "no help on '" + positional[1] + "': not a command";
        return std::nullopt;
      }
      options.helpTopic = topic->command;
    }
  } else if (given < shape->arguments) {
    error = positional[0] + " needs " + shape->argumentsNeeded;
    return std::nullopt;
  } else if (given > shape->arguments) {
    error = "unexpected argument '" + positional[shape->arguments + 1] + "'";
    return std::nullopt;
  }
  for (const std::string& option : commandOptions) {
    if (!Belongs(option, shape->options)) {
      error = option + " does not belong to the " + positional[0] + " command";
      return std::nullopt;
    }
  }
  if (given >= 1 && shape->command != Command::kHelp) options.model = positional[1];
  if (shape->command == Command::kReplay) options.captureFile = positional[2];
  return options;
}

namespace {

constexpr const char* kRunHelp = R"(Usage: kestrel-host [--driver PATH] [--home DIR] run MODEL [-p N=VALUE]...
                    [--seconds S] [--plain-open] [--format json|text]

Opens MODEL (the exact model name, see 'kestrel-host models'), starts channel 0
and prints every callback of the driver until SIGINT/SIGTERM, or for S seconds.

  -p N=VALUE      Parameter N answers VALUE; unset parameters answer their
                  default (see 'kestrel-host params MODEL'). Repeatable.
  --seconds S     Stop after S seconds (a decimal number).
  --plain-open    Open with Open instead of OpenEx: no metadata callbacks.
  --format F      json (default): one JSON object per line, for programs.
                  text: one aligned line per callback for people: local time,
                  kind, event name (or source, log severity), search tags as
                  [Name=value ...], and the text with XML escapes resolved.

Exit status: 0 stopped normally; 1 usage error or driver library missing;
2 the driver did not open or its channel did not start.
)";

constexpr const char* kDemoHelp = R"(Usage: kestrel-host [--driver PATH] [--home DIR] demo [--format json|text]

Plays the point-of-sale journal examples/pos-tcp/journal.txt into the TCP
model configured by examples/pos-tcp/pos.xml (both looked up in the host
directory), prints every callback and waits for the "End of" event of each
event.

  --format F      json (default) or text, as for run.

Exit status: 0 every event and its End event arrived (or a stop signal);
1 example files or driver library missing, or End events missing;
2 the driver did not open, its channel did not start or the journal could
not be delivered.
)";

constexpr const char* kCheckHelp = R"(Usage: kestrel-host [--driver PATH] [--home DIR] check MODEL [-p N=VALUE]...
                    [--sample FILE]

Opens MODEL with the given parameters as run would, but does not start its
channel: no port is opened and no device is needed. Prints whether the driver
opens, the event names and search tags it registered (in the order the ids of
search tags on messages count them), and every error and warning it logged
while loading the configuration, and where the configuration file departs
from the schema of the format (kestrel-configuration.xsd, beside kestrel-host
or in share/kestrel/).

  --sample FILE   Bytes as the device sends them (say, a few lines of its
                  output). They are cut into messages as the channel would
                  cut them and each message goes through validation and the
                  rules; the check says per message what happened (accepted
                  or refused by the validation expression, each parameter
                  found or where the list ended, which rule fired) and what
                  the host would receive (lines marked =>). With no line
                  feed configured the whole file is one message, as one
                  received block would be.

Exit status: 0 exactly when the driver opens; 1 usage error, unknown model or
driver library missing; 2 the driver does not open.
)";

constexpr const char* kReplayHelp = R"(Usage: kestrel-host [--driver PATH] [--home DIR] replay MODEL [-p N=VALUE]...
                    [--capture raw|packets] [--interval MS] [--seconds S]
                    [--format json|text] FILE

Opens MODEL, starts its channel and plays FILE into it as the device would:
it connects to the TCP model's port, listens where the TCP client model
connects (parameter 1 must be 127.0.0.1), sends UDP datagrams, POSTs to the
HTTP server model, or writes to a pseudo-terminal the serial model opens in
place of its port. Prints every callback as run does and progress on
standard error.

  --capture K     packets: the driver's packet dump (Debug_KSL_Packets.bin:
                  each record a 4-byte little-endian length and the bytes the
                  channel received), one send per record. raw: the bytes as
                  the device sent them; a line per datagram or request for UDP
                  and HTTP, 4 KiB writes otherwise. Default: packets for a
                  .bin file whose records fill it exactly, raw otherwise.
  --interval MS   Pause between sends (default none: as fast as the driver
                  takes them). Neither capture form records the original pace.
  --seconds S     Keep the driver running S seconds after the last send (for
                  End events); default: until it has been quiet for 0.5 s.

Exit status: 0 the whole capture was delivered; 1 usage error, unreadable
capture or unsupported model; 2 the driver did not open, its channel did not
start or a send failed.
)";

constexpr const char* kModelsHelp = R"(Usage: kestrel-host [--driver PATH] models

Lists the model names the driver library knows, one per line.

Exit status: 0 success; 1 driver library missing.
)";

constexpr const char* kParamsHelp = R"(Usage: kestrel-host [--driver PATH] params MODEL

Lists the parameters of MODEL (any letter case) as JSON lines: number,
label, type, flag, default and, for a choice, every choice.

Exit status: 0 success; 1 unknown model or driver library missing.
)";

}  // namespace

std::string UsageText(Command topic) {
  switch (topic) {
    case Command::kRun:
      return kRunHelp;
    case Command::kDemo:
      return kDemoHelp;
    case Command::kCheck:
      return kCheckHelp;
    case Command::kReplay:
      return kReplayHelp;
    case Command::kModels:
      return kModelsHelp;
    case Command::kParams:
      return kParamsHelp;
    default:
      break;
  }
  return R"(Usage: kestrel-host [--driver PATH] [--home DIR] COMMAND

Loads the Kestrel driver library and drives it as a recording host would,
printing what the driver reports as one JSON object (or, with --format text,
one aligned text line) per callback.

Commands:
  models                 List the models the driver knows, one per line.
  params MODEL           List the parameters of MODEL (any letter case) as JSON lines.
  run MODEL [-p N=VALUE]... [--seconds S] [--plain-open] [--format json|text]
                         Open MODEL (exact name), start channel 0 and print every
                         callback until SIGINT/SIGTERM or for S seconds. Parameter N
                         answers VALUE; unset parameters answer their default.
                         --plain-open opens with Open instead of OpenEx (no metadata).
  check MODEL [-p N=VALUE]... [--sample FILE]
                         Open MODEL without starting its channel and list the names
                         it registered and every problem logged while opening;
                         with --sample, explain what becomes of each sample message.
  replay MODEL [-p N=VALUE]... [--capture raw|packets] [--interval MS] [--seconds S] FILE
                         Open MODEL and play a capture into it as its device would.
  demo [--format json|text]
                         Play the bundled point-of-sale journal into the TCP model
                         configured by examples/pos-tcp/pos.xml and print the callbacks.
  help [COMMAND]         Show this text, or the help of COMMAND
                         (also: kestrel-host COMMAND --help).

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
