// Validates each received message, turns it into the uniform XML message and
// hands it to the mapper; forwards the mapper's reports to the host and sends
// delayed "End of" events from a timer thread.
#pragma once

#include <cstdint>
#include <string>

#include "driver/core/channel_data.h"
#include "driver/core/driver_interfaces.h"

namespace korvane {

class CDataValidator {
 public:
  CDataValidator(IDriver& driver, IDebug& logger);
  virtual ~CDataValidator();

  /// `type` is a ValidationType; `legacyMapper` selects the legacy rule format.
  bool Initialize(int32_t type, const std::string& configFile, const std::string& customValidator,
                  bool legacyMapper);
  /// Validates and maps one block; false with `error` set when it failed.
  bool ValidateData(std::string& error, const ChannelData& record);
  void StopTimer();
  void UnloadCustomValidator();
  void ResetCustomValidator();
  int32_t GetValidationType() const;
};

}  // namespace korvane
