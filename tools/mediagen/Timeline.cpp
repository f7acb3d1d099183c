#include "Timeline.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>

#include "binding/Text.h"

namespace vexav::mediagen {
namespace {

std::string LowerExtension(const std::string& Path) {
  std::string Ext = std::filesystem::path(Path).extension().string();
  for (char& C : Ext) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Ext;
}

}  // namespace

std::string ChooseContainer(const std::string& Path, const MediaSpec& Spec, Container& Kind) {
  const std::string Ext = LowerExtension(Path);
  if (Ext == ".avi") {
    Kind = Container::Avi;
    if (Spec.Video == VideoCodec::None && Spec.Audio == AudioCodec::None)
      return "the file would have neither video nor audio";
    return "";
  }
  if (Ext == ".mp3" || Ext == ".wav") {
    Kind = Ext == ".mp3" ? Container::Mp3 : Container::Wav;
    if (Spec.Video != VideoCodec::None) return Format("a %s file cannot hold video", Ext.c_str());
    if (Spec.Audio == AudioCodec::None) return Format("a %s file needs audio", Ext.c_str());
    if (Kind == Container::Mp3 && Spec.Audio != AudioCodec::Mp3)
      return "a .mp3 file holds MP3 audio only";
    if (Spec.AudioStreams != 1) return Format("a %s file holds exactly one audio stream", Ext.c_str());
    return "";
  }
  return Format("unsupported file extension '%s' (use .avi, .mp3 or .wav)", Ext.c_str());
}

namespace {

std::string CheckNumbers(const MediaSpec& Spec) {
  if (!(Spec.DurationSeconds > 0) || Spec.DurationSeconds > 3600)
    return Format("duration %g s is out of range (0, 3600]", Spec.DurationSeconds);
  if (Spec.Video != VideoCodec::None) {
    if (Spec.Width < 1 || Spec.Height < 1 || Spec.Width > 8192 || Spec.Height > 8192)
      return Format("picture size %dx%d is out of range", Spec.Width, Spec.Height);
    const double Fps = static_cast<double>(Spec.FrameRateNum) / Spec.FrameRateDen;
    if (Spec.FrameRateNum < 1 || Spec.FrameRateDen < 1 || Spec.FrameRateNum > 1000000 ||
        Spec.FrameRateDen > 1000000 || Fps < 0.1 || Fps > 1000)
      return Format("frame rate %d/%d is out of range", Spec.FrameRateNum, Spec.FrameRateDen);
  }
  if (Spec.Audio != AudioCodec::None) {
    if (Spec.SampleRate < 1000 || Spec.SampleRate > 384000)
      return Format("sample rate %d Hz is out of range", Spec.SampleRate);
    if (Spec.Channels < 1 || Spec.Channels > 8)
      return Format("%d channels is out of range 1..8", Spec.Channels);
    if (Spec.AudioStreams < 1 || Spec.AudioStreams > 8)
      return Format("%d audio streams is out of range 1..8", Spec.AudioStreams);
    if (!(Spec.ToneHz > 0) || Spec.ToneHz * (1 << (Spec.AudioStreams - 1)) >= Spec.SampleRate / 2.0)
      return Format("tone %g Hz does not fit sample rate %d Hz", Spec.ToneHz, Spec.SampleRate);
  }
  for (double Mark : Spec.MarkSeconds)
    if (!(Mark >= 0)) return Format("mark instant %g s is negative", Mark);
  return "";
}

int64_t RoundDiv(int64_t A, int64_t B) { return (A + B / 2) / B; }

}  // namespace

std::string PlanTimeline(const MediaSpec& Spec, Timeline& Out) {
  Out = Timeline{};
  if (Spec.Video == VideoCodec::None && Spec.Audio == AudioCodec::None)
    return "the file would have neither video nor audio";
  if (std::string Problem = CheckNumbers(Spec); !Problem.empty()) return Problem;

  const bool HasVideo = Spec.Video != VideoCodec::None;
  const bool HasAudio = Spec.Audio != AudioCodec::None;
  const double Fps = static_cast<double>(Spec.FrameRateNum) / Spec.FrameRateDen;
  if (HasVideo) Out.FrameCount = std::max<int64_t>(1, std::llround(Spec.DurationSeconds * Fps));
  if (HasAudio) Out.SampleCount = std::max<int64_t>(1, std::llround(Spec.DurationSeconds * Spec.SampleRate));

  for (double Mark : Spec.MarkSeconds) {
    if (HasVideo) {
      const int64_t Frame = std::llround(Mark * Fps);
      if (Frame >= Out.FrameCount) continue;
      // The frame's start: Frame * Den / Num seconds.
      const int64_t Num = Spec.FrameRateNum, Den = Spec.FrameRateDen;
      if (std::find(Out.FlashFrames.begin(), Out.FlashFrames.end(), Frame) != Out.FlashFrames.end()) continue;
      Out.FlashFrames.push_back(Frame);
      Out.MarkUs.push_back(RoundDiv(Frame * Den * 1000000, Num));
      if (HasAudio) {
        const int64_t Sample = RoundDiv(Frame * Den * Spec.SampleRate, Num);
        if (Sample < Out.SampleCount) Out.ClickSamples.push_back(Sample);
      }
    } else {
      const int64_t Sample = std::llround(Mark * Spec.SampleRate);
      if (Sample >= Out.SampleCount) continue;
      if (std::find(Out.ClickSamples.begin(), Out.ClickSamples.end(), Sample) != Out.ClickSamples.end()) continue;
      Out.ClickSamples.push_back(Sample);
      Out.MarkUs.push_back(RoundDiv(Sample * 1000000, Spec.SampleRate));
    }
  }
  std::sort(Out.FlashFrames.begin(), Out.FlashFrames.end());
  std::sort(Out.ClickSamples.begin(), Out.ClickSamples.end());
  std::sort(Out.MarkUs.begin(), Out.MarkUs.end());
  return "";
}

std::vector<int64_t> MarkTimesUs(const MediaSpec& Spec) {
  Timeline Plan;
  if (!PlanTimeline(Spec, Plan).empty()) return {};
  return Plan.MarkUs;
}

}  // namespace vexav::mediagen
