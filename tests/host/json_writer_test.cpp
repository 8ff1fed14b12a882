#include "host/json_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvane::host {
namespace {

using namespace std::string_literals;

const std::string kReplacement = "\xEF\xBF\xBD";

// Decoder written the textbook way (bit patterns, then the decoded value's
// range), independent of the range table the writer uses.
bool ReferenceValid(const std::string& bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    size_t length = 0;
    uint32_t cp = 0;
    if (b < 0x80) {
      length = 1;
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      length = 2;
      cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      length = 3;
      cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      length = 4;
      cp = b & 0x07;
    } else {
      return false;
    }
    if (i + length > bytes.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto c = static_cast<unsigned char>(bytes[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[length] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    i += length;
  }
  return true;
}

TEST(JsonWriterTest, EscapesQuotesBackslashesAndControlCharacters) {
  EXPECT_EQ(JsonQuote("say \"hi\" \\ back"), R"("say \"hi\" \\ back")");
  EXPECT_EQ(JsonQuote("a\nb\rc\td\be\ff"), R"("a\nb\rc\td\be\ff")");
  EXPECT_EQ(JsonQuote("\x01\x1f\x1b"s), R"("\u0001\u001f\u001b")");
  // A zero byte inside a counted text is kept, escaped, with what follows it.
  EXPECT_EQ(JsonQuote("a\0b"s), R"("a\u0000b")");
  // DEL, "/" and non-ASCII characters need no escape.
  EXPECT_EQ(JsonQuote("\x7f/Grüße €"), "\"\x7f/Grüße €\"");
}

TEST(JsonWriterTest, BuildsObjectsInFieldOrder) {
  JsonArray tags;
  tags.Add(JsonObject().AddInt("id", 3).AddText("text", "000412"));
  const std::string line = JsonObject()
                               .AddText("type", "event")
                               .AddInt("number", -7)
                               .AddBool("ok", true)
                               .AddText("encoding", static_cast<const char*>(nullptr))
                               .AddArray("tags", tags)
                               .AddArray("empty", JsonArray())
                               .str();
  EXPECT_EQ(line,
            R"({"type":"event","number":-7,"ok":true,"encoding":null,"tags":[{"id":3,"text":"000412"}],"empty":[]})");
}

TEST(JsonWriterTest, CountedTextsHonourLengthAndNull) {
  const char data[] = {'a', '"', '\0', 'z', 'X'};
  EXPECT_EQ(JsonObject().AddText("data", data, 4).str(), R"({"data":"a\"\u0000z"})");
  EXPECT_EQ(JsonObject().AddText("data", data, -1).str(), R"({"data":""})");
  EXPECT_EQ(JsonObject().AddText("data", nullptr, 5).str(), R"({"data":null})");
}

TEST(JsonWriterTest, InvalidUtf8KeepsExactBytesInBase64Sibling) {
  // Latin-1 "café" is not UTF-8: the text is repaired visibly, the bytes kept.
  EXPECT_EQ(JsonObject().AddText("data", "caf\xe9").AddInt("n", 1).str(),
            "{\"data\":\"caf" + kReplacement + "\",\"dataBase64\":\"Y2Fm6Q==\",\"n\":1}");
  // Escaping still applies to the repaired text.
  EXPECT_EQ(JsonObject().AddText("text", "\"\xff\n").str(),
            "{\"text\":\"\\\"" + kReplacement + "\\n\",\"textBase64\":\"Iv8K\"}");
  // Valid text, including the replacement character itself, gets no sibling.
  EXPECT_EQ(JsonObject().AddText("data", kReplacement).str(), "{\"data\":\"" + kReplacement + "\"}");
}

TEST(JsonWriterTest, TextArraysGetAParallelBase64ArrayOnlyWhenNeeded) {
  EXPECT_EQ(JsonObject().AddTextArray("choices", {"XSD", "Text"}).str(), R"({"choices":["XSD","Text"]})");
  EXPECT_EQ(JsonObject().AddTextArray("events", {"Sale", "bad\xff", ""}).str(),
            "{\"events\":[\"Sale\",\"bad" + kReplacement + "\",\"\"],\"eventsBase64\":[null,\"YmFk/w==\",null]}");
  EXPECT_EQ(JsonObject().AddTextArray("events", {}).str(), R"({"events":[]})");
}

TEST(JsonWriterTest, IllFormedSequencesAreReplacedPerMaximalSubpart) {
  struct Case {
    std::string bytes;
    std::string repaired;
  };
  const std::string R = kReplacement;
  const std::vector<Case> cases = {
      {"\x80", R},                          // lone continuation byte
      {"\xC0\x80", R + R},                  // overlong NUL: C0 can never start a character
      {"\xE0\x80\x80", R + R + R},          // overlong three-byte form
      {"\xED\xA0\x80", R + R + R},          // UTF-16 surrogate D800
      {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
      {"\xF5\x80", R + R},                  // lead byte never used
      {"a\xE2\x82", "a" + R},               // cut off at the end: one replacement
      {"\xE2\x82z", R + "z"},               // cut off before an ASCII byte
      {"\xF0\x9F\x98", R},                  // three of four bytes
      {"\xE2\x82\xAC\xFF\xE2\x82\xAC", "€" + R + "€"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(IsValidUtf8(c.bytes)) << ::testing::PrintToString(c.bytes);
    EXPECT_EQ(ToValidUtf8(c.bytes), c.repaired) << ::testing::PrintToString(c.bytes);
  }
  for (const std::string& valid : {"\xC2\x80"s, "\xED\x9F\xBF"s, "\xEE\x80\x80"s, "\xEF\xBF\xBF"s, "\xF0\x90\x80\x80"s,
                                   "\xF4\x8F\xBF\xBF"s, "\0"s, ""s}) {
    EXPECT_TRUE(IsValidUtf8(valid)) << ::testing::PrintToString(valid);
    EXPECT_EQ(ToValidUtf8(valid), valid);
  }
}

TEST(JsonWriterTest, ValidityAgreesWithReferenceDecoderOnAllShortSequences) {
  // Every one- and two-byte sequence and every three-byte sequence with a
  // multi-byte lead: validity as the reference sees it, and repair always
  // yields valid text that leaves valid input alone.
  std::string bytes;
  const auto check = [&] {
    const bool valid = IsValidUtf8(bytes);
    ASSERT_EQ(valid, ReferenceValid(bytes)) << ::testing::PrintToString(bytes);
    const std::string repaired = ToValidUtf8(bytes);
    ASSERT_TRUE(ReferenceValid(repaired)) << ::testing::PrintToString(bytes);
    if (valid) {
      ASSERT_EQ(repaired, bytes);
    }
  };
  for (int a = 0; a < 256; ++a) {
    bytes = {static_cast<char>(a)};
    check();
    for (int b = 0; b < 256; ++b) {
      bytes = {static_cast<char>(a), static_cast<char>(b)};
      check();
      if (a < 0xC0) continue;
      for (int c = 0; c < 256; ++c) {
        bytes = {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
        check();
      }
    }
  }
}

TEST(JsonWriterTest, Base64MatchesTheStandardVectors) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(Base64Encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode("\xff\xfe\x00\x80"s), "//4AgA==");
  // No line breaks, however long.
  EXPECT_EQ(Base64Encode(std::string(300, 'x')).find('\n'), std::string::npos);
}

TEST(JsonWriterTest, TimesAreIsoUtcWithMilliseconds) {
  EXPECT_EQ(IsoUtcTime(SYSTEMTIME{2026, 12, 2, 8, 10, 11, 12, 345}), "2026-12-08T10:11:12.345Z");
  EXPECT_EQ(IsoUtcTime(SYSTEMTIME{2027, 1, 0, 3, 4, 5, 6, 7}), "2027-01-03T04:05:06.007Z");
}

}  // namespace
}  // namespace korvane::host
