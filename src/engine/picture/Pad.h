// Padding: bands of one colour around a picture.
#pragma once

#include "engine/picture/Picture.h"

namespace vexav {

// Dst is the padded picture of Width x Height (the encoder's size). Paints
// the four bands (PadTop lines at the top, PadBottom at the bottom, PadLeft
// and PadRight columns at the sides) of every plane with Color: Y in the
// luma plane, Cb and Cr in the chroma planes (values outside 0..255 are
// clipped). When Src is given it is the inner picture, of
// (Width - PadLeft - PadRight) x (Height - PadTop - PadBottom), and is copied
// into the inner rectangle; it may be the inner rectangle of Dst itself
// (a CropView of Dst at PadTop, PadLeft), which then stays as it is.
// With Src null only the bands are painted and the inner rectangle keeps
// what it holds (the scaler wrote it already).
//
// Subsampled planes: a chroma sample belongs to the inner rectangle when any
// luma pixel it covers does; only samples that cover band pixels alone are
// painted. With pads that are multiples of the subsampling the two meet
// exactly. With an odd pad on 4:2:0 or 4:2:2 the shared sample on that side
// is the inner picture's: with Src null it is left untouched, with Src given
// it is filled from Src, the inner chroma placed from the first shared
// sample on and its last column or line repeated where the inner rectangle
// is one sample wider or taller than Src's chroma.
//
// Only 8-bit planar YUV without alpha and gray8 (luma only). Returns 0, or a
// negative error code with Dst untouched: AVERROR(ENOSYS) for other formats,
// AVERROR(EINVAL) for negative pads, pads that leave no inner picture,
// non-positive sizes or missing planes.
int PadPicture(TPicture& Dst, const TPicture* Src, int Height, int Width, int PixFmt, int PadTop,
               int PadBottom, int PadLeft, int PadRight, const int Color[3]);

}  // namespace vexav
