// A mutex shared by name between threads and processes: a process-shared,
// robust pthread mutex in POSIX shared memory. It serialises work on files
// that several driver objects, in this process or another, write.
#pragma once

#include <cstdint>
#include <string>

namespace korvane {

class CMutex {
 public:
  enum class LockResult {
    kAcquired,   ///< the caller owns the mutex
    kAbandoned,  ///< the previous owner died holding it; the caller owns it now
    kTimeout,    ///< another owner kept it for the whole wait
    kFailed,     ///< the mutex could not be created or used
  };

  /// Opens the mutex called `name`, creating it when no process has yet. The
  /// shared-memory object is "/kestrel." followed by the name, with every
  /// character outside [A-Za-z0-9._-] replaced by '_'. Never throws; on
  /// failure IsValid() is false and Lock() returns kFailed.
  explicit CMutex(const std::string& name);
  /// Unmaps the mutex. The shared object stays, as other processes may use it.
  virtual ~CMutex();
  CMutex(const CMutex&) = delete;
  CMutex& operator=(const CMutex&) = delete;

  bool IsValid() const { return block_ != nullptr; }
  /// Waits up to `timeoutMs` for ownership. Recursive: the owning thread may
  /// lock again and must unlock as often.
  LockResult Lock(uint32_t timeoutMs);
  /// Releases one acquisition (after kAcquired or kAbandoned).
  void Unlock();

  /// Name of the shared-memory object used for `name`.
  static std::string SharedObjectName(const std::string& name);

 private:
  struct Block;
  bool WaitUntilReady(uint32_t timeoutMs);

  Block* block_ = nullptr;
  std::string objectName_;
};

/// True when the lock result means the caller now owns the mutex.
inline bool Acquired(CMutex::LockResult result) {
  return result == CMutex::LockResult::kAcquired || result == CMutex::LockResult::kAbandoned;
}

}  // namespace korvane
