// The numbered messages the soak's generators send and the checker reads back:
// each names its lane, its connection and its place on that connection, and
// carries a check value over the rest, so a cut, merged or altered message is
// told from a valid one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane::soak {

/// How a lane wraps its messages on the wire and how the host sees them again.
enum class Wire {
  kLine,       ///< the text and "\n"; delivered as the text
  kDatagram,   ///< the text alone, one message per datagram
  kXmlLine,    ///< "<m>text</m>\n"; delivered XML-escaped, as it arrived
  kContactId,  ///< a Contact ID message; delivered as the plug-in's document
};

struct MessageId {
  uint64_t connection = 0;
  uint64_t sequence = 0;
};

/// The text of message `sequence` on `connection` of lane `lane` (a short word without spaces).
std::string MessageText(std::string_view lane, uint64_t connection, uint64_t sequence);

/// The bytes a generator sends for that message.
std::string WireMessage(Wire wire, std::string_view lane, uint64_t connection, uint64_t sequence);

/// The message a delivered text stands for, or nothing when it is no valid
/// message of `lane` (garbled).
std::optional<MessageId> ReadDelivered(Wire wire, std::string_view lane, std::string_view delivered);

}  // namespace korvane::soak
