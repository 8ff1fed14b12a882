#include "driver/support/string_utils.h"

#include <openssl/evp.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <limits>

#include "driver/support/clock.h"
#include "driver/support/utf8.h"

namespace korvane {
namespace {

template <typename Char>
bool IsBlank(Char c) {
  return c == Char(' ') || c == Char('\t');
}

template <typename Char>
std::basic_string_view<Char> TrimView(std::basic_string_view<Char> text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

template <typename Char>
bool ParseIntImpl(std::basic_string_view<Char> text, int32_t& value) {
  value = 0;
  text = TrimView(text);
  bool negative = false;
  if (!text.empty() && (text[0] == Char('+') || text[0] == Char('-'))) {
    negative = text[0] == Char('-');
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  // Accumulate as a negative number so INT32_MIN is reachable without overflow.
  int64_t result = 0;
  for (const Char c : text) {
    if (c < Char('0') || c > Char('9')) return false;
    result = result * 10 - static_cast<int64_t>(c - Char('0'));
    if (result < static_cast<int64_t>(std::numeric_limits<int32_t>::min())) return false;
  }
  if (!negative) {
    result = -result;
    if (result > std::numeric_limits<int32_t>::max()) return false;
  }
  value = static_cast<int32_t>(result);
  return true;
}

bool ParseFloatAscii(std::string_view text, float& value) {
  value = 0.0f;
  text = TrimView(text);
  // from_chars refuses a leading plus; a number may still carry one.
  if (!text.empty() && text[0] == '+') {
    text.remove_prefix(1);
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) return false;
  }
  if (text.empty()) return false;
  float result = 0.0f;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  // Only numbers: "nan" and "inf" are words, not values a rule can compare.
  if (!std::isfinite(result)) return false;
  value = result;
  return true;
}

// --- XML escaping -----------------------------------------------------------

const char* EntityFor(char c, size_t& length) {
  switch (c) {
    case '"':
      length = 6;
      return "&quot;";
    case '&':
      length = 5;
      return "&amp;";
    case '\'':
      length = 6;
      return "&apos;";
    case '<':
      length = 4;
      return "&lt;";
    case '>':
      length = 4;
      return "&gt;";
    default:
      length = 0;
      return nullptr;
  }
}

inline bool IsXmlSpecial(unsigned char c) { return c == '"' || c == '&' || c == '\'' || c == '<' || c == '>'; }

// Word-at-a-time test for any of the five special bytes in eight bytes.
inline bool WordHasSpecial(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  auto hasZeroByte = [](uint64_t v) { return ((v - kOnes) & ~v & kHighs) != 0; };
  return hasZeroByte(word ^ (kOnes * '"')) || hasZeroByte(word ^ (kOnes * '&')) || hasZeroByte(word ^ (kOnes * '\'')) ||
         hasZeroByte(word ^ (kOnes * '<')) || hasZeroByte(word ^ (kOnes * '>'));
}

const char* FindXmlSpecial(const char* p, const char* end) {
#if defined(__SSE2__)
  // Every received message passes through here: compare sixteen bytes at a
  // time against the five special characters.
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i amp = _mm_set1_epi8('&');
  const __m128i apos = _mm_set1_epi8('\'');
  const __m128i lt = _mm_set1_epi8('<');
  const __m128i gt = _mm_set1_epi8('>');
  while (end - p >= 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hits =
        _mm_or_si128(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, amp)),
                                  _mm_or_si128(_mm_cmpeq_epi8(chunk, apos), _mm_cmpeq_epi8(chunk, lt))),
                     _mm_cmpeq_epi8(chunk, gt));
    const int mask = _mm_movemask_epi8(hits);
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (end - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if (WordHasSpecial(word)) break;
    p += 8;
  }
  while (p < end && !IsXmlSpecial(static_cast<unsigned char>(*p))) ++p;
  return p;
}

template <typename Char>
std::basic_string<Char> XmlUnescapeImpl(std::basic_string_view<Char> text) {
  struct Entity {
    const char* name;  // without '&'
    size_t length;
    Char value;
  };
  static const Entity kEntities[] = {
      {"lt;", 3, Char('<')},    {"gt;", 3, Char('>')},   {"amp;", 4, Char('&')},
      {"apos;", 5, Char('\'')}, {"quot;", 5, Char('"')},
  };
  std::basic_string<Char> out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const size_t amp = text.find(Char('&'), i);
    if (amp == std::basic_string_view<Char>::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, amp - i));
    const auto rest = text.substr(amp + 1);
    const Entity* match = nullptr;
    for (const Entity& entity : kEntities) {
      if (rest.size() < entity.length) continue;
      bool equal = true;
      for (size_t k = 0; k < entity.length && equal; ++k) equal = rest[k] == Char(entity.name[k]);
      if (equal) {
        match = &entity;
        break;
      }
    }
    if (match != nullptr) {
      out.push_back(match->value);
      i = amp + 1 + match->length;
    } else {
      out.push_back(Char('&'));
      i = amp + 1;
    }
  }
  return out;
}

