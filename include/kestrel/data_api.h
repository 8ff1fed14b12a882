// The driver object as the recording host sees it.
#pragma once

#include <cstdint>

#include "kestrel/data_callback.h"
#include "kestrel/driver_settings.h"

namespace korvane {

/// One driver object serves one device through one channel (index 0).
///
/// Host threads call these operations; the host must not call Open or Close
/// while another operation runs. No operation throws. Slot order is part of
/// the binary contract; build host and driver with the same C++ ABI.
class IDataAPI {
 public:
  /// Closes the driver if it is open. Use ReleaseDriver rather than delete.
  virtual ~IDataAPI() = default;
  /// Always 3.
  virtual int32_t GetInterfaceVersion() = 0;
  /// Reads the model, its parameters and configuration, creates the channel and
  /// validator. Blocking; `callback` and `settings` stay the host's.
  virtual bool Open(IDataCallback* callback, IDriverSettings* settings) = 0;
  /// Stops and releases everything Open built; always true.
  virtual bool Close() = 0;
  /// Starts the receive thread of `channel` (0). `reserved` is ignored.
  virtual bool StartChannel(uint8_t channel, int32_t reserved) = 0;
  /// Stops the receive thread of `channel` (0); blocks up to 5 s.
  virtual bool StopChannel(uint8_t channel) = 0;
  /// Always true.
  virtual bool IsReady() = 0;
  /// Name of event number `eventId` (from 1), or null. Valid until Close.
  virtual const char* GetEventName(int32_t eventId) = 0;
  /// Search tag at 1-based `index`: its name, with its id in *id; null past the end.
  virtual const char* GetSearchTagName(int32_t index, int32_t* id) = 0;
  /// Status of `channel`: true (both values 1, empty text) for an existing channel 0.
  virtual bool GetChannelStatus(uint8_t channel, int32_t* status1, int32_t* status2, char* text, uint32_t textSize) = 0;
};

/// Adds OpenEx, which also enables metadata delivery.
class IDataAPIEx : public IDataAPI {
 public:
  /// As Open; `callback` must point at the IDataCallback face of an IDataCallbackEx.
  virtual bool OpenEx(IDataCallback* callback, IDriverSettings* settings) = 0;
};

}  // namespace korvane
