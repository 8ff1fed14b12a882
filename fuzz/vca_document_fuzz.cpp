// The tree reader (Sparrow's VCA documents, plug-in output in the driver)
// against the XML library it stands in for: a document the library reads must
// be read into the same tree with the same texts, and a document the library
// refuses must be refused.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/vca_trees.h"

using korvane::CXMLParser;
using korvane::CXmlTreeReader;
using korvane::LibraryTree;
using korvane::ReaderTree;

namespace {

void CompareTrees(CXMLParser& parser, const CXmlTreeReader& reader) {
  const auto roots = parser.SelectNodes("/*");
  const std::string expected = roots.empty() ? std::string() : LibraryTree(parser, roots[0]);
  const std::string actual = ReaderTree(reader, 0);
  if (expected != actual) {
    std::fprintf(stderr, "trees differ:\n library %s\n reader  %s\n", expected.c_str(), actual.c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string document(reinterpret_cast<const char*>(data), size);
  // The library takes a zero byte after the root for the end of the input,
  // where the reader refuses it as no character of XML (a zero byte never
  // belongs in a document): nothing to compare.
  if (document.find('\0') != std::string::npos) return 0;
  CXmlTreeReader reader;
  const bool read = reader.Read(document);
  CXMLParser parser;
  const bool loaded = parser.LoadXml("<?xml version=\"1.0\" encoding=\"utf-8\"?>" + document);
  if (read != loaded) {
    std::fprintf(stderr, "reader %s, library %s: '%s'\n", read ? "reads" : "refuses", loaded ? "reads" : "refuses",
                 document.c_str());
    std::abort();
  }
  if (read) CompareTrees(parser, reader);
  // A document that opens with its own declaration: whatever the reader takes
  // (a plain version 1.0 declaration), the library takes into the same tree;
  // any other form the reader leaves to the library.
  if (document.starts_with("<?xml") && document.size() > 5 && std::strchr(" \t\r\n", document[5]) != nullptr &&
      reader.Read(document, true)) {
    CXMLParser declared;
    if (!declared.LoadXml(document)) {
      std::fprintf(stderr, "reader reads, library refuses the declared '%s'\n", document.c_str());
      std::abort();
    }
    CompareTrees(declared, reader);
  }
  return 0;
}
