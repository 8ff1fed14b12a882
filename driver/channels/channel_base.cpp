#include "driver/channels/channel_base.h"

#include <netdb.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "driver/channels/socket_options.h"
#include "driver/common/search_data.h"
#include "driver/support/annotated_mutex.h"
#include "driver/support/code_page.h"
#include "driver/support/message_trace.h"
#include "driver/support/string_utils.h"

namespace korvane {
namespace {

std::string VFormat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string text(static_cast<size_t>(n), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

SplitterSettings SplitterSettingsFor(const ChannelSettings& settings, size_t limit) {
  SplitterSettings result;
  result.lineFeed = settings.lineFeedBytes;
  result.clearScreen = settings.clearScreenBytes;
  result.ignoredBytes = settings.ignoredBytes;
  result.keepZeroBytes = settings.validationRequired;
  result.limit = limit;
  return result;
}

int ToPollTimeout(std::chrono::milliseconds timeout) {
  if (timeout.count() <= 0) return 0;
  return timeout.count() > INT_MAX ? INT_MAX : static_cast<int>(timeout.count());
}

// One host-name lookup, shared by the channel and the helper thread that
// runs it, so a stop never waits for a slow name server.
struct Lookup {
  Event done;
  AnnotatedMutex mutex;
  bool found GUARDED_BY(mutex) = false;
  in_addr address GUARDED_BY(mutex){};
};

void RunLookup(Lookup& lookup, const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) == 0 && result != nullptr) {
    AnnotatedLock lock(lookup.mutex);
    lookup.address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
    lookup.found = true;
  }
  if (result != nullptr) ::freeaddrinfo(result);
  lookup.done.Set();
}

}  // namespace

// One thread of a channel, shared by the channel and the thread itself.
struct CChannelBase::ThreadRecord {
  explicit ThreadRecord(bool transport) : usesTransport(transport) {}
  const bool usesTransport;
  Event done;                         // set as the thread's last act
  std::atomic<bool> silenced{false};  // left behind by Stop: no more calls out
  std::thread thread;                 // joined by Stop or handed to the left-behind list
};

// The channel's threads. Shared with every thread, so that whichever of the
// channel and its last thread goes last frees what the other still needs.
struct CChannelBase::Threads {
  AnnotatedMutex mutex;
  // Threads started and neither joined nor left behind yet.
  std::vector<std::shared_ptr<ThreadRecord>> records GUARDED_BY(mutex);
  size_t live GUARDED_BY(mutex) = 0;           // started and not yet ended
  size_t liveTransport GUARDED_BY(mutex) = 0;  // of those, threads that use the transport
  bool orphaned GUARDED_BY(mutex) = false;     // deleted while a thread ran: the last one frees the channel
};

namespace {

// The channel thread running on this thread, if any.
thread_local const CChannelBase* tChannel = nullptr;
thread_local const std::atomic<bool>* tSilenced = nullptr;

// Threads that Stop could not join in time. They are joined once they end,
// and waited for (within a bound) before the library is unloaded, so none of
// them returns into unmapped code.
class LeftBehindThreads {
 public:
  static constexpr std::chrono::seconds kUnloadWait{10};

  ~LeftBehindThreads() {
    AnnotatedLock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + kUnloadWait;
    for (auto& [thread, done] : threads_) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (done->Wait(std::max(left, std::chrono::milliseconds(0)))) {
        thread.join();
      } else {
        thread.detach();
      }
    }
  }
  void Adopt(std::thread thread, std::shared_ptr<Event> done) {
    AnnotatedLock lock(mutex_);
    std::erase_if(threads_, [](auto& entry) {
      if (!entry.second->IsSet()) return false;
      entry.first.join();
      return true;
    });
    threads_.emplace_back(std::move(thread), std::move(done));
  }

 private:
  AnnotatedMutex mutex_;
  std::vector<std::pair<std::thread, std::shared_ptr<Event>>> threads_ GUARDED_BY(mutex_);
};

LeftBehindThreads& LeftBehind() {
  static LeftBehindThreads threads;
  return threads;
}

}  // namespace

CChannelBase::CChannelBase(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings)
    : settings_(settings),
      splitter_(SplitterSettingsFor(settings, kDefaultMessageLimit)),
      driver_(driver),
      debug_(debug),
      threads_(std::make_shared<Threads>()) {}

