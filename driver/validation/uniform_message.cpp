#include "driver/validation/uniform_message.h"

namespace korvane {
namespace {

constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

void AppendAttributeValue(std::string& out, const std::string& value) {
  const size_t n = value.size();
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    switch (c) {
      case '"':
        out += "&quot;";
        continue;
      case '&':
        out += "&amp;";
        continue;
      case '<':
        out += "&lt;";
        continue;
      case '>':
        out += "&gt;";
        continue;
      case '\'':
        out += "&apos;";
        continue;
      // A parser turns literal tabs and line breaks in attributes into blanks.
      case '\t':
        out += "&#9;";
        continue;
      case '\n':
        out += "&#10;";
        continue;
      case '\r':
        out += "&#13;";
        continue;
      default:
        break;
    }
    if (c < 0x20) {
      out += kReplacement;
      continue;
    }
    // U+FFFE and U+FFFF (EF BF BE, EF BF BF) are not XML characters either.
    if (c == 0xEF && i + 2 < n && static_cast<unsigned char>(value[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(value[i + 2]) & 0xFE) == 0xBE) {
      out += kReplacement;
      i += 2;
      continue;
    }
    out += static_cast<char>(c);
  }
}

std::string RenderUniformMessage(const UniformMessage& message) {
  std::string out;
  out.reserve(128);
  out += kDeclaration;
  if (message.textPath) out += "<root>";
  for (const UniformEntry& entry : message.messages) {
    out += "<message number=\"";
    out += std::to_string(entry.number);
    out += "\" value=\"";
    AppendAttributeValue(out, entry.value);
    out += "\">";
    for (const UniformParam& param : entry.params) {
      out += "<param number=\"";
      out += std::to_string(param.number);
      out += "\" type=\"string\" value=\"";
      AppendAttributeValue(out, param.value);
      out += message.textPath ? "\" />" : "\"/>";
    }
    out += "</message>";
  }
  if (message.textPath) out += "</root>";
  return out;
}

}  // namespace korvane
