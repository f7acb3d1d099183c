#include "cli/cluster/Slurm.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

extern char** environ;

namespace vexav::cli::cluster {
namespace {

std::string Trimmed(std::string Text) {
  while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r' || Text.back() == ' '))
    Text.pop_back();
  return Text;
}

// The value of Key=VALUE in scontrol's one-line output.
std::string Field(const std::string& Line, const std::string& Key) {
  std::size_t Pos = 0;
  while ((Pos = Line.find(Key + "=", Pos)) != std::string::npos) {
    if (Pos == 0 || Line[Pos - 1] == ' ') {
      const std::size_t Start = Pos + Key.size() + 1;
      const std::size_t End = Line.find(' ', Start);
      return Line.substr(Start, End == std::string::npos ? std::string::npos : End - Start);
    }
    Pos += Key.size();
  }
  return std::string();
}

}  // namespace

std::string CommandResult::Problem(const std::string& Name) const {
  if (!Started) return Name + " could not be run: " + Err;
  std::string Text = Trimmed(Err);
  if (Text.empty()) Text = Trimmed(Out);
  if (Text.empty()) Text = "exit status " + std::to_string(ExitCode);
  const std::size_t Break = Text.find('\n');
  if (Break != std::string::npos) Text = Text.substr(0, Break);
  // Slurm's commands name themselves already ("sbatch: error: ...").
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
    Result.Err = "'" + Args[0] + "' is not in PATH (is Slurm installed on this machine?)";
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

std::optional<std::string> Submit(const SubmitRequest& R, std::string& Error) {
  std::vector<std::string> Args = {
      "sbatch", "--parsable", "--job-name=" + R.JobName, "--array=" + R.Array,
      "--output=" + R.LogPattern, "--chdir=" + R.WorkFolder,
      "--cpus-per-task=" + std::to_string(R.CpusPerTask), "--ntasks=1", "--nodes=1",
      // A task that a node failure ends comes back through
      // --retries, counted here, not through Slurm's requeue.
      "--no-requeue"};
  if (!R.Partition.empty()) Args.push_back("--partition=" + R.Partition);
  for (const std::string& Option : R.ExtraOptions) Args.push_back(Option);
  Args.push_back(R.Script);
  const CommandResult Result = RunCommand(Args);
  if (!Result.Started || Result.ExitCode != 0) {
    Error = Result.Problem("sbatch");
    return std::nullopt;
  }
  // "<id>" or "<id>;<cluster>".
  std::string Id = Trimmed(Result.Out);
  const std::size_t Break = Id.rfind('\n');
  if (Break != std::string::npos) Id = Id.substr(Break + 1);
  Id = Id.substr(0, Id.find(';'));
  if (Id.empty() || Id.find_first_not_of("0123456789") != std::string::npos) {
    Error = "sbatch answered '" + Trimmed(Result.Out) + "' instead of a job id";
    return std::nullopt;
  }
  return Id;
}

bool QueuedTask::Pending() const {
  return State == "PENDING";
}

std::string QueuedTask::Why() const {
  return Reason == "None" ? std::string() : Reason;
}

bool QueuedTask::RoutineWait() const {
  return Reason.empty() || Reason == "None" || Reason == "Priority" || Reason == "Resources";
}

std::map<std::string, QueuedTask> ParseQueue(const std::string& Text) {
  std::map<std::string, QueuedTask> Tasks;
  std::stringstream Lines(Text);
  std::string Line;
  while (std::getline(Lines, Line)) {
    // The reason may hold spaces and commas; the separator is not in
    // any of the three.
    const std::size_t First = Line.find('|');
    if (First == std::string::npos || First == 0) continue;
    const std::size_t Second = Line.find('|', First + 1);
    QueuedTask Task;
    Task.State = Line.substr(First + 1,
                             Second == std::string::npos ? std::string::npos : Second - First - 1);
    if (Second != std::string::npos) Task.Reason = Trimmed(Line.substr(Second + 1));
    Tasks[Line.substr(0, First)] = Task;
  }
  return Tasks;
}

std::optional<std::map<std::string, QueuedTask>> QueuedTasks(const std::string& JobName,
                                                             std::string& Error) {
  const CommandResult Result =
      RunCommand({"squeue", "--noheader", "--array", "--name=" + JobName, "--format=%i|%T|%r"});
  if (!Result.Started || Result.ExitCode != 0) {
    Error = Result.Problem("squeue");
    return std::nullopt;
  }
  return ParseQueue(Result.Out);
}

std::string TaskEnd::Text() const {
  std::string Text = State.empty() ? std::string("unknown state") : State;
  if (!Reason.empty() && Reason != "None") Text += " (" + Reason + ")";
  return Text;
}

bool TaskEnd::CompletedCleanly() const {
  return Known && State == "COMPLETED" && ExitCode == "0:0";
}

bool TaskEnd::EndedByItself() const {
  return Known && (State == "COMPLETED" || State == "FAILED");
}

bool TaskEnd::LaunchFailed() const {
  return Known && Reason == "JobLaunchFailure";
}

bool TaskEnd::Retriable() const {
  return State == "NODE_FAIL" || State == "PREEMPTED";
}

TaskEnd EndOfTask(const std::string& JobId) {
  TaskEnd End;
  const CommandResult Shown = RunCommand({"scontrol", "--oneliner", "show", "job", JobId});
  if (Shown.Started && Shown.ExitCode == 0) {
    // An array task that was cancelled while pending may still be shown as
    // part of its array's record: the line whose ArrayTaskId matches counts.
    std::stringstream Lines(Shown.Out);
    std::string Line;
    const std::string Index = JobId.substr(JobId.find('_') + 1);
    while (std::getline(Lines, Line)) {
      const std::string State = Field(Line, "JobState");
      if (State.empty()) continue;
      const std::string TaskId = Field(Line, "ArrayTaskId");
      if (!TaskId.empty() && TaskId != Index && End.Known) continue;
      End.Known = true;
      End.State = State;
      End.Reason = Field(Line, "Reason");
      End.ExitCode = Field(Line, "ExitCode");
      if (TaskId == Index) break;
    }
    if (End.Known) return End;
  }
  const CommandResult Accounted = RunCommand({"sacct", "--noheader", "--parsable2", "--allocations",
                                              "--jobs=" + JobId, "--format=State,Reason,ExitCode"});
  if (Accounted.Started && Accounted.ExitCode == 0) {
    std::stringstream Lines(Accounted.Out);
    std::string Line;
    if (std::getline(Lines, Line) && !Line.empty()) {
      std::stringstream Parts(Line);
      std::getline(Parts, End.State, '|');
      std::getline(Parts, End.Reason, '|');
      std::getline(Parts, End.ExitCode, '|');
      // "CANCELLED by 0" names who cancelled it; the state is the first word.
      End.State = End.State.substr(0, End.State.find(' '));
      End.Known = !End.State.empty();
    }
  }
  return End;
}

bool Cancel(const std::vector<std::string>& Ids, std::string& Error) {
  if (Ids.empty()) return true;
  std::vector<std::string> Args = {"scancel"};
  Args.insert(Args.end(), Ids.begin(), Ids.end());
  const CommandResult Result = RunCommand(Args);
  if (!Result.Started || Result.ExitCode != 0) {
    Error = Result.Problem("scancel");
    return false;
  }
  return true;
}

}  // namespace vexav::cli::cluster
