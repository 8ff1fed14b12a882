#include "tests/support/fake_data_driver.h"

#include <stdexcept>

namespace korvane::testing {

void FakeDataDriver::OnChannelData(const ChannelData* record) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (blocked_) {
    deliveryWaiting_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(10), [this] { return !blocked_; });
    deliveryWaiting_ = false;
  }
  if (throwOnce_) {
    throwOnce_ = false;
    throw std::runtime_error("delivery failed");
  }
  ++messageCount_;
  messageBytes_ += static_cast<size_t>(record->dataLength);
  if (keepMessages_) {
    DeliveredMessage message;
    message.channel = record->channel;
    if (record->source != nullptr) message.source.assign(record->source, static_cast<size_t>(record->sourceLength));
    if (record->data != nullptr) message.data.assign(record->data, static_cast<size_t>(record->dataLength));
    if (record->searchData != nullptr) {
      if (const SYSTEMTIME* time = record->searchData->GetTime()) {
        message.hasTime = true;
        message.time = *time;
      }
    }
    message.reserved = record->reserved;
    sequence_.push_back(message.data);
    messages_.push_back(std::move(message));
  }
  changed_.notify_all();
}

void FakeDataDriver::OnClearScreen(const ChannelData*) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++clearScreens_;
  sequence_.push_back("<clear>");
  changed_.notify_all();
}

void FakeDataDriver::OnOpenFailed(int32_t) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++openFailures_;
  changed_.notify_all();
}

void FakeDataDriver::ResetCustomValidator() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++validatorResets_;
  if (keepMessages_) sequence_.push_back("<reset>");
  changed_.notify_all();
}

void FakeDataDriver::SetKeepMessages(bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keepMessages_ = keep;
}

void FakeDataDriver::BlockDeliveries() {
  std::lock_guard<std::mutex> lock(mutex_);
  blocked_ = true;
}

void FakeDataDriver::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    blocked_ = false;
  }
  changed_.notify_all();
}

void FakeDataDriver::ThrowOnce() {
  std::lock_guard<std::mutex> lock(mutex_);
  throwOnce_ = true;
}

std::vector<DeliveredMessage> FakeDataDriver::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<std::string> FakeDataDriver::Sequence() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sequence_;
}

std::vector<std::string> FakeDataDriver::Texts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> texts;
  for (const auto& message : messages_) texts.push_back(message.data);
  return texts;
}

size_t FakeDataDriver::MessageCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messageCount_;
}

size_t FakeDataDriver::ClearScreens() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clearScreens_;
}

size_t FakeDataDriver::OpenFailures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return openFailures_;
}

size_t FakeDataDriver::ValidatorResets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return validatorResets_;
}

size_t FakeDataDriver::MessageBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messageBytes_;
}

bool FakeDataDriver::WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, predicate);
}

bool FakeDataDriver::WaitForMessages(size_t n, std::chrono::milliseconds timeout) {
  return WaitFor([&] { return messageCount_ >= n; }, timeout);
}

bool FakeDataDriver::WaitForOpenFailures(size_t n, std::chrono::milliseconds timeout) {
  return WaitFor([&] { return openFailures_ >= n; }, timeout);
}

bool FakeDataDriver::WaitForBlockedDelivery(std::chrono::milliseconds timeout) {
  return WaitFor([&] { return deliveryWaiting_; }, timeout);
}

}  // namespace korvane::testing
