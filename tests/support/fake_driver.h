// An IDriver for driving the validator and the mappers in-process: owns the
// event storage and search-tag list and hands out a RecordingHost as callback.
#pragma once

#include <string>

#include "driver/common/driver_interfaces.h"
#include "driver/common/event_storage.h"
#include "tests/support/fake_host.h"

namespace korvane::testing {

class FakeDriver : public IDriver {
 public:
  FakeDriver() = default;

  IDataCallback* GetCallback() override { return &host; }
  /// The host as callbackEx unless SetExtendedCallback(false).
  IDataCallback* GetCallbackEx() override { return extended_ ? &host : nullptr; }
  DeviceEndpoint GetDeviceEndpoint() override { return endpoint; }
  CEventStorage* GetEventStorage() override { return &events; }
  SearchTagList* GetSearchTags() override { return &searchTags; }
  void IsCaseSensitive(bool* out) override { *out = caseSensitive; }

  void SetExtendedCallback(bool enabled) { extended_ = enabled; }
  void SetEndEventSeconds(int32_t seconds) { events.SetEndEventSeconds(seconds); }
  /// Names of all registered events, in number order.
  std::vector<std::string> EventNames();
  std::vector<std::string> SearchTagNames() const;

  RecordingHost host;
  CEventStorage events;
  SearchTagList searchTags;
  DeviceEndpoint endpoint;
  bool caseSensitive = false;

 private:
  bool extended_ = true;
};

}  // namespace korvane::testing
