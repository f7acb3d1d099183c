#include "engine/video/VideoOutput.h"

#include <cerrno>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "binding/Text.h"
#include "engine/FFMpegException.h"
#include "engine/RunTimings.h"
#include "engine/picture/Crop.h"
#include "engine/picture/Pad.h"
#include "engine/video/FrameRateRule.h"

namespace vexav {

namespace {

TPicture PictureOf(const AVFrame& F) {
  TPicture P;
  for (int I = 0; I < 4; ++I) {
    P.data[I] = F.data[I];
    P.linesize[I] = F.linesize[I];
  }
  return P;
}

[[noreturn]] void EncodingFailed() {
  throw FFMpegException("Video encoding failed");
}

// Drops the encoder frame's references when a write ends, so that no
// buffer of the decoder or of the scratch picture is held between pictures.
struct TFrameUnref {
  AVFrame* Frame;
  ~TFrameUnref() { ff::av_frame_unref(Frame); }
};

}  // namespace

TVideoOutput::TVideoOutput(TVideoOutputConfig Config) : Cfg(std::move(Config)) {
  if (!Cfg.Encoder) throw std::invalid_argument("TVideoOutput: no encoder");
  if (!Cfg.Stream) throw std::invalid_argument("TVideoOutput: no output stream");
  if (Cfg.StreamIndex < 0) Cfg.StreamIndex = Cfg.Stream->index;
  if (Cfg.Quality < 0) Cfg.Quality = Cfg.Encoder->global_quality;
  if (Resampling() && !Cfg.ScaleContext) throw FFMpegException("Cannot get resampling context");

  EncFrame.reset(ff::av_frame_alloc());
  Previous.reset(ff::av_frame_alloc());
  Packet.reset(ff::av_packet_alloc());
  if (!EncFrame || !Previous || !Packet) throw FFMpegException("Could not allocate video frame");
  if (VideoPad() || Resampling()) AllocateScratch();
}

TVideoOutput::~TVideoOutput() = default;

bool TVideoOutput::VideoPad() const {
  return Cfg.PadTop != 0 || Cfg.PadBottom != 0 || Cfg.PadLeft != 0 || Cfg.PadRight != 0;
}

bool TVideoOutput::Resampling() const {
  return Cfg.VideoResample && !Cfg.FiltersInUse;
}

void TVideoOutput::AllocateScratch() {
  if (!PictureTmp) PictureTmp.reset(ff::av_frame_alloc());
  bool Ok = PictureTmp != nullptr;
  if (Ok) {
    ff::av_frame_unref(PictureTmp.get());
    PictureTmp->format = Cfg.Encoder->pix_fmt;
    PictureTmp->width = Cfg.Encoder->width;
    PictureTmp->height = Cfg.Encoder->height;
    Ok = ff::av_frame_get_buffer(PictureTmp.get(), 0) >= 0;
  }
  if (!Ok) {
    throw FFMpegException(Cfg.VideoResample ? "Cannot allocate temp picture, check pix fmt"
                                            : "avpicture_alloc fail");
  }
}

// The encoder may keep a reference to the scratch picture it was given
// (pictures waiting for B-frames or look-ahead); such a buffer is left to it
// and the scratch picture gets a fresh one before it is written again.
void TVideoOutput::EnsureScratchWritable() {
  if (!ff::av_frame_is_writable(PictureTmp.get())) AllocateScratch();
}

bool TVideoOutput::Fail(const char* Text) {
  if (Cfg.ExitOnError) throw FFMpegException(Text);
  if (Cfg.Log) Cfg.Log(0, Text);
  return false;
}

TVideoWriteResult TVideoOutput::Write(const AVFrame* InPicture, double InTime) {
  TVideoWriteResult R;
  if (FlushedValue || !InPicture) return R;
  AVCodecContext* Enc = Cfg.Encoder;

  // Frame-rate rule and frame limit.
  TFrameRateInput RuleIn;
  RuleIn.VideoSyncMethod = Cfg.VideoSyncMethod;
  RuleIn.EncoderTimeBase = Enc->time_base;
  RuleIn.InTime = InTime;
  RuleIn.SyncPts = SyncPtsValue + Cfg.SyncBase;
  RuleIn.FramesLeft = Cfg.MaxFrames - FrameNumberValue;
  RuleIn.PictureWritten = FrameNumberValue > 0;
  const TFrameRateDecision D = DecideFrameCount(RuleIn);
  SyncPtsValue = D.SyncPts - Cfg.SyncBase;
  R.Dropped = D.Dropped;
  R.Duplicated = D.Duplicated;
  if (Cfg.Log && Cfg.Verbose > 2) {
    if (D.Dropped) Cfg.Log(1, "*** drop!");
    if (D.Duplicated > 0) Cfg.Log(1, Format("*** %lld dup!", static_cast<long long>(D.Duplicated)));
  }
  if (D.GapNotFilled > 0 && Cfg.Log)
    Cfg.Log(0, Format("%lld frame duplication too large, skipping",
                      static_cast<long long>(D.GapNotFilled)));
  if (D.Count <= 0) return R;

  // Crop: a view into the input picture.
  TPicture Formatted = PictureOf(*InPicture);
  if (Cfg.VideoCrop && !Cfg.FiltersInUse) {
    TPicture View;
    if (CropView(View, Formatted, InPicture->format, Cfg.CropTop, Cfg.CropLeft) < 0) {
      R.Skipped = !Fail("error cropping picture");
      return R;
    }
    Formatted = View;
  }

  // Scale and pad into the scratch picture.
  TPicture Final = Formatted;
  bool FinalIsScratch = false;
  const TPicture* PadSource = &Formatted;
  TPicture ScaleTarget;
  if (VideoPad() || Resampling()) {
    EnsureScratchWritable();
    ScaleTarget = PictureOf(*PictureTmp);
  }
  if (VideoPad()) {
    Final = PictureOf(*PictureTmp);
    FinalIsScratch = true;
    if (Cfg.VideoResample) {
      TPicture PadView;
      if (CropView(PadView, Final, Enc->pix_fmt, Cfg.PadTop, Cfg.PadLeft) < 0) {
        R.Skipped = !Fail("error padding picture");
        return R;
      }
      if (!Cfg.FiltersInUse) ScaleTarget = PadView;
    }
  }
  if (Resampling()) {
    PadSource = nullptr;
    Final = PictureOf(*PictureTmp);
    FinalIsScratch = true;
    TimedCall(TRunStage::Scale, [&] {
      return ff::sws_scale(Cfg.ScaleContext, Formatted.data, Formatted.linesize, 0,
                           Cfg.ResampleHeight, ScaleTarget.data, ScaleTarget.linesize);
    });
  }
  if (VideoPad()) {
    if (PadPicture(Final, PadSource, Enc->height, Enc->width, Enc->pix_fmt, Cfg.PadTop,
                   Cfg.PadBottom, Cfg.PadLeft, Cfg.PadRight, Cfg.PadColor.data()) < 0) {
      R.Skipped = !Fail("error padding picture");
      return R;
    }
  }

  // Encode Count times.
  TFrameUnref Release{EncFrame.get()};
  PrepareEncoderFrame(InPicture, Final, FinalIsScratch);
  // The copies that fill a gap repeat the picture before it; this one comes
  // last. When the frame limit cuts the run of copies short, the ones kept
  // are the first, so that the stream ends as the longer run goes on.
  const bool HavePrevious = Previous->data[0] != nullptr;
  for (int64_t I = 0; I < D.Count; ++I) {
    if (Cfg.StopRequested && Cfg.StopRequested->load()) break;
    AVFrame* Picture = (HavePrevious && I + 1 < D.RuleCount) ? Previous.get() : EncFrame.get();
    Picture->pts = SyncPtsValue;
    const bool Forced = ForceKeyFrame(SyncPtsValue);
    if (Forced) Picture->pict_type = AV_PICTURE_TYPE_I;
    SendAndDrain(Picture, R);
    // The repeated picture keeps its own frame type.
    if (Forced) Picture->pict_type = AV_PICTURE_TYPE_NONE;
    ++SyncPtsValue;
    ++FrameNumberValue;
    ++R.Count;
  }
  // This picture is the one a later duplicate repeats. (A picture without
  // buffers of its own, a working copy, is copied into one here.)
  ff::av_frame_unref(Previous.get());
  if (R.Count > 0 && ff::av_frame_ref(Previous.get(), EncFrame.get()) < 0) EncodingFailed();
  return R;
}

void TVideoOutput::PrepareEncoderFrame(const AVFrame* InPicture, const TPicture& Final,
                                       bool FinalIsScratch) {
  AVFrame* F = EncFrame.get();
  ff::av_frame_unref(F);
  // A reference keeps the pixels alive for as long as the encoder holds the
  // picture, with no copy. Data without buffers (a working copy, a caller's
  // own memory) is copied by the library when the frame is sent.
  const AVFrame* Owner = FinalIsScratch ? PictureTmp.get() : InPicture;
  if (Owner->buf[0]) {
    if (ff::av_frame_ref(F, Owner) < 0) EncodingFailed();
  }
  for (int I = 0; I < 4; ++I) {
    F->data[I] = Final.data[I];
    F->linesize[I] = Final.linesize[I];
  }
  AVCodecContext* Enc = Cfg.Encoder;
  F->format = Enc->pix_fmt;
  F->width = Enc->width;
  F->height = Enc->height;
  F->interlaced_frame = InPicture->interlaced_frame;
  const int Flags = Cfg.CodecFlags == -1 ? Enc->flags : Cfg.CodecFlags;
  if (Flags & INTERLACED_CODING_FLAGS) {
    F->top_field_first = Cfg.TopFieldFirst != -1 ? Cfg.TopFieldFirst : InPicture->top_field_first;
  } else {
    F->top_field_first = 0;
  }
  F->quality = Cfg.SameQuality ? InPicture->quality : Cfg.Quality;
  // A decoder's picture type would be taken as a forced frame type (x264
  // would code every picture the source coded as I as a key frame and make
  // no B-frames): the encoder chooses its own.
  F->pict_type = AV_PICTURE_TYPE_NONE;
  F->key_frame = 0;
}

bool TVideoOutput::ForceKeyFrame(int64_t Pts) {
  const std::vector<int64_t>& Times = Cfg.ForcedKeyFrames;
  const AVRational Base = Cfg.Encoder->time_base;
  auto Due = [&](size_t I) { return ff::av_rescale_q(Times[I], AVRational{1, 1000000}, Base); };
  if (NextForcedKey >= Times.size() || Pts < Due(NextForcedKey)) return false;
  while (NextForcedKey < Times.size() && Due(NextForcedKey) <= Pts) ++NextForcedKey;
  return true;
}

void TVideoOutput::SendAndDrain(const AVFrame* Frame, TVideoWriteResult& R) {
  auto Send = [&] {
    return TimedCall(TRunStage::Encode, [&] { return ff::avcodec_send_frame(Cfg.Encoder, Frame); });
  };
  int Ret = Send();
  if (Ret == AVERROR(EAGAIN)) {
    // Packets are drained after every picture, so this means the encoder
    // wants its output read first: read it and try once more.
    Drain(R, false);
    Ret = Send();
  }
  if (Ret < 0) EncodingFailed();
  Drain(R, false);
}

void TVideoOutput::Drain(TVideoWriteResult& R, bool UntilEnd) {
  for (;;) {
    const int Ret = TimedCall(
        TRunStage::Encode, [&] { return ff::avcodec_receive_packet(Cfg.Encoder, Packet.get()); });
    if (Ret == AVERROR_EOF) return;
    if (Ret == AVERROR(EAGAIN)) {
      if (UntilEnd) EncodingFailed();  // a drained encoder never asks for more
      return;
    }
    if (Ret < 0) EncodingFailed();
    WriteOnePacket(R);
  }
}

void TVideoOutput::WriteOnePacket(TVideoWriteResult& R) {
  AVPacket* P = Packet.get();
  TCodedPictureStats S = ReadQualityStats(*P);
  if (S.Valid) {
    LastStats = S;
  } else {
    LastStats.KeyFrame = S.KeyFrame;
  }
  const int Size = P->size;
  P->stream_index = Cfg.StreamIndex;
  ff::av_packet_rescale_ts(P, Cfg.Encoder->time_base, Cfg.Stream->time_base);
  struct TUnref {
    AVPacket* P;
    ~TUnref() { ff::av_packet_unref(P); }
  } Release{P};
  if (Cfg.WritePacket) Cfg.WritePacket(P);
  R.FrameSize = Size;
  R.BytesWritten += Size;
  ++R.PacketsWritten;
  TotalBytesValue += Size;
  ++TotalPacketsValue;
  if (Cfg.LogFile && Cfg.Encoder->stats_out) std::fputs(Cfg.Encoder->stats_out, Cfg.LogFile);
}

TVideoWriteResult TVideoOutput::Flush() {
  TVideoWriteResult R;
  if (FlushedValue) return R;
  FlushedValue = true;
  ff::av_frame_unref(Previous.get());
  const int Ret =
      TimedCall(TRunStage::Encode, [&] { return ff::avcodec_send_frame(Cfg.Encoder, nullptr); });
  if (Ret < 0 && Ret != AVERROR_EOF) EncodingFailed();
  Drain(R, true);
  return R;
}

namespace {

bool IsJpegFormat(const AVPixFmtDescriptor& Desc) {
  return std::string_view(Desc.name).starts_with("yuvj");
}

bool IsRgbOrPaletted(const AVPixFmtDescriptor& Desc) {
  return (Desc.flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) != 0;
}

}  // namespace

bool FullRangeSamples(int PixFmt, int Range) {
  const AVPixFmtDescriptor* Desc =
      PixFmt < 0 ? nullptr : ff::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(PixFmt));
  if (!Desc || IsRgbOrPaletted(*Desc)) return false;
  return IsJpegFormat(*Desc) || Range == AVCOL_RANGE_JPEG;
}

