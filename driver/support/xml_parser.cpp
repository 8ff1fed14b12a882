#include "driver/support/xml_parser.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/uri.h>
#include <libxml/xmlIO.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>
#include <libxml/xmlschemas.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "driver/support/file.h"
#include "driver/support/host_directory.h"
#include "driver/support/string_utils.h"

namespace korvane {

namespace {

constexpr const char* kValidateName = "korvane::CXMLParser::XSDValidateW";
// What the failed schema load reports, the generic "unspecified failure" code.
constexpr unsigned kSchemaLoadFailure = 0x80004005u;
// Configuration, schema and proxy files are small; anything beyond this is not ours.
constexpr long kMaxFileBytes = 64L * 1024 * 1024;
// A min..max pair in a configuration must not turn a typo into gigabytes.
constexpr int64_t kMaxRangeValues = 100000;
// Distinct schema files a process validates against; configurations name a handful.
constexpr size_t kMaxCachedSchemas = 64;

// No network, no DTD loading, no entity substitution, white space kept, the
// library's default size and depth limits (no XML_PARSE_HUGE).
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

void IgnoreStructuredError(void* /*context*/, xmlErrorPtr /*error*/) {}
void IgnoreGenericError(void* /*context*/, const char* /*format*/, ...) {}

// Routes whatever libxml2 reports outside a context of ours away from stderr
// for the duration of one operation. Both handlers are thread-local in libxml2.
class QuietErrors {
 public:
  QuietErrors()
      : structured_(xmlStructuredError),
        structuredContext_(xmlStructuredErrorContext),
        generic_(xmlGenericError),
        genericContext_(xmlGenericErrorContext) {
    xmlSetStructuredErrorFunc(nullptr, IgnoreStructuredError);
    xmlSetGenericErrorFunc(nullptr, IgnoreGenericError);
  }
  ~QuietErrors() {
    xmlSetStructuredErrorFunc(structuredContext_, structured_);
    xmlSetGenericErrorFunc(genericContext_, generic_);
  }
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;

 private:
  xmlStructuredErrorFunc structured_;
  void* structuredContext_;
  xmlGenericErrorFunc generic_;
  void* genericContext_;
};

struct DocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocDeleter>;

xmlParserInputPtr PolicyLoader(const char* url, const char* id, xmlParserCtxtPtr ctxt);

// The loader libxml2 had before ours; requests made outside our own
// operations (by other code in the host process) still go to it.
xmlExternalEntityLoader previousLoader = nullptr;
std::atomic<bool> setsLoader{true};

// Hands the loader back when this code is unloaded (or the process ends), so
// the library never calls into a module that is gone; a loader someone set
// after ours is theirs to keep.
struct LoaderRestorer {
  std::atomic<bool> set{false};
  ~LoaderRestorer() {
    if (set.load() && xmlGetExternalEntityLoader() == PolicyLoader) xmlSetExternalEntityLoader(previousLoader);
  }
} loaderRestorer;

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    if (!setsLoader.load()) return;
    // libxml2 reads every resource a document or schema refers to (schema
    // includes and imports, outside DTDs and entities) through this one
    // loader; ours applies the policy below.
    previousLoader = xmlGetExternalEntityLoader();
    xmlSetExternalEntityLoader(PolicyLoader);
    loaderRestorer.set = true;
  });
}

// What the loader has to say about one of our operations: why the first
// refused resource was refused, and every local file it read or looked for.
// Set for the duration of every operation of ours on the thread that runs it.
struct LoadPolicy {
  std::string refusal;
  std::vector<TrackedFile> files;
};
thread_local LoadPolicy* activePolicy = nullptr;

class PolicyScope {
 public:
  PolicyScope() : previous_(activePolicy) { activePolicy = &policy_; }
  ~PolicyScope() { activePolicy = previous_; }
  PolicyScope(const PolicyScope&) = delete;
  PolicyScope& operator=(const PolicyScope&) = delete;
  const std::string& Refusal() const { return policy_.refusal; }
  std::vector<TrackedFile>& Files() { return policy_.files; }

 private:
  LoadPolicy policy_;
  LoadPolicy* previous_;
};

struct XPathObjectDeleter {
  void operator()(xmlXPathObject* object) const { xmlXPathFreeObject(object); }
};
using XPathObjectPtr = std::unique_ptr<xmlXPathObject, XPathObjectDeleter>;

struct ParseState {
  bool declaresEntities = false;
  // The parser's first complaint: where and what.
  int errorLine = 0;
  int errorColumn = 0;
  std::string errorMessage;
};

// Any entity declaration stops the parse: nothing a device or a configuration
// needs, and refusing it rules out entity bombs and external entities at once.
void RejectEntity(void* context) {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(context);
  static_cast<ParseState*>(ctxt->_private)->declaresEntities = true;
  xmlStopParser(ctxt);
}
void RejectEntityDecl(void* context, const xmlChar*, int, const xmlChar*, const xmlChar*, xmlChar*) {
  RejectEntity(context);
}
void RejectUnparsedEntityDecl(void* context, const xmlChar*, const xmlChar*, const xmlChar*, const xmlChar*) {
  RejectEntity(context);
}

std::string TrimMessage(std::string_view text);

