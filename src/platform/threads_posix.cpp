#include <pthread.h>
#include <sched.h>

#include <new>

#include "platform/platform_faults.h"
#include "platform/threads.h"

namespace gzarc::platform {

static_assert(sizeof(pthread_mutex_t) <= kMutexStorage && alignof(pthread_mutex_t) <= 16);
static_assert(sizeof(pthread_cond_t) <= kConditionStorage && alignof(pthread_cond_t) <= 16);

unsigned UsableCpuCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? static_cast<unsigned>(count) : 1;
}

Mutex::Mutex() {
  pthread_mutex_init(new (storage_) pthread_mutex_t, nullptr);
}

Mutex::~Mutex() {
  pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(storage_));
}

void Mutex::Lock() {
  pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(storage_));
}

void Mutex::Unlock() {
  pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(storage_));
}

Condition::Condition() {
  pthread_cond_init(new (storage_) pthread_cond_t, nullptr);
}

Condition::~Condition() {
  pthread_cond_destroy(reinterpret_cast<pthread_cond_t*>(storage_));
}

void Condition::Wait(Mutex& mutex) {
  pthread_cond_wait(reinterpret_cast<pthread_cond_t*>(storage_),
                    reinterpret_cast<pthread_mutex_t*>(mutex.storage_));
}

void Condition::NotifyOne() {
  pthread_cond_signal(reinterpret_cast<pthread_cond_t*>(storage_));
}

void Condition::NotifyAll() {
  pthread_cond_broadcast(reinterpret_cast<pthread_cond_t*>(storage_));
}

namespace {

struct ThreadStart {
  void (*body)(void*);
  void* argument;
};

void* RunThread(void* start) {
  const ThreadStart s = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  s.body(s.argument);
  return nullptr;
}

}  // namespace

Thread::~Thread() {
  Join();
}

bool Thread::Start(void (*body)(void*), void* argument) {
  if (handle_ != nullptr || faults::Fail(faults::Call::kThread)) return false;
  auto* start = new (std::nothrow) ThreadStart{body, argument};
  auto* thread = new (std::nothrow) pthread_t;
  if (start == nullptr || thread == nullptr ||
      pthread_create(thread, nullptr, RunThread, start) != 0) {
    delete start;
    delete thread;
    return false;
  }
  handle_ = thread;
  return true;
}

void Thread::Join() {
  if (handle_ == nullptr) return;
  auto* thread = static_cast<pthread_t*>(handle_);
  pthread_join(*thread, nullptr);
  delete thread;
  handle_ = nullptr;
}

}  // namespace gzarc::platform
