// Plover's Validate on arbitrary blocks: every answer is well formed (see
// plugin_fuzz_check.h); an accepted block is correctly framed and its
// document reads back, through the escaping, to the block's event and parameter.
#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/support/xml_parser.h"
#include "fuzz/plugin_fuzz_check.h"
#include "plugins/plover/plover.h"

using korvane::fuzzing::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static korvane::CPlover plover;
  const korvane::fuzzing::PluginAnswer answer = korvane::fuzzing::ValidateChecked(plover, data, size);
  if (!answer.ok) return 0;
  Check(size >= 5 && (data[0] & 0x3f) + 3u == size, "accepted a block whose header gives another length");
  uint8_t parity = 0xff;
  for (size_t i = 0; i + 1 < size; ++i) parity ^= data[i];
  Check(parity == data[size - 1], "accepted a block with a wrong parity");
  if (korvane::fuzzing::Printable(data + 2, size - 3)) {
    korvane::CXMLParser parser;
    Check(parser.LoadXml(answer.text), "document is not readable XML");
    const std::string block(reinterpret_cast<const char*>(data), size);
    Check(parser.GetNodeTextW("/GalaxyEvent/ID") == block.substr(2, 2), "event code differs");
    Check(parser.GetNodeTextW("/GalaxyEvent/Value") == block.substr(4, size - 5), "parameter differs");
  }
  return 0;
}
