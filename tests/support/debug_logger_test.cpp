#include "driver/support/debug_logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/fake_host.h"
#include "tests/support/scoped_host_directory.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using testing::HostCall;
using testing::RecordingHost;
using testing::ScopedHostDirectory;

constexpr int kInfo = 1;
constexpr int kWarn = 2;
constexpr int kError = 3;
constexpr int kChannel = 3;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  return lines;
}

std::vector<fs::path> OldFiles(const fs::path& dir) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".old") found.push_back(entry.path());
  }
  return found;
}

// Every test gets its own host directory through KESTREL_HOST_DIR.
class DebugLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hostDir_.emplace("kestrel_logger");
    ASSERT_TRUE(hostDir_->Valid());
    dir_ = hostDir_->Path();
  }
  void TearDown() override { hostDir_.reset(); }

  fs::path LogFile() const { return dir_ / "Debug_KSL_Log.txt"; }
  fs::path PacketFile() const { return dir_ / "Debug_KSL_Packets.bin"; }

  std::vector<std::string> HostLogs() const { return host_.Texts(HostCall::Kind::kLog); }

  std::optional<ScopedHostDirectory> hostDir_;
  fs::path dir_;
  RecordingHost host_;
};

TEST_F(DebugLoggerTest, RateLimiterLetsThroughFirstFourteenThenEverySixteenth) {
  CDebugLogger logger(&host_, "");
  for (int i = 1; i <= 20; ++i) logger.Write("error " + std::to_string(i), kError, kChannel);
  // Another category has its own counter.
  logger.Write("mapper error", kError, 9);

  std::vector<std::string> expected;
  for (int i = 1; i <= 14; ++i) expected.push_back("<Channel> error " + std::to_string(i));
  expected.push_back("<Channel> error 16");
  expected.push_back("<Mapper> mapper error");
  EXPECT_EQ(HostLogs(), expected);
  for (const HostCall& call : host_.Calls(HostCall::Kind::kLog)) EXPECT_EQ(call.number, 1);  // error severity
}

TEST_F(DebugLoggerTest, RateLimiterThinsOutLongFloodsWithoutEnd) {
  CDebugLogger logger(&host_, "");
  for (int i = 1; i <= 5000; ++i) logger.Write("x", kError, kChannel);
  // 1-14, then 16..240 (15), 256..3840 (15), 4096.
  EXPECT_EQ(HostLogs().size(), 14u + 15u + 15u + 1u);

  // The counter falls back to 4095 at 65535, so forwarding goes on every 4096th.
  for (int i = 5001; i <= 65536 + 4096; ++i) logger.Write(std::to_string(i), kError, kChannel);
  const auto logs = HostLogs();
  EXPECT_EQ(logs.size(), 14u + 15u + 15u + 15u + 2u);
  ASSERT_GE(logs.size(), 3u);
  EXPECT_EQ(logs[logs.size() - 3], "<Channel> 61440");
  EXPECT_EQ(logs[logs.size() - 2], "<Channel> 65536");
  EXPECT_EQ(logs.back(), "<Channel> 69632");
}

TEST_F(DebugLoggerTest, HostLevelFiltersBySeverity) {
  // Level 3 (the default) passes information (severity 3) and errors (1);
  // 1 passes errors only; 0 nothing. Separator, warning and diagnostic never go.
  const std::pair<uint8_t, std::vector<std::string>> cases[] = {{3, {"info", "error"}}, {1, {"error"}}, {0, {}}};
  for (const auto& [level, expected] : cases) {
    host_.Clear();
    CDebugLogger logger(&host_, "");
    if (level != 3) logger.Configure(level, false, "", "");
    for (int messageLevel = 0; messageLevel <= 4; ++messageLevel) {
      const char* names[] = {"separator", "info", "warn", "error", "diagnostic"};
      logger.Write(names[messageLevel], messageLevel, 0);
    }
    EXPECT_EQ(HostLogs(), expected) << int{level};
    const auto calls = host_.Calls(HostCall::Kind::kLog);
    if (level == 3 && calls.size() == 2) {
      EXPECT_EQ(calls[0].number, 3);  // information severity
    }
  }
}

TEST_F(DebugLoggerTest, FileLinesCarryTimestampLevelAndCategory) {
  CDebugLogger logger(&host_, "");
  logger.Configure(3, true, "", "");
  logger.Write("ignored text", 0, 0);
  logger.Write("plain info", kInfo, 0);
  logger.Write("a warning", kWarn, 1);
  logger.Write("boom", kError, kChannel);
  logger.Write("custom validator reset", 4, 1);
  logger.Write("no name", kError, 42);

  const auto lines = Lines(ReadFile(LogFile()));
  ASSERT_EQ(lines.size(), 6u);
  const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})";
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(stamp + " -{55}"))) << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(stamp + " <INFO>: plain info"))) << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(stamp + " <WARN>: <Validation> a warning"))) << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(stamp + " <ERROR>: <Channel> boom"))) << lines[3];
  EXPECT_TRUE(std::regex_match(lines[4], std::regex(stamp + " <DEBUG>: <Validation> custom validator reset")))
      << lines[4];
  EXPECT_TRUE(std::regex_match(lines[5], std::regex(stamp + " <ERROR>: no name"))) << lines[5];

  // The warning went to the file only.
  EXPECT_EQ(HostLogs(), (std::vector<std::string>{"plain info", "<Channel> boom", "no name"}));
}

TEST_F(DebugLoggerTest, FilesStayUntouchedUntilFileLoggingIsOnAndNamesCanBeReplaced) {
  CDebugLogger logger(&host_, "");
  logger.Write("error", kError, 0);
  logger.WritePacket("abc", 3);
  EXPECT_TRUE(fs::is_empty(dir_));

  logger.Configure(3, true, "custom.log", "");
  logger.Write("error", kError, 0);
  EXPECT_FALSE(fs::exists(LogFile()));
  EXPECT_TRUE(fs::exists(dir_ / "custom.log"));
}

