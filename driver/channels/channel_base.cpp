#include "driver/channels/channel_base.h"

#include <poll.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <mutex>
#include <system_error>
#include <utility>

#include "driver/common/search_data.h"
#include "driver/support/code_page.h"
#include "driver/support/string_utils.h"

namespace korvane {
namespace {

// The channel whose worker runs on this thread, if any.
thread_local const CChannelBase* tWorkerChannel = nullptr;

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

}  // namespace

// Shared by the channel and its worker thread, so that neither outlives what
// the other still needs when a worker is left behind.
struct CChannelBase::WorkerState {
  std::mutex mutex;
  bool finished = false;  // Run has returned
  bool orphaned = false;  // the owner deleted the channel while the worker ran
  Event done;
};

CChannelBase::CChannelBase(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings)
    : settings_(settings),
      splitter_(SplitterSettingsFor(settings, kDefaultMessageLimit)),
      driver_(driver),
      debug_(debug) {}

CChannelBase::~CChannelBase() {
  assert(!thread_.joinable() && "a channel must be stopped (or deleted through delete) before it is destroyed");
  if (thread_.joinable()) {
    // Last resort for a channel destroyed without Stop: never leave a joinable thread.
    stop_.Set();
    if (OnWorker()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
}

void CChannelBase::operator delete(CChannelBase* channel, std::destroying_delete_t) {
  // Stop while the derived parts still exist: the worker runs their code.
  channel->Stop();
  if (const auto state = channel->worker_) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (!state->finished) {
      // The worker frees the channel when it ends; the driver and the host may be gone by then.
      state->orphaned = true;
      channel->silenced_ = true;
      // Deleted on the worker itself, the thread was never joined.
      if (channel->thread_.joinable()) channel->thread_.detach();
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
    // A worker left behind by an earlier Stop still uses this object.
    if (!WorkerAlive() && OpenChannel()) {
      stop_.Reset();
      silenced_ = false;
      running_ = true;
      worker_ = std::make_shared<WorkerState>();
      try {
        thread_ = std::thread(&CChannelBase::WorkerMain, this, worker_);
        started = true;
      } catch (...) {
        worker_.reset();
        running_ = false;
      }
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
  stop_.Set();
  // The worker cannot join itself; it ends at its next check of the stop event.
  if (OnWorker()) return;
  if (thread_.joinable()) {
    if (worker_->done.Wait(joinTimeout_)) {
      thread_.join();
    } else {
      Log(kLogWarn, kCatChannel, "%s: Channel timeout: thread terminating", "korvane::CChannelBase::Stop");
      // A thread cannot be killed safely: leave it to end on its own, making no more calls out.
      silenced_ = true;
      thread_.detach();
    }
  }
  running_ = false;
  // The transport belongs to a worker that is still running.
  if (!WorkerAlive()) {
    try {
      CloseChannel();
    } catch (...) {
    }
  }
  Log(kLogInfo, kCatChannel, "%s: Completed", "korvane::CChannelBase::Stop");
}

void CChannelBase::WorkerMain(CChannelBase* channel, std::shared_ptr<WorkerState> state) {
  tWorkerChannel = channel;
  try {
    channel->Run();
  } catch (const std::exception& e) {
    channel->Log(kLogError, kCatChannel, "%s: Channel thread ended by an exception: %s", "korvane::CChannelBase::Start",
                 e.what());
  } catch (...) {
    channel->Log(kLogError, kCatChannel, "%s: Channel thread ended by an exception", "korvane::CChannelBase::Start");
  }
  bool orphaned = false;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->finished = true;
    orphaned = state->orphaned;
  }
  tWorkerChannel = nullptr;
  if (orphaned) Destroy(channel);
  state->done.Set();
}

bool CChannelBase::OnWorker() const { return tWorkerChannel == this; }

bool CChannelBase::WorkerAlive() const {
  if (!worker_) return false;
  std::lock_guard<std::mutex> lock(worker_->mutex);
  return !worker_->finished;
}

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
}

void CChannelBase::OnMessage(std::string_view message) { FlushMessage(message); }

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

void CChannelBase::FlushMessage(std::string_view message) {
  if (message.empty() || Silenced()) return;
  std::string_view text = message;
  if (settings_.codePage != kUtf8CodePage) {
    converted_.clear();
    if (!ConvertToUtf8(settings_.codePage, message, converted_)) converted_.clear();
    text = converted_;
  }
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

CChannelBase::Readiness CChannelBase::WaitForSocket(int fd, short events, std::chrono::milliseconds timeout) {
  pollfd fds[2] = {{fd, events, 0}, {stop_.Fd(), POLLIN, 0}};
  const nfds_t count = stop_.Fd() >= 0 ? 2 : 1;
  int n = 0;
  do {
    n = ::poll(fds, count, ToPollTimeout(timeout));
  } while (n < 0 && errno == EINTR);
  if (stop_.IsSet()) return Readiness::kStopped;
  if (n < 0) return Readiness::kError;
  if (n == 0) return Readiness::kTimeout;
  if (fds[0].revents & POLLNVAL) return Readiness::kError;
  if (fds[0].revents & (events | POLLHUP | POLLERR)) return Readiness::kReady;
  return Readiness::kTimeout;
}

bool CChannelBase::WaitForStop(std::chrono::milliseconds timeout) { return clock_->WaitFor(stop_, timeout); }

}  // namespace korvane
