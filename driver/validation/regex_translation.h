// Rewrites a configured expression (POSIX basic syntax for the validation
// expression, Perl syntax for parameter expressions, both as boost.regex reads
// them) into the Perl dialect PCRE2 and RE2 share. Only constructs whose
// meaning is the same in all three engines are accepted; anything else (back
// references, look-around, inline options past the start, collating elements,
// ambiguous placements of anchors and repeats) is refused, and the caller
// keeps boost.regex for that expression.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

enum class RegexSyntax {
  kBasic,  ///< POSIX basic: \( \) groups, \{m,n\} intervals, + ? | literal
  kPerl,   ///< Perl syntax
};

struct TranslatedRegex {
  /// The expression in the shared Perl dialect (UTF-8).
  std::string pattern;
  /// A leading (?i): letters match either case.
  bool caseless = false;
  /// Uses classes, word boundaries or case folding, whose meaning outside
  /// ASCII depends on the engine; lines with other characters keep boost.regex.
  bool asciiOnlyClasses = false;
  /// A repeat's body can match nothing. The engines end such a loop by
  /// different rules, so which match a search finds, and what the groups
  /// inside it hold, may differ; whether a match exists does not.
  bool emptyRepeat = false;
  /// Number of capturing groups.
  uint32_t groups = 0;
};

/// Decodes the code point at `pos` of strict UTF-8 (no overlong forms, no
/// surrogates) and moves past it; false on an invalid sequence.
bool NextCodePoint(std::string_view text, size_t& pos, uint32_t& cp);

/// Null when the expression uses a construct outside the shared subset.
std::optional<TranslatedRegex> TranslateRegex(std::string_view expression, RegexSyntax syntax);

}  // namespace korvane
