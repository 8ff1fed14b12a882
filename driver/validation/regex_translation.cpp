#include "driver/validation/regex_translation.h"

#include <cstdio>
#include <string_view>

#include "driver/support/utf8.h"

namespace korvane {
namespace {

constexpr uint32_t kMaxRepeat = 1000;
constexpr int kMaxDepth = 64;
constexpr uint32_t kNoLimit = UINT32_MAX;

// Escaped punctuation that is a plain literal in every engine (boost reads
// \< \> \` \' as anchors, so those are not in the list).
constexpr std::string_view kLiteralEscapes = ".\\()[]{}*+?|^$/-#\"!%&,:;=@~ ";
// Characters boost's basic syntax takes literally after a backslash.
constexpr std::string_view kBasicEscapes = ".[]*^$\\";
constexpr std::string_view kClassNames[] = {"alnum", "alpha", "blank", "cntrl", "digit", "graph",
                                            "lower", "print", "punct", "space", "upper", "xdigit"};

bool IsDigit(uint32_t c) { return c >= '0' && c <= '9'; }
bool IsLower(uint32_t c) { return c >= 'a' && c <= 'z'; }
bool IsUpper(uint32_t c) { return c >= 'A' && c <= 'Z'; }

void AppendLiteral(std::string& out, uint32_t c) {
  if (IsDigit(c) || IsLower(c) || IsUpper(c)) {
    out += static_cast<char>(c);
    return;
  }
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "\\x{%X}", static_cast<unsigned>(c));
  out += buffer;
}

class Translator {
 public:
  Translator(std::string_view in, RegexSyntax syntax) : in_(in), basic_(syntax == RegexSyntax::kBasic) {}

  std::optional<TranslatedRegex> Run() {
    for (size_t pos = 0; pos < in_.size();) {
      uint32_t c = 0;
      if (!NextCodePoint(in_, pos, c)) return std::nullopt;
    }
    if (!basic_ && in_.starts_with("(?i)")) {
      out_.caseless = true;
      out_.asciiOnlyClasses = true;
      pos_ = 4;
    }
    Piece piece;
    if (!Alternation(piece, 0) || pos_ != in_.size()) return std::nullopt;
    out_.pattern = std::move(text_);
    return std::move(out_);
  }

 private:
  struct Piece {
    bool nullable = true;  ///< can match an empty text
    bool capture = false;  ///< holds a capturing group
  };

  bool Peek(char c) const { return pos_ < in_.size() && in_[pos_] == c; }
  bool PeekPair(char a, char b) const { return pos_ + 1 < in_.size() && in_[pos_] == a && in_[pos_ + 1] == b; }
  bool AtGroupEnd() const { return basic_ ? PeekPair('\\', ')') : Peek(')'); }

  bool Alternation(Piece& piece, int depth) {
    if (depth > kMaxDepth || !Concatenation(piece)) return false;
    // Basic syntax has no alternation: | is an ordinary character there.
    while (!basic_ && Peek('|')) {
      ++pos_;
      text_ += '|';
      Piece next;
      if (!Concatenation(next)) return false;
      piece.nullable = piece.nullable || next.nullable;
      piece.capture = piece.capture || next.capture;
    }
    return true;
  }

  bool Concatenation(Piece& piece) {
    piece = Piece{};
    while (pos_ < in_.size() && !AtGroupEnd() && !(!basic_ && Peek('|'))) {
      Piece atom;
      bool anchor = false;
      if (!Atom(atom, anchor) || !Quantifier(atom, anchor)) return false;
      piece.nullable = piece.nullable && atom.nullable;
      piece.capture = piece.capture || atom.capture;
    }
    return true;
  }

  bool Group(Piece& atom, bool capturing, size_t closeLength) {
    text_ += capturing ? "(" : "(?:";
    if (capturing) ++out_.groups;
    ++depth_;
    if (!Alternation(atom, depth_)) return false;
    --depth_;
    if (!AtGroupEnd()) return false;
    pos_ += closeLength;
    text_ += ')';
    atom.capture = atom.capture || capturing;
    return true;
  }

