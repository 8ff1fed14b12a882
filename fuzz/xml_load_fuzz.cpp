// Loads arbitrary bytes as a document and runs the reads every configuration
// and device message goes through.
#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/support/xml_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  korvane::CXMLParser parser;
  if (parser.LoadXml(text)) {
    parser.GetRootName();
    parser.GetAttributeW("//*", "a");
    parser.GetNodeTextW("//*");
    const auto nodes = parser.SelectNodes("//*");
    for (size_t i = 0; i < nodes.size() && i < 8; ++i) {
      parser.GetChildElements(nodes[i]);
      parser.GetValueList(nodes[i]);
      parser.GetRangeList(nodes[i]);
    }
  }
  std::string error;
  korvane::CXMLParser::XSDValidateW(text, "", "", error);
  return 0;
}
