#include "batch/cluster/BatchMonitor.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "batch/cluster/Command.h"
#include "batch/segments/SegmentedFile.h"
#include "batch/segments/SettleFile.h"

namespace vexav::batch::cluster {

namespace {

// How often the queue and the reports are read: one look at the scheduler's
// queue for the whole batch and one read of each running task's report per
// round.
constexpr auto PollInterval = std::chrono::milliseconds(250);
// How long a task that the scheduler saw complete successfully may take to
// show its result in the report file.
constexpr auto ResultGrace = std::chrono::seconds(60);
// The queue not answering this many rounds in a row ends the following.
constexpr int QueueFailuresTolerated = 240;

// The last non-empty line of a task's log: what the task said before
// it ended without a report (the program missing on the node, a crash).
std::string LastLogLine(const std::string& Path) {
  std::ifstream In(Path);
  std::string Line, Last;
  while (std::getline(In, Line))
    if (!Line.empty()) Last = Line;
  if (Last.size() > 300) Last = Last.substr(0, 300) + "...";
  return Last;
}

bool Exists(const std::string& Path) {
  return ::access(Path.c_str(), F_OK) == 0;
}

// One array task: what its report has said so far.
struct TaskState {
  std::unique_ptr<ReportReader> Reader;
  bool Started = false;  // the task's first report line arrived
  bool HasResult = false;
  ReportRecord Result;
  bool Ended = false;
  bool CancelAsked = false;  // its report was unreadable: the task is cancelled
  std::string Waiting;       // the scheduler's reason while it is pending
  // When the task was first seen completed without its result
  // having been read: a shared file system may show the last lines late.
  std::optional<std::chrono::steady_clock::time_point> CompletedUnseen;
};

// One file of the batch: converted in segments, its pieces.
struct FileState {
  std::unique_ptr<segments::SegmentedFile> Segments;  // null: one task converts it whole
  bool Ended = false;
  // Segmented: every piece has ended, the join (or the settling) is due.
  bool Ready = false;
  // Segmented: a piece failed, the others were cancelled.
  bool Abandoned = false;
  // Segmented, followed: the join begun as its pieces end, under this
  // front end's claim, and why it broke off; another front end holds the
  // claim; the claim taken over from one that had joined it already.
  std::unique_ptr<segments::StreamJoin> Join;
  std::string JoinError;
  bool Claimed = false;
  bool ClaimedElsewhere = false;
  bool JoinedBefore = false;
  // The progress last told (of the whole file).
  std::optional<ProgressInfo> Last;
};

// The claim on joining a segmented file, a file in the job folder made by
// the front end that joins it: "<host> <pid>" while it settles the file,
// "settled" once it has. A claim whose front end ended before it had settled
// the file (killed, its machine gone down) is taken over by the next front
// end, so that the file is settled and the job folder removed after all.
enum class JoinClaim { Mine, TakenOver, Settled, Busy, Failed };

// Writes Text to a new file beside Path and links it to Path (false when
// Path exists), or renames it over Path: the file never shows half written.
bool PutClaim(const std::string& Path, const std::string& Text, bool Replace) {
  const std::string Temporary = Path + "." + std::to_string(::getpid()) + ".new";
  {
    std::ofstream Out(Temporary, std::ios::trunc);
    Out << Text << "\n";
    if (!Out.flush()) {
      ::unlink(Temporary.c_str());
      return false;
    }
  }
  const bool Done = Replace ? ::rename(Temporary.c_str(), Path.c_str()) == 0
                            : ::link(Temporary.c_str(), Path.c_str()) == 0;
  const int Code = errno;
  ::unlink(Temporary.c_str());
  errno = Code;
  return Done;
}

JoinClaim ClaimJoin(const std::string& Claim) {
  const std::string Me = HostName() + " " + std::to_string(::getpid());
  if (PutClaim(Claim, Me, false)) return JoinClaim::Mine;
  // Gone with the job folder: another front end ended the batch.
  if (errno == ENOENT) return JoinClaim::Busy;
  if (errno != EEXIST) return JoinClaim::Failed;
  std::ifstream In(Claim);
  std::string Host, Pid;
  In >> Host >> Pid;
  if (Host == "settled") return JoinClaim::Settled;
  // A front end on another machine, or one that still runs here, settles it.
  const long Owner = std::atol(Pid.c_str());
  if (Host != HostName() || Owner <= 0 || ::kill(static_cast<pid_t>(Owner), 0) == 0 ||
      errno == EPERM)
    return JoinClaim::Busy;
  // Its front end is gone. Of the front ends that find that out, the one
  // that makes the mark takes the claim over.
  const std::string Mark = Claim + ".after-" + Pid;
  const int Fd = ::open(Mark.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (Fd < 0) return errno == EEXIST || errno == ENOENT ? JoinClaim::Busy : JoinClaim::Failed;
  ::close(Fd);
  return PutClaim(Claim, Me, true) ? JoinClaim::TakenOver : JoinClaim::Failed;
}

class Monitor {
 public:
  Monitor(Manifest& M, Scheduler& Sched, const FollowRequest& Request, BatchObserver& Output)
      : M(M),
        Sched(Sched),
        Request(Request),
        Follow(Request.Follow),
        Canceller(Request.Canceller),
        Output(Output),
        Tasks(M.Tasks.size()),
        Files(M.Files.size()) {
    for (std::size_t I = 0; I < Tasks.size(); ++I)
      Tasks[I].Reader = std::make_unique<ReportReader>(ReportPath(M.Folder, I));
    for (std::size_t I = 0; I < Files.size(); ++I) {
      const PlannedFile& File = M.Files[I];
      // The work folder is removed when the file is settled, not with this
      // object: a look that does not follow the batch leaves it to the next.
      if (File.Segmented())
        Files[I].Segments = std::make_unique<segments::SegmentedFile>(
            File.Segments, segments::WorkFolder(), File.DurationUs);
    }
    // Cancelled by the front end that submitted it, which may have left
    // before the tasks had ended: what they did was asked for.
    Cancelled = WasCancelled(M.Folder);
  }

  FollowEnd Run() {
    for (bool First = true;; First = false) {
      const bool StopNow = Request.StopRequested && Request.StopRequested();
      if (StopNow && !Canceller) return Ending(FollowEnd::Kind::LeftRunning);
      if (StopNow && !Cancelled) {
        Cancelled = true;
        Canceller->Stop();
      }
      if (Canceller)
        if (const std::string Error = Canceller->TakeError(); !Error.empty()) Output.Problem(Error);
      // Another front end followed the batch to its end and removed the
      // job folder: what is left to tell is no longer here.
      if (!Exists(ManifestPath(M.Folder))) return Ending(FollowEnd::Kind::FolderGone);
      Round();
      // A batch cancelled earlier: what still runs of it is cancelled now
      // (the front end that cancelled it may have gone before it could).
      if (First && Cancelled && !Canceller) CancelTasks(-1, false);
      if (Follow) AdvanceJoins();
      SettleReady();
      if (Remaining() == 0) break;
      if (QueueFailures >= QueueFailuresTolerated) {
        FollowEnd End = Ending(FollowEnd::Kind::GaveUp);
        End.Error = QueueError;
        return End;
      }
      if (!Follow) {
        ShowUnfinished();
        return Ending(FollowEnd::Kind::Looked);
      }
      std::this_thread::sleep_for(PollInterval);
    }
    // A file another front end is joining needs its job folder until then:
    // that front end removes it at its end.
    if (!JoinedElsewhere) {
      RemoveJobFolder(M.Folder);
      MadeFolders Made;
      Made.Adopt(M.MadeFolders);
      Made.RemoveEmpty();
    }
    return Ending(FollowEnd::Kind::Ended);
  }

 private:
  FollowEnd Ending(FollowEnd::Kind How) const {
    FollowEnd End;
    End.How = How;
    End.Failed = Failed;
    End.Cancelled = Cancelled;
    End.NotConverted = NotConverted;
    End.Remaining = Remaining();
    End.Pending = PendingFiles;
    return End;
  }

  std::size_t Remaining() const {
    std::size_t N = 0;
    for (const FileState& F : Files) N += F.Ended ? 0 : 1;
    return N;
  }

  // Cancels the tasks not ended yet: of file File, or all (-1).
  void CancelTasks(int File, bool Tell = true) {
    std::vector<std::string> Ids;
    for (std::size_t I = 0; I < Tasks.size(); ++I)
      if (!Tasks[I].Ended && (File < 0 || M.Tasks[I].File == File)) Ids.push_back(M.Tasks[I].JobId);
    std::string Error;
    if (!Ids.empty() && !Sched.Cancel(Ids, Error) && Tell) Output.Problem(Error);
  }

  const PlannedFile& FileOf(std::size_t I) const { return M.Files[M.Tasks[I].File]; }
  std::size_t FileIndex(std::size_t I) const { return static_cast<std::size_t>(M.Tasks[I].File); }
  FileState& StateOf(std::size_t I) { return Files[M.Tasks[I].File]; }
  bool IsPiece(std::size_t I) const { return M.Tasks[I].Piece >= 0; }
  // Its end was asked for: the batch was cancelled, or another piece of its
  // file failed.
  bool StopAsked(std::size_t I) { return Cancelled || StateOf(I).Abandoned; }
  // "clip.avi", or "clip.avi (segment 2 of 3)", "clip.avi (sound 1 of 3)"
  // for a piece.
  std::string TaskName(std::size_t I) const {
    std::string Name = DisplayName(FileOf(I).Source);
    if (!IsPiece(I)) return Name;
    return Name + " (" + segments::PieceName(FileOf(I).Segments, M.Tasks[I].Piece) + ")";
  }
  std::string PieceOutput(std::size_t I) const {
    return FileOf(I).WorkFolder + "/" + FileOf(I).Segments.Pieces[M.Tasks[I].Piece].FileName;
  }
  // The part of its file a stopped task reported it kept ("" when none):
  // nothing removes it, whoever follows the batch.
  std::string KeptPart(std::size_t I) const {
    const TaskState& F = Tasks[I];
    if (IsPiece(I) || !F.HasResult || F.Result.Status != "stopped") return std::string();
    return F.Result.Output;
  }

  // One look at the queue, then at the reports: a task that is gone from
  // the queue has written everything it will write before that look.
  void Round() {
    std::optional<std::map<std::string, QueuedState>> Queue = Sched.Queued(M.JobName, QueueError);
    QueueFailures = Queue ? 0 : QueueFailures + 1;
    if (!Queue && QueueFailures == 1) Output.Problem(QueueError + " (retrying)");
    // Each file's reason to wait, when a task of it is pending: one that is
    // more than a task's turn first.
    std::vector<std::optional<QueuedState>> Waits(Files.size());
    for (std::size_t I = 0; I < Tasks.size(); ++I) {
      TaskState& F = Tasks[I];
      if (F.Ended) continue;
      bool Queued = true;  // when the queue did not answer, every task may still run
      if (Queue) {
        const auto Listed = Queue->find(M.Tasks[I].JobId);
        Queued = Listed != Queue->end();
        F.Waiting.clear();
        // A task still pending has written nothing: its report is not read.
        if (Queued && Listed->second.Pending) {
          F.Waiting = Listed->second.Reason;
          std::optional<QueuedState>& Wait = Waits[FileIndex(I)];
          if (!Wait || (Wait->Routine && !Listed->second.Routine)) Wait = Listed->second;
          continue;
        }
      }
      Read(I);
      if (!F.Reader->Error().empty()) {
        if (Queued && !F.CancelAsked) {
          F.CancelAsked = true;
          std::string Ignored;
          Sched.Cancel({M.Tasks[I].JobId}, Ignored);
        }
        if (!Queued) Fail(I, F.Reader->Error());
        continue;
      }
      if (F.HasResult && F.Result.Status != "stopped") {
        Settle(I);
        continue;
      }
      if (Queued) continue;
      F.Reader->CheckComplete();
      if (!F.Reader->Error().empty()) {
        Fail(I, F.Reader->Error());
        continue;
      }
      if (F.HasResult && StopAsked(I)) {
        Settle(I);  // stopped on our request: what it kept stays
        continue;
      }
      EndedByScheduler(I);
    }
    for (std::size_t I = 0; I < Files.size(); ++I)
      if (Waits[I] && !Files[I].Ended) Output.Pending(I, Waits[I]->Reason, Waits[I]->Routine);
  }

  void Read(std::size_t I) {
    TaskState& F = Tasks[I];
    for (const ReportRecord& R : F.Reader->Poll()) {
      switch (R.Type) {
        case ReportRecord::Kind::Start:
          F.Started = true;
          Output.Started(FileIndex(I), R.StartedMs);
          break;
        case ReportRecord::Kind::Progress: {
          ProgressInfo Info;
          Info.CurrentDurationMs = R.Ms;
          Info.TotalOutputDurationMs = R.TotalMs;
          Info.FrameNumber = static_cast<int>(R.Frame);
          Info.Fps = static_cast<int>(R.Fps);
          // A piece's progress is shown as the whole file's.
          FileState& File = StateOf(I);
          File.Last = File.Segments ? File.Segments->Progress(M.Tasks[I].Piece, Info) : Info;
          Output.Progress(FileIndex(I), *File.Last);
          break;
        }
        case ReportRecord::Kind::Result:
          F.HasResult = true;
          F.Result = R;
          break;
      }
    }
  }

  // Why a task that ended without a result wrote nothing: when neither its
  // report nor the scheduler's log of it is in the job folder, its node could not
  // write there (or could not even enter it), so it could not have written
  // the output beside it either. "" when that is not so.
  std::string NothingArrived(std::size_t I, const EndState& End) const {
    if (Exists(ReportPath(M.Folder, I)) || Exists(Sched.LogPath(M.Folder, M.Tasks[I].JobId)))
      return std::string();
    const std::string Outputs = std::filesystem::path(M.Folder).parent_path().string();
    return "the output could not be written: the task's node could not write into " + M.Folder +
           " (" + Sched.DisplayName() + " ended it: " + End.Text + ", exit " + End.ExitCode +
           "); is " + Outputs + " shared with the nodes and writable there by the job's user?";
  }

  // The task is gone from the queue without a result of its own, or
  // stopped without our asking: the scheduler ended it.
  void EndedByScheduler(std::size_t I) {
    TaskState& F = Tasks[I];
    const PlannedFile& File = FileOf(I);
    const EndState End = Sched.EndOf(M.Tasks[I].JobId);
    if (StopAsked(I) && !F.Started) {
      // Cancelled by our stop before it ran.
      F.Ended = true;
      RemoveLeftovers(I);
      if (IsPiece(I)) return PieceEnded(I, segments::PieceEnd::NotStarted, "");
      StateOf(I).Ended = true;
      ++NotConverted;
      Output.NotConverted(FileIndex(I));
      return;
    }
    if (End.Completed && !F.HasResult) {
      // The task exits 0 only after writing its result: the file system has
      // not shown it yet. Wait for it a while; the output is never removed
      // then, since it may well be complete.
      const auto Now = std::chrono::steady_clock::now();
      if (!F.CompletedUnseen) F.CompletedUnseen = Now;
      if (Now - *F.CompletedUnseen < ResultGrace) return;
      if (IsPiece(I) || !IsNonEmptyFile(File.Plan.WriteTo)) {
        Fail(I, "the task completed without a result");
        return;
      }
      F.Ended = true;
      StateOf(I).Ended = true;
      ForgetAttempts(I);
      Output.Failed(FileIndex(I), "the task completed, but its result did not arrive; " +
                                      File.Plan.Final + " was left as it is");
      Failed = true;
      return;
    }
    const std::string Kept = KeptPart(I);
    if (End.Retriable && M.Tasks[I].Attempts <= M.Retries && !StateOf(I).Abandoned) {
      Resubmit(I, End, Kept);
      return;
    }
    if (!Kept.empty()) return StoppedByScheduler(I, End, Kept);
    std::string Reason;
    if ((End.ByItself || End.LaunchFailed) && !F.HasResult) {
      Reason = NothingArrived(I, End);
      if (Reason.empty()) {
        Reason = "the task ended without a result (" + End.Text + ", exit " + End.ExitCode + ")";
        const std::string Last = LastLogLine(Sched.LogPath(M.Folder, M.Tasks[I].JobId));
        if (!Last.empty()) Reason += ": " + Last;
      }
    } else if (End.Known) {
      Reason = EndedBy() + ": " + End.Text;
    } else {
      Reason = EndedBy() + ", and no longer knows why";
    }
    Fail(I, Reason);
  }

  // The scheduler stopped the task without our asking (a cancel of its own,
  // a time limit), and the task kept what it had converted: the file
  // failed, and the part stays.
  void StoppedByScheduler(std::size_t I, const EndState& End, const std::string& Kept) {
    Tasks[I].Ended = true;
    StateOf(I).Ended = true;
    RemoveLeftovers(I);
    Output.Took(FileIndex(I), Tasks[I].Result.ElapsedMs);
    const std::string Why = EndedBy() + ": " + (End.Known ? End.Text : "unknown state");
    Output.Stopped(FileIndex(I), Why + "; " + TaskReason(I), Kept, Why);
    Failed = true;
  }

  // "<scheduler> ended the task", in the name messages give it.
  std::string EndedBy() const { return Sched.DisplayName() + " ended the task"; }

  void Resubmit(std::size_t I, const EndState& End, const std::string& Kept) {
    TaskState& F = Tasks[I];
    const PlannedFile& File = FileOf(I);
    PlannedTask& Task = M.Tasks[I];
    // The attempt may well still run (its node's slurmd died, not the node):
    // it is marked given up before its own file goes, so that it cannot put
    // anything in the output's place. A part it kept stays.
    ForgetAttempts(I);
    if (IsPiece(I)) RemoveOwnOutput(PieceOutput(I));
    std::string Error;
    if (!IsPiece(I) && !File.Plan.Replaces && !Exists(File.Plan.WriteTo)) {
      // Our reservation of the name must stay while the task waits again
      // (a task of an older vexav-convert stopped there renames it away).
      const int Fd =
          ::open(File.Plan.WriteTo.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (Fd < 0) {
        Fail(I, EndedBy() + ": " + End.Text + "; " + File.Plan.WriteTo +
                    " was taken meanwhile, so it is not submitted again");
        return;
      }
      ::close(Fd);
    }
    ::unlink(ReportPath(M.Folder, I).c_str());
    F.Reader->Reset();
    F.Started = false;
    F.HasResult = false;
    const std::optional<Submission> Again = Sched.Resubmit(RequestOf(M), I, Error);
    if (!Again || Again->TaskIds.size() != 1) {
      Fail(I, EndedBy() + ": " + End.Text + "; submitting it again failed: " + Error);
      return;
    }
    Task.EarlierIds.push_back(Task.JobId);
    Task.JobId = Again->TaskIds.front();
    ++Task.Attempts;
    SaveManifest(M, Error);
    if (Canceller)
      for (const std::string& Job : Again->Jobs) Canceller->Track(Job);
    std::string Text = EndedBy() + ": " + End.Text + "; submitted again as " + Task.JobId +
                       " (attempt " + std::to_string(Task.Attempts) + " of " +
                       std::to_string(M.Retries + 1) + ")";
    if (!Kept.empty()) Text += "; the part it converted before is kept as " + Kept;
    Output.Note(FileIndex(I), TaskName(I), Text, false);
  }

  // The message alone, without the source's name: a task's message names
  // its source by the absolute path it was given.
  std::string TaskReason(std::size_t I) const {
    const std::string& Source = FileOf(I).Source;
    std::string Message = Tasks[I].Result.Message;
    if (Message.compare(0, Source.size() + 2, Source + ": ") == 0)
      Message.erase(0, Source.size() + 2);
    return Message;
  }

  // The task's result as it reported it.
  void Settle(std::size_t I) {
    TaskState& F = Tasks[I];
    F.Ended = true;
    if (F.Result.Status == "done" && !IsNonEmptyFile(F.Result.Output)) {
      Fail(I, "the task reports " + F.Result.Output +
                  ", which is not to be seen from here (is its folder shared with the nodes?)");
      return;
    }
    if (IsPiece(I)) return SettlePiece(I);
    StateOf(I).Ended = true;
    const std::size_t File = FileIndex(I);
    Output.Took(File, F.Result.ElapsedMs);
    if (F.Result.Status == "done") {
      ForgetAttempts(I);
      // Under --overwrite, the temporary name planned beside the old file
      // (the attempt wrote under its own).
      if (FileOf(I).Plan.Replaces) RemoveOwnOutput(FileOf(I).Plan.WriteTo);
      return Output.Done(File, F.Result.Output);
    }
    if (F.Result.Status == "failed") {
      RemoveLeftovers(I);
      Output.Failed(File, TaskReason(I));
      Failed = true;
      return;
    }
    // Stopped on our request.
    if (!F.Started || F.Result.Output.empty()) {
      RemoveLeftovers(I);
      if (F.Result.Message == "not converted") {
        ++NotConverted;
        return Output.NotConverted(File);
      }
      return Output.Stopped(File, TaskReason(I), std::string(), std::string());
    }
    // The part is kept; the reservation beside it goes.
    RemoveLeftovers(I);
    Output.Stopped(File, TaskReason(I), F.Result.Output, std::string());
  }

  void Fail(std::size_t I, const std::string& Reason) {
    Tasks[I].Ended = true;
    RemoveLeftovers(I);
    if (IsPiece(I)) return PieceEnded(I, segments::PieceEnd::Failed, Reason);
    StateOf(I).Ended = true;
    Output.Failed(FileIndex(I), Reason);
    Failed = true;
  }

  // A piece's result as its task reported it.
  void SettlePiece(std::size_t I) {
    const ReportRecord& Result = Tasks[I].Result;
    using segments::PieceEnd;
    ForgetAttempts(I);
    if (Result.Status == "done") return PieceEnded(I, PieceEnd::Done, "");
    if (Result.Status == "failed") {
      RemoveLeftovers(I);
      return PieceEnded(I, PieceEnd::Failed, TaskReason(I));
    }
    // Stopped on our request: what it wrote may become part of the output.
    const bool Kept = Tasks[I].Started && !Result.Output.empty();
    PieceEnded(I, Kept ? PieceEnd::Stopped : PieceEnd::NotStarted, "");
  }

  // A piece ended: the first one to fail fails the file, and the file's
  // other tasks are cancelled, since nothing of theirs would be used.
  void PieceEnded(std::size_t I, segments::PieceEnd How, const std::string& Message) {
    FileState& F = StateOf(I);
    // Ended because of the failure, not a failure of its own.
    if (How == segments::PieceEnd::Failed && F.Abandoned) How = segments::PieceEnd::Stopped;
    F.Segments->Ended(M.Tasks[I].Piece, How, Message);
    if (How == segments::PieceEnd::Failed) {
      F.Abandoned = true;
      CancelTasks(M.Tasks[I].File);
    }
    if (F.Segments->AllEnded()) F.Ready = true;
  }

  // Settles the segmented files whose pieces have all ended. A look that
  // does not follow the batch leaves them until every task of the batch has
  // ended: the join removes the pieces, so it is done once, by the look
  // that ends the batch.
  void SettleReady() {
    if (!Follow)
      for (const FileState& F : Files)
        if (!F.Ended && !F.Ready) return;
    for (std::size_t I = 0; I < Files.size(); ++I)
      if (Files[I].Ready && !Files[I].Ended) SettleSegmented(I);
  }

  // Appends to the joins of the files followed every segment whose pieces
  // have finished, in order; the first append claims the file's join.
  void AdvanceJoins() {
    for (std::size_t I = 0; I < Files.size(); ++I) {
      FileState& F = Files[I];
      if (F.Ended || !F.Segments || F.ClaimedElsewhere || F.JoinedBefore) continue;
      AdvanceJoin(I);
    }
  }

  void AdvanceJoin(std::size_t I) {
    FileState& F = Files[I];
    const PlannedFile& File = M.Files[I];
    while (F.JoinError.empty() &&
           segments::CanAppend(*F.Segments, F.Join ? F.Join->Appended() : 0)) {
      if (!F.Claimed && !TakeClaim(I)) return;
      if (F.JoinedBefore) return;
      if (!F.Join)
        F.Join = std::make_unique<segments::StreamJoin>(F.Segments->Plan(), File.WorkFolder,
                                                        File.Plan.WriteTo);
      F.JoinError = F.Join->Append();
    }
  }

  std::string ClaimPath(std::size_t I) const { return M.Folder + "/join-" + std::to_string(I); }

  // Takes the claim on file I's join for the join begun as its pieces end;
  // false when another front end holds it (or it cannot be taken now). A
  // claim taken over from a front end that ended mid-join starts the join
  // afresh, without what that one left.
  bool TakeClaim(std::size_t I) {
    FileState& F = Files[I];
    const PlannedFile& File = M.Files[I];
    const JoinClaim Claimed = ClaimJoin(ClaimPath(I));
    if (Claimed == JoinClaim::Failed) return false;
    if (Claimed == JoinClaim::Settled || Claimed == JoinClaim::Busy) {
      F.ClaimedElsewhere = true;
      return false;
    }
    F.Claimed = true;
    if (Claimed == JoinClaim::TakenOver) {
      F.JoinedBefore = !Exists(File.WorkFolder);
      if (!F.JoinedBefore) segments::RemoveStaleJoins(File.Plan.WriteTo);
    }
    return true;
  }

  // Joins the pieces of segmented file I into its output as the local run
  // does (or settles the file without them), and removes its work folder
  // in every outcome. Two front ends following one batch do not both join:
  // the first claims the file in the job folder.
  void SettleSegmented(std::size_t I) {
    FileState& F = Files[I];
    const PlannedFile& File = M.Files[I];
    F.Ended = true;
    const std::string Claim = ClaimPath(I);
    if (F.Claimed) {
      if (!F.JoinedBefore) AdvanceJoin(I);
      SettleClaimed(I, F.JoinedBefore);
      PutClaim(Claim, "settled", true);
      return;
    }
    const JoinClaim Claimed = ClaimJoin(Claim);
    if (Claimed == JoinClaim::Failed) {
      Output.Failed(
          I, Claim + ": " + std::strerror(errno) + "; its segments are left in " + File.WorkFolder);
      Failed = true;
      return;
    }
    if (Claimed == JoinClaim::Settled || Claimed == JoinClaim::Busy) {
      // Another front end settles it (or has), and nothing here may touch
      // it; while it does, it needs the job folder.
      JoinedElsewhere = JoinedElsewhere || Claimed == JoinClaim::Busy;
      return Output.Note(I, DisplayName(File.Source),
                         "settled by another " + Request.ProgramName + " following the batch",
                         true);
    }
    // A front end that took the claim over finds the pieces gone when the
    // one before it had joined them already: what it wrote is the join.
    const bool Joined = Claimed == JoinClaim::TakenOver && !Exists(File.WorkFolder);
    F.Claimed = true;
    if (!Joined) {
      if (Claimed == JoinClaim::TakenOver) segments::RemoveStaleJoins(File.Plan.WriteTo);
      AdvanceJoin(I);
    }
    SettleClaimed(I, Joined);
    PutClaim(Claim, "settled", true);
  }

  void SettleClaimed(std::size_t I, bool JoinedBefore) {
    FileState& F = Files[I];
    const PlannedFile& File = M.Files[I];
    segments::SettleRequest Settle;
    Settle.End = F.Segments->Settle();
    Settle.Plan = &File.Segments;
    Settle.WorkFolder = File.WorkFolder;
    Settle.Output = File.Plan;
    Settle.Last = F.Last;
    Settle.MakeJob = Request.MakeJob;
    Settle.Verbose = Request.Verbose;
    Settle.JoinedBefore = JoinedBefore;
    if (!JoinedBefore) segments::EndJoin(std::move(F.Join), F.JoinError, Settle);
    const FileResult Result = segments::SettleSegmentedFile(Settle);
    switch (Result.Outcome) {
      case FileOutcome::Done:
        return Output.Done(I, Result.Output);
      case FileOutcome::Failed:
        Failed = true;
        return Output.Failed(I, Result.Message);
      case FileOutcome::Canceled:
        ++NotConverted;
        return Output.NotConverted(I);
      case FileOutcome::Stopped:
        break;
    }
    if (!Cancelled) Failed = true;
    Output.Stopped(I, Result.Message, Result.Output, Result.Error);
  }

  // What an unfinished task may have left: its output (the reserved name or
  // the temporary file that was to replace the old one) and a stopped
  // output it reported, unless the task kept it as the part converted. A
  // file replaced by --overwrite is never touched. A piece's leftover is its
  // file in the work folder; the output stays reserved until the file is
  // settled.
  void RemoveLeftovers(std::size_t I) {
    const TaskState& F = Tasks[I];
    ForgetAttempts(I);
    if (IsPiece(I)) return RemoveOwnOutput(PieceOutput(I));
    const OutputPlan& Plan = FileOf(I).Plan;
    const std::string Kept = KeptPart(I);
    // (A part that could not be renamed stays under the reserved name.)
    if (Kept != Plan.WriteTo) DiscardOutput(Plan);
    if (F.HasResult && !F.Result.Output.empty() && F.Result.Status != "done" &&
        F.Result.Output != Plan.Final && F.Result.Output != Kept)
      RemoveOwnOutput(F.Result.Output);
  }

  // Each attempt of task I wrote under a name of its own beside its output
  // (or its piece): the current attempt is marked given up (so that, should
  // it still run, it cannot put anything in place; one that has ended
  // already does not care) and the names of all its attempts are removed.
  // What an attempt put in place (a finished output, a part kept) is not
  // under those names any more.
  void ForgetAttempts(std::size_t I) {
    const PlannedTask& Task = M.Tasks[I];
    const std::string Target = IsPiece(I) ? PieceOutput(I) : FileOf(I).Plan.Final;
    if (!Task.JobId.empty()) {
      MarkGivenUp(M.Folder, Task.JobId);
      RemoveOwnOutput(AttemptName(Target, Task.JobId));
    }
    for (const std::string& Id : Task.EarlierIds) RemoveOwnOutput(AttemptName(Target, Id));
  }

  // Tells each file not finished yet: pending, running (with its percent)
  // or waiting for its join.
  void ShowUnfinished() {
    PendingFiles = 0;
    for (std::size_t I = 0; I < Files.size(); ++I) {
      const FileState& F = Files[I];
      if (F.Ended) continue;
      UnfinishedFile Shown;
      if (F.Ready) {
        Shown.State = UnfinishedFile::Kind::Joining;
        Output.Unfinished(I, Shown);
        continue;
      }
      // Its tasks: the one converting it whole, or its pieces'.
      bool Started = false;
      for (std::size_t T = 0; T < Tasks.size(); ++T) {
        if (M.Tasks[T].File != static_cast<int>(I)) continue;
        Started = Started || Tasks[T].Started;
        if (Tasks[T].Ended) continue;
        if (Shown.FirstTask.empty())
          Shown.FirstTask = M.Tasks[T].JobId;
        else
          ++Shown.MoreTasks;
        if (Shown.Waiting.empty()) Shown.Waiting = Tasks[T].Waiting;
      }
      if (!Started) {
        ++PendingFiles;
        Shown.State = UnfinishedFile::Kind::Pending;
      } else {
        Shown.State = UnfinishedFile::Kind::Running;
        Shown.Percent = F.Last ? PercentDone(*F.Last) : -1;
      }
      Output.Unfinished(I, Shown);
    }
  }

  Manifest& M;
  Scheduler& Sched;
  const FollowRequest& Request;
  bool Follow;
  BatchCanceller* Canceller;
  BatchObserver& Output;
  std::vector<TaskState> Tasks;  // by array index
  std::vector<FileState> Files;
  bool Cancelled = false;
  bool JoinedElsewhere = false;  // a file was claimed by another front end
  bool Failed = false;
  int NotConverted = 0;
  std::size_t PendingFiles = 0;  // one look: files none of whose tasks has started
  int QueueFailures = 0;
  std::string QueueError;
};

}  // namespace

FollowEnd FollowBatch(Manifest& M, Scheduler& Sched, const FollowRequest& Request,
                      BatchObserver& Observer) {
  return Monitor(M, Sched, Request, Observer).Run();
}

}  // namespace vexav::batch::cluster
