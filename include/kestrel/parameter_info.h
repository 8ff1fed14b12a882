// Parameter descriptor record filled by GetParameterType.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

/// Parameter types: 0 number, 1 text, 3 password, 5 choice list.
struct ParameterInfo {
  char label[128];         ///< Zero-terminated, at most 127 characters.
  int32_t type;            ///< 0 number, 1 text, 3 password, 5 choice list.
  int32_t flag;            ///< Always 1.
  char defaultValue[256];  ///< Zero-terminated, at most 255 characters.
};

static_assert(offsetof(ParameterInfo, type) == 128);
static_assert(offsetof(ParameterInfo, flag) == 132);
static_assert(offsetof(ParameterInfo, defaultValue) == 136);

}  // namespace korvane
