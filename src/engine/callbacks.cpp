#include "engine/callbacks.h"

#include "engine/engine_state.h"

namespace gzarc {

void CallFileNameProc(const char* from, const char* to) {
  const auto& r = Engine().fileNameProc;
  if (r.proc != nullptr) r.proc(r.context, from, to);
}

bool HasProgressProc() { return Engine().progressProc.proc != nullptr; }

bool CallProgressProc(int32_t percent, int32_t count) {
  const auto& r = Engine().progressProc;
  if (r.proc == nullptr) return true;
  return r.proc(r.context, percent, count) != 0;
}

int32_t ProgressPercent(int64_t done, int64_t total, int32_t countWhenEmpty) {
  while (done >= 0x1400000) {
    done >>= 1;
    total >>= 1;
  }
  if (total == 0) return countWhenEmpty;
  return static_cast<int32_t>(done * 100 / total);
}

bool HasReplaceProc() { return Engine().replaceProc.proc != nullptr; }

int32_t CallReplaceProc(const FindData* existing, const FindData* member) {
  const auto& r = Engine().replaceProc;
  return r.proc(r.context, existing, member);
}

void CallSignalProc(int64_t size, int32_t code) {
  const auto& r = Engine().signalProc;
  if (r.proc != nullptr) r.proc(r.context, size, code);
}

void ResetCallbacks() {
  EngineState& e = Engine();
  e.fileNameProc = {};
  e.progressProc = {};
  e.replaceProc = {};
  e.nextDiskProc = {};
  e.sfxProgressProc = {};
  e.signalProc.context = nullptr;
  e.warningProc.context = nullptr;
  e.skipFileProc.context = nullptr;
}

}  // namespace gzarc

using gzarc::Engine;

extern "C" {

GZARC_API void GZARC_CALL SetSetFileNameProc(void* context, FileNameProc proc) {
  Engine().fileNameProc = {context, proc};
}
GZARC_API void GZARC_CALL SetSetProgressProc(void* context, ProgressProc proc) {
  Engine().progressProc = {context, proc};
}
GZARC_API void GZARC_CALL SetOkToReplaceProc(void* context, OkToReplaceProc proc) {
  Engine().replaceProc = {context, proc};
}
GZARC_API void GZARC_CALL SetSetSignalProc(void* context, SignalProc proc) {
  Engine().signalProc = {context, proc};
}
GZARC_API void GZARC_CALL SetSetWarningProc(void* context, OpaqueProc proc) {
  Engine().warningProc = {context, proc};
}
GZARC_API void GZARC_CALL SetSkipFileProc(void* context, OpaqueProc proc) {
  Engine().skipFileProc = {context, proc};
}
GZARC_API void GZARC_CALL SetGetNextDiskProc(void* context, OpaqueProc proc) {
  Engine().nextDiskProc = {context, proc};
}
GZARC_API void GZARC_CALL SetSetSfxProgressProc(void* context, OpaqueProc proc) {
  Engine().sfxProgressProc = {context, proc};
}

}  // extern "C"
