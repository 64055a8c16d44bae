// The one way the engine calls its host: each helper checks the registration
// and passes the registered context as the first argument.
#pragma once

#include <cstdint>

#include "gzarc.h"

namespace gzarc {

// The file name callback, when registered.
void CallFileNameProc(const char* from, const char* to);

bool HasProgressProc();
// Calls the progress callback when registered. Returns false when the host
// asked to cancel (it returned 0); the caller then sets the cancel status.
bool CallProgressProc(int32_t percent, int32_t count);

// The progress value: while done is at least 0x1400000 both figures are
// halved, so done * 100 stays small; an empty total reports countWhenEmpty.
int32_t ProgressPercent(int64_t done, int64_t total, int32_t countWhenEmpty);

bool HasReplaceProc();
// The replace callback's answer (the caller checks HasReplaceProc first).
int32_t CallReplaceProc(const FindData* existing, const FindData* member);

// The signal callback, when registered.
void CallSignalProc(int64_t size, int32_t code);

// The part of the archive reset that concerns callbacks: every context goes,
// and every callback but the signal, warning and skip callbacks.
void ResetCallbacks();

}  // namespace gzarc
