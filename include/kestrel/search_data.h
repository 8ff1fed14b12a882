// Per-delivery search data: the reception time of one received block and the
// search tags the driver attached to it.
#pragma once

#include <cstdint>

#include "kestrel/system_time.h"

namespace korvane {

/// One search tag as handed out by ISearchData::First/Next.
struct SearchTagEntry {
  int32_t id;        ///< Search-tag id, as listed by IDataAPI::GetSearchTagName.
  const char* text;  ///< UTF-8 value; points into the search-data object.
  int32_t length;    ///< Bytes of text, without a terminator.
};

/// Read-only view of one delivery's search data.
///
/// Valid only inside the callback that received it. All operations are
/// thread-safe and non-blocking (a short internal lock). Slot order is part of
/// the binary contract; host, driver and plug-ins must be built with compilers
/// of the same C++ ABI (under the Itanium ABI the virtual destructor takes two
/// vtable entries).
class ISearchData {
 public:
  virtual ~ISearchData() = default;
  /// Reception time in UTC, or null when the object carries none.
  virtual const SYSTEMTIME* GetTime() = 0;
  /// Number of search tags attached.
  virtual int32_t GetCount() = 0;
  /// Restarts the cursor and fills `entry` with the first tag; false when none.
  virtual bool First(SearchTagEntry* entry) = 0;
  /// Fills `entry` with the next tag; false (entry untouched) past the last.
  virtual bool Next(SearchTagEntry* entry) = 0;
};

}  // namespace korvane
