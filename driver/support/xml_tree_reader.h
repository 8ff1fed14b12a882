// A small, strict reader of one small XML document (a VCA unit's, a plug-in's
// output): the tree of elements, each with its name and the value of its first
// child node, read as the driver's XML parser reads them (line ends normalised, references resolved, CDATA, comments
// and instructions as nodes of their own). Anything that is not well-formed XML makes Read fail, so a malformed
// document is dropped whole. Its buffers are kept from one document to the next: reading allocates nothing once warm.
// A document that uses namespaces or names outside ASCII is handed to the XML
// library itself, whose rules for them the reader does not repeat.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane {

class CXmlTreeReader {
 public:
  /// Elements nested deeper than this make a document malformed, as they do for the XML library.
  static constexpr size_t kMaxDepth = 257;
  static constexpr int32_t kNone = -1;

  struct Element {
    std::string_view name;  ///< into the document (or the reader's copy of the names), prefix and all
    size_t textBegin = 0;   ///< the first child's value, in the reader's text buffer
    size_t textEnd = 0;
    int32_t firstChild = kNone;   ///< first child element
    int32_t nextSibling = kNone;  ///< next element of the same parent
    bool hasChildNode = false;    ///< any child node (text, element, ...) seen yet
  };

  /// Reads `document`, which must hold one root element and nothing else but
  /// blanks, comments and instructions. False when it is not well-formed.
  /// The element names point into `document`, which must outlive their use.
  /// With `declaration`, the document may open with an XML declaration of
  /// version 1.0 (its encoding name is not acted on: the text is UTF-8, as the
  /// driver's parser reads it); a declaration of any other form is left to the
  /// XML library (false).
  bool Read(std::string_view document, bool declaration = false);

  /// Reads `document` with the XML library into the same tree (what Read
  /// does for a document with namespaces).
  bool ReadWithLibrary(std::string_view document);

  /// The last Read handed the document to the XML library (namespaces,
  /// names outside ASCII): names are then qualified names, as the library gives them.
  bool ReadByLibrary() const { return forLibrary_; }
  /// Every element in document order; the root is element 0.
  const std::vector<Element>& Elements() const { return elements_; }
  /// The value of the first child node of `element` ("" when it is an element or there is none).
  std::string_view Text(const Element& element) const {
    return std::string_view(texts_).substr(element.textBegin, element.textEnd - element.textBegin);
  }

 private:
  bool Content();
  bool StartTag();
  bool EndTag();
  bool Comment(bool record);
  bool Instruction(bool record);
  bool CData();
  bool CharacterData();
  bool Name(std::string_view& name);
  bool Reference(std::string* out);
  bool AttributeValue();
  void BeginChildNode();
  void AppendText(std::string_view raw);
  void SkipBlanks();
  bool Misc();
  bool Declaration();
  bool DeclarationValue(std::string_view name, bool (*valid)(std::string_view));

  struct Open {
    int32_t element;
    int32_t lastChild;
    std::string_view name;  // as written, for the end tag
  };

  std::string_view in_;
  size_t pos_ = 0;
  std::vector<Element> elements_;
  std::vector<Open> open_;  // elements whose end tag has not come, innermost last
  std::vector<std::string_view> attributes_;
  std::string texts_;
  std::string names_;        // element names read by the library
  bool forLibrary_ = false;  // a prefixed or non-ASCII name or a namespace declaration was met
  bool recordText_ = false;  // the current child node is its parent's first
};

}  // namespace korvane
