#include "driver/support/string_utils.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace korvane {
namespace {

TEST(ParseIntTest, AcceptsSignedDecimalBetweenBlanks) {
  struct Case {
    const char* text;
    int32_t value;
  };
  for (const Case& c :
       {Case{"42", 42}, Case{"  42 ", 42}, Case{"\t42\t", 42}, Case{" \t+42", 42}, Case{"-42", -42}, Case{"0", 0},
        Case{"-0", 0}, Case{"007", 7}, Case{"2147483647", 2147483647}, Case{"-2147483648", INT32_MIN}}) {
    int32_t value = -1;
    EXPECT_TRUE(ParseInt(std::string_view(c.text), value)) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
    int32_t wideValue = -1;
    const std::wstring wide(c.text, c.text + std::char_traits<char>::length(c.text));
    EXPECT_TRUE(ParseInt(std::wstring_view(wide), wideValue)) << c.text;
    EXPECT_EQ(wideValue, c.value) << c.text;
  }
}

TEST(ParseIntTest, RejectsAnythingButOneDecimalNumber) {
  for (const char* text : {"", "   ", "+", "-", "4 2", "0x10", "42abc", "abc", "+-1", "--1", "1.5", "42\n",
                           "2147483648", "-2147483649", "99999999999999999999"}) {
    int32_t value = 7;
    EXPECT_FALSE(ParseInt(std::string_view(text), value)) << '"' << text << '"';
    EXPECT_EQ(value, 0) << text;
    const std::wstring wide(text, text + std::char_traits<char>::length(text));
    EXPECT_FALSE(ParseInt(std::wstring_view(wide), value)) << text;
  }
  // Full-width digits are not decimal digits here.
  int32_t value = 0;
  EXPECT_FALSE(ParseInt(std::wstring_view(L"\xFF11"), value));
}

TEST(ParseFloatTest, ConvertsWholeNumericTextOnly) {
  float value = 0;
  EXPECT_TRUE(ParseFloat(std::wstring_view(L" 3.25\t"), value));
  EXPECT_FLOAT_EQ(value, 3.25f);
  EXPECT_TRUE(ParseFloat(std::wstring_view(L"-1e3"), value));
  EXPECT_FLOAT_EQ(value, -1000.0f);
  EXPECT_TRUE(ParseFloat(std::string_view("+.5"), value));
  EXPECT_FLOAT_EQ(value, 0.5f);
  for (const wchar_t* text : {L"", L"+", L"1.5x", L"1 5", L"nan", L"inf", L"1e999", L"0x1p3", L"+-1", L"\x0661"}) {
    value = 9;
    EXPECT_FALSE(ParseFloat(std::wstring_view(text), value)) << text;
    EXPECT_EQ(value, 0.0f);
  }
}

TEST(FormatTest, SizesTheResultToFit) {
  const std::string longText(5000, 'q');
  EXPECT_EQ(Format("%s:%d", longText.c_str(), 12), longText + ":12");
  EXPECT_EQ(Format("%s", ""), "");
  const std::wstring longWide(3000, L'w');
  EXPECT_EQ(Format(L"<%ls>%d", longWide.c_str(), 5), L"<" + longWide + L">5");
}

TEST(TextToolsTest, SplitDropsEmptyPieces) {
  EXPECT_EQ(Split("<>a<>b<><>c<>", "<>"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(Split("abc", ""), (std::vector<std::string>{"abc"}));
  EXPECT_EQ(SplitWords(L"  one\ttwo\r\n three  "), (std::vector<std::wstring>{L"one", L"two", L"three"}));
}

TEST(XmlEscapeTest, EscapesFiveCharactersAndKeepsEveryOtherByte) {
  const std::string raw("a<b>&\"c'\0d\xff", 11);
  const std::string escaped = XmlEscape(raw);
  EXPECT_EQ(escaped, std::string("a&lt;b&gt;&amp;&quot;c&apos;\0d\xff", 31));
  EXPECT_EQ(XmlUnescape(std::string_view(escaped)), raw);

  // Long runs with each special at every offset of the block-wise scans
  // (sixteen and eight bytes at a time, then the tail).
  const std::pair<char, const char*> specials[] = {
      {'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}, {'\'', "&apos;"}};
  for (const auto& [special, entity] : specials) {
    for (size_t at = 0; at < 40; ++at) {
      std::string text(40, 'x');
      text[at] = special;
      std::string expected = text.substr(0, at) + entity + text.substr(at + 1);
      EXPECT_EQ(XmlEscape(text), expected) << special << " at " << at;
    }
  }
  std::string out = "prefix:";
  XmlEscapeAppend(out, "<>", 2);
  EXPECT_EQ(out, "prefix:&lt;&gt;");
}

TEST(XmlEscapeTest, UnescapeHandlesOnlyTheFiveEntities) {
  EXPECT_EQ(XmlUnescape(std::wstring_view(L"&lt;a&gt; &amp;amp; &apos;&quot; &#65; &unknown; & &lt")),
            L"<a> &amp; '\" &#65; &unknown; & &lt");
}

TEST(Base64Test, MatchesRfc4648Vectors) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& [input, expected] : vectors) {
    std::string out;
    EXPECT_TRUE(Base64Encode(reinterpret_cast<const uint8_t*>(input.data()), input.size(), out)) << input;
    EXPECT_EQ(out, expected);
  }
}

TEST(Base64Test, BreaksLinesAfterEverySeventySixCharactersAndChecksCapacity) {
  const std::string input(60, 'a');  // 80 characters of output
  std::string out;
  ASSERT_TRUE(Base64Encode(reinterpret_cast<const uint8_t*>(input.data()), input.size(), out));
  ASSERT_EQ(out.size(), 82u);
  EXPECT_EQ(out.substr(76, 2), "\r\n");
  EXPECT_EQ(out.find('\r'), 76u);
  EXPECT_TRUE(Base64Encode(reinterpret_cast<const uint8_t*>(input.data()), input.size(), out, 82));
  EXPECT_FALSE(Base64Encode(reinterpret_cast<const uint8_t*>(input.data()), input.size(), out, 81));
}

TEST(Base64Test, BasicCredentialsFitSeventyOneBytesOnOneLine) {
  std::string out;
  EXPECT_TRUE(BasicCredentials("Aladdin", "open sesame", out));
  EXPECT_EQ(out, "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_TRUE(BasicCredentials("test", "123\xC2\xA3", out));
  EXPECT_EQ(out, "dGVzdDoxMjPCow==");

  const std::string user(40, 'u');
  EXPECT_TRUE(BasicCredentials(user, std::string(31, 'p'), out));  // 71 bytes
  EXPECT_EQ(out.size(), 96u);
  // An Authorization header is a single line.
  EXPECT_EQ(out.find_first_of("\r\n"), std::string::npos);
  EXPECT_FALSE(BasicCredentials(user, std::string(32, 'p'), out));  // 72 bytes
  EXPECT_TRUE(out.empty());
}

TEST(Md5Test, MatchesRfc1321Suite) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [input, expected] : vectors) EXPECT_EQ(Md5Hex(input), expected) << input;
}

