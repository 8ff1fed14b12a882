// The driver as a mapper sees it. Callbacks, device endpoint and the case
// switch are the driver's own. Event and search-tag names go straight to the
// driver for the mapper built while the driver opens; a mapper built for a
// changed configuration file while data flows registers them here first, and
// Commit adds only what the driver does not know yet, so numbers the host has
// seen keep their meaning and reloading the same file adds nothing.
#pragma once

#include "driver/common/driver_interfaces.h"
#include "driver/common/event_storage.h"

namespace korvane {

class CStagedNames final : public IDriver {
 public:
  /// `staged` false: names are registered with `driver` directly.
  CStagedNames(IDriver& driver, bool staged);
  CStagedNames(const CStagedNames&) = delete;
  CStagedNames& operator=(const CStagedNames&) = delete;

  IDataCallback* GetCallback() override { return driver_.GetCallback(); }
  IDataCallback* GetCallbackEx() override { return driver_.GetCallbackEx(); }
  DeviceEndpoint GetDeviceEndpoint() override { return driver_.GetDeviceEndpoint(); }
  CEventStorage* GetEventStorage() override { return staged_ ? &events_ : driver_.GetEventStorage(); }
  SearchTagList* GetSearchTags() override { return staged_ ? &searchTags_ : driver_.GetSearchTags(); }
  void IsCaseSensitive(bool* out) override { driver_.IsCaseSensitive(out); }

  /// Adds the staged event names the driver lacks, each with its "End of"
  /// companion right behind it, and from then on hands out the driver's own
  /// names. Search tags the driver lacks cannot be added while the host may
  /// read the list; each is logged at error level, and its values are dropped
  /// until the driver is opened again. Runs on the thread that maps.
  void Commit(IDebug& logger);

 private:
  IDriver& driver_;
  bool staged_;
  CEventStorage events_;
  SearchTagList searchTags_;
};

}  // namespace korvane
