// The uniform message every validator produces and every mapper consumes, in
// structured form, and its XML text form.
//
// Text form, Shape A (text path, several messages):
//   <?xml version="1.0" encoding="utf-8"?><root>
//   <message number="1" value="V"><param number="1" type="string" value="P" /></message>...</root>
// Shape B (XML paths, one message):
//   <?xml version="1.0" encoding="utf-8"?><message number="1" value="V">
//   <param number="1" type="string" value="P"/>...</message>
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

struct UniformParam {
  int32_t number = 0;
  std::string value;  ///< UTF-8, as the device sent it (not escaped)
};

struct UniformEntry {
  uint32_t number = 0;
  std::string value;  ///< UTF-8, not escaped
  std::vector<UniformParam> params;
};

struct UniformMessage {
  /// Shape A (root wrapper, built by the text path) or Shape B.
  bool textPath = false;
  std::vector<UniformEntry> messages;
};

/// The XML text of `message`. Values are escaped, so a quote, "<", "&", tab or
/// line break in a value survives a parse unchanged; characters XML cannot
/// carry at all (most control characters) are written as U+FFFD.
std::string RenderUniformMessage(const UniformMessage& message);

/// Appends `value` escaped for a double-quoted attribute, as RenderUniformMessage does.
void AppendAttributeValue(std::string& out, const std::string& value);

}  // namespace korvane
