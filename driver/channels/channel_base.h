// The abstract transport: a worker thread (and any helper threads) that
// receive bytes, cut them into messages and hand them to the driver.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "driver/channels/message_splitter.h"
#include "driver/common/channel_settings.h"
#include "driver/common/driver_interfaces.h"
#include "driver/support/clock.h"
#include "driver/support/event.h"

namespace korvane {

/// Base of every transport.
///
/// Threads. The host's thread (through the driver) constructs, starts, stops
/// and deletes a channel. Start runs Run() on the worker thread; Run (or a
/// helper) may start helper threads with StartHelper(). Worker and helpers are
/// the channel's threads: each one's loop waits only through WaitForAny /
/// WaitForSocket / WaitForStop (or on StopFd()), so Stop wakes them all at
/// once; Stop then joins them all within one join limit (5000 ms by default).
/// A thread still running after the limit is left behind: it is silenced (no
/// further IDataDriver or IDebug call, see Log) and ends on its own.
///
/// Ownership. The driver and debug interfaces are not owned; whatever they
/// live in must outlive the channel's threads, which KeepAlive() arranges.
/// Delete channels through `delete` (std::unique_ptr): deletion stops the
/// threads while the whole object still exists, and when a thread was left
/// behind, the last of the channel's threads to end frees the object.
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

  /// Stops any running threads, opens the transport and starts the worker.
  /// False (with a log line) when the transport cannot be opened, or while a
  /// thread left behind by an earlier Stop still uses it. Host thread.
  bool Start();
  /// Signals every thread of the channel, joins them (join limit) and
  /// releases the transport. Idempotent. Called on one of the channel's own
  /// threads it only signals; the host's Stop joins later.
  void Stop();

  /// Time source for silence, retries and time stamps. Before Start.
  void SetClock(const Clock& clock) { clock_ = &clock; }
  /// Longest single wait of the worker for its transport (500 ms). Before Start.
  void SetPollInterval(std::chrono::milliseconds interval);
  /// How long Stop waits for the channel's threads before leaving them (5000 ms). Before Start.
  void SetJoinTimeout(std::chrono::milliseconds timeout) { joinTimeout_ = timeout; }
  /// Largest message before it is delivered without a line feed (1 MiB). Before Start.
  void SetMessageLimit(size_t bytes);
  /// Keeps `owner` (typically what the driver and debug interfaces live in)
  /// alive for as long as this object exists, that is, until its last thread
  /// has ended. Before Start.
  void KeepAlive(std::shared_ptr<const void> owner) { owner_ = std::move(owner); }

  const std::string& Name() const { return name_; }
  const std::string& Kind() const { return kind_; }
  /// True between a successful Start and Stop.
  bool IsRunning() const { return running_.load(); }
  /// Frames `bytes` as if the device had sent them in one stream and delivers
  /// every message, the unterminated rest as one more. For checking a
  /// configuration against sample data on a channel that is not started;
  /// false, doing nothing, while it runs. Host thread.
  bool PlaySample(std::string_view bytes);

 protected:
  /// Prepares the transport before the worker starts (host thread).
  virtual bool OpenChannel() = 0;
  /// Releases the transport; safe to call repeatedly. Runs on the worker at
  /// its end, and on the host thread in Stop once no thread uses the transport.
  virtual void CloseChannel() = 0;
  /// The worker's body: loops until the stop event, then calls CloseChannel.
  virtual int Run() = 0;
  /// Converts, escapes and delivers one message to the driver (channel thread).
  virtual void FlushMessage(std::string_view message);

  void OpenWSA();
  void CloseWSA();
  /// Records and logs a connection state change (worker thread, or the host
  /// thread once the worker has ended). `reason` may be empty.
  void SetConnectionState(const std::string& reason, ConnectionState state);
  /// Reports a transport failure as a loss: the reason is `operation`, ": "
  /// and `format` with its arguments ("korvane::CTcpChannel::OpenPort: Failed
  /// to set listen"). A non-zero `error`, the errno captured at the failing
  /// call, is logged with the system's text for it.
  void ReportLoss(int error, const char* operation, const char* format, ...) __attribute__((format(printf, 4, 5)));
  /// Frames one received block and delivers the complete messages.
  void ProcessData(const char* data, size_t length);
  /// Drops the partial message (and partial sequences held from the last block).
  void DiscardPartialMessage() { splitter_.Discard(); }
  /// The stream stopped inside a message (a receive time-out): drops the
  /// partial message and the rest of its line, up to the next line feed.
  void CutPartialMessage() { splitter_.Cut(); }
  /// A new peer: nothing left from the previous one, the limit warning re-armed.
  void BeginConnection();

