// Validates each received message, turns it into the uniform XML message and
// hands it to the mapper; forwards the mapper's reports to the host and sends
// delayed "End of" events from a timer thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/common/channel_data.h"
#include "driver/common/driver_interfaces.h"
#include "driver/support/clock.h"
#include "driver/support/event.h"
#include "driver/support/recursive_lock.h"
#include "driver/validation/configuration_snapshot.h"
#include "driver/validation/dynamic_dll.h"
#include "driver/validation/mapper_interface.h"
#include "plugins/common/validator_api.h"

namespace korvane {

class CDataValidator : public IKSLDataValidatorAPIUser, public IDataValidator {
 public:
  /// Capacity of the plug-in's output buffer: room for several joined
  /// documents; a plug-in whose text does not fit answers with a failure text.
  static constexpr uint32_t kPluginBufferSize = 64 * 1024;
  /// Pending "End of" events kept at most; beyond it new ones are dropped, and
  /// the drop and the number dropped are logged at error level.
  static constexpr size_t kMaxPendingEndEvents = 100000;

  CDataValidator(IDriver& driver, IDebug& logger);
  /// `clock` drives the End-event timer, which looks for due events every `tick`.
  CDataValidator(IDriver& driver, IDebug& logger, const Clock& clock,
                 std::chrono::milliseconds tick = std::chrono::milliseconds(300));
  ~CDataValidator() override;
  CDataValidator(const CDataValidator&) = delete;
  CDataValidator& operator=(const CDataValidator&) = delete;

  /// `type` is a ValidationType; `legacyMapper` selects the legacy rule format.
  /// A plug-in without the "CreateDriver" or "ReleaseDriver" export makes this
  /// throw std::runtime_error (the library is freed first).
  bool Initialize(int32_t type, const std::string& configFile, const std::string& customValidator, bool legacyMapper);
  /// Validates and maps one block; false with `error` set when it failed.
  /// Runs on the delivering channel thread.
  bool ValidateData(std::string& error, const ChannelData& record);
  void StartTimer();
  /// Ends the timer thread (waits up to 3000 ms) and discards pending End events.
  void StopTimer();
  bool LoadCustomValidator(const std::string& name);
  void UnloadCustomValidator();
  void ResetCustomValidator();
  int32_t GetValidationType() const;

  /// The mapper of the configuration in use, null before a successful
  /// Initialize. Valid until the configuration file changes.
  IMapper* GetMapper();
  /// The End events waiting for their delay.
  size_t PendingEndEventCount();
  /// Lowers the pending End-event limit, so tests can reach it with a few events.
  void SetPendingEndEventLimitForTesting(size_t limit) { pendingLimit_ = limit; }
  /// Number of times the configuration file was parsed.
  uint64_t ConfigurationLoadCount() const { return source_.LoadCount(); }

  // IKSLDataValidatorAPIUser
  void Log(uint8_t isError, const char* text) override;

  // IDataValidator
  void ReportMetadata(int32_t kind, int32_t channel, int32_t format, const SYSTEMTIME* time, const char* text,
                      int32_t textLength) override;
  void ReportData(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength, const char* text,
                  int32_t textLength, int32_t reserved, const char* encoding) override;
  void ReportEvent(uint8_t channel, int32_t eventNumber, ISearchData* searchData, const char* source,
                   int32_t sourceLength, const char* text, int32_t textLength, int32_t reserved) override;

 private:
  struct PendingEndEvent {
    int32_t channel = 0;
    Clock::TimePoint reported;
    int32_t eventNumber = 0;
    std::string source;
    std::string text;
    int32_t reserved = 0;
  };
  /// What the timer thread uses; shared so a thread that outlives its join
  /// time-out never touches a destroyed validator.
  struct TimerState {
    Event stop{Event::Mode::kManualReset};
    Event finished{Event::Mode::kManualReset};
    RecursiveLock lock;
    std::list<PendingEndEvent> pending;  // guarded by lock
    uint64_t dropped = 0;                // since the list was last full; guarded by lock
  };

  static void TimerThread(std::shared_ptr<TimerState> state, const Clock& clock, std::chrono::milliseconds tick,
                          int32_t seconds, IDataCallback* target, IDebug* logger);
  /// Outcome of building a block's messages: `ok` false fails the block;
  /// `map` false skips the mapping step.
  struct Built {
    bool ok = true;
    bool map = true;
  };
  Built BuildTextMessages(const ValidationConfig& config, const ChannelData& record,
                          std::vector<UniformMessage>& messages, std::string& error);
  /// `documents` receives the validated document the message was built from.
  Built BuildXsdMessage(const ConfigurationSnapshot& snapshot, const ChannelData& record,
                        std::vector<UniformMessage>& messages, std::vector<std::string>& documents, std::string& error);
  Built BuildCustomMessages(IMapper& mapper, const ChannelData& record, std::vector<UniformMessage>& messages,
                            std::vector<std::string>& texts, std::string& error);
  /// Completes a configuration snapshot: text-path definitions, schema, mapper.
  bool BuildSnapshot(CXMLParser& config, bool reload, ConfigurationSnapshot& snapshot, std::string& reason);
  /// Outcome of matching the validation expression.
  enum class TextCheck { kValid, kInvalid, kFailed };
  TextCheck ValidateText(const ValidationConfig& config, const CTextSubject& data, std::string& error);
  bool ValidateCustom(const char* data, int32_t length, std::vector<std::string>& texts, std::string& error);
  IDataCallback* Target();

  IDriver& driver_;
  IDebug& logger_;
  const Clock& clock_;
  const std::chrono::milliseconds tick_;
  int32_t type_ = kValidationNone;
  std::string configFile_;
  bool legacyMapper_ = false;
  CConfigurationSource source_;
  /// The broken expressions last logged; only BuildSnapshot, which the source runs under its lock, uses it.
  std::vector<std::string> reportedBroken_;
  CDynamicDLL dll_;
  CreateValidatorFn create_ = nullptr;
  ReleaseValidatorFn release_ = nullptr;
  IKSLDataValidatorAPI* plugin_ = nullptr;
  DeviceEndpoint endpoint_;         // kept alive for the plug-in, which may hold the pointer
  std::vector<char> pluginBuffer_;  // allocated at the first block, reused after
  size_t pendingLimit_ = kMaxPendingEndEvents;
  std::shared_ptr<TimerState> timer_;
  std::thread timerThread_;
};

}  // namespace korvane
