#include "host/check.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host/commands.h"
#include "host/configuration_schema.h"
#include "host/driver_session.h"
#include "host/output_format.h"

namespace korvane::host {
namespace {

constexpr int32_t kError = 1;
constexpr int32_t kWarning = 2;
// A sample is a few lines a person reads the explanation of, not a capture.
constexpr size_t kMaxSampleBytes = 16 << 20;

std::string Quoted(const std::string& text) { return "\"" + Printable(text) + "\""; }

// Keeps the log lines of the open, and while a sample plays, what the driver
// reports for each message: its steps, callbacks and problems, in order.
class CheckRecorder final : public IDataCallbackEx {
 public:
  void OnData(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength, const char* data,
              int32_t dataLength, int32_t, const char* encoding) override {
    Outcome([&](OutputFormat& format) {
      return format.Data(channel, searchData, source, sourceLength, data, dataLength, encoding);
    });
  }
  void OnEvent(uint8_t channel, int32_t eventNumber, ISearchData* searchData, const char* source, int32_t sourceLength,
               const char* eventText, int32_t eventTextLength, int32_t, const char* encoding) override {
    Outcome([&](OutputFormat& format) {
      return format.Event(channel, eventNumber, searchData, source, sourceLength, eventText, eventTextLength, encoding);
    });
  }
  void OnClearScreen(uint8_t channel, ISearchData*, const char*, int32_t, int32_t) override {
    Outcome([&](OutputFormat& format) { return format.ClearScreen(channel); });
  }
  void OnNotify(int32_t) override {}
  void OnOpenFailed(int32_t) override {}
  void OnMetadata(int32_t kind, int32_t channel, int32_t format, const SYSTEMTIME* time, const char* data,
                  int32_t length) override {
    Outcome([&](OutputFormat& output) { return output.Metadata(kind, channel, format, time, data, length); });
  }
  void OnLog(int32_t severity, const char* text) override {
    std::string line = text != nullptr ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::lock_guard lock(mutex_);
    if (sampling_) {
      if (severity == kError || severity == kWarning) {
        sample_.push_back(std::string(severity == kError ? "    error: " : "    warning: ") + Printable(line));
      }
      return;
    }
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

  /// From here on callbacks and log lines belong to the sample's messages;
  /// `format` (which knows the registered names) writes the callbacks.
  void BeginSample(std::unique_ptr<OutputFormat> format) {
    std::lock_guard lock(mutex_);
    format_ = std::move(format);
    sampling_ = true;
  }
  /// What the sample gave, line by line.
  std::vector<std::string> EndSample() {
    std::lock_guard lock(mutex_);
    EndMessage();
    sampling_ = false;
    return std::move(sample_);
  }
  size_t Messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

  /// KestrelSampleNote: a message begins, or one of its steps.
  static void Note(void* context, int32_t kind, const char* text) {
    auto& self = *static_cast<CheckRecorder*>(context);
    std::lock_guard lock(self.mutex_);
    if (kind == 0) {
      self.EndMessage();
      self.sample_.push_back("message " + std::to_string(++self.messages_) + ": " + Quoted(text));
    } else {
      self.sample_.push_back("    " + Printable(text));
    }
  }

 private:
  template <typename Write>
  void Outcome(Write write) {
    std::lock_guard lock(mutex_);
    if (!sampling_ || format_ == nullptr) return;
    sample_.push_back("  => " + write(*format_));
    delivered_ = true;
  }

  // Says so when a message gave the host nothing. Under mutex_.
  void EndMessage() {
    if (messages_ > 0 && !delivered_) sample_.push_back("  => nothing reaches the host");
    delivered_ = false;
  }

  std::mutex mutex_;
  std::vector<Line> lines_;
  bool sampling_ = false;
  std::unique_ptr<OutputFormat> format_;
  std::vector<std::string> sample_;
  size_t messages_ = 0;
  bool delivered_ = false;  // the current message reached the host
};

// The model's configuration file as the driver reads it (relative to the
// host directory), nullopt when the model is opened without one.
std::optional<std::filesystem::path> ConfigurationFile(const DriverLibrary& library, const std::string& model,
                                                       const std::map<int32_t, std::string>& values,
                                                       const std::string& home) {
  for (int32_t number = 1; number <= 100; ++number) {
    ParameterInfo info{};
    if (library.getParameterType(model.c_str(), number, &info) == 0) break;
    info.label[sizeof info.label - 1] = '\0';
    if (std::string_view(info.label) != "Configuration file") continue;
    const auto value = values.find(number);
    if (value == values.end() || value->second.empty()) return std::nullopt;
    return std::filesystem::path(home) / value->second;
  }
  return std::nullopt;
}

// The logging level the configuration file sets, read from its text: 0 when
// it sets none (the driver's default then).
int ConfiguredLogLevel(const std::filesystem::path& file) {
  std::ifstream stream(file);
  std::stringstream text;
  text << stream.rdbuf();
  const std::string content = text.str();
  const size_t logging = content.find("<logging");
  const size_t level = logging == std::string::npos ? logging : content.find("<level", logging);
  const size_t attribute = level == std::string::npos ? level : content.find("value=", level);
  if (attribute == std::string::npos) return 0;
  return std::atoi(content.c_str() + attribute + 7);
}

// Where the configuration file departs from the schema of the format.
void WriteSchemaFindings(const std::filesystem::path& file, LineOutput& output) {
  const std::string schema = FindConfigurationSchema();
  if (schema.empty()) {
    output.Write(std::string("schema: not checked, ") + kConfigurationSchemaName +
                 " is neither beside kestrel-host nor in the data directory");
    return;
  }
  std::vector<std::string> findings;
  std::string error;
  if (!CheckAgainstSchema(schema, file.string(), findings, error)) {
    output.Write("schema: not checked, " + error);
    return;
  }
  if (findings.empty()) {
    output.Write("schema: the file follows " + schema);
    return;
  }
  output.Write("schema: " + std::to_string(findings.size()) + " departure(s) from " + schema + ":");
  for (const std::string& finding : findings) output.Write("  " + Printable(finding));
}

// The sample's bytes, whole; nullopt with `error` when they cannot be read.
std::optional<std::string> ReadSample(const std::string& path, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot read the sample file '" + path + "'";
    return std::nullopt;
  }
  std::string bytes;
  char block[65536];
  while (file.read(block, sizeof block) || file.gcount() > 0) {
    bytes.append(block, static_cast<size_t>(file.gcount()));
    if (bytes.size() > kMaxSampleBytes) {
      error = "the sample file '" + path + "' is larger than " + std::to_string(kMaxSampleBytes >> 20) + " MiB";
      return std::nullopt;
    }
  }
  if (file.bad()) {
    error = "cannot read the sample file '" + path + "'";
    return std::nullopt;
  }
  return bytes;
}

}  // namespace

int CheckModel(const DriverLibrary& library, const Options& options, const std::string& home, LineOutput& output) {
  std::map<int32_t, std::string> values = ParameterValues(library, options.model, options.parameters);
  if (values.empty()) {
    std::fprintf(stderr, "kestrel-host: unknown model '%s'\n", options.model.c_str());
    return kExitFailure;
  }
  std::optional<std::string> sample;
  if (!options.sampleFile.empty()) {
    std::string error;
    sample = ReadSample(options.sampleFile, error);
    if (!sample) {
      std::fprintf(stderr, "kestrel-host: %s\n", error.c_str());
      return kExitFailure;
    }
    if (library.checkSample == nullptr) {
      std::fprintf(stderr, "kestrel-host: this driver library cannot play samples (no KestrelCheckSample)\n");
      return kExitFailure;
    }
  }
  const std::optional<std::filesystem::path> configuration = ConfigurationFile(library, options.model, values, home);
  HostSettings settings(options.model, std::move(values));
  CheckRecorder recorder;
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
  std::vector<std::string> played;
  if (opened && sample) {
    std::unique_ptr<OutputFormat> format = MakeOutputFormat(Format::kText);
    format->Opened(true, events, tags);  // so that events and tags show by name
    recorder.BeginSample(std::move(format));
    library.checkSample(driver, sample->data(), static_cast<int32_t>(sample->size()), &CheckRecorder::Note, &recorder);
    played = recorder.EndSample();
  }
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
  for (const CheckRecorder::Line& line : recorder.Lines()) {
    if (line.severity == kError || line.severity == kWarning) {
      problems.push_back((line.severity == kError ? "  error: " : "  warning: ") + Printable(line.text));
    }
  }
  output.Write("problems (" + std::to_string(problems.size()) + ")" + (problems.empty() ? "" : ":"));
  for (const std::string& problem : problems) output.Write(problem);
  // The configuration's own logging level decides what reaches a host; 0,
  // also when the file sets none, hides every problem.
  if (configuration && ConfiguredLogLevel(*configuration) <= 0) {
    output.Write(
        "note: the configuration file sets logging level 0 (or none), so the driver reports no problems "
        "to a host: set <logging><level value=\"3\"/></logging> to see them");
  }
  if (configuration) WriteSchemaFindings(*configuration, output);
  if (sample) {
    if (!opened) {
      output.Write("sample " + Quoted(options.sampleFile) + ": not played, the driver does not open");
    } else {
      output.Write("sample " + Quoted(options.sampleFile) + " (" + std::to_string(recorder.Messages()) +
                   " messages; => marks what the host receives):");
      for (const std::string& line : played) output.Write(line);
    }
  }
  return opened ? kExitOk : kExitOpenFailed;
}

}  // namespace korvane::host
