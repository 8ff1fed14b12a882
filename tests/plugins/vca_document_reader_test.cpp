// The VCA document reader against the XML library it stands in for: the same
// tree and element texts for the forms a document may take, and no tree at
// all where the library finds the document malformed.
#include <gtest/gtest.h>

#include <string>

#include "driver/support/xml_parser.h"
#include "driver/support/xml_tree_reader.h"
#include "fuzz/vca_trees.h"

namespace korvane::testing {
namespace {

TEST(VcaDocumentReaderTest, ReadsWhatTheXmlLibraryReads) {
  const char* documents[] = {
      "<vca><id>7</id><name>Door &amp; gate &#x41;&#66;</name></vca>",
      "<vca>\r\n<id>\r\n 7\r</id>\n<e/><f a='1' b=\"&lt;2&gt;\"/></vca>",
      "<vca><id><![CDATA[<raw> & ]]>tail</id><c><!-- note -->text</c><p><?pi data ?></p></vca>",
      "<vca><a><b><c>deep</c></b></a><a>second</a>  </vca>  <!-- after -->\n",
      "<vca xmlns:x='urn:x' x:a='1'><x:id>prefixed</x:id><\xC3\xA9t\xC3\xA9>\xE2\x82\xAC</\xC3\xA9t\xC3\xA9></vca >",
  };
  for (const char* document : documents) {
    CXMLParser parser;
    ASSERT_TRUE(parser.LoadXml(std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>") + document)) << document;
    CXmlTreeReader reader;
    ASSERT_TRUE(reader.Read(document)) << document;
    EXPECT_EQ(ReaderTree(reader, 0), LibraryTree(parser, parser.SelectNodes("/*")[0])) << document;
  }
}

TEST(VcaDocumentReaderTest, RefusesWhatTheXmlLibraryRefuses) {
  const char* documents[] = {
      "<vca><id>7</vca>",                  // crossed tags
      "<vca><id>7</id>",                   // never closed
      "<vca>&nbsp;</vca>",                 // no such entity
      "<vca>&#0;</vca>",                   // not a character
      "<vca>a ]]> b</vca>",                // reserved sequence in text
      "<vca><!-- a -- b --></vca>",        // double hyphen in a comment
      "<vca a='1' a='2'></vca>",           // repeated attribute
      "<vca a='<'></vca>",                 // '<' in an attribute
      "<vca a='1'b='2'></vca>",            // attributes not apart
      "<vca>\x01</vca>",                   // control character
      "<vca>\xC3</vca>",                   // cut UTF-8
      "<vca>\xED\xA0\x80</vca>",           // surrogate
      "<vca><?xml version='1.0'?></vca>",  // declaration inside
      "<vca></vca><vca></vca>",            // two roots
      "<vca><!DOCTYPE x></vca>",           // declaration in content
      "<vca><1a/></vca>",                  // bad name
      "<vca><x:id>7</x:id></vca>",         // undeclared prefix
  };
  for (const char* document : documents) {
    CXMLParser parser;
    EXPECT_FALSE(parser.LoadXml(std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>") + document)) << document;
    CXmlTreeReader reader;
    EXPECT_FALSE(reader.Read(document)) << document;
  }
  // Nesting is limited where the library limits it.
  for (size_t depth = CXmlTreeReader::kMaxDepth - 1; depth <= CXmlTreeReader::kMaxDepth + 2; ++depth) {
    std::string nested;
    for (size_t i = 0; i < depth; ++i) nested += "<a>";
    for (size_t i = 0; i < depth; ++i) nested += "</a>";
    CXMLParser parser;
    CXmlTreeReader reader;
    EXPECT_EQ(reader.Read(nested), parser.LoadXml(nested)) << depth;
  }
}

}  // namespace
}  // namespace korvane::testing
