// The driver-wide table of event names. An event's number is its 1-based
// position; numbers are stable until Clear.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/support/recursive_lock.h"

namespace korvane {

class CEventStorage {
 public:
  virtual ~CEventStorage() = default;

  /// Appends `name` (UTF-8); false for an empty name. Duplicates are kept.
  bool AddEvent(std::string_view name);
  /// Number (from 1) of the first entry equal to `name`, or 0.
  int32_t FindEvent(std::string_view name);
  /// Zero-terminated name of event `number`, or null when out of range.
  /// Valid until Clear.
  const char* GetEventText(int32_t number);
  /// Size of the name including its terminator, or 0 when out of range.
  int32_t GetEventTextSize(int32_t number);
  /// Number of names stored.
  int32_t GetCount();
  void Clear();

  /// The "Send the End event after N seconds" parameter (0: no End events).
  void SetEndEventSeconds(int32_t seconds) { endEventSeconds_ = seconds; }
  int32_t GetEndEventSeconds() const { return endEventSeconds_; }

 private:
  RecursiveLock lock_;
  // Each entry keeps its own allocation, so pointers handed out stay valid
  // while later names are added.
  std::vector<std::unique_ptr<std::string>> entries_;
  int32_t endEventSeconds_ = 0;
};

}  // namespace korvane
