#include "plugins/heron/heron.h"

#include <vector>

#include "driver/support/string_utils.h"
#include "plugins/common/xml_parser.h"

namespace korvane {
namespace {

constexpr char kOpen[] = "korvane::CHeron::Open";
constexpr char kEventsPath[] = "/ContactID/Events/Event";
constexpr std::string_view kUnknownEvent = "Unknown";
constexpr char kHexDigits[] = "0123456789ABCDEF";

const CValidatorPlugin::Texts kTexts{"Heron", "Unable to parse Texecom message: invalid format or currupted",
                                     "Texecom data validator exception"};

/// Value of a Contact ID digit in the checksum sum: "0" and anything that is
/// no hexadecimal digit count as 10.
int DigitValue(char c) {
  int value = 0;
  if (c >= '0' && c <= '9') {
    value = c - '0';
  } else if (c >= 'A' && c <= 'F') {
    value = c - 'A' + 10;
  } else if (c >= 'a' && c <= 'f') {
    value = c - 'a' + 10;
  }
  return value == 0 ? 10 : value;
}

/// Panels that count past "9" in ASCII send 10 to 15 as ":" to "?".
char NormaliseChecksum(char c) { return (c >= ':' && c <= '?') ? static_cast<char>('A' + (c - ':')) : c; }

bool ChecksumMatches(char received, char computed) {
  if (computed == 0) return false;
  // Contact ID has no digit A: a check value of 10 travels as "0".
  return received == computed || (received == '0' && computed == 'A');
}

}  // namespace

CHeron::CHeron() : CValidatorPlugin(kTexts, Counting::kOneDocument) {}

bool CHeron::Open(IKSLDataValidatorAPIUser* user, const DeviceEndpoint* /*endpoint*/) {
  user_ = user;
  try {
    events_.clear();
    LoadEventTable();
    return !events_.empty();
  } catch (...) {
    // Only allocations throw here; the log line is a fixed text for the same reason.
    events_.clear();
    LogLine(true, "korvane::CHeron::Open: ContactID.xml could not be read: out of memory");
    return false;
  }
}

void CHeron::LoadEventTable() {
  CXmlParser parser;
  if (!parser.LoadFile(kEventTableFile)) {
    LogLine(true, Format("%s: Unable to load %s from the host directory (missing, not well-formed or declaring "
                         "entities)",
                         kOpen, kEventTableFile));
    return;
  }
  const std::vector<std::string> numbers = parser.GetAttributeList(kEventsPath, "number");
  const std::vector<std::string> texts = parser.GetAttributeList(kEventsPath, "text");
  parser.Close();
  if (numbers.size() != texts.size()) {
    // Pairing by position would give events the wrong names.
    LogLine(true, Format("%s: %s has %zu events with a \"number\" but %zu with a \"text\"; no event is loaded", kOpen,
                         kEventTableFile, numbers.size(), texts.size()));
    return;
  }
  size_t repeated = 0;
  const std::string* firstRepeated = nullptr;
  for (size_t i = 0; i < numbers.size(); ++i) {
    const auto [entry, added] = events_.insert_or_assign(numbers[i], texts[i]);
    if (!added && repeated++ == 0) firstRepeated = &entry->first;
  }
  if (events_.empty()) {
    LogLine(true, Format("%s: %s holds no %s element", kOpen, kEventTableFile, kEventsPath));
    return;
  }
  if (repeated > 0) {
    LogLine(false, Format("%s: %s lists %zu event numbers again (first %s); the last text of each is used", kOpen,
                          kEventTableFile, repeated, firstRepeated->c_str()));
  }
  LogLine(false, Format("%s: %zu events loaded from %s", kOpen, events_.size(), kEventTableFile));
}

bool CHeron::Close() {
  events_.clear();
  return true;
}

void CHeron::LogLine(bool error, const char* text) const noexcept {
  if (user_ == nullptr) return;
  try {
    user_->Log(error ? 1 : 0, text);
  } catch (...) {
    // The driver's log failed; nothing else can report it.
  }
}

char CHeron::ComputeChecksum(std::string_view block) {
  if (block.size() < 3) return 0;
  unsigned sum = 0;
  for (size_t i = 1; i + 1 < block.size(); ++i) sum += static_cast<unsigned>(DigitValue(block[i]));
  return kHexDigits[15 - sum % 15];
}

bool CHeron::ReadRecord(std::string_view block, ContactIdRecord& record) const {
  // Fields at fixed widths; one that would run past the end stays empty, and
  // the fields after it are still read from their own positions.
  size_t position = 0;
  const auto take = [&](size_t width) {
    const std::string_view field =
        position + width <= block.size() ? block.substr(position, width) : std::string_view{};
    position += width;
    return field;
  };
  const std::string_view format = take(1);
  record.format = (format.size() == 1 && format[0] >= '0' && format[0] <= '9') ? format[0] - '0' : 0;
  record.accountNumber = take(4);
  record.messageType = take(2);
  record.eventQualifier = take(1);
  record.eventNumber = take(3);
  record.partition = take(2);
  record.zone = take(3);
  const std::string_view checksum = take(1);
  record.receivedChecksum = checksum.empty() ? 0 : NormaliseChecksum(checksum[0]);
  record.computedChecksum = ComputeChecksum(block);

  const auto event = events_.find(record.eventNumber);
  record.eventName = event != events_.end() ? std::string_view(event->second) : kUnknownEvent;

  return record.format == 2 && record.receivedChecksum != 0 &&
         ChecksumMatches(record.receivedChecksum, record.computedChecksum) && !record.accountNumber.empty() &&
         !record.messageType.empty() && !record.eventQualifier.empty() && !record.eventNumber.empty() &&
         !record.eventName.empty() && !record.partition.empty() && !record.zone.empty();
}

bool CHeron::Parse(const uint8_t* data, uint32_t length, std::string& text, uint32_t* /*count*/) {
  ContactIdRecord record;
  if (!ReadRecord(std::string_view(reinterpret_cast<const char*>(data), length), record)) return false;
  // Texts are escaped: an event name such as "Fire & smoke" must not break the document.
  text.reserve(256 + record.eventName.size());
  text += "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<TexecomEvent>\n";
  AppendElement(text, "AccountNumber", record.accountNumber);
  AppendElement(text, "MessageType", record.messageType);
  AppendElement(text, "EventQualifier", record.eventQualifier);
  AppendElement(text, "EventNumber", record.eventNumber);
  AppendElement(text, "EventName", record.eventName);
  AppendElement(text, "Partition", record.partition);
  AppendElement(text, "Zone", record.zone);
  text += "</TexecomEvent>";
  return true;
}

}  // namespace korvane