  bool Atom(Piece& atom, bool& anchor) {
    const size_t start = pos_;
    const char c = in_[pos_];
    atom.nullable = false;
    if (basic_) {
      if (c == '\\') {
        if (pos_ + 1 >= in_.size()) return false;
        const char next = in_[pos_ + 1];
        pos_ += 2;
        if (next == '(') return Group(atom, true, 2);
        if (kBasicEscapes.find(next) == std::string_view::npos) return false;
        AppendLiteral(text_, static_cast<unsigned char>(next));
        return true;
      }
      if (c == '*') return false;
      // Anchors only where every reading agrees: ^ first, $ last.
      if (c == '^' || c == '$') {
        if (c == '^' ? start != 0 : start + 1 != in_.size()) return false;
        ++pos_;
        text_ += c;
        atom.nullable = true;
        anchor = true;
        return true;
      }
    } else {
      switch (c) {
        case '(':
          ++pos_;
          if (Peek('?')) {
            if (!PeekPair('?', ':')) return false;
            pos_ += 2;
            return Group(atom, false, 1);
          }
          return Group(atom, true, 1);
        case '^':
        case '$':
          ++pos_;
          text_ += c;
          atom.nullable = true;
          anchor = true;
          return true;
        case '*':
        case '+':
        case '?':
        case '{':
          return false;
        case '\\':
          return PerlEscape(atom, anchor);
        default:
          break;
      }
    }
    if (c == '[') return Bracket();
    if (c == '.') {
      ++pos_;
      text_ += '.';
      return true;
    }
    uint32_t cp = 0;
    if (!NextCodePoint(in_, pos_, cp)) return false;
    AppendLiteral(text_, cp);
    return true;
  }

  enum class Escape { kClass, kLiteral, kWordBoundary, kRefused };

  /// What "\c" means in Perl syntax, in and outside brackets alike; `cp` is
  /// set for a literal.
  static Escape ClassifyEscape(char c, uint32_t& cp) {
    switch (c) {
      case 'd':
      case 'D':
      case 'w':
      case 'W':
      case 's':
      case 'S':
        return Escape::kClass;
      case 'b':  // \B is left to boost: it never matches at the ends of the text there
        return Escape::kWordBoundary;
      case 't':
        cp = '\t';
        return Escape::kLiteral;
      case 'n':
        cp = '\n';
        return Escape::kLiteral;
      case 'r':
        cp = '\r';
        return Escape::kLiteral;
      case 'f':
        cp = '\f';
        return Escape::kLiteral;
      default:
        if (kLiteralEscapes.find(c) == std::string_view::npos) return Escape::kRefused;
        cp = static_cast<unsigned char>(c);
        return Escape::kLiteral;
    }
  }

  bool PerlEscape(Piece& atom, bool& anchor) {
    if (pos_ + 1 >= in_.size()) return false;
    const char c = in_[pos_ + 1];
    pos_ += 2;
    uint32_t cp = 0;
    switch (ClassifyEscape(c, cp)) {
      case Escape::kWordBoundary:
        atom.nullable = true;
        anchor = true;
        [[fallthrough]];
      case Escape::kClass:
        out_.asciiOnlyClasses = true;
        text_ += '\\';
        text_ += c;
        return true;
      case Escape::kLiteral:
        AppendLiteral(text_, cp);
        return true;
      case Escape::kRefused:
        break;
    }
    return false;
  }

  /// One character of a bracket expression; `cls` is set for \d and the like.
  bool BracketElement(uint32_t& cp, std::string& cls) {
    if (!basic_ && Peek('\\')) {
      if (pos_ + 1 >= in_.size()) return false;
      const char c = in_[pos_ + 1];
      pos_ += 2;
      switch (ClassifyEscape(c, cp)) {
        case Escape::kClass:
          out_.asciiOnlyClasses = true;
          cls = std::string("\\") + c;
          return true;
        case Escape::kLiteral:
          return true;
        case Escape::kWordBoundary:  // a backspace in boost's sets, nothing alike elsewhere
        case Escape::kRefused:
          break;
      }
      return false;
    }
    return NextCodePoint(in_, pos_, cp);
  }

