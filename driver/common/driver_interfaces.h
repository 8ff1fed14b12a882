// The driver's internal faces: what channels, the validator and the mappers
// call on the driver object.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/common/channel_data.h"
#include "kestrel/data_callback.h"
#include "plugins/common/validator_api.h"

namespace korvane {

class CEventStorage;

/// Validation type codes.
enum ValidationType : int32_t {
  kValidationNone = 0,
  kValidationXsd = 1,
  kValidationText = 2,
  kValidationBinary = 3,
  kValidationCustom = 4,
};

/// Log levels and categories understood by IDebug::Log.
enum LogLevel : int32_t { kLogSeparator = 0, kLogInfo = 1, kLogWarn = 2, kLogError = 3, kLogDiagnostic = 4 };
enum LogCategory : int32_t {
  kCatNone = 0,
  kCatValidation = 1,
  kCatConfiguration = 2,
  kCatChannel = 3,
  kCatHttpChannel = 4,
  kCatRtspChannel = 5,
  kCatSerialChannel = 6,
  kCatTcpChannel = 7,
  kCatUdpChannel = 8,
  kCatMapper = 9,
};

/// One entry of the driver-wide search-tag list.
struct SearchTag {
  std::string name;
  int32_t id = 0;
};
using SearchTagList = std::vector<SearchTag>;

/// The driver as its channel sees it. Called on the channel's worker thread.
class IDataDriver {
 public:
  /// Validates and maps one message, or hands it to the host's OnData.
  virtual void OnChannelData(const ChannelData* record) = 0;
  virtual void ForwardEvent(const ChannelData* record, int32_t eventNumber) = 0;
  virtual void OnClearScreen(const ChannelData* record) = 0;
  virtual void ForwardNotify(int32_t value) = 0;
  virtual void OnOpenFailed(int32_t channel) = 0;
  virtual void ResetCustomValidator() = 0;
  /// 1 xsd, 2 text, 3 binary, 4 custom, 0 none.
  virtual int32_t GetValidationType() = 0;

 protected:
  ~IDataDriver() = default;
};

/// Diagnostics sink. Thread-safe; never fails and never throws.
class IDebug {
 public:
  /// printf-style message at `level` (LogLevel) in `category` (LogCategory).
  virtual void Log(int32_t level, int32_t category, const char* format, ...) __attribute__((format(printf, 4, 5))) = 0;
  /// Appends raw received bytes to the packet dump (when enabled).
  virtual void LogPacket(const char* data, int32_t length) = 0;

 protected:
  ~IDebug() = default;
};

/// The driver as the validator and the mappers see it.
class IDriver {
 public:
  virtual IDataCallback* GetCallback() = 0;
  virtual IDataCallback* GetCallbackEx() = 0;
  virtual DeviceEndpoint GetDeviceEndpoint() = 0;
  /// Never null while the driver object lives.
  virtual CEventStorage* GetEventStorage() = 0;
  /// Never null while the driver object lives.
  virtual SearchTagList* GetSearchTags() = 0;
  virtual void IsCaseSensitive(bool* out) = 0;

 protected:
  ~IDriver() = default;
};

}  // namespace korvane
