// The video output of one re-encoded output stream: the frame-rate rule,
// crop, scale and pad, then encoding and handing the packets on.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "binding/Owners.h"
#include "engine/picture/Picture.h"
#include "engine/video/QualityStats.h"

namespace vexav {

// The flags that make the encoder care about field order
// (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME).
inline constexpr int INTERLACED_CODING_FLAGS = 0x20040000;

struct TVideoOutputConfig {
  // The opened encoder (not owned). Its size, pixel format, time base and
  // flags are read at every picture.
  AVCodecContext* Encoder = nullptr;
  // The output stream (not owned): its time base for the packets.
  AVStream* Stream = nullptr;
  // The packets' stream index; -1 takes Stream->index.
  int StreamIndex = -1;

  // Option "vsync" and the stream's frame limit (video entry of "vframes").
  int VideoSyncMethod = -1;
  int64_t MaxFrames = std::numeric_limits<int>::max();
  // The frame of a longer conversion this output starts at ("vsync_start"):
  // the frame-rate rule counts its frames from there, so that a piece of a
  // conversion drops and repeats the pictures the whole one would. The
  // stream's own stamps still start at 0.
  int64_t SyncBase = 0;
  // Output times in microseconds, rising: the first picture at or after
  // each is coded as a key frame.
  std::vector<int64_t> ForcedKeyFrames;

  // Pictures come out of a filter graph, which did the cropping and scaling:
  // no crop and no scale here (padding still applies).
  bool FiltersInUse = false;

  // Crop: the encoded picture starts CropTop lines down and CropLeft pixels
  // across the input picture (the right and bottom bands follow from the
  // sizes). No pixel is copied for it.
  bool VideoCrop = false;
  int CropTop = 0, CropLeft = 0;

  // Pad: bands of PadColor (Y, Cb, Cr) around the picture, inside the
  // encoder's size. Padding is on when any band is not 0.
  int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
  std::array<int, 3> PadColor{16, 128, 128};

  // Scale: ScaleContext (not owned) converts the input size minus the crop
  // bands into the encoder size minus the pad bands, in the encoder's pixel
  // format, reading ResampleHeight lines of the (cropped) input picture.
  // Needed when VideoResample is set and no filter graph is in use.
  bool VideoResample = false;
  SwsContext* ScaleContext = nullptr;
  int ResampleHeight = 0;

  // Quality handed to the encoder with each picture, in lambda units:
  // the input picture's own (option "sameq"), or Quality, which defaults
  // to the encoder's global_quality (what a fixed "qscale" set).
  bool SameQuality = false;
  int Quality = -1;  // -1: the encoder's global_quality

  // Field order: option "top" (-1 keeps the input picture's), applied when
  // the codec flags ask for interlaced coding. CodecFlags -1 reads the
  // encoder's flags.
  int TopFieldFirst = -1;
  int CodecFlags = -1;

  bool ExitOnError = false;  // option "xerror"
  int Verbose = 1;           // option "v"

  // Two-pass statistics log (not owned): the encoder's stats_out is
  // appended after every packet.
  std::FILE* LogFile = nullptr;

  // Read before every repetition of a picture; another thread may set it.
  const std::atomic<bool>* StopRequested = nullptr;

  // Receives every encoded packet, its time stamps in the stream's time base
  // and its stream index set. The packet is unreferenced after the call; the
  // callee may take its reference (av_interleaved_write_frame does).
  std::function<void(AVPacket* Packet)> WritePacket;
  // Log lines: level 0 errors, 1 information. Nothing is logged when unset.
  std::function<void(int Level, const std::string& Text)> Log;
};

// What one Write or Flush did; the engine adds the counts to its totals
// (VideoSize, FramesDropped, FramesDuplicated).
struct TVideoWriteResult {
  // Pictures handed to the encoder (repetitions of this picture).
  int64_t Count = 0;
  // Bytes of the last packet written in this call, 0 if none.
  int FrameSize = 0;
  int PacketsWritten = 0;
  int64_t BytesWritten = 0;
  int Dropped = 0;
  int64_t Duplicated = 0;
  // The picture was not written because cropping or padding failed.
  bool Skipped = false;
};

class TVideoOutput {
 public:
  // Checks the configuration and allocates the scratch picture when padding
  // or scaling is on. Raises FFMpegException: "avpicture_alloc fail" or
  // "Cannot allocate temp picture, check pix fmt" (with scaling) when the
  // scratch picture cannot be allocated, "Cannot get resampling context"
  // when scaling is on without a scaler; std::invalid_argument without an
  // encoder or stream.
  explicit TVideoOutput(TVideoOutputConfig Config);
  TVideoOutput(const TVideoOutput&) = delete;
  TVideoOutput& operator=(const TVideoOutput&) = delete;
  ~TVideoOutput();

