#include "driver/core/driver_context.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <utility>

#include "driver/core/exception_firewall.h"
#include "driver/support/debug_logger.h"
#include "driver/support/message_trace.h"
#include "driver/validation/data_validator.h"

namespace korvane {
namespace {

constexpr char kEncoding[] = "utf-8";

}  // namespace

CDriverContext::CDriverContext(IDataCallback* callback, IDataCallback* callbackEx, bool withLogger)
    : callback_(callback), callbackEx_(callbackEx) {
  if (withLogger) logger_ = std::make_unique<CDebugLogger>(callback, "");
}

// The last reference may be a channel thread that was left behind: the
// validator it was running in goes only now.
CDriverContext::~CDriverContext() { validator_.reset(); }

void CDriverContext::Close(bool lastOwner) {
  closed_.store(true, std::memory_order_release);
  // A thread left in the host may hold the validator's locks: only the last
  // owner takes the validator apart.
  if (lastOwner) {
    if (validator_ != nullptr) {
      validator_->StopTimer();
      if (validator_->GetValidationType() == kValidationCustom) validator_->UnloadCustomValidator();
      validator_.reset();
    }
    for (SearchTag& tag : searchTags_) tag.name.clear();
    searchTags_.clear();
    eventStorage_.Clear();
  }
  RecursiveLockGuard guard(logLock_);
  logger_.reset();
}

void CDriverContext::SetValidator(std::unique_ptr<CDataValidator> validator) { validator_ = std::move(validator); }

IDataCallback* CDriverContext::GetCallback() { return callback_ != nullptr ? &gate_ : nullptr; }

IDataCallback* CDriverContext::GetCallbackEx() { return callbackEx_ != nullptr ? &gate_ : nullptr; }

IDataCallback* CDriverContext::DataTarget() const {
  if (Closed()) return nullptr;
  return callbackEx_ != nullptr ? callbackEx_ : callback_;
}

void CDriverContext::IsCaseSensitive(bool* out) {
  if (out != nullptr) *out = caseSensitive_;
}

// --- data path (channel thread) ---

void CDriverContext::OnChannelData(const ChannelData* record) {
  CallGuardedVoid(
      [&] {
        if (record == nullptr) return;
        if (validator_ != nullptr) {
          std::string error;
          if (!validator_->ValidateData(error, *record)) {
            TraceStep("validation failed (%s)", error.c_str());
            Log(kLogError, kCatValidation, "Validation failed (%s)", error.c_str());
          }
          return;
        }
        TraceStep("no validation: delivered as text");
        if (IDataCallback* target = DataTarget()) {
          target->OnData(record->channel, record->searchData, record->source, record->sourceLength, record->data,
                         record->dataLength, record->reserved, kEncoding);
        }
      },
      [this](const char*) { Log(kLogError, kCatNone, "DataCallback exception"); });
}

void CDriverContext::ForwardEvent(const ChannelData* record, int32_t eventNumber) {
  CallGuardedVoid(
      [&] {
        IDataCallback* target = DataTarget();
        if (record == nullptr || target == nullptr) return;
        target->OnEvent(record->channel, eventNumber, record->searchData, record->source, record->sourceLength,
                        record->data, record->dataLength, record->reserved, kEncoding);
      },
      [this](const char*) { Log(kLogError, kCatNone, "DataCallback exception"); });
}

void CDriverContext::OnClearScreen(const ChannelData* record) {
  CallGuardedVoid(
      [&] {
        IDataCallback* target = DataTarget();
        if (record == nullptr || target == nullptr) return;
        target->OnClearScreen(record->channel, record->searchData, record->source, record->sourceLength, 0);
      },
      [this](const char*) { Log(kLogError, kCatNone, "DataCallback exception"); });
}

void CDriverContext::ForwardNotify(int32_t value) {
  CallGuardedVoid(
      [&] {
        if (IDataCallback* target = DataTarget()) target->OnNotify(value);
      },
      [this](const char*) { Log(kLogError, kCatNone, "DataCallback exception"); });
}

void CDriverContext::OnOpenFailed(int32_t channel) {
  CallGuardedVoid(
      [&] {
        // Always the plain callback; callbackEx is the same object when set.
        if (callback_ != nullptr && !Closed()) callback_->OnOpenFailed(channel);
      },
      [this](const char*) { Log(kLogError, kCatNone, "DataCallback exception"); });
}

void CDriverContext::ForwardMetadata(int32_t kind, int32_t metadataChannel, int32_t format, const SYSTEMTIME* time,
                                     const char* data, int32_t dataLength) {
  CallGuardedVoid(
      [&] {
        if (callbackEx_ != nullptr) gate_.OnMetadata(kind, metadataChannel, format, time, data, dataLength);
      },
      [this](const char*) { Log(kLogError, kCatNone, "DataCallback exception"); });
}

void CDriverContext::ResetCustomValidator() {
  CallGuardedVoid(
      [&] {
        if (validator_ != nullptr && validator_->GetValidationType() == kValidationCustom) {
          validator_->ResetCustomValidator();
        }
      },
      [this](const char* what) {
        Log(kLogError, kCatNone, "%s: Unexpected exception: %s", "korvane::CKestrelDriver::ResetCustomValidator",
            what != nullptr ? what : "");
      });
}

int32_t CDriverContext::GetValidationType() { return validationCode_.load(std::memory_order_relaxed); }

// --- the gate to the host ---

void CDriverContext::HostGate::OnData(uint8_t channel, ISearchData* searchData, const char* source,
                                      int32_t sourceLength, const char* data, int32_t dataLength, int32_t reserved,
                                      const char* encoding) {
  if (IDataCallback* target = context_.DataTarget()) {
    target->OnData(channel, searchData, source, sourceLength, data, dataLength, reserved, encoding);
  }
}

void CDriverContext::HostGate::OnEvent(uint8_t channel, int32_t eventNumber, ISearchData* searchData,
                                       const char* source, int32_t sourceLength, const char* eventText,
                                       int32_t eventTextLength, int32_t reserved, const char* encoding) {
  if (IDataCallback* target = context_.DataTarget()) {
    target->OnEvent(channel, eventNumber, searchData, source, sourceLength, eventText, eventTextLength, reserved,
                    encoding);
  }
}

void CDriverContext::HostGate::OnClearScreen(uint8_t channel, ISearchData* searchData, const char* source,
                                             int32_t sourceLength, int32_t reserved) {
  if (IDataCallback* target = context_.DataTarget()) {
    target->OnClearScreen(channel, searchData, source, sourceLength, reserved);
  }
}

void CDriverContext::HostGate::OnNotify(int32_t value) {
  if (IDataCallback* target = context_.DataTarget()) target->OnNotify(value);
}

void CDriverContext::HostGate::OnLog(int32_t severity, const char* text) {
  if (context_.callback_ != nullptr && !context_.Closed()) context_.callback_->OnLog(severity, text);
}

void CDriverContext::HostGate::OnOpenFailed(int32_t channel) {
  if (context_.callback_ != nullptr && !context_.Closed()) context_.callback_->OnOpenFailed(channel);
}

void CDriverContext::HostGate::OnMetadata(int32_t kind, int32_t metadataChannel, int32_t format, const SYSTEMTIME* time,
                                          const char* data, int32_t dataLength) {
  if (context_.callbackEx_ == nullptr || context_.Closed()) return;
  // A host that opens through OpenEx passes the IDataCallback face of an IDataCallbackEx.
  static_cast<IDataCallbackEx*>(context_.callbackEx_)
      ->OnMetadata(kind, metadataChannel, format, time, data, dataLength);
}

// --- IDebug ---

void CDriverContext::Log(int32_t level, int32_t category, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogFormatted(level, category, format, args);
  va_end(args);
}

void CDriverContext::LogFormatted(int32_t level, int32_t category, const char* format, va_list args) {
  if (format == nullptr) return;
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length < 0) return;
  std::string message;
  try {
    message.resize(static_cast<size_t>(length));
  } catch (...) {
    return;  // out of memory: the message is dropped like any other logging failure
  }
  std::vsnprintf(message.data(), message.size() + 1, format, args);
  LogText(level, category, message);
}

void CDriverContext::ConfigureLogger(uint8_t level, bool fileLogging) {
  RecursiveLockGuard guard(logLock_);
  if (logger_ != nullptr) logger_->Configure(level, fileLogging, "", "");
}

void CDriverContext::LogText(int32_t level, int32_t category, const std::string& message) {
  CallGuardedVoid(
      [&] {
        RecursiveLockGuard guard(logLock_);
        if (logger_ != nullptr) logger_->Write(message, level, category);
      },
      [](const char*) {});
}

void CDriverContext::LogPacket(const char* data, int32_t length) {
  CallGuardedVoid(
      [&] {
        if (data == nullptr || length <= 0) return;
        RecursiveLockGuard guard(logLock_);
        if (logger_ != nullptr) logger_->WritePacket(data, length);
      },
      [](const char*) {});
}

}  // namespace korvane
