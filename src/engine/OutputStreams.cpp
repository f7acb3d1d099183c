// Building output streams from the option fields: one video, audio or
// subtitle stream at a time, for OpenOutputFile and for the "newvideo",
// "newaudio" and "newsubtitle" options.
//
// Today's libraries keep no codec context inside a stream: every output
// stream gets an encoder context of the engine's own (OutputCodecs), made
// for the chosen encoder and filled from the option fields, but not opened;
// the run opens it and copies its parameters to the stream before it writes
// the header. The stream's parameters are filled from the context here as
// well, so that what was configured can be read from the file's streams
// before the run.
//
// Every check that can fail runs before the stream is added: the libraries
// cannot take a stream out of a file again, and a stream without its
// encoder context must never reach the run. A failure therefore leaves the
// file as it was. It still consumes the codec name of its type and, for
// sound and subtitles, the language; once the file has room for the
// stream, the pending bitstream-filter chain is the stream's and goes with
// it as well.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "binding/FFmpegLibs.h"
#include "binding/Text.h"
#include "engine/FFmpeg.h"

namespace vexav {
namespace {

constexpr int VideoEncoderFlags = AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM;
constexpr int AudioEncoderFlags = AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM;
constexpr int SubtitleEncoderFlags = AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_SUBTITLE_PARAM;

// The encoder that stands in for one the libraries' build lacks.
constexpr const char* MissingFaac = "libfaac";
constexpr const char* NativeAac = "aac";

// A stream built but not yet added to its file: its encoder context and
// what goes to the stream itself.
struct TPreparedStream {
  TCustomFFmpeg::EncoderContextPtr Context;
  bool StreamCopy = false;
  AVRational SampleAspect{0, 1};
  AVRational FrameRate{0, 0};  // video only; 0/0 when not chosen
  std::string Language;        // empty: none
};

// The range of a YUV format's samples: full for the "j" formats, which
// exist to say so, video range for every other one. Other kinds of picture
// (RGB, grey, paletted) carry no range flag.
AVColorRange PictureRange(AVPixelFormat Fmt) {
  const AVPixFmtDescriptor* Desc = ff::av_pix_fmt_desc_get(Fmt);
  if (!Desc || Desc->nb_components < 3 ||
      (Desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)))
    return AVCOL_RANGE_UNSPECIFIED;
  return std::string_view(Desc->name).starts_with("yuvj") ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
}

// Whether Fmt is YUV with chroma halved both ways, the only kind every
// H.264 player decodes.
bool IsChroma420(AVPixelFormat Fmt) {
  const AVPixFmtDescriptor* Desc = ff::av_pix_fmt_desc_get(Fmt);
  return Desc && Desc->nb_components >= 3 && !(Desc->flags & AV_PIX_FMT_FLAG_RGB) &&
         Desc->log2_chroma_w == 1 && Desc->log2_chroma_h == 1;
}

const char* PixelFormatName(AVPixelFormat Fmt) {
  const char* Name = ff::av_get_pix_fmt_name(Fmt);
  return Name ? Name : "none";
}

// The media libraries must be bound before a stream can be built.
void RequireLibrariesLoaded() {
  if (!FFmpegLibsLoaded()) throw FFMpegException("The media libraries are not loaded");
}

// The position of Context in OutputFiles; the next free position when the
// file is still being built by OpenOutputFile.
int OutputFileSlot(const TCustomFFmpeg& Engine, const AVFormatContext* Context) {
  for (int I = 0; I < Engine.OutputFileCount && I < MAX_FILES; ++I)
    if (Engine.OutputFiles[I].get() == Context) return I;
  if (Engine.OutputFileCount >= MAX_FILES)
    throw FFMpegException(Format("Too many output files (at most %d)", MAX_FILES));
  return Engine.OutputFileCount;
}

// At most MaxBytes bytes of Text, never ending inside a UTF-8 sequence.
std::string CutUtf8(const std::string& Text, std::size_t MaxBytes) {
  if (Text.size() <= MaxBytes) return Text;
  std::size_t End = MaxBytes;
  // Step back over continuation bytes to the start of the cut sequence.
  while (End > 0 && (static_cast<unsigned char>(Text[End]) & 0xC0) == 0x80) --End;
  return Text.substr(0, End);
}

TCustomFFmpeg::EncoderContextPtr AllocEncoderContext(const AVCodec* Codec, AVMediaType Type,
                                                     AVCodecID Id) {
  // With a codec, the context also gets the encoder's private options with
  // their defaults, which the waiting private options may then change.
  TCustomFFmpeg::EncoderContextPtr Context(ff::avcodec_alloc_context3(Codec));
  if (!Context) throw FFMpegException("Could not allocate an encoder context");
  Context->codec_type = Type;
  Context->codec_id = Id;
  return Context;
}

// A copy of a 64-coefficient matrix in library memory: the encoder context
// frees its matrices itself.
uint16_t* CopyMatrix(const std::array<uint16_t, 64>& Matrix) {
  auto* Copy = static_cast<uint16_t*>(ff::av_malloc(sizeof(uint16_t) * Matrix.size()));
  if (!Copy) throw FFMpegException("Could not allocate a quantisation matrix");
  std::memcpy(Copy, Matrix.data(), sizeof(uint16_t) * Matrix.size());
  return Copy;
}

template <typename T>
bool Listed(const T* List, T Terminator, T Value) {
  for (const T* Item = List; *Item != Terminator; ++Item)
    if (*Item == Value) return true;
  return false;
}

// The codec id that the muxer uses for Type by default (for the image
// muxers, the one the file name's extension names).
AVCodecID GuessCodecId(const AVFormatContext* Context, AVMediaType Type) {
  return ff::av_guess_codec(Context->oformat, nullptr, Context->url ? Context->url : "", nullptr,
                            Type);
}

// Adds the stream for Prepared to Context and enters its encoder context
// and bitstream-filter chain at (File, stream index). Returns the stream.
AVStream* AddStream(TCustomFFmpeg& Engine, AVFormatContext* Context, int File,
                    TPreparedStream& Prepared, TBitstreamFilterChain& Chain) {
  AVStream* Stream = ff::avformat_new_stream(Context, nullptr);
  if (!Stream) throw FFMpegException("Could not alloc stream");
  // The stream id stays the library's: today's muxers number their streams
  // themselves (a transport stream would take a small id as a reserved
  // packet id).
  AVCodecContext* Codec = Prepared.Context.get();
  Stream->sample_aspect_ratio = Prepared.SampleAspect;
  if (Codec->time_base.num > 0 && Codec->time_base.den > 0) Stream->time_base = Codec->time_base;
  if (Prepared.FrameRate.num > 0 && Prepared.FrameRate.den > 0)
    Stream->avg_frame_rate = Prepared.FrameRate;
  // Type, codec id, tag, picture size and format, sample aspect, channel
  // layout, sample rate and format, as configured so far; the run copies
  // them again from the opened encoder.
  ff::avcodec_parameters_from_context(Stream->codecpar, Codec);
  if (!Prepared.Language.empty())
    ff::av_dict_set(&Stream->metadata, "language", Prepared.Language.c_str(), 0);

  const int Index = Stream->index;
  TCustomFFmpeg::TOutputStreamCodec& Slot = Engine.OutputCodecs[File][Index];
  Slot.Context = std::move(Prepared.Context);
  Slot.StreamCopy = Prepared.StreamCopy;
  Engine.BitstreamFilters[File][Index] = std::move(Chain);
  Chain.clear();
  return Stream;
}

// Checks that one more stream fits into Context (the libraries' old stream
// table held MAX_STREAMS, and so do the engine's per-stream tables) and
// returns the file's position in OutputFiles.
int CheckStreamRoom(const TCustomFFmpeg& Engine, const AVFormatContext* Context) {
  RequireLibrariesLoaded();
  if (!Context || !Context->oformat || Context->nb_streams >= static_cast<unsigned>(MAX_STREAMS))
    throw FFMpegException("Could not alloc stream");
  return OutputFileSlot(Engine, Context);
}

}  // namespace

