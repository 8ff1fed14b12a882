// Helpers shared by the core tests: a channel that only records its settings,
// and a fixture with its own host directory.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "driver/channels/channel_base.h"
#include "driver/core/kestrel_driver.h"
#include "tests/support/scoped_host_directory.h"

namespace korvane::testing {

/// Stands in for a transport: records the settings Open built; its worker only waits for Stop.
class FakeChannel : public CChannelBase {
 public:
  FakeChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings)
      : CChannelBase(driver, debug, settings) {
    lastSettings = settings;
    ++alive;
  }
  ~FakeChannel() override { --alive; }

  static std::unique_ptr<CChannelBase> Make(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings) {
    return std::make_unique<FakeChannel>(driver, debug, settings);
  }

  static inline ChannelSettings lastSettings;
  static inline int alive = 0;
  /// Workers running now.
  static inline std::atomic<int> workers{0};

 protected:
  bool OpenChannel() override { return true; }
  void CloseChannel() override {}
  int Run() override {
    ++workers;
    while (!WaitForStop(std::chrono::milliseconds(20))) {
    }
    --workers;
    return 0;
  }
};

/// Gives each test an empty host directory (KESTREL_HOST_DIR).
class HostDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hostDir_.emplace("kestrel_core");
    ASSERT_TRUE(hostDir_->Valid());
    FakeChannel::alive = 0;
  }
  void TearDown() override { hostDir_.reset(); }
  void WriteFile(const std::string& name, const std::string& content) const { hostDir_->Write(name, content); }
  const std::filesystem::path& Dir() const { return hostDir_->Path(); }

 private:
  std::optional<ScopedHostDirectory> hostDir_;
};

}  // namespace korvane::testing
