// Ctrl-C while converting: the first SIGINT asks the conversion under way to
// stop (its output is still finished properly and stays playable), a second
// one ends the program at once. The signal handler only counts the signals
// in an atomic counter; a watcher thread acts on them. SIGTERM can be taken
// the same way (the cluster's front end does: stopped by a scheduler or a
// service manager, it still cancels its batch and keeps the parts).
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "cli/ConvertCommand.h"

namespace vexav::cli {

class InterruptWatcher {
 public:
  // Installs the SIGINT handler (and with AlsoTerminate the same for
  // SIGTERM) and starts the watcher, which calls Control.RequestStop() on
  // the first signal and prints a notice on Err, and ends the process with
  // ExitInterrupted on the second.
  InterruptWatcher(batch::StopControl& Control, std::FILE* Err, bool Terminal,
                   bool AlsoTerminate = false);
  // Stops the watcher and puts the previous signal handling back.
  ~InterruptWatcher();
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

 private:
  void Watch();

  batch::StopControl& Control;
  std::FILE* Err;
  bool Terminal;
  bool AlsoTerminate;
  std::mutex Lock;
  std::condition_variable Wake;
  bool Quit = false;
  std::thread Watcher;
};

// What the line of a second signal adds after "interrupted" ("" nothing):
// what the program leaves behind when it ends at once, and how to go on
// from there. Safe from any thread.
void SetInterruptFarewell(const std::string& Text);

}  // namespace vexav::cli