CChannelBase::~CChannelBase() {
  AnnotatedLock lock(threads_->mutex);
  assert(threads_->records.empty() && "a channel must be deleted through delete, which stops its threads");
}

void CChannelBase::operator delete(CChannelBase* channel, std::destroying_delete_t) {
  // Stop while the derived parts still exist: the threads run their code.
  channel->Stop();
  const std::shared_ptr<Threads> threads = channel->threads_;
  {
    AnnotatedLock lock(threads->mutex);
    if (threads->live > 0) {
      // The last thread frees the channel when it ends; the driver may be gone by then.
      threads->orphaned = true;
      // Deleted on one of its own threads: nobody joined them.
      for (const auto& record : threads->records) {
        record->silenced = true;
        LeftBehind().Adopt(std::move(record->thread), std::shared_ptr<Event>(record, &record->done));
      }
      threads->records.clear();
      return;
    }
  }
  Destroy(channel);
}

void CChannelBase::Destroy(CChannelBase* channel) {
  void* storage = dynamic_cast<void*>(channel);
  channel->~CChannelBase();
  ::operator delete(storage);
}

void CChannelBase::SetPollInterval(std::chrono::milliseconds interval) {
  pollInterval_ = interval.count() > 0 ? interval : std::chrono::milliseconds(1);
}

void CChannelBase::SetMessageLimit(size_t bytes) {
  splitter_ = CMessageSplitter(SplitterSettingsFor(settings_, bytes));
}

bool CChannelBase::Start() {
  Stop();
  Log(kLogInfo, kCatChannel, "%s: Processing...", "korvane::CChannelBase::Start");
  bool started = false;
  try {
    // A thread left behind by an earlier Stop still uses the transport.
    if (!TransportInUse() && OpenChannel()) {
      stop_.Reset();
      running_ = true;
      started = Launch([this] { Run(); }, true);
      if (!started) running_ = false;
    }
  } catch (...) {
    started = false;
  }
  if (started) {
    Log(kLogInfo, kCatChannel, "%s: Result is OK", "korvane::CChannelBase::Start");
    return true;
  }
  Log(kLogError, kCatChannel, "%s: Unable to start channel", "korvane::CChannelBase::Start");
  Stop();
  return false;
}

void CChannelBase::Stop() {
  Log(kLogInfo, kCatChannel, "%s: Processing...", "korvane::CChannelBase::Stop");
  std::vector<std::shared_ptr<ThreadRecord>> records;
  const bool own = OnChannelThread();
  {
    AnnotatedLock lock(threads_->mutex);
    // Under the lock, so that no helper starts after the threads are collected.
    stop_.Set();
    // A channel thread cannot join itself; it ends at its next wait.
    if (own) return;
    records.swap(threads_->records);
  }
  JoinOrLeave(records);
  running_ = false;
  // The transport belongs to a thread that is still running.
  if (!TransportInUse()) {
    try {
      CloseChannel();
    } catch (...) {
    }
  }
  Log(kLogInfo, kCatChannel, "%s: Completed", "korvane::CChannelBase::Stop");
}

void CChannelBase::JoinOrLeave(std::span<const std::shared_ptr<ThreadRecord>> records) {
  // One limit for all threads: they were all woken by the same stop event.
  const auto deadline = std::chrono::steady_clock::now() + joinTimeout_;
  bool leftBehind = false;
  for (const auto& record : records) {
    bool ended = record->done.IsSet();
    if (!ended && record->usesTransport) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      ended = record->done.Wait(std::max(left, std::chrono::milliseconds(0)));
    }
    if (ended) {
      record->thread.join();
      continue;
    }
    // A thread cannot be killed safely: leave it to end on its own, making no more calls out.
    record->silenced = true;
    leftBehind = leftBehind || record->usesTransport;
    LeftBehind().Adopt(std::move(record->thread), std::shared_ptr<Event>(record, &record->done));
  }
  if (leftBehind) {
    Log(kLogWarn, kCatChannel, "%s: Channel timeout: thread terminating", "korvane::CChannelBase::Stop");
  }
}

bool CChannelBase::StartHelper(std::function<void()> body, HelperKind kind) {
  return Launch(std::move(body), kind == HelperKind::kStoppable);
}

