#include "batch/segments/SegmentedFile.h"

#include <algorithm>

namespace vexav::batch::segments {

SegmentedFile::SegmentedFile(SegmentPlan Plan, WorkFolder Folder, int64_t DurationUs)
    : ThePlan(std::move(Plan)),
      TheFolder(std::move(Folder)),
      DurationUs(DurationUs),
      States(ThePlan.Pieces.size()) {}

double SegmentedFile::Weight(int I) const {
  return ThePlan.Pieces[I].Type == Piece::Kind::Sound ? SoundWeight : 1.0;
}

ProgressInfo SegmentedFile::Progress(int I, const ProgressInfo& Info) {
  State& S = States[I];
  S.DoneUs = std::clamp<int64_t>(Info.CurrentDurationMs * 1000, 0, ThePlan.Pieces[I].SpanUs);
  if (ThePlan.Pieces[I].Type == Piece::Kind::Picture) {
    S.Frames = std::max(Info.FrameNumber, 0);
    S.Fps = std::max(Info.Fps, 0);
  }
  ProgressInfo Whole;
  double Done = 0, Total = 0;
  Whole.FrameNumber = 0;
  Whole.Fps = 0;
  for (size_t P = 0; P < States.size(); ++P) {
    Done += Weight(static_cast<int>(P)) * static_cast<double>(States[P].DoneUs);
    Total += Weight(static_cast<int>(P)) * static_cast<double>(ThePlan.Pieces[P].SpanUs);
    Whole.FrameNumber += States[P].Frames;
    if (States[P].End == PieceEnd::Running) Whole.Fps += States[P].Fps;
  }
  const int64_t DurationMs = DurationUs / 1000;
  Whole.TotalOutputDurationMs = DurationMs;
  // The join is still to come: 99% at most until it is done.
  const double Share = Total > 0 ? Done / Total : 0.0;
  Whole.CurrentDurationMs =
      std::min<int64_t>(static_cast<int64_t>(Share * DurationMs), DurationMs * 99 / 100);
  Whole.BitRate = Info.BitRate;
  Whole.Quality = Info.Quality;
  return Whole;
}

void SegmentedFile::Ended(int I, PieceEnd How, const std::string& Message) {
  States[I].End = How;
  States[I].Message = Message;
  if (How == PieceEnd::Done) States[I].DoneUs = ThePlan.Pieces[I].SpanUs;
}

bool SegmentedFile::AllEnded() const {
  return std::none_of(States.begin(), States.end(),
                      [](const State& S) { return S.End == PieceEnd::Running; });
}

bool SegmentedFile::AnyFailed() const {
  return std::any_of(States.begin(), States.end(),
                     [](const State& S) { return S.End == PieceEnd::Failed; });
}

FileEnd SegmentedFile::Settle() const {
  FileEnd End;
  for (size_t I = 0; I < States.size(); ++I) {
    if (States[I].End != PieceEnd::Failed) continue;
    End.Type = FileEnd::Kind::Failed;
    End.Message = PieceName(ThePlan, static_cast<int>(I)) + ": " + States[I].Message;
    return End;
  }
  const int Segments = ThePlan.Segments();
  while (End.KeptSegments < Segments && States[End.KeptSegments].End == PieceEnd::Done)
    ++End.KeptSegments;
  // The leading sound pieces that ended, and one stopped part-way after
  // them: a playable file still, the part kept gets what there is of it.
  const int Sounds = ThePlan.SoundPieces();
  const int FirstSound = ThePlan.FirstSoundPiece();
  while (End.SoundPieces < Sounds && States[FirstSound + End.SoundPieces].End == PieceEnd::Done)
    ++End.SoundPieces;
  if (End.SoundPieces < Sounds) {
    const State& Next = States[FirstSound + End.SoundPieces];
    if (Next.End == PieceEnd::Stopped && Next.DoneUs > 0) ++End.SoundPieces;
  }
  const bool Whole = End.KeptSegments == Segments &&
                     std::all_of(States.begin() + FirstSound, States.end(),
                                 [](const State& S) { return S.End == PieceEnd::Done; });
  End.Type = Whole ? FileEnd::Kind::Join : FileEnd::Kind::Stopped;
  return End;
}

}  // namespace vexav::batch::segments