// Keeps the first error of a document parse, with its position; later ones
// are mostly consequences of the first.
void KeepFirstParseError(void* context, xmlErrorPtr error) {
  try {
    auto* ctxt = static_cast<xmlParserCtxtPtr>(context);
    auto* state = static_cast<ParseState*>(ctxt->_private);
    if (error == nullptr || error->level < XML_ERR_ERROR || !state->errorMessage.empty() || error->message == nullptr) {
      return;
    }
    state->errorLine = error->line;
    state->errorColumn = error->int2;
    state->errorMessage = TrimMessage(error->message);
  } catch (...) {
  }
}

/// Parses a whole document; null unless it is well-formed (namespaces
/// included), has a root element and declares no entities. `ignoreEncoding`
/// treats the bytes as UTF-8 whatever the XML declaration claims.
/// `outcome` tells why a document was refused.
DocPtr ParseDocument(const char* data, size_t size, bool ignoreEncoding, ParseState* outcome = nullptr) {
  if (data == nullptr || size == 0 || size > static_cast<size_t>(INT_MAX)) return nullptr;
  InitLibrary();
  xmlParserCtxtPtr ctxt = xmlCreateMemoryParserCtxt(data, static_cast<int>(size));
  if (ctxt == nullptr) return nullptr;
  xmlCtxtUseOptions(ctxt, kParseOptions | (ignoreEncoding ? XML_PARSE_IGNORE_ENC : 0));
  // Thread defaults changed by a host must not switch any of these back on.
  ctxt->replaceEntities = 0;
  ctxt->loadsubset = 0;
  ctxt->validate = 0;
  ctxt->keepBlanks = 1;
  ParseState state;
  ctxt->_private = &state;
  xmlSAXHandlerPtr sax = ctxt->sax;  // the context's own copy
  sax->ignorableWhitespace = sax->characters;
  sax->entityDecl = RejectEntityDecl;
  sax->unparsedEntityDecl = RejectUnparsedEntityDecl;
  sax->externalSubset = nullptr;
  sax->resolveEntity = nullptr;
  sax->serror = KeepFirstParseError;
  ctxt->userData = ctxt;  // what the error handler receives

  xmlParseDocument(ctxt);
  DocPtr doc(ctxt->myDoc);
  ctxt->myDoc = nullptr;
  const bool ok = ctxt->wellFormed != 0 && ctxt->nsWellFormed != 0 && !state.declaresEntities &&
                  ctxt->errNo == XML_ERR_OK && doc != nullptr && xmlDocGetRootElement(doc.get()) != nullptr;
  xmlFreeParserCtxt(ctxt);
  if (outcome != nullptr) *outcome = std::move(state);
  if (!ok) return nullptr;
  return doc;
}

/// Reads a file under the policy: a regular file inside the host directory.
/// `reason` completes a sentence that starts with the file's name. `stamp`
/// receives the stamp of what was read or found.
bool ReadPolicyFile(const std::string& path, std::string& content, std::string& reason, FileStamp& stamp) {
  stamp = StampOf(path);
  if (!stamp.exists) {
    reason = "was not found";
    return false;
  }
  if (!IsInsideHostDirectory(path)) {
    reason = "lies outside the host directory";
    return false;
  }
  return ReadRegularFile(path, kMaxFileBytes, content, reason, &stamp);
}

/// Why a parsed text was refused.
const char* RefusedDocumentReason(bool declaresEntities) {
  return declaresEntities ? "declares entities" : "is not a well-formed XML document";
}