bool CChannelBase::Launch(std::function<void()> body, bool usesTransport) {
  auto record = std::make_shared<ThreadRecord>(usesTransport);
  AnnotatedLock lock(threads_->mutex);
  if (stop_.IsSet()) return false;
  auto& records = threads_->records;
  // Threads that have ended (finished lookups) are joined here rather than at Stop.
  std::erase_if(records, [](const std::shared_ptr<ThreadRecord>& entry) {
    if (!entry->done.IsSet()) return false;
    entry->thread.join();
    return true;
  });
  try {
    records.reserve(records.size() + 1);
    record->thread = std::thread(&CChannelBase::ThreadMain, this, threads_, record, std::move(body));
  } catch (...) {
    return false;
  }
  records.push_back(record);
  ++threads_->live;
  if (usesTransport) ++threads_->liveTransport;
  return true;
}

void CChannelBase::ThreadMain(CChannelBase* channel, std::shared_ptr<Threads> threads,
                              std::shared_ptr<ThreadRecord> record, std::function<void()> body) {
  tChannel = channel;
  tSilenced = &record->silenced;
  try {
    body();
  } catch (const std::exception& e) {
    channel->Log(kLogError, kCatChannel, "%s: Channel thread ended by an exception: %s", "korvane::CChannelBase::Start",
                 e.what());
  } catch (...) {
    channel->Log(kLogError, kCatChannel, "%s: Channel thread ended by an exception", "korvane::CChannelBase::Start");
  }
  body = nullptr;  // what the body captured goes while the channel still exists
  bool last = false;
  {
    AnnotatedLock lock(threads->mutex);
    --threads->live;
    if (record->usesTransport) --threads->liveTransport;
    last = threads->orphaned && threads->live == 0;
  }
  tChannel = nullptr;
  tSilenced = nullptr;
  if (last) Destroy(channel);
  record->done.Set();
}

bool CChannelBase::OnChannelThread() const { return tChannel == this; }

bool CChannelBase::TransportInUse() const {
  AnnotatedLock lock(threads_->mutex);
  return threads_->liveTransport > 0;
}

bool CChannelBase::Silenced() const { return tChannel == this && tSilenced != nullptr && tSilenced->load(); }

void CChannelBase::OpenWSA() {
  // POSIX sockets need no start-up; the flag keeps the log lines balanced.
  if (wsaStarted_) return;
  wsaStarted_ = true;
  Log(kLogInfo, kCatChannel, "%s: WSA is opened (result = %s)", "korvane::CChannelBase::OpenWSA", "true");
}

void CChannelBase::CloseWSA() {
  if (!wsaStarted_) return;
  wsaStarted_ = false;
  Log(kLogInfo, kCatChannel, "%s: WSA is released", "korvane::CChannelBase::CloseWSA");
}

void CChannelBase::SetConnectionState(const std::string& reason, ConnectionState state) {
  if (!reason.empty()) {
    Log(kLogInfo, kCatChannel, "%s: KSL channel state is changed (%s)", "korvane::CChannelBase::SetConnectionState",
        reason.c_str());
  }
  switch (state) {
    case ConnectionState::Lost:
      if (connected_ && !reason.empty()) {
        Log(kLogError, kCatChannel, "KSL (%s) channel %d connection lost (%s).", name_.c_str(), channel_,
            reason.c_str());
        connected_ = false;
      }
      break;
    case ConnectionState::Restored:
      if (!connected_) {
        Log(kLogInfo, kCatChannel, "KSL (%s) channel %d connection restored", name_.c_str(), channel_);
        connected_ = true;
      }
      break;
    case ConnectionState::Opened:
      if (!connected_) {
        Log(kLogInfo, kCatChannel, "KSL (%s) channel %d was opened", name_.c_str(), channel_);
        connected_ = true;
      }
      break;
    case ConnectionState::Closed:
      if (connected_) {
        Log(kLogInfo, kCatChannel, "KSL (%s) channel %d was closed", name_.c_str(), channel_);
        connected_ = false;
      }
      break;
  }
}

