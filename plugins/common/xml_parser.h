// The XML access the plug-ins use: the driver's own parser (same libxml2
// settings, same host-directory rule, same refusal of entity declarations)
// behind the few narrow-string reads a plug-in needs. Every operation holds
// the parser's recursive lock; reads return empty results instead of failing.
#pragma once

#include <string>
#include <vector>

#include "driver/support/xml_parser.h"

namespace korvane {

class CXmlParser {
 public:
  /// Loads `fileName` resolved against the host directory; false when it is
  /// missing, not well-formed or declares entities.
  bool LoadFile(const std::string& fileName) { return parser_.LoadFile(fileName); }
  /// Loads a document from UTF-8 text.
  bool LoadXml(const std::string& text) { return parser_.LoadXml(text); }
  /// Text of the first node `xpath` selects.
  std::string GetNodeText(const std::string& xpath) { return parser_.GetNodeTextW(xpath); }
  /// Attribute `name` of the first node `xpath` selects.
  std::string GetAttribute(const std::string& xpath, const std::string& name) {
    return parser_.GetAttributeW(xpath, name);
  }
  /// Attribute `name` of every node `xpath` selects, in document order; nodes without it are skipped.
  std::vector<std::string> GetAttributeList(const std::string& xpath, const std::string& name) {
    return parser_.GetAttributeListW(xpath, name);
  }
  /// Text of every node `xpath` selects, in document order.
  std::vector<std::string> GetNodeTextList(const std::string& xpath) { return parser_.GetNodeTextListW(xpath); }
  using Node = CXMLParser::Node;
  /// Every node `xpath` selects, in document order.
  std::vector<Node> SelectNodes(const std::string& xpath) { return parser_.SelectNodes(xpath); }
  /// Element children of `node`, in order.
  std::vector<Node> GetChildElements(const Node& node) { return parser_.GetChildElements(node); }
  /// Text of `node` itself, read as GetNodeText reads the first node an XPath selects.
  std::string GetNodeText(const Node& node) { return parser_.GetNodeText(node); }
  /// Attribute `name` of `node`; empty when it has none.
  std::string GetAttribute(const Node& node, const std::string& name) { return parser_.GetNodeAttributeW(node, name); }
  /// Releases the document.
  void Close() { parser_.Close(false); }

 private:
  CXMLParser parser_;
};

}  // namespace korvane