bool OnlyXmlSpace(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

/// The operator's version of a refusal: what is wrong with the file, where.
std::string RefusalDetail(const std::string& reason, std::string_view content, const ParseState& parse) {
  if (reason == "was not found") return "file not found";
  if (reason == "is not a well-formed XML document") {
    if (OnlyXmlSpace(content)) return "file is empty";
    if (parse.errorMessage.empty()) return "not a well-formed XML document";
    return Format("line %d, column %d: %s", parse.errorLine, parse.errorColumn, parse.errorMessage.c_str());
  }
  if (reason.rfind("is ", 0) == 0) return reason.substr(3);
  return reason;
}

/// `detail`, when given, receives the operator's version of a refusal.
DocPtr ParseFile(const std::string& path, std::string& reason, FileStamp& stamp, std::string* detail = nullptr) {
  std::string content;
  ParseState parse;
  DocPtr doc;
  if (ReadPolicyFile(path, content, reason, stamp)) {
    doc = ParseDocument(content.data(), content.size(), false, &parse);
    if (doc == nullptr) reason = RefusedDocumentReason(parse.declaresEntities);
  }
  if (doc == nullptr) {
    if (detail != nullptr) *detail = RefusalDetail(reason, content, parse);
    return nullptr;
  }
  // The base URI lets a schema find the files it includes beside it.
  if (doc->URL == nullptr) doc->URL = xmlStrdup(reinterpret_cast<const xmlChar*>(path.c_str()));
  return doc;
}

/// The local file a resource name stands for: a path (relative ones against
/// the host directory) or a "file:" URL. Anything else would be fetched over
/// the network and is refused.
bool LocalPath(const std::string& name, std::string& path, std::string& reason) {
  std::string candidate = name;
  if (xmlURIPtr uri = xmlParseURI(name.c_str()); uri != nullptr) {
    bool local = true;
    if (uri->scheme != nullptr) {
      const bool localServer =
          uri->server == nullptr || *uri->server == '\0' || std::string_view(uri->server) == "localhost";
      local =
          xmlStrcasecmp(reinterpret_cast<const xmlChar*>(uri->scheme), reinterpret_cast<const xmlChar*>("file")) == 0 &&
          localServer && uri->path != nullptr;
      if (local) candidate = uri->path;
    }
    xmlFreeURI(uri);
    if (!local) {
      reason = "is not a local file (nothing is fetched over the network)";
      return false;
    }
  } else if (name.find("://") != std::string::npos) {
    reason = "is not a local file (nothing is fetched over the network)";
    return false;
  }
  if (candidate.empty()) {
    reason = "names no file";
    return false;
  }
  path = candidate.front() == '/' ? candidate : HostDirectory() + candidate;
  return true;
}

// Every resource libxml2 wants to read on its own while one of our operations
// runs (in practice what a schema includes, imports or redefines) is read here
// under the policy, checked to be a document that declares no entities, and
// handed over from memory.
xmlParserInputPtr PolicyLoader(const char* url, const char* id, xmlParserCtxtPtr ctxt) {
  LoadPolicy* policy = activePolicy;
  if (policy == nullptr) return previousLoader != nullptr ? previousLoader(url, id, ctxt) : nullptr;
  try {
    const std::string name = url != nullptr ? url : "";
    std::string path;
    std::string content;
    std::string reason;
    bool readable = LocalPath(name, path, reason);
    if (readable) {
      FileStamp stamp;
      readable = ReadPolicyFile(path, content, reason, stamp);
      // Also a file that is missing or unusable now: the schema changes when it appears or changes.
      policy->files.push_back(TrackedFile{path, stamp});
    }
    if (readable && content.size() > static_cast<size_t>(INT_MAX)) {
      reason = "is too large";
      readable = false;
    }
    if (readable) {
      // libxml2 parses it again with its own settings, which substitute
      // entities; a document that declares none leaves them nothing to do.
      ParseState parse;
      if (ParseDocument(content.data(), content.size(), false, &parse) == nullptr) {
        reason = RefusedDocumentReason(parse.declaresEntities);
        readable = false;
      }
    }
    if (!readable) {
      if (policy->refusal.empty()) policy->refusal = "'" + name + "' " + reason;
      return nullptr;
    }
    xmlParserInputBufferPtr buffer =
        xmlParserInputBufferCreateMem(content.data(), static_cast<int>(content.size()), XML_CHAR_ENCODING_NONE);
    if (buffer == nullptr) return nullptr;
    xmlParserInputPtr input = xmlNewIOInputStream(ctxt, buffer, XML_CHAR_ENCODING_NONE);
    if (input == nullptr) {
      xmlFreeParserInputBuffer(buffer);
      return nullptr;
    }
    // Its own includes are found beside it.
    input->filename = reinterpret_cast<const char*>(xmlStrdup(reinterpret_cast<const xmlChar*>(path.c_str())));
    return input;
  } catch (...) {
    return nullptr;
  }
}

std::string_view View(const xmlChar* text) {
  return text == nullptr ? std::string_view{} : std::string_view(reinterpret_cast<const char*>(text));
}

std::string QualifiedName(const xmlNs* ns, const xmlChar* name) {
  std::string result;
  if (ns != nullptr && ns->prefix != nullptr) {
    result = View(ns->prefix);
    result += ':';
  }
  result += View(name);
  return result;
}

std::string NodeName(const xmlNode* node) {
  switch (node->type) {
    case XML_ELEMENT_NODE:
      return QualifiedName(node->ns, node->name);
    case XML_ATTRIBUTE_NODE:
      return QualifiedName(reinterpret_cast<const xmlAttr*>(node)->ns, node->name);
    case XML_TEXT_NODE:
      return "#text";
    case XML_CDATA_SECTION_NODE:
      return "#cdata-section";
    case XML_COMMENT_NODE:
      return "#comment";
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE:
      return "#document";
    case XML_DOCUMENT_FRAG_NODE:
      return "#document-fragment";
    default:
      return std::string(View(node->name));
  }
}

// Attribute values are read from their text children only; an entity
// reference contributes nothing.
std::string AttributeValue(const xmlAttr* attribute) {
  std::string value;
  for (const xmlNode* child = attribute->children; child != nullptr; child = child->next) {
    if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) value += View(child->content);
  }
  return value;
}

/// The value a node carries itself: texts, comments and instructions their
/// content, attributes their value, everything else nothing.
std::string NodeValue(const xmlNode* node) {
  if (node == nullptr) return {};
  switch (node->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
      return std::string(View(node->content));
    case XML_ATTRIBUTE_NODE:
      return AttributeValue(reinterpret_cast<const xmlAttr*>(node));
    default:
      return {};
  }
}

/// What GetNodeTextW reads from a selected node: the value of an attribute,
/// the value of the first child of an element or document, else nothing.
std::string NodeText(const xmlNode* node) {
  if (node == nullptr) return {};
  switch (node->type) {
    case XML_ATTRIBUTE_NODE:  // its one text child holds the value
      return NodeValue(node);
    case XML_ELEMENT_NODE:
    case XML_DOCUMENT_NODE:
      return NodeValue(node->children);
    default:  // texts, comments and instructions have no children
      return {};
  }
}

