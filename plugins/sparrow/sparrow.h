// Sparrow: the metadata stream of a VCA video-analytics device turned into one
// "VCA Alarm" or "VCA Counter" message per event or counter reading.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "driver/support/clock.h"
#include "plugins/common/validator_plugin.h"
#include "plugins/sparrow/vca_stream_parser.h"

namespace korvane {

class CKSLDataValidatorAPIImpl final : public CValidatorPlugin {
 public:
  explicit CKSLDataValidatorAPIImpl(const Clock& clock = SystemClock());
  ~CKSLDataValidatorAPIImpl() override;

  /// False without a user; otherwise builds the stream parser for `endpoint`
  /// (no endpoint reads as one without an address).
  bool Open(IKSLDataValidatorAPIUser* user, const DeviceEndpoint* endpoint) override;
  bool Close() override;
  void Reset() override;

 protected:
  bool Parse(const uint8_t* data, uint32_t length, std::string& text, uint32_t* count) override;

 private:
  const Clock& clock_;
  IKSLDataValidatorAPIUser* user_ = nullptr;
  std::unique_ptr<CVCAXMLStreamParser> parser_;
};

}  // namespace korvane