  /// Logs through IDebug; silent on a thread that Stop has left behind.
  void Log(int32_t level, int32_t category, const char* format, ...) __attribute__((format(printf, 4, 5)));
  /// Tells the driver that the transport could not be opened.
  void ReportOpenFailed();
  /// Asks the driver to reset its custom validator (the stream lost data).
  void ResetCustomValidator();

  // --- helper threads ---

  enum class HelperKind {
    /// Waits only through the channel's waits and ends when the stop event is
    /// set; Stop joins it within the join limit, like the worker.
    kStoppable,
    /// One blocking call that cannot notice the stop event (a name lookup).
    /// Stop does not wait for it; it must use only what `body` owns and make
    /// no call on the channel. The channel's memory still lives until it ends.
    kBlockingCall,
  };
  /// Runs `body` on a new thread of this channel. Call it from the worker or
  /// another helper. False when the stop event is already set or no thread
  /// could be created. Exceptions leaving `body` are logged and end the thread.
  bool StartHelper(std::function<void()> body, HelperKind kind = HelperKind::kStoppable);

  // --- waiting ---

  enum class Readiness { kReady, kTimeout, kStopped, kError };
  struct WaitResult {
    Readiness readiness = Readiness::kTimeout;
    int error = 0;  ///< with kError: errno of the failing poll, or EBADF for a closed descriptor
  };
  /// Waits up to `timeout` until one of `fds` is ready or the stop event is
  /// set; the stop descriptor is added internally. Fills each entry's
  /// `revents`. kReady when an entry reports one of its events, POLLHUP or
  /// POLLERR (the following read tells which); kError for an invalid entry.
  WaitResult WaitForAny(std::span<pollfd> fds, std::chrono::milliseconds timeout);
  /// WaitForAny on one descriptor.
  WaitResult WaitForSocket(int fd, short events, std::chrono::milliseconds timeout);
  /// Waits up to `timeout`, measured with the channel's clock; true when stopped.
  bool WaitForStop(std::chrono::milliseconds timeout);
  bool StopRequested() const { return stop_.IsSet(); }
  enum class Resolution { kResolved, kFailed, kStopped };
  /// The first IPv4 address of `host`: a dotted address at once, a name
  /// through a lookup on a helper thread, waited for up to `timeout` while
  /// the stop event is watched. Worker or helper thread.
  Resolution ResolveHost(const std::string& host, std::chrono::milliseconds timeout, in_addr& address);
  /// Polls readable once Stop has been called: for libraries that run their
  /// own poll loop (add it to their extra descriptors). Owned by the channel.
  int StopFd() const { return stop_.Fd(); }

  const ChannelSettings& Settings() const { return settings_; }
  const Clock& GetClock() const { return *clock_; }
  std::chrono::milliseconds PollInterval() const { return pollInterval_; }
  uint8_t ChannelIndex() const { return channel_; }
  void SetName(std::string name) { name_ = std::move(name); }
  void SetKind(std::string kind) { kind_ = std::move(kind); }

 private:
  struct ThreadRecord;
  struct Threads;

  static void ThreadMain(CChannelBase* channel, std::shared_ptr<Threads> threads, std::shared_ptr<ThreadRecord> record,
                         std::function<void()> body);
  static void Destroy(CChannelBase* channel);
  bool Launch(std::function<void()> body, bool usesTransport);
  void JoinOrLeave(std::span<const std::shared_ptr<ThreadRecord>> records);
  bool OnChannelThread() const;
  bool TransportInUse() const;
  bool Silenced() const;

  void OnMessage(std::string_view message) override;
  void OnClearScreen() override;
  void OnLimitReached(size_t limit) override;
  void OnDropped(DropCause cause, size_t bytes) override;
  SYSTEMTIME DeliveryTime();

  Event stop_;
  const ChannelSettings settings_;
  std::string name_;
  std::string kind_;
  CMessageSplitter splitter_;
  IDataDriver& driver_;
  IDebug& debug_;
  // Every thread of this channel, shared with the threads themselves.
  const std::shared_ptr<Threads> threads_;
  std::shared_ptr<const void> owner_;
  bool wsaStarted_ = false;
  std::atomic<bool> running_{false};
  uint8_t channel_ = 0;
  bool connected_ = false;

  const Clock* clock_ = &SystemClock();
  std::chrono::milliseconds pollInterval_ = kDefaultPollInterval;
  std::chrono::milliseconds joinTimeout_ = kDefaultJoinTimeout;
  bool limitWarned_ = false;
  bool dropLogged_ = false;  // once per connection
  std::string converted_;
  std::string escaped_;
  uint64_t stampSecond_ = 0;
  SYSTEMTIME stamp_{};
  // Reception time of the block ProcessData is cutting, while it does.
  SYSTEMTIME blockTime_{};
  bool inBlock_ = false;
};

}  // namespace korvane