TEST(Utf8Test, RoundTripsAndReplacesInvalidBytes) {
  const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // A é € 😀
  EXPECT_EQ(Utf8ToWide(text), std::wstring(L"A\u00E9\u20AC\U0001F600"));
  EXPECT_EQ(WideToUtf8(Utf8ToWide(text)), text);
  EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));

  EXPECT_EQ(Utf8ToWide("\xFF"
                       "a"),
            L"\uFFFDa");                                         // never a lead byte
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), L"\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");  // surrogate
  EXPECT_EQ(Utf8ToWide("\xE2\x82"
                       "x"),
            L"\uFFFDx");                             // cut short
  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98"), L"\uFFFD");  // cut off at the end
  EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000))), "\xEF\xBF\xBD");

  // The one-pass cleaning gives what the round trip through wide text gives, broken part anywhere.
  for (const std::string broken : {"\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xE2\x82x", "\xF0\x9F\x98", "\x80\x80"}) {
    for (const std::string& sample : {broken, text + broken, broken + text, text + broken + text}) {
      EXPECT_EQ(CleanUtf8(sample), WideToUtf8(Utf8ToWide(sample))) << sample;
    }
  }
  EXPECT_EQ(CleanUtf8(text), text);
}

}  // namespace
}  // namespace korvane
