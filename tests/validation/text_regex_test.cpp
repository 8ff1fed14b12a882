// The text path's expressions against the answers boost.regex gives, for the
// expression forms the examples and tests configure, and the cases where the
// layer must hand a line back to boost.regex.
#include "driver/validation/text_regex.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <string>

#include "driver/support/string_utils.h"

namespace korvane {
namespace {

struct Case {
  const char* expression;
  RegexSyntax syntax;
  int32_t group;
  const char* line;
  const char* expected;  ///< whole match: "1" or "0"; search: the group's text ("" for none)
};

constexpr RegexSyntax kBasic = RegexSyntax::kBasic;
constexpr RegexSyntax kPerl = RegexSyntax::kPerl;

// Validation expressions (basic syntax, whole line) and parameter expressions
// (Perl syntax, first match, one group) as the shipped configurations use them.
const Case kCases[] = {
    {"[A-Z].*", kBasic, 0, "SALE LANE 3 TOTAL 15.55", "1"},
    {"[A-Z].*", kBasic, 0, "sale", "0"},
    {"[A-Z][A-Z]* .*", kBasic, 0, "NO SALE LANE 2", "1"},
    {".*[[:alnum:]].*", kBasic, 0, "-- 7 --", "1"},
    {".*[[:alnum:]].*", kBasic, 0, "-- --", "0"},
    {"SALE .*", kBasic, 0, "SALE 12", "1"},
    {"event=.*", kBasic, 0, "xevent=1", "0"},
    // Basic syntax: + ? | { } ( ) are ordinary characters, \( \) group, \{ \} count.
    {"a+b?|c", kBasic, 0, "a+b?|c", "1"},
    {"a+b", kBasic, 0, "aab", "0"},
    {"\\(ab\\)*c", kBasic, 0, "ababc", "1"},
    {"x\\{2,3\\}", kBasic, 0, "xxx", "1"},
    {"x\\{2,3\\}", kBasic, 0, "xxxx", "0"},
    {"(x)", kBasic, 0, "(x)", "1"},
    {"[\\n]*", kBasic, 0, "\\n\\", "1"},  // a backslash is ordinary inside brackets
    {"^(RECEIPT|ITEM|VOID|SALE|CASH OUT|CASH|NO SALE|REFUND LANE|REFUND)", kPerl, 1, "CASH OUT LANE 1", "CASH OUT"},
    {"(-?[0-9]+\\.[0-9]{2})$", kPerl, 1, "VOID LANE 2 TOTAL -3.10", "-3.10"},
    {"[0-9]+(\\.[0-9]{2})?", kPerl, 0, "LANE 3 TOTAL 15.55", "3"},
    {" ([0-9]+) x ", kPerl, 1, "ITEM Tea 2 x 1.50", "2"},
    {"^(ITEM|REFUND) (.+) [0-9]+ x ", kPerl, 2, "ITEM Green tea 2 x 1.50", "Green tea"},
    {"(?i)(granted|denied)$", kPerl, 1, "BADGE 7 DOOR 2 Denied", "Denied"},
    {"^DOOR ([0-9]+) ", kPerl, 1, "DOOR 12 OPEN", "12"},
    {"event=([a-z]+)", kPerl, 1, "id=1 event=open state=x", "open"},
    {"ITEM (.+)$", kPerl, 1, "ITEM Caf\xC3\xA9 cr\xC3\xA8me", "Caf\xC3\xA9 cr\xC3\xA8me"},
    {"(.)(.)(.)", kPerl, 3, "\xC3\xA9\xC3\xA8x", "x"},  // a dot is one character, not one byte
    {"(a)|b", kPerl, 1, "b", ""},                       // group did not take part
    {"(a)", kPerl, 2, "a", ""},                         // no such group
    {"(a)", kPerl, -1, "a", ""},
    {"a*?", kPerl, 0, "aaa", ""},                // leftmost-first: the lazy empty match wins
    {"(a|ab)(c|bcd)", kPerl, 2, "abcd", "bcd"},  // first alternative that lets the rest match
    {"\\bLANE\\b ([0-9]+)", kPerl, 1, "XLANE 1 LANE 2", "2"},
    // Back-references and look-ahead are left to boost.regex.
    {"\\(a*\\)b\\1", kBasic, 0, "aabaa", "1"},
    {"(a+)b\\1", kPerl, 1, "xaabaay", "aa"},
    {"a(?=b)", kPerl, 0, "acab", "a"},
};

std::string Answer(const CTextRegex& regex, const Case& c) {
  const CTextSubject line(c.line);
  if (c.syntax == kBasic) return regex.FullMatch(line) ? "1" : "0";
  std::string value;
  return regex.Search(line, c.group, value) ? value : "";
}

std::string BoostAnswer(const Case& c) {
  const boost::wregex regex(Utf8ToWide(c.expression), c.syntax == kBasic ? boost::regex::basic : boost::regex::normal);
  const std::wstring line = Utf8ToWide(c.line);
  if (c.syntax == kBasic) return boost::regex_match(line, regex) ? "1" : "0";
  boost::wsmatch match;
  if (!boost::regex_search(line, match, regex) || c.group < 0 || static_cast<size_t>(c.group) >= match.size())
    return "";
  return WideToUtf8(std::wstring(match[c.group].first, match[c.group].second));
}

TEST(TextRegexTest, ConfiguredFormsGiveBoostsAnswersThroughEveryEngine) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.expression) + " on " + c.line);
    const CTextRegex regex(c.expression, c.syntax);
    // Step limit 1: every line goes past PCRE2 to RE2 (or boost.regex).
    const CTextRegex linear(c.expression, c.syntax, 1);
    EXPECT_EQ(BoostAnswer(c), c.expected);
    EXPECT_EQ(Answer(regex, c), c.expected);
    EXPECT_EQ(Answer(linear, c), c.expected);
  }
}

