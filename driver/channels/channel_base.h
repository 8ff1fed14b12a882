// The abstract transport: one worker thread that receives bytes, cuts them
// into messages and hands them to the driver.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include "driver/channels/message_splitter.h"
#include "driver/common/channel_settings.h"
#include "driver/common/driver_interfaces.h"
#include "driver/support/clock.h"
#include "driver/support/event.h"

namespace korvane {

/// Base of every transport. The host's thread (through the driver) constructs,
/// starts, stops and deletes a channel; the worker thread runs Run() and makes
/// every call into IDataDriver. The driver and debug interfaces are not owned
/// and must outlive the channel's worker.
///
/// Delete channels through `delete` (std::unique_ptr): deletion stops the
/// worker while the whole object still exists, and a worker that missed the
/// join limit frees the object itself when it finally ends.
class CChannelBase : private IMessageSink {
 public:
  enum class ConnectionState : int32_t { Lost = 0, Restored = 1, Opened = 2, Closed = 3 };

  static constexpr std::chrono::milliseconds kDefaultPollInterval{500};
  static constexpr std::chrono::milliseconds kDefaultJoinTimeout{5000};
  static constexpr size_t kDefaultMessageLimit = 1 << 20;
  static constexpr uint32_t kUtf8CodePage = 65001;

  CChannelBase(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings);
  virtual ~CChannelBase();
  CChannelBase(const CChannelBase&) = delete;
  CChannelBase& operator=(const CChannelBase&) = delete;

  static void operator delete(CChannelBase* channel, std::destroying_delete_t);

  /// Stops any running worker, opens the transport and starts the worker.
  /// False (with a log line) when the transport cannot be opened. Host thread.
  bool Start();
  /// Signals the worker, joins it (join-timeout limit, 5000 ms by default) and
  /// releases the transport. Idempotent. On the worker itself it only signals.
  void Stop();

  /// Time source for silence, retries and time stamps. Before Start.
  void SetClock(const Clock& clock) { clock_ = &clock; }
  /// Longest single wait of the worker for its transport (500 ms). Before Start.
  void SetPollInterval(std::chrono::milliseconds interval);
  /// How long Stop waits for the worker before leaving it (5000 ms). Before Start.
  void SetJoinTimeout(std::chrono::milliseconds timeout) { joinTimeout_ = timeout; }
  /// Largest message before it is delivered without a line feed (1 MiB). Before Start.
  void SetMessageLimit(size_t bytes);

  const std::string& Name() const { return name_; }
  const std::string& Kind() const { return kind_; }
  /// True between a successful Start and Stop.
  bool IsRunning() const { return running_.load(); }

 protected:
  /// Prepares the transport before the worker starts (host thread).
  virtual bool OpenChannel() = 0;
  /// Releases the transport; safe to call repeatedly.
  virtual void CloseChannel() = 0;
  /// The worker's body: loops until the stop event, then calls CloseChannel.
  virtual int Run() = 0;
  /// Converts, escapes and delivers one message to the driver (worker thread).
  virtual void FlushMessage(std::string_view message);

  void OpenWSA();
  void CloseWSA();
  /// Records and logs a connection state change (worker thread, or the host
  /// thread once the worker has ended). `reason` may be empty.
  void SetConnectionState(const std::string& reason, ConnectionState state);
  /// Frames one received block and delivers the complete messages.
  void ProcessData(const char* data, size_t length);
  /// Drops the partial message (and partial sequences held from the last block).
  void DiscardPartialMessage() { splitter_.Discard(); }
  /// A new peer: nothing left from the previous one, the limit warning re-armed.
  void BeginConnection();

  /// Logs through IDebug; silent once the worker has been left behind by Stop.
  void Log(int32_t level, int32_t category, const char* format, ...) __attribute__((format(printf, 4, 5)));
  /// Tells the driver that the transport could not be opened.
  void ReportOpenFailed();

  enum class Readiness { kReady, kTimeout, kStopped, kError };
  /// Waits up to `timeout` for `events` on `fd` or for the stop event.
  Readiness WaitForSocket(int fd, short events, std::chrono::milliseconds timeout);
  /// Waits up to `timeout`, measured with the channel's clock; true when stopped.
  bool WaitForStop(std::chrono::milliseconds timeout);
  bool StopRequested() const { return stop_.IsSet(); }

  const ChannelSettings& Settings() const { return settings_; }
  const Clock& GetClock() const { return *clock_; }
  std::chrono::milliseconds PollInterval() const { return pollInterval_; }
  uint8_t ChannelIndex() const { return channel_; }
  void SetName(std::string name) { name_ = std::move(name); }
  void SetKind(std::string kind) { kind_ = std::move(kind); }

 private:
  struct WorkerState;

  static void WorkerMain(CChannelBase* channel, std::shared_ptr<WorkerState> state);
  static void Destroy(CChannelBase* channel);
  bool OnWorker() const;
  bool WorkerAlive() const;
  bool Silenced() const { return silenced_.load() && OnWorker(); }

  void OnMessage(std::string_view message) override;
  void OnClearScreen() override;
  void OnLimitReached(size_t limit) override;
  SYSTEMTIME DeliveryTime();

  Event stop_;
  const ChannelSettings settings_;
  std::string name_;
  std::string kind_;
  CMessageSplitter splitter_;
  IDataDriver& driver_;
  IDebug& debug_;
  std::thread thread_;
  std::shared_ptr<WorkerState> worker_;
  bool wsaStarted_ = false;
  std::atomic<bool> running_{false};
  uint8_t channel_ = 0;
  bool connected_ = false;

  const Clock* clock_ = &SystemClock();
  std::chrono::milliseconds pollInterval_ = kDefaultPollInterval;
  std::chrono::milliseconds joinTimeout_ = kDefaultJoinTimeout;
  // Set when Stop left a worker behind: from then on the worker makes no call out.
  std::atomic<bool> silenced_{false};
  bool limitWarned_ = false;
  std::string converted_;
  std::string escaped_;
  uint64_t stampSecond_ = 0;
  SYSTEMTIME stamp_{};
  // Reception time of the block ProcessData is cutting, while it does.
  SYSTEMTIME blockTime_{};
  bool inBlock_ = false;
};

}  // namespace korvane
