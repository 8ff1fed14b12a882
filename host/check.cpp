#include "host/check.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host/commands.h"
#include "host/driver_session.h"

namespace korvane::host {
namespace {

constexpr int32_t kError = 1;
constexpr int32_t kWarning = 2;

// Keeps the log lines of the open; a channel is never started, so nothing
// else arrives.
class OpenRecorder final : public IDataCallbackEx {
 public:
  void OnData(uint8_t, ISearchData*, const char*, int32_t, const char*, int32_t, int32_t, const char*) override {}
  void OnEvent(uint8_t, int32_t, ISearchData*, const char*, int32_t, const char*, int32_t, int32_t,
               const char*) override {}
  void OnClearScreen(uint8_t, ISearchData*, const char*, int32_t, int32_t) override {}
  void OnNotify(int32_t) override {}
  void OnOpenFailed(int32_t) override {}
  void OnMetadata(int32_t, int32_t, int32_t, const SYSTEMTIME*, const char*, int32_t) override {}
  void OnLog(int32_t severity, const char* text) override {
    std::lock_guard lock(mutex_);
    std::string line = text != nullptr ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    lines_.push_back({severity, std::move(line)});
  }

  struct Line {
    int32_t severity;
    std::string text;
  };
  std::vector<Line> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<Line> lines_;
};

std::string Quoted(const std::string& text) { return "\"" + Printable(text) + "\""; }

// The logging level the model's configuration file sets, read from its text:
// 0 when it sets none (the driver's default then), nullopt without a file.
std::optional<int> ConfiguredLogLevel(const DriverLibrary& library, const std::string& model,
                                      const std::map<int32_t, std::string>& values, const std::string& home) {
  for (int32_t number = 1; number <= 100; ++number) {
    ParameterInfo info{};
    if (library.getParameterType(model.c_str(), number, &info) == 0) break;
    info.label[sizeof info.label - 1] = '\0';
    if (std::string_view(info.label) != "Configuration file") continue;
    const auto value = values.find(number);
    if (value == values.end() || value->second.empty()) return std::nullopt;
    std::ifstream file(std::filesystem::path(home) / value->second);
    std::stringstream text;
    text << file.rdbuf();
    const std::string content = text.str();
    const size_t logging = content.find("<logging");
    const size_t level = logging == std::string::npos ? logging : content.find("<level", logging);
    const size_t attribute = level == std::string::npos ? level : content.find("value=", level);
    if (attribute == std::string::npos) return 0;
    return std::atoi(content.c_str() + attribute + 7);
  }
  return std::nullopt;
}

}  // namespace

int CheckModel(const DriverLibrary& library, const Options& options, const std::string& home, LineOutput& output) {
  std::map<int32_t, std::string> values = ParameterValues(library, options.model, options.parameters);
  if (values.empty()) {
    std::fprintf(stderr, "kestrel-host: unknown model '%s'\n", options.model.c_str());
    return kExitFailure;
  }
  const std::map<int32_t, std::string> settingsValues = values;
  HostSettings settings(options.model, std::move(values));
  OpenRecorder recorder;
  IDataAPIEx* driver = library.createDriver();
  if (driver == nullptr) {
    std::fprintf(stderr, "kestrel-host: the driver library gave no driver object\n");
    return kExitFailure;
  }
  IDataCallback* face = &recorder;
  const bool opened = driver->OpenEx(face, &settings);
  std::vector<std::string> events;
  std::vector<RegisteredTag> tags;
  if (opened) ReadRegisteredNames(*driver, events, tags);
  driver->Close();
  library.releaseDriver(&driver);

  output.Write(options.model + (opened ? ": opens" : ": does NOT open"));
  if (opened) {
    std::string line = "events (" + std::to_string(events.size()) + "):";
    for (const std::string& name : events) line += " " + Quoted(name);
    output.Write(line);
    line = "search tags (" + std::to_string(tags.size()) + "):";
    for (const RegisteredTag& tag : tags) line += " " + Quoted(tag.name) + " (type " + std::to_string(tag.id) + ")";
    output.Write(line);
  }
  std::vector<std::string> problems;
  for (const OpenRecorder::Line& line : recorder.Lines()) {
    if (line.severity == kError || line.severity == kWarning) {
      problems.push_back((line.severity == kError ? "  error: " : "  warning: ") + Printable(line.text));
    }
  }
  output.Write("problems (" + std::to_string(problems.size()) + ")" + (problems.empty() ? "" : ":"));
  for (const std::string& problem : problems) output.Write(problem);
  // The configuration's own logging level decides what reaches a host; 0,
  // also when the file sets none, hides every problem.
  if (ConfiguredLogLevel(library, options.model, settingsValues, home).value_or(1) <= 0) {
    output.Write(
        "note: the configuration file sets logging level 0 (or none), so the driver reports no problems "
        "to a host: set <logging><level value=\"3\"/></logging> to see them");
  }
  return opened ? kExitOk : kExitOpenFailed;
}

}  // namespace korvane::host
