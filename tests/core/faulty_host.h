// A recording host that misbehaves on request (its data callback throws or
// blocks) and notices any call the driver makes after it was closed.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "tests/support/fake_host.h"

namespace korvane::testing {

class FaultyHost : public RecordingHost {
 public:
  /// Runs after each data call has been recorded, on the channel's thread;
  /// may throw or block. Set before the driver opens.
  std::function<void(const std::string& text)> afterData;
  /// Every log call throws once it has been recorded.
  std::atomic<bool> throwFromLog{false};
  /// Set by the test once Close (or the driver's deletion) has returned.
  std::atomic<bool> closed{false};
  /// Calls that arrived while `closed` was set.
  std::atomic<int> callsAfterClose{0};

  void OnData(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength, const char* data,
              int32_t dataLength, int32_t reserved, const char* encoding) override {
    NoteCall();
    RecordingHost::OnData(channel, searchData, source, sourceLength, data, dataLength, reserved, encoding);
    if (afterData) afterData(std::string(data, static_cast<size_t>(dataLength)));
  }
  void OnEvent(uint8_t channel, int32_t eventNumber, ISearchData* searchData, const char* source, int32_t sourceLength,
               const char* eventText, int32_t eventTextLength, int32_t reserved, const char* encoding) override {
    NoteCall();
    RecordingHost::OnEvent(channel, eventNumber, searchData, source, sourceLength, eventText, eventTextLength, reserved,
                           encoding);
  }
  void OnLog(int32_t severity, const char* text) override {
    NoteCall();
    RecordingHost::OnLog(severity, text);
    if (throwFromLog) throw std::runtime_error("host log failed");
  }

 private:
  void NoteCall() {
    if (closed) ++callsAfterClose;
  }
};

}  // namespace korvane::testing
