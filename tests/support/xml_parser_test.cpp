#include "driver/support/xml_parser.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver/support/file.h"
#include "tests/support/scoped_host_directory.h"
#include "tests/support/socket_peers.h"
#include "tests/support/watchdog.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using testing::ScopedHostDirectory;
using testing::TestListener;

constexpr const char* kXsPrefix = "xmlns:xs='http://www.w3.org/2001/XMLSchema'";

constexpr const char* kOrderSchema = R"(<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" targetNamespace="urn:kestrel:order"
           xmlns="urn:kestrel:order" elementFormDefault="qualified">
  <xs:element name="order">
    <xs:complexType>
      <xs:sequence><xs:element name="amount" type="xs:int"/></xs:sequence>
      <xs:attribute name="lane" type="xs:int" use="required"/>
    </xs:complexType>
  </xs:element>
</xs:schema>
)";
/// The order schema with `content` as the first thing inside <xs:schema>.
std::string OrderSchemaWith(const std::string& content) {
  std::string schema = kOrderSchema;
  const size_t body = schema.find('>', schema.find("<xs:schema")) + 1;
  return schema.insert(body, content);
}

constexpr const char* kValidOrder = R"(<order xmlns="urn:kestrel:order" lane="3"><amount>250</amount></order>)";
constexpr const char* kInvalidOrder = R"(<order xmlns="urn:kestrel:order" lane="3"><amount>lots</amount></order>)";

// Points the host directory at a fresh temporary folder for each test.
class XmlParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hostDir_.emplace("kestrel_xml");
    ASSERT_TRUE(hostDir_->Valid());
    dir_ = hostDir_->Path();
  }
  void TearDown() override { hostDir_.reset(); }
  void Write(const std::string& name, const std::string& content) {
    std::ofstream(dir_ / name, std::ios::binary) << content;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::optional<ScopedHostDirectory> hostDir_;
  fs::path dir_;
};

TEST_F(XmlParserTest, ReadsOnAnUnloadedParserAreEmpty) {
  CXMLParser parser;
  EXPECT_FALSE(parser.IsLoaded());
  EXPECT_EQ(parser.GetAttributeW("root", "a"), "");
  EXPECT_EQ(parser.GetNodeTextW("root"), "");
  EXPECT_EQ(parser.GetRootName(), "");
  EXPECT_TRUE(parser.SelectNodes("//*").empty());
  EXPECT_TRUE(parser.GetAttributeListW("//*", "a").empty());
  EXPECT_FALSE(parser.NodeExists("root"));
  EXPECT_FALSE(parser.AddElement("root", "a", "b", "c"));
  EXPECT_FALSE(parser.RemoveNode("root"));
  EXPECT_TRUE(parser.GetChildElements(CXMLParser::Node{"x", nullptr}).empty());
  parser.Close(true);  // nothing to save, nothing to release
}

TEST_F(XmlParserTest, LoadFileResolvesNamesAgainstTheHostDirectory) {
  Write("config.xml", "<root><a x='1'/></root>");
  CXMLParser parser;
  EXPECT_FALSE(parser.LoadFile("missing.xml"));
  EXPECT_FALSE(parser.LoadFile(""));
  // An absolute-looking name is still appended to the host directory.
  EXPECT_FALSE(parser.LoadFile((dir_ / "config.xml").string()));
  ASSERT_TRUE(parser.LoadFile("config.xml"));
  EXPECT_TRUE(parser.IsLoaded());
  EXPECT_FALSE(parser.LoadXml("<other/>")) << "a second load while loaded must fail";
  EXPECT_EQ(parser.GetAttributeW("root/a", "x"), "1");
  parser.Close();
  EXPECT_FALSE(parser.IsLoaded());
  EXPECT_TRUE(parser.LoadXml("<other/>"));
  EXPECT_EQ(parser.GetRootName(), "other");
  parser.Close();

  // Files keep their declared encoding; everything read comes out as UTF-8.
  Write("latin1.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><root name=\"caf\xE9\"/>");
  ASSERT_TRUE(parser.LoadFile("latin1.xml"));
  EXPECT_EQ(parser.GetAttributeW("root", "name"), "caf\xC3\xA9");
}