// --- base64 -------------------------------------------------------------------

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kBase64LineLength = 76;

size_t Base64Length(size_t length) { return (length + 2) / 3 * 4; }

void Base64Append(const uint8_t* data, size_t length, std::string& out, bool lineBreaks) {
  size_t lineFill = 0;
  auto put = [&](char c) {
    out.push_back(c);
    if (lineBreaks && ++lineFill == kBase64LineLength) {
      out += "\r\n";
      lineFill = 0;
    }
  };
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const uint32_t n = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    put(kBase64Alphabet[(n >> 18) & 63]);
    put(kBase64Alphabet[(n >> 12) & 63]);
    put(kBase64Alphabet[(n >> 6) & 63]);
    put(kBase64Alphabet[n & 63]);
  }
  if (const size_t rest = length - i; rest > 0) {
    uint32_t n = uint32_t{data[i]} << 16;
    if (rest == 2) n |= uint32_t{data[i + 1]} << 8;
    put(kBase64Alphabet[(n >> 18) & 63]);
    put(kBase64Alphabet[(n >> 12) & 63]);
    put(rest == 2 ? kBase64Alphabet[(n >> 6) & 63] : '=');
    put('=');
  }
}

// --- UTF-8 ----------------------------------------------------------------------

constexpr wchar_t kReplacement = 0xFFFD;

}  // namespace

bool ParseInt(std::string_view text, int32_t& value) { return ParseIntImpl(text, value); }

bool ParseInt(std::wstring_view text, int32_t& value) { return ParseIntImpl(text, value); }

bool ParseFloat(std::string_view text, float& value) { return ParseFloatAscii(text, value); }

bool ParseFloat(std::wstring_view text, float& value) {
  value = 0.0f;
  std::string narrow;
  narrow.reserve(text.size());
  for (const wchar_t c : text) {
    if (c <= 0 || c >= 0x80) return false;  // a number is plain ASCII
    narrow.push_back(static_cast<char>(c));
  }
  return ParseFloatAscii(narrow, value);
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int needed = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string out;
  if (needed > 0) {
    out.resize(static_cast<size_t>(needed));
    std::vsnprintf(out.data(), out.size() + 1, format, args);
  }
  va_end(args);
  return out;
}

std::wstring Format(const wchar_t* format, ...) {
  // vswprintf cannot measure, so grow until the text fits; it also fails on
  // an encoding error, hence the upper bound.
  constexpr size_t kMaxLength = size_t{1} << 24;
  std::wstring out;
  for (size_t capacity = 256; capacity <= kMaxLength; capacity *= 2) {
    out.resize(capacity);
    va_list args;
    va_start(args, format);
    const int written = std::vswprintf(out.data(), capacity, format, args);
    va_end(args);
    if (written >= 0 && static_cast<size_t>(written) < capacity) {
      out.resize(static_cast<size_t>(written));
      return out;
    }
  }
  return {};
}

std::string ToLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string Trim(std::string_view text) { return std::string(TrimView(text)); }

std::wstring Trim(std::wstring_view text) { return std::wstring(TrimView(text)); }

std::vector<std::string> Split(std::string_view text, std::string_view separator) {
  std::vector<std::string> pieces;
  if (separator.empty()) {
    if (!text.empty()) pieces.emplace_back(text);
    return pieces;
  }
  size_t start = 0;
  while (start <= text.size()) {
    const size_t found = text.find(separator, start);
    const size_t end = found == std::string_view::npos ? text.size() : found;
    if (end > start) pieces.emplace_back(text.substr(start, end - start));
    if (found == std::string_view::npos) break;
    start = found + separator.size();
  }
  return pieces;
}

