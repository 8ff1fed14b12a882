// Do-nothing stand-ins for the host, the logger, the driver's channel face and
// a channel without a transport. Header-only, so benchmarks and fuzz targets
// (which do not link the GoogleTest fakes) use them too; override what you count.
#pragma once

#include "driver/channels/channel_base.h"
#include "driver/common/driver_interfaces.h"
#include "kestrel/data_callback.h"

namespace korvane::testing {

class NullDebug : public IDebug {
 public:
  void Log(int32_t, int32_t, const char*, ...) override {}
  void LogPacket(const char*, int32_t) override {}
};

class NullHost : public IDataCallbackEx {
 public:
  void OnData(uint8_t, ISearchData*, const char*, int32_t, const char*, int32_t, int32_t, const char*) override {}
  void OnEvent(uint8_t, int32_t, ISearchData*, const char*, int32_t, const char*, int32_t, int32_t,
               const char*) override {}
  void OnClearScreen(uint8_t, ISearchData*, const char*, int32_t, int32_t) override {}
  void OnNotify(int32_t) override {}
  void OnLog(int32_t, const char*) override {}
  void OnOpenFailed(int32_t) override {}
  void OnMetadata(int32_t, int32_t, int32_t, const SYSTEMTIME*, const char*, int32_t) override {}
};

/// The driver's channel face and logger in one; reports `validationType`.
class NullDataDriver : public IDataDriver, public NullDebug {
 public:
  void OnChannelData(const ChannelData*) override {}
  void ForwardEvent(const ChannelData*, int32_t) override {}
  void OnClearScreen(const ChannelData*) override {}
  void ForwardNotify(int32_t) override {}
  void OnOpenFailed(int32_t) override {}
  void ResetCustomValidator() override {}
  int32_t GetValidationType() override { return validationType; }

  int32_t validationType = kValidationNone;
};

/// A channel with no transport: blocks are fed to ProcessData by hand.
class SocketlessChannel final : public CChannelBase {
 public:
  using CChannelBase::CChannelBase;
  using CChannelBase::ProcessData;

 protected:
  bool OpenChannel() override { return true; }
  void CloseChannel() override {}
  int Run() override { return 0; }
};

}  // namespace korvane::testing
