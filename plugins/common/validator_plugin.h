// The part of Validate every plug-in shares: the argument checks, the parse
// step behind an exception guard, and the copy of the answer into the
// driver's buffer. A plug-in derives from CValidatorPlugin and supplies Parse.
// A document that holds a control character no XML document may contain, or
// that does not fit the buffer, is answered as a failure, never as a success
// the driver could not use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "plugins/common/validator_api.h"

namespace korvane {

class CValidatorPlugin : public IKSLDataValidatorAPI {
 public:
  /// The words a plug-in answers with.
  struct Texts {
    const char* name;          ///< names the plug-in in the "does not fit" text
    const char* parseFailure;  ///< answer to a block Parse did not understand
    const char* exception;     ///< answer when Parse threw
  };
  /// Who writes the document count.
  enum class Counting {
    kOneDocument,  ///< one document per block: 1 with a text, else 0 (written here)
    kParser,       ///< Parse writes the count itself; a refused call leaves it alone
  };

  CValidatorPlugin(const Texts& texts, Counting counting) : texts_(texts), counting_(counting) {}

  bool Validate(const uint8_t* data, uint32_t length, char* output, uint32_t* outputLength, uint32_t* count) final;

 protected:
  /// Parses one block (never empty). True: `text` holds the XML. False: `text`
  /// holds the failure text, or stays empty for the plug-in's parse-failure
  /// text. `text` arrives empty; `count` is the driver's, for Counting::kParser.
  /// May throw; Validate answers with the exception text then.
  virtual bool Parse(const uint8_t* data, uint32_t length, std::string& text, uint32_t* count) = 0;

  /// Appends "<name>value</name>" and a line feed, with `value` XML-escaped.
  static void AppendElement(std::string& out, std::string_view name, std::string_view value);

 private:
  /// Copies `text` and its terminating zero into `output` when it fits; false when it does not.
  static bool CopyOut(const std::string& text, char* output, uint32_t* outputLength);

  const Texts texts_;
  const Counting counting_;
  std::string text_;  // reused for every block, so steady traffic allocates nothing
};

}  // namespace korvane
