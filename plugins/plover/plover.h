// Plover: SIA data blocks from Galaxy alarm panels (header byte, function
// code "N" or "O", event code and parameter, parity byte) turned into a
// <GalaxyEvent> document. Needs no configuration.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "plugins/common/validator_plugin.h"

namespace korvane {

/// What one block reports, as views into the block and the event table.
struct GalaxyEventRecord {
  std::string_view id;           ///< the two-letter event code
  std::string_view description;  ///< from the event table
  std::string_view type;         ///< "Zone", "Module", "User" or "Event"
  std::string_view value;        ///< the parameter bytes
};

class CPlover final : public CValidatorPlugin {
 public:
  CPlover();

  bool Open(IKSLDataValidatorAPIUser* user, const DeviceEndpoint* endpoint) override;
  bool Close() override { return true; }
  void Reset() override {}

  /// False when `block` is not one well-framed block of a known event whose
  /// parameter length fits the event.
  static bool ReadRecord(std::string_view block, GalaxyEventRecord& record);

 protected:
  bool Parse(const uint8_t* data, uint32_t length, std::string& text, uint32_t* count) override;

 private:
  IKSLDataValidatorAPIUser* user_ = nullptr;
};

}  // namespace korvane
