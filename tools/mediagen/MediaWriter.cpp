// Generate: encodes the synthesized picture and sound and muxes them, one
// track per output stream, in time order.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "LibSupport.h"
#include "MediaGenerator.h"
#include "PictureSynth.h"
#include "SoundSynth.h"
#include "PictureCounter.h"
#include "Timeline.h"
#include "binding/FFmpegLibs.h"
#include "binding/Owners.h"
#include "binding/Text.h"

namespace vexav::mediagen {
namespace {

// Fixed quantiser for the compressed pictures: sharp enough that a flash
// frame decodes white, small enough to keep files small.
constexpr int PictureQuantiser = 4;

// One output stream with its encoder.
class Track {
 public:
  virtual ~Track() = default;

  bool Done() const { return Finished; }
  // Where the next frame starts, in seconds.
  virtual double NextSeconds() const = 0;
  // Encodes the next frame and writes what comes out.
  virtual std::string WriteNext(AVFormatContext* Fmt) = 0;
  // Drains the encoder.
  std::string Flush(AVFormatContext* Fmt) { return Encode(Fmt, nullptr); }

 protected:
  // Sets up the encoder Name; Configure fills the context before opening.
  template <typename ConfigureFn>
  std::string OpenEncoder(AVFormatContext* Fmt, const char* Name, ConfigureFn Configure) {
    EncoderName = Name;
    const AVCodec* Codec = ff::avcodec_find_encoder_by_name(Name);
    if (!Codec) return Format("unknown encoder '%s'", Name);
    Enc.reset(ff::avcodec_alloc_context3(Codec));
    if (!Enc) return "out of memory";
    Enc->thread_count = 1;
    Enc->flags |= AV_CODEC_FLAG_BITEXACT;
    if (Fmt->oformat->flags & AVFMT_GLOBALHEADER) Enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (std::string Problem = Configure(*Codec); !Problem.empty()) return Problem;
    if (int Ret = ff::avcodec_open2(Enc.get(), Codec, nullptr); Ret < 0)
      return Format("cannot open encoder '%s': %s", Name, ErrorString(Ret).c_str());
    Stream = ff::avformat_new_stream(Fmt, nullptr);
    if (!Stream) return "out of memory";
    Stream->time_base = Enc->time_base;
    if (int Ret = ff::avcodec_parameters_from_context(Stream->codecpar, Enc.get()); Ret < 0)
      return Format("cannot set up the stream of '%s': %s", Name, ErrorString(Ret).c_str());
    return "";
  }

  // Sends Frame (nullptr drains) and writes every packet that comes out.
  std::string Encode(AVFormatContext* Fmt, const AVFrame* Frame) {
    int Ret = ff::avcodec_send_frame(Enc.get(), Frame);
    if (Ret < 0 && !(Frame == nullptr && Ret == AVERROR_EOF))
      return Format("encoder '%s' failed: %s", EncoderName, ErrorString(Ret).c_str());
    PacketPtr Packet(ff::av_packet_alloc());
    if (!Packet) return "out of memory";
    for (;;) {
      Ret = ff::avcodec_receive_packet(Enc.get(), Packet.get());
      if (Ret == AVERROR(EAGAIN) || Ret == AVERROR_EOF) return "";
      if (Ret < 0) return Format("encoder '%s' failed: %s", EncoderName, ErrorString(Ret).c_str());
      Restamp(*Packet);
      Packet->stream_index = Stream->index;
      ff::av_packet_rescale_ts(Packet.get(), Enc->time_base, Stream->time_base);
      // The muxer takes the packet's data and leaves it blank.
      Ret = ff::av_interleaved_write_frame(Fmt, Packet.get());
      if (Ret < 0) return Format("cannot write a packet: %s", ErrorString(Ret).c_str());
    }
  }

  // Gives a packet the time stamps it is stored with.
  virtual void Restamp(AVPacket&) {}

  CodecContextPtr Enc;
  AVStream* Stream = nullptr;
  const char* EncoderName = "";
  bool Finished = false;
};

class VideoTrack : public Track {
 public:
  VideoTrack(const MediaRequest& Request, const Timeline& Plan) : Request(Request), Plan(Plan) {}

