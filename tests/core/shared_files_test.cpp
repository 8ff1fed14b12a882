// Two processes writing the same debug files and the same proxy file at the
// same time (the shared_file_writer program, twice): every line and record
// arrives whole, none is lost, and the proxy file keeps every registration.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "driver/support/string_utils.h"
#include "driver/support/xml_parser.h"
#include "tests/support/child_process.h"
#include "tests/support/scoped_host_directory.h"

namespace korvane::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kWriters = 2;

// "2026-12-08 16:13:08.770", the stamp that starts every log line.
bool IsTimestamp(const std::string& text) {
  constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd.ddd";
  if (text.size() != kShape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (kShape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != kShape[i]) return false;
  }
  return true;
}

class SharedFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(hostDir_.Valid()); }

  /// Runs every writer in `mode` with `count` at once; true when all exit 0.
  bool RunWriters(const char* mode, int count) {
    std::vector<std::unique_ptr<ChildProcess>> writers;
    for (int writer = 1; writer <= kWriters; ++writer) {
      writers.push_back(std::make_unique<ChildProcess>(
          std::vector<std::string>{KESTREL_SHARED_FILE_WRITER, mode, std::to_string(writer), std::to_string(count)}));
      if (!writers.back()->Started()) return false;
    }
    hostDir_.Write("go", "");
    bool ok = true;
    for (size_t i = 0; i < writers.size(); ++i) {
      const int status = writers[i]->Finish(40s);
      EXPECT_EQ(status, 0) << "writer " << i + 1 << ": " << writers[i]->Err();
      ok = ok && status == 0;
    }
    return ok;
  }

  /// The rotated copies of `name`, oldest first.
  std::vector<fs::path> Rotations(const std::string& name) const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(hostDir_.Path())) {
      const std::string file = entry.path().filename().string();
      if (file.starts_with(name + "_") && file.ends_with(".old")) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
  }
  /// The rotated copies of `name` and `name` itself, joined in the order written.
  std::string ReadWithRotations(const std::string& name) const {
    std::vector<fs::path> files = Rotations(name);
    files.push_back(hostDir_.Path() / name);
    std::string all;
    for (const fs::path& file : files) all += hostDir_.Read(file.filename().string());
    return all;
  }

  ScopedHostDirectory hostDir_{"kestrel_shared"};
};

TEST_F(SharedFilesTest, TwoProcessesLogWithoutTornOrLostLines) {
  constexpr int kLines = 3500;  // both together fill the log past its rotation size once
  ASSERT_TRUE(RunWriters("log", kLines));
  const std::string padding(160, 'x');

  std::array<int, kWriters + 1> next{};
  size_t torn = 0;
  std::istringstream log(ReadWithRotations("Debug_KSL_Log.txt"));
  for (std::string line; std::getline(log, line);) {
    const size_t at = line.find(" <INFO>: writer ");
    const int writer = at == std::string::npos ? 0 : line[at + 16] - '0';
    if (writer < 1 || writer > kWriters || !IsTimestamp(line.substr(0, at)) ||
        line.substr(at + 9) != Format("writer %d line %06d %s", writer, next[writer], padding.c_str())) {
      ++torn;
      continue;
    }
    ++next[writer];
  }
  EXPECT_EQ(torn, 0u);
  for (int writer = 1; writer <= kWriters; ++writer) EXPECT_EQ(next[writer], kLines) << "writer " << writer;
  EXPECT_EQ(Rotations("Debug_KSL_Log.txt").size(), 1u);

  // Packet records: a little-endian length, then the bytes.
  next = {};
  torn = 0;
  const std::string packets = ReadWithRotations("Debug_KSL_Packets.bin");
  for (size_t at = 0; at < packets.size();) {
    const auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(packets[at + i])); };
    const uint32_t length = at + 4 <= packets.size() ? byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24 : 0;
    const std::string record = at + 4 + length <= packets.size() ? packets.substr(at + 4, length) : "";
    const int writer = record.size() > 7 ? record[7] - '0' : 0;
    if (writer < 1 || writer > kWriters || record != Format("writer %d packet %06d", writer, next[writer])) {
      ++torn;
      break;
    }
    ++next[writer];
    at += 4 + length;
  }
  EXPECT_EQ(torn, 0u);
  for (int writer = 1; writer <= kWriters; ++writer) EXPECT_EQ(next[writer], kLines) << "writer " << writer;
}

TEST_F(SharedFilesTest, TwoProcessesRegisterProxiesWithoutLosingOne) {
  constexpr int kRegistrations = 40;
  hostDir_.Write("KSLProxyConfig.xml", "<root><ProxyConfiguration/></root>");
  ASSERT_TRUE(RunWriters("proxy", kRegistrations));

  // Each writer removed its odd destinations again; the even ones share the one device.
  std::set<std::string> expected;
  for (int writer = 1; writer <= kWriters; ++writer) {
    for (int i = 0; i < kRegistrations; i += 2) expected.insert(std::to_string(20000 + writer * 1000 + i));
  }
  CXMLParser file;
  ASSERT_TRUE(file.LoadFile("KSLProxyConfig.xml")) << hostDir_.Read("KSLProxyConfig.xml");
  EXPECT_EQ(file.SelectNodes("root/ProxyConfiguration/AgentViProxy").size(), 1u);
  const std::vector<std::string> ports =
      file.GetAttributeListW("root/ProxyConfiguration/AgentViProxy/Destination", "port");
  EXPECT_EQ(std::set<std::string>(ports.begin(), ports.end()), expected);
  EXPECT_EQ(ports.size(), expected.size());
}

}  // namespace
}  // namespace korvane::testing
