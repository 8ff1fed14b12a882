// Fuzzes the byte-list form of a framing value. The first input byte chooses
// whether an excluded set (CR LF) applies; excluded bytes must never appear.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/core/configuration.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool useExcluded = (data[0] & 1) != 0;
  const std::string value(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::vector<uint8_t> excluded = {'\r', '\n'};
  const std::vector<uint8_t> bytes = korvane::ParseConfigList(value, useExcluded ? &excluded : nullptr);
  // Every piece yields at most one byte per input character.
  if (bytes.size() > value.size()) std::abort();
  if (useExcluded && std::find_first_of(bytes.begin(), bytes.end(), excluded.begin(), excluded.end()) != bytes.end()) {
    std::abort();
  }
  return 0;
}
