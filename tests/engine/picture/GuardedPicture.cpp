#include "GuardedPicture.h"

#include <gtest/gtest.h>

#include "binding/FFmpegLibs.h"

namespace vexav::test {

TGuardedPicture::TGuardedPicture(std::vector<TPlaneSize> PlaneSizes, TKind Kind)
    : Sizes(std::move(PlaneSizes)),
      Zone(Kind == TKind::Tight ? 0 : GuardZone),
      Tail(Kind == TKind::Tight ? 0 : LineTail) {
  for (size_t P = 0; P < Sizes.size(); ++P) {
    const int Stride = Sizes[P].Width + Tail;
    Storage.emplace_back(static_cast<size_t>(2 * Zone + Stride * Sizes[P].Height), GuardByte);
    Pic.data[P] = Storage.back().data() + Zone;
    Pic.linesize[P] = Stride;
  }
}

void TGuardedPicture::Fill(const std::function<uint8_t(int, int, int)>& Value) {
  for (int P = 0; P < PlaneCount(); ++P)
    for (int Y = 0; Y < Size(P).Height; ++Y)
      for (int X = 0; X < Size(P).Width; ++X) At(P, X, Y) = Value(P, X, Y);
}

bool TGuardedPicture::GuardsIntact() const {
  for (int P = 0; P < PlaneCount(); ++P) {
    const std::vector<uint8_t>& Bytes = Storage[static_cast<size_t>(P)];
    const int Stride = Pic.linesize[P];
    for (size_t I = 0; I < Bytes.size(); ++I) {
      const std::ptrdiff_t InPlane = static_cast<std::ptrdiff_t>(I) - Zone;
      const bool IsSample = InPlane >= 0 && InPlane < std::ptrdiff_t{Stride} * Size(P).Height &&
                            InPlane % Stride < Size(P).Width;
      if (!IsSample && Bytes[I] != GuardByte) return false;
    }
  }
  return true;
}

std::vector<TPlaneSize> PlanarSizes(int Width, int Height, int ShiftW, int ShiftH,
                                    int ChromaPlanes) {
  std::vector<TPlaneSize> Sizes{{Width, Height}};
  const TPlaneSize Chroma{-((-Width) >> ShiftW), -((-Height) >> ShiftH)};
  for (int I = 0; I < ChromaPlanes; ++I) Sizes.push_back(Chroma);
  return Sizes;
}

void LoadLibsOrFail() { ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError(); }

}  // namespace vexav::test
