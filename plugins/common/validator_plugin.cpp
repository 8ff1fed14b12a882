#include "plugins/common/validator_plugin.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driver/support/string_utils.h"
#include "driver/support/xml_parser.h"

namespace korvane {
namespace {

// A plug-in is unloaded with the driver object that loaded it; the XML
// library's process-wide resource loader must not point into it then.
[[maybe_unused]] const bool kLoaderLeftToTheDriver = (CXMLParser::LeaveResourceLoaderToTheDriver(), true);

bool IsForbiddenControl(unsigned char byte) { return byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r'; }

/// False when `text` holds a control character no XML document may contain
/// (every one below a blank but tab, line feed and carriage return). Reads
/// eight bytes at a time and looks closer only at words that hold a byte
/// below a blank (line ends do), since every answer passes through here.
bool XmlCanCarry(const std::string& text) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighBits = 0x8080808080808080ULL;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word = 0;
    std::memcpy(&word, bytes + i, sizeof word);
    // Nonzero exactly when some byte of the word is below 0x20.
    if (((word - kOnes * 0x20) & ~word & kHighBits) == 0) continue;
    for (size_t j = i; j < i + 8; ++j) {
      if (IsForbiddenControl(bytes[j])) return false;
    }
  }
  for (; i < size; ++i) {
    if (IsForbiddenControl(bytes[i])) return false;
  }
  return true;
}

}  // namespace

bool CValidatorPlugin::Validate(const uint8_t* data, uint32_t length, char* output, uint32_t* outputLength,
                                uint32_t* count) {
  const uint32_t capacity = (output != nullptr && outputLength != nullptr) ? *outputLength : 0;
  uint32_t ignoredCount = 0;
  uint32_t& parserCount = count != nullptr ? *count : ignoredCount;
  bool ok = false;
  text_.clear();
  if (data != nullptr && length > 0 && capacity > 0) {
    try {
      ok = Parse(data, length, text_, &parserCount);
      // A document the driver cannot read is no success: the block was damaged.
      if (ok && !XmlCanCarry(text_)) {
        ok = false;
        text_.clear();
      }
      if (!ok && text_.empty()) text_ = texts_.parseFailure;
    } catch (...) {
      ok = false;
      try {
        text_ = texts_.exception;
      } catch (...) {
        text_.clear();
      }
    }
  }

  uint32_t written = 0;
  if (ok && text_.size() >= capacity) {
    // The driver would get a cut or empty document; say why instead of answering true.
    ok = false;
    const int needed = std::snprintf(
        output, capacity, "%s: the XML text of %zu bytes does not fit the output buffer of %" PRIu32 " bytes",
        texts_.name, text_.size(), capacity);
    if (needed > 0 && static_cast<uint32_t>(needed) < capacity) written = static_cast<uint32_t>(needed);
  } else if (CopyOut(text_, output, outputLength)) {
    written = static_cast<uint32_t>(text_.size());
  }
  if (written == 0 && capacity > 0) output[0] = '\0';
  if (outputLength != nullptr) *outputLength = written;
  if (counting_ == Counting::kOneDocument && count != nullptr) *count = written > 0 ? 1 : 0;
  return ok;
}

bool CValidatorPlugin::CopyOut(const std::string& text, char* output, uint32_t* outputLength) {
  if (output == nullptr || outputLength == nullptr || text.empty() || text.size() >= *outputLength) return false;
  std::memcpy(output, text.data(), text.size());
  output[text.size()] = '\0';
  return true;
}

void CValidatorPlugin::AppendElement(std::string& out, std::string_view name, std::string_view value) {
  out += '<';
  out += name;
  out += '>';
  XmlEscapeAppend(out, value.data(), value.size());
  out += "</";
  out += name;
  out += ">\n";
}

}  // namespace korvane