// ---- Helpers -----------------------------------------------------------------

AVRational TCustomFFmpeg::NearestSupportedRate(AVRational Rate, const AVRational* Rates) {
  if (!Rates || (Rates[0].num == 0 && Rates[0].den == 0) || Rate.den <= 0) return Rate;
  // |a/b - c/d| = |a*d - c*b| / (b*d), compared by cross products: exact in
  // 128 bits for any 32-bit terms.
  using Wide = __int128;
  const AVRational* Best = nullptr;
  Wide BestNum = 0, BestDen = 1;
  for (const AVRational* Item = Rates; Item->num != 0 || Item->den != 0; ++Item) {
    if (Item->den <= 0) continue;
    Wide Num = static_cast<Wide>(Item->num) * Rate.den - static_cast<Wide>(Rate.num) * Item->den;
    if (Num < 0) Num = -Num;
    const Wide Den = static_cast<Wide>(Item->den) * Rate.den;
    if (!Best || Num * BestDen < BestNum * Den) {
      Best = Item;
      BestNum = Num;
      BestDen = Den;
    }
  }
  return Best ? *Best : Rate;
}

AVRational TCustomFFmpeg::SampleAspectFromValue(double Value) {
  if (!(Value > 0) || !std::isfinite(Value)) return AVRational{0, 1};
  // The exponent keeps Value x 2^(29-e) within about 2^30, so that both
  // terms handed to the reduction are exact integers.
  double Exponent = std::nearbyint(std::log2(Value));
  if (Exponent < 0) Exponent = 0;
  if (Exponent > 29) Exponent = 29;
  const int64_t Den = int64_t{1} << (29 - static_cast<int>(Exponent));
  const double Scaled = std::nearbyint(Value * static_cast<double>(Den) + 0.5);
  // Far beyond any ratio of 255: the largest ratio there is.
  const int64_t Num = Scaled >= 0x1p62 ? (int64_t{1} << 62) : static_cast<int64_t>(Scaled);
  AVRational Result{0, 1};
  ff::av_reduce(&Result.num, &Result.den, Num, Den, 255);
  return Result;
}

