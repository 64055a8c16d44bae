// Threads on Windows. The DLL loads on systems without condition variables
// (before Vista), so their functions are looked up at run time; where they
// are missing the engine reports one usable processor and every parallel
// path stays unused.
#include <windows.h>

#include <new>

#include "platform/platform_faults.h"
#include "platform/threads.h"

namespace gzarc::platform {
namespace {

static_assert(sizeof(CRITICAL_SECTION) <= kMutexStorage);

// A condition variable is one pointer-sized word, initialized to null.
struct ConditionWord {
  void* word;
};
static_assert(sizeof(ConditionWord) <= kConditionStorage);

struct ConditionApi {
  void(WINAPI* initialize)(ConditionWord*) = nullptr;
  BOOL(WINAPI* sleep)(ConditionWord*, CRITICAL_SECTION*, DWORD) = nullptr;
  void(WINAPI* wake)(ConditionWord*) = nullptr;
  void(WINAPI* wakeAll)(ConditionWord*) = nullptr;
  bool available = false;
};

template <typename F>
void Find(HMODULE kernel, const char* name, F* function) {
  *function = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(kernel, name)));
}

const ConditionApi& Api() {
  static const ConditionApi api = [] {
    ConditionApi a;
    const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) return a;
    Find(kernel, "InitializeConditionVariable", &a.initialize);
    Find(kernel, "SleepConditionVariableCS", &a.sleep);
    Find(kernel, "WakeConditionVariable", &a.wake);
    Find(kernel, "WakeAllConditionVariable", &a.wakeAll);
    a.available =
        a.initialize != nullptr && a.sleep != nullptr && a.wake != nullptr && a.wakeAll != nullptr;
    return a;
  }();
  return api;
}

CRITICAL_SECTION* Section(unsigned char* storage) {
  return reinterpret_cast<CRITICAL_SECTION*>(storage);
}

ConditionWord* Word(unsigned char* storage) {
  return reinterpret_cast<ConditionWord*>(storage);
}

struct ThreadStart {
  void (*body)(void*);
  void* argument;
};

DWORD WINAPI RunThread(LPVOID start) {
  const ThreadStart s = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  s.body(s.argument);
  return 0;
}

}  // namespace

unsigned UsableCpuCount() {
  if (!Api().available) return 1;
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (!::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system)) return 1;
  unsigned count = 0;
  for (; process != 0; process &= process - 1) ++count;
  return count > 0 ? count : 1;
}

Mutex::Mutex() {
  ::InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
}

Mutex::~Mutex() {
  ::DeleteCriticalSection(Section(storage_));
}

void Mutex::Lock() {
  ::EnterCriticalSection(Section(storage_));
}

void Mutex::Unlock() {
  ::LeaveCriticalSection(Section(storage_));
}

Condition::Condition() {
  new (storage_) ConditionWord{nullptr};
  if (Api().available) Api().initialize(Word(storage_));
}

Condition::~Condition() = default;

void Condition::Wait(Mutex& mutex) {
  if (Api().available) Api().sleep(Word(storage_), Section(mutex.storage_), INFINITE);
}

void Condition::NotifyOne() {
  if (Api().available) Api().wake(Word(storage_));
}

void Condition::NotifyAll() {
  if (Api().available) Api().wakeAll(Word(storage_));
}

Thread::~Thread() {
  Join();
}

bool Thread::Start(void (*body)(void*), void* argument) {
  if (handle_ != nullptr || faults::Fail(faults::Call::kThread)) return false;
  auto* start = new (std::nothrow) ThreadStart{body, argument};
  if (start == nullptr) return false;
  const HANDLE thread = ::CreateThread(nullptr, 0, RunThread, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return false;
  }
  handle_ = thread;
  return true;
}

void Thread::Join() {
  if (handle_ == nullptr) return;
  ::WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
  ::CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

}  // namespace gzarc::platform
