// The expressions of the text path: the whole-line validation expression and
// the parameter expressions. Each is compiled once per configuration load into
// PCRE2 (with its JIT) and RE2 next to boost.regex. A line is matched by PCRE2
// on its UTF-8 bytes, within a step limit; when the limit is reached RE2, which
// runs in time linear in the line, answers instead, so neither a configured
// expression nor a device line can stall a channel thread. Expressions outside
// the subset the engines read alike, and the rare lines whose characters they
// could read differently, are matched by boost.regex as before.
#pragma once

#include <boost/regex.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "driver/validation/regex_translation.h"

namespace korvane {

/// One received line as the expressions see it.
class CTextSubject {
 public:
  /// `utf8` must outlive the subject.
  explicit CTextSubject(std::string_view utf8);

  std::string_view Utf8() const { return utf8_; }
  /// Valid UTF-8 without line breaks, form feeds, vertical tabs or NULs: the
  /// compiled forms read it exactly as boost.regex reads its decoded text.
  bool Direct() const { return direct_; }
  bool Ascii() const { return ascii_; }
  /// The line decoded for boost.regex (on first use).
  const std::wstring& Wide() const;

 private:
  std::string_view utf8_;
  bool direct_ = true;
  bool ascii_ = true;
  mutable std::optional<std::wstring> wide_;
};

class CTextRegex {
 public:
  /// Steps PCRE2 may take on one line before RE2 takes over: far above what
  /// ordinary expressions need on lines of a few kilobytes, far below a stall.
  static constexpr uint32_t kDefaultStepLimit = 200000;

  /// Throws std::exception with boost.regex's reason when the expression
  /// does not compile. `stepLimit` bounds PCRE2's work per line.
  CTextRegex(std::string_view expression, RegexSyntax syntax, uint32_t stepLimit = kDefaultStepLimit);
  ~CTextRegex();
  CTextRegex(const CTextRegex&) = delete;
  CTextRegex& operator=(const CTextRegex&) = delete;

  /// Whether the whole line matches. Throws std::exception when boost.regex
  /// answers and gives up (its complexity limit).
  bool FullMatch(const CTextSubject& line) const;
  /// Searches the first (leftmost) match and sets `value` to the text of
  /// capture `group` (0: the whole match). False when there is no match or the
  /// group is out of range, did not take part or is empty. Throws like FullMatch.
  bool Search(const CTextSubject& line, int32_t group, std::string& value) const;

  /// Whether PCRE2 and RE2 hold this expression (false: boost.regex only).
  bool Compiled() const { return compiled_ != nullptr; }
  /// Number of capturing groups.
  uint32_t Groups() const { return static_cast<uint32_t>(boost_.mark_count()); }

 private:
  struct Engines;
  enum class Outcome { kMatch, kNoMatch, kUndecided };
  bool UsesEngines(const CTextSubject& line) const;
  Outcome EngineMatch(const CTextSubject& line, bool whole, int32_t group, std::string& value) const;

  boost::wregex boost_;
  std::unique_ptr<Engines> compiled_;
};

/// The expression compiled, or null with `error` set to boost.regex's reason
/// and the position (in characters) where it found the fault.
std::shared_ptr<const CTextRegex> CompileTextRegex(std::string_view expression, RegexSyntax syntax, std::string& error);

}  // namespace korvane
