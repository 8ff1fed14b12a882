// How kestrel-host writes what the driver reports: JSON lines for programs
// (the default, a stable format scripts rely on) or aligned text for people.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrel/search_data.h"
#include "kestrel/system_time.h"

namespace korvane::host {

enum class Format { kJson, kText };

/// A registered search tag as the "opened" line lists it: its type flag and name.
struct RegisteredTag {
  int32_t id = 0;
  std::string name;
};

/// Turns each callback and lifecycle step into one output line. Called from
/// driver threads as well as the main thread.
class OutputFormat {
 public:
  virtual ~OutputFormat() = default;

  /// After Open. `events` and `tags` are empty when the open failed.
  virtual std::string Opened(bool ok, const std::vector<std::string>& events,
                             const std::vector<RegisteredTag>& tags) = 0;
  virtual std::string Started(bool ok) = 0;
  virtual std::string Closed() = 0;
  virtual std::string Data(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength,
                           const char* data, int32_t length, const char* encoding) = 0;
  /// `encoding` is null for a delayed "End of" event.
  virtual std::string Event(uint8_t channel, int32_t number, ISearchData* searchData, const char* source,
                            int32_t sourceLength, const char* text, int32_t length, const char* encoding) = 0;
  virtual std::string ClearScreen(uint8_t channel) = 0;
  virtual std::string Notify(int32_t value) = 0;
  virtual std::string Log(int32_t severity, const char* text) = 0;
  virtual std::string OpenFailed(int32_t channel) = 0;
  virtual std::string Metadata(int32_t kind, int32_t channel, int32_t format, const SYSTEMTIME* time, const char* data,
                               int32_t length) = 0;
};

std::unique_ptr<OutputFormat> MakeOutputFormat(Format format);

/// `length` bytes at `text` as a string; null or a negative length give "".
std::string_view TextOf(const char* text, int32_t length);

/// `text` with the five XML entities and character references resolved; a
/// reference that is malformed or names no character stays as written.
std::string XmlUnescape(std::string_view text);

/// `text` made safe for a terminal: ill-formed UTF-8 replaced by U+FFFD, tab,
/// CR and LF shown as blanks, other control characters as \xNN.
std::string Printable(std::string_view text);

}  // namespace korvane::host