  std::string Open(AVFormatContext* Fmt) {
    const char* Name = Request.Video == VideoCodec::Mpeg4   ? "mpeg4"
                       : Request.Video == VideoCodec::Mjpeg ? "mjpeg"
                       : Request.Video == VideoCodec::H264  ? "libx264"
                                                            : "rawvideo";
    std::string Problem =
        OpenEncoder(Fmt, Name, [this](const AVCodec& Codec) { return Configure(Codec); });
    if (!Problem.empty()) return Problem;
    Stream->avg_frame_rate = Stream->r_frame_rate =
        AVRational{Request.FrameRateNum, Request.FrameRateDen};
    return PrepareSynthesis();
  }

  double NextSeconds() const override {
    return static_cast<double>(Next) * Request.FrameRateDen / Request.FrameRateNum;
  }

  std::string WriteNext(AVFormatContext* Fmt) override {
    FramePtr Frame(ff::av_frame_alloc());
    if (!Frame) return "out of memory";
    Frame->format = Enc->pix_fmt;
    Frame->width = Enc->width;
    Frame->height = Enc->height;
    Frame->color_range = Enc->color_range;
    if (int Ret = ff::av_frame_get_buffer(Frame.get(), 0); Ret < 0)
      return Format("cannot allocate a picture: %s", ErrorString(Ret).c_str());

    auto IsFlash = [this](int64_t N) {
      return std::binary_search(Plan.FlashFrames.begin(), Plan.FlashFrames.end(), N);
    };
    // A dropped picture leaves its slot empty (never two in a row); the last
    // is always written, so that the file keeps its length.
    if (Request.DropEvery > 0 && Next % Request.DropEvery == Request.DropEvery - 1 &&
        Next + 1 < Plan.FrameCount && !IsFlash(Next))
      ++Next;
    const bool Flash = IsFlash(Next);
    AVFrame* Target = Synth ? Synth.get() : Frame.get();
    DrawPicture(Next, Flash, FullRange, Request.Width, Request.Height, Target->data,
                Target->linesize, Request.Pattern);
    if (Request.Counter)
      DrawCounter(Next, FullRange, Request.Width, Request.Height, Target->data[0],
                  Target->linesize[0]);
    if (Scaler)
      ff::sws_scale(Scaler.get(), Synth->data, Synth->linesize, 0, Request.Height, Frame->data, Frame->linesize);
    else if (Enc->pix_fmt == AV_PIX_FMT_PAL8)
      ToGreyPalette(*Synth, *Frame);

    Frame->pts = Next;
    if (Enc->flags & AV_CODEC_FLAG_QSCALE) Frame->quality = Enc->global_quality;
    if (++Next >= Plan.FrameCount) Finished = true;
    return Encode(Fmt, Frame.get());
  }

 private:
  std::string Configure(const AVCodec& Codec) {
    Enc->width = Request.Width;
    Enc->height = Request.Height;
    Enc->time_base = AVRational{Request.FrameRateDen, Request.FrameRateNum};
    Enc->framerate = AVRational{Request.FrameRateNum, Request.FrameRateDen};
    Enc->sample_aspect_ratio = AVRational{1, 1};
    Enc->gop_size = 12;
    Enc->max_b_frames = std::max(0, Request.BFrames);
    switch (Request.Video) {
      case VideoCodec::Mpeg4:
        Enc->pix_fmt = AV_PIX_FMT_YUV420P;
        if (Request.FullRangeFlag) Enc->color_range = AVCOL_RANGE_JPEG;
        break;
      case VideoCodec::H264:
        // A fixed quantiser keeps the pictures (and the flash frames)
        // the same from run to run; one thread keeps the bytes the same.
        Enc->pix_fmt = AV_PIX_FMT_YUV420P;
        ff::av_opt_set(Enc->priv_data, "preset", "veryfast", 0);
        ff::av_opt_set(Enc->priv_data, "b-pyramid", Request.BFrames > 1 ? "normal" : "none", 0);
        ff::av_opt_set(Enc->priv_data, "qp", "20", 0);
        ff::av_opt_set(Enc->priv_data, "b_strategy", "0", 0);
        break;
      case VideoCodec::Mjpeg: {
        // JPEG pictures are full range, and the "j" formats say so.
        const AVPixelFormat Jpeg = ff::av_get_pix_fmt(Request.MjpegPixelFormat.c_str());
        if (!IsJpegFormat(Jpeg) || !Offers(Codec, Jpeg))
          return Format("encoder 'mjpeg' does not take pixel format '%s'",
                        Request.MjpegPixelFormat.c_str());
        Enc->pix_fmt = Jpeg;
        Enc->color_range = AVCOL_RANGE_JPEG;
        break;
      }
      default: {
        const AVPixelFormat Raw = ff::av_get_pix_fmt(Request.RawPixelFormat.c_str());
        if (Raw == AV_PIX_FMT_NONE)
          return Format("unknown pixel format '%s'", Request.RawPixelFormat.c_str());
        if (Codec.pix_fmts && !Offers(Codec, Raw))
          return Format("encoder 'rawvideo' does not take pixel format '%s'",
                        Request.RawPixelFormat.c_str());
        Enc->pix_fmt = Raw;
        break;
      }
    }
    if (Request.Video != VideoCodec::Raw && Request.Video != VideoCodec::H264) {
      Enc->flags |= AV_CODEC_FLAG_QSCALE;
      Enc->global_quality = PictureQuantiser * FF_QP2LAMBDA;
    }
    return "";
  }

