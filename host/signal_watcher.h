// SIGINT and SIGTERM as a stop request: the signals are blocked in every
// thread and collected by one watcher thread, so no work runs in a handler.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace korvane::host {

/// Blocks SIGINT and SIGTERM in the calling thread and every thread it starts
/// afterwards (the driver's threads included), and ignores SIGPIPE so a peer
/// or reader that goes away shows up as a write error. Call before loading the driver.
void BlockStopSignals();

/// Waits for SIGINT or SIGTERM on its own thread and calls `onSignal` for each.
class SignalWatcher {
 public:
  explicit SignalWatcher(std::function<void(int)> onSignal);
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  void Run();

  std::function<void(int)> onSignal_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace korvane::host