TEST_F(XmlParserTest, ReadsTextsAndAttributes) {
  CXMLParser parser;
  ASSERT_TRUE(
      parser.LoadXml("<root>"
                     "<a x='1'>  text &amp; more </a><a y='2'/><a x='3'><b/>tail</a>"
                     "<empty/><c><![CDATA[<raw>]]></c><t>plain</t>"
                     "</root>"));
  EXPECT_EQ(parser.GetAttributeW("root/a", "x"), "1");
  EXPECT_EQ(parser.GetAttributeW("root/a[2]", "x"), "") << "element without the attribute";
  EXPECT_EQ(parser.GetAttributeW("root/missing", "x"), "");
  EXPECT_EQ(parser.GetNodeTextW("root/a"), "  text & more ") << "white space is preserved";
  EXPECT_EQ(parser.GetNodeTextW("root/a[2]/@y"), "2");
  EXPECT_EQ(parser.GetNodeTextW("root/empty"), "");
  EXPECT_EQ(parser.GetNodeTextW("root/a[3]"), "") << "first child is an element";
  EXPECT_EQ(parser.GetCDataText("root/c"), "<raw>");
  EXPECT_EQ(parser.GetCDataText("root/t"), "");
  EXPECT_EQ(parser.GetAttributeListW("root/a", "x"), (std::vector<std::string>{"1", "3"}));
  // Every selected node's text, read as GetNodeTextW reads the first; empty ones keep their place.
  EXPECT_EQ(parser.GetNodeTextListW("root/a | root/t | root/a/@y"),
            (std::vector<std::string>{"  text & more ", "", "2", "", "plain"}));
  EXPECT_TRUE(parser.NodeExists("root/empty"));
  EXPECT_FALSE(parser.NodeExists("root/none"));
  // Broken or non-node-set expressions select nothing.
  EXPECT_EQ(parser.GetNodeTextW("root/a[[["), "");
  EXPECT_EQ(parser.GetNodeTextW("count(//a)"), "");
  EXPECT_TRUE(parser.SelectNodes("//namespace::*").empty());
}

TEST_F(XmlParserTest, NodeRecordsListChildrenValuesAndRanges) {
  CXMLParser parser;
  ASSERT_TRUE(parser.LoadXml(
      "<constants>"
      "<array name='ZONE'><!-- c --><value>a</value> <value/><value>b</value></array>"
      "<array name='R'><min>3</min><max>5</max></array>"
      "<array name='M'><min>3</min></array>"
      "<array name='L'><min>1</min><max>2</max><min>0</min></array>"
      "<array name='N'><min>-2</min><max>-1</max></array>"
      "<array name='H'><min>0</min><max>100000</max></array><array name='K'><min>1</min><max>100000</max></array>"
      "</constants>"));
  const auto arrays = parser.SelectNodes("constants/array");
  ASSERT_EQ(arrays.size(), 7u);
  EXPECT_EQ(arrays[0].name, "array");
  EXPECT_EQ(parser.GetNodeAttributeW(arrays[1], "name"), "R");

  const auto children = parser.GetChildElements(arrays[0]);
  ASSERT_EQ(children.size(), 3u) << "comments and texts are not elements";
  EXPECT_EQ(children[1].name, "value");
  EXPECT_EQ(parser.GetNodeText(children[0]), "a");
  EXPECT_EQ(parser.GetNodeText(children[1]), "") << "an empty element has no text";
  EXPECT_EQ(parser.GetValueList(arrays[0]), (std::vector<std::string>{"a", "b"}));

  EXPECT_EQ(parser.GetRangeList(arrays[1]), (std::vector<std::string>{"3", "4", "5"}));
  EXPECT_TRUE(parser.GetRangeList(arrays[2]).empty()) << "min only";
  EXPECT_EQ(parser.GetRangeList(arrays[3]), (std::vector<std::string>{"0", "1", "2"})) << "last min counts";
  EXPECT_EQ(parser.GetRangeList(arrays[4]), (std::vector<std::string>{"-2", "-1"}));
  EXPECT_TRUE(parser.GetRangeList(arrays[5]).empty()) << "oversized ranges are refused";
  EXPECT_EQ(parser.GetRangeList(arrays[6]).size(), 100000u);

  // A record from another parser's document is not followed.
  CXMLParser other;
  ASSERT_TRUE(other.LoadXml("<x a='1'><y/></x>"));
  const auto foreign = other.SelectNodes("x");
  ASSERT_EQ(foreign.size(), 1u);
  EXPECT_TRUE(parser.GetChildElements(foreign[0]).empty());
  EXPECT_EQ(parser.GetNodeAttributeW(foreign[0], "a"), "");
  EXPECT_EQ(parser.GetNodeText(foreign[0]), "");
}

