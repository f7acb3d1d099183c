#include "PictureCounter.h"

#include <algorithm>

#include "PictureSource.h"
#include "binding/FFmpegLibs.h"

namespace vexav::mediagen {
namespace {

// Sixteen block widths across the picture (the bits, and a margin at each
// end), one block height down from the top.
struct Layout {
  int BlockWidth, BlockHeight, Left;
  Layout(int Width, int Height)
      : BlockWidth(Width / (CounterBits + 2)),
        BlockHeight(std::max(8, Height / 15)),
        Left(BlockWidth) {}
  int X(int Bit) const { return Left + Bit * BlockWidth; }
};

}  // namespace

void DrawCounter(int64_t Index, bool FullRange, int Width, int Height, uint8_t* Luma,
                 int Linesize) {
  if (Width < CounterMinWidth || Height < CounterMinHeight) return;
  const Layout L(Width, Height);
  const uint8_t Black = FullRange ? 0 : 16;
  const uint8_t White = FullRange ? 255 : 235;
  for (int Bit = 0; Bit < CounterBits; ++Bit) {
    const uint8_t Value = (Index >> (CounterBits - 1 - Bit)) & 1 ? White : Black;
    for (int Y = 0; Y < L.BlockHeight; ++Y)
      std::fill_n(Luma + Y * Linesize + L.X(Bit), L.BlockWidth, Value);
  }
}

int64_t ReadCounter(const uint8_t* Luma, int Linesize, int Width, int Height) {
  if (Width < CounterMinWidth || Height < CounterMinHeight) return -1;
  const Layout L(Width, Height);
  int64_t Index = 0;
  for (int Bit = 0; Bit < CounterBits; ++Bit) {
    // The block's middle half, away from edges that coding blurs.
    int Sum = 0, Count = 0;
    for (int Y = L.BlockHeight / 4; Y < L.BlockHeight * 3 / 4; ++Y)
      for (int X = L.X(Bit) + L.BlockWidth / 4; X < L.X(Bit) + L.BlockWidth * 3 / 4; ++X)
        Sum += Luma[Y * Linesize + X], ++Count;
    const int Mean = Count ? Sum / Count : 128;
    if (Mean > 70 && Mean < 180) return -1;
    Index = Index << 1 | (Mean >= 180 ? 1 : 0);
  }
  return Index;
}

std::vector<int64_t> ReadCounters(const std::string& Path, std::string& Error) {
  std::vector<int64_t> Indices;
  if (!FFmpegLibsLoaded()) {
    Error = "the media libraries are not loaded";
    return Indices;
  }
  PictureSource Source;
  Error = Source.Open(Path);
  if (!Error.empty()) return Indices;
  std::vector<uint8_t> Luma;
  while (Source.Next(Source.Width, Source.Height, Luma))
    Indices.push_back(ReadCounter(Luma.data(), Source.Width, Source.Width, Source.Height));
  return Indices;
}

}  // namespace vexav::mediagen
