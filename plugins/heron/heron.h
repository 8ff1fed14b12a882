// Heron: Contact ID alarm messages as Texecom panels send them ("2" and the
// sixteen Contact ID digits) turned into a <TexecomEvent> document, with the
// event names read from "ContactID.xml" in the host directory.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "plugins/common/validator_plugin.h"

namespace korvane {

/// The fields of one message, as views into the received block.
struct ContactIdRecord {
  int format = 0;
  std::string_view accountNumber;
  std::string_view messageType;
  std::string_view eventQualifier;
  std::string_view eventNumber;
  std::string_view eventName;
  std::string_view partition;
  std::string_view zone;
  char receivedChecksum = 0;  ///< after ":" to "?" became "A" to "F"; 0 when the block ends before it
  char computedChecksum = 0;  ///< 0 when the block is too short to compute one
};

class CHeron final : public CValidatorPlugin {
 public:
  /// The event table file, resolved against the host directory.
  static constexpr const char* kEventTableFile = "ContactID.xml";

  CHeron();

  /// Loads the event table; true when it holds at least one event. Why it
  /// failed goes to `user`'s log.
  bool Open(IKSLDataValidatorAPIUser* user, const DeviceEndpoint* endpoint) override;
  /// Empties the event table.
  bool Close() override;
  void Reset() override {}

  /// Reads the fields of `block` and checks them; false when the block is no
  /// valid Contact ID message. Event names come from the loaded table.
  bool ReadRecord(std::string_view block, ContactIdRecord& record) const;
  /// The check digit ("1"-"9", "A"-"F") for `block`, summed over every byte
  /// but the first and the last; 0 when the block is shorter than 3 bytes.
  static char ComputeChecksum(std::string_view block);

 protected:
  bool Parse(const uint8_t* data, uint32_t length, std::string& text, uint32_t* count) override;

 private:
  void LogLine(bool error, const char* text) const noexcept;
  void LogLine(bool error, const std::string& text) const noexcept { LogLine(error, text.c_str()); }
  void LoadEventTable();

  IKSLDataValidatorAPIUser* user_ = nullptr;
  std::map<std::string, std::string, std::less<>> events_;
};

}  // namespace korvane
