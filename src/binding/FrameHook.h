// Frame-hook libraries: loading them on demand (each library once per
// process), the chain of hooks of one engine, and calling them.
#pragma once

#include <cstdint>

#include "binding/FrameHookApi.h"

namespace vexav {

struct TFrameHookEntry {
  TFrameHookEntry* next;
  VexavHookConfigure Configure;
  VexavHookProcess Process;
  VexavHookRelease Release;
  void* ctx;
};

// Result codes of AddFrameHook.
constexpr int HookLoadFailed = -1;        // the library cannot be loaded
constexpr int HookBadEntryPoints = -2;    // no arguments, or an entry point missing
constexpr int HookOutOfMemory = -12;      // no memory for the chain entry
constexpr int HookConfigureFailed = -22;  // Configure returned non-zero

// Loads Args[0] (once per process) and appends a hook to Chain. Returns 0 or
// one of the codes above; failures are also written to the library log.
int AddFrameHook(TFrameHookEntry*& Chain, int ArgCount, char* Args[]);
// Calls every hook of the chain in the order they were added.
void ProcessFrameHooks(TFrameHookEntry* Chain, VexavHookPicture* Picture, int PixelFormat,
                       int Width, int Height, int64_t PTS);
// Calls every hook's Release, frees the entries and empties the chain.
void ReleaseFrameHooks(TFrameHookEntry*& Chain);

}  // namespace vexav
