#include "cli/ProbeCommand.h"

#include <cstring>
#include <exception>

#include "binding/Api.h"
#include "cli/JsonWriter.h"
#include "component/AVProbe.h"

namespace vexav::cli {
namespace {

const char* MediaTypeName(AVMediaType Type) {
  switch (Type) {
    case AVMEDIA_TYPE_VIDEO:
      return "video";
    case AVMEDIA_TYPE_AUDIO:
      return "audio";
    case AVMEDIA_TYPE_SUBTITLE:
      return "subtitle";
    case AVMEDIA_TYPE_DATA:
      return "data";
    case AVMEDIA_TYPE_ATTACHMENT:
      return "attachment";
    default:
      return "unknown";
  }
}

template <std::size_t Size>
std::string FieldText(const char (&Field)[Size]) {
  return std::string(Field, ::strnlen(Field, Size));
}

// The members every stream has: codec, language, start time, duration and
// bit rate; all but the codec are left out when unknown.
struct CommonFields {
  std::string Codec;
  std::string Language;
  int64_t StartTime = AV_NOPTS_VALUE;
  int64_t StartTimeUs = -1;
  int64_t Duration = AV_NOPTS_VALUE;
  int64_t DurationUs = -1;
  int64_t BitRate = 0;
};

template <typename TInfo>
CommonFields CommonOf(const TInfo& Info) {
  return {FieldText(Info.CodecName),
          FieldText(Info.Language),
          Info.StartTime,
          Info.StartTimeUs,
          Info.Duration,
          Info.DurationUs,
          Info.BitRate};
}

// Streams the probe has no query for (subtitles, data, attachments) are
// read from the stream itself.
CommonFields CommonOf(const AVStream* Stream) {
  CommonFields F;
  F.Codec = ff::avcodec_get_name(Stream->codecpar->codec_id);
  if (const AVDictionaryEntry* L = ff::av_dict_get(Stream->metadata, "language", nullptr, 0))
    F.Language = L->value;
  const AVRational Us{1, 1000000};
  F.StartTime = Stream->start_time;
  if (F.StartTime != AV_NOPTS_VALUE)
    F.StartTimeUs = ff::av_rescale_q(F.StartTime, Stream->time_base, Us);
  F.Duration = Stream->duration;
  if (F.Duration != AV_NOPTS_VALUE)
    F.DurationUs = ff::av_rescale_q(F.Duration, Stream->time_base, Us);
  F.BitRate = Stream->codecpar->bit_rate;
  return F;
}

void WriteCommon(JsonWriter& W, const CommonFields& F) {
  W.Key("codec").String(F.Codec);
  if (!F.Language.empty()) W.Key("language").String(F.Language);
  if (F.StartTime != AV_NOPTS_VALUE) W.Key("start_time_us").Int(F.StartTimeUs);
  if (F.Duration != AV_NOPTS_VALUE) W.Key("duration_us").Int(F.DurationUs);
  if (F.BitRate > 0) W.Key("bit_rate").Int(F.BitRate);
}

void WriteStream(JsonWriter& W, const TAVProbe& Probe, int Index) {
  const AVStream* Stream = Probe.Context()->streams[Index];
  AVMediaType Type = Stream->codecpar->codec_type;
  W.BeginObject();
  W.Key("index").Int(Index);
  W.Key("type").String(MediaTypeName(Type));
  if (Type == AVMEDIA_TYPE_VIDEO) {
    TVideoStreamInfo Info;
    Probe.GetVideoInfo(Index, Info);
    WriteCommon(W, CommonOf(Info));
    W.Key("width").Int(Info.Width);
    W.Key("height").Int(Info.Height);
    W.Key("display_aspect").Float(Info.DisplayAspect);
    if (const char* Name = ff::av_get_pix_fmt_name(static_cast<AVPixelFormat>(Info.PixelFormat)))
      W.Key("pixel_format").String(Name);
    if (Info.FrameRateNum > 0 && Info.FrameRateDen > 0)
      W.Key("frame_rate")
          .String(std::to_string(Info.FrameRateNum) + "/" + std::to_string(Info.FrameRateDen));
  } else if (Type == AVMEDIA_TYPE_AUDIO) {
    TAudioStreamInfo Info;
    Probe.GetAudioInfo(Index, Info);
    WriteCommon(W, CommonOf(Info));
    if (Info.Channels > 0) W.Key("channels").Int(Info.Channels);
    if (Info.SampleRate > 0) W.Key("sample_rate").Int(Info.SampleRate);
    if (const char* Name =
            ff::av_get_sample_fmt_name(static_cast<AVSampleFormat>(Info.SampleFormat)))
      W.Key("sample_format").String(Name);
  } else {
    WriteCommon(W, CommonOf(Stream));
  }
  W.EndObject();
}

}  // namespace

std::string ProbeJson(const TAVProbe& Probe, const std::string& File) {
  const AVFormatContext* Context = Probe.Context();
  JsonWriter W;
  W.BeginObject();
  W.Key("file").String(File);
  if (Context->iformat) W.Key("format").String(Context->iformat->name);
  if (Context->duration != AV_NOPTS_VALUE) W.Key("duration_us").Int(Context->duration);
  W.Key("streams").BeginArray();
  for (int I = 0; I < Probe.StreamCount(); ++I) WriteStream(W, Probe, I);
  W.EndArray();
  W.EndObject();
  return W.Text();
}

std::string OneLine(const std::string& Text) {
  std::string Result;
  std::size_t Pos = 0;
  while (Pos < Text.size()) {
    char C = Text[Pos];
    if (C != '\r' && C != '\n') {
      Result += C;
      ++Pos;
      continue;
    }
    while (Pos < Text.size() &&
           (Text[Pos] == '\r' || Text[Pos] == '\n' || Text[Pos] == ' ' || Text[Pos] == '\t'))
      ++Pos;
    if (Pos < Text.size()) Result += ' ';
  }
  return Result;
}

std::string FileMessage(const std::string& File, const std::string& Reason) {
  std::string Message = OneLine(Reason);
  if (Message.empty()) Message = "unknown error";
  if (Message.compare(0, File.size() + 2, File + ": ") != 0) Message = File + ": " + Message;
  return Message;
}

int RunProbe(const std::vector<std::string>& Files, std::FILE* Out, std::FILE* Err) {
  int Status = 0;
  TAVProbe Probe;
  for (const std::string& File : Files) {
    std::string Reason;
    try {
      if (Probe.Open(File)) {
        std::string Line = ProbeJson(Probe, File) + "\n";
        std::fputs(Line.c_str(), Out);
        std::fflush(Out);
        Probe.Close();
        continue;
      }
      Reason = Probe.LastError();
    } catch (const std::exception& E) {
      Reason = E.what();
    }
    // The probe's texts start with the file's name already.
    std::fputs((FileMessage(File, Reason) + "\n").c_str(), Err);
    std::fflush(Err);
    Status = 1;
  }
  return Status;
}

}  // namespace vexav::cli