TEST_F(XmlParserTest, SelectionNamespacesBindPrefixes) {
  Write("order.xsd", kOrderSchema);
  CXMLParser parser;
  ASSERT_TRUE(parser.LoadFile("order.xsd", kXsPrefix));
  EXPECT_EQ(parser.GetRootName(), "xs:schema");
  EXPECT_EQ(parser.GetAttributeW("xs:schema", "targetNamespace"), "urn:kestrel:order");
  EXPECT_EQ(parser.GetAttributeW("xs:schema/xs:element", "name"), "order");
  parser.Close();

  ASSERT_TRUE(parser.LoadFile("order.xsd"));
  EXPECT_EQ(parser.GetAttributeW("xs:schema", "targetNamespace"), "") << "unbound prefix selects nothing";
  parser.Close();

  ASSERT_TRUE(parser.LoadFile("order.xsd", "xmlns:a=\"urn:a\"  " + std::string(kXsPrefix)));
  parser.Close();
  EXPECT_FALSE(parser.LoadFile("order.xsd", "xs='http://www.w3.org/2001/XMLSchema'"));
  EXPECT_FALSE(parser.LoadFile("order.xsd", "xmlns:xs='unterminated"));
}

TEST_F(XmlParserTest, WritesRoundTripThroughTheFile) {
  Write("KSLProxyConfig.xml", "<?xml version=\"1.0\"?>\n<root>\n  <ProxyConfiguration/>\n</root>\n");
  const std::string device = "root/ProxyConfiguration/AgentViProxy[@address=\"10.0.0.5\"]";
  {
    CXMLParser parser;
    ASSERT_TRUE(parser.LoadFile("KSLProxyConfig.xml"));
    EXPECT_FALSE(parser.NodeExists(device));
    ASSERT_TRUE(parser.AddElement("root/ProxyConfiguration", "AgentViProxy", "address", "10.0.0.5"));
    ASSERT_TRUE(parser.SetAttribute(device, "user", "a<b&\"c'"));
    ASSERT_TRUE(parser.AddElement(device, "Destination", "port", "9000"));
    ASSERT_TRUE(parser.AddElement(device, "Destination", "port", "9001"));
    EXPECT_FALSE(parser.AddElement("root/missing", "Destination", "port", "1"));
    EXPECT_FALSE(parser.AddElement(device, "bad name", "port", "1"));
    EXPECT_FALSE(parser.RemoveNode(device + "/@user")) << "attributes are not children";
    EXPECT_TRUE(parser.RemoveNode(device + "/Destination[@port=\"9000\"]"));
    EXPECT_FALSE(parser.RemoveNode("root/none"));
    parser.Close(true);
  }
  const std::string saved = Read("KSLProxyConfig.xml");
  EXPECT_NE(saved.find("  <ProxyConfiguration>"), std::string::npos) << "layout kept:\n" << saved;

  CXMLParser parser;
  ASSERT_TRUE(parser.LoadFile("KSLProxyConfig.xml"));
  EXPECT_EQ(parser.GetAttributeW(device, "user"), "a<b&\"c'");
  EXPECT_EQ(parser.GetAttributeListW(device + "/Destination", "port"), (std::vector<std::string>{"9001"}));
  parser.Close(false);
  EXPECT_EQ(Read("KSLProxyConfig.xml"), saved) << "closing without saving leaves the file alone";
}