/// Concatenated text and CDATA of an element's descendants.
void AppendElementText(const xmlNode* element, std::string& out) {
  for (const xmlNode* child = element->children; child != nullptr; child = child->next) {
    if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
      out += View(child->content);
    } else if (child->type == XML_ELEMENT_NODE) {
      AppendElementText(child, out);
    }
  }
}

/// Attribute `name` (qualified, "xmlns" declarations included) of an element.
std::optional<std::string> ElementAttribute(const xmlNode* element, std::string_view name) {
  if (element == nullptr || element->type != XML_ELEMENT_NODE) return std::nullopt;
  for (const xmlAttr* attribute = element->properties; attribute != nullptr; attribute = attribute->next) {
    if (QualifiedName(attribute->ns, attribute->name) == name) return AttributeValue(attribute);
  }
  constexpr std::string_view kXmlns = "xmlns";
  if (name.substr(0, kXmlns.size()) == kXmlns) {
    for (const xmlNs* ns = element->nsDef; ns != nullptr; ns = ns->next) {
      const std::string declared = ns->prefix == nullptr ? "xmlns" : "xmlns:" + std::string(View(ns->prefix));
      if (declared == name) return std::string(View(ns->href));
    }
  }
  return std::nullopt;
}

bool IsElementNamed(const xmlNode* node, std::string_view name) {
  return node->type == XML_ELEMENT_NODE && QualifiedName(node->ns, node->name) == name;
}

bool ValidName(const std::string& name) {
  return !name.empty() && xmlValidateQName(reinterpret_cast<const xmlChar*>(name.c_str()), 0) == 0;
}

/// Prefix/URI pairs of "xmlns:p='uri' xmlns:q=\"uri\""; a default namespace
/// ("xmlns='uri'") is accepted and has no effect on XPath 1.0. Nullopt when
/// the text is malformed.
std::optional<std::vector<std::pair<std::string, std::string>>> ParseNamespaces(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> result;
  size_t pos = 0;
  const auto skipBlanks = [&] {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r' || text[pos] == '\n')) {
      ++pos;
    }
  };
  for (skipBlanks(); pos < text.size(); skipBlanks()) {
    constexpr std::string_view kXmlns = "xmlns";
    if (text.substr(pos, kXmlns.size()) != kXmlns) return std::nullopt;
    pos += kXmlns.size();
    std::string prefix;
    if (pos < text.size() && text[pos] == ':') {
      const size_t equals = text.find('=', ++pos);
      if (equals == std::string_view::npos) return std::nullopt;
      prefix = std::string(text.substr(pos, equals - pos));
      if (!ValidName(prefix) || prefix.find(':') != std::string::npos) return std::nullopt;
      pos = equals;
    }
    if (pos >= text.size() || text[pos] != '=') return std::nullopt;
    ++pos;
    if (pos >= text.size() || (text[pos] != '\'' && text[pos] != '"')) return std::nullopt;
    const char quote = text[pos++];
    const size_t end = text.find(quote, pos);
    if (end == std::string_view::npos) return std::nullopt;
    std::string uri(text.substr(pos, end - pos));
    pos = end + 1;
    if (!prefix.empty()) {
      if (uri.empty()) return std::nullopt;
      result.emplace_back(std::move(prefix), std::move(uri));
    }
  }
  return result;
}

std::string TrimMessage(std::string_view text) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return std::string(text);
}

void KeepFirstError(void* context, xmlErrorPtr error) {
  // Called from C; nothing may escape.
  try {
    auto* first = static_cast<std::string*>(context);
    if (first->empty() && error != nullptr && error->message != nullptr) *first = TrimMessage(error->message);
  } catch (...) {
  }
}

}  // namespace

// --- compiled schemas, shared by every caller while the file is unchanged ---

struct CXMLParser::Schema::Compiled {
  DocPtr doc;  // kept alive as long as the schema built from it
  xmlSchemaPtr schema = nullptr;
  ~Compiled() {
    if (schema != nullptr) xmlSchemaFree(schema);
  }
};

CXMLParser::Schema::Schema(std::unique_ptr<Compiled> compiled, std::string error, std::vector<TrackedFile> files)
    : compiled_(std::move(compiled)), error_(std::move(error)), files_(std::move(files)) {}

CXMLParser::Schema::~Schema() = default;