void CChannelBase::ReportLoss(int error, const char* operation, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string reason;
  try {
    reason = std::string(operation) + ": " + VFormat(format, args);
  } catch (...) {
  }
  va_end(args);
  SetConnectionState(reason, ConnectionState::Lost);
  if (error != 0)
    Log(kLogInfo, kCatChannel, "%s: system error %d (%s)", operation, error,
        std::system_category().message(error).c_str());
}

void CChannelBase::ProcessData(const char* data, size_t length) {
  if (data == nullptr || length == 0) return;
  if (!Silenced()) debug_.LogPacket(data, static_cast<int32_t>(std::min<size_t>(length, INT32_MAX)));
  // Every message cut from this block was received now; one clock read serves them all.
  blockTime_ = DeliveryTime();
  inBlock_ = true;
  splitter_.Feed(reinterpret_cast<const uint8_t*>(data), length, *this);
  inBlock_ = false;
}

void CChannelBase::BeginConnection() {
  splitter_.Discard();
  limitWarned_ = false;
  dropLogged_ = false;
}

void CChannelBase::OnMessage(std::string_view message) { FlushMessage(message); }

bool CChannelBase::PlaySample(std::string_view bytes) {
  if (running_.load()) return false;
  BeginConnection();
  splitter_.Feed(bytes, *this);
  splitter_.Flush(*this);
  splitter_.Discard();
  return true;
}

void CChannelBase::OnClearScreen() {
  if (Silenced()) return;
  ChannelData record;
  record.channel = channel_;
  try {
    driver_.OnClearScreen(&record);
  } catch (...) {
    Log(kLogError, kCatChannel, "%s: Clear-screen delivery failed with an exception",
        "korvane::CChannelBase::ProcessData");
  }
}

void CChannelBase::OnLimitReached(size_t limit) {
  if (limitWarned_) return;
  limitWarned_ = true;
  Log(kLogWarn, kCatChannel,
      "%s: Message reached the buffer limit of %zu bytes without a line feed; delivered as it stands",
      "korvane::CChannelBase::ProcessData", limit);
}

void CChannelBase::OnDropped(DropCause cause, size_t bytes) {
  // At error level: the host sees that part of the device's data went nowhere.
  if (dropLogged_) return;
  dropLogged_ = true;
  if (cause == DropCause::kCut) {
    Log(kLogError, kCatChannel,
        "%s: Message incomplete at a receive time-out; %zu bytes up to the next line feed were dropped",
        "korvane::CChannelBase::ProcessData", bytes);
  } else {
    Log(kLogError, kCatChannel,
        "%s: Message longer than the buffer limit of %zu bytes; %zu further bytes up to the next line feed were "
        "dropped",
        "korvane::CChannelBase::ProcessData", splitter_.Settings().limit, bytes);
  }
}

void CChannelBase::FlushMessage(std::string_view message) {
  if (message.empty() || Silenced()) return;
  std::string_view text = message;
  if (settings_.codePage != kUtf8CodePage) {
    converted_.clear();
    if (!ConvertToUtf8(settings_.codePage, message, converted_)) converted_.clear();
    text = converted_;
  }
  if (MessageTrace* trace = CurrentTrace()) trace->Message(text);
  try {
    CSearchData searchData(inBlock_ ? blockTime_ : DeliveryTime());
    // Plug-in validators get the raw bytes; everybody else gets text fit for XML.
    if (driver_.GetValidationType() != kValidationCustom) {
      escaped_.clear();
      XmlEscapeAppend(escaped_, text.data(), text.size());
      text = escaped_;
    }
    ChannelData record;
    record.channel = channel_;
    record.searchData = &searchData;
    record.source = kind_.c_str();
    record.sourceLength = static_cast<int32_t>(kind_.size());
    record.data = text.data();
    record.dataLength = static_cast<int32_t>(std::min<size_t>(text.size(), INT32_MAX));
    record.reserved = 0;
    driver_.OnChannelData(&record);
  } catch (...) {
    // Keep the channel running: one failed delivery must not end the transport.
    Log(kLogError, kCatChannel, "%s: Message delivery failed with an exception", "korvane::CChannelBase::FlushMessage");
  }
}