bool TCustomFFmpeg::ParseRcOverride(const std::string& Text, std::vector<RcOverride>& Overrides) {
  Overrides.clear();
  const char* P = Text.c_str();
  // One signed decimal integer, after optional blanks, in the int range.
  auto ReadInt = [&P](int& Value) {
    while (*P == ' ' || *P == '\t') ++P;
    const char* Start = P;
    if (*P == '+' || *P == '-') ++P;
    if (*P < '0' || *P > '9') return false;
    int64_t Magnitude = 0;
    while (*P >= '0' && *P <= '9') {
      Magnitude = Magnitude * 10 + (*P++ - '0');
      if (Magnitude > int64_t{INT32_MAX} + 1) return false;
    }
    const int64_t Signed = *Start == '-' ? -Magnitude : Magnitude;
    if (Signed > INT32_MAX || Signed < INT32_MIN) return false;
    Value = static_cast<int>(Signed);
    return true;
  };
  while (true) {
    int Start = 0, End = 0, Q = 0;
    if (!ReadInt(Start) || *P++ != ',') return false;
    if (!ReadInt(End) || *P++ != ',') return false;
    if (!ReadInt(Q)) return false;
    RcOverride Override{};
    Override.start_frame = Start;
    Override.end_frame = End;
    if (Q > 0) {
      Override.qscale = Q;
      Override.quality_factor = 1.0f;
    } else {
      Override.qscale = 0;
      Override.quality_factor = static_cast<float>(-Q / 100.0);
    }
    Overrides.push_back(Override);
    // The next group follows the next "/"; the groups end at the last one.
    P = std::strchr(P, '/');
    if (!P) return true;
    ++P;
  }
}

void TCustomFFmpeg::TEncoderContextDeleter::operator()(AVCodecContext* Context) const {
  // Without the libraries their release calls are gone; letting the memory
  // go is the only safe outcome then.
  if (!Context || !FFmpegLibsLoaded()) return;
  // The engine allocated these and frees them itself; detached first, so
  // that a library that frees them too cannot free them twice.
  ff::av_freep(&Context->rc_override);
  Context->rc_override_count = 0;
  ff::av_freep(&Context->stats_in);
  // Frees the matrices with the context.
  ff::avcodec_free_context(&Context);
}

AVCodecContext* TCustomFFmpeg::OutputCodec(int File, int Stream) const {
  if (File < 0 || File >= MAX_FILES || Stream < 0 || Stream >= MAX_STREAMS) return nullptr;
  return OutputCodecs[File][Stream].Context.get();
}

void TCustomFFmpeg::ReleaseOutputCodecs() {
  for (auto& File : OutputCodecs)
    for (TOutputStreamCodec& Stream : File) {
      Stream.Context.reset();
      Stream.StreamCopy = false;
    }
}