namespace {

/// Compiles the schema in `path`; `name` is how the configuration calls it.
std::shared_ptr<const CXMLParser::Schema> CompileSchema(const std::string& name, const std::string& path) {
  using Schema = CXMLParser::Schema;
  PolicyScope scope;
  std::string reason;
  auto compiled = std::make_unique<Schema::Compiled>();
  FileStamp stamp;
  compiled->doc = ParseFile(path, reason, stamp);
  scope.Files().push_back(TrackedFile{path, stamp});
  if (compiled->doc == nullptr) return std::make_shared<Schema>(nullptr, "'" + name + "' " + reason, scope.Files());
  xmlSchemaParserCtxtPtr parser = xmlSchemaNewDocParserCtxt(compiled->doc.get());
  if (parser == nullptr) return std::make_shared<Schema>(nullptr, "'" + name + "' cannot be compiled", scope.Files());
  std::string first;
  xmlSchemaSetParserStructuredErrors(parser, KeepFirstError, &first);
  compiled->schema = xmlSchemaParse(parser);
  xmlSchemaFreeParserCtxt(parser);
  if (compiled->schema == nullptr) {
    // A refused include explains the failure better than the library's follow-up error.
    std::string error = !scope.Refusal().empty() ? scope.Refusal() : first;
    if (error.empty()) error = "'" + name + "' is not a usable schema";
    return std::make_shared<Schema>(nullptr, std::move(error), scope.Files());
  }
  return std::make_shared<Schema>(std::move(compiled), std::string(), scope.Files());
}

class SchemaCache {
 public:
  /// The schema in `path`, compiled again when any file it was read from
  /// changed. A failure is remembered until one of them changes as well.
  std::shared_ptr<const CXMLParser::Schema> Get(const std::string& name, const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (const auto it = entries_.find(path); it != entries_.end() && Unchanged(it->second->Files())) {
      return it->second;
    }
    if (entries_.size() >= kMaxCachedSchemas && entries_.find(path) == entries_.end()) entries_.erase(entries_.begin());
    auto schema = CompileSchema(name, path);
    entries_[path] = schema;
    return schema;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<const CXMLParser::Schema>> entries_;
};

SchemaCache& Schemas() {
  static SchemaCache cache;
  return cache;
}

}  // namespace

struct CXMLParser::Impl {
  xmlDocPtr doc = nullptr;
  xmlXPathContextPtr xpath = nullptr;
  std::string path;        // empty for documents loaded from memory
  std::string loadError;   // why the last LoadFile failed
  std::string loadDetail;  // the same for an operator, with the resolved path

  ~Impl() { Release(); }

  void Release() {
    if (xpath != nullptr) xmlXPathFreeContext(xpath);
    if (doc != nullptr) xmlFreeDoc(doc);
    xpath = nullptr;
    doc = nullptr;
    path.clear();
  }

  /// Takes ownership of `parsed`; false (and nothing kept) when the XPath
  /// context cannot be set up.
  bool Adopt(DocPtr parsed, const std::vector<std::pair<std::string, std::string>>& namespaces) {
    xmlXPathContextPtr context = xmlXPathNewContext(parsed.get());
    if (context == nullptr) return false;
    context->error = IgnoreStructuredError;
    for (const auto& [prefix, uri] : namespaces) {
      if (xmlXPathRegisterNs(context, reinterpret_cast<const xmlChar*>(prefix.c_str()),
                             reinterpret_cast<const xmlChar*>(uri.c_str())) != 0) {
        xmlXPathFreeContext(context);
        return false;
      }
    }
    doc = parsed.release();
    xpath = context;
    return true;
  }

  /// The nodes `expression` selects, in document order. Namespace nodes are
  /// left out: the library hands out temporary copies of them.
  std::vector<xmlNodePtr> Select(const std::string& expression) {
    std::vector<xmlNodePtr> nodes;
    if (doc == nullptr || xpath == nullptr || expression.empty()) return nodes;
    xpath->node = reinterpret_cast<xmlNodePtr>(doc);  // relative paths start at the document
    const XPathObjectPtr result(xmlXPathEval(reinterpret_cast<const xmlChar*>(expression.c_str()), xpath));
    if (result == nullptr || result->type != XPATH_NODESET || result->nodesetval == nullptr) return nodes;
    const xmlNodeSet* set = result->nodesetval;
    nodes.reserve(static_cast<size_t>(set->nodeNr));
    for (int i = 0; i < set->nodeNr; ++i) {
      if (set->nodeTab[i] != nullptr && set->nodeTab[i]->type != XML_NAMESPACE_DECL) nodes.push_back(set->nodeTab[i]);
    }
    return nodes;
  }

  xmlNodePtr First(const std::string& expression) {
    const auto nodes = Select(expression);
    return nodes.empty() ? nullptr : nodes.front();
  }

