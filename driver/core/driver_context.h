// What one opening of the driver shares with the threads it starts: the host
// callbacks, the logger, the validator with its mapper, the event names and
// the search tags.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>

#include "driver/common/driver_interfaces.h"
#include "driver/common/event_storage.h"
#include "driver/support/recursive_lock.h"
#include "plugins/common/validator_api.h"

namespace korvane {

class CDataValidator;
class CDebugLogger;

/// The faces the channel, the validator and the mapper call (IDataDriver,
/// IDebug, IDriver), with everything behind them, for one Open.
///
/// Lifetime: the driver holds the context through a shared pointer and its
/// channel keeps a second reference (CChannelBase::KeepAlive). A channel
/// thread that Stop left behind (a host callback that blocks past the join
/// limit) therefore still finds the validator, mapper, event names and logger
/// it was using when it wakes, however long after Close or ReleaseDriver.
/// Close ends every call to the host from this context at once; the
/// validator goes with the last reference.
///
/// Threads: constructed, filled and closed on the host thread; the faces are
/// called on the channel's threads and the validator's timer thread.
class CDriverContext final : public IDataDriver, public IDebug, public IDriver {
 public:
  /// A context for `callback` (and `callbackEx` after OpenEx, else null); with
  /// `withLogger` it opens the debug logger, which reports to `callback`.
  CDriverContext(IDataCallback* callback, IDataCallback* callbackEx, bool withLogger);
  ~CDriverContext();
  CDriverContext(const CDriverContext&) = delete;
  CDriverContext& operator=(const CDriverContext&) = delete;

  /// Stops every call to the host from this context and closes the logger.
  /// With `lastOwner` (no channel thread left behind) it also stops the
  /// End-event timer, releases the validator (plug-in unloaded, mapper
  /// destroyed) and clears the event names and search tags; otherwise that
  /// waits for the last reference, so Close never waits for a thread that is
  /// still inside the host. Host thread; called once.
  void Close(bool lastOwner);

  /// The validator; set once, before the channel starts.
  void SetValidator(std::unique_ptr<CDataValidator> validator);
  CDataValidator* Validator() const { return validator_.get(); }
  void SetValidationType(int32_t type) { validationCode_.store(type, std::memory_order_relaxed); }
  void SetDeviceEndpoint(const DeviceEndpoint& device) { device_ = device; }
  void SetCaseSensitive(bool caseSensitive) { caseSensitive_ = caseSensitive; }

  /// Hands metadata to the host's metadata face (OpenEx only). Never throws.
  void ForwardMetadata(int32_t kind, int32_t metadataChannel, int32_t format, const SYSTEMTIME* time, const char* data,
                       int32_t dataLength);
  /// Level and file output of the logger, from the configuration file.
  void ConfigureLogger(uint8_t level, bool fileLogging);
  /// Writes one formatted line to the logger, if it is open.
  void LogText(int32_t level, int32_t category, const std::string& message);
  /// Formats `format` with `args` and logs it; a failed formatting drops the line.
  void LogFormatted(int32_t level, int32_t category, const char* format, va_list args);

  // IDataDriver
  void OnChannelData(const ChannelData* record) override;
  void ForwardEvent(const ChannelData* record, int32_t eventNumber) override;
  void OnClearScreen(const ChannelData* record) override;
  void ForwardNotify(int32_t value) override;
  void OnOpenFailed(int32_t channel) override;
  void ResetCustomValidator() override;
  int32_t GetValidationType() override;

  // IDebug
  void Log(int32_t level, int32_t category, const char* format, ...) override __attribute__((format(printf, 4, 5)));
  void LogPacket(const char* data, int32_t length) override;

  /// The host's own callback objects, as given to Open.
  IDataCallback* HostCallback() const { return callback_; }
  IDataCallback* HostCallbackEx() const { return callbackEx_; }

  // IDriver. The callbacks handed out forward to the host until the context
  // is closed and drop every call after that (also the End-event timer's).
  IDataCallback* GetCallback() override;
  IDataCallback* GetCallbackEx() override;
  DeviceEndpoint GetDeviceEndpoint() override { return device_; }
  CEventStorage* GetEventStorage() override { return &eventStorage_; }
  SearchTagList* GetSearchTags() override { return &searchTags_; }
  void IsCaseSensitive(bool* out) override;

 private:
  /// Stands between the validator and the host: forwards while the context
  /// is open. Touches nothing of its own after the host returns, so a caller
  /// left in the host may come back after the context is gone.
  class HostGate final : public IDataCallbackEx {
   public:
    explicit HostGate(const CDriverContext& context) : context_(context) {}
    void OnData(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength, const char* data,
                int32_t dataLength, int32_t reserved, const char* encoding) override;
    void OnEvent(uint8_t channel, int32_t eventNumber, ISearchData* searchData, const char* source,
                 int32_t sourceLength, const char* eventText, int32_t eventTextLength, int32_t reserved,
                 const char* encoding) override;
    void OnClearScreen(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength,
                       int32_t reserved) override;
    void OnNotify(int32_t value) override;
    void OnLog(int32_t severity, const char* text) override;
    void OnOpenFailed(int32_t channel) override;
    void OnMetadata(int32_t kind, int32_t metadataChannel, int32_t format, const SYSTEMTIME* time, const char* data,
                    int32_t dataLength) override;

   private:
    const CDriverContext& context_;
  };

  /// The callback data goes to: callbackEx when set, else callback; null once closed.
  IDataCallback* DataTarget() const;
  bool Closed() const { return closed_.load(std::memory_order_acquire); }

  IDataCallback* const callback_;
  IDataCallback* const callbackEx_;
  std::atomic<bool> closed_{false};
  HostGate gate_{*this};
  std::atomic<int32_t> validationCode_{kValidationNone};
  DeviceEndpoint device_;
  bool caseSensitive_ = false;
  CEventStorage eventStorage_;
  SearchTagList searchTags_;
  RecursiveLock logLock_;
  std::unique_ptr<CDebugLogger> logger_;  // guarded by logLock_
  std::unique_ptr<CDataValidator> validator_;
};

}  // namespace korvane
