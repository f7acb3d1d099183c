#include "component/AVProbe.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "binding/Api.h"
#include "binding/ErrorText.h"
#include "binding/LogLevels.h"
#include "binding/OpenInput.h"
#include "binding/Text.h"

namespace vexav {
namespace {

constexpr std::size_t MaxFileNameLength = 1024;

// Copies Source into a fixed field: zero-padded, at most Size - 1
// characters, so the field always ends with a zero.
template <std::size_t Size>
void CopyName(char (&Field)[Size], const char* Source) {
  std::memset(Field, 0, Size);
  if (!Source) return;
  std::size_t Length = ::strnlen(Source, Size - 1);
  std::memcpy(Field, Source, Length);
}

int ClampToInt(int64_t Value) {
  return static_cast<int>(std::clamp<int64_t>(Value, INT_MIN, INT_MAX));
}

int64_t ToMicroseconds(int64_t Value, AVRational TimeBase) {
  if (Value == AV_NOPTS_VALUE) return -1;
  return ff::av_rescale_q(Value, TimeBase, AVRational{1, 1000000});
}

// The fields every stream record starts with: language, codec name, start
// time and duration.
template <typename TInfo>
void FillCommon(const AVStream* Stream, TInfo& Info) {
  const AVDictionaryEntry* Language = ff::av_dict_get(Stream->metadata, "language", nullptr, 0);
  CopyName(Info.Language, Language ? Language->value : nullptr);
  CopyName(Info.CodecName, ff::avcodec_get_name(Stream->codecpar->codec_id));
  Info.StartTime = Stream->start_time;
  Info.StartTimeUs = ToMicroseconds(Stream->start_time, Stream->time_base);
  Info.Duration = Stream->duration;
  Info.DurationUs = ToMicroseconds(Stream->duration, Stream->time_base);
}

// Width x sample aspect ratio / Height, in double precision. An unknown
// sample aspect ratio (0/1), a zero denominator or a zero height give 0.
float DisplayAspectOf(int Width, int Height, AVRational SampleAspect) {
  if (SampleAspect.den == 0 || Height == 0) return 0.0f;
  double Aspect = static_cast<double>(Width) * SampleAspect.num / SampleAspect.den / Height;
  return static_cast<float>(Aspect);
}

// A stream kind the queries look for, with the log texts of its failures.
struct StreamKind {
  AVMediaType Type;
  const char* NoStream;   // no stream of the kind in the file
  const char* WrongKind;  // "%d": the index of a stream of another kind
};

const StreamKind AudioKind{AVMEDIA_TYPE_AUDIO, "no audio stream.\n",
                           "stream #%d is not audio stream.\n"};
const StreamKind VideoKind{AVMEDIA_TYPE_VIDEO, "no video stream.\n",
                           "stream #%d is not video stream.\n"};

// Resolves Index (-1: the first stream of the kind) and checks that it
// names a stream of Kind. On failure writes the reason to the library log
// and returns nullptr.
const AVStream* FindStream(AVFormatContext* Context, int& Index, int FirstOfKind, int StreamCount,
                           const StreamKind& Kind) {
  if (!Context) {
    ff::av_log(nullptr, LibraryLogLevel(1), "file not loaded.\n");
    return nullptr;
  }
  if (Index < 0) {
    Index = FirstOfKind;
    if (Index < 0) {
      ff::av_log(nullptr, LibraryLogLevel(0), "%s", Kind.NoStream);
      return nullptr;
    }
  } else if (Index >= StreamCount) {
    ff::av_log(nullptr, LibraryLogLevel(0), "stream index #%d is invalid.\n", Index);
    return nullptr;
  }
  const AVStream* Stream = Context->streams[Index];
  if (Stream->codecpar->codec_type != Kind.Type) {
    ff::av_log(nullptr, LibraryLogLevel(0), Kind.WrongKind, Index);
    return nullptr;
  }
  return Stream;
}

}  // namespace

std::string FormatOpenError(const std::string& FileName, int Code) {
  return LibraryErrorText(FileName, Code);
}

TAVProbe::TAVProbe() = default;

TAVProbe::~TAVProbe() {
  Close();
}

bool TAVProbe::LoadLibraries(const std::string& Folder, bool Versioned) {
  if (AVCodecHlpr::LibLoaded() && AVFormatHlpr::LibLoaded() && AVUtilHlpr::LibLoaded() &&
      SwScaleHlpr::LibLoaded())
    return true;
  std::string LoaderError;
  bool Ok = AVCodecHlpr::LoadLib(LoaderError, Folder, Versioned, true) &&
            AVFormatHlpr::LoadLib(LoaderError, Folder, Versioned, true) &&
            AVUtilHlpr::LoadLib(LoaderError, Folder, Versioned) &&
            SwScaleHlpr::LoadLib(LoaderError, Folder, Versioned);
  if (!Ok) {
    FLastError = LoaderError;
    UnloadLibraries();
  }
  return Ok;
}

void TAVProbe::UnloadLibraries() {
  AVCodecHlpr::UnloadLib();
  AVFormatHlpr::UnloadLib();
  AVUtilHlpr::UnloadLib();
  SwScaleHlpr::UnloadLib();
}

void TAVProbe::CheckLibraries() {
  if (!AVCodecHlpr::LibLoaded()) throw ELibraryNotLoaded("LibAVCodec not loaded.");
  if (!AVFormatHlpr::LibLoaded()) throw ELibraryNotLoaded("LibAVFormat not loaded.");
  if (!AVUtilHlpr::LibLoaded()) throw ELibraryNotLoaded("LibAVUtil not loaded.");
  if (!SwScaleHlpr::LibLoaded()) throw ELibraryNotLoaded("LibSwScale not loaded.");
}

bool TAVProbe::Open(const std::string& FileName, const std::string& FormatName) {
  CheckLibraries();
  Close();

  const AVInputFormat* Forced = nullptr;
  if (!FormatName.empty()) {
    Forced = ff::av_find_input_format(FormatName.c_str());
    if (!Forced) {
      FLastError = Format("Unknown input format: %s", FormatName.c_str());
      return false;
    }
  }

  FContext = ff::avformat_alloc_context();
  if (!FContext) {
    FLastError = FormatOpenError(FileName, AVERROR(ENOMEM));
    return false;
  }
  FOwnsContext = true;

  // Today's library has no block of format parameters to hand over when
  // opening; demuxer settings would go in the options dictionary, and the
  // probe has none to give.
  InputOpenResult Opened = OpenInputFile(&FContext, FileName, Forced, nullptr);
  if (!Opened.Ok()) {
    // The library has freed the context already and cleared the pointer.
    FLastError = FormatOpenError(FileName, Opened.TextCode);
    Close();
    return false;
  }

  if (ff::avformat_find_stream_info(FContext, nullptr) < 0) {
    FLastError = Format("%s: could not find codec parameters", FileName.c_str());
    Close();
    return false;
  }

  Summarize();
  FFormatName = FormatName;
  return true;
}

void TAVProbe::Attach(AVFormatContext* AContext) {
  CheckLibraries();
  Close();
  FOwnsContext = false;
  FContext = AContext;
  Summarize();
}

void TAVProbe::Close() {
  FFormatName.clear();
  if (FContext && FOwnsContext) ff::avformat_close_input(&FContext);
  FContext = nullptr;
  FOwnsContext = false;
  Summarize();
}

void TAVProbe::Summarize() {
  FStreamCount = FProgramCount = -1;
  FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = -1;
  FFirstAudioStream = FFirstVideoStream = FFirstSubtitleStream = -1;
  if (!FContext) return;

  FStreamCount = static_cast<int>(FContext->nb_streams);
  FProgramCount = static_cast<int>(FContext->nb_programs);
  FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = 0;
  for (int I = 0; I < FStreamCount; ++I) {
    switch (FContext->streams[I]->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        ++FVideoStreamCount;
        if (FFirstVideoStream < 0) FFirstVideoStream = I;
        break;
      case AVMEDIA_TYPE_AUDIO:
        ++FAudioStreamCount;
        if (FFirstAudioStream < 0) FFirstAudioStream = I;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        ++FSubtitleStreamCount;
        if (FFirstSubtitleStream < 0) FFirstSubtitleStream = I;
        break;
      default:
        break;
    }
  }
}

void TAVProbe::GetAudioInfo(int Index, TAudioStreamInfo& Info) const {
  Info = TAudioStreamInfo{};
  const AVStream* Stream = FindStream(FContext, Index, FFirstAudioStream, FStreamCount, AudioKind);
  if (!Stream) return;
  FillCommon(Stream, Info);
  const AVCodecParameters* Par = Stream->codecpar;
  Info.BitRate = ClampToInt(Par->bit_rate);
  Info.Channels = Par->ch_layout.nb_channels;
  Info.SampleRate = Par->sample_rate;
  Info.SampleFormat = Par->format;
}

void TAVProbe::GetVideoInfo(int Index, TVideoStreamInfo& Info) const {
  Info = TVideoStreamInfo{};
  const AVStream* Stream = FindStream(FContext, Index, FFirstVideoStream, FStreamCount, VideoKind);
  if (!Stream) return;
  FillCommon(Stream, Info);
  const AVCodecParameters* Par = Stream->codecpar;
  Info.BitRate = ClampToInt(Par->bit_rate);
  Info.Height = Par->height;
  Info.Width = Par->width;
  Info.DisplayAspect = DisplayAspectOf(Par->width, Par->height, Par->sample_aspect_ratio);
  Info.PixelFormat = Par->format;
  Info.FrameRateNum = Stream->r_frame_rate.num;
  Info.FrameRateDen = Stream->r_frame_rate.den;
}

std::string TAVProbe::GetFileName() const {
  if (!FContext) {
    ff::av_log(nullptr, LibraryLogLevel(1), "file not loaded.\n");
    return std::string();
  }
  if (!FContext->url) return std::string();
  return std::string(FContext->url, ::strnlen(FContext->url, MaxFileNameLength));
}

}  // namespace vexav
