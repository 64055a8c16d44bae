// Threads for the parallel paths, behind the platform layer.
//
// Threads exist only inside an export: a parallel driver starts its workers
// and joins them before it returns, and every host callback stays on the
// calling thread. Creating a thread may fail (StartThread returns false);
// the drivers then do the work with fewer. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gzarc::platform {

// The processors this process may run on (its CPU affinity), at least 1:
// so that a process pinned to one processor takes the one-thread paths.
unsigned UsableCpuCount();

// Opaque storage for the system's objects, large enough on every system the
// engine is built for (checked where they are used).
inline constexpr std::size_t kMutexStorage = 64;
inline constexpr std::size_t kConditionStorage = 64;

class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void Lock();
  void Unlock();

 private:
  friend class Condition;
  alignas(16) unsigned char storage_[kMutexStorage];
};

class LockGuard {
 public:
  explicit LockGuard(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~LockGuard() { mutex_.Unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Mutex& mutex_;
};

class Condition {
 public:
  Condition();
  ~Condition();
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;
  // Waits with the mutex locked; it is locked again on return (which may be
  // spurious: callers wait in a loop on their own predicate).
  void Wait(Mutex& mutex);
  void NotifyOne();
  void NotifyAll();

 private:
  alignas(16) unsigned char storage_[kConditionStorage];
};

// A thread running body(argument). Join before the object goes.
class Thread {
 public:
  Thread() = default;
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  // False when the system could not start it.
  bool Start(void (*body)(void*), void* argument);
  bool Running() const { return handle_ != nullptr; }
  void Join();

 private:
  void* handle_ = nullptr;
};

}  // namespace gzarc::platform
