#include "batch/segments/SourcePlan.h"

#include "binding/Api.h"
#include "batch/segments/PictureTimes.h"
#include "batch/segments/SoundPieces.h"
#include "component/Presets.h"

namespace vexav::batch::segments {

bool PlanSource(const TAVProbe& Probe, const std::string& Source, const PresetChoice& Choice,
                SourcePlan& Plan, std::string& Error) {
  const output::TFormatPreset& Preset = Choice.Preset();
  const std::string Ext = output::FormatExtension(Preset.ItemText);
  SourceFacts& Facts = Plan.Facts;
  Facts.VideoStreams = Probe.VideoStreamCount();
  Facts.AudioStreams = Probe.AudioStreamCount();
  if (Facts.VideoStreams > 0) Probe.GetDefaultVideoInfo(Facts.Video);
  if (Facts.AudioStreams > 0) Probe.GetDefaultAudioInfo(Facts.Audio);
  const bool AudioOnly =
      Preset.AudioOnly || output::IsAudioOnly(Ext, Source) || Facts.VideoStreams <= 0;
  if (AudioOnly && Facts.AudioStreams <= 0) {
    Error = Preset.AudioOnly && Facts.VideoStreams > 0
                ? "no audio stream to convert (the preset keeps only the sound)"
                : "no audio or video stream to convert";
    return false;
  }
  const output::TOutputSettings Settings =
      output::MakeOutputSettings(&Preset, AudioOnly, Facts.Audio, Facts.Video, Choice.MaxHeight);
  Plan.Options = output::EngineOptions(Settings);
  Plan.Note = Settings.Note;
  if (AudioOnly) Facts.VideoStreams = 0;
  const AVFormatContext* Context = Probe.Context();
  Plan.DurationUs = Context && Context->duration > 0 ? Context->duration
                    : Facts.Video.DurationUs > 0     ? Facts.Video.DurationUs
                                                     : -1;
  return true;
}

int SegmentCountFor(int Requested, const SourcePlan& Plan, int Workers, int64_t MinUs) {
  if (Requested == 0 || Plan.Facts.VideoStreams == 0 || Plan.DurationUs <= 0) return 1;
  return Requested > 0 ? Requested : AutoSegments(Plan.DurationUs, Workers, MinUs);
}

SegmentPlan PlanSegments(const std::string& Source, const SourcePlan& Plan, int Count,
                         std::string& Error) {
  // The pictures up to the last segment's start (and a little past it) say
  // where every segment starts its run.
  const int64_t UntilUs = Plan.DurationUs / Count * (Count - 1) + 1000000;
  std::vector<int64_t> Times;
  SeekCheck Seeks;
  if (!ReadPictureTimes(Source, UntilUs, Times, Error) || !Seeks.Open(Source, Error))
    return SegmentPlan{};
  SegmentPlan Made = MakeSegmentPlan(
      Plan.Options, Plan.DurationUs, Count, Plan.Facts.AudioStreams > 0, Times, Error,
      [&](int64_t SeekUs, int64_t UntilUs) { return Seeks.Faithful(SeekUs, UntilUs, Times); });
  if (Made.HasSound()) {
    SoundSource Sound;
    Sound.SampleRate = Plan.Facts.Audio.SampleRate;
    Sound.DurationUs = Plan.Facts.Audio.DurationUs;
    TAVProbe Probe;
    if (Probe.Open(Source) && Probe.FirstAudioStream() >= 0) {
      const AVStream* Stream = Probe.Context()->streams[Probe.FirstAudioStream()];
      Sound.SampleExact =
          SampleExactTimes(Stream->time_base.num, Stream->time_base.den,
                           Stream->codecpar->sample_rate, Stream->codecpar->frame_size);
      const int64_t FileStart = Probe.Context()->start_time;
      Sound.StartsWithFile =
          Stream->start_time == AV_NOPTS_VALUE
              ? FileStart == AV_NOPTS_VALUE || FileStart == 0
              : FileStart != AV_NOPTS_VALUE &&
                    ff::av_rescale_q(Stream->start_time, Stream->time_base,
                                     AVRational{1, 1000000}) == FileStart;
    }
    SplitSound(Made, Plan.Options, Sound, Plan.DurationUs);
  }
  return Made;
}

}  // namespace vexav::batch::segments
