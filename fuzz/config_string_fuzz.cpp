// Fuzzes the string form of a framing value: any text must decode without
// crashing, and a hex value never yields more bytes than it has digit pairs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "driver/core/configuration.h"
#include "tests/support/null_fakes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);
  korvane::testing::NullDebug debug;
  const std::string result = korvane::ParseConfigString(debug, "linefeed", value);
  const bool hex = size >= 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
  if (!hex && result != value) std::abort();
  if (hex && result.size() > (size - 1) / 2) std::abort();
  return 0;
}
