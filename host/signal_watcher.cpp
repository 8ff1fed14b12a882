#include "host/signal_watcher.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace korvane::host {
namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void BlockStopSignals() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

SignalWatcher::SignalWatcher(std::function<void(int)> onSignal)
    : onSignal_(std::move(onSignal)), thread_([this] { Run(); }) {}

SignalWatcher::~SignalWatcher() {
  stop_ = true;
  thread_.join();
}

void SignalWatcher::Run() {
  const sigset_t set = StopSignals();
  // A short slice keeps the destructor's join bounded.
  const timespec slice{0, 100 * 1000 * 1000};
  while (!stop_) {
    const int received = sigtimedwait(&set, nullptr, &slice);
    if (received > 0) onSignal_(received);
  }
}

}  // namespace korvane::host
