// Joining a stream's control reference to its base URL.
#pragma once

#include <string>
#include <string_view>

namespace korvane {

/// True when `reference` carries its own scheme ("rtsp://...", "rtsps:...").
bool IsAbsoluteUrl(std::string_view reference);

/// An absolute reference as it stands; otherwise the reference appended to
/// the base, with one "/" between them unless the base already ends in one.
/// (Cameras expect the control appended to the whole base, query included,
/// not resolved against its last path segment.)
std::string JoinUrl(std::string_view base, std::string_view reference);

}  // namespace korvane
