#include "plugins/plover/plover.h"

#include "plugins/plover/galaxy_event_table.h"

namespace korvane {
namespace {

const CValidatorPlugin::Texts kTexts{"Plover", "Unable to parse Galaxy message: invalid format or currupted",
                                     "Galaxy data validator exception"};

// Header, function code and parity around the data bytes.
constexpr size_t kFramingBytes = 3;
constexpr uint8_t kLengthBits = 0x3f;

}  // namespace

CPlover::CPlover() : CValidatorPlugin(kTexts, Counting::kOneDocument) {}

bool CPlover::Open(IKSLDataValidatorAPIUser* user, const DeviceEndpoint* /*endpoint*/) {
  user_ = user;
  return true;
}

bool CPlover::ReadRecord(std::string_view block, GalaxyEventRecord& record) {
  const size_t n = block.size();
  if (n < kFramingBytes + 1) return false;
  uint8_t parity = 0xff;
  for (size_t i = 0; i + 1 < n; ++i) parity ^= static_cast<uint8_t>(block[i]);
  const uint8_t header = static_cast<uint8_t>(block[0]);
  const char function = block[1];
  // The header's top two bits are flags (acknowledge request, reverse channel).
  if ((header & kLengthBits) + kFramingBytes != n || parity != static_cast<uint8_t>(block[n - 1]) ||
      (function != 'N' && function != 'O')) {
    return false;
  }
  const std::string_view data = block.substr(2, n - kFramingBytes);
  if (data.size() < 2) return false;
  const GalaxyEventCode* event = FindGalaxyEvent(data.substr(0, 2));
  if (event == nullptr) return false;
  const std::string_view parameter = data.substr(2);
  const auto kind = GalaxyParameterFor(*event, parameter.size());
  if (!kind) return false;
  record.id = event->code;
  record.description = event->description;
  record.type = GalaxyParameterName(*kind);
  record.value = parameter;
  return true;
}

bool CPlover::Parse(const uint8_t* data, uint32_t length, std::string& text, uint32_t* /*count*/) {
  GalaxyEventRecord record;
  if (!ReadRecord(std::string_view(reinterpret_cast<const char*>(data), length), record)) return false;
  // The parameter is the panel's bytes: escaped, so a stray "<" or "&" cannot break the document.
  text.reserve(160 + record.value.size());
  text += "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<GalaxyEvent>\n";
  AppendElement(text, "ID", record.id);
  AppendElement(text, "Description", record.description);
  AppendElement(text, "Type", record.type);
  AppendElement(text, "Value", record.value);
  text += "</GalaxyEvent>";
  return true;
}

}  // namespace korvane
