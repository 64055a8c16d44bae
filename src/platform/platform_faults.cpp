#include "platform/platform_faults.h"

#include <array>

namespace gzarc::platform::faults {
namespace {

struct State {
  Plan plan;
  std::array<uint64_t, static_cast<std::size_t>(Call::kCount)> counts{};
  bool fired = false;
  bool pendingShortWrite = false;
};

State gState;
thread_local bool tIgnored = false;

}  // namespace

void Arm(const Plan& plan) {
  gState = State{};
  gState.plan = plan;
}

void Disarm() {
  gState = State{};
}

uint64_t Count(Call call) {
  return gState.counts[static_cast<std::size_t>(call)];
}

bool Fired() {
  return gState.fired;
}

void IgnoreThisThread() {
  tIgnored = true;
}

bool Fail(Call call) {
  if (tIgnored) return false;
  const uint64_t n = ++gState.counts[static_cast<std::size_t>(call)];
  if (call != gState.plan.call || n != gState.plan.failAt) return false;
  gState.fired = true;
  if (call == Call::kWrite && gState.plan.shortWrite) {
    gState.pendingShortWrite = true;
    return false;
  }
  return true;
}

uint32_t ShortWrite(uint32_t count) {
  if (!gState.pendingShortWrite) return count;
  gState.pendingShortWrite = false;
  return count / 2;
}

}  // namespace gzarc::platform::faults
