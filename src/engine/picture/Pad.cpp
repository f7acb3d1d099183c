#include "engine/picture/Pad.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "binding/Api.h"
#include "engine/picture/PlaneLayout.h"

namespace vexav {

namespace {

using picture::Line;

// The rectangle [X0, X1) x [Y0, Y1) of a plane that holds the inner picture;
// everything else in the plane is band.
struct TInnerRect {
  int X0, X1, Y0, Y1;
};

// A sample covering luma [S << Shift, (S + 1) << Shift) is inner when that
// range meets the inner luma range [Start, End): the first inner sample is
// Start >> Shift (rounded down), the end End >> Shift rounded up.
TInnerRect InnerRect(int Width, int Height, int PadTop, int PadBottom, int PadLeft, int PadRight,
                     int ShiftW, int ShiftH) {
  return {PadLeft >> ShiftW, picture::SubsampledSize(Width - PadRight, ShiftW), PadTop >> ShiftH,
          picture::SubsampledSize(Height - PadBottom, ShiftH)};
}

void Fill(uint8_t* Row, int From, int To, uint8_t Value) {
  if (To > From) std::memset(Row + From, Value, static_cast<size_t>(To - From));
}

void PaintBands(uint8_t* Plane, int Stride, int W, int H, const TInnerRect& R, uint8_t Value) {
  for (int Y = 0; Y < H; ++Y) {
    uint8_t* Row = Line(Plane, Stride, Y);
    if (Y < R.Y0 || Y >= R.Y1) {
      Fill(Row, 0, W, Value);
    } else {
      Fill(Row, 0, R.X0, Value);
      Fill(Row, R.X1, W, Value);
    }
  }
}

// Copies the SrcW x SrcH plane of the inner picture into R, repeating its
// last column and line where R is larger. memmove: Src may be the inner
// rectangle of Dst itself (then R has Src's size and each line moves onto
// itself).
void CopyInner(uint8_t* Plane, int Stride, const TInnerRect& R, const uint8_t* Src, int SrcStride,
               int SrcW, int SrcH) {
  const int W = R.X1 - R.X0;
  const int CopyW = std::min(W, SrcW);
  for (int Y = R.Y0; Y < R.Y1; ++Y) {
    uint8_t* Out = Line(Plane, Stride, Y) + R.X0;
    const uint8_t* In = Line(Src, SrcStride, std::min(Y - R.Y0, SrcH - 1));
    std::memmove(Out, In, static_cast<size_t>(CopyW));
    Fill(Out, CopyW, W, In[CopyW - 1]);
  }
}

}  // namespace

int PadPicture(TPicture& Dst, const TPicture* Src, int Height, int Width, int PixFmt, int PadTop,
               int PadBottom, int PadLeft, int PadRight, const int Color[3]) {
  const AVPixFmtDescriptor* Desc = picture::Descriptor(PixFmt);
  if (Desc == nullptr || !picture::IsPlanarYuv8(*Desc)) return AVERROR(ENOSYS);
  picture::TPlaneLayout Layout;
  if (!picture::DescribePlanes(*Desc, Layout)) return AVERROR(ENOSYS);
  if (Color == nullptr || Width <= 0 || Height <= 0) return AVERROR(EINVAL);
  if (PadTop < 0 || PadBottom < 0 || PadLeft < 0 || PadRight < 0) return AVERROR(EINVAL);
  // 64-bit sums: pads near INT_MAX must not wrap into a "fitting" size.
  const int64_t InnerW = int64_t{Width} - PadLeft - PadRight;
  const int64_t InnerH = int64_t{Height} - PadTop - PadBottom;
  if (InnerW <= 0 || InnerH <= 0) return AVERROR(EINVAL);

  // Every plane is checked before any is written, so that a failure leaves
  // Dst as it was.
  for (int P = 0; P < Layout.PlaneCount; ++P) {
    if (Dst.data[P] == nullptr ||
        picture::AbsLineSize(Dst.linesize[P]) < picture::SubsampledSize(Width, Layout.ShiftW[P]))
      return AVERROR(EINVAL);
    if (Src != nullptr &&
        (Src->data[P] == nullptr ||
         picture::AbsLineSize(Src->linesize[P]) <
             picture::SubsampledSize(static_cast<int>(InnerW), Layout.ShiftW[P])))
      return AVERROR(EINVAL);
  }

  for (int P = 0; P < Layout.PlaneCount; ++P) {
    const int W = picture::SubsampledSize(Width, Layout.ShiftW[P]);
    const int H = picture::SubsampledSize(Height, Layout.ShiftH[P]);
    const TInnerRect R = InnerRect(Width, Height, PadTop, PadBottom, PadLeft, PadRight,
                                   Layout.ShiftW[P], Layout.ShiftH[P]);
    // Plane N holds component N: Y, Cb, Cr.
    const auto Value = static_cast<uint8_t>(std::clamp(Color[P], 0, 255));
    PaintBands(Dst.data[P], Dst.linesize[P], W, H, R, Value);
    if (Src != nullptr)
      CopyInner(Dst.data[P], Dst.linesize[P], R, Src->data[P], Src->linesize[P],
                picture::SubsampledSize(static_cast<int>(InnerW), Layout.ShiftW[P]),
                picture::SubsampledSize(static_cast<int>(InnerH), Layout.ShiftH[P]));
  }
  return 0;
}

}  // namespace vexav
