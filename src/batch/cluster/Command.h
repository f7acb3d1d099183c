// Runs a program as a child process and reads its output back, without a
// shell: how the schedulers call their batch system's commands.
#pragma once

#include <string>
#include <vector>

namespace vexav::batch::cluster {

struct CommandResult {
  bool Started = false;  // the program could be run at all
  int ExitCode = -1;
  std::string Out;
  std::string Err;
  // One line about a failure: the command's own error text, or why it
  // could not be run.
  std::string Problem(const std::string& Name) const;
};

// Runs Args[0] (looked up in PATH) with the arguments given, with standard
// input from /dev/null, and waits for it.
CommandResult RunCommand(const std::vector<std::string>& Args);

// Finds Name in PATH; empty when it is not there.
std::string FindInPath(const std::string& Name);

// Text without the line breaks and spaces at its end.
std::string Trimmed(std::string Text);

// This machine's host name, as a task's report and a join's claim name it;
// empty when it cannot be read.
std::string HostName();

}  // namespace vexav::batch::cluster
