// Test-only fault injection for the platform layer: a test arms one kind of
// call to fail at its N-th occurrence (counted from the arming), so that every
// error path of the engine can be driven on purpose. Unarmed, each check is
// one well-predicted branch. The switch is internal: a host cannot reach it.
#pragma once

#include <cstdint>

namespace gzarc::platform::faults {

enum class Call : uint8_t {
  kOpen,
  kRead,
  kWrite,
  kMakeDirectory,
  kRename,
  kAllocate,
  kThread,
  kCount
};

struct Plan {
  Call call = Call::kCount;  // kCount: nothing armed
  uint64_t failAt = 0;       // 1-based occurrence that fails
  bool shortWrite = false;   // a failing write stores half of its bytes instead
};

// Arms a plan and resets the counters.
void Arm(const Plan& plan);
void Disarm();
// Occurrences of each call since the last Arm (or Disarm).
uint64_t Count(Call call);
// True when a plan fired since it was armed.
bool Fired();

// Called by the platform layer at each call site. Calls made on a worker
// thread of the parallel paths are neither counted nor failed: a plan
// counts what the calling thread does, the same on every run.
bool Fail(Call call);
// Marks the current thread as a worker.
void IgnoreThisThread();
// Length that a write may store: the full count, or part of it when the
// armed plan asks for a short write at this occurrence.
uint32_t ShortWrite(uint32_t count);

}  // namespace gzarc::platform::faults