  static bool Offers(const AVCodec& Codec, AVPixelFormat Fmt) {
    if (!Codec.pix_fmts) return false;
    for (const AVPixelFormat* P = Codec.pix_fmts; *P != AV_PIX_FMT_NONE; ++P)
      if (*P == Fmt) return true;
    return false;
  }

  // Pictures are drawn in 4:2:0, in full range for the full-range formats
  // (the "j" ones, and the grey levels of a paletted picture); any other
  // stored format is converted from that.
  std::string PrepareSynthesis() {
    const bool Paletted = Enc->pix_fmt == AV_PIX_FMT_PAL8;
    FullRange = Paletted || IsJpegFormat(Enc->pix_fmt) || Enc->color_range == AVCOL_RANGE_JPEG;
    const AVPixelFormat Drawn = FullRange ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    if (Enc->pix_fmt == AV_PIX_FMT_YUV420P || Enc->pix_fmt == Drawn) return "";
    Synth.reset(ff::av_frame_alloc());
    if (!Synth) return "out of memory";
    Synth->format = Drawn;
    Synth->width = Request.Width;
    Synth->height = Request.Height;
    if (int Ret = ff::av_frame_get_buffer(Synth.get(), 0); Ret < 0)
      return Format("cannot allocate a picture: %s", ErrorString(Ret).c_str());
    // A paletted picture is its luma as indices into a grey palette.
    if (Paletted) return "";
    Scaler.reset(ff::sws_getContext(
        Request.Width, Request.Height, Drawn, Request.Width, Request.Height, Enc->pix_fmt,
        SWS_BILINEAR | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr, nullptr, nullptr));
    if (!Scaler)
      return Format("cannot convert pictures to '%s'", ff::av_get_pix_fmt_name(Enc->pix_fmt));
    return "";
  }

  static bool IsJpegFormat(AVPixelFormat Fmt) {
    return Fmt == AV_PIX_FMT_YUVJ420P || Fmt == AV_PIX_FMT_YUVJ422P || Fmt == AV_PIX_FMT_YUVJ444P ||
           Fmt == AV_PIX_FMT_YUVJ440P || Fmt == AV_PIX_FMT_YUVJ411P;
  }

  // Full-range luma as palette indices, with entry i the grey (i, i, i).
  static void ToGreyPalette(const AVFrame& Drawn, AVFrame& Paletted) {
    for (int Y = 0; Y < Drawn.height; ++Y)
      std::copy_n(Drawn.data[0] + Y * Drawn.linesize[0], Drawn.width,
                  Paletted.data[0] + Y * Paletted.linesize[0]);
    auto* Palette = reinterpret_cast<uint32_t*>(Paletted.data[1]);
    for (uint32_t I = 0; I < 256; ++I) Palette[I] = 0xFF000000u | I << 16 | I << 8 | I;
  }

  const MediaRequest& Request;
  const Timeline& Plan;
  int64_t Next = 0;
  bool FullRange = false;
  FramePtr Synth;
  ScalerPtr Scaler;
};

class AudioTrack : public Track {
 public:
  AudioTrack(const MediaRequest& Request, const Timeline& Plan, int Octave)
      : Request(Request),
        Plan(Plan),
        Sound(Request.SampleRate, Request.ToneHz * (1 << Octave), Plan.ClickSamples,
              Plan.SampleCount) {}