TEST_F(XmlParserTest, XsdValidationReportsEachFailure) {
  Write("order.xsd", kOrderSchema);
  Write("broken.xsd", "<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema'><xs:element/></xs:schema>");
  std::string error = "stale";
  EXPECT_EQ(CXMLParser::XSDValidateW(kValidOrder, "order.xsd", "urn:kestrel:order", error), kValidOrder);
  EXPECT_EQ(error, "");

  EXPECT_EQ(CXMLParser::XSDValidateW(kInvalidOrder, "order.xsd", "urn:kestrel:order", error), "");
  EXPECT_EQ(error.rfind("korvane::CXMLParser::XSDValidateW: ", 0), 0u) << error;
  EXPECT_NE(error.find("amount"), std::string::npos) << error;
  EXPECT_NE(error.back(), '\n');

  EXPECT_EQ(CXMLParser::XSDValidateW("<order", "order.xsd", "", error), "");
  EXPECT_EQ(error, "korvane::CXMLParser::XSDValidateW: Cannot load XML data");
  EXPECT_EQ(CXMLParser::XSDValidateW("<order", "", "", error), "");
  EXPECT_EQ(error, "korvane::CXMLParser::XSDValidateW: Cannot load XML data");

  EXPECT_EQ(CXMLParser::XSDValidateW("<any><thing/></any>", "", "", error), "<any><thing/></any>");

  for (const char* schema : {"missing.xsd", "broken.xsd"}) {
    EXPECT_EQ(CXMLParser::XSDValidateW(kValidOrder, schema, "", error), "");
    EXPECT_EQ(error, "korvane::CXMLParser::XSDValidateW: Cannot add schema (HRESULT = 0x80004005)") << schema;
  }
}

TEST_F(XmlParserTest, XsdValidationFollowsSchemaChanges) {
  Write("order.xsd", kOrderSchema);
  std::string error;
  ASSERT_EQ(CXMLParser::XSDValidateW(kValidOrder, "order.xsd", "", error), kValidOrder) << error;
  std::string stricter = kOrderSchema;
  stricter.replace(stricter.find("xs:int\"/>"), 6, "xs:byte");
  Write("order.xsd", stricter);  // 250 no longer fits, and the file size differs
  EXPECT_EQ(CXMLParser::XSDValidateW(kValidOrder, "order.xsd", "", error), "");
  EXPECT_NE(error.find("amount"), std::string::npos) << error;
}

TEST_F(XmlParserTest, XsdValidationFollowsChangesToIncludedSchemas) {
  // The order's amount is of a type an included schema defines, first as any int, then as a byte.
  const std::string amountType = R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">)"
                                 R"(<xs:simpleType name="amount"><xs:restriction base="xs:int"/></xs:simpleType>)"
                                 R"(</xs:schema>)";
  std::string order = OrderSchemaWith("<xs:include schemaLocation='types/amount.xsd'/>");
  order.replace(order.find("type=\"xs:int\"/></xs:sequence>"), 13, "type=\"amount\"");
  Write("order.xsd", order);
  std::string error;
  EXPECT_EQ(CXMLParser::XSDValidateW(kValidOrder, "order.xsd", "", error), "") << "the include is missing";
  fs::create_directory(dir_ / "types");
  Write("types/amount.xsd", amountType);
  EXPECT_EQ(CXMLParser::XSDValidateW(kValidOrder, "order.xsd", "", error), kValidOrder) << error;
  const auto schema = CXMLParser::LoadSchema("order.xsd");
  EXPECT_EQ(CXMLParser::LoadSchema("order.xsd"), schema) << "compiled once while nothing changes";
  ASSERT_EQ(schema->Files().size(), 2u);
  EXPECT_EQ(schema->Files()[1].path, (dir_ / "types/amount.xsd").string());

  std::string byte = amountType;
  byte.replace(byte.find("xs:int"), 6, "xs:byte");
  Write("types/amount.xsd", byte);  // 250 no longer fits; order.xsd itself is unchanged
  EXPECT_EQ(CXMLParser::XSDValidateW(kValidOrder, "order.xsd", "", error), "");
  EXPECT_NE(error.find("amount"), std::string::npos) << error;
}