TEST_F(DebugLoggerTest, PacketFileHoldsLengthPrefixedRecords) {
  CDebugLogger logger(&host_, "");
  logger.Configure(3, true, "", "");
  const std::string first("ab\0c", 4);
  logger.WritePacket(first.data(), static_cast<int32_t>(first.size()));
  logger.WritePacket("", 0);
  const std::string big(300, 'z');
  logger.WritePacket(big.data(), static_cast<int32_t>(big.size()));

  const std::string expected =
      std::string("\x04\x00\x00\x00", 4) + first + std::string(4, '\0') + std::string("\x2c\x01\x00\x00", 4) + big;
  EXPECT_EQ(ReadFile(PacketFile()), expected);
}

TEST_F(DebugLoggerTest, FullLogFileIsRotatedBeforeTheNextLine) {
  {
    std::ofstream full(LogFile(), std::ios::binary);
    full << std::string(1048575, 'x');
  }
  CDebugLogger logger(&host_, "");
  logger.Configure(3, true, "", "");
  logger.Write("still fits", kInfo, 0);  // 1048575 bytes: below the limit
  EXPECT_TRUE(OldFiles(dir_).empty());
  const auto sizeBefore = fs::file_size(LogFile());
  ASSERT_GE(sizeBefore, 1048576u);

  logger.Write("after rotation", kInfo, 0);
  const auto old = OldFiles(dir_);
  ASSERT_EQ(old.size(), 1u);
  EXPECT_TRUE(std::regex_match(old[0].filename().string(), std::regex(R"(Debug_KSL_Log\.txt_\d{8}_\d{6}\.old)")))
      << old[0];
  EXPECT_EQ(fs::file_size(old[0]), sizeBefore);
  const auto lines = Lines(ReadFile(LogFile()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("<INFO>: after rotation"), std::string::npos);

  // The packet file rotates the same way.
  std::ofstream(PacketFile(), std::ios::binary) << std::string(1048576, 'p');
  logger.WritePacket("q", 1);
  EXPECT_EQ(OldFiles(dir_).size(), 2u);
  EXPECT_EQ(ReadFile(PacketFile()), std::string("\x01\x00\x00\x00q", 5));
}

TEST_F(DebugLoggerTest, RotationKeepsTheTenNewestRotatedFilesOfEachFile) {
  std::vector<std::string> planted;
  for (int second = 0; second < 12; ++second) {
    char name[64];
    std::snprintf(name, sizeof name, "Debug_KSL_Log.txt_20200101_0000%02d.old", second);
    planted.push_back(name);
    std::ofstream(dir_ / name) << "old";
  }
  // Neither another file's rotations nor other names are counted or touched.
  std::ofstream(dir_ / "Debug_KSL_Packets.bin_20190101_000000.old") << "packets";
  std::ofstream(dir_ / "Debug_KSL_Log.txt_notes.old") << "notes";
  std::ofstream(LogFile(), std::ios::binary) << std::string(1048576, 'x');
  CDebugLogger logger(&host_, "");
  logger.Configure(3, true, "", "");
  logger.Write("after rotation", kInfo, 0);

  std::vector<std::string> left;
  for (const auto& old : OldFiles(dir_)) left.push_back(old.filename().string());
  std::sort(left.begin(), left.end());
  ASSERT_EQ(left.size(), 12u) << "ten rotations of the log, and the two others";
  EXPECT_EQ(left[0], "Debug_KSL_Log.txt_20200101_000003.old") << "the three oldest are gone";
  EXPECT_EQ(left[8], "Debug_KSL_Log.txt_20200101_000011.old");
  EXPECT_TRUE(std::regex_match(left[9], std::regex(R"(Debug_KSL_Log\.txt_\d{8}_\d{6}\.old)"))) << left[9];
  EXPECT_EQ(left[10], "Debug_KSL_Log.txt_notes.old");
  EXPECT_EQ(left[11], "Debug_KSL_Packets.bin_20190101_000000.old");
}

TEST_F(DebugLoggerTest, WriteIsDroppedWhenTheRotationNameIsTaken) {
  const std::string full(1048576, 'x');
  {
    std::ofstream out(LogFile(), std::ios::binary);
    out << full;
  }
  // Occupy the rotation names of this second and the next few, so the write
  // below finds its name taken whenever it runs.
  const time_t now = time(nullptr);
  for (time_t t = now; t <= now + 3; ++t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &tm);
    std::ofstream(LogFile().string() + "_" + stamp + ".old") << "taken";
  }
  CDebugLogger logger(&host_, "");
  logger.Configure(3, true, "", "");
  logger.Write("lost", kError, 0);
  EXPECT_EQ(ReadFile(LogFile()), full);
  for (const auto& old : OldFiles(dir_)) EXPECT_EQ(ReadFile(old), "taken");
  // Forwarding to the host does not depend on the file.
  EXPECT_EQ(HostLogs(), (std::vector<std::string>{"lost"}));
}

TEST_F(DebugLoggerTest, ThrowingHostCallbackIsContained) {
  struct ThrowingHost : RecordingHost {
    void OnLog(int32_t, const char*) override { throw std::runtime_error("host failure"); }
  } host;
  CDebugLogger logger(&host, "");
  logger.Configure(3, true, "", "");
  EXPECT_NO_THROW(logger.Write("error", kError, 0));
  EXPECT_NE(ReadFile(LogFile()).find("<ERROR>: error"), std::string::npos);
}

}  // namespace
}  // namespace korvane