std::vector<std::wstring> SplitWords(std::wstring_view text) {
  auto isSpace = [](wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
  };
  std::vector<std::wstring> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && isSpace(text[i])) ++i;
    const size_t start = i;
    while (i < text.size() && !isSpace(text[i])) ++i;
    if (i > start) words.emplace_back(text.substr(start, i - start));
  }
  return words;
}

std::string XmlEscape(const char* data, size_t length) {
  std::string out;
  XmlEscapeAppend(out, data, length);
  return out;
}

void XmlEscapeAppend(std::string& out, const char* data, size_t length) {
  if (data == nullptr || length == 0) return;
  const char* const end = data + length;
  const char* special = FindXmlSpecial(data, end);
  if (special == end) {
    out.append(data, length);
    return;
  }
  out.reserve(out.size() + length + length / 8 + 8);
  const char* run = data;
  while (true) {
    out.append(run, static_cast<size_t>(special - run));
    if (special == end) break;
    size_t entityLength = 0;
    const char* entity = EntityFor(*special, entityLength);
    out.append(entity, entityLength);
    run = special + 1;
    special = FindXmlSpecial(run, end);
  }
}

std::string XmlUnescape(std::string_view text) { return XmlUnescapeImpl(text); }

std::wstring XmlUnescape(std::wstring_view text) { return XmlUnescapeImpl(text); }

bool Base64Encode(const uint8_t* data, size_t length, std::string& out, size_t capacity) {
  out.clear();
  const size_t encoded = Base64Length(length);
  const size_t breaks = encoded / kBase64LineLength;
  if (encoded + 2 * breaks > capacity) return false;
  out.reserve(encoded + 2 * breaks);
  Base64Append(data, length, out, true);
  return true;
}

bool BasicCredentials(std::string_view user, std::string_view password, std::string& out) {
  // The credentials end up in one header line, so they are encoded without
  // line breaks; the limit is that of the 100-character buffer the text
  // (with its terminating zero) has always had to fit: 71 bytes together.
  constexpr size_t kBufferSize = 100;
  out.clear();
  std::string plain;
  plain.reserve(user.size() + 1 + password.size());
  plain.append(user).append(1, ':').append(password);
  if (Base64Length(plain.size()) + 1 > kBufferSize) return false;
  Base64Append(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), out, false);
  return true;
}

std::string Md5Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &digestLength, EVP_md5(), nullptr) != 1) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * digestLength);
  for (unsigned int i = 0; i < digestLength; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 15]);
  }
  return out;
}

std::string TimestampText() {
  const SYSTEMTIME t = CurrentLocalSystemTime();
  return Format("%d-%.2d-%.2d %.2d:%.2d:%.2d.%.3d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
                t.wMilliseconds);
}

std::string RotationStamp() {
  const SYSTEMTIME t = CurrentLocalSystemTime();
  return Format("%d%.2d%.2d_%.2d%.2d%.2d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

std::wstring Utf8ToWide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const Utf8Step step = DecodeUtf8(text, i);
    // A broken sequence becomes one replacement; decoding resumes at the byte that broke it.
    out.push_back(step.valid ? static_cast<wchar_t>(step.codePoint) : kReplacement);
    i += step.length;
  }
  return out;
}

std::string CleanUtf8(std::string_view text) {
  // Most text is valid: one pass, then copied as it stands.
  size_t valid = 0;
  while (valid < text.size()) {
    if (static_cast<unsigned char>(text[valid]) < 0x80) {
      ++valid;
      continue;
    }
    const Utf8Step step = DecodeUtf8(text, valid);
    if (!step.valid) break;
    valid += step.length;
  }
  std::string out(text.substr(0, valid));
  for (size_t i = valid; i < text.size();) {
    const Utf8Step step = DecodeUtf8(text, i);
    AppendUtf8(out, step.valid ? step.codePoint : static_cast<uint32_t>(kReplacement));
    i += step.length;
  }
  return out;
}

std::string WideToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (const wchar_t c : text) AppendUtf8(out, static_cast<uint32_t>(c));
  return out;
}

}  // namespace korvane