// The calendar fields change once a second; converting them for every message
// would cost more than the framing.
SYSTEMTIME CChannelBase::DeliveryTime() {
  constexpr uint64_t kTicksPerSecond = 10000000;
  const uint64_t fileTime = clock_->UtcFileTime();
  const uint64_t second = fileTime / kTicksPerSecond;
  if (second != stampSecond_) {
    stamp_ = FileTimeToSystemTime(fileTime);
    stampSecond_ = second;
  }
  stamp_.wMilliseconds = static_cast<uint16_t>(fileTime % kTicksPerSecond / 10000);
  return stamp_;
}

void CChannelBase::Log(int32_t level, int32_t category, const char* format, ...) {
  if (Silenced()) return;
  va_list args;
  va_start(args, format);
  std::string text;
  try {
    text = VFormat(format, args);
  } catch (...) {
  }
  va_end(args);
  debug_.Log(level, category, "%s", text.c_str());
}

void CChannelBase::ReportOpenFailed() {
  if (Silenced()) return;
  try {
    driver_.OnOpenFailed(channel_);
  } catch (...) {
  }
}

void CChannelBase::ResetCustomValidator() {
  if (Silenced()) return;
  try {
    driver_.ResetCustomValidator();
  } catch (...) {
    Log(kLogError, kCatChannel, "%s: Validator reset failed with an exception",
        "korvane::CChannelBase::ResetCustomValidator");
  }
}

CChannelBase::WaitResult CChannelBase::WaitForAny(std::span<pollfd> fds, std::chrono::milliseconds timeout) {
  // The caller's descriptors and the stop descriptor; small sets stay on the stack.
  constexpr size_t kInline = 8;
  std::array<pollfd, kInline + 1> inlineSet{};
  std::vector<pollfd> largeSet;
  pollfd* set = inlineSet.data();
  if (fds.size() > kInline) {
    largeSet.resize(fds.size() + 1);
    set = largeSet.data();
  }
  for (size_t i = 0; i < fds.size(); ++i) set[i] = {fds[i].fd, fds[i].events, 0};
  set[fds.size()] = {stop_.Fd(), POLLIN, 0};
  int n = 0;
  int error = 0;
  do {
    n = ::poll(set, static_cast<nfds_t>(fds.size() + 1), ToPollTimeout(timeout));
    error = n < 0 ? errno : 0;
  } while (n < 0 && error == EINTR);
  if (stop_.IsSet()) return {Readiness::kStopped, 0};
  if (n < 0) return {Readiness::kError, error};
  bool ready = false;
  for (size_t i = 0; i < fds.size(); ++i) {
    fds[i].revents = set[i].revents;
    if (set[i].revents & POLLNVAL) return {Readiness::kError, EBADF};
    if (set[i].revents & (fds[i].events | POLLHUP | POLLERR)) ready = true;
  }
  return {ready ? Readiness::kReady : Readiness::kTimeout, 0};
}

CChannelBase::WaitResult CChannelBase::WaitForSocket(int fd, short events, std::chrono::milliseconds timeout) {
  pollfd entry{fd, events, 0};
  return WaitForAny(std::span<pollfd>(&entry, 1), timeout);
}

CChannelBase::Resolution CChannelBase::ResolveHost(const std::string& host, std::chrono::milliseconds timeout,
                                                   in_addr& address) {
  if (ParseIPv4(host, address)) return Resolution::kResolved;
  auto lookup = std::make_shared<Lookup>();
  // The lookup cannot be interrupted: Stop does not wait for it, and it only touches what it owns.
  if (!StartHelper([lookup, host] { RunLookup(*lookup, host); }, HelperKind::kBlockingCall)) {
    return StopRequested() ? Resolution::kStopped : Resolution::kFailed;
  }
  const auto deadline = clock_->Now() + timeout;
  while (!lookup->done.IsSet()) {
    if (clock_->Now() >= deadline) return Resolution::kFailed;
    if (WaitForSocket(lookup->done.Fd(), POLLIN, pollInterval_).readiness == Readiness::kStopped) {
      return Resolution::kStopped;
    }
  }
  AnnotatedLock lock(lookup->mutex);
  if (!lookup->found) return Resolution::kFailed;
  address = lookup->address;
  return Resolution::kResolved;
}

bool CChannelBase::WaitForStop(std::chrono::milliseconds timeout) { return clock_->WaitFor(stop_, timeout); }

}  // namespace korvane
