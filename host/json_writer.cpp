#include "host/json_writer.h"

#include <cstdio>

namespace korvane::host {
namespace {

struct Utf8Step {
  size_t length;  // bytes consumed
  bool valid;     // a complete, well-formed character
};

// One step of a UTF-8 decoder. An ill-formed sequence consumes its maximal
// subpart (at least one byte), so each one maps to exactly one U+FFFD.
Utf8Step NextUtf8(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return {1, true};
  size_t needed = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return {1, false};
  }
  size_t length = 1;
  for (size_t k = 0; k < needed; ++k) {
    if (i + length >= text.size()) return {length, false};
    const unsigned char next = byte(i + length);
    const unsigned char min = k == 0 ? low : 0x80;
    const unsigned char max = k == 0 ? high : 0xBF;
    if (next < min || next > max) return {length, false};
    ++length;
  }
  return {length, true};
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                       static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[v >> 18 & 0x3F];
    out += kAlphabet[v >> 12 & 0x3F];
    out += kAlphabet[v >> 6 & 0x3F];
    out += kAlphabet[v & 0x3F];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kAlphabet[v >> 18 & 0x3F];
    out += kAlphabet[v >> 12 & 0x3F];
    out += rest == 2 ? kAlphabet[v >> 6 & 0x3F] : '=';
    out += '=';
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const Utf8Step step = NextUtf8(text, i);
    if (!step.valid) return false;
    i += step.length;
  }
  return true;
}

std::string ToValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const Utf8Step step = NextUtf8(text, i);
    if (step.valid) {
      out.append(text.substr(i, step.length));
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += step.length;
  }
  return out;
}

namespace {

/// Appends `text` as a JSON string: runs that need no escape in one copy.
void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default: {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
        out += escaped;
      }
    }
  }
  out.append(text.data() + run, text.size() - run);
  out += '"';
}

}  // namespace

std::string JsonQuote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  AppendQuoted(out, text);
  return out;
}

std::string IsoUtcTime(const SYSTEMTIME& time) {
  // Written by hand: this runs for every callback, and printf is a large part of that.
  char text[] = "0000-00-00T00:00:00.000Z";
  const auto put = [&text](size_t at, unsigned value, size_t digits) {
    for (size_t i = digits; i-- > 0; value /= 10) text[at + i] = static_cast<char>('0' + value % 10);
  };
  put(0, time.wYear % 10000u, 4);
  put(5, time.wMonth % 100u, 2);
  put(8, time.wDay % 100u, 2);
  put(11, time.wHour % 100u, 2);
  put(14, time.wMinute % 100u, 2);
  put(17, time.wSecond % 100u, 2);
  put(20, time.wMilliseconds % 1000u, 3);
  return text;
}

void JsonObject::Key(std::string_view key) {
  if (!body_.empty()) body_ += ',';
  AppendQuoted(body_, key);
  body_ += ':';
}

JsonObject& JsonObject::AddText(std::string_view key, std::string_view value) {
  Key(key);
  if (IsValidUtf8(value)) {
    AppendQuoted(body_, value);
    return *this;
  }
  body_ += JsonQuote(ToValidUtf8(value));
  Key(std::string(key) + "Base64");
  body_ += JsonQuote(Base64Encode(value));
  return *this;
}

JsonObject& JsonObject::AddText(std::string_view key, const char* value) {
  if (value == nullptr) return AddNull(key);
  return AddText(key, std::string_view(value));
}

JsonObject& JsonObject::AddText(std::string_view key, const char* value, int32_t length) {
  if (value == nullptr) return AddNull(key);
  return AddText(key, std::string_view(value, length > 0 ? static_cast<size_t>(length) : 0));
}

JsonObject& JsonObject::AddInt(std::string_view key, int64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::AddBool(std::string_view key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::AddNull(std::string_view key) {
  Key(key);
  body_ += "null";
  return *this;
}

JsonObject& JsonObject::AddArray(std::string_view key, const JsonArray& value) {
  Key(key);
  body_ += value.str();
  return *this;
}

JsonObject& JsonObject::AddTextArray(std::string_view key, const std::vector<std::string>& values) {
  Key(key);
  std::string exact;
  bool anyInvalid = false;
  body_ += '[';
  for (size_t i = 0; i < values.size(); ++i) {
    const bool valid = IsValidUtf8(values[i]);
    anyInvalid = anyInvalid || !valid;
    if (i > 0) {
      body_ += ',';
      exact += ',';
    }
    body_ += JsonQuote(valid ? values[i] : ToValidUtf8(values[i]));
    exact += valid ? "null" : JsonQuote(Base64Encode(values[i]));
  }
  body_ += ']';
  if (anyInvalid) {
    Key(std::string(key) + "Base64");
    body_ += '[' + exact + ']';
  }
  return *this;
}

JsonArray& JsonArray::Add(const JsonObject& value) {
  if (!body_.empty()) body_ += ',';
  body_ += value.str();
  return *this;
}

}  // namespace korvane::host
