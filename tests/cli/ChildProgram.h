// Runs a program as a child process for the command-line tests: its exit
// status, its standard output as lines, and its standard error, with each
// line of standard error seen as it comes (to act on the running program).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace vexav::cli::testchild {

struct RunResult {
  int Status = -1;  // the exit status; -1 when a signal ended the program
  int Signal = 0;   // that signal
  std::vector<std::string> OutLines;
  std::string Err;
};

inline std::vector<std::string> SplitLines(const std::string& Text) {
  std::vector<std::string> Lines;
  std::istringstream In(Text);
  std::string Line;
  while (std::getline(In, Line)) Lines.push_back(Line);
  return Lines;
}

using ErrLineHandler = std::function<void(const std::string& Line, pid_t Child)>;

// Runs Args[0] (looked up in PATH) with the rest in Folder; OnErrLine sees
// each line of standard error as it comes, with the child's pid. Standard
// output is read once standard error has ended.
inline RunResult RunCommand(const std::vector<std::string>& Args, const std::string& Folder,
                            const ErrLineHandler& OnErrLine = nullptr) {
  RunResult Result;
  int OutPipe[2], ErrPipe[2];
  // Close-on-exec, so that a program started meanwhile by another thread
  // does not hold these pipes open.
  if (::pipe2(OutPipe, O_CLOEXEC) != 0) return Result;
  if (::pipe2(ErrPipe, O_CLOEXEC) != 0) {
    ::close(OutPipe[0]);
    ::close(OutPipe[1]);
    return Result;
  }
  // Made before the fork: the child of a process with threads may only
  // make calls that need no lock until it execs.
  std::vector<char*> Argv;
  for (const std::string& Arg : Args) Argv.push_back(const_cast<char*>(Arg.c_str()));
  Argv.push_back(nullptr);
  const pid_t Child = ::fork();
  if (Child == 0) {
    ::dup2(OutPipe[1], 1);
    ::dup2(ErrPipe[1], 2);
    for (int Fd : {OutPipe[0], OutPipe[1], ErrPipe[0], ErrPipe[1]}) ::close(Fd);
    if (::chdir(Folder.c_str()) != 0) ::_exit(127);
    ::execvp(Argv[0], Argv.data());
    ::_exit(127);
  }
  ::close(OutPipe[1]);
  ::close(ErrPipe[1]);
  // Both pipes are read as they fill, so that a program writing much to
  // one of them never waits on the other.
  struct pollfd Fds[2] = {{OutPipe[0], POLLIN, 0}, {ErrPipe[0], POLLIN, 0}};
  std::string Out, Line;
  char Buffer[4096];
  while (Fds[0].fd >= 0 || Fds[1].fd >= 0) {
    if (::poll(Fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int I = 0; I < 2; ++I) {
      if (Fds[I].fd < 0 || Fds[I].revents == 0) continue;
      const ssize_t Got = ::read(Fds[I].fd, Buffer, sizeof Buffer);
      if (Got <= 0) {
        if (Got < 0 && errno == EINTR) continue;
        ::close(Fds[I].fd);
        Fds[I].fd = -1;
        continue;
      }
      if (I == 0) {
        Out.append(Buffer, static_cast<std::size_t>(Got));
        continue;
      }
      for (ssize_t K = 0; K < Got; ++K) {
        const char C = Buffer[K];
        Result.Err.push_back(C);
        if (C != '\n') {
          Line.push_back(C);
          continue;
        }
        if (OnErrLine) OnErrLine(Line, Child);
        Line.clear();
      }
    }
  }
  int Status = 0;
  ::waitpid(Child, &Status, 0);
  Result.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  Result.Signal = WIFSIGNALED(Status) ? WTERMSIG(Status) : 0;
  Result.OutLines = SplitLines(Out);
  return Result;
}

}  // namespace vexav::cli::testchild
