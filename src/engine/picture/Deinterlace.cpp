#include "engine/picture/Deinterlace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "binding/Api.h"
#include "engine/picture/PlaneLayout.h"

namespace vexav {

namespace {

using picture::Line;

inline uint8_t LowPass(int Above2, int Above1, int Cur, int Below1, int Below2) {
  const int Sum = -Above2 + 4 * Above1 + 2 * Cur + 4 * Below1 - Below2;
  // Arithmetic shift: a negative sum rounds towards minus infinity and is
  // clipped to 0 below.
  return static_cast<uint8_t>(std::clamp((Sum + 4) >> 3, 0, 255));
}

// Filters one plane of W x H samples. In place, each odd line is saved before
// it is overwritten, because the next odd line reads it as its line y-2 and
// the last line may read itself as its clamped lower neighbours.
void FilterPlane(uint8_t* Dst, int DstStride, const uint8_t* Src, int SrcStride, int W, int H,
                 bool InPlace, uint8_t* Saved) {
  uint8_t* PrevOdd = Saved;
  uint8_t* CurOdd = Saved + W;
  for (int Y = 0; Y < H; ++Y) {
    uint8_t* Out = Line(Dst, DstStride, Y);
    const uint8_t* Row = Line(Src, SrcStride, Y);
    if ((Y & 1) == 0) {
      if (!InPlace) std::memcpy(Out, Row, static_cast<size_t>(W));
      continue;
    }
    const uint8_t* Cur = Row;
    if (InPlace) {
      std::memcpy(CurOdd, Row, static_cast<size_t>(W));
      Cur = CurOdd;
    }
    auto Original = [&](int Index) -> const uint8_t* {
      Index = std::clamp(Index, 0, H - 1);
      if (Index == Y) return Cur;
      if (InPlace && Index < Y && (Index & 1) != 0) return PrevOdd;
      return Line(Src, SrcStride, Index);
    };
    const uint8_t* Above2 = Original(Y - 2);
    const uint8_t* Above1 = Original(Y - 1);
    const uint8_t* Below1 = Original(Y + 1);
    const uint8_t* Below2 = Original(Y + 2);
    for (int X = 0; X < W; ++X)
      Out[X] = LowPass(Above2[X], Above1[X], Cur[X], Below1[X], Below2[X]);
    if (InPlace) std::swap(PrevOdd, CurOdd);
  }
}

}  // namespace

int DeinterlacePicture(TPicture& Dst, const TPicture& Src, int PixFmt, int Width, int Height) {
  const AVPixFmtDescriptor* Desc = picture::Descriptor(PixFmt);
  if (Desc == nullptr || !picture::IsPlanarYuv8(*Desc)) return AVERROR(ENOSYS);
  if (Width <= 0 || Height <= 0 || Width % 4 != 0 || Height % 4 != 0) return AVERROR(EINVAL);
  picture::TPlaneLayout Layout;
  if (!picture::DescribePlanes(*Desc, Layout)) return AVERROR(ENOSYS);

  // Every plane is checked before any is written, so that a failure leaves
  // Dst as it was.
  int PlaneW[4] = {};
  int PlaneH[4] = {};
  bool InPlace[4] = {};
  int Widest = 0;
  for (int P = 0; P < Layout.PlaneCount; ++P) {
    PlaneW[P] = picture::SubsampledSize(Width, Layout.ShiftW[P]);
    PlaneH[P] = picture::SubsampledSize(Height, Layout.ShiftH[P]);
    if (Src.data[P] == nullptr || Dst.data[P] == nullptr) return AVERROR(EINVAL);
    if (picture::AbsLineSize(Src.linesize[P]) < PlaneW[P] ||
        picture::AbsLineSize(Dst.linesize[P]) < PlaneW[P])
      return AVERROR(EINVAL);
    InPlace[P] = Dst.data[P] == Src.data[P];
    if (InPlace[P] && Dst.linesize[P] != Src.linesize[P]) return AVERROR(EINVAL);
    Widest = std::max(Widest, PlaneW[P]);
  }

  std::vector<uint8_t> Saved(2 * static_cast<size_t>(Widest));
  for (int P = 0; P < Layout.PlaneCount; ++P)
    FilterPlane(Dst.data[P], Dst.linesize[P], Src.data[P], Src.linesize[P], PlaneW[P], PlaneH[P],
                InPlace[P], Saved.data());
  return 0;
}

}  // namespace vexav
