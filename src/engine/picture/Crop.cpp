#include "engine/picture/Crop.h"

#include <cerrno>

#include "binding/Api.h"
#include "engine/picture/PlaneLayout.h"

namespace vexav {

int CropView(TPicture& View, const TPicture& Src, int PixFmt, int Top, int Left) {
  const AVPixFmtDescriptor* Desc = picture::Descriptor(PixFmt);
  if (Desc == nullptr) return AVERROR(EINVAL);
  picture::TPlaneLayout Layout;
  if (!picture::DescribePlanes(*Desc, Layout)) return AVERROR(ENOSYS);
  if (Top < 0 || Left < 0) return AVERROR(EINVAL);
  // A subsampled sample (or a packed 4:2:2 pixel pair) cannot be split: the
  // view starts on a whole one.
  const int GridW = 1 << Desc->log2_chroma_w;
  const int GridH = 1 << Desc->log2_chroma_h;
  if (Left % GridW != 0 || Top % GridH != 0) return AVERROR(EINVAL);

  TPicture Result;
  for (int P = 0; P < Layout.PlaneCount; ++P) {
    if (Src.data[P] == nullptr) return AVERROR(EINVAL);
    const std::ptrdiff_t Offset =
        static_cast<std::ptrdiff_t>(Top >> Layout.ShiftH[P]) * Src.linesize[P] +
        static_cast<std::ptrdiff_t>(Left >> Layout.GroupShiftW[P]) * Layout.GroupBytes[P];
    Result.data[P] = Src.data[P] + Offset;
    Result.linesize[P] = Src.linesize[P];
  }
  View = Result;
  return 0;
}

}  // namespace vexav
