// Throughput of the XML paths every "xsd" message and every mapped message take.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "driver/support/xml_parser.h"

namespace {

constexpr const char* kSchema = R"(<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" targetNamespace="urn:kestrel:pos"
           xmlns="urn:kestrel:pos" elementFormDefault="qualified">
  <xs:element name="sale">
    <xs:complexType>
      <xs:sequence>
        <xs:element name="amount" type="xs:decimal"/>
        <xs:element name="item" type="xs:string" maxOccurs="unbounded"/>
      </xs:sequence>
      <xs:attribute name="lane" type="xs:int" use="required"/>
    </xs:complexType>
  </xs:element>
</xs:schema>
)";
constexpr const char* kMessage =
    R"(<sale xmlns="urn:kestrel:pos" lane="3"><amount>12.50</amount><item>Coffee</item><item>Bun</item></sale>)";

// The schema lives in a host directory of its own for the whole run.
const bool kHostReady = [] {
  const auto dir = std::filesystem::temp_directory_path() / "kestrel_xml_bench";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "pos.xsd") << kSchema;
  setenv("KESTREL_HOST_DIR", dir.c_str(), 1);
  return true;
}();

void BM_XsdValidateCachedSchema(benchmark::State& state) {
  std::string error;
  for (auto _ : state) {
    benchmark::DoNotOptimize(korvane::CXMLParser::XSDValidateW(kMessage, "pos.xsd", "urn:kestrel:pos", error));
  }
  if (!error.empty()) state.SkipWithError(error.c_str());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_XsdValidateCachedSchema)->ThreadRange(1, 2)->UseRealTime();

void BM_WellFormedOnly(benchmark::State& state) {
  std::string error;
  for (auto _ : state) benchmark::DoNotOptimize(korvane::CXMLParser::XSDValidateW(kMessage, "", "", error));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WellFormedOnly);

// What the mapper does per message: load it and read a few values by XPath.
void BM_LoadXmlAndRead(benchmark::State& state) {
  for (auto _ : state) {
    korvane::CXMLParser parser;
    parser.LoadXml(kMessage);
    benchmark::DoNotOptimize(parser.GetRootName());
    benchmark::DoNotOptimize(parser.GetAttributeW("*", "lane"));
    benchmark::DoNotOptimize(parser.SelectNodes("//*"));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LoadXmlAndRead);

}  // namespace