  std::string Open(AVFormatContext* Fmt, Container Kind) {
    const bool Mp3 = Request.Audio == AudioCodec::Mp3;
    std::string Problem = OpenEncoder(Fmt, Mp3 ? "libmp3lame" : "pcm_s16le",
                                      [this](const AVCodec& Codec) { return Configure(Codec); });
    if (!Problem.empty()) return Problem;
    FrameSize = Enc->frame_size > 0 ? Enc->frame_size : 1024;
    ShortLastFrame = Enc->codec->capabilities &
                     (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
    // AVI keeps no record of an encoder's delay: start the sound that much
    // later so that it decodes in place.
    if (Kind == Container::Avi && Enc->initial_padding > 0 &&
        Enc->initial_padding < Plan.SampleCount)
      Start = Enc->initial_padding;
    Next = Start;
    return "";
  }

  double NextSeconds() const override {
    return static_cast<double>(Next - Start) / Request.SampleRate;
  }

  std::string WriteNext(AVFormatContext* Fmt) override {
    const int Count = static_cast<int>(std::min<int64_t>(FrameSize, Plan.SampleCount - Next));
    FramePtr Frame(ff::av_frame_alloc());
    if (!Frame) return "out of memory";
    Frame->format = Enc->sample_fmt;
    Frame->sample_rate = Enc->sample_rate;
    Frame->nb_samples = ShortLastFrame ? Count : FrameSize;
    ff::av_channel_layout_default(&Frame->ch_layout, Request.Channels);
    if (int Ret = ff::av_frame_get_buffer(Frame.get(), 0); Ret < 0)
      return Format("cannot allocate sound samples: %s", ErrorString(Ret).c_str());
    for (int I = 0; I < Frame->nb_samples; ++I) {
      const double Value = I < Count ? Sound.Sample(Next + I) : 0.0;
      for (int C = 0; C < Request.Channels; ++C) WriteSample(*Frame, Request.Channels, C, I, Value);
    }
    Frame->pts = Next - Start;
    LastFrameSamples = Frame->nb_samples;
    Next += Count;
    if (Next >= Plan.SampleCount) Finished = true;
    return Encode(Fmt, Frame.get());
  }

 private:
  std::string Configure(const AVCodec& Codec) {
    // Float where the encoder takes it, else the first format known here.
    static constexpr AVSampleFormat Preferred[] = {AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_FLT,
                                                   AV_SAMPLE_FMT_S32P, AV_SAMPLE_FMT_S32,
                                                   AV_SAMPLE_FMT_S16P, AV_SAMPLE_FMT_S16};
    Enc->sample_fmt = AV_SAMPLE_FMT_NONE;
    for (AVSampleFormat Want : Preferred) {
      for (const AVSampleFormat* P = Codec.sample_fmts; P && *P != AV_SAMPLE_FMT_NONE; ++P)
        if (*P == Want) Enc->sample_fmt = Want;
      if (Enc->sample_fmt != AV_SAMPLE_FMT_NONE) break;
    }
    if (Enc->sample_fmt == AV_SAMPLE_FMT_NONE)
      return Format("encoder '%s' takes no known sample format", Codec.name);
    if (Codec.supported_samplerates) {
      bool Found = false;
      for (const int* R = Codec.supported_samplerates; *R; ++R)
        Found = Found || *R == Request.SampleRate;
      if (!Found) return Format("encoder '%s' does not take %d Hz", Codec.name, Request.SampleRate);
    }
    Enc->sample_rate = Request.SampleRate;
    ff::av_channel_layout_default(&Enc->ch_layout, Request.Channels);
    Enc->time_base = AVRational{1, Request.SampleRate};
    if (Request.Audio == AudioCodec::Mp3)
      Enc->bit_rate = std::min(64000 * Request.Channels, 320000);
    return "";
  }

  // Packets are numbered by the samples they hold, from 0: the encoder's own
  // stamps start before 0 by its delay, which the muxer would otherwise move
  // every stream to make up for.
  void Restamp(AVPacket& Packet) override {
    int64_t Duration = Packet.duration > 0 ? Packet.duration : LastFrameSamples;
    Packet.pts = Packet.dts = Written;
    Packet.duration = Duration;
    Written += Duration;
  }

  const MediaRequest& Request;
  const Timeline& Plan;
  SoundSynth Sound;
  int FrameSize = 1024;
  bool ShortLastFrame = true;
  int64_t Start = 0;  // first sound sample sent
  int64_t Next = 0;   // next sound sample to send
  int LastFrameSamples = 0;
  int64_t Written = 0;
};

std::string WriteFile(const std::string& Path, const MediaRequest& Request, const Timeline& Plan, Container Kind,
                      bool& Created) {
  const char* Muxer = Kind == Container::Avi   ? "avi"
                      : Kind == Container::Mkv ? "matroska"
                      : Kind == Container::Mp3 ? "mp3"
                                               : "wav";
  AVFormatContext* Raw = nullptr;
  if (int Ret = ff::avformat_alloc_output_context2(&Raw, nullptr, Muxer, Path.c_str());
      Ret < 0 || !Raw)
    return Format("no '%s' muxer: %s", Muxer, ErrorString(Ret).c_str());
  OutputFormatPtr Fmt(Raw);
  Fmt->flags |= AVFMT_FLAG_BITEXACT;

  std::vector<std::unique_ptr<Track>> Tracks;
  if (Request.Video != VideoCodec::None) {
    auto Video = std::make_unique<VideoTrack>(Request, Plan);
    if (std::string Problem = Video->Open(Fmt.get()); !Problem.empty()) return Problem;
    Tracks.push_back(std::move(Video));
  }
  for (int I = 0; Request.Audio != AudioCodec::None && I < Request.AudioStreams; ++I) {
    auto Audio = std::make_unique<AudioTrack>(Request, Plan, I);
    if (std::string Problem = Audio->Open(Fmt.get(), Kind); !Problem.empty()) return Problem;
    Tracks.push_back(std::move(Audio));
  }

  if (!(Fmt->oformat->flags & AVFMT_NOFILE)) {
    if (int Ret = ff::avio_open(&Fmt->pb, Path.c_str(), AVIO_FLAG_WRITE); Ret < 0)
      return Format("cannot open '%s' for writing: %s", Path.c_str(), ErrorString(Ret).c_str());
    Created = true;
  }
  if (int Ret = ff::avformat_write_header(Fmt.get(), nullptr); Ret < 0)
    return Format("cannot write the file header: %s", ErrorString(Ret).c_str());

  for (;;) {
    Track* Earliest = nullptr;
    for (auto& T : Tracks)
      if (!T->Done() && (!Earliest || T->NextSeconds() < Earliest->NextSeconds()))
        Earliest = T.get();
    if (!Earliest) break;
    if (std::string Problem = Earliest->WriteNext(Fmt.get()); !Problem.empty()) return Problem;
  }
  for (auto& T : Tracks)
    if (std::string Problem = T->Flush(Fmt.get()); !Problem.empty()) return Problem;
  if (int Ret = ff::av_write_trailer(Fmt.get()); Ret < 0)
    return Format("cannot finish the file: %s", ErrorString(Ret).c_str());
  if (Fmt->pb) {
    const int Ret = ff::avio_closep(&Fmt->pb);
    if (Ret < 0) return Format("cannot close '%s': %s", Path.c_str(), ErrorString(Ret).c_str());
  }
  return "";
}

}  // namespace

std::string Generate(const std::string& Path, const MediaRequest& Request) {
  if (!FFmpegLibsLoaded()) return "the media libraries are not loaded";
  if (Path.empty()) return "no output file name";
  Container Kind;
  Timeline Plan;
  std::string Problem = ChooseContainer(Path, Request, Kind);
  if (Problem.empty()) Problem = PlanTimeline(Request, Plan);
  if (!Problem.empty()) return Problem;

  bool Created = false;
  Problem = WriteFile(Path, Request, Plan, Kind, Created);
  // Only a regular file of our own goes; a device named as output stays.
  std::error_code Ignored;
  if (!Problem.empty() && Created && std::filesystem::is_regular_file(Path, Ignored))
    std::filesystem::remove(Path, Ignored);
  return Problem;
}

}  // namespace vexav::mediagen