// ---- Video -------------------------------------------------------------------

void TCustomFFmpeg::NewVideoStream(AVFormatContext* Context) {
  int File = 0;
  try {
    File = CheckStreamRoom(*this, Context);
  } catch (...) {
    VideoCodecName.clear();
    throw;
  }
  // The pending chain belongs to this stream from here on.
  TBitstreamFilterChain Chain = std::move(VideoBsfChain);
  VideoBsfChain.clear();

  TPreparedStream Prepared;
  try {
    const AVOutputFormat* Muxer = Context->oformat;
    int Flags = 0, Flags2 = 0;
    // Global headers when asked for, or, when nothing was asked, when the
    // muxer wants them; the bits are set after the recorded options so
    // that a recorded "flags" value cannot clear them. (The defaults keep
    // the user's own values: a later file whose muxer has no use for global
    // headers is not affected.)
    if ((VideoGlobalHeader & 1) || (VideoGlobalHeader == 0 && (Muxer->flags & AVFMT_GLOBALHEADER)))
      Flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (VideoGlobalHeader & 2) Flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;

    if (VideoStreamCopy) {
      Prepared.StreamCopy = true;
      Prepared.Context = AllocEncoderContext(nullptr, AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_NONE);
      const double Area = static_cast<double>(FrameWidth) * FrameHeight;
      Prepared.SampleAspect = SampleAspectFromValue(
          Area != 0 ? static_cast<double>(FrameAspectRatio) * FrameHeight / FrameWidth
                    : static_cast<double>(FrameAspectRatio) * 3 / 4);
    } else {
      const AVCodec* Codec = nullptr;
      AVCodecID Id = AV_CODEC_ID_NONE;
      if (VideoCodecName.empty()) {
        Id = GuessCodecId(Context, AVMEDIA_TYPE_VIDEO);
        Codec = Id != AV_CODEC_ID_NONE ? ff::avcodec_find_encoder(Id) : nullptr;
      } else {
        // The encoder named, not merely the first one of its codec id.
        if (!FindCodec(VideoCodecName, AVMEDIA_TYPE_VIDEO, Codec, true))
          throw FFMpegException(LastError);
        Id = Codec->id;
      }
      // Checked before anything is allocated for the stream.
      std::vector<RcOverride> Overrides;
      if (VideoRcOverride && !ParseRcOverride(*VideoRcOverride, Overrides))
        throw FFMpegException("error parsing rc_override");

      Prepared.Context = AllocEncoderContext(Codec, AVMEDIA_TYPE_VIDEO, Id);
      AVCodecContext* Enc = Prepared.Context.get();
      SetContextOptions(Enc, CodecDefaults[AVMEDIA_TYPE_VIDEO].get(), VideoEncoderFlags);
      ApplyPrivateOptions(Enc, VideoEncoderFlags);

      // The rate given, else 25; an encoder with a list of rates gets the
      // listed one nearest to it.
      AVRational Rate = FrameRate.num > 0 && FrameRate.den > 0 ? FrameRate : AVRational{25, 1};
      if (Codec && Codec->supported_framerates)
        Rate = NearestSupportedRate(Rate, Codec->supported_framerates);
      Enc->time_base = AVRational{Rate.den, Rate.num};
      Enc->framerate = Rate;
      Prepared.FrameRate = Rate;

      Enc->width = FrameWidth + PadLeft + PadRight;
      Enc->height = FrameHeight + PadTop + PadBottom;
      const double Area = static_cast<double>(Enc->width) * Enc->height;
      Prepared.SampleAspect = SampleAspectFromValue(
          Area != 0 ? static_cast<double>(FrameAspectRatio) * Enc->height / Enc->width
                    : static_cast<double>(FrameAspectRatio) * 3 / 4);
      Enc->sample_aspect_ratio = Prepared.SampleAspect;

      int PixFmt = FramePixFmt;
      if (Codec && Codec->pix_fmts &&
          !Listed(Codec->pix_fmts, AV_PIX_FMT_NONE, static_cast<AVPixelFormat>(PixFmt)))
        PixFmt = Codec->pix_fmts[0];
      Enc->pix_fmt = static_cast<AVPixelFormat>(PixFmt);
      // The scaler writes YUV pictures in the range their format implies;
      // the stream says so, so that players do not have to guess.
      if (Enc->color_range == AVCOL_RANGE_UNSPECIFIED)
        Enc->color_range = PictureRange(Enc->pix_fmt);
      if (Id == AV_CODEC_ID_H264 && !FramePixFmtNamed && !IsChroma420(Enc->pix_fmt))
        Log(1, Format("H.264 video keeps the source's pixel format %s, whose profile many players, "
                      "phones and browsers cannot decode; the option pix_fmt=yuv420p gives 4:2:0 "
                      "pictures that play everywhere",
                      PixelFormatName(Enc->pix_fmt)));

      if (IntraOnly) Enc->gop_size = 0;
      // Fixed quality: the quantiser in lambda units. The stream has no
      // quality field any more; the run reads each packet's quality.
      if (VideoQScale != 0 || SameQuality == 1) {
        Enc->flags |= AV_CODEC_FLAG_QSCALE;
        const float Quality = FF_QP2LAMBDA * VideoQScale;
        Enc->global_quality = static_cast<int>(Quality);
      }
      if (IntraMatrix) Enc->intra_matrix = CopyMatrix(*IntraMatrix);
      if (InterMatrix) Enc->inter_matrix = CopyMatrix(*InterMatrix);
      Enc->thread_count = ThreadCount == 0 ? AutomaticVideoEncoderThreads() : ThreadCount;

      if (!Overrides.empty()) {
        // Freed by the engine (TEncoderContextDeleter): the header leaves
        // this array to its user.
        const std::size_t Bytes = sizeof(RcOverride) * Overrides.size();
        auto* Array = static_cast<RcOverride*>(ff::av_malloc(Bytes));
        if (!Array) throw FFMpegException("Could not allocate the rate-control overrides");
        std::memcpy(Array, Overrides.data(), Bytes);
        Enc->rc_override = Array;
        Enc->rc_override_count = static_cast<int>(Overrides.size());
      }
      if (Enc->rc_initial_buffer_occupancy == 0)
        Enc->rc_initial_buffer_occupancy = static_cast<int>(int64_t{Enc->rc_buffer_size} * 3 / 4);
      // "me_threshold" has no counterpart in today's encoders: MeThreshold
      // reaches no field.
      Enc->intra_dc_precision = IntraDcPrecision - 8;
      if (DoPsnr) Enc->flags |= AV_CODEC_FLAG_PSNR;
      if (DoPass == 1) Enc->flags |= AV_CODEC_FLAG_PASS1;
      if (DoPass == 2) Enc->flags |= AV_CODEC_FLAG_PASS2;
    }
    AVCodecContext* Enc = Prepared.Context.get();
    if (VideoCodecTag) Enc->codec_tag = VideoCodecTag;
    Enc->flags |= Flags;
    Enc->flags2 |= Flags2;

    AddStream(*this, Context, File, Prepared, Chain);
  } catch (...) {
    VideoCodecName.clear();
    throw;
  }
  VideoDisable = 0;
  VideoCodecName.clear();
  VideoStreamCopy = 0;
}

