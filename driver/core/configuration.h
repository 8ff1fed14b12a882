// Decoding of the framing values of the configuration file (line feed, clear
// screen, acknowledge, ignored bytes). The driver's model and file readers
// are members of CKestrelDriver, implemented beside these in configuration.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/common/driver_interfaces.h"

namespace korvane {

/// String form of a framing value. A value starting with "0x" (any case) is
/// hex, two digits per byte ("0x0d0a" gives CR LF; an odd last digit stands
/// alone); anything else is returned unchanged. A malformed hex value is
/// logged under `name` and gives an empty string. Never throws except bad_alloc.
std::string ParseConfigString(IDebug& debug, const std::string& name, const std::string& value);

/// Byte form of a framing value: comma-separated pieces, each either "0x" hex
/// pairs or literal characters (lower-cased), appended in order. Bytes found in
/// `excluded` are left out. Malformed hex digits read as 0.
std::vector<uint8_t> ParseConfigList(const std::string& value, const std::vector<uint8_t>* excluded = nullptr);

}  // namespace korvane
