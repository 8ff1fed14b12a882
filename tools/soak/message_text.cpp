#include "tools/soak/message_text.h"

#include <charconv>
#include <cstdio>

#include "driver/support/string_utils.h"

namespace korvane::soak {
namespace {

// Contact ID carries the connection in the four digits of the account number
// and the sequence in the eight of event, partition and zone (hexadecimal).
constexpr uint64_t kContactIdConnections = 0x10000;
constexpr uint64_t kContactIdSequences = 0x100000000;

uint32_t Fnv1a(std::string_view text) {
  uint32_t hash = 2166136261u;
  for (const char c : text) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 16777619u;
  }
  return hash;
}

std::string Hex(uint64_t value, int width) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "%0*llX", width, static_cast<unsigned long long>(value));
  return buffer;
}

bool ReadNumber(std::string_view text, uint64_t& value, int base = 10) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size();
}

// Words of `text` split at single spaces.
bool SplitWords(std::string_view text, std::string_view (&words)[5]) {
  for (size_t i = 0; i < 5; ++i) {
    const size_t space = text.find(' ');
    if ((space == std::string_view::npos) != (i == 4)) return false;
    words[i] = text.substr(0, space);
    if (space != std::string_view::npos) text.remove_prefix(space + 1);
  }
  return true;
}

std::optional<MessageId> ReadText(std::string_view lane, std::string_view text) {
  std::string_view words[5];
  MessageId id;
  if (!SplitWords(text, words) || words[0] != "soak" || words[1] != lane || !ReadNumber(words[2], id.connection) ||
      !ReadNumber(words[3], id.sequence)) {
    return std::nullopt;
  }
  if (MessageText(lane, id.connection, id.sequence) != text) return std::nullopt;
  return id;
}

std::string ContactId(uint64_t connection, uint64_t sequence) {
  const std::string digits = Hex(sequence % kContactIdSequences, 8);
  std::string block = "2" + Hex(connection % kContactIdConnections, 4) + "181" + digits + "0";
  // Each digit counts its value, 0 as ten; the check digit brings the sum to a multiple of 15.
  unsigned sum = 0;
  for (size_t i = 1; i + 1 < block.size(); ++i) {
    const char c = block[i];
    const unsigned value = c >= 'A' ? static_cast<unsigned>(c - 'A' + 10) : static_cast<unsigned>(c - '0');
    sum += value == 0 ? 10 : value;
  }
  block.back() = "0123456789ABCDEF"[15 - sum % 15];
  return block;
}

// The text of element `name` in the plug-in's document.
std::string_view Element(std::string_view document, std::string_view name) {
  const std::string open = "<" + std::string(name) + ">";
  const size_t begin = document.find(open);
  if (begin == std::string_view::npos) return {};
  const size_t from = begin + open.size();
  const size_t end = document.find('<', from);
  return end == std::string_view::npos ? std::string_view{} : document.substr(from, end - from);
}

std::optional<MessageId> ReadContactId(std::string_view document) {
  MessageId id;
  const std::string digits = std::string(Element(document, "EventNumber")) +
                             std::string(Element(document, "Partition")) + std::string(Element(document, "Zone"));
  if (digits.size() != 8 || !ReadNumber(Element(document, "AccountNumber"), id.connection, 16) ||
      !ReadNumber(digits, id.sequence, 16) || Element(document, "MessageType") != "18" ||
      Element(document, "EventQualifier") != "1") {
    return std::nullopt;
  }
  return id;
}

}  // namespace

std::string MessageText(std::string_view lane, uint64_t connection, uint64_t sequence) {
  std::string text =
      "soak " + std::string(lane) + " " + std::to_string(connection) + " " + std::to_string(sequence) + " ";
  // A filler whose length and letters follow the sequence, so messages differ in size.
  const size_t filler = 8 + sequence % 61;
  for (size_t i = 0; i < filler; ++i) text += static_cast<char>('a' + (sequence * 7 + i) % 26);
  text += Hex(Fnv1a(text), 8);
  return text;
}

std::string WireMessage(Wire wire, std::string_view lane, uint64_t connection, uint64_t sequence) {
  switch (wire) {
    case Wire::kLine:
      return MessageText(lane, connection, sequence) + "\n";
    case Wire::kDatagram:
      return MessageText(lane, connection, sequence);
    case Wire::kXmlLine:
      return "<m>" + MessageText(lane, connection, sequence) + "</m>\n";
    case Wire::kContactId:
      return ContactId(connection, sequence) + "\r\n";
  }
  return {};
}

std::optional<MessageId> ReadDelivered(Wire wire, std::string_view lane, std::string_view delivered) {
  switch (wire) {
    case Wire::kLine:
    case Wire::kDatagram:
      return ReadText(lane, delivered);
    case Wire::kXmlLine: {
      const std::string plain = XmlUnescape(delivered);
      const std::string_view view(plain);
      if (view.size() < 7 || view.substr(0, 3) != "<m>" || view.substr(view.size() - 4) != "</m>") return std::nullopt;
      return ReadText(lane, view.substr(3, view.size() - 7));
    }
    case Wire::kContactId:
      return ReadContactId(delivered);
  }
  return std::nullopt;
}

}  // namespace korvane::soak
