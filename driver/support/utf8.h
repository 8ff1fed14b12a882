// UTF-8 one code point at a time: strict decoding (no overlong forms, no
// surrogates, nothing above U+10FFFF) that also tells how far an ill-formed
// sequence reaches, and encoding. Header-only, so the host program and the
// plug-ins use the same rules as the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvane {

/// What one step of decoding found at a position.
struct Utf8Step {
  uint32_t codePoint = 0;  ///< valid only when `valid`
  size_t length = 1;       ///< bytes taken: the sequence, or its maximal ill-formed part (at least 1)
  bool valid = false;
};

/// Decodes the sequence starting at `pos` (which must be inside `text`).
inline Utf8Step DecodeUtf8(std::string_view text, size_t pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  const unsigned char lead = p[pos];
  if (lead < 0x80) return {lead, 1, true};
  size_t count = 0;
  uint32_t cp = 0;
  // Bounds of the second byte exclude overlong forms, surrogates and values past U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    count = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    count = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    count = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {0, 1, false};
  }
  size_t k = 1;
  for (; k <= count && pos + k < n; ++k) {
    const unsigned char c = p[pos + k];
    if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) break;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (k <= count) return {0, k, false};  // cut short: resume at the byte that broke it
  return {cp, count + 1, true};
}

/// Appends `cp` as UTF-8; a surrogate or a value past U+10FFFF becomes U+FFFD.
inline void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace korvane
