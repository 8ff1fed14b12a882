// Builds an expression from the constructs a configuration can use (basic
// syntax for the validation expression, Perl syntax for parameters) and a
// line, and checks that the text path's expressions give exactly what
// boost.regex gives: the same whole-line verdict, the same captured values.
// A second compilation with a step limit of one sends every line past PCRE2
// to RE2, so both engines are compared against boost.regex.
#include <boost/regex.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>

#include "driver/support/string_utils.h"
#include "driver/validation/text_regex.h"

namespace {

using namespace korvane;

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Next() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool Empty() const { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

constexpr const char* kLiterals[] = {"a", "b", "x", "A", "1", " ", "-", "\xC3\xA9", "_", "K", "=", "/"};
constexpr const char* kBasicBrackets[] = {"[ab]",        "[^a]",        "[a-c]", "[[:alpha:]]", "[[:digit:]x]",
                                          "[]a]",        "[^]a]",       "[-a]",  "[a-]",        "[[:space:]]",
                                          "[A-Z]",       "[0-9]",       "[\\a]", "[[:upper:]]", "[^[:alnum:]]",
                                          "[[:punct:]]", "[a\xC3\xA9]", "[.a]"};
constexpr const char* kPerlBrackets[] = {
    "[ab]",     "[^a]",     "[a-c]", "[[:alpha:]]", "[\\d.]", "[\\w-]", "[^\\s]", "[A-Z]",
    "[0-9]",    "[\\]a]",   "[^]a]", "[[:lower:]]", "[a-]",   "[\\-x]", "[\\\\]", "[\xC3\xA9-\xC3\xBF]",
    "[\\S\\D]", "[^\\W\\d]"};
constexpr const char* kPerlEscapes[] = {"\\d", "\\w", "\\s", "\\D", "\\W", "\\S", "\\b", "\\B", "\\.", "\\-", "\\1"};
constexpr const char* kBasicEscapes[] = {"\\.", "\\*", "\\[", "\\\\", "\\1", "\\$", "\\^"};

template <size_t N>
const char* Pick(Reader& in, const char* const (&options)[N]) {
  return options[in.Next() % N];
}

std::string Expression(Reader& in, bool basic, int depth);

std::string Piece(Reader& in, bool basic, int depth) {
  std::string piece;
  switch (in.Next() % 10) {
    case 0:
    case 1:
    case 2:
      piece = Pick(in, kLiterals);
      break;
    case 3:
      piece = ".";
      break;
    case 4:
      piece = basic ? Pick(in, kBasicBrackets) : Pick(in, kPerlBrackets);
      break;
    case 5:
      piece = basic ? Pick(in, kBasicEscapes) : Pick(in, kPerlEscapes);
      break;
    case 6:
      piece = (in.Next() % 2) ? "^" : "$";
      break;
    case 7:
      if (depth < 3) {
        if (basic) {
          piece = "\\(" + Expression(in, basic, depth + 1) + "\\)";
        } else {
          piece = (in.Next() % 4 ? "(" : "(?:") + Expression(in, basic, depth + 1) + ")";
        }
      }
      break;
    case 8:
      // Characters with a meaning of their own in some places.
      piece = std::string(1, "+?|{}()*^$"[in.Next() % 10]);
      break;
    default:
      piece = std::string(1, static_cast<char>(in.Next() & 0x7F));
      break;
  }
  const uint8_t q = in.Next();
  const char* const basicRepeats[] = {"", "", "*", "\\{2\\}", "\\{1,3\\}", "\\{0,\\}", "\\{2,1\\}"};
  const char* const perlRepeats[] = {"", "", "*", "+", "?", "{2}", "{1,3}", "{0,}", "*?", "+?", "??", "{1,2}?", "*+"};
  piece += basic ? basicRepeats[q % 7] : perlRepeats[q % 13];
  return piece;
}

std::string Expression(Reader& in, bool basic, int depth) {
  std::string text;
  const int pieces = 1 + in.Next() % 4;
  for (int i = 0; i < pieces; ++i) text += Piece(in, basic, depth);
  if (!basic && depth < 4 && in.Next() % 4 == 1) text += "|" + Expression(in, basic, depth + 1);
  return text;
}

constexpr const char* kLineUnits[] = {"a", "b", "x",  "A",        "B",        "1",  "2",           " ",
                                      "-", ".", "_",  "\xC3\xA9", "\xC3\x9F", "K",  "k",           "\t",
                                      "=", "/", "\\", "[",        "]",        "\n", "\xE2\x80\xA8"};

std::string Line(Reader& in) {
  std::string line;
  while (!in.Empty() && line.size() < 64) {
    const uint8_t b = in.Next();
    if (b >= 0xF8) {
      line += static_cast<char>(in.Next());  // any byte, valid UTF-8 or not
    } else {
      line += kLineUnits[b % (sizeof kLineUnits / sizeof kLineUnits[0])];
    }
  }
  return line;
}

[[noreturn]] void Differ(const char* what, const std::string& expression, const std::string& line, int group,
                         const std::string& expected, const std::string& actual) {
  std::fprintf(stderr, "%s differs: expression '%s' line '%s' group %d: boost '%s' new '%s'\n", what,
               expression.c_str(), line.c_str(), group, expected.c_str(), actual.c_str());
  std::abort();
}

// Boost's own answer; empty optional when it gave up.
std::optional<std::string> BoostSearch(const boost::wregex& re, const std::wstring& line, int group) {
  try {
    boost::wsmatch match;
    if (!boost::regex_search(line, match, re)) return std::string();
    if (static_cast<size_t>(group) >= match.size() || !match[group].matched) return std::string();
    return WideToUtf8(std::wstring(match[group].first, match[group].second));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  const bool basic = in.Next() % 2 == 0;
  std::string expression = (!basic && in.Next() % 5 == 0) ? "(?i)" : "";
  expression += Expression(in, basic, 0);
  const std::string line = Line(in);
  const std::wstring wide = Utf8ToWide(line);

  std::optional<boost::wregex> reference;
  try {
    reference.emplace(Utf8ToWide(expression), basic ? boost::regex::basic : boost::regex::normal);
  } catch (const std::exception&) {
    return 0;
  }
  const CTextRegex layer(expression, basic ? RegexSyntax::kBasic : RegexSyntax::kPerl);
  const CTextRegex linear(expression, basic ? RegexSyntax::kBasic : RegexSyntax::kPerl, 1);
  const CTextSubject subject(line);
  for (const CTextRegex* regex : {&layer, &linear}) {
    if (basic) {
      bool expected = false;
      try {
        expected = boost::regex_match(wide, *reference);
      } catch (const std::exception&) {
        continue;
      }
      const bool actual = regex->FullMatch(subject);
      if (actual != expected) Differ("whole match", expression, line, 0, expected ? "1" : "0", actual ? "1" : "0");
      continue;
    }
    for (int group = 0; group <= static_cast<int>(reference->mark_count()) + 1; ++group) {
      const std::optional<std::string> expected = BoostSearch(*reference, wide, group);
      if (!expected) break;
      std::string actual;
      regex->Search(subject, group, actual);
      if (actual != *expected) Differ("search", expression, line, group, *expected, actual);
    }
  }
  return 0;
}
