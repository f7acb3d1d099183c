// Cropping without copying: a view into an existing picture.
#pragma once

#include "engine/picture/Picture.h"

namespace vexav {

// Makes View address the part of Src that starts Top lines down and Left
// pixels across: every plane pointer moves by its own (subsampled) line count
// times its line size plus its own pixel count times its bytes per pixel;
// line sizes stay those of Src, planes the format does not use are null.
// The view ends where Src ends: the caller keeps its width and height within
// Src. Works for planar and packed formats whose pixels sit at whole bytes.
//
// Returns 0, or a negative error code with View untouched: AVERROR(ENOSYS)
// for hardware, bitstream, palette and Bayer formats; AVERROR(EINVAL) for a
// negative offset, an offset off the chroma grid (odd Left or Top on 4:2:0,
// odd Left on 4:2:2 and packed 4:2:2, and so on) or a missing plane.
int CropView(TPicture& View, const TPicture& Src, int PixFmt, int Top, int Left);

}  // namespace vexav
