#include "host/configuration_schema.h"

#include <libxml/parser.h>
#include <libxml/xmlschemas.h>

#include <filesystem>
#include <memory>
#include <system_error>

#include "host/driver_loader.h"

namespace korvane::host {
namespace {

// A configuration with thousands of misspellings needs the first few only.
constexpr size_t kMaxFindings = 100;

struct Findings {
  std::vector<std::string>* lines;
  std::string firstError;  // of reading the schema
};

std::string Trimmed(const char* message) {
  std::string text = message != nullptr ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

void CollectFinding(void* context, xmlErrorPtr error) {
  auto& findings = *static_cast<Findings*>(context);
  if (error == nullptr || findings.lines->size() >= kMaxFindings) return;
  findings.lines->push_back("line " + std::to_string(error->line) + ": " + Trimmed(error->message));
}

void KeepFirstError(void* context, xmlErrorPtr error) {
  auto& findings = *static_cast<Findings*>(context);
  if (error != nullptr && findings.firstError.empty()) findings.firstError = Trimmed(error->message);
}

void IgnoreError(void*, xmlErrorPtr) {}

template <typename T, void (*Free)(T*)>
struct Freer {
  void operator()(T* object) const { Free(object); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Freer<T, Free>>;

bool IsFile(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

}  // namespace

std::string FindConfigurationSchema() {
  const std::filesystem::path directory = ExecutableDirectory();
  if (directory.empty()) return {};
  if (IsFile(directory / kConfigurationSchemaName)) return (directory / kConfigurationSchemaName).string();
#ifdef KESTREL_SCHEMA_DIR_FROM_HOST
  const std::filesystem::path installed = directory / KESTREL_SCHEMA_DIR_FROM_HOST / kConfigurationSchemaName;
  if (IsFile(installed)) return installed.lexically_normal().string();
#endif
  return {};
}

bool CheckAgainstSchema(const std::string& schema, const std::string& file, std::vector<std::string>& findings,
                        std::string& error) {
  findings.clear();
  Findings collected{&findings, {}};
  const Owned<xmlSchemaParserCtxt, xmlSchemaFreeParserCtxt> parser(xmlSchemaNewParserCtxt(schema.c_str()));
  if (!parser) {
    error = "out of memory";
    return false;
  }
  xmlSchemaSetParserStructuredErrors(parser.get(), KeepFirstError, &collected);
  const Owned<xmlSchema, xmlSchemaFree> compiled(xmlSchemaParse(parser.get()));
  if (!compiled) {
    error = "the schema " + schema + " cannot be read: " + collected.firstError;
    return false;
  }
  // No network, no entities: the file is read as the driver reads it.
  xmlSetStructuredErrorFunc(nullptr, IgnoreError);
  const Owned<xmlDoc, xmlFreeDoc> document(
      xmlReadFile(file.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  xmlSetStructuredErrorFunc(nullptr, nullptr);
  if (!document) {
    error = "the configuration file cannot be read as XML";
    return false;
  }
  const Owned<xmlSchemaValidCtxt, xmlSchemaFreeValidCtxt> validation(xmlSchemaNewValidCtxt(compiled.get()));
  if (!validation) {
    error = "out of memory";
    return false;
  }
  xmlSchemaSetValidStructuredErrors(validation.get(), CollectFinding, &collected);
  if (xmlSchemaValidateDoc(validation.get(), document.get()) < 0 && findings.empty()) {
    error = "libxml2 could not validate the file";
    return false;
  }
  return true;
}

}  // namespace korvane::host
