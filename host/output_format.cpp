#include "host/output_format.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "driver/support/utf8.h"
#include "host/json_writer.h"

namespace korvane::host {
namespace {

// A misbehaving search-data object must not keep a callback spinning.
constexpr int kMaxTags = 100000;

struct TagValue {
  int32_t id;
  std::string text;
};

std::vector<TagValue> TagsOf(ISearchData* searchData) {
  std::vector<TagValue> tags;
  if (searchData == nullptr) return tags;
  SearchTagEntry entry{};
  int count = 0;
  for (bool more = searchData->First(&entry); more && count < kMaxTags; more = searchData->Next(&entry), ++count) {
    tags.push_back({entry.id, std::string(TextOf(entry.text, entry.length))});
  }
  return tags;
}

const SYSTEMTIME* TimeOf(ISearchData* searchData) { return searchData != nullptr ? searchData->GetTime() : nullptr; }

class JsonFormat final : public OutputFormat {
 public:
  std::string Opened(bool ok, const std::vector<std::string>& events, const std::vector<RegisteredTag>& tags) override {
    JsonObject line;
    line.AddText("type", "opened").AddBool("ok", ok);
    if (ok) {
      line.AddTextArray("events", events);
      JsonArray list;
      for (const RegisteredTag& tag : tags) list.Add(JsonObject().AddInt("id", tag.id).AddText("name", tag.name));
      line.AddArray("searchTags", list);
    }
    return line.str();
  }

  std::string Started(bool ok) override { return JsonObject().AddText("type", "started").AddBool("ok", ok).str(); }

  std::string Closed() override { return JsonObject().AddText("type", "closed").str(); }

  std::string Data(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength, const char* data,
                   int32_t length, const char* encoding) override {
    JsonObject line;
    line.AddText("type", "data").AddInt("channel", channel).AddText("source", source, sourceLength);
    line.AddText("data", data, length).AddText("encoding", encoding);
    AddSearchData(line, searchData);
    return line.str();
  }

  std::string Event(uint8_t channel, int32_t number, ISearchData* searchData, const char* source, int32_t sourceLength,
                    const char* text, int32_t length, const char* encoding) override {
    JsonObject line;
    line.AddText("type", "event").AddInt("channel", channel).AddInt("number", number);
    line.AddText("text", text, length).AddText("source", source, sourceLength);
    line.AddText("encoding", encoding);
    AddSearchData(line, searchData);
    return line.str();
  }

  std::string ClearScreen(uint8_t channel) override {
    return JsonObject().AddText("type", "clearScreen").AddInt("channel", channel).str();
  }

  std::string Notify(int32_t value) override {
    return JsonObject().AddText("type", "notify").AddInt("value", value).str();
  }

  std::string Log(int32_t severity, const char* text) override {
    return JsonObject().AddText("type", "log").AddInt("severity", severity).AddText("text", text).str();
  }

  std::string OpenFailed(int32_t channel) override {
    return JsonObject().AddText("type", "openFailed").AddInt("channel", channel).str();
  }

  std::string Metadata(int32_t kind, int32_t channel, int32_t format, const SYSTEMTIME* time, const char* data,
                       int32_t length) override {
    JsonObject line;
    line.AddText("type", "metadata").AddInt("kind", kind).AddInt("channel", channel).AddInt("format", format);
    AddTime(line, time);
    line.AddText("data", data, length);
    return line.str();
  }

 private:
  static void AddTime(JsonObject& line, const SYSTEMTIME* time) {
    if (time != nullptr) {
      line.AddText("time", IsoUtcTime(*time));
    } else {
      line.AddNull("time");
    }
  }

