// A stop request shared by whoever may ask for it (Ctrl-C's watcher, a
// scheduler's SIGTERM) and the run in progress: the job running (or about
// to run) is registered here, and a request stops it and keeps any further
// file from starting.
#pragma once

#include <signal.h>

#include <atomic>
#include <mutex>

#include "batch/ConversionJob.h"

namespace vexav::batch {

class StopControl {
 public:
  // A stop asked for before Job was registered reaches it at once.
  void Register(ConversionJob* Job);
  void Unregister();
  // Marks the stop and stops the registered job. Safe from any thread.
  void RequestStop();
  bool StopRequested() const { return Requested.load(); }

 private:
  std::mutex Lock;
  ConversionJob* Current = nullptr;
  std::atomic<bool> Requested{false};
};

// Installs Handler for Signal, with interrupted system calls restarting (the
// engine's reads and writes must not fail because a signal came); the action
// it replaces goes to Previous, for the caller to put back.
void CatchSignal(int Signal, void (*Handler)(int), struct sigaction* Previous);

}  // namespace vexav::batch
