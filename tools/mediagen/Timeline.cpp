#include "Timeline.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>

#include "PictureCounter.h"
#include "binding/Text.h"

namespace vexav::mediagen {
namespace {

std::string LowerExtension(const std::string& Path) {
  std::string Ext = std::filesystem::path(Path).extension().string();
  for (char& C : Ext) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Ext;
}

}  // namespace

std::string ChooseContainer(const std::string& Path, const MediaRequest& Request, Container& Kind) {
  const std::string Ext = LowerExtension(Path);
  if (Ext == ".avi" || Ext == ".mkv") {
    Kind = Ext == ".avi" ? Container::Avi : Container::Mkv;
    if (Request.Video == VideoCodec::None && Request.Audio == AudioCodec::None)
      return "the file would have neither video nor audio";
    if (Request.FullRangeFlag && (Kind != Container::Mkv || Request.Video != VideoCodec::Mpeg4))
      return "full-range MPEG-4 pictures need a .mkv file (AVI keeps no range flag)";
    return "";
  }
  if (Ext == ".mp3" || Ext == ".wav") {
    Kind = Ext == ".mp3" ? Container::Mp3 : Container::Wav;
    if (Request.Video != VideoCodec::None) return Format("a %s file cannot hold video", Ext.c_str());
    if (Request.Audio == AudioCodec::None) return Format("a %s file needs audio", Ext.c_str());
    if (Kind == Container::Mp3 && Request.Audio != AudioCodec::Mp3)
      return "a .mp3 file holds MP3 audio only";
    if (Request.AudioStreams != 1) return Format("a %s file holds exactly one audio stream", Ext.c_str());
    return "";
  }
  return Format("unsupported file extension '%s' (use .avi, .mkv, .mp3 or .wav)", Ext.c_str());
}

namespace {

std::string CheckNumbers(const MediaRequest& Request) {
  if (!(Request.DurationSeconds > 0) || Request.DurationSeconds > 3600)
    return Format("duration %g s is out of range (0, 3600]", Request.DurationSeconds);
  if (Request.Video != VideoCodec::None) {
    if (Request.Width < 1 || Request.Height < 1 || Request.Width > 8192 || Request.Height > 8192)
      return Format("picture size %dx%d is out of range", Request.Width, Request.Height);
    const double Fps = static_cast<double>(Request.FrameRateNum) / Request.FrameRateDen;
    if (Request.FrameRateNum < 1 || Request.FrameRateDen < 1 || Request.FrameRateNum > 1000000 ||
        Request.FrameRateDen > 1000000 || Fps < 0.1 || Fps > 1000)
      return Format("frame rate %d/%d is out of range", Request.FrameRateNum, Request.FrameRateDen);
    if (Request.Counter && (Request.Width < CounterMinWidth || Request.Height < CounterMinHeight))
      return Format("a picture counter needs at least %dx%d", CounterMinWidth, CounterMinHeight);
    if (Request.DropEvery < 0 || Request.DropEvery == 1)
      return Format("dropping every %d-th picture leaves no picture", Request.DropEvery);
  }
  if (Request.Audio != AudioCodec::None) {
    if (Request.SampleRate < 1000 || Request.SampleRate > 384000)
      return Format("sample rate %d Hz is out of range", Request.SampleRate);
    if (Request.Channels < 1 || Request.Channels > 8)
      return Format("%d channels is out of range 1..8", Request.Channels);
    if (Request.AudioStreams < 1 || Request.AudioStreams > 8)
      return Format("%d audio streams is out of range 1..8", Request.AudioStreams);
    if (!(Request.ToneHz > 0) || Request.ToneHz * (1 << (Request.AudioStreams - 1)) >= Request.SampleRate / 2.0)
      return Format("tone %g Hz does not fit sample rate %d Hz", Request.ToneHz, Request.SampleRate);
  }
  for (double Mark : Request.MarkSeconds)
    if (!(Mark >= 0)) return Format("mark instant %g s is negative", Mark);
  return "";
}

int64_t RoundDiv(int64_t A, int64_t B) { return (A + B / 2) / B; }

}  // namespace

std::string PlanTimeline(const MediaRequest& Request, Timeline& Out) {
  Out = Timeline{};
  if (Request.Video == VideoCodec::None && Request.Audio == AudioCodec::None)
    return "the file would have neither video nor audio";
  if (std::string Problem = CheckNumbers(Request); !Problem.empty()) return Problem;

  const bool HasVideo = Request.Video != VideoCodec::None;
  const bool HasAudio = Request.Audio != AudioCodec::None;
  const double Fps = static_cast<double>(Request.FrameRateNum) / Request.FrameRateDen;
  if (HasVideo) Out.FrameCount = std::max<int64_t>(1, std::llround(Request.DurationSeconds * Fps));
  if (HasAudio) Out.SampleCount = std::max<int64_t>(1, std::llround(Request.DurationSeconds * Request.SampleRate));

  for (double Mark : Request.MarkSeconds) {
    if (HasVideo) {
      const int64_t Frame = std::llround(Mark * Fps);
      if (Frame >= Out.FrameCount) continue;
      // The frame's start: Frame * Den / Num seconds.
      const int64_t Num = Request.FrameRateNum, Den = Request.FrameRateDen;
      if (std::find(Out.FlashFrames.begin(), Out.FlashFrames.end(), Frame) != Out.FlashFrames.end()) continue;
      Out.FlashFrames.push_back(Frame);
      Out.MarkUs.push_back(RoundDiv(Frame * Den * 1000000, Num));
      if (HasAudio) {
        const int64_t Sample = RoundDiv(Frame * Den * Request.SampleRate, Num);
        if (Sample < Out.SampleCount) Out.ClickSamples.push_back(Sample);
      }
    } else {
      const int64_t Sample = std::llround(Mark * Request.SampleRate);
      if (Sample >= Out.SampleCount) continue;
      if (std::find(Out.ClickSamples.begin(), Out.ClickSamples.end(), Sample) != Out.ClickSamples.end()) continue;
      Out.ClickSamples.push_back(Sample);
      Out.MarkUs.push_back(RoundDiv(Sample * 1000000, Request.SampleRate));
    }
  }
  std::sort(Out.FlashFrames.begin(), Out.FlashFrames.end());
  std::sort(Out.ClickSamples.begin(), Out.ClickSamples.end());
  std::sort(Out.MarkUs.begin(), Out.MarkUs.end());
  return "";
}

std::vector<int64_t> MarkTimesUs(const MediaRequest& Request) {
  Timeline Plan;
  if (!PlanTimeline(Request, Plan).empty()) return {};
  return Plan.MarkUs;
}

}  // namespace vexav::mediagen
