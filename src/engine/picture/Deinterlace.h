// The engine's deinterlacer, used when the "deinterlace" option is on.
#pragma once

#include "engine/picture/Picture.h"

namespace vexav {

// Rebuilds the bottom field (odd lines) of every plane from its neighbours
// with the vertical low-pass (-1, 4, 2, 4, -1) / 8 over lines y-2 .. y+2;
// the top field (even lines) passes unchanged. Lines beyond the plane's edge
// repeat its first or last line.
//
// Only 8-bit planar YUV without alpha and gray8 are accepted, with Width and
// Height positive multiples of 4. Dst may be Src itself (same pointers and
// line sizes: the picture is filtered in place) or must not overlap it.
// Returns 0, or a negative error code with Dst untouched: AVERROR(ENOSYS)
// for a pixel format it cannot filter, AVERROR(EINVAL) for bad sizes or
// planes.
int DeinterlacePicture(TPicture& Dst, const TPicture& Src, int PixFmt, int Width, int Height);

}  // namespace vexav
