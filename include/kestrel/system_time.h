// Calendar and file-time records exchanged with the recording host.
#pragma once

#include <cstdint>

namespace korvane {

/// Broken-down calendar time, field for field the record the host expects
/// (UTC unless a function says otherwise).
struct SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};

/// Count of 100-nanosecond intervals since 1601-01-01 00:00 UTC.
struct FILETIME {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
};

}  // namespace korvane
