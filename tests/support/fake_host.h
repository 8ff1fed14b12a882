// A recording stand-in for the recording host: implements the host callback
// (both faces) and the settings object, keeps every call, and lets a test wait
// for what it expects with a deadline instead of sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kestrel/data_callback.h"
#include "kestrel/driver_settings.h"

namespace korvane::testing {

struct HostTag {
  int32_t id;
  std::string text;
};

/// One callback as the host received it (texts copied during the call).
struct HostCall {
  enum class Kind { kData, kEvent, kClearScreen, kNotify, kLog, kOpenFailed, kMetadata };
  Kind kind;
  int32_t channel = 0;
  int32_t number = 0;  // event number, notify value, log severity, metadata kind
  std::string source;
  std::string text;  // data, event text, log text, metadata
  std::optional<std::string> encoding;
  bool hasTime = false;
  SYSTEMTIME time{};
  std::vector<HostTag> tags;
  int32_t format = 0;  // metadata format
  int32_t reserved = 0;
};

class RecordingHost : public IDataCallbackEx {
 public:
  void OnData(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength, const char* data,
              int32_t dataLength, int32_t reserved, const char* encoding) override;
  void OnEvent(uint8_t channel, int32_t eventNumber, ISearchData* searchData, const char* source, int32_t sourceLength,
               const char* eventText, int32_t eventTextLength, int32_t reserved, const char* encoding) override;
  void OnClearScreen(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength,
                     int32_t reserved) override;
  void OnNotify(int32_t value) override;
  void OnLog(int32_t severity, const char* text) override;
  void OnOpenFailed(int32_t channel) override;
  void OnMetadata(int32_t kind, int32_t metadataChannel, int32_t format, const SYSTEMTIME* time, const char* data,
                  int32_t dataLength) override;

  /// Snapshot of every call so far.
  std::vector<HostCall> Calls() const;
  std::vector<HostCall> Calls(HostCall::Kind kind) const;
  /// Texts of the calls of one kind, in order.
  std::vector<std::string> Texts(HostCall::Kind kind) const;
  size_t Count(HostCall::Kind kind) const;
  /// Log lines containing `fragment`.
  size_t LogCount(const std::string& fragment) const;
  /// Waits until `predicate` (run under the host's lock on the call list)
  /// holds; false when `timeout` passed first.
  bool WaitFor(const std::function<bool(const std::vector<HostCall>&)>& predicate,
               std::chrono::milliseconds timeout = std::chrono::seconds(2)) const;
  /// Waits until at least `n` calls of `kind` arrived.
  bool WaitForCount(HostCall::Kind kind, size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(2)) const;
  void Clear();
  /// When set, the next data/event callbacks throw this text (the host misbehaving).
  void ThrowOnDelivery(bool enable) { throwOnDelivery_ = enable; }

 private:
  void Record(HostCall call);

  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<HostCall> calls_;
  bool throwOnDelivery_ = false;
};

/// Answers GetModel and GetParameter from a map filled by the test.
class FakeSettings : public IDriverSettings {
 public:
  FakeSettings() = default;
  FakeSettings(std::string model, std::map<int32_t, std::string> parameters)
      : model_(std::move(model)), parameters_(std::move(parameters)) {}
  const char* GetParameter(int32_t index) override;
  const char* GetModel() override { return model_.c_str(); }
  void Set(int32_t index, std::string value) { parameters_[index] = std::move(value); }
  void SetModel(std::string model) { model_ = std::move(model); }

 private:
  std::string model_;
  std::map<int32_t, std::string> parameters_;
};

}  // namespace korvane::testing
