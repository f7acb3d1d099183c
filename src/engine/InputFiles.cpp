// Opening input files: the library's open with the options given so far,
// stream-parameter probing, the seek to the start time, one decoder context
// per stream, and the picture and sound parameters that the outputs inherit.
#include <cctype>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <mutex>
#include <string_view>

#include "binding/ErrorText.h"
#include "binding/FFmpegLibs.h"
#include "binding/OpenInput.h"
#include "binding/Text.h"
#include "engine/CodecLock.h"
#include "engine/FFmpeg.h"

namespace vexav {
namespace {

// Sums and differences of time stamps that a file may push past the 64-bit
// range (a start time near the limits) stop at the range's ends.
int64_t SaturatingAdd(int64_t A, int64_t B) {
  int64_t Sum = 0;
  if (__builtin_add_overflow(A, B, &Sum)) return B > 0 ? INT64_MAX : INT64_MIN;
  return Sum;
}

int64_t SaturatingSub(int64_t A, int64_t B) {
  int64_t Difference = 0;
  if (__builtin_sub_overflow(A, B, &Difference)) return B < 0 ? INT64_MAX : INT64_MIN;
  return Difference;
}

bool Known(AVRational Rate) {
  return Rate.num > 0 && Rate.den > 0;
}

// Whether the file name's extension, lower-cased, is a leading part of
// ".rmvb" (".rm" and ".rmvb" are the RealMedia names): the files whose
// video the old RealVideo path left without a pixel format.
bool RealMediaName(const std::string& FileName) {
  std::string Extension = std::filesystem::path(FileName).extension().string();
  if (Extension.empty()) return false;
  for (char& C : Extension) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return std::string_view(".rmvb").starts_with(Extension);
}

// The default channel layout of Channels channels as the text the demuxers'
// "ch_layout" option reads (e.g. "stereo"); empty when there is none.
std::string ChannelLayoutText(int Channels) {
  AVChannelLayout Layout{};
  ff::av_channel_layout_default(&Layout, Channels);
  char Text[128] = {};
  const int Length = ff::av_channel_layout_describe(&Layout, Text, sizeof Text);
  ff::av_channel_layout_uninit(&Layout);
  return Length > 0 && static_cast<std::size_t>(Length) <= sizeof Text ? std::string(Text) : std::string();
}

// The decoders forced on an input's streams, by media type.
struct TForcedDecoders {
  const AVCodec* Video = nullptr;
  const AVCodec* Audio = nullptr;
  const AVCodec* Subtitle = nullptr;

