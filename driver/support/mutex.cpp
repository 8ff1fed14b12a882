#include "driver/support/mutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>

namespace korvane {
namespace {

enum : uint32_t { kFresh = 0, kInitialising = 1, kReady = 2 };

// How long an opener waits for another process that is still setting the
// mutex up; only a creator that died half-way can make it run out.
constexpr uint32_t kInitialisationWaitMs = 1000;
constexpr size_t kMaxNameLength = 200;

#if defined(__SANITIZE_THREAD__)
#define KESTREL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KESTREL_TSAN 1
#endif
#endif

// The thread sanitizer does not know pthread_mutex_clocklock and would report
// every unlock as wrong; its builds wait against the wall clock instead.
#if defined(KESTREL_TSAN)
constexpr clockid_t kWaitClock = CLOCK_REALTIME;
#else
constexpr clockid_t kWaitClock = CLOCK_MONOTONIC;
#endif

timespec Deadline(uint32_t timeoutMs) {
  timespec now{};
  clock_gettime(kWaitClock, &now);
  const int64_t nanos = static_cast<int64_t>(now.tv_nsec) + static_cast<int64_t>(timeoutMs % 1000) * 1000000;
  timespec deadline{};
  deadline.tv_sec = now.tv_sec + static_cast<time_t>(timeoutMs / 1000) + static_cast<time_t>(nanos / 1000000000);
  deadline.tv_nsec = static_cast<long>(nanos % 1000000000);
  return deadline;
}

}  // namespace

// Lives in the shared object; a fresh object is all zero bytes, so `state`
// starts at kFresh and the first process to claim it initialises the mutex.
struct CMutex::Block {
  uint32_t state;
  pthread_mutex_t mutex;
};

std::string CMutex::SharedObjectName(const std::string& name) {
  std::string object = "/kestrel.";
  for (const char c : name.substr(0, kMaxNameLength)) {
    const bool plain =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    object.push_back(plain ? c : '_');
  }
  return object;
}

CMutex::CMutex(const std::string& name) {
  try {
    objectName_ = SharedObjectName(name);
  } catch (...) {
    return;
  }
  const int fd = shm_open(objectName_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  // Every opener makes sure the object is large enough before mapping it;
  // growing it to the same size again leaves the contents alone.
  struct stat st {};
  if (fstat(fd, &st) != 0 ||
      (st.st_size < static_cast<off_t>(sizeof(Block)) && ftruncate(fd, static_cast<off_t>(sizeof(Block))) != 0)) {
    close(fd);
    return;
  }
  void* memory = mmap(nullptr, sizeof(Block), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (memory == MAP_FAILED) return;
  auto* block = static_cast<Block*>(memory);

  std::atomic_ref<uint32_t> state(block->state);
  uint32_t expected = kFresh;
  if (state.compare_exchange_strong(expected, kInitialising, std::memory_order_acq_rel)) {
    pthread_mutexattr_t attributes;
    bool ok = pthread_mutexattr_init(&attributes) == 0;
    ok = ok && pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
         pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
         pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
         pthread_mutex_init(&block->mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    if (!ok) {
      // Let a later opener try again rather than leave the object half set up.
      state.store(kFresh, std::memory_order_release);
      munmap(memory, sizeof(Block));
      return;
    }
    state.store(kReady, std::memory_order_release);
  }
  block_ = block;
  WaitUntilReady(kInitialisationWaitMs);
}

CMutex::~CMutex() {
  if (block_ != nullptr) munmap(block_, sizeof(Block));
}

bool CMutex::WaitUntilReady(uint32_t timeoutMs) {
  std::atomic_ref<uint32_t> state(block_->state);
  if (state.load(std::memory_order_acquire) == kReady) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (state.load(std::memory_order_acquire) != kReady) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

CMutex::LockResult CMutex::Lock(uint32_t timeoutMs) {
  if (block_ == nullptr) return LockResult::kFailed;
  if (!WaitUntilReady(std::min(timeoutMs, kInitialisationWaitMs))) return LockResult::kFailed;
  // A monotonic deadline, so a clock change cannot stretch the wait.
  const timespec deadline = Deadline(timeoutMs);
#if defined(KESTREL_TSAN)
  const int rc = pthread_mutex_timedlock(&block_->mutex, &deadline);
#else
  const int rc = pthread_mutex_clocklock(&block_->mutex, kWaitClock, &deadline);
#endif
  switch (rc) {
    case 0:
      return LockResult::kAcquired;
    case EOWNERDEAD:
      // The owner died while holding it; whatever it guarded may be half
      // written, but the mutex itself is usable again.
      if (pthread_mutex_consistent(&block_->mutex) != 0) {
        pthread_mutex_unlock(&block_->mutex);
        return LockResult::kFailed;
      }
      return LockResult::kAbandoned;
    case ETIMEDOUT:
      return LockResult::kTimeout;
    default:
      return LockResult::kFailed;
  }
}

void CMutex::Unlock() {
  if (block_ != nullptr) pthread_mutex_unlock(&block_->mutex);
}

}  // namespace korvane
