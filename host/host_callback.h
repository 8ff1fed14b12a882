// The host side of the driver contract: the callback object that prints every
// callback as a JSON line, and the settings object that answers parameters.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "host/output_format.h"
#include "kestrel/data_callback.h"
#include "kestrel/driver_settings.h"

namespace korvane::host {

/// Writes whole lines to a stream, one writer at a time. Lines are buffered
/// and flushed within kFlushDelay of being written (by a thread of its own),
/// so a flood costs a system call per buffer, not per line, and a reader
/// still sees each line a moment after it was written.
class LineOutput {
 public:
  static constexpr std::chrono::milliseconds kFlushDelay{5};

  /// Gives `stream` a 64 KiB buffer: call before anything is written to it.
  explicit LineOutput(std::FILE* stream);
  /// Close().
  ~LineOutput();
  LineOutput(const LineOutput&) = delete;
  LineOutput& operator=(const LineOutput&) = delete;

  /// Called once, outside the lock, when a write fails (the reader went away).
  void OnFailure(std::function<void()> hook);
  void Write(const std::string& line);
  /// Writes out what is buffered now.
  void Flush();
  /// Flushes and ends the flushing thread; the stream may be closed after it.
  /// Later lines are written and flushed at once.
  void Close();

 private:
  void FlushLoop();
  /// Flushes under the lock; true when the stream failed just now.
  bool FlushLocked();
  void Failed();

  std::mutex mutex_;
  std::condition_variable dirtied_;
  std::FILE* stream_;
  bool dirty_ = false;
  bool closing_ = false;
  bool failed_ = false;
  std::function<void()> failureHook_;
  std::thread flusher_;
};

/// What the driver reported so far, for callers that wait on it.
struct CallbackCounts {
  size_t data = 0;
  size_t events = 0;     ///< events with an encoding
  size_t endEvents = 0;  ///< delayed "End of" events (no encoding)
  size_t metadata = 0;
  size_t openFailed = 0;
  size_t logs = 0;
  std::string lastLog;
};

/// Counts callbacks and lets the main thread wait for them, for a deadline
/// or for an interruption (stop signal, output gone), whichever comes first.
class CallbackMonitor {
 public:
  void Update(const std::function<void(CallbackCounts&)>& change);
  CallbackCounts Snapshot() const;
  void Interrupt();
  bool Interrupted() const;
  /// Waits until `done` holds (checked on every update), Interrupt is called
  /// or `deadline` passes; no deadline waits for one of the other two.
  /// True when `done` holds.
  bool WaitUntil(const std::function<bool(const CallbackCounts&)>& done,
                 std::optional<std::chrono::steady_clock::time_point> deadline) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  CallbackCounts counts_;
  bool interrupted_ = false;
  // What the waiting thread waits for: an update wakes it only when that holds,
  // so a flood of callbacks does not wake it for every one. With more than
  // one waiter (or a waiter whose condition is not known) every update wakes.
  mutable const std::function<bool(const CallbackCounts&)>* awaited_ = nullptr;
  mutable int waiters_ = 0;
};

/// Prints every callback as one JSON line. Calls arrive on driver threads;
/// nothing thrown here reaches the driver.
class HostCallback final : public IDataCallbackEx {
 public:
  HostCallback(LineOutput& output, OutputFormat& format, CallbackMonitor& monitor)
      : output_(output), format_(format), monitor_(monitor) {}

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

 private:
  void Emit(const std::function<std::string()>& line, const std::function<void(CallbackCounts&)>& count);

  LineOutput& output_;
  OutputFormat& format_;
  CallbackMonitor& monitor_;
};

/// Answers the model name and the numbered parameters. The strings live as
/// long as the object, so the pointers handed out stay valid.
class HostSettings final : public IDriverSettings {
 public:
  HostSettings(std::string model, std::map<int32_t, std::string> parameters)
      : model_(std::move(model)), parameters_(std::move(parameters)) {}

  /// The value of parameter `index`, or null when it has neither a value nor a default.
  const char* GetParameter(int32_t index) override;
  const char* GetModel() override { return model_.c_str(); }

 private:
  std::string model_;
  std::map<int32_t, std::string> parameters_;
};

}  // namespace korvane::host
