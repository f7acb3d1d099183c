#include "component/TaskList.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "binding/Text.h"
#include "engine/Convert.h"
#include "engine/RunGate.h"

namespace vexav {
namespace {

// A whole number of milliseconds as microseconds; -1 ms for a text that is
// not a whole number. Values beyond the 64-bit range saturate.
int64_t RangePartUs(const std::string& Part) {
  int64_t Ms = -1;
  try {
    Ms = StrToInt64(Part);
  } catch (const std::exception&) {
    Ms = -1;
  }
  int64_t Us = 0;
  if (__builtin_mul_overflow(Ms, int64_t{1000}, &Us)) Us = Ms < 0 ? INT64_MIN : INT64_MAX;
  return Us;
}

// Line breaks of any kind (CR LF, CR, LF) as LF.
std::string UniformLineBreaks(const std::string& Text) {
  std::string Result;
  Result.reserve(Text.size());
  for (std::size_t I = 0; I < Text.size(); ++I) {
    if (Text[I] == '\r') {
      Result += '\n';
      if (I + 1 < Text.size() && Text[I + 1] == '\n') ++I;
    } else {
      Result += Text[I];
    }
  }
  return Result;
}

}  // namespace

std::vector<THookRange> ParseHookRanges(const std::string& Text) {
  std::string Rest = Trim(Text);
  std::vector<THookRange> Ranges;
  Ranges.reserve(std::count(Rest.begin(), Rest.end(), ',') + 1);
  while (!Rest.empty()) {
    const std::size_t Comma = Rest.find(',');
    const std::string Piece = Trim(Rest.substr(0, Comma));
    Rest = Comma == std::string::npos ? std::string() : Rest.substr(Comma + 1);
    const std::size_t Dash = Piece.find('-');
    const std::string StartPart = Trim(Piece.substr(0, Dash));
    const std::string EndPart = Dash == std::string::npos ? std::string() : Piece.substr(Dash + 1);
    THookRange Range;
    Range.Start = RangePartUs(StartPart);
    Range.End = RangePartUs(EndPart);
    if (Range.End >= Range.Start && Range.End >= 0) Ranges.push_back(Range);
  }
  return Ranges;
}

std::string TargetTypeName(int TargetType) {
  switch (TargetType) {
    case 1:
      return "vcd";
    case 2:
      return "svcd";
    case 3:
      return "dvd";
    default:
      return std::string();
  }
}

std::string NormTypeName(int NormType) {
  return NormType == 1 ? "pal" : NormType == 2 ? "ntsc" : "auto";
}

std::string NormDefaultName(int NormDefault) { return NormDefault == 1 ? "pal" : "ntsc"; }

// ---- TFFmpeg ---------------------------------------------------------------

TFFmpeg::TFFmpeg() : FProbe(std::make_unique<TAVProbe>()) {
  ResetInputOptions(InputOptions);
  ResetOutputOptions(OutputOptions);
}

TFFmpeg::~TFFmpeg() {
  // A worker thread may still be inside the task (the end of its run, or a
  // terminate notice); the probe goes only once none can be. From the
  // task's own worker (its terminate handler destroying it) there is
  // nothing to wait for: the worker uses nothing of the task afterwards.
  Stop();
  if (CurrentWorkerEngine != this) WaitForRun(-1);
  FProbe.reset();
}

void TFFmpeg::ApplyExtOptions(const std::string& Text) {
  std::string Rest = UniformLineBreaks(Trim(Text));
  while (!Rest.empty()) {
    const std::size_t LineEnd = Rest.find('\n');
    const std::string Line = Rest.substr(0, LineEnd);
    Rest = LineEnd == std::string::npos ? std::string() : Rest.substr(LineEnd + 1);
    if (Line.empty()) continue;
    const std::size_t Equals = Line.find('=');
    if (Equals == std::string::npos)
      SetOption(Line, std::string());
    else
      SetOption(Line.substr(0, Equals), Line.substr(Equals + 1));
  }
}

void TFFmpeg::ApplyInputOptions(const TInputOptions& Options) {
  ApplyExtOptions(Options.ExtOptions);
  SetInputFormat(Options.FileFormat);
  if (Options.StartTime > 0) SetStartTimeValue(static_cast<int64_t>(Options.StartTime) * 1000);
  if (Options.ProgramID >= 0) SetProgramId(Options.ProgramID);
}

void TFFmpeg::ApplyOutputOptions(const TOutputOptions& O) {
  ApplyExtOptions(O.ExtOptions);

  // 1. Format.
  SetOutputFormat(O.FileFormat);
  // 2, 3. Muxing.
  if (O.PacketSize > 0) SetGenericOptionInt("packetsize", O.PacketSize);
  if (O.MuxRate > 0) SetGenericOptionInt("muxrate", O.MuxRate);
  if (O.MuxDelay > 0) SetMuxMaxDelay(O.MuxDelay);
  if (O.MuxPreload > 0) SetMuxPreload(O.MuxPreload);
  // 4, 5. Audio.
  SetAudioCodec(O.AudioCodec);
  if (O.DisableAudio) AudioDisable = 1;
  if (O.AudioVolume >= 0) SetAudioVolume(O.AudioVolume);
  if (O.AudioChannels > 0) SetAudioChannels(O.AudioChannels);
  if (O.AudioSampleRate > 0) SetAudioSampleRate(O.AudioSampleRate);
  if (O.AudioBitrate > 0) SetGenericOptionInt("ab", O.AudioBitrate);
  if (O.AudioBitrateTolerance > 0) SetGenericOptionInt("abt", O.AudioBitrateTolerance);
  // 6. Audio language, sync and tag; video codec.
  AudioLanguage = O.AudioLanguage;
  SetAudioSyncMethod(O.AudioSync);
  SetAudioTag(O.AudioTag);
  SetVideoCodec(O.VideoCodec);
  if (O.DisableVideo) VideoDisable = 1;
  // 7. Picture rate, size and aspect.
  SetFrameRate(O.FrameRate);
  SetFrameSize(O.FrameSize);
  SetAspectRatio(O.FrameAspectRatio);
  // 8. Crop, then pad (the setters skip values below 0).
  SetCropTop(O.CropTop);
  SetCropBottom(O.CropBottom);
  SetCropLeft(O.CropLeft);
  SetCropRight(O.CropRight);
  SetPadTop(O.PadTop);
  SetPadBottom(O.PadBottom);
  SetPadLeft(O.PadLeft);
  SetPadRight(O.PadRight);
  // 9. Pad colour, always.
  SetPadColor(ColorToRGB(O.PadColor));
  // 10. Video rate control.
  if (O.GroupOfPictures > 0) SetGenericOptionInt("gop", O.GroupOfPictures);
  if (O.VideoBitrate > 0) SetGenericOptionInt("vb", O.VideoBitrate);
  if (O.VideoMaxRate > 0) SetGenericOptionInt("maxrate", O.VideoMaxRate);
  if (O.VideoMinRate > 0) SetGenericOptionInt("minrate", O.VideoMinRate);
  if (O.VideoBitrateTolerance > 0) SetGenericOptionInt("bt", O.VideoBitrateTolerance);
  if (O.VideoBufferSize > 0) SetGenericOptionInt("bufsize", O.VideoBufferSize);
  // 11. Video sync, tag, filters; subtitles; time stamps.
  SetVideoSyncMethod(O.VideoSync);
  SetVideoTag(O.VideoTag);
  SetVideoFilters(O.VideoFilters);
  if (O.DisableSubtitle) SubtitleDisable = 1;
  SubtitleLanguage = O.SubtitleLanguage;
  CopyTs = O.CopyTimestamp;
  // 12. Recording time.
  if (O.Duration > 0) SetRecordingTimeMs(O.Duration);
  // 13. Time stamp of the output: 0 is now.
  if (O.Timestamp >= 0) {
    const double When = O.Timestamp == 0 ? LocalDateTimeNow() : O.Timestamp;
    RecTimestamp = LocalDateTimeToUnixSeconds(When);
  }
  // 14, 15. Header fields.
  SetYear(O.Year);
  SetTrack(O.Track);
  SetTitle(RecordText(O.Title));
  SetAuthor(RecordText(O.Author));
  SetCopyright(RecordText(O.Copyright));
  SetComment(RecordText(O.Comment));
  SetAlbum(RecordText(O.Album));
  SetGenre(RecordText(O.Genre));

  // The target preset overrides what it sets.
  const std::string Target = TargetTypeName(O.TargetType);
  if (!Target.empty()) SetTarget(Target, NormTypeName(O.NormType), NormDefaultName(O.NormDefault));
}

// ---- TFFmpegList -----------------------------------------------------------

TFFmpegList::~TFFmpegList() { Clear(); }

TFFmpeg& TFFmpegList::Items(int I) const {
  if (I < 0 || I >= Count()) throw std::out_of_range(Format("List index out of bounds (%d)", I));
  return *FItems[static_cast<std::size_t>(I)];
}

int TFFmpegList::Add(std::unique_ptr<TFFmpeg> Task) {
  const int Position = Count();
  Task->Index = Position;
  FItems.push_back(std::move(Task));
  return Position;
}

void TFFmpegList::Delete(int I) {
  // Out of the list first, then freed: the list never holds a task that is
  // being destroyed.
  Extract(I).reset();
}

void TFFmpegList::Clear() { ExtractAll().clear(); }

std::unique_ptr<TFFmpeg> TFFmpegList::Extract(int I) {
  if (I < 0 || I >= Count()) throw std::out_of_range(Format("List index out of bounds (%d)", I));
  std::unique_ptr<TFFmpeg> Gone = std::move(FItems[static_cast<std::size_t>(I)]);
  FItems.erase(FItems.begin() + I);
  for (int J = I; J < Count(); ++J) FItems[static_cast<std::size_t>(J)]->Index = J;
  return Gone;
}

std::vector<std::unique_ptr<TFFmpeg>> TFFmpegList::ExtractAll() {
  std::vector<std::unique_ptr<TFFmpeg>> Gone;
  Gone.swap(FItems);
  return Gone;
}

TFFmpeg* TFFmpegList::FindByThreadID(TThreadID ID) const {
  if (ID == 0) return nullptr;
  TFFmpeg* Latest = nullptr;
  for (const auto& Task : FItems) {
    if (Task->ThreadID.load(std::memory_order_acquire) != ID) continue;
    if (Task->Running) return Task.get();
    if (!Latest || Task->FStartSequence.load() > Latest->FStartSequence.load()) Latest = Task.get();
  }
  return Latest;
}

}  // namespace vexav
