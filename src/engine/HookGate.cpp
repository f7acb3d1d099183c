// The frame-hook gate and the hook stage: which pictures the chain of
// frame-hook libraries ("vhook") acts on, decided per picture by the
// application's before hook or by time ranges, and the stage itself, run on
// the working copy of each decoded picture by pre-processing.
#include <algorithm>
#include <exception>

#include "engine/FFmpeg.h"
#include "engine/picture/Picture.h"

namespace vexav {

void TCustomFFmpeg::SetHookRanges(std::vector<THookRange> Ranges) {
  std::stable_sort(Ranges.begin(), Ranges.end(),
                   [](const THookRange& A, const THookRange& B) { return A.End < B.End; });
  HookRangeList = std::move(Ranges);
  HookRangeIndex = 0;
}

bool TCustomFFmpeg::HookGate(int64_t Pts) {
  if (OnCustomHook || !UsingVhook) return false;
  if (OnBeforeHook) {
    try {
      OnBeforeHook(*this, Pts, HookAction);
    } catch (const std::exception& Error) {
      Log(0, std::string("Error occurs OnBeforeHook: ") + Error.what());
      HookAction = THookAction::haStop;
    } catch (...) {
      Log(0, "Error occurs OnBeforeHook: unknown exception");
      HookAction = THookAction::haStop;
    }
    if (HookAction == THookAction::haStop) UsingVhook = false;
  } else if (!HookRangeList.empty()) {
    HookAction = THookAction::haIgnore;
    const int Count = static_cast<int>(HookRangeList.size());
    for (int I = std::max(HookRangeIndex, 0); I < Count; ++I) {
      const THookRange& Range = HookRangeList[static_cast<std::size_t>(I)];
      if (Range.Start <= Pts && Pts <= Range.End) {
        HookRangeIndex = I;
        HookAction = THookAction::haContinue;
        break;
      }
      if (I == Count - 1 && Range.End < Pts) {
        HookAction = THookAction::haStop;
        UsingVhook = false;
      }
    }
  }
  return UsingVhook && HookAction == THookAction::haContinue;
}

void TCustomFFmpeg::RunHookStage(TPicture& Picture, int PixFmt, int Width, int Height, int64_t Pts,
                                 bool ChainApplies) {
  if (OnCustomHook) {
    CustomHookStage(Picture, PixFmt, Width, Height, Pts);
    return;
  }
  if (!ChainApplies || !HookChain) return;
  VexavHookPicture HookPicture{};
  for (int I = 0; I < 4; ++I) {
    HookPicture.data[I] = Picture.data[I];
    HookPicture.linesize[I] = Picture.linesize[I];
  }
  ProcessFrameHooks(HookChain, &HookPicture, PixFmt, Width, Height, Pts);
}

}  // namespace vexav