  static void AddSearchData(JsonObject& line, ISearchData* searchData) {
    AddTime(line, TimeOf(searchData));
    JsonArray tags;
    for (const TagValue& tag : TagsOf(searchData))
      tags.Add(JsonObject().AddInt("id", tag.id).AddText("text", tag.text));
    line.AddArray("tags", tags);
  }
};

// One line per callback: local time, kind, name, search tags, text.
//   14:03:07.120  event     Door forced           [Card=1234 Door=3]  door 3 forced open
class TextFormat final : public OutputFormat {
 public:
  std::string Opened(bool ok, const std::vector<std::string>& events, const std::vector<RegisteredTag>& tags) override {
    {
      std::lock_guard lock(mutex_);
      events_ = events;
      tags_ = tags;
    }
    std::string text;
    if (ok) {
      text = "events:";
      for (const std::string& name : events) text += " \"" + name + "\"";
      text += "  search tags:";
      for (const RegisteredTag& tag : tags) text += " \"" + tag.name + "\" (type " + std::to_string(tag.id) + ")";
    }
    return Line(nullptr, "opened", ok ? "ok" : "FAILED", {}, text);
  }

  std::string Started(bool ok) override { return Line(nullptr, "started", ok ? "ok" : "FAILED", {}, ""); }

  std::string Closed() override { return Line(nullptr, "closed", "", {}, ""); }

  std::string Data(uint8_t /*channel*/, ISearchData* searchData, const char* source, int32_t sourceLength,
                   const char* data, int32_t length, const char* /*encoding*/) override {
    return Line(TimeOf(searchData), "data", std::string(TextOf(source, sourceLength)), TagsOf(searchData),
                XmlUnescape(TextOf(data, length)));
  }

  std::string Event(uint8_t /*channel*/, int32_t number, ISearchData* searchData, const char* /*source*/,
                    int32_t /*sourceLength*/, const char* text, int32_t length, const char* encoding) override {
    return Line(TimeOf(searchData), encoding != nullptr ? "event" : "end", EventName(number), TagsOf(searchData),
                XmlUnescape(TextOf(text, length)));
  }

  std::string ClearScreen(uint8_t channel) override {
    return Line(nullptr, "clear", "channel " + std::to_string(channel), {}, "");
  }

  std::string Notify(int32_t value) override { return Line(nullptr, "notify", std::to_string(value), {}, ""); }

  std::string Log(int32_t severity, const char* text) override {
    static constexpr const char* kSeverities[] = {"error", "warning", "info", "debug"};
    const std::string name =
        severity >= 1 && severity <= 4 ? kSeverities[severity - 1] : "severity " + std::to_string(severity);
    return Line(nullptr, "log", name, {}, text != nullptr ? text : "");
  }

  std::string OpenFailed(int32_t channel) override {
    return Line(nullptr, "openFail", "channel " + std::to_string(channel), {}, "");
  }

  std::string Metadata(int32_t kind, int32_t channel, int32_t format, const SYSTEMTIME* time, const char* data,
                       int32_t length) override {
    const std::string name =
        "kind " + std::to_string(kind) + " ch " + std::to_string(channel) + " fmt " + std::to_string(format);
    return Line(time, "metadata", name, {}, std::string(TextOf(data, length)));
  }

 private:
  std::string EventName(int32_t number) {
    std::lock_guard lock(mutex_);
    if (number >= 1 && static_cast<size_t>(number) <= events_.size()) return events_[number - 1];
    return "#" + std::to_string(number);
  }

  std::string TagName(int32_t position) {
    std::lock_guard lock(mutex_);
    if (position >= 1 && static_cast<size_t>(position) <= tags_.size()) return tags_[position - 1].name;
    return "#" + std::to_string(position);
  }

  static std::string Clock(const SYSTEMTIME* utc) {
    std::tm local{};
    int millis = 0;
    if (utc != nullptr) {
      std::tm calendar{};
      calendar.tm_year = utc->wYear - 1900;
      calendar.tm_mon = utc->wMonth - 1;
      calendar.tm_mday = utc->wDay;
      calendar.tm_hour = utc->wHour;
      calendar.tm_min = utc->wMinute;
      calendar.tm_sec = utc->wSecond;
      const std::time_t seconds = timegm(&calendar);
      localtime_r(&seconds, &local);
      millis = utc->wMilliseconds % 1000;
    } else {
      timespec now{};
      clock_gettime(CLOCK_REALTIME, &now);
      localtime_r(&now.tv_sec, &local);
      millis = static_cast<int>(now.tv_nsec / 1000000);
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec, millis);
    return buffer;
  }

