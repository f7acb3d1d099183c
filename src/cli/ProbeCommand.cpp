#include "cli/ProbeCommand.h"

#include <cstring>
#include <exception>

#include "batch/Json.h"
#include "binding/Api.h"
#include "component/AVProbe.h"

namespace vexav::cli {

using batch::Json;
using batch::JsonFloat;
using batch::JsonStringValue;
using batch::JsonText;
using batch::PutFileName;

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

void WriteCommon(Json& W, const CommonFields& F) {
  W["codec"] = JsonStringValue(F.Codec);
  if (!F.Language.empty()) W["language"] = JsonStringValue(F.Language);
  if (F.StartTime != AV_NOPTS_VALUE) W["start_time_us"] = F.StartTimeUs;
  if (F.Duration != AV_NOPTS_VALUE) W["duration_us"] = F.DurationUs;
  if (F.BitRate > 0) W["bit_rate"] = F.BitRate;
}

Json StreamJson(const TAVProbe& Probe, int Index) {
  const AVStream* Stream = Probe.Context()->streams[Index];
  AVMediaType Type = Stream->codecpar->codec_type;
  Json W = Json::object();
  W["index"] = Index;
  W["type"] = MediaTypeName(Type);
  if (Type == AVMEDIA_TYPE_VIDEO) {
    TVideoStreamInfo Info;
    Probe.GetVideoInfo(Index, Info);
    WriteCommon(W, CommonOf(Info));
    W["width"] = Info.Width;
    W["height"] = Info.Height;
    W["display_aspect"] = JsonFloat(Info.DisplayAspect);
    if (const char* Name = ff::av_get_pix_fmt_name(static_cast<AVPixelFormat>(Info.PixelFormat)))
      W["pixel_format"] = JsonStringValue(Name);
    if (Info.FrameRateNum > 0 && Info.FrameRateDen > 0)
      W["frame_rate"] = std::to_string(Info.FrameRateNum) + "/" + std::to_string(Info.FrameRateDen);
  } else if (Type == AVMEDIA_TYPE_AUDIO) {
    TAudioStreamInfo Info;
    Probe.GetAudioInfo(Index, Info);
    WriteCommon(W, CommonOf(Info));
    if (Info.Channels > 0) W["channels"] = Info.Channels;
    if (Info.SampleRate > 0) W["sample_rate"] = Info.SampleRate;
    if (const char* Name =
            ff::av_get_sample_fmt_name(static_cast<AVSampleFormat>(Info.SampleFormat)))
      W["sample_format"] = JsonStringValue(Name);
  } else {
    WriteCommon(W, CommonOf(Stream));
  }
  return W;
}

}  // namespace

std::string ProbeJson(const TAVProbe& Probe, const std::string& File) {
  const AVFormatContext* Context = Probe.Context();
  Json W = Json::object();
  PutFileName(W, "file", File);
  if (Context->iformat) W["format"] = JsonStringValue(Context->iformat->name);
  if (Context->duration != AV_NOPTS_VALUE) W["duration_us"] = Context->duration;
  Json Streams = Json::array();
  for (int I = 0; I < Probe.StreamCount(); ++I) Streams.push_back(StreamJson(Probe, I));
  W["streams"] = std::move(Streams);
  return JsonText(W);
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