  /// The node behind a record, when it belongs to the loaded document.
  xmlNodePtr Resolve(const Node& record) const {
    auto* node = static_cast<xmlNodePtr>(record.node);
    if (doc == nullptr || node == nullptr || node->type == XML_NAMESPACE_DECL || node->doc != doc) return nullptr;
    return node;
  }
};

namespace {

// Exception firewall: libxml2 is C, but our own containers may throw.
template <typename Result, typename Body>
Result Guarded(Body&& body) noexcept {
  try {
    InitLibrary();
    QuietErrors quiet;
    PolicyScope policy;
    return body();
  } catch (...) {
    return Result{};
  }
}

std::vector<CXMLParser::Node> Records(const std::vector<xmlNodePtr>& nodes) {
  std::vector<CXMLParser::Node> records;
  records.reserve(nodes.size());
  for (xmlNodePtr node : nodes) records.push_back(CXMLParser::Node{NodeName(node), node});
  return records;
}

}  // namespace

CXMLParser::CXMLParser() : impl_(std::make_unique<Impl>()) {}

CXMLParser::~CXMLParser() { Close(false); }

bool CXMLParser::LoadFile(const std::string& fileName, const std::string& selectionNamespaces) {
  return Guarded<bool>([&] {
    RecursiveLockGuard guard(lock_);
    impl_->loadError.clear();
    impl_->loadDetail.clear();
    const std::string path = ResolveHostPath(fileName);
    if (path.empty()) {
      impl_->loadError = fileName.empty() ? "no file name" : "no host directory";
      impl_->loadDetail = fileName + ": " + impl_->loadError;
      return false;
    }
    if (impl_->doc != nullptr) {
      impl_->loadError = "a document is loaded already";
      return false;
    }
    const auto namespaces = ParseNamespaces(selectionNamespaces);
    if (!namespaces) {
      impl_->loadError = "invalid selection namespaces";
      return false;
    }
    std::string reason;
    FileStamp stamp;
    std::string detail;
    DocPtr doc = ParseFile(path, reason, stamp, &detail);
    if (doc == nullptr) {
      impl_->loadError = "'" + fileName + "' " + reason;
      impl_->loadDetail = path + ": " + detail;
      return false;
    }
    if (!impl_->Adopt(std::move(doc), *namespaces)) return false;
    impl_->path = path;
    return true;
  });
}

bool CXMLParser::LoadXml(const std::string& text) {
  return Guarded<bool>([&] {
    RecursiveLockGuard guard(lock_);
    if (impl_->doc != nullptr) return false;
    DocPtr doc = ParseDocument(text.data(), text.size(), true);
    return doc != nullptr && impl_->Adopt(std::move(doc), {});
  });
}

void CXMLParser::Close(bool save) {
  Guarded<bool>([&] {
    RecursiveLockGuard guard(lock_);
    if (impl_->doc != nullptr && save && !impl_->path.empty()) {
      // No reformatting: the file keeps its own layout.
      xmlSaveFormatFileEnc(impl_->path.c_str(), impl_->doc, "UTF-8", 0);
    }
    impl_->Release();
    return true;
  });
}

std::string CXMLParser::GetLoadError() const {
  RecursiveLockGuard guard(lock_);
  return impl_->loadError;
}

std::string CXMLParser::GetLoadErrorDetail() const {
  RecursiveLockGuard guard(lock_);
  return impl_->loadDetail.empty() ? impl_->loadError : impl_->loadDetail;
}

long CXMLParser::GetNodeLine(const Node& node) {
  return Guarded<long>([&] {
    RecursiveLockGuard guard(lock_);
    const xmlNode* resolved = impl_->Resolve(node);
    return resolved != nullptr ? xmlGetLineNo(resolved) : 0L;
  });
}

std::vector<std::string> CXMLParser::GetNodeAttributeNames(const Node& node) {
  return Guarded<std::vector<std::string>>([&] {
    RecursiveLockGuard guard(lock_);
    std::vector<std::string> names;
    const xmlNode* element = impl_->Resolve(node);
    if (element == nullptr || element->type != XML_ELEMENT_NODE) return names;
    for (const xmlAttr* attribute = element->properties; attribute != nullptr; attribute = attribute->next) {
      names.push_back(QualifiedName(attribute->ns, attribute->name));
    }
    return names;
  });
}

std::string CXMLParser::CheckXPath(const std::string& expression) {
  return Guarded<std::string>([&] {
    xmlXPathContextPtr context = xmlXPathNewContext(nullptr);
    if (context == nullptr) return std::string{};
    std::string message;
    int position = -1;
    struct Capture {
      std::string* message;
      int* position;
    } capture{&message, &position};
    // The library reports compile errors through the thread's handler, with the offset in int1.
    xmlSetStructuredErrorFunc(&capture, [](void* data, xmlErrorPtr error) {
      auto* first = static_cast<Capture*>(data);
      if (error == nullptr || error->domain != XML_FROM_XPATH || *first->position >= 0) return;
      try {
        *first->position = error->int1;
        if (error->message != nullptr) *first->message = TrimMessage(error->message);
      } catch (...) {
      }
    });
    xmlXPathCompExprPtr compiled = xmlXPathCtxtCompile(context, reinterpret_cast<const xmlChar*>(expression.c_str()));
    xmlXPathFreeContext(context);
    if (compiled != nullptr) {
      xmlXPathFreeCompExpr(compiled);
      return std::string{};
    }
    if (message.empty()) message = "not a valid XPath expression";
    return position >= 0 ? Format("at position %d: %s", position, message.c_str()) : message;
  });
}

bool CXMLParser::IsLoaded() const {
  RecursiveLockGuard guard(lock_);
  return impl_->doc != nullptr;
}

std::string CXMLParser::GetAttributeW(const std::string& xpath, const std::string& name) {
  return Guarded<std::string>([&] {
    RecursiveLockGuard guard(lock_);
    return ElementAttribute(impl_->First(xpath), name).value_or(std::string{});
  });
}

std::string CXMLParser::GetNodeTextW(const std::string& xpath) {
  return Guarded<std::string>([&] {
    RecursiveLockGuard guard(lock_);
    return NodeText(impl_->First(xpath));
  });
}

std::vector<std::string> CXMLParser::GetNodeTextListW(const std::string& xpath) {
  return Guarded<std::vector<std::string>>([&] {
    RecursiveLockGuard guard(lock_);
    std::vector<std::string> texts;
    for (const xmlNode* node : impl_->Select(xpath)) texts.push_back(NodeText(node));
    return texts;
  });
}

std::string CXMLParser::GetCDataText(const std::string& xpath) {
  return Guarded<std::string>([&] {
    RecursiveLockGuard guard(lock_);
    const xmlNode* node = impl_->First(xpath);
    if (node == nullptr || node->type != XML_ELEMENT_NODE) return std::string{};
    const xmlNode* child = node->children;
    if (child == nullptr || child->type != XML_CDATA_SECTION_NODE) return std::string{};
    return std::string(View(child->content));
  });
}

std::string CXMLParser::GetRootName() {
  return Guarded<std::string>([&] {
    RecursiveLockGuard guard(lock_);
    if (impl_->doc == nullptr) return std::string{};
    const xmlNode* root = xmlDocGetRootElement(impl_->doc);
    return root == nullptr ? std::string{} : NodeName(root);
  });
}

std::vector<std::string> CXMLParser::GetAttributeListW(const std::string& xpath, const std::string& name) {
  return Guarded<std::vector<std::string>>([&] {
    RecursiveLockGuard guard(lock_);
    std::vector<std::string> values;
    for (const xmlNode* node : impl_->Select(xpath)) {
      if (auto value = ElementAttribute(node, name)) values.push_back(std::move(*value));
    }
    return values;
  });
}

std::vector<CXMLParser::Node> CXMLParser::SelectNodes(const std::string& xpath) {
  return Guarded<std::vector<Node>>([&] {
    RecursiveLockGuard guard(lock_);
    return Records(impl_->Select(xpath));
  });
}

std::vector<CXMLParser::Node> CXMLParser::GetChildElements(const Node& node) {
  return Guarded<std::vector<Node>>([&] {
    RecursiveLockGuard guard(lock_);
    std::vector<xmlNodePtr> children;
    const xmlNode* parent = impl_->Resolve(node);
    if (parent == nullptr || parent->type == XML_ATTRIBUTE_NODE) return std::vector<Node>{};
    for (xmlNodePtr child = parent->children; child != nullptr; child = child->next) {
      if (child->type == XML_ELEMENT_NODE) children.push_back(child);
    }
    return Records(children);
  });
}

std::string CXMLParser::GetNodeAttributeW(const Node& node, const std::string& name) {
  return Guarded<std::string>([&] {
    RecursiveLockGuard guard(lock_);
    return ElementAttribute(impl_->Resolve(node), name).value_or(std::string{});
  });
}

std::string CXMLParser::GetNodeText(const Node& node) {
  return Guarded<std::string>([&] {
    RecursiveLockGuard guard(lock_);
    return NodeText(impl_->Resolve(node));
  });
}

std::vector<std::string> CXMLParser::GetValueList(const Node& node) {
  return Guarded<std::vector<std::string>>([&] {
    RecursiveLockGuard guard(lock_);
    std::vector<std::string> values;
    const xmlNode* parent = impl_->Resolve(node);
    if (parent == nullptr || parent->type != XML_ELEMENT_NODE) return values;
    for (const xmlNode* child = parent->children; child != nullptr; child = child->next) {
      if (!IsElementNamed(child, "value")) continue;
      std::string text;
      AppendElementText(child, text);
      if (!text.empty()) values.push_back(std::move(text));
    }
    return values;
  });
}

std::vector<std::string> CXMLParser::GetRangeList(const Node& node) {
  return Guarded<std::vector<std::string>>([&] {
    RecursiveLockGuard guard(lock_);
    std::vector<std::string> values;
    const xmlNode* parent = impl_->Resolve(node);
    if (parent == nullptr || parent->type != XML_ELEMENT_NODE) return values;
    int32_t min = -1;
    int32_t max = -2;
    for (const xmlNode* child = parent->children; child != nullptr; child = child->next) {
      const bool isMin = IsElementNamed(child, "min");
      if (!isMin && !IsElementNamed(child, "max")) continue;
      std::string text;
      AppendElementText(child, text);
      int32_t value = 0;
      ParseInt(text, value);  // an invalid number reads as 0
      (isMin ? min : max) = value;
    }
    const int64_t count = static_cast<int64_t>(max) - min + 1;
    if (count <= 0 || count > kMaxRangeValues) return values;
    values.reserve(static_cast<size_t>(count));
    for (int64_t value = min; value <= max; ++value) values.push_back(std::to_string(value));
    return values;
  });
}

bool CXMLParser::NodeExists(const std::string& xpath) {
  return Guarded<bool>([&] {
    RecursiveLockGuard guard(lock_);
    return impl_->First(xpath) != nullptr;
  });
}

bool CXMLParser::AddElement(const std::string& parentXPath, const std::string& elementName,
                            const std::string& attributeName, const std::string& attributeValue) {
  return Guarded<bool>([&] {
    RecursiveLockGuard guard(lock_);
    if (!ValidName(elementName) || (!attributeName.empty() && !ValidName(attributeName))) return false;
    xmlNodePtr parent = impl_->First(parentXPath);
    if (parent == nullptr || parent->type != XML_ELEMENT_NODE) return false;
    xmlNodePtr element =
        xmlNewDocNode(impl_->doc, nullptr, reinterpret_cast<const xmlChar*>(elementName.c_str()), nullptr);
    if (element == nullptr) return false;
    if (!attributeName.empty() && xmlNewProp(element, reinterpret_cast<const xmlChar*>(attributeName.c_str()),
                                             reinterpret_cast<const xmlChar*>(attributeValue.c_str())) == nullptr) {
      xmlFreeNode(element);
      return false;
    }
    if (xmlAddChild(parent, element) == nullptr) {
      xmlFreeNode(element);
      return false;
    }
    return true;
  });
}

bool CXMLParser::SetAttribute(const std::string& xpath, const std::string& name, const std::string& value) {
  return Guarded<bool>([&] {
    RecursiveLockGuard guard(lock_);
    if (!ValidName(name)) return false;
    xmlNodePtr node = impl_->First(xpath);
    if (node == nullptr || node->type != XML_ELEMENT_NODE) return false;
    return xmlSetProp(node, reinterpret_cast<const xmlChar*>(name.c_str()),
                      reinterpret_cast<const xmlChar*>(value.c_str())) != nullptr;
  });
}

bool CXMLParser::RemoveNode(const std::string& xpath) {
  return Guarded<bool>([&] {
    RecursiveLockGuard guard(lock_);
    xmlNodePtr node = impl_->First(xpath);
    // Attributes are not children of their element; the document has no parent.
    if (node == nullptr || node->type == XML_ATTRIBUTE_NODE || node->parent == nullptr) return false;
    xmlUnlinkNode(node);
    xmlFreeNode(node);
    return true;
  });
}

std::shared_ptr<const CXMLParser::Schema> CXMLParser::LoadSchema(const std::string& schemaFile) {
  try {
    InitLibrary();
    QuietErrors quiet;
    const std::string path = ResolveHostPath(schemaFile);
    if (path.empty())
      return std::make_shared<Schema>(nullptr, "no schema file name or no host directory", std::vector<TrackedFile>{});
    return Schemas().Get(schemaFile, path);
  } catch (...) {
    return nullptr;
  }
}

std::string CXMLParser::XSDValidateW(const std::string& xml, const std::string& schemaFile,
                                     const std::string& targetNamespace, std::string& error) {
  // The schema names its own target namespace; the configured one is not needed to compile it.
  (void)targetNamespace;
  if (schemaFile.empty()) return XSDValidateW(xml, nullptr, error);
  const std::shared_ptr<const Schema> schema = LoadSchema(schemaFile);
  if (schema == nullptr) {
    error = std::string(kValidateName) + ": Unspecified exception";
    return {};
  }
  return XSDValidateW(xml, schema.get(), error);
}

namespace {

/// The document of `xml` when it is well-formed and, with a schema, valid
/// against it; otherwise null with `error` set. Never throws.
DocPtr ValidatedDocument(const std::string& xml, const CXMLParser::Schema* schema, std::string& error) {
  try {
    InitLibrary();
    QuietErrors quiet;
    PolicyScope policy;
    error.clear();
    if (schema != nullptr && !schema->IsCompiled()) {
      char text[128];
      std::snprintf(text, sizeof text, "%s: Cannot add schema (HRESULT = 0x%X)", kValidateName, kSchemaLoadFailure);
      error = text;
      return nullptr;
    }
    DocPtr doc = ParseDocument(xml.data(), xml.size(), true);
    if (doc == nullptr) {
      error = std::string(kValidateName) + ": Cannot load XML data";
      return nullptr;
    }
    if (schema != nullptr) {
      // A validation context is per call; the compiled schema is shared read-only.
      xmlSchemaValidCtxtPtr validation = xmlSchemaNewValidCtxt(schema->Get()->schema);
      if (validation == nullptr) {
        error = std::string(kValidateName) + ": Unspecified exception";
        return nullptr;
      }
      std::string first;
      xmlSchemaSetValidStructuredErrors(validation, KeepFirstError, &first);
      const int rc = xmlSchemaValidateDoc(validation, doc.get());
      xmlSchemaFreeValidCtxt(validation);
      if (rc != 0) {
        if (first.empty()) first = rc < 0 ? "Internal error while validating" : "The document is not valid";
        error = std::string(kValidateName) + ": " + first;
        return nullptr;
      }
    }
    return doc;
  } catch (...) {
    try {
      error = std::string(kValidateName) + ": Unspecified exception";
    } catch (...) {
    }
    return nullptr;
  }
}

}  // namespace

void CXMLParser::LeaveResourceLoaderToTheDriver() { setsLoader = false; }

std::string CXMLParser::XSDValidateW(const std::string& xml, const Schema* schema, std::string& error) {
  try {
    return ValidatedDocument(xml, schema, error) != nullptr ? xml : std::string();
  } catch (...) {
    return {};
  }
}

bool CXMLParser::LoadValidatedXml(const std::string& text, const Schema* schema, std::string& error) {
  return Guarded<bool>([&] {
    RecursiveLockGuard guard(lock_);
    if (impl_->doc != nullptr) {
      error = std::string(kValidateName) + ": Cannot load XML data";
      return false;
    }
    DocPtr doc = ValidatedDocument(text, schema, error);
    return doc != nullptr && impl_->Adopt(std::move(doc), {});
  });
}

}  // namespace korvane