// ---- Audio -------------------------------------------------------------------

void TCustomFFmpeg::NewAudioStream(AVFormatContext* Context) {
  auto Consume = [this] {
    AudioCodecName.clear();
    AudioLanguage.clear();
  };
  int File = 0;
  try {
    File = CheckStreamRoom(*this, Context);
  } catch (...) {
    Consume();
    throw;
  }
  TBitstreamFilterChain Chain = std::move(AudioBsfChain);
  AudioBsfChain.clear();

  TPreparedStream Prepared;
  try {
    if (AudioStreamCopy) {
      Prepared.StreamCopy = true;
      Prepared.Context = AllocEncoderContext(nullptr, AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_NONE);
    } else {
      AVCodecID Id = GuessCodecId(Context, AVMEDIA_TYPE_AUDIO);
      const AVCodec* Codec = Id != AV_CODEC_ID_NONE ? ff::avcodec_find_encoder(Id) : nullptr;
      if (!AudioCodecName.empty()) {
        std::string Name = AudioCodecName;
        // Today's builds of the libraries have no "libfaac"; the native AAC
        // encoder writes the same format.
        if (Name == MissingFaac && !ff::avcodec_find_encoder_by_name(MissingFaac)) {
          Log(1, Format("The encoder '%s' is not in this build of the media libraries; "
                        "the native '%s' encoder is used instead",
                        MissingFaac, NativeAac));
          Name = NativeAac;
        }
        if (!FindCodec(Name, AVMEDIA_TYPE_AUDIO, Codec, true)) throw FFMpegException(LastError);
        Id = Codec->id;
      }
      Prepared.Context = AllocEncoderContext(Codec, AVMEDIA_TYPE_AUDIO, Id);
      AVCodecContext* Enc = Prepared.Context.get();
      SetContextOptions(Enc, CodecDefaults[AVMEDIA_TYPE_AUDIO].get(), AudioEncoderFlags);
      ApplyPrivateOptions(Enc, AudioEncoderFlags);
      if (AudioQScale > NO_AUDIO_QSCALE) {
        Enc->flags |= AV_CODEC_FLAG_QSCALE;
        const float Quality = FF_QP2LAMBDA * AudioQScale;
        Enc->global_quality = static_cast<int>(Quality);
      }
      Enc->thread_count = ThreadCount;
      int SampleFmt = AudioSampleFmt;
      if (Codec && Codec->sample_fmts &&
          !Listed(Codec->sample_fmts, AV_SAMPLE_FMT_NONE, static_cast<AVSampleFormat>(SampleFmt)))
        SampleFmt = Codec->sample_fmts[0];
      Enc->sample_fmt = static_cast<AVSampleFormat>(SampleFmt);
    }
    AVCodecContext* Enc = Prepared.Context.get();
    if (AudioCodecTag) Enc->codec_tag = AudioCodecTag;
    if (Context->oformat->flags & AVFMT_GLOBALHEADER) Enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // The channels as the default layout of their count: encoders take the
    // layout, not a bare count (the native AAC encoder refuses to open
    // with a count alone).
    ff::av_channel_layout_uninit(&Enc->ch_layout);
    ff::av_channel_layout_default(&Enc->ch_layout, AudioChannels);
    Enc->sample_rate = AudioSampleRate;
    if (AudioSampleRate > 0) Enc->time_base = AVRational{1, AudioSampleRate};
    if (!AudioLanguage.empty()) Prepared.Language = CutUtf8(AudioLanguage, 3);

    AddStream(*this, Context, File, Prepared, Chain);
  } catch (...) {
    Consume();
    throw;
  }
  AudioDisable = 0;
  AudioStreamCopy = 0;
  Consume();
}

