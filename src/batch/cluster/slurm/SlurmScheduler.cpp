#include "batch/cluster/slurm/SlurmScheduler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "batch/cluster/Command.h"

namespace vexav::batch::cluster::slurm {
namespace {

// Slurm's own MaxArraySize when the cluster's configuration does not say.
constexpr std::size_t DefaultMaxArraySize = 1001;

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

// Quoted for sh: inside single quotes, each single quote closes, is escaped
// and reopens.
std::string ShellQuoted(const std::string& Text) {
  std::string Quoted = "'";
  for (char C : Text) Quoted += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return Quoted + "'";
}

std::string Range(std::size_t First, std::size_t Count) {
  return Count == 1 ? std::to_string(First)
                    : std::to_string(First) + "-" + std::to_string(First + Count - 1);
}

// A pending task's reason that is only its turn or the CPUs it waits for.
bool RoutineReason(const std::string& Reason) {
  return Reason.empty() || Reason == "None" || Reason == "Priority" || Reason == "Resources";
}

}  // namespace

std::vector<ArrayPart> SplitIntoArrays(std::size_t First, std::size_t Count,
                                       std::size_t MaxArraySize) {
  std::vector<ArrayPart> Parts;
  if (Count == 0) return Parts;
  if (MaxArraySize == 0) MaxArraySize = 1;
  if (First + Count <= MaxArraySize) return {ArrayPart{0, First, Count}};
  for (std::size_t Done = 0; Done < Count; Done += MaxArraySize)
    Parts.push_back(ArrayPart{First + Done, 0, std::min(MaxArraySize, Count - Done)});
  return Parts;
}

std::vector<std::string> SbatchArguments(const TaskRequest& R, const ArrayPart& Part) {
  std::vector<std::string> Args = {
      "sbatch", "--parsable", "--job-name=" + R.JobName, "--array=" + Range(Part.First, Part.Count),
      "--output=" + R.Folder + "/slurm-%A_%a.out", "--chdir=" + R.Folder,
      "--cpus-per-task=" + std::to_string(R.CpusPerTask), "--ntasks=1", "--nodes=1",
      // A task that a node failure ends comes back through
      // --retries, counted by the front end, not through Slurm's requeue.
      "--no-requeue"};
  if (!R.Queue.empty()) Args.push_back("--partition=" + R.Queue);
  for (const std::string& Option : R.Options) Args.push_back(Option);
  Args.push_back(R.Script);
  // The script's argument: the batch's index of the array's index 0.
  Args.push_back(std::to_string(Part.Base));
  return Args;
}

std::map<std::string, QueuedState> ParseQueue(const std::string& Text) {
  std::map<std::string, QueuedState> Tasks;
  std::stringstream Lines(Text);
  std::string Line;
  while (std::getline(Lines, Line)) {
    // The reason may hold spaces and commas, so it comes last; the
    // separator is in none of the four.
    std::size_t Bars[3];
    std::size_t From = 0;
    bool Whole = true;
    for (std::size_t& Bar : Bars) {
      Bar = Line.find('|', From);
      if (Bar == std::string::npos) {
        Whole = false;
        break;
      }
      From = Bar + 1;
    }
    if (!Whole || Bars[0] == 0) continue;
    const std::string State = Line.substr(Bars[0] + 1, Bars[1] - Bars[0] - 1);
    const std::string Node = Line.substr(Bars[1] + 1, Bars[2] - Bars[1] - 1);
    const std::string Reason = Trimmed(Line.substr(Bars[2] + 1));
    QueuedState Task;
    Task.Pending = State == "PENDING";
    Task.Reason = Reason == "None" ? std::string() : Reason;
    Task.Routine = RoutineReason(Reason);
    if (!Task.Pending) Task.Host = Node;
    Tasks[Line.substr(0, Bars[0])] = Task;
  }
  return Tasks;
}

EndState EndFromSlurm(const std::string& State, const std::string& Reason,
                      const std::string& ExitCode) {
  EndState End;
  End.Known = !State.empty();
  End.Text = State.empty() ? std::string("unknown state") : State;
  if (!Reason.empty() && Reason != "None") End.Text += " (" + Reason + ")";
  End.ExitCode = ExitCode;
  End.Completed = End.Known && State == "COMPLETED" && ExitCode == "0:0";
  End.ByItself = End.Known && (State == "COMPLETED" || State == "FAILED");
  End.LaunchFailed = End.Known && Reason == "JobLaunchFailure";
  End.Retriable = State == "NODE_FAIL" || State == "PREEMPTED";
  return End;
}

std::size_t MaxArraySizeIn(const std::string& Config) {
  std::stringstream Lines(Config);
  std::string Line;
  while (std::getline(Lines, Line)) {
    if (Line.compare(0, 12, "MaxArraySize") != 0) continue;
    const std::size_t Equals = Line.find('=');
    if (Line.find_first_not_of(' ', 12) != Equals || Equals == std::string::npos) continue;
    const std::size_t Digits = Line.find_first_not_of(' ', Equals + 1);
    if (Digits == std::string::npos) return 0;
    const std::string Value = Trimmed(Line.substr(Digits));
    if (Value.empty() || Value.size() > 9 ||
        Value.find_first_not_of("0123456789") != std::string::npos)
      return 0;
    return std::stoul(Value);
  }
  return 0;
}

int CpusInPartitionLines(const std::string& Text, const std::string& Queue) {
  std::stringstream Lines(Text);
  std::string Line;
  long long Cpus = 0;
  while (std::getline(Lines, Line)) {
    const std::size_t Bar = Line.find('|');
    if (Bar == std::string::npos) continue;
    std::string Name = Trimmed(Line.substr(0, Bar));
    const bool Default = !Name.empty() && Name.back() == '*';
    if (Default) Name.pop_back();
    if (Queue.empty() ? !Default : Name != Queue) continue;
    // Allocated and idle CPUs are on nodes that are up; "other" ones are on
    // nodes down, drained or otherwise out of use.
    long long Allocated = -1, Idle = -1;
    char Slash1 = 0, Slash2 = 0;
    std::stringstream Counts(Trimmed(Line.substr(Bar + 1)));
    if (!(Counts >> Allocated >> Slash1 >> Idle >> Slash2) || Slash1 != '/' || Slash2 != '/' ||
        Allocated < 0 || Idle < 0)
      continue;
    Cpus += Allocated + Idle;
  }
  return static_cast<int>(std::min<long long>(Cpus, 1 << 30));
}

bool SlurmScheduler::Usable(std::string& Error) const {
  if (!FindInPath("sbatch").empty()) return true;
  Error =
      "sbatch is not in PATH: --cluster slurm submits from a machine where Slurm's commands "
      "are installed";
  return false;
}

bool SlurmScheduler::WriteTaskScript(const std::string& Path,
                                     const std::vector<std::string>& Command,
                                     std::string& Error) const {
  std::string Exec = "exec";
  for (const std::string& Word : Command) Exec += " " + ShellQuoted(Word);
  const std::string Text =
      "#!/bin/sh\n"
      "# One task of a vexav-convert batch (a file, or a piece of one): the array\n"
      "# task's index plus the batch's index of the array's first task (the\n"
      "# argument) picks it.\n"
      "VEXAV_TASK_INDEX=$((${SLURM_ARRAY_TASK_ID:?not a Slurm array task} + ${1:-0}))\n"
      "VEXAV_TASK_CPUS=${SLURM_CPUS_PER_TASK:-}\n"
      "export VEXAV_TASK_INDEX VEXAV_TASK_CPUS\n" +
      Exec + "\n";
  const int Fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
  bool Written = Fd >= 0;
  for (std::size_t Done = 0; Written && Done < Text.size();) {
    const ssize_t N = ::write(Fd, Text.data() + Done, Text.size() - Done);
    if (N < 0 && errno == EINTR) continue;
    Written = N > 0;
    if (Written) Done += static_cast<std::size_t>(N);
  }
  const int Code = errno;
  if (Fd >= 0) ::close(Fd);
  if (!Written || ::chmod(Path.c_str(), 0755) != 0) {
    Error = Path + ": " + std::strerror(Written ? errno : Code);
    return false;
  }
  return true;
}

std::size_t SlurmScheduler::MaxArraySize() {
  if (MaxArray > 0) return MaxArray;
  const CommandResult Shown = RunCommand({"scontrol", "show", "config"});
  const std::size_t Told =
      Shown.Started && Shown.ExitCode == 0 ? MaxArraySizeIn(Shown.Out) : std::size_t(0);
  MaxArray = Told > 0 ? Told : DefaultMaxArraySize;
  return MaxArray;
}

std::optional<Submission> SlurmScheduler::Submit(const TaskRequest& Request, std::size_t First,
                                                 std::size_t Count, std::string& Error) {
  Submission Made;
  for (const ArrayPart& Part : SplitIntoArrays(First, Count, MaxArraySize())) {
    const CommandResult Result = RunCommand(SbatchArguments(Request, Part));
    // "<id>" or "<id>;<cluster>".
    std::string Id = Trimmed(Result.Out);
    const std::size_t Break = Id.rfind('\n');
    if (Break != std::string::npos) Id = Id.substr(Break + 1);
    Id = Id.substr(0, Id.find(';'));
    const bool IsId = !Id.empty() && Id.find_first_not_of("0123456789") == std::string::npos;
    if (!Result.Started || Result.ExitCode != 0 || !IsId) {
      Error = !Result.Started || Result.ExitCode != 0
                  ? Result.Problem("sbatch")
                  : "sbatch answered '" + Trimmed(Result.Out) + "' instead of a job id";
      // What was submitted of the batch before goes again.
      std::string Ignored;
      Cancel(Made.Jobs, Ignored);
      return std::nullopt;
    }
    Made.Jobs.push_back(Id);
    for (std::size_t I = 0; I < Part.Count; ++I)
      Made.TaskIds.push_back(Id + "_" + std::to_string(Part.First + I));
  }
  return Made;
}

std::optional<std::map<std::string, QueuedState>> SlurmScheduler::Queued(const std::string& JobName,
                                                                         std::string& Error) {
  const CommandResult Result =
      RunCommand({"squeue", "--noheader", "--array", "--name=" + JobName, "--format=%i|%T|%N|%r"});
  if (!Result.Started || Result.ExitCode != 0) {
    Error = Result.Problem("squeue");
    return std::nullopt;
  }
  return ParseQueue(Result.Out);
}

EndState SlurmScheduler::EndOf(const std::string& TaskId) {
  const CommandResult Shown = RunCommand({"scontrol", "--oneliner", "show", "job", TaskId});
  if (Shown.Started && Shown.ExitCode == 0) {
    // An array task that was cancelled while pending may still be shown as
    // part of its array's record: the line whose ArrayTaskId matches counts.
    std::stringstream Lines(Shown.Out);
    std::string Line;
    const std::string Index = TaskId.substr(TaskId.find('_') + 1);
    bool Known = false;
    std::string State, Reason, ExitCode;
    while (std::getline(Lines, Line)) {
      const std::string LineState = Field(Line, "JobState");
      if (LineState.empty()) continue;
      const std::string ArrayIndex = Field(Line, "ArrayTaskId");
      if (!ArrayIndex.empty() && ArrayIndex != Index && Known) continue;
      Known = true;
      State = LineState;
      Reason = Field(Line, "Reason");
      ExitCode = Field(Line, "ExitCode");
      if (ArrayIndex == Index) break;
    }
    if (Known) return EndFromSlurm(State, Reason, ExitCode);
  }
  const CommandResult Accounted =
      RunCommand({"sacct", "--noheader", "--parsable2", "--allocations", "--jobs=" + TaskId,
                  "--format=State,Reason,ExitCode"});
  std::string State, Reason, ExitCode;
  if (Accounted.Started && Accounted.ExitCode == 0) {
    std::stringstream Lines(Accounted.Out);
    std::string Line;
    if (std::getline(Lines, Line) && !Line.empty()) {
      std::stringstream Parts(Line);
      std::getline(Parts, State, '|');
      std::getline(Parts, Reason, '|');
      std::getline(Parts, ExitCode, '|');
      // "CANCELLED by 0" names who cancelled it; the state is the first word.
      State = State.substr(0, State.find(' '));
    }
  }
  return EndFromSlurm(State, Reason, ExitCode);
}

bool SlurmScheduler::Cancel(const std::vector<std::string>& Ids, std::string& Error) {
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

std::string SlurmScheduler::LogPath(const std::string& Folder, const std::string& TaskId) const {
  return Folder + "/slurm-" + TaskId + ".out";
}

int SlurmScheduler::CpusOffered(const std::string& Queue) {
  std::vector<std::string> Args = {"sinfo", "--noheader", "--format=%P|%C"};
  if (!Queue.empty()) Args.push_back("--partition=" + Queue);
  const CommandResult Shown = RunCommand(Args);
  return Shown.Started && Shown.ExitCode == 0 ? CpusInPartitionLines(Shown.Out, Queue) : 0;
}

std::optional<std::size_t> SlurmScheduler::TaskIndexHere() const {
  if (const std::optional<std::size_t> Index = Scheduler::TaskIndexHere()) return Index;
  const long long Index = NumberInEnvironment("SLURM_ARRAY_TASK_ID");
  if (Index < 0) return std::nullopt;
  return static_cast<std::size_t>(Index);
}

int SlurmScheduler::TaskCpusHere() const {
  if (const int Cpus = Scheduler::TaskCpusHere(); Cpus > 0) return Cpus;
  const long long Cpus = NumberInEnvironment("SLURM_CPUS_PER_TASK");
  return Cpus > 0 && Cpus <= 4096 ? static_cast<int>(Cpus) : 0;
}

std::string SlurmScheduler::TaskIdHere() const {
  // Submit's ids are "<array job>_<array index>".
  const long long Job = NumberInEnvironment("SLURM_ARRAY_JOB_ID");
  const long long Index = NumberInEnvironment("SLURM_ARRAY_TASK_ID");
  if (Job < 0 || Index < 0) return std::string();
  return std::to_string(Job) + "_" + std::to_string(Index);
}

}  // namespace vexav::batch::cluster::slurm
