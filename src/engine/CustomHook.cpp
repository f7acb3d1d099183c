// The application's custom frame hook: the working copy of a decoded
// picture is converted to 24-bit BGR (unless it is BGR24 already) and
// copied into the hook image, the handler is called with the image locked,
// and with Update the image goes back into the working copy.
//
// The image is made at the size of the first picture that reaches the hook.
// Should a later picture of the run have another size, the image is made
// anew at that size before it is filled (its old contents are lost); the
// converters are cached per size and format by the scaler library. So no
// row is ever read or written beyond the smaller of the two sizes.
#include <algorithm>
#include <cstring>
#include <exception>

#include "engine/FFmpeg.h"
#include "engine/picture/Picture.h"

namespace vexav {

void TCustomFFmpeg::ReleaseHookImage() {
  HookBitmap.reset();
  HookRGBBuffer.reset();
  HookRGBBufferSize = 0;
  ToRGBContext.reset();
  FromRGBContext.reset();
}

void TCustomFFmpeg::CustomHookStage(TPicture& Picture, int PixFmt, int Width, int Height, int64_t Pts) {
  if (Width <= 0 || Height <= 0) return;
  auto StopCustomHook = [this]() {
    OnCustomHook = nullptr;
    HookAction = THookAction::haStop;
    UsingVhook = false;
  };

  if (!HookBitmap) HookBitmap = std::make_unique<THookBitmap>(Width, Height);
  else if (HookBitmap->Width() != Width || HookBitmap->Height() != Height) HookBitmap->SetSize(Width, Height);

  const auto Fmt = static_cast<AVPixelFormat>(PixFmt);
  const bool IsBgr = Fmt == AV_PIX_FMT_BGR24;
  TPicture Bgr;
  if (IsBgr) {
    Bgr = Picture;
  } else {
    const int Size = ff::av_image_get_buffer_size(AV_PIX_FMT_BGR24, Width, Height, 1);
    if (Size <= 0) return;
    if (!HookRGBBuffer || HookRGBBufferSize < Size) {
      HookRGBBuffer.reset();
      HookRGBBufferSize = 0;
      HookRGBBuffer.reset(static_cast<uint8_t*>(ff::av_malloc(static_cast<std::size_t>(Size))));
      if (!HookRGBBuffer) {
        Log(0, "hook buf malloc error.");
        return;
      }
      HookRGBBufferSize = Size;
    }
    ff::av_image_fill_arrays(Bgr.data, Bgr.linesize, HookRGBBuffer.get(), AV_PIX_FMT_BGR24, Width, Height, 1);
    ToRGBContext.reset(ff::sws_getCachedContext(ToRGBContext.release(), Width, Height, Fmt, Width, Height,
                                                AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!ToRGBContext) {
      Log(0, "Cannot initialize the toRGB conversion context");
      StopCustomHook();
      return;
    }
    ff::sws_scale(ToRGBContext.get(), Picture.data, Picture.linesize, 0, Height, Bgr.data, Bgr.linesize);
  }

  const std::size_t RowBytes = static_cast<std::size_t>(Width) * 3;
  for (int Y = 0; Y < Height; ++Y)
    std::memcpy(HookBitmap->ScanLine(Y), Bgr.data[0] + static_cast<std::ptrdiff_t>(Y) * Bgr.linesize[0], RowBytes);

  bool Update = true;
  bool StopHook = false;
  HookBitmap->Lock();
  try {
    OnCustomHook(*this, *HookBitmap, HookFrameNumber, Pts, Update, StopHook);
  } catch (const std::exception& Error) {
    Log(0, std::string("Error occurs OnCustomHook: ") + Error.what());
    Update = false;
  } catch (...) {
    Log(0, "Error occurs OnCustomHook: unknown exception");
    Update = false;
  }
  HookBitmap->Unlock();

  // The handler may have resized the image: only what both share is copied.
  if (Update && HookBitmap->Width() == Width && HookBitmap->Height() == Height) {
    for (int Y = 0; Y < Height; ++Y)
      std::memcpy(Bgr.data[0] + static_cast<std::ptrdiff_t>(Y) * Bgr.linesize[0], HookBitmap->ScanLine(Y), RowBytes);
    if (!IsBgr) {
      FromRGBContext.reset(ff::sws_getCachedContext(FromRGBContext.release(), Width, Height, AV_PIX_FMT_BGR24, Width,
                                                    Height, Fmt, SWS_BICUBIC, nullptr, nullptr, nullptr));
      if (!FromRGBContext) {
        Log(0, "Cannot initialize the fromRGB conversion context");
        StopCustomHook();
        return;
      }
      const uint8_t* const Src[4] = {Bgr.data[0], Bgr.data[1], Bgr.data[2], Bgr.data[3]};
      ff::sws_scale(FromRGBContext.get(), Src, Bgr.linesize, 0, Height, Picture.data, Picture.linesize);
    }
  } else if (Update) {
    Log(0, "Error occurs OnCustomHook: the image was resized; the picture is left unchanged");
  }
  if (StopHook) StopCustomHook();
}

}  // namespace vexav
