// Shared by the plug-in tests: one Validate call with its whole answer, a
// user that records the plug-in's log lines, a host directory per test, and
// the device vectors beside the repository.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plugins/common/validator_api.h"
#include "tests/support/scoped_host_directory.h"

namespace korvane::testing {

/// Everything one Validate call answered.
struct Answer {
  bool ok = false;
  std::string text;  ///< the output up to its terminating zero
  uint32_t length = 0;
  uint32_t count = 0;
  bool terminated = false;  ///< a zero byte follows the text inside the capacity
};

inline Answer Validate(IKSLDataValidatorAPI& plugin, std::string_view block, uint32_t capacity = 5120) {
  std::vector<char> output(capacity + 1, 'x');
  Answer answer;
  answer.length = capacity;
  answer.count = 77;
  answer.ok = plugin.Validate(reinterpret_cast<const uint8_t*>(block.data()), static_cast<uint32_t>(block.size()),
                              output.data(), &answer.length, &answer.count);
  const size_t end = strnlen(output.data(), capacity);
  answer.terminated = end < capacity;
  answer.text.assign(output.data(), end);
  return answer;
}

/// Keeps what a plug-in logs.
class RecordingUser : public IKSLDataValidatorAPIUser {
 public:
  void Log(uint8_t isError, const char* text) override { lines.push_back({isError == 1, text}); }
  bool Contains(std::string_view fragment, bool error) const {
    for (const auto& line : lines) {
      if (line.error == error && line.text.find(fragment) != std::string::npos) return true;
    }
    return false;
  }
  struct Line {
    bool error;
    std::string text;
  };
  std::vector<Line> lines;
};

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// The published device data: ../shared/vectors beside the repository, or
/// $KESTREL_VECTORS_DIR for a checkout that does not sit there.
inline std::filesystem::path VectorsDir() {
  if (const char* dir = getenv("KESTREL_VECTORS_DIR")) return dir;
  return KESTREL_SOURCE_DIR "/../shared/vectors";
}

/// A vector file's content; empty when it is not there.
inline std::string ReadVector(const std::string& name) { return ReadFile(VectorsDir() / name); }

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hostDir_.emplace("kestrel_plugins");
    ASSERT_TRUE(hostDir_->Valid());
  }
  void TearDown() override { hostDir_.reset(); }
  void WriteFile(const std::string& name, const std::string& content) const { hostDir_->Write(name, content); }
  const std::filesystem::path& Dir() const { return hostDir_->Path(); }

 private:
  std::optional<ScopedHostDirectory> hostDir_;
};

}  // namespace korvane::testing
