// Keeping the memory that runs free from staying with the process.
//
// A run allocates and frees pictures, frame pools and the encoders' state
// (tens to hundreds of megabytes for large pictures), and every run goes on
// a thread of its own, which the C library serves from a heap ("arena") of
// its own. By default the library raises its thresholds as large blocks
// are freed, up to keeping 64 MB of free memory at the top of each heap,
// which it never gives back while the heap is idle: a process that converts
// file after file (the window, a component with many tasks) would grow by
// the freed state of earlier runs. Fixed thresholds make large blocks
// separate mappings, returned when freed, and let the heaps shrink.
#pragma once

namespace vexav {

// Fixes the C library's thresholds at their defaults (128 kB), once per
// process; called before a run allocates. Does nothing where the C library
// has no such settings.
void LimitRetainedMemory();

// Returns the free pages of every heap to the system (after a run has
// freed its state); a few milliseconds.
void ReturnFreedMemory();

}  // namespace vexav
