#include "engine/picture/PlaneLayout.h"

#include "binding/Api.h"

namespace vexav::picture {

const AVPixFmtDescriptor* Descriptor(int PixFmt) {
  if (PixFmt < 0) return nullptr;
  return ff::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(PixFmt));
}

bool DescribePlanes(const AVPixFmtDescriptor& Desc, TPlaneLayout& Layout) {
  constexpr uint64_t Unaddressable = AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM |
                                     AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BAYER;
  if ((Desc.flags & Unaddressable) != 0 || Desc.nb_components < 1) return false;
  TPlaneLayout L;
  // A plane holding the first component (luma, or green of planar RGB) or
  // alpha has the picture's size; a plane holding only chroma is subsampled.
  bool HoldsFullSize[4] = {};
  int FullStep[4] = {};
  int ChromaStep[4] = {};
  for (int C = 0; C < Desc.nb_components; ++C) {
    const AVComponentDescriptor& Comp = Desc.comp[C];
    if (Comp.plane < 0 || Comp.plane > 3 || Comp.step <= 0) return false;
    if (Comp.plane + 1 > L.PlaneCount) L.PlaneCount = Comp.plane + 1;
    if (C == 0 || C == 3) {
      HoldsFullSize[Comp.plane] = true;
      FullStep[Comp.plane] = Comp.step;
    } else {
      ChromaStep[Comp.plane] = Comp.step;
    }
  }
  for (int P = 0; P < L.PlaneCount; ++P) {
    if (FullStep[P] == 0 && ChromaStep[P] == 0) return false;  // a gap in the plane numbering
    L.ShiftW[P] = HoldsFullSize[P] ? 0 : Desc.log2_chroma_w;
    L.ShiftH[P] = HoldsFullSize[P] ? 0 : Desc.log2_chroma_h;
    if (ChromaStep[P] != 0) {
      // Chroma repeats once per group of subsampled pixels.
      L.GroupShiftW[P] = Desc.log2_chroma_w;
      L.GroupBytes[P] = ChromaStep[P];
    } else {
      L.GroupShiftW[P] = 0;
      L.GroupBytes[P] = FullStep[P];
    }
  }
  Layout = L;
  return true;
}

bool IsPlanarYuv8(const AVPixFmtDescriptor& Desc) {
  constexpr uint64_t Excluded = AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM |
                                AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BAYER |
                                AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_ALPHA |
                                AV_PIX_FMT_FLAG_FLOAT;
  if ((Desc.flags & Excluded) != 0) return false;
  if (Desc.nb_components != 1 && Desc.nb_components != 3) return false;
  for (int C = 0; C < Desc.nb_components; ++C) {
    const AVComponentDescriptor& Comp = Desc.comp[C];
    if (Comp.plane != C || Comp.step != 1 || Comp.depth != 8 || Comp.offset != 0 ||
        Comp.shift != 0)
      return false;
  }
  return true;
}

}  // namespace vexav::picture
