#include "batch/segments/SegmentJoin.h"

#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "binding/Api.h"
#include "batch/segments/SoundPieces.h"
#include "component/AVProbe.h"

namespace vexav::batch::segments {
namespace {

constexpr const char* ListName = "pictures.txt";

std::string SegmentName(const SegmentPlan& Plan, int K) {
  return PieceName(Plan, K);
}

// The demuxer's list: each segment by its plain name (the list's own folder
// is where the demuxer looks), where its kept part begins, and how long that
// part is, so that each segment starts exactly at its first frame's time
// (as a sum of the files' own durations, it would depend on how their
// containers round the encoder's delay).
bool WriteList(const JoinRequest& Request, std::string& Error) {
  const SegmentPlan& Plan = *Request.Plan;
  const std::string Path = Request.Folder + "/" + ListName;
  std::ofstream List(Path, std::ios::trunc);
  for (int K = 0; K < Request.Segments; ++K) {
    const Piece& P = Plan.Pieces[K];
    List << "file '" << P.FileName << "'\n";
    if (P.LeadFrames > 0)
      List << "inpoint " << TimeText(Plan.Rate.FrameTimeUs(P.LeadFrames)) << "\n";
    if (P.Frames >= 0)
      List << "duration "
           << TimeText(Plan.Rate.FrameTimeUs(P.FirstFrame + P.Frames) -
                       Plan.Rate.FrameTimeUs(P.FirstFrame))
           << "\n";
  }
  List.close();
  if (!List) Error = Path + ": cannot be written";
  return static_cast<bool>(List);
}

}  // namespace

WorkFolder::WorkFolder(WorkFolder&& Other) noexcept : Folder(std::move(Other.Folder)) {
  Other.Folder.clear();
}

WorkFolder& WorkFolder::operator=(WorkFolder&& Other) noexcept {
  if (this != &Other) {
    Remove();
    Folder = std::move(Other.Folder);
    Other.Folder.clear();
  }
  return *this;
}

bool WorkFolder::Make(const std::string& OutputPath, std::string& Error) {
  Remove();
  const std::filesystem::path Parent = std::filesystem::path(OutputPath).parent_path();
  std::string Template =
      (Parent.empty() ? std::string(".") : Parent.string()) + "/.vexav-seg-XXXXXX";
  if (!::mkdtemp(Template.data())) {
    Error = Template.substr(0, Template.size() - 6) +
            "...: cannot make the segments' work folder: " + std::strerror(errno);
    return false;
  }
  Folder = std::filesystem::absolute(Template).string();
  return true;
}

void WorkFolder::Remove() {
  if (Folder.empty()) return;
  std::error_code Code;
  std::filesystem::remove_all(Folder, Code);
  Folder.clear();
}

int64_t PictureCount(const std::string& Path) {
  TAVProbe Probe;
  if (!Probe.Open(Path) || Probe.FirstVideoStream() < 0) return -1;
  const AVStream* Stream = Probe.Context()->streams[Probe.FirstVideoStream()];
  return Stream->nb_frames > 0 ? Stream->nb_frames : -1;
}

std::string JoinPieces(const JoinRequest& Request, const JobFactory& MakeJob, bool Verbose) {
  const SegmentPlan& Plan = *Request.Plan;
  if (Request.Segments < 1 || Request.Segments > Plan.Segments()) return "no segment to join";
  for (int K = 0; K < Request.Segments; ++K) {
    const Piece& P = Plan.Pieces[K];
    if (P.Frames < 0) continue;
    const int64_t Count = PictureCount(Request.Folder + "/" + P.FileName);
    if (Count != P.LeadFrames + P.Frames)
      return SegmentName(Plan, K) + " holds " + std::to_string(Count - P.LeadFrames) +
             " pictures instead of " + std::to_string(P.Frames) +
             ": the source ends before its stated duration";
  }
  std::string Error;
  if (!WriteList(Request, Error)) return Error;

  try {
    std::unique_ptr<ConversionJob> Job = MakeJob(Verbose);
    Job->SetOption("f", "concat");
    if (!Job->OpenInputFile(Request.Folder + "/" + ListName)) return Job->LastError();
    Job->SetOption("map", "0:0");
    if (Request.SoundPieces > 0) {
      // The sound in pieces is joined first into one file (its packets
      // copied); a whole-file sound piece is that file already.
      std::string Sound = Request.Folder + "/" + Plan.Pieces[Plan.FirstSoundPiece()].FileName;
      if (Plan.Sound.InPieces()) {
        Sound = Request.Folder + "/" + JoinedSoundName(Plan);
        const std::string Error =
            JoinSoundPieces(Plan, Request.Folder, Request.SoundPieces, Sound);
        if (!Error.empty()) return "the sound could not be joined: " + Error;
        // The engine counts an input's times from its start. Matroska
        // states the priming's time before zero as its start (MPEG-4 does
        // not): that start is given back, so that the sound's times are
        // those the whole run's encoder gave (and the output's pictures
        // start where the whole run's do).
        TAVProbe Probe;
        if (Probe.Open(Sound) && Probe.Context()->start_time != AV_NOPTS_VALUE &&
            Probe.Context()->start_time < 0)
          Job->SetOption("itsoffset", "-" + TimeText(-Probe.Context()->start_time));
      }
      if (!Job->OpenInputFile(Sound)) return Job->LastError();
      Job->SetOption("map", "1:0");
      Job->SetOption("acodec", "copy");
    }
    Job->SetOption("vcodec", "copy");
    // The part of a stopped conversion: the sound may run on past the
    // pictures kept.
    if (Request.Segments < Plan.Segments()) {
      const Piece& Next = Plan.Pieces[Request.Segments];
      Job->SetOption("t", TimeText(Plan.Rate.FrameTimeUs(Next.FirstFrame)));
    }
    if (!Job->OpenOutputFile(Request.Output)) return Job->LastError();
    const RunOutcome Outcome = Job->Run(nullptr);
    if (!Outcome.Succeeded())
      return Outcome.ErrorMessage.empty() ? "the segments could not be joined"
                                          : Outcome.ErrorMessage;
  } catch (const std::exception& E) {
    return E.what();
  }
  return std::string();
}

}  // namespace vexav::batch::segments