  const AVCodec* For(AVMediaType Type) const {
    return Type == AVMEDIA_TYPE_VIDEO ? Video : Type == AVMEDIA_TYPE_AUDIO ? Audio
                                            : Type == AVMEDIA_TYPE_SUBTITLE ? Subtitle : nullptr;
  }
  // The decoder a stream is decoded with: the forced one of its type, else
  // the library's for its codec id (nullptr when it has none).
  const AVCodec* Decoder(const AVCodecParameters& Parameters) const {
    const AVCodec* Forced = For(Parameters.codec_type);
    return Forced ? Forced : ff::avcodec_find_decoder(Parameters.codec_id);
  }
};

// Whether a stream's parameters are complete enough to decode or copy it,
// by the rules the library's probing reports ("unknown codec", "unspecified
// size", "unspecified pixel format", "unspecified frame size", ...).
bool ParametersComplete(const AVCodecParameters& P, bool HasDecoder) {
  if (P.codec_id == AV_CODEC_ID_NONE) return false;
  switch (P.codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      return P.width > 0 && (!HasDecoder || P.format != AV_PIX_FMT_NONE);
    case AVMEDIA_TYPE_AUDIO: {
      // MPEG audio frames have a size the probe must have seen.
      const bool FrameSizeNeeded =
          P.codec_id == AV_CODEC_ID_MP1 || P.codec_id == AV_CODEC_ID_MP2 || P.codec_id == AV_CODEC_ID_MP3;
      return P.sample_rate > 0 && P.ch_layout.nb_channels > 0 && (!HasDecoder || P.format != AV_SAMPLE_FMT_NONE) &&
             (!FrameSizeNeeded || P.frame_size > 0);
    }
    default:
      return true;
  }
}

// What the old probing reported as a failure: a file with streams none of
// which has complete parameters once the data has run out. Today's
// avformat_find_stream_info answers success in that case too.
bool AnyStreamComplete(const AVFormatContext& File, const TForcedDecoders& Forced) {
  if (File.nb_streams == 0) return true;
  for (unsigned I = 0; I < File.nb_streams; ++I) {
    const AVCodecParameters& P = *File.streams[I]->codecpar;
    if (ParametersComplete(P, Forced.Decoder(P) != nullptr)) return true;
  }
  return false;
}

}  // namespace

float TCustomFFmpeg::InputFrameAspect(int Width, int Height, AVRational StreamSampleAspect,
                                      AVRational CodecSampleAspect) {
  const AVRational Sample = StreamSampleAspect.num != 0 ? StreamSampleAspect : CodecSampleAspect;
  // A ratio with a zero denominator says nothing; it counts as no ratio.
  const double Ratio = Sample.den != 0 ? static_cast<double>(Sample.num) / Sample.den : 0.0;
  if (Width != 0 && Height != 0)
    return static_cast<float>(Ratio != 0 ? Width * Ratio / Height : static_cast<double>(Width) / Height);
  return Ratio != 0 ? static_cast<float>(Ratio) : 4.0f / 3.0f;
}

AVCodecContext* TCustomFFmpeg::InputCodec(int File, int Stream) const {
  if (File < 0 || File >= MAX_FILES || Stream < 0) return nullptr;
  const auto& Streams = InputCodecs[File];
  if (static_cast<std::size_t>(Stream) >= Streams.size()) return nullptr;
  return Streams[Stream].Context.get();
}

void TCustomFFmpeg::ReleaseInputCodecs() {
  // Without the libraries their release call is gone: the contexts are let
  // go instead (a leak is the only safe outcome then).
  const bool Loaded = FFmpegLibsLoaded();
  for (auto& Streams : InputCodecs) {
    if (!Loaded)
      for (TInputStreamCodec& Entry : Streams) (void)Entry.Context.release();
    Streams.clear();
  }
}

bool TCustomFFmpeg::OpenInputFile(const std::string& FileName) {
  // The options that belong to one file are used up whether it opens or not
  // (an exception, "invalid codec_type", leaves them).
  const bool Opened = OpenInputFileWithOptions(FileName);
  InputFormat = nullptr;
  OutputFormat = nullptr;
  VideoChannel = 0;
  RateEmu = 0;
  VideoCodecName.clear();
  AudioCodecName.clear();
  SubtitleCodecName.clear();
  return Opened;
}

void TCustomFFmpeg::FillDemuxerOptions(AVDictionary** Options) const {
  // The format parameters of the old open call, now the demuxers' private
  // options: each demuxer takes the keys it has and leaves the others in
  // the dictionary. A key is given only when its field is set, since a
  // demuxer that has the key refuses an empty size or rate.
  if (Known(FrameRate))
    ff::av_dict_set(Options, "framerate", Format("%d/%d", FrameRate.num, FrameRate.den).c_str(), 0);
  if (FrameWidth > 0 && FrameHeight > 0) {
    const int64_t Width = int64_t{FrameWidth} + PadLeft + PadRight;
    const int64_t Height = int64_t{FrameHeight} + PadTop + PadBottom;
    ff::av_dict_set(Options, "video_size",
                    Format("%lldx%lld", static_cast<long long>(Width), static_cast<long long>(Height)).c_str(), 0);
  }
  if (FramePixFmt >= 0)
    if (const char* Name = ff::av_get_pix_fmt_name(static_cast<AVPixelFormat>(FramePixFmt)))
      ff::av_dict_set(Options, "pixel_format", Name, 0);
  if (AudioSampleRate > 0)
    ff::av_dict_set(Options, "sample_rate", std::to_string(AudioSampleRate).c_str(), 0);
  // The channel count is a layout now: every demuxer that still has the
  // deprecated "channels" key also takes "ch_layout".
  if (AudioChannels > 0)
    if (std::string Layout = ChannelLayoutText(AudioChannels); !Layout.empty())
      ff::av_dict_set(Options, "ch_layout", Layout.c_str(), 0);
  // Capture channel and TV standard: no demuxer of the libraries takes them
  // (capture devices belong to another library); they stay unused.
  if (VideoChannel != 0) ff::av_dict_set(Options, "channel", std::to_string(VideoChannel).c_str(), 0);
  if (VideoStandard) ff::av_dict_set(Options, "standard", VideoStandard->c_str(), 0);
  // Looping an input is the image demuxers' "loop" option now.
  if (LoopInput) ff::av_dict_set(Options, "loop", "1", 0);
  // Options named explicitly that only some demuxer holds come last, so
  // that they win over the values derived from the fields.
  CollectPrivateOptions(Options);
}

bool TCustomFFmpeg::OpenInputFileWithOptions(const std::string& FileName) {
  if (!FFmpegLibsLoaded()) {
    LastError = "The media libraries are not loaded";
    return false;
  }
  // The tables hold MAX_FILES inputs: a further one is refused before
  // anything is opened.
  if (InputFileCount >= MAX_FILES) {
    LastError = Format("Too many input files (at most %d)", MAX_FILES);
    return false;
  }

  // Forced decoders, each of its media type. The old "pgmyuv" format is the
  // image demuxer with the pgmyuv decoder forced on its video. A forced
  // codec id now binds every demuxer, so the pgmyuv decoder is forced only
  // on the image demuxer, which is the one that read it; a later input of
  // another format keeps its own codec.
  TForcedDecoders Forced;
  if (!FindCodec(VideoCodecName, AVMEDIA_TYPE_VIDEO, Forced.Video, false) ||
      !FindCodec(AudioCodecName, AVMEDIA_TYPE_AUDIO, Forced.Audio, false) ||
      !FindCodec(SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, Forced.Subtitle, false))
    return false;
  if (PgmyuvCompat == 1 && InputFormat && std::string_view(InputFormat->name) == "image2")
    Forced.Video = ff::avcodec_find_decoder(AV_CODEC_ID_PGMYUV);

  // A context allocated here, so that the forced decoders and the recorded
  // format options are in place when the demuxer reads the header.
  FormatContextPtr Allocated(ff::avformat_alloc_context());
  if (!Allocated) {
    LastError = LibraryErrorText(FileName, AVERROR(ENOMEM));
    return false;
  }
  if (Forced.Video) {
    Allocated->video_codec_id = Forced.Video->id;
    Allocated->video_codec = Forced.Video;
  }
  if (Forced.Audio) {
    Allocated->audio_codec_id = Forced.Audio->id;
    Allocated->audio_codec = Forced.Audio;
  }
  if (Forced.Subtitle) {
    Allocated->subtitle_codec_id = Forced.Subtitle->id;
    Allocated->subtitle_codec = Forced.Subtitle;
  }
  SetContextOptions(Allocated.get(), FormatDefaults.get(), AV_OPT_FLAG_DECODING_PARAM);

  Dictionary Options;
  FillDemuxerOptions(Options.Address());

  // On failure the library frees the context and clears the pointer.
  AVFormatContext* Context = Allocated.release();
  const InputOpenResult Result = vexav::OpenInputFile(&Context, FileName, InputFormat, Options.Address());
  if (!Result.Ok()) {
    LastError = LibraryErrorText(FileName, Result.TextCode);
    return false;
  }
  InputFormatPtr File(Context);

  // Programs other than the chosen one are not read at all.
  if (ProgramId != 0)
    for (unsigned I = 0; I < File->nb_programs; ++I)
      if (File->programs[I]->id != ProgramId) File->programs[I]->discard = AVDISCARD_ALL;

  // Probing opens decoders inside the library, which must not happen while
  // another engine opens or closes a codec. At the quiet verbosity a file
  // whose parameters stay incomplete is still taken.
  bool ParametersFound = false;
  {
    std::lock_guard<std::recursive_mutex> Guard(CodecLock());
    ParametersFound = ff::avformat_find_stream_info(File.get(), nullptr) >= 0;
  }
  if (ParametersFound) ParametersFound = AnyStreamComplete(*File, Forced);
  if (!ParametersFound && Verbose >= 0) {
    LastError = Format("%s: could not find codec parameters", FileName.c_str());
    return false;
  }

  // The start time counts from the file's own start.
  int64_t Timestamp = StartTime;
  if (File->start_time != AV_NOPTS_VALUE) Timestamp = SaturatingAdd(Timestamp, File->start_time);
  if (StartTime != 0) {
    // A seek that fails leaves the file at its start; that is not an error.
    (void)ff::av_seek_frame(File.get(), -1, Timestamp, AVSEEK_FLAG_BACKWARD);
  }

  // One decoder context per stream, made from the stream's parameters.
  std::vector<TInputStreamCodec> Streams(File->nb_streams);
  for (unsigned I = 0; I < File->nb_streams; ++I) {
    const AVStream* Stream = File->streams[I];
    const AVCodecParameters* Parameters = Stream->codecpar;
    if (Parameters->codec_type < AVMEDIA_TYPE_UNKNOWN || Parameters->codec_type >= AVMEDIA_TYPE_NB)
      throw FFMpegException("invalid codec_type");

    const AVCodec* Decoder = Forced.Decoder(*Parameters);
    CodecContextPtr Codec(ff::avcodec_alloc_context3(Decoder));
    if (!Codec) {
      LastError = LibraryErrorText(FileName, AVERROR(ENOMEM));
      return false;
    }
    if (int Ret = ff::avcodec_parameters_to_context(Codec.get(), Parameters); Ret < 0) {
      LastError = LibraryErrorText(FileName, Ret);
      return false;
    }
    // A forced decoder decodes the stream as its own codec.
    if (Forced.For(Parameters->codec_type)) Codec->codec_id = Decoder->id;
    Codec->pkt_timebase = Stream->time_base;
    // Decoders no longer fill in a time base; the frame rate the container
    // found stands for the codec's own rate.
    if (!Known(Codec->framerate) && Known(Stream->avg_frame_rate)) Codec->framerate = Stream->avg_frame_rate;
    Codec->thread_count = ThreadCount;

    switch (Parameters->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        SetContextOptions(Codec.get(), CodecDefaults[AVMEDIA_TYPE_VIDEO].get(),
                          AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
        ApplyPrivateOptions(Codec.get(), AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
        // RealMedia video without a pixel format is taken as planar 4:2:0.
        if (Codec->pix_fmt == AV_PIX_FMT_NONE && RealMediaName(FileName)) Codec->pix_fmt = AV_PIX_FMT_YUV420P;
        // A low-resolution decode needs no edge emulation flag any more (the
        // decoders always emulate edges), and the motion-vector display that
        // "me_threshold" switched on no longer exists: nothing to set.
        Streams[I].RateEmu = RateEmu;
        break;
      case AVMEDIA_TYPE_AUDIO:
        SetContextOptions(Codec.get(), CodecDefaults[AVMEDIA_TYPE_AUDIO].get(),
                          AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
        ApplyPrivateOptions(Codec.get(), AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
        break;
      default:
        break;
    }
    Streams[I].Context = std::move(Codec);
    Streams[I].Decoder = Decoder;
  }

  // Nothing fails from here on: the file is taken, and its streams give the
  // picture and sound fields (the last stream of each kind wins).
  for (unsigned I = 0; I < File->nb_streams; ++I) {
    AVStream* Stream = File->streams[I];
    const AVCodecContext* Codec = Streams[I].Context.get();
    switch (Stream->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO: {
        FrameHeight = Codec->height;
        FrameWidth = Codec->width;
        FrameAspectRatio =
            InputFrameAspect(Codec->width, Codec->height, Stream->sample_aspect_ratio, Codec->sample_aspect_ratio);
        FramePixFmt = Codec->pix_fmt;
        FramePixFmtNamed = false;
        // The codec's frame rate against the container's: where they differ,
        // timestamps rather than the codec decide the output's frames.
        const AVRational CodecRate = Codec->framerate;
        const AVRational RealRate = Stream->r_frame_rate;
        if (Known(CodecRate) && Known(RealRate) && (CodecRate.num != RealRate.num || CodecRate.den != RealRate.den) &&
            Verbose > 0 && HasLogHandler())
          Log(1, Format("Seems stream %d codec frame rate differs from container frame rate: "
                        "%2.2f (%d/%d) -> %2.2f (%d/%d)",
                        static_cast<int>(I), static_cast<double>(CodecRate.num) / CodecRate.den, CodecRate.num,
                        CodecRate.den, static_cast<double>(RealRate.num) / RealRate.den, RealRate.num,
                        RealRate.den));
        FrameRate = RealRate;
        if (VideoDisable == 1)
          Stream->discard = AVDISCARD_ALL;
        else if (VideoDiscard != 0)
          Stream->discard = static_cast<AVDiscard>(VideoDiscard);
        break;
      }
      case AVMEDIA_TYPE_AUDIO:
        AudioChannels = Codec->ch_layout.nb_channels;
        AudioSampleRate = Codec->sample_rate;
        AudioSampleFmt = Codec->sample_fmt;
        if (AudioDisable == 1) Stream->discard = AVDISCARD_ALL;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        if (SubtitleDisable == 1) Stream->discard = AVDISCARD_ALL;
        break;
      default:
        break;
    }
  }

  // The longest input decides the expected duration (milliseconds).
  if (File->duration != AV_NOPTS_VALUE && File->duration / 1000 > TotalOutputDuration)
    TotalOutputDuration = File->duration / 1000;

  const int64_t TsOffset = CopyTs ? InputTsOffset : SaturatingSub(InputTsOffset, Timestamp);
  if (Verbose >= 0) ff::av_dump_format(File.get(), InputFileCount, FileName.c_str(), 0);

  const int Index = InputFileCount;
  RegisterInputFile(std::move(File), TsOffset);
  InputCodecs[Index] = std::move(Streams);
  // The start time has been used to seek this input.
  StartTime = 0;
  return true;
}

}  // namespace vexav
