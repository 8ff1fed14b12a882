// The driver object: one per device, owning its channel, validator, event
// names, search tags and logger.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "driver/common/channel_settings.h"
#include "driver/common/driver_interfaces.h"
#include "driver/common/event_storage.h"
#include "driver/core/driver_context.h"
#include "driver/core/model_table.h"
#include "driver/support/event.h"
#include "kestrel/data_api.h"
#include "plugins/common/validator_api.h"

namespace korvane {

class CChannelBase;
class MessageTrace;

/// The object behind CreateDriver. Host-facing operations never throw.
///
/// Threads: the host calls IDataAPIEx. The channel and the validator do not
/// call this object: each Open builds a CDriverContext that they call
/// instead and that outlives Close and ReleaseDriver for as long as a channel
/// thread left behind by Stop still runs. The driver's own IDataDriver,
/// IDebug and IDriver faces answer for the current context. Open and Close
/// must not overlap any other host call.
class CKestrelDriver final : public IDataAPIEx, public IDataDriver, public IDebug, public IDriver {
 public:
  CKestrelDriver();
  ~CKestrelDriver() override;
  CKestrelDriver(const CKestrelDriver&) = delete;
  CKestrelDriver& operator=(const CKestrelDriver&) = delete;

  // IDataAPI / IDataAPIEx
  int32_t GetInterfaceVersion() override;
  bool Open(IDataCallback* callback, IDriverSettings* settings) override;
  bool Close() override;
  bool StartChannel(uint8_t channel, int32_t reserved) override;
  bool StopChannel(uint8_t channel) override;
  bool IsReady() override;
  const char* GetEventName(int32_t eventId) override;
  const char* GetSearchTagName(int32_t index, int32_t* id) override;
  bool GetChannelStatus(uint8_t channel, int32_t* status1, int32_t* status2, char* text, uint32_t textSize) override;
  bool OpenEx(IDataCallback* callback, IDriverSettings* settings) override;

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

  // IDriver
  IDataCallback* GetCallback() override;
  IDataCallback* GetCallbackEx() override;
  DeviceEndpoint GetDeviceEndpoint() override;
  CEventStorage* GetEventStorage() override;
  SearchTagList* GetSearchTags() override;
  void IsCaseSensitive(bool* out) override;

  /// Hands metadata to the host's metadata face; dropped unless the driver was
  /// opened through OpenEx. Never throws.
  void ForwardMetadata(int32_t kind, int32_t metadataChannel, int32_t format, const SYSTEMTIME* time, const char* data,
                       int32_t dataLength);

  // Configuration, run by Open (configuration.cpp).

  /// Reads the model's parameters and configuration file and creates its
  /// channel. `validation` and `customValidator` receive those parameters.
  bool OpenModel(const std::string& model, IDriverSettings* settings, std::string& validation,
                 std::string& customValidator);
  bool ReadSerialParameters(IDriverSettings& settings, ChannelSettings& config);
  bool ReadUDPParameters(IDriverSettings& settings, ChannelSettings& config);
  bool ReadTCPParameters(IDriverSettings& settings, ChannelSettings& config);
  bool ReadTCPClientParameters(IDriverSettings& settings, ChannelSettings& config);
  bool ReadHttpParameters(IDriverSettings& settings, ChannelSettings& config);
  bool ReadHttpServerParameters(IDriverSettings& settings, ChannelSettings& config);
  bool ReadRtspParameters(IDriverSettings& settings, ChannelSettings& config);
  /// Also fills the proxy registration kept by the driver.
  bool ReadProxyParameters(IDriverSettings& settings, ChannelSettings& config);
  /// Also fills the Intrepid proxy registration kept by the driver.
  bool ReadIntrepidProxyParameters(IDriverSettings& settings, ChannelSettings& config);
  /// The tail shared by every reader: "End" seconds and the configuration file.
  bool ReadCommonParameters(IDriverSettings& settings, ChannelSettings& config, int32_t fileIndex,
                            int32_t secondsIndex);
  /// Loads `path` (resolved against the host directory) and applies its
  /// logging, channel, mapper-flag and additional sections.
  bool ReadConfigurationFile(ChannelSettings& config, const std::string& path);

  bool UsesLegacyMapper() const { return legacyMapper_; }
  const std::string& GetConfigFile() const { return configFile_; }
  const ProxySettings& GetProxySettings() const { return proxy_; }
  const ProxySettings& GetIntrepidProxySettings() const { return intrepidProxy_; }

  /// How long queries wait for Open to finish (10 s by default).
  void SetOpenedWait(std::chrono::milliseconds wait) { openedWaitMs_ = wait.count(); }
  /// Plays device bytes through the channel's framing, validation and mapping
  /// while `trace` hears every step (see CChannelBase::PlaySample). False
  /// when the driver is not open or its channel runs. Host thread.
  bool PlaySample(std::string_view bytes, MessageTrace& trace);
  /// Replaces the model table's channel factory for every model (null restores
  /// the table). Lets a test or an embedding program supply its own channel.
  void SetChannelFactory(ChannelFactory factory) { channelFactory_ = factory; }

 private:
  bool OpenWith(IDataCallback* callback, IDataCallback* callbackEx, IDriverSettings* settings);
  bool CreateDataValidator(const std::string& validation, const std::string& customValidator);
  void CloseAll();
  /// Waits for Open to have finished; logs under `operation` when it has not.
  void WaitUntilOpened(const char* operation);
  void LogException(const char* operation, const char* what);

  // What this Open shares with its threads; a closed, empty one between Close and Open.
  std::shared_ptr<CDriverContext> context_;
  std::unique_ptr<CChannelBase> channel_;
  std::string configFile_;
  DeviceEndpoint device_;
  ProxySettings proxy_;
  ProxySettings intrepidProxy_;
  std::string validationType_;
  std::atomic<int32_t> validationCode_{kValidationNone};  // validationType_ decoded
  bool legacyMapper_ = true;
  bool caseSensitive_ = false;
  Event openedEvent_{Event::Mode::kManualReset};
  std::atomic<int64_t> openedWaitMs_{10000};
  ChannelFactory channelFactory_ = nullptr;
};

}  // namespace korvane
