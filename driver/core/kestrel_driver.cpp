#include "driver/core/kestrel_driver.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "driver/channels/channel_base.h"
#include "driver/channels/proxy_config_provider.h"
#include "driver/core/exception_firewall.h"
#include "driver/support/message_trace.h"
#include "driver/support/string_utils.h"
#include "driver/validation/data_validator.h"

namespace korvane {
namespace {

constexpr char kProxyConfigFile[] = "KSLProxyConfig.xml";

}  // namespace

CKestrelDriver::CKestrelDriver() : context_(std::make_shared<CDriverContext>(nullptr, nullptr, false)) {}

CKestrelDriver::~CKestrelDriver() {
  CallGuardedVoid([this] { CloseAll(); }, [](const char*) {});
}

int32_t CKestrelDriver::GetInterfaceVersion() { return 3; }

bool CKestrelDriver::Open(IDataCallback* callback, IDriverSettings* settings) {
  return OpenWith(callback, nullptr, settings);
}

bool CKestrelDriver::OpenEx(IDataCallback* callback, IDriverSettings* settings) {
  return OpenWith(callback, callback, settings);
}

bool CKestrelDriver::OpenWith(IDataCallback* callback, IDataCallback* callbackEx, IDriverSettings* settings) {
  const bool result = CallGuarded(
      false,
      [&] {
        // Opening an open driver starts from scratch rather than leaking the
        // old channel's registration and duplicating event names.
        if (channel_ != nullptr || context_->Validator() != nullptr) CloseAll();
        context_ = std::make_shared<CDriverContext>(callback, callbackEx, true);
        const char* model = settings != nullptr ? settings->GetModel() : nullptr;
        const std::string modelName = model != nullptr ? model : "";
        std::string validation;
        std::string customValidator;
        if (!OpenModel(modelName, settings, validation, customValidator)) {
          Log(kLogError, kCatNone, "%s: Unable to open model/device: '%s'", "korvane::CKestrelDriver::Open",
              modelName.c_str());
          CloseAll();
          return false;
        }
        context_->SetDeviceEndpoint(device_);
        context_->SetCaseSensitive(caseSensitive_);
        if (!CreateDataValidator(validation, customValidator)) {
          CloseAll();
          return false;
        }
        return true;
      },
      [this](const char*) {
        Log(kLogError, kCatNone, "Unable to open driver - exception is occurred");
        // Do not leave a half-built channel behind a failed Open.
        CallGuardedVoid([this] { CloseAll(); }, [](const char*) {});
      });
  openedEvent_.Set();
  return result;
}

bool CKestrelDriver::CreateDataValidator(const std::string& validation, const std::string& customValidator) {
  validationType_ = validation;
  // Channels ask for the type with every message; decode the name once here.
  const std::string name = ToLower(validation);
  int32_t type = kValidationNone;
  if (name == "xsd") {
    type = kValidationXsd;
  } else if (name == "text") {
    type = kValidationText;
  } else if (name == "binary") {
    type = kValidationBinary;
  } else if (name == "custom") {
    type = kValidationCustom;
  }
  validationCode_.store(type, std::memory_order_relaxed);
  context_->SetValidationType(type);
  if (type == kValidationNone) return true;
  // The validator reports through the context, never through this object.
  std::unique_ptr<CDataValidator> validator(new (std::nothrow) CDataValidator(*context_, *context_));
  if (validator == nullptr) {
    Log(kLogError, kCatValidation, "%s: Unable to create data validator",
        "korvane::CKestrelDriver::CreateDataValidator");
    return false;
  }
  CDataValidator& created = *validator;
  context_->SetValidator(std::move(validator));
  if (!created.Initialize(type, configFile_, customValidator, legacyMapper_)) {
    Log(kLogError, kCatValidation, "%s: Unable to initialize data validator",
        "korvane::CKestrelDriver::CreateDataValidator");
    return false;
  }
  return true;
}

bool CKestrelDriver::Close() {
  CallGuardedVoid([this] { CloseAll(); },
                  [this](const char* what) { LogException("korvane::CKestrelDriver::Close", what); });
  return true;
}

void CKestrelDriver::CloseAll() {
  auto fresh = std::make_shared<CDriverContext>(nullptr, nullptr, false);
  openedEvent_.Reset();
  // The channel goes first: deleting it stops the threads that feed the
  // validator. A thread that misses the join limit keeps the context alive.
  channel_.reset();
  std::shared_ptr<CDriverContext> context = std::exchange(context_, nullptr);
  context->Close(context.use_count() == 1);
  context.reset();
  context_ = std::move(fresh);
  // An empty registration matches nothing in the proxy file; skip the file then.
  if (!proxy_.service.empty() || !intrepidProxy_.service.empty()) {
    CProxyConfigProvider provider(kProxyConfigFile);
    if (!proxy_.service.empty()) provider.RemoveProxy(proxy_);
    if (!intrepidProxy_.service.empty()) provider.RemoveIntrepidProxy(intrepidProxy_);
  }
  proxy_ = ProxySettings{};
  intrepidProxy_ = ProxySettings{};
}

void CKestrelDriver::WaitUntilOpened(const char* operation) {
  if (!openedEvent_.Wait(std::chrono::milliseconds(openedWaitMs_.load()))) {
    Log(kLogError, kCatNone, "%s: Driver still is not opened!", operation);
  }
}

bool CKestrelDriver::StartChannel(uint8_t channel, int32_t /*reserved*/) {
  constexpr const char* kName = "korvane::CKestrelDriver::StartChannel";
  return CallGuarded(
      false,
      [&] {
        WaitUntilOpened(kName);
        if (channel != 0) {
          Log(kLogError, kCatNone, "%s: Cannot start channel, invalid channel index %d", kName, channel);
          return false;
        }
        if (channel_ == nullptr) {
          Log(kLogError, kCatNone, "%s: Cannot start channel, channel not created", kName);
          return false;
        }
        return channel_->Start();
      },
      [&](const char* what) { LogException(kName, what); });
}

bool CKestrelDriver::StopChannel(uint8_t channel) {
  constexpr const char* kName = "korvane::CKestrelDriver::StopChannel";
  return CallGuarded(
      false,
      [&] {
        WaitUntilOpened(kName);
        if (channel != 0) {
          Log(kLogError, kCatNone, "%s: Cannot stop channel, invalid channel index %d", kName, channel);
          return false;
        }
        if (channel_ == nullptr) {
          Log(kLogError, kCatNone, "%s: Cannot stop channel, channel not created", kName);
          return false;
        }
        channel_->Stop();
        return true;
      },
      [&](const char* what) { LogException(kName, what); });
}

bool CKestrelDriver::IsReady() { return true; }

const char* CKestrelDriver::GetEventName(int32_t eventId) {
  constexpr const char* kName = "korvane::CKestrelDriver::GetEventName";
  return CallGuarded(
      static_cast<const char*>(nullptr),
      [&] {
        WaitUntilOpened(kName);
        return context_->GetEventStorage()->GetEventText(eventId);
      },
      [&](const char* what) { LogException(kName, what); });
}

const char* CKestrelDriver::GetSearchTagName(int32_t index, int32_t* id) {
  constexpr const char* kName = "korvane::CKestrelDriver::GetSearchTagName";
  return CallGuarded(
      static_cast<const char*>(nullptr),
      [&]() -> const char* {
        WaitUntilOpened(kName);
        const SearchTagList& tags = *context_->GetSearchTags();
        if (index < 1 || static_cast<size_t>(index) > tags.size()) return nullptr;
        const SearchTag& tag = tags[static_cast<size_t>(index) - 1];
        if (id != nullptr) *id = tag.id;
        return tag.name.c_str();
      },
      [&](const char* what) { LogException(kName, what); });
}

bool CKestrelDriver::GetChannelStatus(uint8_t channel, int32_t* status1, int32_t* status2, char* text,
                                      uint32_t textSize) {
  constexpr const char* kName = "korvane::CKestrelDriver::GetChannelStatus";
  return CallGuarded(
      false,
      [&] {
        WaitUntilOpened(kName);
        if (channel != 0 || channel_ == nullptr) return false;
        if (status1 != nullptr) *status1 = 1;
        if (status2 != nullptr) *status2 = 1;
        if (text != nullptr && textSize > 0) text[0] = '\0';
        return true;
      },
      [&](const char* what) { LogException(kName, what); });
}

// --- the current context's faces ---

bool CKestrelDriver::PlaySample(std::string_view bytes, MessageTrace& trace) {
  if (channel_ == nullptr) return false;
  const MessageTraceScope scope(trace);
  return channel_->PlaySample(bytes);
}

void CKestrelDriver::OnChannelData(const ChannelData* record) { context_->OnChannelData(record); }
void CKestrelDriver::ForwardEvent(const ChannelData* record, int32_t eventNumber) {
  context_->ForwardEvent(record, eventNumber);
}
void CKestrelDriver::OnClearScreen(const ChannelData* record) { context_->OnClearScreen(record); }
void CKestrelDriver::ForwardNotify(int32_t value) { context_->ForwardNotify(value); }
void CKestrelDriver::OnOpenFailed(int32_t channel) { context_->OnOpenFailed(channel); }
void CKestrelDriver::ForwardMetadata(int32_t kind, int32_t metadataChannel, int32_t format, const SYSTEMTIME* time,
                                     const char* data, int32_t dataLength) {
  context_->ForwardMetadata(kind, metadataChannel, format, time, data, dataLength);
}
void CKestrelDriver::ResetCustomValidator() { context_->ResetCustomValidator(); }
int32_t CKestrelDriver::GetValidationType() { return validationCode_.load(std::memory_order_relaxed); }

void CKestrelDriver::Log(int32_t level, int32_t category, const char* format, ...) {
  va_list args;
  va_start(args, format);
  context_->LogFormatted(level, category, format, args);
  va_end(args);
}

void CKestrelDriver::LogPacket(const char* data, int32_t length) { context_->LogPacket(data, length); }

void CKestrelDriver::LogException(const char* operation, const char* what) {
  Log(kLogError, kCatNone, "%s: Unexpected exception: %s", operation, what != nullptr ? what : "");
}

// --- IDriver ---

IDataCallback* CKestrelDriver::GetCallback() { return context_->HostCallback(); }
IDataCallback* CKestrelDriver::GetCallbackEx() { return context_->HostCallbackEx(); }
DeviceEndpoint CKestrelDriver::GetDeviceEndpoint() { return device_; }
CEventStorage* CKestrelDriver::GetEventStorage() { return context_->GetEventStorage(); }
SearchTagList* CKestrelDriver::GetSearchTags() { return context_->GetSearchTags(); }

void CKestrelDriver::IsCaseSensitive(bool* out) {
  if (out != nullptr) *out = caseSensitive_;
}

}  // namespace korvane