TEST(TextRegexTest, OnlyConstructsTheEnginesReadAlikeLeaveBoost) {
  for (const char* perl :
       {"^(RECEIPT|ITEM)", "(?i)(granted|denied)$", "[0-9]+(\\.[0-9]{2})?", "\\d+\\s\\w*?", "[^]a-c[:alpha:]\\-]"}) {
    EXPECT_TRUE(CTextRegex(perl, kPerl).Compiled()) << perl;
  }
  for (const char* basic : {"[A-Z].*", ".*[[:alnum:]].*", "\\(a\\)*x\\{1,\\}", "^a+?|$"}) {
    EXPECT_TRUE(CTextRegex(basic, kBasic).Compiled()) << basic;
  }
  // Back-references, look-around, inline options past the start, possessive
  // repeats, boost's own escapes, collating elements, two negated class
  // escapes in one set, anchors mid-expression in basic syntax.
  for (const char* perl :
       {"(a)\\1", "a(?=b)", "a(?i)b", "a*+", "\\<a", "\\B", "\\Qa\\E", "\\x41", "[[.a.]]", "\\pL", "[\\S\\D]"}) {
    EXPECT_FALSE(CTextRegex(perl, kPerl).Compiled()) << perl;
  }
  for (const char* basic : {"\\(a\\)\\1", "a^", "$a", "*a", "\\+", "[[=a=]]", "[a-\xC3\xA9]", "[+--]"}) {
    EXPECT_FALSE(CTextRegex(basic, kBasic).Compiled()) << basic;
  }
  EXPECT_THROW(CTextRegex("(unclosed", kPerl), std::exception);
  EXPECT_THROW(CTextRegex("\\(unclosed", kBasic), std::exception);
}

// Lines whose characters the engines could read differently from boost.regex
// (line breaks for ^ $ and ., classes and case outside ASCII, invalid UTF-8)
// are answered by boost.regex, so the result stays boost's.
TEST(TextRegexTest, LinesTheEnginesMightReadDifferentlyGetBoostsAnswer) {
  const CTextRegex end("^([a-z]+)$", kPerl);
  std::string value;
  ASSERT_TRUE(end.Search(CTextSubject("ab\ncd"), 1, value));  // boost: ^ and $ also at line breaks
  EXPECT_EQ(value, "ab");
  const CTextRegex word("(\\w+)", kPerl);
  const std::string accented = "\xC3\xA9t\xC3\xA9";
  const boost::wregex reference(L"(\\w+)");
  boost::wsmatch match;
  const std::wstring wide = Utf8ToWide(accented);
  ASSERT_TRUE(boost::regex_search(wide, match, reference));
  ASSERT_TRUE(word.Search(CTextSubject(accented), 1, value));
  EXPECT_EQ(value, WideToUtf8(std::wstring(match[1].first, match[1].second)));
  // Invalid UTF-8 is read as boost reads the decoded line.
  const CTextRegex any("(.+)", kPerl);
  ASSERT_TRUE(any.Search(CTextSubject("a\xFF"
                                      "b"),
                         1, value));
  EXPECT_EQ(value, WideToUtf8(Utf8ToWide("a\xFF"
                                         "b")));
}

// Expressions that make a backtracking engine run for ages are answered in
// linear time, with the answer boost gives on lines short enough for it.
TEST(TextRegexTest, CatastrophicExpressionsAreAnsweredOnLongLines) {
  const std::string as(100000, 'a');
  EXPECT_FALSE(CTextRegex("\\(a*\\)*b", kBasic).FullMatch(CTextSubject(as)));
  EXPECT_TRUE(CTextRegex("\\(a*\\)*", kBasic).FullMatch(CTextSubject(as)));
  std::string value;
  EXPECT_FALSE(CTextRegex("(a*)*b", kPerl).Search(CTextSubject(as), 1, value));
  ASSERT_TRUE(CTextRegex("(a|aa)+$", kPerl).Search(CTextSubject(as + "b" + as), 0, value));
  EXPECT_EQ(value, as);
  ASSERT_TRUE(CTextRegex("(x+x+)+(a{3})", kPerl).Search(CTextSubject(std::string(50000, 'x') + "aaa"), 2, value));
  EXPECT_EQ(value, "aaa");
}

}  // namespace
}  // namespace korvane