  bool Bracket() {
    ++pos_;
    text_ += '[';
    // boost.regex lets a character into a set only when it is outside every
    // negated class escape of the set ([\S\D] takes neither blanks nor
    // digits); PCRE2 and RE2 take the union. One such escape reads alike.
    char negated = 0;
    if (Peek('^')) {
      ++pos_;
      text_ += '^';
    }
    for (bool first = true;; first = false) {
      if (pos_ >= in_.size()) return false;
      if (Peek(']') && !first) {
        ++pos_;
        text_ += ']';
        return true;
      }
      if (PeekPair('[', '.') || PeekPair('[', '=')) return false;
      if (PeekPair('[', ':')) {
        const size_t close = in_.find(":]", pos_ + 2);
        if (close == std::string_view::npos) return false;
        const std::string_view name = in_.substr(pos_ + 2, close - pos_ - 2);
        bool known = false;
        for (std::string_view k : kClassNames) known = known || k == name;
        if (!known) return false;
        out_.asciiOnlyClasses = true;
        text_ += "[:";
        text_ += name;
        text_ += ":]";
        pos_ = close + 2;
        continue;
      }
      const bool dash = Peek('-');
      uint32_t low = 0;
      std::string cls;
      if (!BracketElement(low, cls)) return false;
      if (!cls.empty()) {
        if (cls[1] == 'D' || cls[1] == 'W' || cls[1] == 'S') {
          if (negated != 0 && negated != cls[1]) return false;
          negated = cls[1];
        }
        text_ += cls;
        continue;
      }
      // A dash is a literal only first or last.
      if (dash && !first && !Peek(']')) return false;
      if (Peek('-') && pos_ + 1 < in_.size() && in_[pos_ + 1] != ']') {
        ++pos_;
        if (PeekPair('[', ':') || PeekPair('[', '.') || PeekPair('[', '=')) return false;
        uint32_t high = 0;
        if (!BracketElement(high, cls) || !cls.empty() || high < low) return false;
        if (basic_ || out_.caseless) {
          // Collation and case folding agree between engines only on these ranges.
          const bool plain =
              (IsDigit(low) && IsDigit(high)) || (IsLower(low) && IsLower(high)) || (IsUpper(low) && IsUpper(high));
          if (!plain) return false;
          out_.asciiOnlyClasses = true;
        }
        AppendLiteral(text_, low);
        text_ += '-';
        AppendLiteral(text_, high);
        continue;
      }
      AppendLiteral(text_, low);
    }
  }

  bool Quantifier(Piece& atom, bool anchor) {
    uint32_t min = 0;
    uint32_t max = kNoLimit;
    if (basic_) {
      if (Peek('*')) {
        ++pos_;
      } else if (PeekPair('\\', '{')) {
        pos_ += 2;
        if (!Interval(min, max) || !PeekPair('\\', '}')) return false;
        pos_ += 2;
      } else {
        return true;
      }
      if (Peek('*') || PeekPair('\\', '{')) return false;
    } else {
      if (Peek('*')) {
        ++pos_;
      } else if (Peek('+')) {
        ++pos_;
        min = 1;
      } else if (Peek('?')) {
        ++pos_;
        max = 1;
      } else if (Peek('{')) {
        ++pos_;
        if (!Interval(min, max) || !Peek('}')) return false;
        ++pos_;
      } else {
        return true;
      }
    }
    if (anchor) return false;
    if (min == 0 && max == kNoLimit) {
      text_ += '*';
    } else if (min == 1 && max == kNoLimit) {
      text_ += '+';
    } else if (min == 0 && max == 1) {
      text_ += '?';
    } else {
      text_ += '{' + std::to_string(min);
      if (max != min) text_ += ',' + (max == kNoLimit ? std::string() : std::to_string(max));
      text_ += '}';
    }
    if (!basic_) {
      if (Peek('?')) {
        ++pos_;
        text_ += '?';
      }
      // Possessive and stacked repeats are left to boost.
      if (Peek('*') || Peek('+') || Peek('?') || Peek('{')) return false;
    }
    if ((max == kNoLimit || max > 1) && atom.nullable) out_.emptyRepeat = true;
    if (min == 0) atom.nullable = true;
    return true;
  }

  bool Number(uint32_t& value) {
    const size_t start = pos_;
    value = 0;
    while (pos_ < in_.size() && IsDigit(static_cast<unsigned char>(in_[pos_]))) {
      value = value * 10 + static_cast<uint32_t>(in_[pos_] - '0');
      if (value > kMaxRepeat) return false;
      ++pos_;
    }
    return pos_ > start;
  }

  bool Interval(uint32_t& min, uint32_t& max) {
    if (!Number(min)) return false;
    max = min;
    if (Peek(',')) {
      ++pos_;
      max = kNoLimit;
      if (pos_ < in_.size() && IsDigit(static_cast<unsigned char>(in_[pos_])) && !Number(max)) return false;
    }
    return max >= min;
  }

  std::string_view in_;
  bool basic_;
  size_t pos_ = 0;
  int depth_ = 0;
  std::string text_;
  TranslatedRegex out_;
};

}  // namespace

bool NextCodePoint(std::string_view text, size_t& pos, uint32_t& cp) {
  const Utf8Step step = DecodeUtf8(text, pos);
  if (!step.valid) return false;
  cp = step.codePoint;
  pos += step.length;
  return true;
}

std::optional<TranslatedRegex> TranslateRegex(std::string_view expression, RegexSyntax syntax) {
  return Translator(expression, syntax).Run();
}

}  // namespace korvane
