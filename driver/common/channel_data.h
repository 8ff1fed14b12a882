// The record a channel hands to the driver for one message.
#pragma once

#include <cstdint>

#include "kestrel/search_data.h"

namespace korvane {

/// Valid only during the call it is passed to; receivers copy what they keep.
struct ChannelData {
  uint8_t channel = 0;
  ISearchData* searchData = nullptr;
  const char* source = nullptr;
  int32_t sourceLength = 0;
  const char* data = nullptr;
  int32_t dataLength = 0;
  int32_t reserved = 0;
};

}  // namespace korvane