  // Columns count characters, not bytes.
  static void Pad(std::string& line, size_t column) {
    line += ' ';
    const auto width = static_cast<size_t>(
        std::count_if(line.begin(), line.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
    if (width < column) line.append(column - width, ' ');
  }

  std::string Line(const SYSTEMTIME* time, std::string_view kind, const std::string& name,
                   const std::vector<TagValue>& tags, const std::string& text) {
    std::string line = Clock(time);
    Pad(line, 14);
    line += kind;
    Pad(line, 24);
    line += Printable(name);
    Pad(line, 46);
    if (!tags.empty()) {
      // A name registered several times carries the value once per entry; people see it once.
      std::vector<std::string> shown;
      for (const TagValue& tag : tags) {
        std::string item = Printable(TagName(tag.id)) + '=' + Printable(tag.text);
        if (std::find(shown.begin(), shown.end(), item) == shown.end()) shown.push_back(std::move(item));
      }
      line += '[';
      for (size_t i = 0; i < shown.size(); ++i) line += (i > 0 ? " " : "") + shown[i];
      line += "] ";
    }
    line += Printable(text);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
  }

  std::mutex mutex_;
  std::vector<std::string> events_;
  std::vector<RegisteredTag> tags_;
};

// The code point of a character reference body ("#65", "#x41"), or 0.
uint32_t CharacterReference(std::string_view body) {
  if (body.size() < 2 || body[0] != '#') return 0;
  const bool hex = body[1] == 'x' || body[1] == 'X';
  const std::string_view digits = body.substr(hex ? 2 : 1);
  if (digits.empty() || digits.size() > 8) return 0;
  uint32_t value = 0;
  for (const char c : digits) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return 0;
    value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
  }
  const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
  return value <= 0x10FFFF && !surrogate ? value : 0;
}

}  // namespace

std::unique_ptr<OutputFormat> MakeOutputFormat(Format format) {
  if (format == Format::kText) return std::make_unique<TextFormat>();
  return std::make_unique<JsonFormat>();
}

std::string_view TextOf(const char* text, int32_t length) {
  if (text == nullptr || length <= 0) return {};
  return std::string_view(text, static_cast<size_t>(length));
}

std::string XmlUnescape(std::string_view text) {
  static constexpr std::pair<std::string_view, char> kEntities[] = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    const size_t amp = text.find('&', pos);
    if (amp == std::string_view::npos) {
      out.append(text.substr(pos));
      break;
    }
    out.append(text.substr(pos, amp - pos));
    const size_t semicolon = text.find(';', amp);
    // Entity names and references are short; a distant ';' belongs to other text.
    const std::string_view body =
        semicolon != std::string_view::npos && semicolon - amp <= 12 ? text.substr(amp + 1, semicolon - amp - 1) : "";
    bool resolved = false;
    for (const auto& [name, c] : kEntities) {
      if (body == name) {
        out += c;
        resolved = true;
      }
    }
    if (!resolved) {
      if (const uint32_t cp = CharacterReference(body); cp != 0) {
        AppendUtf8(out, cp);
        resolved = true;
      }
    }
    if (resolved) {
      pos = semicolon + 1;
    } else {
      out += '&';
      pos = amp + 1;
    }
  }
  return out;
}

std::string Printable(std::string_view text) {
  const std::string valid = ToValidUtf8(text);
  std::string out;
  out.reserve(valid.size());
  for (const char c : valid) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\t' || c == '\r' || c == '\n') {
      out += ' ';
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace korvane::host
