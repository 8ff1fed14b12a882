// What every validator plug-in's answer must satisfy, whatever the block:
// the text is zero-terminated inside the buffer and its length is reported,
// one document means a count of 1, and a smaller buffer gives either the same
// answer or a refusal that fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "plugins/common/validator_api.h"

namespace korvane::fuzzing {

inline void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "plug-in answer: %s\n", what);
    std::abort();
  }
}

struct PluginAnswer {
  bool ok = false;
  std::string text;
};

inline PluginAnswer ValidateWithCapacity(IKSLDataValidatorAPI& plugin, const uint8_t* data, size_t size,
                                         uint32_t capacity) {
  std::vector<char> output(capacity + 1, '\x7f');
  uint32_t length = capacity;
  uint32_t count = 99;
  PluginAnswer answer;
  answer.ok = plugin.Validate(data, static_cast<uint32_t>(size), output.data(), &length, &count);
  Check(output[capacity] == '\x7f', "wrote past the capacity");
  Check(length < capacity || (capacity == 0 && length == 0), "length does not fit the capacity");
  if (capacity > 0) Check(output[length] == '\0' && std::strlen(output.data()) == length, "text not terminated");
  Check(count == (length > 0 ? 1u : 0u), "count is not one per text");
  Check(!answer.ok || length > 0, "success without a document");
  answer.text.assign(output.data(), length);
  return answer;
}

/// The answer with a 64 KiB buffer, after checking that a buffer sized from
/// the block itself answers consistently.
inline PluginAnswer ValidateChecked(IKSLDataValidatorAPI& plugin, const uint8_t* data, size_t size) {
  const PluginAnswer full = ValidateWithCapacity(plugin, data, size, 64 * 1024);
  const auto small = static_cast<uint32_t>(size % 400);
  const PluginAnswer cut = ValidateWithCapacity(plugin, data, size, small);
  if (full.ok && full.text.size() < small) {
    Check(cut.ok && cut.text == full.text, "answer depends on a buffer it fits in");
  } else if (full.ok) {
    Check(!cut.ok, "a document that does not fit was answered as a success");
  }
  return full;
}

/// True when every byte is printable ASCII, so the document must be readable XML.
inline bool Printable(const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (data[i] < 0x20 || data[i] > 0x7e) return false;
  }
  return true;
}

}  // namespace korvane::fuzzing
