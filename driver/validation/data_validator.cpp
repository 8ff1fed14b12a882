#include "driver/validation/data_validator.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>

#include "driver/common/search_data.h"
#include "driver/support/message_trace.h"
#include "driver/support/string_utils.h"
#include "driver/support/xml_parser.h"
#include "driver/validation/mapper.h"
#include "driver/validation/mapper_old.h"
#include "driver/validation/message_builder.h"

namespace korvane {
namespace {

constexpr char kInitialize[] = "korvane::CDataValidator::Initialize";
constexpr char kValidateData[] = "korvane::CDataValidator::ValidateData";
constexpr char kValidateText[] = "korvane::CDataValidator::ValidateText";
constexpr char kStartTimer[] = "korvane::CDataValidator::StartTimer";
constexpr char kStopTimer[] = "korvane::CDataValidator::StopTimer";
constexpr char kTimerThread[] = "korvane::CDataValidator::TimerThread";
constexpr char kReportEvent[] = "korvane::CDataValidator::ReportEvent";
constexpr char kLoadCustomValidator[] = "korvane::CDataValidator::LoadCustomValidator";
constexpr char kUnloadCustomValidator[] = "korvane::CDataValidator::UnloadCustomValidator";
constexpr char kResetCustomValidator[] = "korvane::CDataValidator::ResetCustomValidator";
constexpr char kValidateCustom[] = "korvane::CDataValidator::ValidateCustom";
constexpr auto kTimerJoinLimit = std::chrono::milliseconds(3000);

std::string_view Bytes(const char* data, int32_t length) {
  if (data == nullptr || length <= 0) return {};
  return std::string_view(data, static_cast<size_t>(length));
}

/// The bytes as UTF-8, with invalid sequences replaced.
std::string CleanUtf8(const char* data, int32_t length) { return korvane::CleanUtf8(Bytes(data, length)); }

/// The text a validator handed its mapper as a block's data, and the text the
/// channel delivered, while that block is mapped on this thread.
struct HandedData {
  const CDataValidator* validator;
  const char* handed;
  int32_t handedLength;
  const char* delivered;
  int32_t deliveredLength;
};
thread_local const HandedData* handedData = nullptr;

class HandedDataScope {
 public:
  explicit HandedDataScope(const HandedData* data) : previous_(handedData) { handedData = data; }
  ~HandedDataScope() { handedData = previous_; }
  HandedDataScope(const HandedDataScope&) = delete;
  HandedDataScope& operator=(const HandedDataScope&) = delete;

