#include "batch/cluster/Command.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

extern char** environ;

namespace vexav::batch::cluster {

std::string Trimmed(std::string Text) {
  while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r' || Text.back() == ' '))
    Text.pop_back();
  return Text;
}

std::string HostName() {
  char Name[256] = {};
  if (::gethostname(Name, sizeof Name - 1) != 0) return std::string();
  return Name;
}

std::string CommandResult::Problem(const std::string& Name) const {
  if (!Started) return Name + " could not be run: " + Err;
  std::string Text = Trimmed(Err);
  if (Text.empty()) Text = Trimmed(Out);
  if (Text.empty()) Text = "exit status " + std::to_string(ExitCode);
  const std::size_t Break = Text.find('\n');
  if (Break != std::string::npos) Text = Text.substr(0, Break);
  // Many commands name themselves already ("tool: error: ...").
  if (Text.compare(0, Name.size() + 1, Name + ":") == 0) return Text;
  return Name + ": " + Text;
}

std::string FindInPath(const std::string& Name) {
  if (Name.find('/') != std::string::npos) return ::access(Name.c_str(), X_OK) == 0 ? Name : "";
  const char* Path = std::getenv("PATH");
  std::stringstream Parts(Path ? Path : "/usr/bin:/bin");
  std::string Folder;
  while (std::getline(Parts, Folder, ':')) {
    if (Folder.empty()) Folder = ".";
    const std::string Candidate = Folder + "/" + Name;
    struct stat Info;
    if (::stat(Candidate.c_str(), &Info) == 0 && S_ISREG(Info.st_mode) &&
        ::access(Candidate.c_str(), X_OK) == 0)
      return Candidate;
  }
  return std::string();
}

CommandResult RunCommand(const std::vector<std::string>& Args) {
  CommandResult Result;
  const std::string Program = FindInPath(Args.at(0));
  if (Program.empty()) {
    Result.Err = "'" + Args[0] +
                 "' is not in PATH (is the batch system's client installed on this machine?)";
    return Result;
  }
  int OutPipe[2], ErrPipe[2];
  if (::pipe2(OutPipe, O_CLOEXEC) != 0) {
    Result.Err = std::strerror(errno);
    return Result;
  }
  if (::pipe2(ErrPipe, O_CLOEXEC) != 0) {
    Result.Err = std::strerror(errno);
    ::close(OutPipe[0]);
    ::close(OutPipe[1]);
    return Result;
  }
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&Actions, OutPipe[1], 1);
  posix_spawn_file_actions_adddup2(&Actions, ErrPipe[1], 2);
  std::vector<char*> Argv;
  for (const std::string& A : Args) Argv.push_back(const_cast<char*>(A.c_str()));
  Argv.push_back(nullptr);
  pid_t Child = -1;
  const int SpawnError =
      ::posix_spawn(&Child, Program.c_str(), &Actions, nullptr, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  ::close(OutPipe[1]);
  ::close(ErrPipe[1]);
  if (SpawnError != 0) {
    ::close(OutPipe[0]);
    ::close(ErrPipe[0]);
    Result.Err = std::strerror(SpawnError);
    return Result;
  }
  Result.Started = true;
  struct pollfd Fds[2] = {{OutPipe[0], POLLIN, 0}, {ErrPipe[0], POLLIN, 0}};
  std::string* Sinks[2] = {&Result.Out, &Result.Err};
  int Open = 2;
  char Buffer[4096];
  while (Open > 0) {
    if (::poll(Fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int I = 0; I < 2; ++I) {
      if (Fds[I].fd < 0 || Fds[I].revents == 0) continue;
      const ssize_t N = ::read(Fds[I].fd, Buffer, sizeof Buffer);
      if (N > 0) {
        Sinks[I]->append(Buffer, static_cast<std::size_t>(N));
      } else if (N == 0 || errno != EINTR) {
        ::close(Fds[I].fd);
        Fds[I].fd = -1;
        --Open;
      }
    }
  }
  for (struct pollfd& F : Fds)
    if (F.fd >= 0) ::close(F.fd);
  int Status = 0;
  while (::waitpid(Child, &Status, 0) < 0 && errno == EINTR) {
  }
  Result.ExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
  return Result;
}

}  // namespace vexav::batch::cluster