  // Writes one decoded (or filtered) picture whose time is InTime seconds
  // from the output's start: frame-rate rule, frame limit, crop, scale, pad,
  // then Count pictures go to the encoder (SyncPts and FrameNumber advance
  // by one each time, whether or not a packet came out), and every packet
  // the encoder gives back is written. The duplicates are of the previous
  // picture, and this picture comes last: a picture that arrives late for
  // its slot fills the gap with what was on screen before it, instead of
  // appearing early and repeating (which would show it up to the rule's
  // 1.5 frames ahead of its sound). Before any picture was written, the
  // duplicates are of this one.
  // The picture is only read; it may be reference counted (then no pixel is
  // copied when neither scaling nor padding is on) or not (its data must stay
  // valid for the call only).
  // Raises FFMpegException "Video encoding failed" on an encoder error, and
  // "error cropping picture" / "error padding picture" with ExitOnError
  // (otherwise that text is logged at level 0 and the picture is skipped).
  TVideoWriteResult Write(const AVFrame* InPicture, double InTime);

  // Drains the encoder at the end of the stream and writes what it still
  // holds. Further calls (and Writes) do nothing.
  TVideoWriteResult Flush();

  int64_t SyncPts() const { return SyncPtsValue; }
  int FrameNumber() const { return FrameNumberValue; }
  // The statistics of the last packet that carried them.
  const TCodedPictureStats& LastCodedPicture() const { return LastStats; }
  // Totals over the stream's life.
  int64_t TotalBytes() const { return TotalBytesValue; }
  int64_t TotalPackets() const { return TotalPacketsValue; }
  bool Flushed() const { return FlushedValue; }
  const TVideoOutputConfig& Config() const { return Cfg; }

 private:
  bool VideoPad() const;
  bool Resampling() const;
  void AllocateScratch();
  void EnsureScratchWritable();
  bool Fail(const char* Text);
  void PrepareEncoderFrame(const AVFrame* InPicture, const TPicture& Final, bool FinalIsScratch);
  void SendAndDrain(const AVFrame* Frame, TVideoWriteResult& R);
  // Whether the picture at output time Pts (encoder time base) must be a
  // key frame; each forced time is met once.
  bool ForceKeyFrame(int64_t Pts);
  void Drain(TVideoWriteResult& R, bool UntilEnd);
  void WriteOnePacket(TVideoWriteResult& R);

  TVideoOutputConfig Cfg;
  FramePtr PictureTmp;
  FramePtr EncFrame;
  // The last picture handed to the encoder, kept (by reference) for the
  // duplicates the frame-rate rule asks for.
  FramePtr Previous;
  PacketPtr Packet;
  int64_t SyncPtsValue = 0;
  int FrameNumberValue = 0;
  size_t NextForcedKey = 0;  // into Cfg.ForcedKeyFrames
  TCodedPictureStats LastStats;
  int64_t TotalBytesValue = 0;
  int64_t TotalPacketsValue = 0;
  bool FlushedValue = false;
};

// Whether pictures in PixFmt whose stream is flagged Range (an AVColorRange)
// hold full-range samples: the "j" formats always, any other YUV or grey
// format when flagged so. RGB and paletted pictures have no such range.
bool FullRangeSamples(int PixFmt, int Range);

// The scaler for an output stream: from the decoder's size less the crop
// bands, in its pixel format, to the encoder's size less the pad bands, in
// the encoder's pixel format, with the given swscale flags. SourceFull and
// TargetFull give the ranges (FullRangeSamples) between which the samples
// are converted. Null when the library cannot make it.
ScalerPtr MakeOutputScaler(int DecWidth, int DecHeight, int DecPixFmt, int CropTop, int CropBottom,
                           int CropLeft, int CropRight, int EncWidth, int EncHeight, int EncPixFmt,
                           int PadTop, int PadBottom, int PadLeft, int PadRight, int SwsFlags,
                           bool SourceFull = false, bool TargetFull = false);

}  // namespace vexav
