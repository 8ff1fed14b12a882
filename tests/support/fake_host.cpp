#include "tests/support/fake_host.h"

#include <stdexcept>

namespace korvane::testing {
namespace {

std::string Text(const char* data, int32_t length) {
  if (data == nullptr || length <= 0) return {};
  return std::string(data, static_cast<size_t>(length));
}

void CopySearchData(ISearchData* searchData, HostCall& call) {
  if (searchData == nullptr) return;
  if (const SYSTEMTIME* time = searchData->GetTime()) {
    call.hasTime = true;
    call.time = *time;
  }
  SearchTagEntry entry{};
  for (bool more = searchData->First(&entry); more; more = searchData->Next(&entry)) {
    call.tags.push_back(HostTag{entry.id, Text(entry.text, entry.length)});
  }
}

}  // namespace

void RecordingHost::OnData(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength,
                           const char* data, int32_t dataLength, int32_t reserved, const char* encoding) {
  HostCall call{HostCall::Kind::kData};
  call.channel = channel;
  call.source = Text(source, sourceLength);
  call.text = Text(data, dataLength);
  if (encoding != nullptr) call.encoding = encoding;
  call.reserved = reserved;
  CopySearchData(searchData, call);
  Record(std::move(call));
  if (throwOnDelivery_) throw std::runtime_error("host failed");
}

void RecordingHost::OnEvent(uint8_t channel, int32_t eventNumber, ISearchData* searchData, const char* source,
                            int32_t sourceLength, const char* eventText, int32_t eventTextLength, int32_t reserved,
                            const char* encoding) {
  HostCall call{HostCall::Kind::kEvent};
  call.channel = channel;
  call.number = eventNumber;
  call.source = Text(source, sourceLength);
  call.text = Text(eventText, eventTextLength);
  if (encoding != nullptr) call.encoding = encoding;
  call.reserved = reserved;
  CopySearchData(searchData, call);
  Record(std::move(call));
  if (throwOnDelivery_) throw std::runtime_error("host failed");
}

void RecordingHost::OnClearScreen(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength,
                                  int32_t reserved) {
  HostCall call{HostCall::Kind::kClearScreen};
  call.channel = channel;
  call.source = Text(source, sourceLength);
  call.reserved = reserved;
  CopySearchData(searchData, call);
  Record(std::move(call));
}

void RecordingHost::OnNotify(int32_t value) {
  HostCall call{HostCall::Kind::kNotify};
  call.number = value;
  Record(std::move(call));
}

void RecordingHost::OnLog(int32_t severity, const char* text) {
  HostCall call{HostCall::Kind::kLog};
  call.number = severity;
  call.text = text != nullptr ? text : "";
  Record(std::move(call));
}

void RecordingHost::OnOpenFailed(int32_t channel) {
  HostCall call{HostCall::Kind::kOpenFailed};
  call.channel = channel;
  Record(std::move(call));
}

void RecordingHost::OnMetadata(int32_t kind, int32_t metadataChannel, int32_t format, const SYSTEMTIME* time,
                               const char* data, int32_t dataLength) {
  HostCall call{HostCall::Kind::kMetadata};
  call.number = kind;
  call.channel = metadataChannel;
  call.format = format;
  if (time != nullptr) {
    call.hasTime = true;
    call.time = *time;
  }
  call.text = Text(data, dataLength);
  Record(std::move(call));
}

void RecordingHost::Record(HostCall call) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
  }
  cv_.notify_all();
}

std::vector<HostCall> RecordingHost::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<HostCall> RecordingHost::Calls(HostCall::Kind kind) const {
  std::vector<HostCall> result;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& call : calls_) {
    if (call.kind == kind) result.push_back(call);
  }
  return result;
}

std::vector<std::string> RecordingHost::Texts(HostCall::Kind kind) const {
  std::vector<std::string> result;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& call : calls_) {
    if (call.kind == kind) result.push_back(call.text);
  }
  return result;
}

size_t RecordingHost::Count(HostCall::Kind kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& call : calls_) n += call.kind == kind ? 1 : 0;
  return n;
}

size_t RecordingHost::LogCount(const std::string& fragment) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& call : calls_) {
    if (call.kind == HostCall::Kind::kLog && call.text.find(fragment) != std::string::npos) ++n;
  }
  return n;
}

bool RecordingHost::WaitFor(const std::function<bool(const std::vector<HostCall>&)>& predicate,
                            std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return predicate(calls_); });
}

bool RecordingHost::WaitForCount(HostCall::Kind kind, size_t n, std::chrono::milliseconds timeout) const {
  return WaitFor(
      [&](const std::vector<HostCall>& calls) {
        size_t count = 0;
        for (const auto& call : calls) count += call.kind == kind ? 1 : 0;
        return count >= n;
      },
      timeout);
}

void RecordingHost::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

const char* FakeSettings::GetParameter(int32_t index) {
  auto it = parameters_.find(index);
  return it == parameters_.end() ? nullptr : it->second.c_str();
}

}  // namespace korvane::testing
