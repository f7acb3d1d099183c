#include "engine/video/VideoPreprocessor.h"

#include <utility>

#include "engine/picture/Deinterlace.h"

namespace vexav {

namespace {

// Line alignment of the working copy: what the scaler and encoders read
// fastest.
constexpr int WorkingAlign = 32;

TPicture PictureOf(const AVFrame& F) {
  TPicture P;
  for (int I = 0; I < 4; ++I) {
    P.data[I] = F.data[I];
    P.linesize[I] = F.linesize[I];
  }
  return P;
}

bool HasPixels(const AVFrame* F) {
  return F && F->data[0] && F->width > 0 && F->height > 0 && F->format >= 0;
}

}  // namespace

TVideoPreprocessor::TVideoPreprocessor(TAllocate AllocateFn) : Allocate(std::move(AllocateFn)) {
  if (!Allocate) Allocate = [](std::size_t Size) { return ff::av_malloc(Size); };
}

TVideoPreprocessor::~TVideoPreprocessor() = default;

bool TVideoPreprocessor::EnsureBuffer(std::size_t Size) {
  if (HookBuffer && HookBufferSize >= Size) return true;
  HookBuffer.reset();
  HookBufferSize = 0;
  HookBuffer.reset(static_cast<uint8_t*>(Allocate(Size)));
  if (!HookBuffer) return false;
  HookBufferSize = Size;
  return true;
}

const AVFrame* TVideoPreprocessor::Process(const AVFrame* Decoded, bool DoDeinterlace,
                                           bool HookWanted, const THookStage& Hook,
                                           const TLog& Log) {
  WorkingCopyUsed = false;
  if (!HasPixels(Decoded) || !(DoDeinterlace || HookWanted)) return Decoded;

  const auto Fmt = static_cast<AVPixelFormat>(Decoded->format);
  const int W = Decoded->width, H = Decoded->height;
  const int Size = ff::av_image_get_buffer_size(Fmt, W, H, WorkingAlign);
  if (Size <= 0 || !EnsureBuffer(static_cast<std::size_t>(Size))) {
    if (Log) Log(0, "hook buf malloc error.");
    return Decoded;
  }
  if (!View) View.reset(ff::av_frame_alloc());
  if (!View) {
    if (Log) Log(0, "hook buf malloc error.");
    return Decoded;
  }
  ff::av_frame_unref(View.get());
  if (ff::av_frame_copy_props(View.get(), Decoded) < 0) {
    ff::av_frame_unref(View.get());
    if (Log) Log(0, "hook buf malloc error.");
    return Decoded;
  }

  Working = TPicture{};
  ff::av_image_fill_arrays(Working.data, Working.linesize, HookBuffer.get(), Fmt, W, H,
                           WorkingAlign);
  const TPicture Source = PictureOf(*Decoded);
  bool Copy = !DoDeinterlace;
  if (DoDeinterlace && DeinterlacePicture(Working, Source, Fmt, W, H) < 0) {
    if (Log) Log(0, "Deinterlacing failed.");
    Copy = true;
  }
  if (Copy) {
    const uint8_t* SrcData[4] = {Source.data[0], Source.data[1], Source.data[2], Source.data[3]};
    ff::av_image_copy(Working.data, Working.linesize, SrcData, Source.linesize, Fmt, W, H);
  }

  if (Hook) Hook(Working, Fmt, W, H);

  AVFrame* V = View.get();
  V->format = Decoded->format;
  V->width = W;
  V->height = H;
  for (int I = 0; I < 4; ++I) {
    V->data[I] = Working.data[I];
    V->linesize[I] = Working.linesize[I];
  }
  V->extended_data = V->data;
  WorkingCopyUsed = true;
  return V;
}

}  // namespace vexav
