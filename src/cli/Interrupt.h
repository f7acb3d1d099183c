// Ctrl-C while converting: the first SIGINT asks the conversion under way to
// stop (its output is still finished properly and stays playable), a second
// one ends the program at once. The signal handler only counts the signals
// in an atomic counter; a watcher thread acts on them.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "cli/ConvertCommand.h"

namespace vexav::cli {

class InterruptWatcher {
 public:
  // Installs the SIGINT handler and starts the watcher, which calls
  // Control.RequestStop() on the first signal and prints a notice on Err,
  // and ends the process with ExitInterrupted on the second.
  InterruptWatcher(StopControl& Control, std::FILE* Err, bool Terminal);
  // Stops the watcher and puts the previous SIGINT handling back.
  ~InterruptWatcher();
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

 private:
  void Watch();

  StopControl& Control;
  std::FILE* Err;
  bool Terminal;
  std::mutex Lock;
  std::condition_variable Wake;
  bool Quit = false;
  std::thread Watcher;
};

}  // namespace vexav::cli
