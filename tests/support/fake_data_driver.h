// A stand-in for the driver as its channel sees it (IDataDriver): records what
// the channel delivers and lets a test wait for it with a deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "driver/common/driver_interfaces.h"

namespace korvane::testing {

/// One OnChannelData call, copied during the call.
struct DeliveredMessage {
  uint8_t channel = 0;
  std::string source;
  std::string data;
  bool hasTime = false;
  SYSTEMTIME time{};
  int32_t reserved = 0;
};

class FakeDataDriver : public IDataDriver {
 public:
  void OnChannelData(const ChannelData* record) override;
  void ForwardEvent(const ChannelData*, int32_t) override {}
  void OnClearScreen(const ChannelData* record) override;
  void ForwardNotify(int32_t) override {}
  void OnOpenFailed(int32_t channel) override;
  void ResetCustomValidator() override;
  int32_t GetValidationType() override { return validationType_; }

  void SetValidationType(int32_t type) { validationType_ = type; }
  /// Only count messages (floods, benchmarks).
  void SetKeepMessages(bool keep);
  /// While set, OnChannelData waits (up to 10 s) until Release(): a host that hangs.
  void BlockDeliveries();
  void Release();
  /// The next OnChannelData throws.
  void ThrowOnce();

  std::vector<DeliveredMessage> Messages() const;
  /// Message texts in order, with "<clear>" where a clear screen arrived and
  /// "<reset>" where the validator was reset.
  std::vector<std::string> Sequence() const;
  std::vector<std::string> Texts() const;
  size_t MessageCount() const;
  size_t ClearScreens() const;
  size_t OpenFailures() const;
  size_t ValidatorResets() const;
  size_t MessageBytes() const;

  /// Waits until `predicate` holds (checked under the fake's lock).
  bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(2));
  bool WaitForMessages(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(2));
  bool WaitForOpenFailures(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(2));
  /// Waits until a delivery is blocked in OnChannelData (after BlockDeliveries).
  bool WaitForBlockedDelivery(std::chrono::milliseconds timeout = std::chrono::seconds(2));

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int32_t validationType_ = kValidationNone;
  bool keepMessages_ = true;
  bool blocked_ = false;
  bool deliveryWaiting_ = false;
  bool throwOnce_ = false;
  std::vector<DeliveredMessage> messages_;
  std::vector<std::string> sequence_;
  size_t messageCount_ = 0;
  size_t messageBytes_ = 0;
  size_t clearScreens_ = 0;
  size_t openFailures_ = 0;
  size_t validatorResets_ = 0;
};

}  // namespace korvane::testing
