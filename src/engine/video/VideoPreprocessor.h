// Pre-processing of a decoded picture, once per picture before it goes to a
// filter graph or to the video outputs: a working copy when deinterlacing or
// a hook needs one, the deinterlacer, and the hook stage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "binding/Owners.h"
#include "engine/picture/Picture.h"

namespace vexav {

class TVideoPreprocessor {
 public:
  // Allocates the working buffer; the memory must be freeable with av_free
  // (the default is av_malloc). Tests use it to make allocation fail.
  using TAllocate = std::function<void*(std::size_t Size)>;
  // The hook stage, run on the working copy: it may change the pixels (and
  // the plane pointers, as long as they stay valid while the picture is in
  // use).
  using THookStage = std::function<void(TPicture& Picture, int PixFmt, int Width, int Height)>;
  using TLog = std::function<void(int Level, const std::string& Text)>;

  explicit TVideoPreprocessor(TAllocate Allocate = {});
  TVideoPreprocessor(const TVideoPreprocessor&) = delete;
  TVideoPreprocessor& operator=(const TVideoPreprocessor&) = delete;
  ~TVideoPreprocessor();

  // Returns the picture to pass on.
  // A working copy is needed when DoDeinterlace is set or HookWanted (a
  // custom hook is set, or the frame-hook chain applies to this picture).
  // Without that, or for a picture that carries no decoded pixels (no
  // frame, no plane, no size: a stream that is copied without decoding),
  // Decoded itself comes back and nothing else happens.
  // Otherwise the working buffer (reused; it grows and never shrinks) gets
  // the picture deinterlaced or copied, Hook runs on it when set, and the
  // result is a frame that carries Decoded's properties (time stamps,
  // quality, field flags, aspect) over the working copy's planes, without
  // buffer references; it stays valid until the next Process call.
  // Reports at level 0: "hook buf malloc error." when the buffer cannot be
  // allocated (Decoded comes back unprocessed, no hook runs);
  // "Deinterlacing failed." when the deinterlacer refuses the picture (it is
  // copied as it is and the hook still runs, on the copy: the decoder's own
  // buffers, which it may still use as references, are never written).
  // Decoded is never changed.
  const AVFrame* Process(const AVFrame* Decoded, bool DoDeinterlace, bool HookWanted,
                         const THookStage& Hook, const TLog& Log);

  // Whether the last Process call handed back the working copy.
  bool UsedWorkingCopy() const { return WorkingCopyUsed; }
  // The working copy's planes after the last Process that made one.
  const TPicture& WorkingPicture() const { return Working; }
  std::size_t BufferSize() const { return HookBufferSize; }
  const uint8_t* Buffer() const { return HookBuffer.get(); }

 private:
  bool EnsureBuffer(std::size_t Size);

  TAllocate Allocate;
  LibraryMemoryPtr<uint8_t> HookBuffer;
  std::size_t HookBufferSize = 0;
  FramePtr View;
  TPicture Working;
  bool WorkingCopyUsed = false;
};

}  // namespace vexav
