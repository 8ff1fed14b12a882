// One text form of a VCA document's element tree, "name=text(children...)",
// from Sparrow's reader and from the XML library, so the fuzz target and the
// reader's tests compare the two the same way.
#pragma once

#include <string>

#include "driver/support/xml_parser.h"
#include "driver/support/xml_tree_reader.h"

namespace korvane {

inline std::string ReaderTree(const CXmlTreeReader& reader, int32_t element = 0) {
  const auto& e = reader.Elements()[static_cast<size_t>(element)];
  std::string out = std::string(e.name) + "=" + std::string(reader.Text(e)) + "(";
  for (int32_t child = e.firstChild; child != CXmlTreeReader::kNone;
       child = reader.Elements()[static_cast<size_t>(child)].nextSibling) {
    out += ReaderTree(reader, child);
  }
  return out + ")";
}

inline std::string LibraryTree(CXMLParser& parser, const CXMLParser::Node& node) {
  std::string out = node.name + "=" + parser.GetNodeText(node) + "(";
  for (const auto& child : parser.GetChildElements(node)) out += LibraryTree(parser, child);
  return out + ")";
}

}  // namespace korvane
