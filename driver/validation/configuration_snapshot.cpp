#include "driver/validation/configuration_snapshot.h"

#include <utility>

#include "driver/support/host_directory.h"
#include "driver/support/string_utils.h"

namespace korvane {
namespace {

constexpr char kCurrent[] = "korvane::CConfigurationSource::Current";
// File times come from a coarse clock tick (a few milliseconds), so a rewrite
// within the tick of an earlier one that keeps the size keeps the stamp too.
// A file whose last change is older than this margin can no longer change
// without its stamp changing; a version read before that is read once more.
constexpr uint64_t kSettleMargin = 100 * 10000;  // 100 ms in 100 ns units
// Files on file systems that report no changes (network shares) are compared
// at least this often.
constexpr std::chrono::milliseconds kLookAgain(500);
// The change notes are read at most this often: under a flood of blocks one
// read of the notification queue per interval, not one system call per block.
// A change is seen by the first block handled this long after the last read.
constexpr std::chrono::milliseconds kReadNotesEvery(1);
// 1601-01-01 to 1970-01-01 in 100 ns units.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;

}  // namespace

ValidationConfig ReadValidationConfig(CXMLParser& config) {
  ValidationConfig result;
  result.validationExpression = config.GetAttributeW("root/validation/regex", "value");
  if (!result.validationExpression.empty()) {
    // POSIX basic syntax with collation, backslashes literal inside brackets.
    result.validationRegex = CompileTextRegex(result.validationExpression, RegexSyntax::kBasic, result.validationError);
  }
  result.textPath = ReadTextPathDefinition(config);
  return result;
}

std::vector<std::string> BrokenExpressions(const ValidationConfig& validation, const MessageTypeDefinition& type) {
  std::vector<std::string> broken;
  if (!validation.validationExpression.empty() && !validation.validationRegex) {
    broken.push_back(Format("Invalid validation expression '%s': %s; every line is dropped until it is corrected",
                            validation.validationExpression.c_str(), validation.validationError.c_str()));
  }
  uint32_t m = 0;
  for (const TextMessageDefinition& message : validation.textPath.messages) {
    ++m;
    uint32_t p = 0;
    for (const TextParamDefinition& param : message.params) {
      ++p;
      if (param.compileError.empty()) continue;
      broken.push_back(
          Format("Invalid expression '%s' of message %u parameter %u: %s; every line is dropped until it is corrected",
                 param.value.c_str(), m, p, param.compileError.c_str()));
    }
  }
  const auto check = [&broken](const std::string& xpath, const std::string& what) {
    if (xpath.empty()) return;
    const std::string error = CXMLParser::CheckXPath(xpath);
    if (!error.empty()) {
      broken.push_back(
          Format("Invalid XPath '%s' of the message type %s: %s", xpath.c_str(), what.c_str(), error.c_str()));
    }
  };
  check(type.messageXPath, "message");
  for (const auto& [number, xpath] : type.paramXPaths) check(xpath, Format("parameter %d", number));
  return broken;
}

CConfigurationSource::CConfigurationSource(IDebug& logger, const Clock& clock, Builder builder)
    : logger_(logger), clock_(clock), builder_(std::move(builder)) {}

bool CConfigurationSource::Settled(const std::vector<TrackedFile>& files) const {
  const uint64_t now = clock_.UtcFileTime();
  for (const TrackedFile& file : files) {
    if (!file.stamp.exists) continue;
    const uint64_t changed = static_cast<uint64_t>(file.stamp.changedNs / 100) + kUnixEpochFileTime;
    if (changed + kSettleMargin > now) return false;
  }
  return true;
}

bool CConfigurationSource::WorthLooking() {
  const auto now = std::chrono::steady_clock::now();
  // Consumed first: a change noted after this is compared now or at the next block.
  bool noted = false;
  if (now - lastNotesRead_ >= kReadNotesEvery) {
    lastNotesRead_ = now;
    noted = watch_.MayHaveChanged();
  }
  if (noted || !currentReading_.settled || (failedReading_ && !failedReading_->settled) ||
      now - lastLook_ >= kLookAgain) {
    lastLook_ = now;
    return true;
  }
  return false;
}

bool CConfigurationSource::NeedsReading(const Reading& reading) const {
  if (!Unchanged(reading.files)) return true;
  return !reading.settled && Settled(reading.files);
}

std::shared_ptr<ConfigurationSnapshot> CConfigurationSource::Read(bool reload, Reading& reading, bool& readable,
                                                                  std::string& reason) {
  ++loads_;
  const std::string path = ResolveHostPath(fileName_);
  auto snapshot = std::make_shared<ConfigurationSnapshot>();
  // Watched and stamped before reading: a change while it is read shows at the next block.
  watch_.Watch(path);
  snapshot->files.push_back(TrackedFile{path, StampOf(path)});
  CXMLParser config;
  readable = config.LoadFile(fileName_);
  bool ok = readable;
  if (!readable) {
    reason = config.GetLoadError();
  } else {
    ok = builder_(config, reload, *snapshot, reason);
    config.Close();
  }
  for (size_t i = 1; i < snapshot->files.size(); ++i) watch_.Watch(snapshot->files[i].path);
  reading.files = snapshot->files;
  reading.settled = Settled(reading.files);
  if (!ok) return nullptr;
  return snapshot;
}

CConfigurationSource::LoadOutcome CConfigurationSource::Load(const std::string& fileName, std::string& reason) {
  std::lock_guard<std::mutex> guard(mutex_);
  fileName_ = fileName;
  Reading reading;
  bool readable = false;
  auto snapshot = Read(false, reading, readable, reason);
  if (snapshot == nullptr) return readable ? LoadOutcome::kUnusable : LoadOutcome::kUnreadable;
  current_ = std::move(snapshot);
  currentReading_ = std::move(reading);
  failedReading_.reset();
  return LoadOutcome::kLoaded;
}

std::shared_ptr<const ConfigurationSnapshot> CConfigurationSource::Current() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (current_ == nullptr || !WorthLooking() || !NeedsReading(currentReading_)) return current_;
  // A version that did not load is not read again until it changes.
  if (failedReading_ && !NeedsReading(*failedReading_)) return current_;
  Reading reading;
  bool readable = false;
  std::string reason;
  auto snapshot = Read(true, reading, readable, reason);
  if (snapshot == nullptr) {
    // Half-written files are the common case: said once until the file loads again.
    if (!failedReading_) {
      logger_.Log(kLogError, kCatValidation,
                  "%s: Unable to reload the changed XML configuration file (%s); the last configuration that "
                  "loaded stays in use",
                  kCurrent, reason.c_str());
    }
    failedReading_ = std::move(reading);
    return current_;
  }
  if (failedReading_) {
    logger_.Log(kLogInfo, kCatValidation, "%s: The changed XML configuration file is loaded", kCurrent);
    failedReading_.reset();
  }
  current_ = std::move(snapshot);
  currentReading_ = std::move(reading);
  return current_;
}

uint64_t CConfigurationSource::LoadCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return loads_;
}

}  // namespace korvane
