// Conversion of received text from a device's code page to UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvane {

/// Converts every byte of `in` (zero bytes included) from the Windows code
/// page number `codePage` to UTF-8 in `out`. 65001 copies the bytes unchanged.
/// A byte sequence the code page does not define becomes U+FFFD and the rest
/// is still converted. False (and `out` empty) only for a code page that is
/// not supported. Thread-safe; each thread keeps its own converters.
bool ConvertToUtf8(uint32_t codePage, std::string_view in, std::string& out);

/// The iconv name of a supported code page, or null.
const char* CodePageCharset(uint32_t codePage);

}  // namespace korvane
