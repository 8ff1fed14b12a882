// The SIA event codes a Galaxy panel reports, with their descriptions and the
// kinds of parameter each may carry.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace korvane {

/// What an event's parameter denotes. Zones have 4 digits, modules and users 3;
/// an event number may have any length, none included.
enum class GalaxyParameter { kZone, kModule, kUser, kEvent };

struct GalaxyEventCode {
  struct Layout {
    GalaxyParameter kinds[3];
    size_t count;
  };
  std::string_view code;
  std::string_view description;
  Layout layout;  ///< the kinds tried, in this order, against the parameter's length
};

/// The row whose code equals `code` exactly (upper case), or null.
const GalaxyEventCode* FindGalaxyEvent(std::string_view code);

/// The first kind of `event`'s layout that takes a parameter of `length` bytes.
std::optional<GalaxyParameter> GalaxyParameterFor(const GalaxyEventCode& event, size_t length);

/// "Zone", "Module", "User" or "Event".
std::string_view GalaxyParameterName(GalaxyParameter kind);

}  // namespace korvane
