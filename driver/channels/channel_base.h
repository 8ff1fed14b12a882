// The abstract transport: one worker thread that receives bytes, cuts them
// into messages and hands them to the driver.
#pragma once

#include "driver/core/channel_settings.h"
#include "driver/core/driver_interfaces.h"

namespace korvane {

class CChannelBase {
 public:
  CChannelBase(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);
  virtual ~CChannelBase();

  /// Stops any running worker, opens the transport and starts the worker.
  bool Start();
  /// Signals the worker, joins it (5000 ms limit) and releases the transport. Idempotent.
  void Stop();
};

}  // namespace korvane
