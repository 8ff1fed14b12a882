#include "plugins/plover/galaxy_event_table.h"

#include <array>

namespace korvane {
namespace {

using Layout = GalaxyEventCode::Layout;
using P = GalaxyParameter;

constexpr Layout kZone{{P::kZone}, 1};
constexpr Layout kModule{{P::kModule}, 1};
constexpr Layout kUser{{P::kUser}, 1};
constexpr Layout kEvent{{P::kEvent}, 1};
constexpr Layout kZoneUser{{P::kZone, P::kUser}, 2};
constexpr Layout kZoneModule{{P::kZone, P::kModule}, 2};
constexpr Layout kUserEvent{{P::kUser, P::kEvent}, 2};
constexpr Layout kZoneUserEvent{{P::kZone, P::kUser, P::kEvent}, 3};
constexpr Layout kZoneModuleEvent{{P::kZone, P::kModule, P::kEvent}, 3};

// Descriptions as the panel's documentation spells them (including "Acces").
constexpr std::array<GalaxyEventCode, 80> kEvents{{
    {"AR", "AC Restoral", kZoneModuleEvent},
    {"AC", "AC Alarm", kUser},
    {"AT", "AC Trouble", kZoneModuleEvent},
    {"BA", "Burglary Alarm", kZone},
    {"BB", "Burglary Bypass", kZoneUserEvent},
    {"BC", "Burglary Cancel", kZoneUser},
    {"BJ", "Burglary Trouble Restoral", kZone},
    {"BR", "Burglary Restoral", kZone},
    {"BT", "Burglary Trouble", kZone},
    {"BU", "Burglary Unbypass", kZoneUserEvent},
    {"BV", "Burglary Confirm", kEvent},
    {"BX", "Burglary Test", kZone},
    {"CA", "Auto Closing", kEvent},
    {"CE", "Closing Extend", kUserEvent},
    {"CG", "Close Area", kZoneUserEvent},
    {"CI", "Fail to Close", kEvent},
    {"CJ", "Late to Set", kEvent},
    {"CL", "Closing Report", kZoneUserEvent},
    {"CP", "Auto Closing", kEvent},
    {"CR", "Recent Close", kEvent},
    {"CT", "Late to Open", kEvent},
    {"DD", "Acces Denied", kModule},
    {"DF", "Door Forced", kModule},
    {"DG", "Acces Granted", kUser},
    {"DK", "Acces Lockout", kZoneUser},
    {"DT", "Door Propped", kModule},
    {"ET", "Expansion Trouble", kModule},
    {"FA", "Fire Alarm", kZoneUser},
    {"FB", "Fire Bypass", kZone},
    {"FJ", "Fire Trouble Restoral", kZone},
    {"FR", "Fire Restoral", kZoneUser},
    {"FT", "Fire Trouble", kZone},
    {"FU", "Fire Unbypass", kZone},
    {"FX", "Fire Test", kZone},
    {"HA", "Holdup Alarm", kZoneUser},
    {"HB", "Holdup Bypass", kZone},
    {"HJ", "Holdup Trouble Restoral", kZone},
    {"HR", "Holdup Restoral", kZone},
    {"HT", "Holdup Trouble", kZone},
    {"HU", "Holdup Unbypass", kZone},
    {"JA", "Code Tamper", kModule},
    {"JL", "Log Threshold", kEvent},
    {"JT", "Time Changed", kUser},
    {"LB", "Program Begin", kEvent},
    {"LE", "Listen in Ended", kModule},
    {"LF", "Listen in Begin", kModule},
    {"LR", "Line Restoral", kZoneModule},
    {"LT", "Line Trouble", kZoneModule},
    {"LX", "Local Prog End", kEvent},
    {"MA", "Medical Alarm", kUser},
    {"MR", "Medical Restoral", kUser},
    {"OG", "Open Area", kZoneUser},
    {"OK", "Early Open", kEvent},
    {"OP", "Open Report", kZoneUserEvent},
    {"OR", "Disarm alarm", kUserEvent},
    {"PA", "Panic Alarm", kZone},
    {"PB", "Panic Bypass", kZone},
    {"PJ", "Panic Trouble Restoral", kZone},
    {"PR", "Panic Restoral", kZone},
    {"PT", "Panic Trouble", kZone},
    {"PU", "Panic Unbypas", kZone},
    {"RC", "Relay Closed", kZone},
    {"RD", "Prog Denied", kZone},
    {"RO", "Relay Opened", kZone},
    {"RP", "Automatic Test", kEvent},
    {"RR", "Power Up", kEvent},
    {"RS", "Prog Success", kZoneModule},
    {"RX", "Manual Test", kEvent},
    {"TA", "Tamper Alarm", kZoneModule},
    {"TE", "Test End", kUser},
    {"TR", "Tamper Restoral", kZoneModule},
    {"TS", "Test Start", kUserEvent},
    {"XH", "RF Interference Restoral", kModule},
    {"XQ", "RF Interference", kModule},
    {"XR", "RF Battery Restoral", kZone},
    {"XT", "RF Battery Trouble", kZone},
    {"YC", "Comm Fail", kEvent},
    {"YK", "Comm Restoral", kEvent},
    {"YR", "Sys Battery Restoral", kZoneModule},
    {"YT", "Sys Battery Trouble", kZoneModule},
}};

bool Accepts(GalaxyParameter kind, size_t length) {
  switch (kind) {
    case GalaxyParameter::kZone:
      return length == 4;
    case GalaxyParameter::kModule:
    case GalaxyParameter::kUser:
      return length == 3;
    case GalaxyParameter::kEvent:
      return true;
  }
  return false;
}

}  // namespace

const GalaxyEventCode* FindGalaxyEvent(std::string_view code) {
  for (const GalaxyEventCode& event : kEvents) {
    if (event.code == code) return &event;
  }
  return nullptr;
}

std::optional<GalaxyParameter> GalaxyParameterFor(const GalaxyEventCode& event, size_t length) {
  for (size_t i = 0; i < event.layout.count; ++i) {
    if (Accepts(event.layout.kinds[i], length)) return event.layout.kinds[i];
  }
  return std::nullopt;
}

std::string_view GalaxyParameterName(GalaxyParameter kind) {
  switch (kind) {
    case GalaxyParameter::kZone:
      return "Zone";
    case GalaxyParameter::kModule:
      return "Module";
    case GalaxyParameter::kUser:
      return "User";
    case GalaxyParameter::kEvent:
      return "Event";
  }
  return {};
}

}  // namespace korvane
