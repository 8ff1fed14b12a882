#include "driver/support/code_page.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace korvane {
namespace {

std::string Convert(uint32_t codePage, const std::string& in) {
  std::string out = "stale";
  EXPECT_TRUE(ConvertToUtf8(codePage, in, out)) << codePage;
  return out;
}

TEST(CodePageTest, ConvertsSingleAndDoubleByteCodePages) {
  EXPECT_EQ(Convert(1252, "\xE9"), "\xC3\xA9");
  EXPECT_EQ(Convert(1252,
                    "Caf\xE9 \x80"
                    "4,50"),
            "Caf\xC3\xA9 \xE2\x82\xAC"
            "4,50");
  EXPECT_EQ(Convert(1251, "\xC8\xF2\xEE\xE3\xEE"), "\xD0\x98\xD1\x82\xD0\xBE\xD0\xB3\xD0\xBE");
  EXPECT_EQ(Convert(437, "\xC9\xCD\xBB \x80"), "\xE2\x95\x94\xE2\x95\x90\xE2\x95\x97 \xC3\x87");
  // Shift-JIS receipt line: "合  計      ￥1,650".
  EXPECT_EQ(Convert(932, "\x8D\x87\x20\x20\x8C\x76\x20\x81\x8F\x31\x2C\x36\x35\x30"),
            "\xE5\x90\x88  \xE8\xA8\x88 \xEF\xBF\xA5"
            "1,650");
  EXPECT_EQ(Convert(65001, "\xC3\xA9 \xFF"), "\xC3\xA9 \xFF");  // UTF-8 is passed through as it is
}

TEST(CodePageTest, KeepsEverythingAfterAZeroByte) {
  const std::string in(
      "a\0\xE9"
      "b\0",
      5);
  EXPECT_EQ(Convert(1252, in), std::string("a\0\xC3\xA9"
                                           "b\0",
                                           6));
  EXPECT_EQ(Convert(65001, in), in);
}

TEST(CodePageTest, UndefinedBytesAreReplacedAndTheRestKept) {
  EXPECT_EQ(Convert(1252, "a\x81z"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(Convert(20127, "ok\xC8!"), "ok\xEF\xBF\xBD!");
  // A lead byte without its second byte, in the middle and at the end.
  EXPECT_EQ(Convert(932,
                    "\x82\x20"
                    "x\x82"),
            "\xEF\xBF\xBD x\xEF\xBF\xBD");
  // Nothing of a broken message leaks into the next one.
  EXPECT_EQ(Convert(932, "\x82\xA8"), "\xE3\x81\x8A");
}

TEST(CodePageTest, UnknownCodePageFails) {
  std::string out = "stale";
  EXPECT_FALSE(ConvertToUtf8(12345, "abc", out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(ConvertToUtf8(0, "abc", out));
}

TEST(CodePageTest, ThreadsConvertIndependently) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      const uint32_t page = t % 2 == 0 ? 1252 : 932;
      const std::string in = t % 2 == 0 ? "\xE9\xE9" : "\x82\xA8";
      const std::string expected = t % 2 == 0 ? "\xC3\xA9\xC3\xA9" : "\xE3\x81\x8A";
      for (int i = 0; i < 2000; ++i) {
        std::string out;
        if (!ConvertToUtf8(page, in, out) || out != expected) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace korvane
