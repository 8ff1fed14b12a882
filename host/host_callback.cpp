#include "host/host_callback.h"

#include <exception>

namespace korvane::host {

void LineOutput::OnFailure(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  failureHook_ = std::move(hook);
}

LineOutput::LineOutput(std::FILE* stream) : stream_(stream) {
  std::setvbuf(stream_, nullptr, _IOFBF, 1 << 16);
  flusher_ = std::thread([this] { FlushLoop(); });
}

LineOutput::~LineOutput() { Close(); }

void LineOutput::Close() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  dirtied_.notify_all();
  if (flusher_.joinable()) flusher_.join();
  Flush();
}

void LineOutput::Write(const std::string& line) {
  bool failed = false;
  {
    std::lock_guard lock(mutex_);
    if (failed_) return;
    const bool ok =
        std::fwrite(line.data(), 1, line.size(), stream_) == line.size() && std::fputc('\n', stream_) != EOF;
    if (!ok) {
      failed_ = failed = true;
    } else if (closing_) {
      failed = FlushLocked();
    } else if (!dirty_) {
      dirty_ = true;
      dirtied_.notify_one();
    }
  }
  if (failed) Failed();
}

void LineOutput::Flush() {
  bool failed = false;
  {
    std::lock_guard lock(mutex_);
    failed = FlushLocked();
  }
  if (failed) Failed();
}

bool LineOutput::FlushLocked() {
  dirty_ = false;
  if (failed_ || std::fflush(stream_) == 0) return false;
  failed_ = true;
  return true;
}

void LineOutput::Failed() {
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    hook = failureHook_;
  }
  if (hook) hook();
}

void LineOutput::FlushLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    dirtied_.wait(lock, [this] { return dirty_ || closing_; });
    if (closing_) return;
    // Lines written meanwhile go out with this one.
    dirtied_.wait_for(lock, kFlushDelay, [this] { return closing_; });
    if (closing_) return;
    if (FlushLocked()) {
      lock.unlock();
      Failed();
      lock.lock();
    }
  }
}

void CallbackMonitor::Update(const std::function<void(CallbackCounts&)>& change) {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    change(counts_);
    wake = waiters_ > 1 || (waiters_ == 1 && (awaited_ == nullptr || (*awaited_)(counts_)));
  }
  if (wake) changed_.notify_all();
}

CallbackCounts CallbackMonitor::Snapshot() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

void CallbackMonitor::Interrupt() {
  {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
  }
  changed_.notify_all();
}

bool CallbackMonitor::Interrupted() const {
  std::lock_guard lock(mutex_);
  return interrupted_;
}

bool CallbackMonitor::WaitUntil(const std::function<bool(const CallbackCounts&)>& done,
                                std::optional<std::chrono::steady_clock::time_point> deadline) const {
  std::unique_lock lock(mutex_);
  ++waiters_;
  awaited_ = &done;
  struct Leave {
    std::unique_lock<std::mutex>& lock;
    int& waiters;
    const std::function<bool(const CallbackCounts&)>*& awaited;
    ~Leave() {
      if (!lock.owns_lock()) lock.lock();
      // Another waiter's condition is not known here: it is then woken by every update.
      --waiters;
      awaited = nullptr;
    }
  } leave{lock, waiters_, awaited_};
  while (true) {
    if (done(counts_)) return true;
    if (interrupted_) return false;
    // Wait in slices so an endless wait never hands an extreme time point to the library.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    if (deadline) {
      if (std::chrono::steady_clock::now() >= *deadline) return false;
      until = std::min(until, *deadline);
    }
    changed_.wait_until(lock, until);
  }
}

void HostCallback::Emit(const std::function<std::string()>& line, const std::function<void(CallbackCounts&)>& count) {
  try {
    output_.Write(line());
    monitor_.Update(count);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestrel-host: a callback failed: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "kestrel-host: a callback failed\n");
  }
}

void HostCallback::OnData(uint8_t channel, ISearchData* searchData, const char* source, int32_t sourceLength,
                          const char* data, int32_t dataLength, int32_t /*reserved*/, const char* encoding) {
  Emit([&] { return format_.Data(channel, searchData, source, sourceLength, data, dataLength, encoding); },
       [](CallbackCounts& counts) { ++counts.data; });
}

void HostCallback::OnEvent(uint8_t channel, int32_t eventNumber, ISearchData* searchData, const char* source,
                           int32_t sourceLength, const char* eventText, int32_t eventTextLength, int32_t /*reserved*/,
                           const char* encoding) {
  Emit(
      [&] {
        return format_.Event(channel, eventNumber, searchData, source, sourceLength, eventText, eventTextLength,
                             encoding);
      },
      [encoding](CallbackCounts& counts) { ++(encoding != nullptr ? counts.events : counts.endEvents); });
}

void HostCallback::OnClearScreen(uint8_t channel, ISearchData* /*searchData*/, const char* /*source*/,
                                 int32_t /*sourceLength*/, int32_t /*reserved*/) {
  Emit([&] { return format_.ClearScreen(channel); }, [](CallbackCounts&) {});
}

void HostCallback::OnNotify(int32_t value) {
  Emit([&] { return format_.Notify(value); }, [](CallbackCounts&) {});
}

void HostCallback::OnLog(int32_t severity, const char* text) {
  Emit([&] { return format_.Log(severity, text); },
       [text](CallbackCounts& counts) {
         ++counts.logs;
         counts.lastLog = text != nullptr ? text : "";
       });
}

void HostCallback::OnOpenFailed(int32_t channel) {
  Emit([&] { return format_.OpenFailed(channel); }, [](CallbackCounts& counts) { ++counts.openFailed; });
}

void HostCallback::OnMetadata(int32_t kind, int32_t metadataChannel, int32_t format, const SYSTEMTIME* time,
                              const char* data, int32_t dataLength) {
  Emit([&] { return format_.Metadata(kind, metadataChannel, format, time, data, dataLength); },
       [](CallbackCounts& counts) { ++counts.metadata; });
}

const char* HostSettings::GetParameter(int32_t index) {
  const auto found = parameters_.find(index);
  return found != parameters_.end() ? found->second.c_str() : nullptr;
}

}  // namespace korvane::host
