// Callback interfaces the recording host implements and the driver calls.
#pragma once

#include <cstdint>

#include "kestrel/search_data.h"
#include "kestrel/system_time.h"

namespace korvane {

/// The host's callback object, given to IDataAPI::Open.
///
/// Not owned by the driver. Calls arrive on the driver's channel thread, on
/// its End-event timer thread and (OnLog) on any thread that logs; every text
/// is UTF-8 and, like `searchData`, valid only during the call. Slot 0 (the
/// destructor) is never called by the driver. Slot order is part of the binary
/// contract; build host and driver with compilers of the same C++ ABI.
class IDataCallback {
 public:
  virtual ~IDataCallback() = default;
  /// Raw or mapped text data. `encoding` is always "utf-8".
  virtual void OnData(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength,
                      const char* data, int32_t dataLength, int32_t reserved, const char* encoding) = 0;
  /// A named event; `eventNumber` can be translated with IDataAPI::GetEventName.
  /// `encoding` is "utf-8", or null for delayed "End of" events.
  virtual void OnEvent(uint8_t channel, int32_t eventNumber, ISearchData* searchData, const char* source,
                       int32_t sourceLength, const char* eventText, int32_t eventTextLength, int32_t reserved,
                       const char* encoding) = 0;
  /// The device asked for its display to be cleared; every field but `channel` is zero.
  virtual void OnClearScreen(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength,
                             int32_t reserved) = 0;
  /// A notification value whose meaning is the host's.
  virtual void OnNotify(int32_t value) = 0;
  /// A diagnostic line: severity 1 error, 2 warning, 3 information.
  virtual void OnLog(int32_t severity, const char* text) = 0;
  /// The channel's listening port could not be opened (repeated once a second).
  virtual void OnOpenFailed(int32_t channel) = 0;
};

/// The second face of a callback object given to IDataAPIEx::OpenEx.
class IMetadataCallback {
 public:
  virtual ~IMetadataCallback() = default;
  /// Metadata produced by the mapping rules. `metadataChannel` is zero-based.
  virtual void OnMetadata(int32_t kind, int32_t metadataChannel, int32_t format, const SYSTEMTIME* time,
                          const char* data, int32_t dataLength) = 0;
};

/// A callback object that also receives metadata. A host that opens the driver
/// with OpenEx must pass an object of this type (as its IDataCallback face).
class IDataCallbackEx : public IDataCallback, public IMetadataCallback {};

}  // namespace korvane
