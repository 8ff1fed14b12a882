// Small text utilities shared by every part of the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

/// Strict decimal integer: blanks/tabs trimmed, optional sign, at least one
/// digit, nothing else, within int32. False (value 0) otherwise.
bool ParseInt(std::string_view text, int32_t& value);
bool ParseInt(std::wstring_view text, int32_t& value);
/// Whole-text conversion to float after trimming; false (value 0) on failure.
bool ParseFloat(std::string_view text, float& value);
bool ParseFloat(std::wstring_view text, float& value);

/// printf-style formatting into a string sized by a measuring pass.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::wstring Format(const wchar_t* format, ...);

/// Lower-cases every byte with the C locale.
std::string ToLower(std::string_view text);
/// Removes blanks and tabs at both ends.
std::string Trim(std::string_view text);
std::wstring Trim(std::wstring_view text);
/// Splits at every occurrence of `separator`; empty pieces are dropped.
std::vector<std::string> Split(std::string_view text, std::string_view separator);
/// Splits at white space.
std::vector<std::wstring> SplitWords(std::wstring_view text);

/// Escapes ", &, ', <, > as XML entities; every other byte (zero bytes too) is copied.
std::string XmlEscape(const char* data, size_t length);
inline std::string XmlEscape(std::string_view text) { return XmlEscape(text.data(), text.size()); }
/// Appends the escaped form of `data` to `out`.
void XmlEscapeAppend(std::string& out, const char* data, size_t length);
/// Replaces &lt; &gt; &amp; &apos; &quot; by their characters.
std::string XmlUnescape(std::string_view text);
std::wstring XmlUnescape(std::wstring_view text);

/// Standard base64 with padding and a CR LF after every 76 output characters.
/// False when the result (line breaks included) exceeds `capacity` characters.
bool Base64Encode(const uint8_t* data, size_t length, std::string& out, size_t capacity = SIZE_MAX);
/// base64("user:password") for HTTP/RTSP Basic authentication, limited to
/// 100 characters; false when it does not fit.
bool BasicCredentials(std::string_view user, std::string_view password, std::string& out);
/// MD5 of the bytes as 32 lower-case hex digits.
std::string Md5Hex(std::string_view data);

/// Local time as "YYYY-MM-DD hh:mm:ss.mmm" (year not padded).
std::string TimestampText();
/// Local time as "YYYYMMDD_hhmmss".
std::string RotationStamp();

/// UTF-8 <-> wide (UTF-32) text. Invalid input bytes become U+FFFD.
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
/// `text` with every broken UTF-8 sequence replaced as Utf8ToWide replaces it
/// (the same as WideToUtf8(Utf8ToWide(text)), without the wide copy).
std::string CleanUtf8(std::string_view text);

}  // namespace korvane