 private:
  const HandedData* previous_;
};

}  // namespace

CDataValidator::CDataValidator(IDriver& driver, IDebug& logger) : CDataValidator(driver, logger, SystemClock()) {}

CDataValidator::CDataValidator(IDriver& driver, IDebug& logger, const Clock& clock, std::chrono::milliseconds tick)
    : driver_(driver),
      logger_(logger),
      clock_(clock),
      tick_(tick),
      source_(logger, clock,
              [this](CXMLParser& config, bool reload, ConfigurationSnapshot& snapshot, std::string& reason) {
                return BuildSnapshot(config, reload, snapshot, reason);
              }),
      timer_(std::make_shared<TimerState>()) {}

CDataValidator::~CDataValidator() {
  StopTimer();
  UnloadCustomValidator();
}

bool CDataValidator::Initialize(int32_t type, const std::string& configFile, const std::string& customValidator,
                                bool legacyMapper) {
  configFile_ = configFile;
  type_ = type;
  legacyMapper_ = legacyMapper;
  if (type == kValidationCustom && !LoadCustomValidator(customValidator)) return false;
  std::string reason;
  switch (source_.Load(configFile, reason)) {
    case CConfigurationSource::LoadOutcome::kLoaded:
      if (EndEventSeconds(driver_) != 0) StartTimer();
      return true;
    case CConfigurationSource::LoadOutcome::kUnreadable:
      // The mapper's own line for a file it cannot open; the driver has logged why already.
      logger_.Log(kLogError, kCatMapper, "%s: Unable to initialize XML parser",
                  legacyMapper ? "korvane::CMapperOld::Initialize" : "korvane::CMapper::Initialize");
      break;
    case CConfigurationSource::LoadOutcome::kUnusable:
      break;  // the mapper said why
  }
  StopTimer();
  if (type == kValidationCustom) UnloadCustomValidator();
  return false;
}

bool CDataValidator::BuildSnapshot(CXMLParser& config, bool reload, ConfigurationSnapshot& snapshot,
                                   std::string& reason) {
  if (type_ == kValidationText) snapshot.validation = ReadValidationConfig(config);
  if (type_ == kValidationXsd) {
    const std::string schemaFile = config.GetAttributeW("root/validation/xsd", "value");
    if (!schemaFile.empty()) {
      // Compiled here, while the configuration loads, never on the first block.
      snapshot.schema = CXMLParser::LoadSchema(schemaFile);
      if (snapshot.schema == nullptr) {
        reason = "out of memory";
        return false;
      }
      // An edit to any schema file it read loads the configuration again.
      const auto& files = snapshot.schema->Files();
      snapshot.files.insert(snapshot.files.end(), files.begin(), files.end());
      if (!snapshot.schema->IsCompiled()) {
        if (reload) {
          reason = snapshot.schema->Error();
          return false;
        }
        // The driver opens all the same; every block fails until the schema can be used.
        logger_.Log(kLogError, kCatValidation, "%s: Unable to load XML schema: %s", kInitialize,
                    snapshot.schema->Error().c_str());
      }
    }
  }
  snapshot.names = std::make_unique<CStagedNames>(driver_, reload);
  if (legacyMapper_) {
    snapshot.mapper = std::make_unique<CMapperOld>(*this, *snapshot.names, logger_);
  } else {
    snapshot.mapper = std::make_unique<CMapper>(*this, *snapshot.names, logger_);
  }
  if (!snapshot.mapper->InitializeFrom(type_, config)) {
    reason = "its mapper section cannot be used";
    return false;
  }
  snapshot.names->Commit(logger_);
  // Said here rather than for every line that would need them; a version read again only
  // because it had just changed, or an edit elsewhere in the file, says nothing new.
  const bool xmlPaths = type_ == kValidationXsd || type_ == kValidationCustom;
  std::vector<std::string> broken =
      BrokenExpressions(snapshot.validation, xmlPaths ? snapshot.mapper->GetMessageType() : MessageTypeDefinition{});
  if (broken != reportedBroken_) {
    for (const std::string& line : broken) logger_.Log(kLogError, kCatValidation, "%s: %s", kInitialize, line.c_str());
    reportedBroken_ = std::move(broken);
  }
  return true;
}

IMapper* CDataValidator::GetMapper() {
  const auto snapshot = source_.Current();
  return snapshot != nullptr ? snapshot->mapper.get() : nullptr;
}

int32_t CDataValidator::GetValidationType() const { return type_; }

bool CDataValidator::ValidateData(std::string& error, const ChannelData& record) {
  error.clear();
  bool result = false;
  // One snapshot for the whole block: it is validated and mapped by the same version of the configuration.
  const std::shared_ptr<const ConfigurationSnapshot> snapshot = source_.Current();
  if (!snapshot) {
    error = Format("%s: unable to read XML configuration file", kValidateData);
  } else {
    IMapper* mapper = snapshot->mapper.get();
    // Messages built from this block; for plug-ins and XML documents also the text each came from.
    std::vector<UniformMessage> messages;
    std::vector<std::string> texts;
    Built built;
    switch (type_) {
      case kValidationText:
        built = BuildTextMessages(snapshot->validation, record, messages, error);
        break;
      case kValidationXsd:
        built = BuildXsdMessage(*snapshot, record, messages, texts, error);
        break;
      case kValidationCustom:
        built = BuildCustomMessages(*mapper, record, messages, texts, error);
        break;
      default:
        error = Format("%s: Unsupported type of validation", kValidateData);
        built = Built{false, false};
        break;
    }
    result = built.ok;
    if (built.map && mapper == nullptr) {
      error = Format("%s: Mapper is not created", kValidateData);
      result = false;
    } else if (built.map) {
      // A message that fails does not stop the ones after it; the last one decides.
      for (size_t i = 0; i < messages.size(); ++i) {
        ChannelData copy = record;
        if (i < texts.size()) {
          // The mapper sees the plug-in's text, or the device's own (unescaped) document, as the block's data.
          copy.data = texts[i].data();
          copy.dataLength = static_cast<int32_t>(texts[i].size());
        }
        // The document serves metadata and the video channel; the block shown as text stays as delivered.
        const HandedData handed{this, copy.data, copy.dataLength, record.data, record.dataLength};
        const HandedDataScope scope(type_ == kValidationXsd ? &handed : nullptr);
        result = mapper->MapUniformMessage(messages[i], copy);
      }
    }
  }
  if (!result && error.empty()) error = Format("%s: Data validation failed", kValidateData);
  return result;
}

CDataValidator::Built CDataValidator::BuildTextMessages(const ValidationConfig& config, const ChannelData& record,
                                                        std::vector<UniformMessage>& messages, std::string& error) {
  const std::string_view bytes = Bytes(record.data, record.dataLength);
  const CTextSubject data(bytes);
  std::string textError;
  switch (ValidateText(config, data, textError)) {
    case TextCheck::kInvalid:  // dropped silently
      return Built{};
    case TextCheck::kFailed:
      error = textError;
      return Built{false, false};
    case TextCheck::kValid:
      TraceStep("accepted by the validation expression");
      break;
  }
  // A broken parameter expression was logged when the configuration loaded.
  if (config.textPath.brokenExpressions) {
    TraceStep("not mapped: a parameter expression does not compile");
    return Built{};
  }
  if (bytes.empty()) return Built{};
  std::string detail;
  if (!BuildTextMessage(config.textPath, data, messages.emplace_back(), detail)) {
    error = Format("%s: %s", kValidateData, detail.c_str());
    return Built{false, false};
  }
  return Built{};
}

CDataValidator::Built CDataValidator::BuildXsdMessage(const ConfigurationSnapshot& snapshot, const ChannelData& record,
                                                      std::vector<UniformMessage>& messages,
                                                      std::vector<std::string>& documents, std::string& error) {
  // The channel escaped the document like any text; the schema checks the device's own document.
  std::string validated = XmlUnescape(CleanUtf8(record.data, record.dataLength));
  // One parse serves the schema and the message's values.
  CXMLParser document;
  if (!document.LoadValidatedXml(validated, snapshot.schema.get(), error)) {
    TraceStep("refused by the schema: %s", error.c_str());
    return Built{false, true};
  }
  TraceStep("accepted by the schema");
  UniformMessage message;
  BuildXmlMessage(document, snapshot.mapper->GetMessageType(), message);
  messages.push_back(std::move(message));
  documents.push_back(std::move(validated));
  return Built{};
}

CDataValidator::Built CDataValidator::BuildCustomMessages(IMapper& mapper, const ChannelData& record,
                                                          std::vector<UniformMessage>& messages,
                                                          std::vector<std::string>& texts, std::string& error) {
  std::vector<std::string> pieces;
  if (!ValidateCustom(record.data, record.dataLength, pieces, error)) {
    TraceStep("refused by the plug-in: %s", error.c_str());
    return Built{false, false};
  }
  TraceStep("the plug-in made %zu message(s)", pieces.size());
  for (size_t i = 0; i < pieces.size(); ++i) {
    std::string& piece = pieces[i];
    UniformMessage message;
    if (BuildXmlMessage(CleanUtf8(piece.data(), static_cast<int32_t>(piece.size())), mapper.GetMessageType(),
                        message)) {
      messages.push_back(std::move(message));
      texts.push_back(std::move(piece));
    } else if (CurrentTrace() != nullptr) {
      TraceStep("plug-in message %zu is not an XML document; skipped: %s", i + 1, QuotedForTrace(piece).c_str());
    }
  }
  return Built{};
}

CDataValidator::TextCheck CDataValidator::ValidateText(const ValidationConfig& config, const CTextSubject& data,
                                                       std::string& error) {
  if (config.validationExpression.empty()) {
    TraceStep("refused: the configuration has no validation expression");
    error = Format("%s: Regular expression not specified in configuration file", kValidateText);
    return TextCheck::kInvalid;
  }
  if (!config.validationRegex) {
    // Logged once when the configuration loaded; every line is dropped until the expression is corrected.
    TraceStep("refused: the validation expression does not compile (%s)", config.validationError.c_str());
    error = Format("%s: Invalid regular expression in configuration file (%s)", kValidateText,
                   config.validationError.c_str());
    return TextCheck::kInvalid;
  }
  try {
    if (config.validationRegex->FullMatch(data)) return TextCheck::kValid;
  } catch (const std::exception& e) {
    // Catastrophic expressions end at the engine's own complexity and stack limits.
    TraceStep("failed: the validation expression could not be matched (%s)", e.what());
    error = Format("%s: Regular expression could not be matched (%s)", kValidateText, e.what());
    return TextCheck::kFailed;
  }
  TraceStep("refused by the validation expression");
  error = Format("%s: Incoming data does not match regular expression", kValidateText);
  return TextCheck::kInvalid;
}

bool CDataValidator::ValidateCustom(const char* data, int32_t length, std::vector<std::string>& texts,
                                    std::string& error) {
  texts.clear();
  if (plugin_ == nullptr) {
    error = "Custom Validation - Data validator is not loaded";
    return false;
  }
  if (pluginBuffer_.size() != kPluginBufferSize) pluginBuffer_.assign(kPluginBufferSize, '\0');
  pluginBuffer_[0] = '\0';
  uint32_t size = kPluginBufferSize;
  uint32_t count = 0;
  bool ok = false;
  try {
    ok = plugin_->Validate(reinterpret_cast<const uint8_t*>(data), length > 0 ? static_cast<uint32_t>(length) : 0,
                           pluginBuffer_.data(), &size, &count);
  } catch (...) {
    error = Format("%s: the validator plug-in failed", kValidateCustom);
    return false;
  }
  // A plug-in must not make us read past the buffer it was given, nor past
  // the end of its text into what an earlier block left there.
  const std::string text(pluginBuffer_.data(), strnlen(pluginBuffer_.data(), std::min(size, kPluginBufferSize)));
  if (!ok) {
    error = text;
    return false;
  }
  if (count > 1) {
    texts = Split(text, "[FF]");
  } else if (!text.empty()) {
    texts.push_back(text);
  }
  return true;
}

IDataCallback* CDataValidator::Target() {
  IDataCallback* ex = driver_.GetCallbackEx();
  return ex != nullptr ? ex : driver_.GetCallback();
}

void CDataValidator::Log(uint8_t isError, const char* text) {
  // The text is the plug-in's and may hold device data: never a format.
  logger_.Log(isError == 1 ? kLogError : kLogInfo, kCatValidation, "%s", text != nullptr ? text : "");
}

void CDataValidator::ReportMetadata(int32_t kind, int32_t channel, int32_t format, const SYSTEMTIME* time,
                                    const char* text, int32_t textLength) {
  IDataCallback* ex = driver_.GetCallbackEx();
  if (ex == nullptr) return;
  // A host that opens with OpenEx passes an IDataCallbackEx as its IDataCallback face.
  static_cast<IDataCallbackEx*>(ex)->OnMetadata(kind, channel, format, time, text, textLength);
}

void CDataValidator::ReportData(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength,
                                const char* text, int32_t textLength, int32_t reserved, const char* encoding) {
  if (const HandedData* handed = handedData;
      handed != nullptr && handed->validator == this && text == handed->handed && textLength == handed->handedLength) {
    // The whole block as raw text: what the channel delivered, not the document made from it.
    text = handed->delivered;
    textLength = handed->deliveredLength;
  }
  if (IDataCallback* target = Target()) {
    target->OnData(channel, searchData, source, sourceLength, text, textLength, reserved, encoding);
  }
}

void CDataValidator::ReportEvent(uint8_t channel, int32_t eventNumber, ISearchData* searchData, const char* source,
                                 int32_t sourceLength, const char* text, int32_t textLength, int32_t reserved) {
  std::shared_ptr<TimerState> state;
  std::optional<RecursiveLockGuard> guard;
  // Without End events nothing is pending to keep in step with: no lock per event.
  if (EndEventSeconds(driver_) != 0) {
    state = timer_;
    guard.emplace(state->lock);
    if (state->pending.size() < pendingLimit_) {
      // Drops are warnings to the host, which only hears errors: said when they start and when they end.
      if (state->dropped > 0) {
        logger_.Log(kLogError, kCatValidation, "%s: %llu End events were dropped while %zu were pending", kReportEvent,
                    static_cast<unsigned long long>(state->dropped), pendingLimit_);
        state->dropped = 0;
      }
      PendingEndEvent& pending = state->pending.emplace_back();
      pending.channel = channel;
      pending.reported = clock_.Now();
      pending.eventNumber = eventNumber + 1;
      if (source != nullptr && sourceLength > 0) pending.source.assign(source, static_cast<size_t>(sourceLength));
      pending.text = "End of ";
      if (text != nullptr && textLength > 0) pending.text.append(text, static_cast<size_t>(textLength));
      pending.reserved = reserved;
    } else if (state->dropped++ == 0) {
      logger_.Log(kLogError, kCatValidation, "%s: %zu End events are pending; further End events are dropped",
                  kReportEvent, pendingLimit_);
    }
  }
  if (IDataCallback* target = Target()) {
    target->OnEvent(channel, eventNumber, searchData, source, sourceLength, text, textLength, reserved, "utf-8");
  }
}

size_t CDataValidator::PendingEndEventCount() {
  const std::shared_ptr<TimerState> state = timer_;
  RecursiveLockGuard guard(state->lock);
  return state->pending.size();
}

void CDataValidator::StartTimer() {
  StopTimer();
  const std::shared_ptr<TimerState> state = timer_;
  state->stop.Reset();
  state->finished.Reset();
  try {
    timerThread_ = std::thread(&CDataValidator::TimerThread, state, std::cref(clock_), tick_, EndEventSeconds(driver_),
                               Target(), &logger_);
  } catch (const std::exception&) {
    logger_.Log(kLogError, kCatValidation, "%s: Unable to start timer thread", kStartTimer);
    StopTimer();
    return;
  }
  logger_.Log(kLogInfo, kCatValidation, "%s: Timer thread started OK", kStartTimer);
}

void CDataValidator::StopTimer() {
  std::shared_ptr<TimerState> state = timer_;
  state->stop.Set();
  if (timerThread_.joinable()) {
    if (state->finished.Wait(kTimerJoinLimit)) {
      timerThread_.join();
    } else {
      // Most likely stuck in a host callback. It only holds its own state, so it may finish later on its own.
      logger_.Log(kLogError, kCatValidation, "%s: Timer thread did not stop within %lld ms", kStopTimer,
                  static_cast<long long>(kTimerJoinLimit.count()));
      timerThread_.detach();
      timer_ = std::make_shared<TimerState>();
      timer_->stop.Set();
      return;
    }
  }
  RecursiveLockGuard guard(state->lock);
  state->pending.clear();
}

void CDataValidator::TimerThread(std::shared_ptr<TimerState> state, const Clock& clock, std::chrono::milliseconds tick,
                                 int32_t seconds, IDataCallback* target, IDebug* logger) {
  // 64 bits: delays of any length, counted on the monotonic clock.
  const auto delay = std::chrono::seconds(static_cast<int64_t>(seconds));
  for (;;) {
    if (clock.WaitFor(state->stop, tick)) break;
    RecursiveLockGuard guard(state->lock);
    while (!state->pending.empty() && !state->stop.IsSet()) {
      if (clock.Now() - state->pending.front().reported < delay) break;
      const PendingEndEvent entry = std::move(state->pending.front());
      state->pending.pop_front();
      if (target == nullptr) continue;
      CSearchData searchData(FileTimeToSystemTime(clock.UtcFileTime()));
      try {
        target->OnEvent(static_cast<uint8_t>(entry.channel), entry.eventNumber, &searchData, entry.source.c_str(),
                        static_cast<int32_t>(entry.source.size()), entry.text.c_str(),
                        static_cast<int32_t>(entry.text.size()), entry.reserved, nullptr);
      } catch (...) {
        if (!state->stop.IsSet()) {
          logger->Log(kLogError, kCatValidation, "%s: DataCallback exception", kTimerThread);
        }
      }
    }
  }
  state->finished.Set();
}

bool CDataValidator::LoadCustomValidator(const std::string& name) {
  std::string message;
  if (!dll_.ConnectDLL(name, message)) {
    logger_.Log(kLogError, kCatValidation, "%s", message.c_str());
    UnloadCustomValidator();
    return false;
  }
  try {
    create_ = dll_.GetCreateFunction();
    release_ = dll_.GetReleaseFunction();
  } catch (const std::exception& e) {
    logger_.Log(kLogError, kCatValidation, "%s: %s", kLoadCustomValidator, e.what());
    UnloadCustomValidator();
    throw;
  }
  if (create_ == nullptr || release_ == nullptr) {
    logger_.Log(kLogError, kCatValidation, "%s: Cannot load custom data validator DLL functions", kLoadCustomValidator);
    UnloadCustomValidator();
    return false;
  }
  try {
    plugin_ = create_();
  } catch (...) {
    plugin_ = nullptr;
  }
  if (plugin_ == nullptr) {
    logger_.Log(kLogError, kCatValidation, "%s: Cannot create custom data validator", kLoadCustomValidator);
    UnloadCustomValidator();
    return false;
  }
  endpoint_ = driver_.GetDeviceEndpoint();
  bool opened = false;
  try {
    opened = plugin_->Open(this, &endpoint_);
  } catch (...) {
    opened = false;
  }
  if (!opened) {
    logger_.Log(kLogError, kCatValidation, "%s: Cannot open custom data validator", kLoadCustomValidator);
    UnloadCustomValidator();
    return false;
  }
  logger_.Log(kLogInfo, kCatValidation, "%s: Custom validator %s is loaded", kLoadCustomValidator, name.c_str());
  return true;
}

void CDataValidator::UnloadCustomValidator() {
  if (plugin_ != nullptr) {
    try {
      plugin_->Close();
      if (release_ != nullptr) release_(&plugin_);
    } catch (...) {
      logger_.Log(kLogError, kCatValidation, "%s: the validator plug-in failed while closing", kUnloadCustomValidator);
    }
    plugin_ = nullptr;
  }
  create_ = nullptr;
  release_ = nullptr;
  if (dll_.IsLoaded() && !dll_.DisconnectDLL()) {
    logger_.Log(kLogWarn, kCatValidation, "%s: Unable to free library \"%s\"", kUnloadCustomValidator,
                dll_.GetPath().c_str());
  }
}

void CDataValidator::ResetCustomValidator() {
  if (type_ != kValidationCustom || plugin_ == nullptr) return;
  logger_.Log(kLogDiagnostic, kCatValidation, "%s: Reset custom validator", kResetCustomValidator);
  try {
    plugin_->Reset();
  } catch (...) {
    logger_.Log(kLogError, kCatValidation, "%s: the validator plug-in failed", kResetCustomValidator);
  }
}

}  // namespace korvane
