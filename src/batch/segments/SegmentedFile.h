// One source converted in segments: what its pieces have done so far, the
// progress of the whole made of theirs, and how the file ends once every
// piece has ended.
#pragma once

#include <string>
#include <vector>

#include "batch/ConversionJob.h"
#include "batch/segments/SegmentJoin.h"
#include "batch/segments/SegmentPlan.h"

namespace vexav::batch::segments {

enum class PieceEnd { Running, Done, Failed, Stopped, NotStarted };

// How the file ends: joined whole, failed (with the first failed piece's
// message), or stopped (with the leading finished segments to keep, 0 when
// there are none, and the leading sound pieces to give them).
struct FileEnd {
  enum class Kind { Join, Failed, Stopped } Type = Kind::Join;
  std::string Message;
  int KeptSegments = 0;
  int SoundPieces = 0;
};

class SegmentedFile {
 public:
  SegmentedFile(SegmentPlan Plan, WorkFolder Folder, int64_t DurationUs);

  const SegmentPlan& Plan() const { return ThePlan; }
  const WorkFolder& Folder() const { return TheFolder; }
  void RemoveFolder() { TheFolder.Remove(); }
  // Where piece I writes.
  std::string PieceOutput(int I) const { return TheFolder.File(ThePlan.Pieces[I].FileName); }

  // Piece I reported progress; returns the progress of the whole: the
  // source time done, weighted (the sound costs far less than the
  // pictures), over the source's duration. Stays below 100% until joined.
  ProgressInfo Progress(int I, const ProgressInfo& Info);
  // Piece I ended.
  void Ended(int I, PieceEnd How, const std::string& Message);
  bool AllEnded() const;
  // Whether piece I ended having done all its work; whether any piece
  // failed.
  bool PieceDone(int I) const { return States[I].End == PieceEnd::Done; }
  bool AnyFailed() const;
  // Once AllEnded: what to do with the file.
  FileEnd Settle() const;

  // The sound's share of the work per second of source, against 1 for the
  // pictures.
  static constexpr double SoundWeight = 0.1;

 private:
  double Weight(int I) const;

  SegmentPlan ThePlan;
  WorkFolder TheFolder;
  int64_t DurationUs;
  struct State {
    PieceEnd End = PieceEnd::Running;
    std::string Message;
    int64_t DoneUs = 0;
    int Frames = 0;
    int Fps = 0;
  };
  std::vector<State> States;
};

}  // namespace vexav::batch::segments
