#include "driver/channels/message_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvane {
namespace {

using namespace std::string_literals;

// Collects what the splitter reports, in order; "<clear>" marks a clear screen.
class Collector : public IMessageSink {
 public:
  void OnMessage(std::string_view message) override { events.emplace_back(message); }
  void OnClearScreen() override { events.emplace_back("<clear>"); }
  void OnLimitReached(size_t) override { ++limitHits; }
  void OnDropped(DropCause cause, size_t bytes) override {
    events.push_back((cause == DropCause::kCut ? "<cut " : "<limit ") + std::to_string(bytes) + ">");
  }

  std::vector<std::string> events;
  int limitHits = 0;
};

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

SplitterSettings Framing(std::string_view lineFeed, std::string_view clearScreen = {}, std::string_view ignored = {}) {
  SplitterSettings settings;
  settings.lineFeed = Bytes(lineFeed);
  settings.clearScreen = Bytes(clearScreen);
  settings.ignoredBytes = Bytes(ignored);
  return settings;
}

std::vector<std::string> Split(const SplitterSettings& settings, const std::vector<std::string>& blocks) {
  CMessageSplitter splitter(settings);
  Collector sink;
  for (const auto& block : blocks) splitter.Feed(block, sink);
  return sink.events;
}

using Events = std::vector<std::string>;

TEST(MessageSplitterTest, WithoutLineFeedEveryBlockIsOneMessage) {
  EXPECT_EQ(Split(Framing(""), {"A", "BC", "", "\r\nD"}), (Events{"A", "BC", "\r\nD"}));
}

TEST(MessageSplitterTest, CutsAtLineFeedAndKeepsTheRest) {
  CMessageSplitter splitter(Framing("\r\n"));
  Collector sink;
  splitter.Feed("A\r\nB", sink);
  EXPECT_EQ(sink.events, (Events{"A"}));
  EXPECT_EQ(splitter.Buffered(), 1u);
  splitter.Feed("C\r\n\r\n", sink);  // an empty line delivers nothing
  EXPECT_EQ(sink.events, (Events{"A", "BC"}));
}

TEST(MessageSplitterTest, ClearScreenDropsThePartialMessageAndIsReportedEvenWhenEmpty) {
  EXPECT_EQ(Split(Framing("\n", "\x0c"), {"\x0c", "abc\x0c", "def\n"}), (Events{"<clear>", "<clear>", "def"}));
}

TEST(MessageSplitterTest, ZeroBytesBecomeQuestionMarksUnlessKept) {
  const std::string block("a\0b\0\n", 5);
  EXPECT_EQ(Split(Framing("\n"), {block}), (Events{"a?b?"}));
  SplitterSettings keep = Framing("\n");
  keep.keepZeroBytes = true;
  EXPECT_EQ(Split(keep, {block}), (Events{std::string("a\0b\0", 4)}));
}

TEST(MessageSplitterTest, SequencesWinOverIgnoredBytesInOrder) {
  // Line feed before clear screen before the ignored set, all starting with '\r'.
  const auto settings = Framing("\r\n", "\r\f", "\r\a");
  EXPECT_EQ(Split(settings, {"a\ab\r\r\nc\r\fd\r\n"}), (Events{"ab", "<clear>", "d"}));
}

// Any cut of the stream into blocks yields what the whole stream yields.
TEST(MessageSplitterTest, SequencesSplitAcrossBlocksAreRecognised) {
  const auto settings = Framing("\r\n", "\x1b[2J", "\x07");
  const std::string stream = "one\r\ntw\x07o\x1b[2Jpar\0t\r\n\r\r\nfour\x1b[2\x1b[2Jfive\r\n"s;
  const Events whole = Split(settings, {stream});
  ASSERT_EQ(whole, (Events{"one", "<clear>", "par?t", "\r", "<clear>", "five"}));
  for (size_t i = 0; i <= stream.size(); ++i) {
    for (size_t j = i; j <= stream.size(); ++j) {
      const Events parts = Split(settings, {stream.substr(0, i), stream.substr(i, j - i), stream.substr(j)});
      ASSERT_EQ(parts, whole) << "cut at " << i << " and " << j;
    }
  }
  std::vector<std::string> bytes;
  for (char c : stream) bytes.emplace_back(1, c);
  EXPECT_EQ(Split(settings, bytes), whole);
}

TEST(MessageSplitterTest, DiscardDropsHeldSequenceBytes) {
  CMessageSplitter splitter(Framing("\r\n"));
  Collector sink;
  splitter.Feed("abc\r", sink);
  splitter.Discard();
  splitter.Feed("\nxy\r\n", sink);
  EXPECT_EQ(sink.events, (Events{"\nxy"}));
}

TEST(MessageSplitterTest, WithoutLineFeedABlockStandsAlone) {
  // No partial clear-screen sequence is carried into the next datagram.
  EXPECT_EQ(Split(Framing("", "\x1b[2J"), {"ab\x1b[", "2Jcd"}), (Events{"ab\x1b[", "2Jcd"}));
}

// What accumulated up to the limit goes out as a message; the rest of that
// line is dropped (a clear screen still counts), at the same stream positions
// however the blocks end.
TEST(MessageSplitterTest, MessageAtTheLimitIsDeliveredAsItStandsAndTheRestOfItsLineDropped) {
  SplitterSettings settings = Framing("\n", "\f");
  settings.limit = 4;
  const std::string stream = "abcdefg\fhijklmnopq\nrs\n";
  CMessageSplitter splitter(settings);
  Collector sink;
  splitter.Feed(stream, sink);
  EXPECT_EQ(sink.events, (Events{"abcd", "<clear>", "<limit 13>", "rs"}));
  EXPECT_EQ(sink.limitHits, 1);
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    EXPECT_EQ(Split(settings, {stream.substr(0, cut), stream.substr(cut)}), sink.events) << "cut at " << cut;
  }
  // Without a line feed each block is a message: a long one goes out in pieces.
  settings.lineFeed.clear();
  EXPECT_EQ(Split(settings, {"abcdefghij"}), (Events{"abcd", "efgh", "ij"}));
}

// A cut (a receive time-out) inside a message drops it and the rest of its
// line, also when only the line feed's last byte was missing; a cut between
// messages drops nothing.
TEST(MessageSplitterTest, CutDropsThePartialMessageUpToTheNextLineFeed) {
  CMessageSplitter splitter(Framing("\r\n"));
  Collector sink;
  splitter.Cut();
  splitter.Feed("one\r\nab", sink);
  splitter.Cut();
  splitter.Feed("cd\r\ntwo\r", sink);
  splitter.Cut();
  splitter.Feed("\nthree\r\n", sink);
  EXPECT_EQ(sink.events, (Events{"one", "<cut 4>", "<cut 3>", "three"}));
  splitter.Feed("x", sink);
  splitter.Discard();  // a new peer: nothing of the cut line is left
  splitter.Feed("four\r\n", sink);
  EXPECT_EQ(sink.events.back(), "four");
}

}  // namespace
}  // namespace korvane
