// The names a configuration file may use: its elements, their attributes and
// the values of the attributes that take one of a few words. Anything else
// would be ignored by the readers without a word, so a misspelt name is said
// once when the driver opens, with its line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "driver/common/driver_interfaces.h"

namespace korvane {

class CXMLParser;

/// An attribute the driver reads. `values` lists the words it knows; empty
/// means any text (a number, a name, an expression).
struct AttributeName {
  std::string_view name;
  std::vector<std::string_view> values;
  /// The reader lower-cases the value first.
  bool anyCase = false;
};

/// An element the driver reads, with what it may hold.
struct ElementName {
  enum class Content {
    kElements,  ///< child elements are checked against `children`
    kOpaque,    ///< anything: a payload the driver passes on as it is
    kRules,     ///< every child element is a parameter rule (by convention <param>)
  };
  std::string_view name;
  std::vector<AttributeName> attributes;
  std::vector<ElementName> children;
  Content content = Content::kElements;
};

/// The element tree of a configuration whose mapper section has the given
/// rule format: version "2" rules, or the legacy number-addressed rules.
const ElementName& ConfigurationNames(bool legacyMapper);

/// Logs at error level, in the configuration category, every element and
/// attribute of `config` that the driver does not read and every word it
/// does not know in an attribute that takes one, each with its line. The
/// mapper section is checked against the rule format the file declares.
void CheckConfigurationNames(CXMLParser& config, IDebug& logger);

}  // namespace korvane
