// Finds the control of a camera's metadata stream in a session description.
#pragma once

#include <string>
#include <string_view>

namespace korvane {

/// What the description says about the metadata stream.
struct SdpMetadata {
  /// False when an "a=control:" line of the chosen section holds no value.
  bool valid = true;
  /// The control of the metadata section (relative or absolute); empty when
  /// the description has none.
  std::string control;
};

/// Reads the description line by line up to the first empty line. An
/// "m=metadata" section gives the control (its last "a=control:" line).
/// Without one, the first "m=application" section whose rtpmap names
/// "vnd.onvif.metadata" (any letter case) gives it, which is how cameras
/// announce their metadata. Lines end in CR LF or LF.
SdpMetadata ParseSdpMetadata(std::string_view description);

}  // namespace korvane
