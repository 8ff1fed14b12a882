#include "host/host_callback.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace korvane::host {
namespace {

using namespace std::chrono_literals;

class FakeSearchData : public ISearchData {
 public:
  FakeSearchData(const SYSTEMTIME* time, std::vector<std::pair<int32_t, std::string>> tags)
      : time_(time), tags_(std::move(tags)) {}
  const SYSTEMTIME* GetTime() override { return time_; }
  int32_t GetCount() override { return static_cast<int32_t>(tags_.size()); }
  bool First(SearchTagEntry* entry) override {
    cursor_ = 0;
    return Next(entry);
  }
  bool Next(SearchTagEntry* entry) override {
    if (cursor_ >= tags_.size()) return false;
    const auto& [id, text] = tags_[cursor_++];
    *entry = SearchTagEntry{id, text.data(), static_cast<int32_t>(text.size())};
    return true;
  }

 private:
  const SYSTEMTIME* time_;
  std::vector<std::pair<int32_t, std::string>> tags_;
  size_t cursor_ = 0;
};

// Captures what the callback prints through a temporary file.
class HostCallbackTest : public ::testing::Test {
 protected:
  std::vector<std::string> Lines() {
    output_.Flush();
    std::rewind(file_);
    std::vector<std::string> lines;
    std::string line;
    for (int c; (c = std::fgetc(file_)) != EOF;) {
      if (c == '\n') {
        lines.push_back(line);
        line.clear();
      } else {
        line += static_cast<char>(c);
      }
    }
    return lines;
  }
  void TearDown() override {
    output_.Close();
    std::fclose(file_);
  }

  std::FILE* file_ = std::tmpfile();
  LineOutput output_{file_};
  CallbackMonitor monitor_;
  std::unique_ptr<OutputFormat> format_ = MakeOutputFormat(Format::kJson);
  HostCallback callback_{output_, *format_, monitor_};
};

TEST_F(HostCallbackTest, EventsCarryTimeTagsAndTellEndEventsApart) {
  const SYSTEMTIME time{2026, 12, 2, 8, 10, 11, 12, 345};
  FakeSearchData searchData(&time, {{1, "000412"}, {2, "Lane \"3\""}});
  callback_.OnEvent(0, 1, &searchData, "TCP Channel", 11, "Sale", 4, 0, "utf-8");
  callback_.OnEvent(0, 2, nullptr, "TCP Channel", 3, "End of Sale", 11, 0, nullptr);
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            R"({"type":"event","channel":0,"number":1,"text":"Sale","source":"TCP Channel","encoding":"utf-8",)"
            R"("time":"2026-12-08T10:11:12.345Z","tags":[{"id":1,"text":"000412"},{"id":2,"text":"Lane \"3\""}]})");
  // Counted texts are cut at their length; no search data means no time and no tags.
  EXPECT_EQ(lines[1], R"({"type":"event","channel":0,"number":2,"text":"End of Sale","source":"TCP","encoding":null,)"
                      R"("time":null,"tags":[]})");
  const CallbackCounts counts = monitor_.Snapshot();
  EXPECT_EQ(counts.events, 1u);
  EXPECT_EQ(counts.endEvents, 1u);
}

TEST_F(HostCallbackTest, OtherCallbacksPrintTheirOwnLines) {
  const SYSTEMTIME time{2027, 1, 0, 3, 4, 5, 6, 7};
  const char data[] = "<a>b</a>";
  callback_.OnData(0, nullptr, nullptr, 0, data, 8, 0, "utf-8");
  callback_.OnMetadata(2, 1, 0, &time, data, 8);
  callback_.OnMetadata(2, 1, 0, nullptr, nullptr, 0);
  callback_.OnClearScreen(0, nullptr, nullptr, 0, 0);
  callback_.OnNotify(-5);
  callback_.OnLog(1, "korvane::CTcpChannel::OpenPort: failed\n");
  callback_.OnLog(3, nullptr);
  callback_.OnOpenFailed(0);
  const std::vector<std::string> expected = {
      R"({"type":"data","channel":0,"source":null,"data":"<a>b</a>","encoding":"utf-8","time":null,"tags":[]})",
      R"({"type":"metadata","kind":2,"channel":1,"format":0,"time":"2027-01-03T04:05:06.007Z","data":"<a>b</a>"})",
      R"({"type":"metadata","kind":2,"channel":1,"format":0,"time":null,"data":null})",
      R"({"type":"clearScreen","channel":0})",
      R"({"type":"notify","value":-5})",
      R"({"type":"log","severity":1,"text":"korvane::CTcpChannel::OpenPort: failed\n"})",
      R"({"type":"log","severity":3,"text":null})",
      R"({"type":"openFailed","channel":0})",
  };
  EXPECT_EQ(Lines(), expected);
  const CallbackCounts counts = monitor_.Snapshot();
  EXPECT_EQ(counts.data, 1u);
  EXPECT_EQ(counts.metadata, 2u);
  EXPECT_EQ(counts.openFailed, 1u);
  EXPECT_EQ(counts.lastLog, "");
}

