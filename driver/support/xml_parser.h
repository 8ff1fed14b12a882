// The one XML access class: a DOM document behind XPath-driven reads, a few
// writes, and stand-alone XSD validation. Reads never fail: they return empty
// results when nothing is loaded, nothing matches or the library reports an
// error.
//
// Every load follows one external-resource policy, for documents, schemas and
// whatever a schema includes, imports or redefines: nothing is fetched over
// the network, only regular files inside the host directory are read (never a
// FIFO or a device, which could block forever), and a document that declares
// entities is refused as a whole.
//
// All texts are UTF-8. Each object serialises its own operations with a
// recursive lock; owners normally keep their own object.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver/support/file_stamp.h"
#include "driver/support/recursive_lock.h"

namespace korvane {

class CXMLParser {
 public:
  /// A selected node. Valid while the parser that returned it keeps its document
  /// and the node has not been removed; records of another parser read as empty.
  struct Node {
    std::string name;
    void* node = nullptr;  ///< the underlying library's node
  };

  CXMLParser();
  virtual ~CXMLParser();
  CXMLParser(const CXMLParser&) = delete;
  CXMLParser& operator=(const CXMLParser&) = delete;

  /// Loads `fileName` resolved against the host directory (the name is always
  /// appended to it). `selectionNamespaces` binds prefixes for XPath, in the
  /// form "xmlns:xs='http://www.w3.org/2001/XMLSchema' xmlns:a='urn:x'".
  bool LoadFile(const std::string& fileName, const std::string& selectionNamespaces = {});
  /// Why the last LoadFile failed ("'name' is not a regular file"); empty after a success.
  std::string GetLoadError() const;
  /// Why the last LoadFile failed, for an operator: the resolved path, then
  /// "file not found", "file is empty", "line L, column C: <parser message>"
  /// for a document that is not well-formed, or another reason ("not a
  /// regular file"). Empty after a success.
  std::string GetLoadErrorDetail() const;
  /// Loads a document from memory (UTF-8 text; an encoding declaration is ignored).
  bool LoadXml(const std::string& text);
  /// Optionally writes the document back to the loaded file, then releases it.
  void Close(bool save = false);
  bool IsLoaded() const;

  /// Attribute `name` of the first node `xpath` selects; empty when missing.
  std::string GetAttributeW(const std::string& xpath, const std::string& name);
  std::string GetAttribute(const std::string& xpath, const std::string& name) { return GetAttributeW(xpath, name); }
  /// Value of the first child of the first selected node (element text, attribute value).
  std::string GetNodeTextW(const std::string& xpath);
  /// GetNodeTextW of every selected node, in document order.
  std::vector<std::string> GetNodeTextListW(const std::string& xpath);
  /// Text of the first child of the selected node when it is a CDATA section.
  std::string GetCDataText(const std::string& xpath);
  /// Name of the document element.
  std::string GetRootName();
  /// Attribute `name` of every selected node in document order; nodes without it are skipped.
  std::vector<std::string> GetAttributeListW(const std::string& xpath, const std::string& name);
  std::vector<Node> SelectNodes(const std::string& xpath);
  /// Element children of `node`, in order.
  std::vector<Node> GetChildElements(const Node& node);
  std::string GetNodeAttributeW(const Node& node, const std::string& name);
  /// What GetNodeTextW reads from `node` itself: the value of its first child.
  std::string GetNodeText(const Node& node);
  /// Line of the node in its document (from 1); 0 when unknown.
  long GetNodeLine(const Node& node);
  /// Qualified names of the node's attributes, in document order.
  std::vector<std::string> GetNodeAttributeNames(const Node& node);
  /// Empty when `expression` compiles as an XPath 1.0 expression; otherwise
  /// the library's reason and the position (in bytes) where it found the error.
  static std::string CheckXPath(const std::string& expression);
  /// Texts of the child elements named "value"; empty ones skipped.
  std::vector<std::string> GetValueList(const Node& node);
  /// Decimal texts of min..max from the child elements "min" and "max" (last one
  /// counts, an invalid number reads as 0); empty for more than 100000 values.
  std::vector<std::string> GetRangeList(const Node& node);

  bool NodeExists(const std::string& xpath);
  /// Appends <elementName attributeName="attributeValue"/> to the first node `parentXPath` selects.
  bool AddElement(const std::string& parentXPath, const std::string& elementName, const std::string& attributeName,
                  const std::string& attributeValue);
  /// Sets (adds or replaces) an attribute of the first node `xpath` selects.
  bool SetAttribute(const std::string& xpath, const std::string& name, const std::string& value);
  /// Removes the first selected node from its parent.
  bool RemoveNode(const std::string& xpath);

  /// A compiled XML schema, shared read-only by every thread that validates against it.
  class Schema {
   public:
    struct Compiled;
    Schema(std::unique_ptr<Compiled> compiled, std::string error, std::vector<TrackedFile> files);
    ~Schema();
    Schema(const Schema&) = delete;
    Schema& operator=(const Schema&) = delete;

    bool IsCompiled() const { return compiled_ != nullptr; }
    /// Why it did not compile ("'types.xsd' is not a regular file"); empty when compiled.
    const std::string& Error() const { return error_; }
    /// The schema file and every file it included, imported or redefined (or
    /// tried to), each with its stamp when it was read.
    const std::vector<TrackedFile>& Files() const { return files_; }
    const Compiled* Get() const { return compiled_.get(); }

   private:
    std::unique_ptr<Compiled> compiled_;
    std::string error_;
    std::vector<TrackedFile> files_;
  };

  /// The schema in `schemaFile` (resolved against the host directory),
  /// compiled once and shared while none of the files it was read from
  /// changed. A schema that does not compile says why; null only when memory
  /// runs out. Thread-safe.
  static std::shared_ptr<const Schema> LoadSchema(const std::string& schemaFile);

  /// For code loaded and unloaded beside the driver (validator plug-ins),
  /// before its first XML operation: its copy of this parser then leaves the
  /// XML library's process-wide loader of external resources alone, which
  /// stays the driver's. A module that set that loader and was then unloaded
  /// would leave the library calling into unmapped code.
  static void LeaveResourceLoaderToTheDriver();

  /// `xml` itself when it is well-formed and, with a schema file, valid against
  /// it; otherwise empty with `error` set. The schema file name is resolved
  /// against the host directory. Compiled schemas are cached as LoadSchema
  /// says. Independent of the loaded document; thread-safe.
  static std::string XSDValidateW(const std::string& xml, const std::string& schemaFile,
                                  const std::string& targetNamespace, std::string& error);
  /// The same against a schema compiled beforehand; null checks well-formedness only.
  static std::string XSDValidateW(const std::string& xml, const Schema* schema, std::string& error);
  /// Loads `text` as this parser's document when XSDValidateW would accept it
  /// against `schema` (null: well-formedness only), with the same `error`
  /// otherwise: one parse serves validation and reading.
  bool LoadValidatedXml(const std::string& text, const Schema* schema, std::string& error);

 private:
  struct Impl;
  mutable RecursiveLock lock_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvane
