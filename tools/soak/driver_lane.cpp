#include "tools/soak/driver_lane.h"

#include <algorithm>
#include <fstream>

namespace korvane::soak {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr size_t kErrorSamples = 8;

std::chrono::milliseconds Since(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start);
}

}  // namespace

Lane::Lane(const host::DriverLibrary& library, LaneSetup setup, const std::filesystem::path& hostDirectory)
    : library_(library), setup_(std::move(setup)), configPath_(hostDirectory / (setup_.label + ".xml")) {
  WriteConfiguration(0);
}

Lane::~Lane() {
  Close();
  if (driver_ != nullptr) library_.releaseDriver(&driver_);
}

bool Lane::Open() {
  if (driver_ == nullptr) driver_ = library_.createDriver();
  ++calls_.opens;
  open_ = driver_ != nullptr && driver_->OpenEx(static_cast<IDataCallback*>(this), this);
  if (!open_) ++calls_.openFailures;
  return open_;
}

bool Lane::Start() {
  if (!open_) return false;
  ++calls_.starts;
  running_ = driver_->StartChannel(0, 0);
  if (!running_) {
    ++calls_.startFailures;
    return false;
  }
  window_.Open();
  return true;
}

bool Lane::Quiet() {
  window_.Close();
  if (accounting_.WaitDrained(setup_.drainLimit)) return true;
  ++calls_.drainTimeouts;
  return false;
}

void Lane::Stop() {
  if (!running_) return;
  Quiet();
  if (beforeStop_) beforeStop_();
  const auto start = SteadyClock::now();
  driver_->StopChannel(0);
  calls_.longestStop = std::max(calls_.longestStop, Since(start));
  ++calls_.stops;
  running_ = false;
}

void Lane::Close() {
  if (!open_) return;
  Stop();
  window_.Close();
  const auto start = SteadyClock::now();
  driver_->Close();
  calls_.longestClose = std::max(calls_.longestClose, Since(start));
  ++calls_.closes;
  open_ = false;
}

void Lane::WriteConfiguration(int variant) {
  // Written in place, not renamed: the driver may read the file half written.
  std::ofstream(configPath_, std::ios::trunc) << setup_.configText[variant & 1];
}

Lane::Calls Lane::CallFigures() const {
  Calls figures = calls_;
  figures.errorLogs = errorLogs_.load();
  figures.openFailedCallbacks = openFailedCallbacks_.load();
  figures.countOnlyDelivered = countOnlyDelivered_.load();
  return figures;
}

std::vector<std::string> Lane::ErrorSamples() const {
  const std::lock_guard<std::mutex> lock(logMutex_);
  return errorSamples_;
}

const char* Lane::GetParameter(int32_t index) {
  const auto found = setup_.parameters.find(index);
  return found == setup_.parameters.end() ? nullptr : found->second.c_str();
}

void Lane::Receive(std::string_view text) {
  if (setup_.countOnly) {
    if (setup_.validText(text)) {
      ++countOnlyDelivered_;
    } else {
      accounting_.Garbled(std::string(text));
    }
    return;
  }
  const std::optional<MessageId> id = ReadDelivered(setup_.wire, setup_.label, text);
  if (!id) {
    accounting_.Garbled(std::string(text));
    return;
  }
  accounting_.Delivered(id->connection, id->sequence);
}

void Lane::OnData(uint8_t, ISearchData*, const char*, int32_t, const char* data, int32_t dataLength, int32_t,
                  const char*) {
  Receive(std::string_view(data, dataLength > 0 ? static_cast<size_t>(dataLength) : 0));
}

void Lane::OnEvent(uint8_t, int32_t, ISearchData*, const char*, int32_t, const char* eventText, int32_t eventTextLength,
                   int32_t, const char*) {
  // The configurations map no events: one is a message delivered in the wrong form.
  accounting_.Garbled("event: " +
                      std::string(eventText, eventTextLength > 0 ? static_cast<size_t>(eventTextLength) : 0));
}

void Lane::OnLog(int32_t severity, const char* text) {
  if (severity != 1) return;
  ++errorLogs_;
  const std::lock_guard<std::mutex> lock(logMutex_);
  const std::string line = text != nullptr ? text : "";
  if (errorSamples_.size() < kErrorSamples &&
      std::find(errorSamples_.begin(), errorSamples_.end(), line) == errorSamples_.end()) {
    errorSamples_.push_back(line);
  }
}

}  // namespace korvane::soak