TEST_F(HostCallbackTest, ConcurrentCallbacksNeverInterleaveLines) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      const std::string text(200, static_cast<char>('a' + t));
      for (int i = 0; i < 200; ++i) callback_.OnLog(3, text.c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 800u);
  for (const std::string& line : lines) {
    const char c = line[std::string(R"({"type":"log","severity":3,"text":")").size()];
    EXPECT_EQ(line, R"({"type":"log","severity":3,"text":")" + std::string(200, c) + R"("})");
  }
}

// The text format names events and search tags from the "opened" lists and
// shows device text as it was sent, with nothing that could drive a terminal.
TEST_F(HostCallbackTest, TextFormatNamesEventsAndTagsAndUnescapesText) {
  format_ = MakeOutputFormat(Format::kText);
  HostCallback callback(output_, *format_, monitor_);
  output_.Write(format_->Opened(true, {"Sal\xC3\xA9", "Door forced"}, {{1, "Receipt"}, {4, "Card"}}));
  const SYSTEMTIME time{2026, 12, 2, 8, 10, 11, 12, 345};
  FakeSearchData searchData(&time, {{2, "0412"}, {1, "R-7"}, {9, "x"}});
  const std::string text = "door &lt;3&gt; &amp; &#x41;&#66;\x1B[2J &bogus; &#xD800;";
  callback.OnEvent(0, 2, &searchData, "TCP", 3, text.c_str(), static_cast<int32_t>(text.size()), 0, "utf-8");
  callback.OnEvent(0, 1, nullptr, "TCP", 3, "End of Sale", 11, 0, nullptr);
  callback.OnData(0, nullptr, "TCP Channel", 11, "a\tb\ac\xff", 6, 0, "utf-8");
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find("opened"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(R"("Door forced")"), std::string::npos) << lines[0];
  // Tag ids on a message are positions in the registered list, not type flags.
  EXPECT_NE(lines[1].find("event     Door forced"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("[Card=0412 Receipt=R-7 #9=x] door <3> & AB\\x1B[2J &bogus; &#xD800;"), std::string::npos)
      << lines[1];
  // Columns line up whatever the characters of the name.
  EXPECT_NE(lines[2].find("end       Sal\xC3\xA9                  End of Sale"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("data      TCP Channel"), std::string::npos) << lines[3];
  EXPECT_NE(lines[3].find("a b\\x07c\xEF\xBF\xBD"), std::string::npos) << lines[3];
  EXPECT_EQ(monitor_.Snapshot().events, 1u);
}

TEST(CallbackMonitorTest, WaitEndsOnConditionInterruptOrDeadline) {
  CallbackMonitor monitor;
  const auto never = [](const CallbackCounts&) { return false; };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(monitor.WaitUntil(never, start + 50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);

  std::thread counter([&] { monitor.Update([](CallbackCounts& counts) { ++counts.events; }); });
  EXPECT_TRUE(monitor.WaitUntil([](const CallbackCounts& counts) { return counts.events == 1; }, start + 2s));
  counter.join();

  // An interruption ends even a wait without deadline, and every later one.
  std::thread interrupter([&] { monitor.Interrupt(); });
  EXPECT_FALSE(monitor.WaitUntil(never, std::nullopt));
  interrupter.join();
  EXPECT_TRUE(monitor.Interrupted());
  EXPECT_FALSE(monitor.WaitUntil(never, std::nullopt));
}

TEST(LineOutputTest, AFailedWriteCallsTheHookOnceAndStopsWriting) {
  std::FILE* full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "/dev/full is not available";
  LineOutput output(full);
  int calls = 0;
  output.OnFailure([&] { ++calls; });
  output.Write("{\"type\":\"closed\"}");
  output.Flush();  // lines are buffered: the failure shows when they go out
  output.Write("{\"type\":\"closed\"}");
  output.Flush();
  output.Close();
  EXPECT_EQ(calls, 1);
  std::fclose(full);
}

}  // namespace
}  // namespace korvane::host
