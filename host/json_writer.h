// JSON lines for kestrel-host: one object per line, texts escaped, and texts
// that are not valid UTF-8 kept byte-exact in a Base64 sibling field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/system_time.h"

namespace korvane::host {

/// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string Base64Encode(std::string_view bytes);

/// True when `text` is well-formed UTF-8: no overlong forms, no surrogates,
/// nothing above U+10FFFF, no cut-off sequences.
bool IsValidUtf8(std::string_view text);

/// `text` with every maximal ill-formed subsequence replaced by U+FFFD
/// (the substitution Unicode recommends); valid input is returned unchanged.
std::string ToValidUtf8(std::string_view text);

/// `text` (valid UTF-8) as a quoted JSON string. Quotes, backslashes and
/// control characters are escaped; everything else is copied.
std::string JsonQuote(std::string_view text);

/// "2026-12-08T10:11:12.345Z" from a UTC calendar time.
std::string IsoUtcTime(const SYSTEMTIME& time);

class JsonArray;

/// Builds one JSON object; fields keep the order they were added in.
///
/// A text field whose value is not valid UTF-8 holds the value with ill-formed
/// bytes replaced by U+FFFD, and is followed by "<key>Base64" with the exact bytes.
class JsonObject {
 public:
  JsonObject& AddText(std::string_view key, std::string_view value);
  /// A text, or null when `value` is null.
  JsonObject& AddText(std::string_view key, const char* value);
  /// `length` bytes at `value`, or null when `value` is null. A negative length counts as 0.
  JsonObject& AddText(std::string_view key, const char* value, int32_t length);
  JsonObject& AddInt(std::string_view key, int64_t value);
  JsonObject& AddBool(std::string_view key, bool value);
  JsonObject& AddNull(std::string_view key);
  JsonObject& AddArray(std::string_view key, const JsonArray& value);
  /// An array of texts. When any of them is not valid UTF-8, "<key>Base64"
  /// follows: an array of the same length holding the exact bytes of each
  /// invalid text and null for the valid ones.
  JsonObject& AddTextArray(std::string_view key, const std::vector<std::string>& values);

  /// The finished object, e.g. {"type":"closed"}.
  std::string str() const { return "{" + body_ + "}"; }

 private:
  void Key(std::string_view key);

  std::string body_;
};

/// An array of objects.
class JsonArray {
 public:
  JsonArray& Add(const JsonObject& value);
  std::string str() const { return "[" + body_ + "]"; }

 private:
  std::string body_;
};

}  // namespace korvane::host
