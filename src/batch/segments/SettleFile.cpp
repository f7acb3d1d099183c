#include "batch/segments/SettleFile.h"

#include <filesystem>
#include <system_error>

namespace vexav::batch::segments {
namespace {

FileResult Failed(const std::string& Message) {
  FileResult Result;
  Result.Outcome = FileOutcome::Failed;
  Result.Message = Message;
  return Result;
}

}  // namespace

bool CanAppend(const SegmentedFile& File, int K) {
  const SegmentPlan& Plan = File.Plan();
  if (K >= Plan.Segments() || File.AnyFailed() || !File.PieceDone(K)) return false;
  const int Sounds = StreamJoin::SoundPiecesFor(Plan, K);
  for (int J = 0; J < Sounds; ++J)
    if (!File.PieceDone(Plan.FirstSoundPiece() + J)) return false;
  return true;
}

void EndJoin(std::unique_ptr<StreamJoin> Join, const std::string& JoinError,
             SettleRequest& Request) {
  FileEnd& End = Request.End;
  if (End.Type == FileEnd::Kind::Join) {
    std::string Error = JoinError;
    if (Error.empty()) Error = Join ? Join->Finish() : "no segment was joined";
    if (!Error.empty()) {
      End.Type = FileEnd::Kind::Failed;
      End.Message = Error;
    }
    Request.JoinedBefore = true;
  } else if (End.Type == FileEnd::Kind::Stopped && Join && JoinError.empty() &&
             Join->Appended() > 0) {
    if (Join->FinishPart().empty()) {
      End.KeptSegments = Join->Appended();
      Request.JoinedBefore = true;
    }
  }
  // Whatever was not put in place goes with it.
}

FileResult SettleSegmentedFile(const SettleRequest& Request) {
  const FileEnd& End = Request.End;
  const OutputPlan& Plan = Request.Output;
  std::string JoinError;
  if (Request.JoinedBefore && !IsNonEmptyFile(Plan.WriteTo))
    JoinError = "the vexav-convert that joined its segments ended before it had settled it";
  else if (!Request.JoinedBefore && End.Type != FileEnd::Kind::Failed && End.KeptSegments > 0) {
    JoinRequest Join;
    Join.Plan = Request.Plan;
    Join.Folder = Request.WorkFolder;
    Join.Segments = End.KeptSegments;
    Join.SoundPieces = End.SoundPieces;
    Join.Output = Plan.WriteTo;
    JoinError = JoinPieces(Join, Request.MakeJob, Request.Verbose);
  }
  // The pieces are not needed any more, whatever came of them.
  if (!Request.WorkFolder.empty()) {
    std::error_code Ignored;
    std::filesystem::remove_all(Request.WorkFolder, Ignored);
  }

  if (End.Type == FileEnd::Kind::Join && JoinError.empty()) {
    if (!IsNonEmptyFile(Plan.WriteTo)) {
      DiscardOutput(Plan);
      return Failed("nothing was written");
    }
    std::string Error;
    // A rename that fails removes what it could not put in place.
    if (!CommitOutput(Plan, Error)) return Failed(Error);
    FileResult Result;
    Result.Outcome = FileOutcome::Done;
    Result.Output = Plan.Final;
    return Result;
  }
  if (End.Type != FileEnd::Kind::Stopped) {
    DiscardOutput(Plan);
    return Failed(End.Type == FileEnd::Kind::Failed ? End.Message : JoinError);
  }

  FileResult Result;
  Result.Outcome = FileOutcome::Stopped;
  if (!Request.Last) {
    // Stopped before any piece ran.
    DiscardOutput(Plan);
    Result.Outcome = FileOutcome::Canceled;
    return Result;
  }
  if (End.KeptSegments == 0 || !JoinError.empty()) {
    // There is no part to keep.
    DiscardOutput(Plan);
    Result.Message =
        End.KeptSegments == 0 ? "stopped before its first segment was converted; nothing is kept"
                              : "stopped; the segments converted could not be joined: " + JoinError;
    return Result;
  }
  // What was joined is playable, but not the whole source: kept under a
  // name that says so, never in the place of a complete one.
  const StoppedOutput Kept = KeepStoppedOutput(Plan);
  Result.Message = "stopped";
  if (const int Percent = PercentDone(*Request.Last); Percent >= 0)
    Result.Message += " at " + std::to_string(Percent) + "%";
  Result.Message += Kept.Note;
  Result.Output = Kept.Path;
  if (!Kept.Renamed) Result.Error = Kept.Error;
  return Result;
}

}  // namespace vexav::batch::segments
