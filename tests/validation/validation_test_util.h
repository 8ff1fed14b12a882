// Shared by the validation tests: a fresh host directory per test, a fake
// driver with a recording host, and a recording logger.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "driver/common/channel_data.h"
#include "driver/common/search_data.h"
#include "driver/validation/mapper_interface.h"
#include "tests/support/fake_driver.h"
#include "tests/support/recording_debug.h"
#include "tests/support/scoped_host_directory.h"

namespace korvane::testing {

/// Passes the mapper's reports straight to the fake driver's host (no End events).
class HostForwarder : public IDataValidator {
 public:
  explicit HostForwarder(FakeDriver& driver) : driver_(driver) {}
  void ReportMetadata(int32_t kind, int32_t channel, int32_t format, const SYSTEMTIME* time, const char* text,
                      int32_t textLength) override {
    driver_.host.OnMetadata(kind, channel, format, time, text, textLength);
  }
  void ReportData(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength, const char* text,
                  int32_t textLength, int32_t reserved, const char* encoding) override {
    driver_.host.OnData(channel, searchData, source, sourceLength, text, textLength, reserved, encoding);
  }
  void ReportEvent(uint8_t channel, int32_t eventNumber, ISearchData* searchData, const char* source,
                   int32_t sourceLength, const char* text, int32_t textLength, int32_t reserved) override {
    driver_.host.OnEvent(channel, eventNumber, searchData, source, sourceLength, text, textLength, reserved, "utf-8");
  }

 private:
  FakeDriver& driver_;
};

class ValidationTest : public ::testing::Test {
 protected:
  using Kind = HostCall::Kind;

  void SetUp() override {
    hostDir_.emplace("kestrel_validation");
    ASSERT_TRUE(hostDir_->Valid());
  }
  void TearDown() override { hostDir_.reset(); }

  /// Writes a file in the host directory. It then waits a little longer than
  /// the validator's interval between reads of its change notes, so the next
  /// block is the one that sees the change.
  void WriteFile(const std::string& name, const std::string& content) const {
    hostDir_->Write(name, content);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const std::filesystem::path& Dir() const { return hostDir_->Path(); }

  /// A record for `data` as a TCP channel would deliver it.
  struct Block {
    explicit Block(std::string text) : data(std::move(text)) {
      record.searchData = &searchData;
      record.source = "TCP Channel";
      record.sourceLength = 11;
      record.data = data.data();
      record.dataLength = static_cast<int32_t>(data.size());
    }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    std::string data;
    CSearchData searchData;
    ChannelData record;
  };

  FakeDriver driver;
  RecordingDebug debug;

 private:
  std::optional<ScopedHostDirectory> hostDir_;
};

}  // namespace korvane::testing
