// Plane geometry of a pixel format, read from the library's pixel-format
// descriptor, shared by the picture routines.
#pragma once

#include <cstddef>
#include <cstdint>

struct AVPixFmtDescriptor;

namespace vexav::picture {

struct TPlaneLayout {
  int PlaneCount = 0;
  // Subsampling of the plane, as shifts of the picture's width and height.
  int ShiftW[4] = {};
  int ShiftH[4] = {};
  // Addressing along a line: the plane stores groups of (1 << GroupShiftW)
  // pixels, GroupBytes bytes each. A group is one sample for planes of one
  // component and for packed RGB; in a plane that interleaves luma with
  // subsampled chroma (packed 4:2:2 such as yuyv422) it is the run of pixels
  // that share one chroma pair. Pixel X starts (X >> GroupShiftW) * GroupBytes
  // bytes into its line when X is on the group grid.
  int GroupShiftW[4] = {};
  int GroupBytes[4] = {};
};

// The descriptor of PixFmt, or null when the code is not a pixel format.
const AVPixFmtDescriptor* Descriptor(int PixFmt);

// Fills Layout for formats whose pixels can be addressed in memory: false for
// hardware surfaces, bitstream (1-bit) formats, palette formats and Bayer
// mosaics.
bool DescribePlanes(const AVPixFmtDescriptor& Desc, TPlaneLayout& Layout);

// True for 8-bit planar YUV without alpha (and for gray8): every component
// alone in its own plane (component N in plane N), one byte per sample.
bool IsPlanarYuv8(const AVPixFmtDescriptor& Desc);

// The size of a subsampled plane: the picture size shifted, rounded up.
inline int SubsampledSize(int Size, int Shift) { return -((-Size) >> Shift); }

inline int AbsLineSize(int LineSize) { return LineSize < 0 ? -LineSize : LineSize; }

inline uint8_t* Line(uint8_t* Plane, int LineSize, int Y) {
  return Plane + static_cast<std::ptrdiff_t>(Y) * LineSize;
}
inline const uint8_t* Line(const uint8_t* Plane, int LineSize, int Y) {
  return Plane + static_cast<std::ptrdiff_t>(Y) * LineSize;
}

}  // namespace vexav::picture
