// The receipt-printer example end to end: a till's printer stream written into
// a pseudo-terminal that socat relays to the one the serial model reads,
// through a real driver to the in-process host, across an unplugged cable.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/channels/serial_channel.h"
#include "driver/core/kestrel_driver.h"
#include "tests/core/core_test_util.h"
#include "tests/support/fake_host.h"
#include "tests/support/pty_peers.h"

namespace korvane::testing {
namespace {

using namespace std::chrono_literals;
using Kind = HostCall::Kind;
using Strings = std::vector<std::string>;

const std::filesystem::path kExample = std::filesystem::path(KESTREL_SOURCE_DIR) / "examples/serial-receipt-printer";

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SerialEndToEndTest : public HostDirTest {
 protected:
  void SetUp() override {
    HostDirTest::SetUp();
    if (!SocatPtyPair::Available()) GTEST_SKIP() << "socat is not installed (scripts/setup.sh installs it)";
    config_ = ReadFile(kExample / "printer.xml");
    receipts_ = ReadFile(kExample / "receipts.prn");
    if (config_.empty() || receipts_.empty()) GTEST_SKIP() << "examples/serial-receipt-printer not found";
    // Information lines too, so the test sees the port come back.
    const size_t level = config_.find(R"(<level value="2"/>)");
    ASSERT_NE(level, std::string::npos);
    config_.replace(level, 18, R"(<level value="3"/>)");
    WriteFile("printer.xml", config_);
    socat_.emplace((Dir() / "printer").string(), (Dir() / "till").string());
    ASSERT_TRUE(socat_->Start());
    // The configuration names no device: the environment points COM1 at socat's link.
    ::setenv(CSerialChannel::kDevicePathVariable, (Dir() / "printer").c_str(), 1);
  }
  /// Waits until `n` host log lines hold `fragment`.
  bool WaitForLog(const std::string& fragment, size_t n, std::chrono::milliseconds timeout = 2s) {
    return host_.WaitFor(
        [&](const std::vector<HostCall>& calls) {
          size_t count = 0;
          for (const HostCall& call : calls) {
            if (call.kind == Kind::kLog && call.text.find(fragment) != std::string::npos) ++count;
          }
          return count >= n;
        },
        timeout);
  }
  void TearDown() override {
    driver_.reset();
    socat_.reset();
    ::unsetenv(CSerialChannel::kDevicePathVariable);
    HostDirTest::TearDown();
  }

  RecordingHost host_;  // outlives the driver
  std::unique_ptr<CKestrelDriver> driver_;
  std::optional<SocatPtyPair> socat_;
  std::string config_;
  std::string receipts_;
};

TEST_F(SerialEndToEndTest, PrintedReceiptsBecomeEventsAndTheTapSurvivesAPulledCable) {
  FakeSettings settings("KestrelSerialModel", {{1, "1"},
                                               {2, "19200"},
                                               {3, "8"},
                                               {4, "1"},
                                               {5, "No"},
                                               {6, "XonXoff"},
                                               {7, "Text"},
                                               {8, "printer.xml"},
                                               {10, "0"}});
  driver_ = std::make_unique<CKestrelDriver>();
  ASSERT_TRUE(driver_->OpenEx(&host_, &settings));
  ASSERT_TRUE(driver_->StartChannel(0, 0));
  ASSERT_TRUE(socat_->Write(receipts_));
  ASSERT_TRUE(host_.WaitForCount(Kind::kEvent, 5));
  EXPECT_EQ(host_.Texts(Kind::kEvent), (Strings{"Sale", "Refund", "No sale", "Sale", "Large sale"}));
  ASSERT_TRUE(host_.WaitForCount(Kind::kData, 24));
  const auto lines = host_.Calls(Kind::kData);
  EXPECT_EQ(lines.front().text, "Caf\xC3\xA9 Heron, 12 Quay Street") << "code page 437 converted to UTF-8";
  EXPECT_EQ(lines.front().source, "Serial Channel");
  EXPECT_EQ(lines.back().text, "Thank you!");
  EXPECT_EQ(host_.Count(Kind::kClearScreen), 4u) << "one ESC @ before each receipt";

  // The cable is pulled (socat ends, and its pseudo-terminals with it) and plugged in again.
  socat_->Stop();
  ASSERT_TRUE(WaitForLog("Error when trying to read characters", 1));
  ASSERT_TRUE(socat_->Start());
  ASSERT_TRUE(WaitForLog("channel 0 was opened", 2, 3s));
  ASSERT_TRUE(socat_->Write(receipts_.substr(0, receipts_.find("\x1dV\x01") + 3)));
  ASSERT_TRUE(host_.WaitForCount(Kind::kEvent, 6));
  EXPECT_EQ(host_.Texts(Kind::kEvent).back(), "Sale");
  EXPECT_EQ(host_.LogCount("Error when trying to read characters"), 1u);
}

}  // namespace
}  // namespace korvane::testing