ScalerPtr MakeOutputScaler(int DecWidth, int DecHeight, int DecPixFmt, int CropTop, int CropBottom,
                           int CropLeft, int CropRight, int EncWidth, int EncHeight, int EncPixFmt,
                           int PadTop, int PadBottom, int PadLeft, int PadRight, int SwsFlags,
                           bool SourceFull, bool TargetFull) {
  // A stream whose decoder is unknown has no pixel format; the scaler
  // library aborts the process on a format it has no description of,
  // instead of refusing it.
  if (!ff::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(DecPixFmt)) ||
      !ff::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(EncPixFmt)))
    return nullptr;
  // The ranges go in before the scaler is set up: it picks a plain copy
  // for pictures whose size and format stay the same, and only a range it
  // knows from the start keeps it from doing so. It takes the "j" formats
  // as full range by itself.
  ScalerPtr Scaler(ff::sws_alloc_context());
  if (!Scaler) return nullptr;
  const auto Set = [&](const char* Name, int64_t Value) {
    return ff::av_opt_set(Scaler.get(), Name, std::to_string(Value).c_str(), 0) >= 0;
  };
  const bool Ready = Set("srcw", DecWidth - (CropLeft + CropRight)) &&
                     Set("srch", DecHeight - (CropTop + CropBottom)) &&
                     Set("src_format", DecPixFmt) && Set("dstw", EncWidth - (PadLeft + PadRight)) &&
                     Set("dsth", EncHeight - (PadTop + PadBottom)) &&
                     Set("dst_format", EncPixFmt) && Set("sws_flags", SwsFlags) &&
                     Set("src_range", SourceFull ? 1 : 0) && Set("dst_range", TargetFull ? 1 : 0) &&
                     ff::sws_init_context(Scaler.get(), nullptr, nullptr) >= 0;
  if (!Ready) return nullptr;
  return Scaler;
}

}  // namespace vexav