// ---- Subtitles ---------------------------------------------------------------

void TCustomFFmpeg::NewSubtitleStream(AVFormatContext* Context) {
  auto Consume = [this] {
    SubtitleCodecName.clear();
    SubtitleLanguage.clear();
  };
  int File = 0;
  try {
    File = CheckStreamRoom(*this, Context);
  } catch (...) {
    Consume();
    throw;
  }
  TBitstreamFilterChain Chain = std::move(SubtitleBsfChain);
  SubtitleBsfChain.clear();

  TPreparedStream Prepared;
  try {
    if (SubtitleStreamCopy) {
      Prepared.StreamCopy = true;
      Prepared.Context = AllocEncoderContext(nullptr, AVMEDIA_TYPE_SUBTITLE, AV_CODEC_ID_NONE);
    } else {
      // No name: no encoder and codec id 0, whatever the muxer's default.
      const AVCodec* Codec = nullptr;
      if (!FindCodec(SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, Codec, true))
        throw FFMpegException(LastError);
      Prepared.Context =
          AllocEncoderContext(Codec, AVMEDIA_TYPE_SUBTITLE, Codec ? Codec->id : AV_CODEC_ID_NONE);
      SetContextOptions(Prepared.Context.get(), CodecDefaults[AVMEDIA_TYPE_SUBTITLE].get(),
                        SubtitleEncoderFlags);
      ApplyPrivateOptions(Prepared.Context.get(), SubtitleEncoderFlags);
    }
    if (!SubtitleLanguage.empty()) Prepared.Language = CutUtf8(SubtitleLanguage, 3);

    AddStream(*this, Context, File, Prepared, Chain);
  } catch (...) {
    Consume();
    throw;
  }
  SubtitleDisable = 0;
  SubtitleStreamCopy = 0;
  Consume();
}

}  // namespace vexav
