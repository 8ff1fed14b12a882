// Builds uniform messages: Shape A from a validated text line and the
// configured message types, Shape B from a device's XML document.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/validation/mapper_interface.h"
#include "driver/validation/text_regex.h"
#include "driver/validation/uniform_message.h"

namespace korvane {

class CXMLParser;

/// One configured parameter of a text-path message type.
struct TextParamDefinition {
  /// The constant value, or with regex parsing the expression's text.
  std::string value;
  /// Capture group whose text is the value (0: the whole match).
  int32_t group = 0;
  /// Compiled expression (regex parsing only); null when it did not compile.
  std::shared_ptr<const CTextRegex> expression;
  /// Why the expression did not compile.
  std::string compileError;
};

struct TextMessageDefinition {
  std::string value;
  std::vector<TextParamDefinition> params;
};

/// The message types of the text path, read from root/kslXmlMapper/messageType.
struct TextPathDefinition {
  bool regexParsing = false;
  /// Some parameter expression did not compile.
  bool brokenExpressions = false;
  std::vector<TextMessageDefinition> messages;
};

/// Reads the text-path message types from a loaded configuration; with regex
/// parsing the parameter expressions are compiled (Perl syntax).
TextPathDefinition ReadTextPathDefinition(CXMLParser& config);

/// Builds the Shape A message for one validated line. `validated` is the
/// line as the channel delivered it (XML-escaped); parameter values are
/// stored unescaped, with every tab, CR and LF turned into a blank (as the
/// values of a Shape A document read back), so rules see the same text
/// whether the message is mapped as built or as XML text. False with `error` set when an expression is unusable
/// (did not compile, or matching exceeded the regex engine's limits).
bool BuildTextMessage(const TextPathDefinition& definition, const CTextSubject& validated, UniformMessage& out,
                      std::string& error);

/// Builds the Shape B message from a device's XML document (UTF-8). False when
/// the document cannot be read.
bool BuildXmlMessage(const std::string& xml, const MessageTypeDefinition& type, UniformMessage& out);
/// The same from a document already loaded (as validation loads it).
void BuildXmlMessage(CXMLParser& document, const MessageTypeDefinition& type, UniformMessage& out);

}  // namespace korvane