TEST_F(XmlParserTest, XsdValidationIsSafeFromManyThreads) {
  Write("order.xsd", kOrderSchema);
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 150; ++i) {
        std::string error;
        const bool valid = (i + t) % 2 == 0;
        const std::string result =
            CXMLParser::XSDValidateW(valid ? kValidOrder : kInvalidOrder, "order.xsd", "", error);
        if (valid ? result != kValidOrder : (!result.empty() || error.empty())) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST_F(XmlParserTest, EntitiesAndExternalDocumentsAreNeverExpanded) {
  const std::string external = "<!DOCTYPE r [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><r a='&e;'>&e;</r>";
  const std::string internal = "<!DOCTYPE r [<!ENTITY e \"expanded\">]><r>&e;</r>";
  for (const std::string& text : {external, internal}) {
    CXMLParser parser;
    EXPECT_FALSE(parser.LoadXml(text)) << text;
    EXPECT_EQ(parser.GetNodeTextW("r"), "");
    std::string error;
    EXPECT_EQ(CXMLParser::XSDValidateW(text, "", "", error), "");
  }

  // A document naming an outside DTD loads, but the DTD is not read.
  CXMLParser parser;
  ASSERT_TRUE(parser.LoadXml("<!DOCTYPE r SYSTEM \"file:///etc/passwd\"><r>x</r>"));
  EXPECT_EQ(parser.GetNodeTextW("r"), "x");
  EXPECT_EQ(parser.SelectNodes("//*").size(), 1u);

  std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">";
  laughs += "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">";
  for (int i = 2; i <= 9; ++i) {
    const std::string prev = "&lol" + std::to_string(i - 1) + ";";
    std::string body;
    for (int k = 0; k < 10; ++k) body += prev;
    laughs += "<!ENTITY lol" + std::to_string(i) + " \"" + body + "\">";
  }
  laughs += "]><lolz a=\"&lol9;\">&lol9;</lolz>";
  const auto start = std::chrono::steady_clock::now();
  CXMLParser bomb;
  EXPECT_FALSE(bomb.LoadXml(laughs));
  std::string error;
  EXPECT_EQ(CXMLParser::XSDValidateW(laughs, "", "", error), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(XmlParserTest, SchemaLoadsNeverReachTheNetwork) {
  // A listener that takes every connection and closes it at once, so a fetch fails fast instead of hanging.
  TestListener listener;
  ASSERT_TRUE(listener.Listen());
  std::atomic<int> connections{0};
  std::atomic<bool> done{false};
  std::thread accepter([&] {
    while (!done) {
      if (listener.Accept(std::chrono::milliseconds(20)) != nullptr) ++connections;
    }
  });
  const std::string url = "http://127.0.0.1:" + std::to_string(listener.Port()) + "/remote.xsd";
  Write("by_include.xsd", OrderSchemaWith("<xs:include schemaLocation='" + url + "'/>"));
  Write("by_import.xsd", OrderSchemaWith("<xs:import namespace='urn:remote' schemaLocation='" + url + "'/>"));
  const std::string entity = "<?xml version=\"1.0\"?><!DOCTYPE xs:schema [<!ENTITY remote SYSTEM '" + url +
                             "'>]><xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema'><xs:annotation>"
                             "<xs:documentation>&remote;</xs:documentation></xs:annotation></xs:schema>";
  Write("entity.xsd", entity);
  Write("by_entity.xsd", OrderSchemaWith("<xs:include schemaLocation='entity.xsd'/>"));
  std::string error;
  for (const char* refused : {"by_include.xsd", "by_import.xsd", "by_entity.xsd"}) {
    EXPECT_EQ(CXMLParser::XSDValidateW(kValidOrder, refused, "", error), "") << refused;
    EXPECT_EQ(error, "korvane::CXMLParser::XSDValidateW: Cannot add schema (HRESULT = 0x80004005)") << refused;
  }
  EXPECT_EQ(CXMLParser::LoadSchema("by_include.xsd")->Error(),
            "'" + url + "' is not a local file (nothing is fetched over the network)");
  EXPECT_EQ(CXMLParser::LoadSchema("by_entity.xsd")->Error(),
            "'" + (dir_ / "entity.xsd").string() + "' declares entities");
  done = true;
  accepter.join();
  EXPECT_EQ(connections, 0);
}

TEST_F(XmlParserTest, OnlyRegularFilesInsideTheHostDirectoryAreRead) {
  // A FIFO without a writer blocks whoever opens it for reading; the watchdog turns that into a failure.
  testing::Watchdog watchdog(std::chrono::seconds(5), "reading a FIFO");
  ASSERT_EQ(mkfifo((dir_ / "pipe.xml").c_str(), 0600), 0);
  CXMLParser parser;
  EXPECT_FALSE(parser.LoadFile("pipe.xml"));
  EXPECT_EQ(parser.GetLoadError(), "'pipe.xml' is not a regular file");
  Write("via_pipe.xsd", OrderSchemaWith("<xs:include schemaLocation='pipe.xml'/>"));
  for (const char* schema : {"pipe.xml", "via_pipe.xsd"}) {
    std::string error;
    EXPECT_EQ(CXMLParser::XSDValidateW(kValidOrder, schema, "", error), "") << schema;
    EXPECT_NE(CXMLParser::LoadSchema(schema)->Error().find("pipe.xml' is not a regular file"), std::string::npos)
        << CXMLParser::LoadSchema(schema)->Error();
  }
  EXPECT_FALSE(AppendToFile((dir_ / "pipe.xml").string(), "x", 1)) << "a debug file that is a FIFO";

  // A file outside the host directory, named through ".." or a symbolic link.
  std::string outside = (fs::temp_directory_path() / "kestrel_outside_XXXXXX").string();
  const int fd = mkstemp(outside.data());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "<root/>", 7), 7);
  close(fd);
  fs::create_symlink(outside, dir_ / "link.xml");
  EXPECT_FALSE(parser.LoadFile("link.xml"));
  EXPECT_EQ(parser.GetLoadError(), "'link.xml' lies outside the host directory");
  EXPECT_FALSE(parser.LoadFile("../" + fs::path(outside).filename().string()));
  fs::remove(outside);

  // Schemas beside each other still include one another.
  Write("amount.xsd", R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">)"
                      R"(<xs:simpleType name="amount"><xs:restriction base="xs:int"/></xs:simpleType></xs:schema>)");
  std::string withType = OrderSchemaWith("<xs:include schemaLocation='amount.xsd'/>");
  withType.replace(withType.find("type=\"xs:int\"/></xs:sequence>"), 13, "type=\"amount\"");
  Write("with_type.xsd", withType);
  std::string error;
  EXPECT_EQ(CXMLParser::XSDValidateW(kValidOrder, "with_type.xsd", "", error), kValidOrder) << error;
  EXPECT_EQ(CXMLParser::XSDValidateW(kInvalidOrder, "with_type.xsd", "", error), "");
}

TEST_F(XmlParserTest, InMemoryTextIsUtf8WhateverTheDeclarationSays) {
  CXMLParser parser;
  ASSERT_TRUE(parser.LoadXml("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>caf\xC3\xA9</r>"));
  EXPECT_EQ(parser.GetNodeTextW("r"), "caf\xC3\xA9");
  parser.Close();
  EXPECT_FALSE(parser.LoadXml("<r>\xFF</r>")) << "invalid UTF-8";
  EXPECT_FALSE(parser.LoadXml("<a:r/>")) << "undeclared prefix";
  EXPECT_FALSE(parser.LoadXml("  ")) << "no root element";
  std::string deep;
  for (int i = 0; i < 300; ++i) deep = "<d>" + deep + "</d>";
  EXPECT_FALSE(parser.LoadXml(deep)) << "deeper than the parser's default limit";
}

TEST_F(XmlParserTest, ReadsRealDeviceDocuments) {
  const fs::path vectors = fs::path(KESTREL_SOURCE_DIR) / "../shared/vectors";
  if (!fs::exists(vectors / "ContactID.xml")) GTEST_SKIP() << "shared test vectors not found at " << vectors;
  setenv("KESTREL_HOST_DIR", vectors.c_str(), 1);
  CXMLParser parser;
  ASSERT_TRUE(parser.LoadFile("ContactID.xml"));
  const auto numbers = parser.GetAttributeListW("/ContactID/Events/Event", "number");
  EXPECT_EQ(numbers.size(), 231u);
  EXPECT_EQ(parser.GetAttributeW("/ContactID/Events/Event[@number='110']", "text"), "Fire");
  parser.Close();

  ASSERT_TRUE(parser.LoadFile("vca_counts_sample.xml"));
  EXPECT_EQ(parser.GetNodeTextW("vca/counts/count[name='Counter2']/val"), "8573");
  EXPECT_EQ(parser.GetNodeTextW("vca/schema_version"), "");
}

}  // namespace
}  // namespace korvane
