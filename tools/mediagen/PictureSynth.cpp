#include "PictureSynth.h"

#include <algorithm>
#include <array>

#include "CameraSynth.h"

namespace vexav::mediagen {
namespace {

// Back and forth over 0..Range as Step grows.
int Bounce(int64_t Step, int Range) {
  if (Range <= 0) return 0;
  const int64_t Period = 2 * static_cast<int64_t>(Range);
  const int64_t Phase = Step % Period;
  return static_cast<int>(Phase <= Range ? Phase : Period - Phase);
}

uint8_t ToFullLuma(int Y) { return static_cast<uint8_t>(std::clamp(((Y - 16) * 255 + 109) / 219, 0, 255)); }
uint8_t ToFullChroma(int C) {
  return static_cast<uint8_t>(std::clamp(128 + ((C - 128) * 255 + (C >= 128 ? 112 : -112)) / 224, 0, 255));
}

// A fixed pseudo-random texture value in -20..19 for a pixel.
int Texture(int64_t X, int64_t Y) {
  uint32_t H = static_cast<uint32_t>(X * 73856093 ^ Y * 19349663);
  H ^= H >> 13;
  H *= 0x5bd1e995u;
  H ^= H >> 15;
  return static_cast<int>(H % 40) - 20;
}

struct Square {
  int X, Y, Side;
  bool Covers(int Px, int Py) const { return Px >= X && Px < X + Side && Py >= Y && Py < Y + Side; }
};

}  // namespace

void DrawPicture(int64_t Index, bool Flash, bool FullRange, int Width, int Height,
                 uint8_t* const Planes[3], const int Linesize[3], PicturePattern Pattern) {
  const int ChromaWidth = (Width + 1) / 2, ChromaHeight = (Height + 1) / 2;
  const auto Luma = [FullRange](int Y) { return FullRange ? ToFullLuma(Y) : static_cast<uint8_t>(Y); };
  const auto Chroma = [FullRange](int C) { return FullRange ? ToFullChroma(C) : static_cast<uint8_t>(C); };

  if (Flash) {
    for (int Y = 0; Y < Height; ++Y) std::fill_n(Planes[0] + Y * Linesize[0], Width, Luma(FlashLuma));
    for (int P = 1; P < 3; ++P)
      for (int Y = 0; Y < ChromaHeight; ++Y) std::fill_n(Planes[P] + Y * Linesize[P], ChromaWidth, Chroma(128));
    return;
  }

  if (Pattern == PicturePattern::Levels) {
    // The boundary falls on an even column, so that no chroma sample
    // straddles it.
    const int Half = Width / 2 & ~1;
    for (int Y = 0; Y < Height; ++Y) {
      uint8_t* Row = Planes[0] + Y * Linesize[0];
      std::fill_n(Row, Half, Luma(16));
      std::fill_n(Row + Half, Width - Half, Luma(FlashLuma));
    }
    for (int P = 1; P < 3; ++P)
      for (int Y = 0; Y < ChromaHeight; ++Y)
        std::fill_n(Planes[P] + Y * Linesize[P], ChromaWidth, Chroma(128));
    return;
  }

  if (Pattern == PicturePattern::Pan || Pattern == PicturePattern::Handheld) {
    std::array<uint8_t, 256> LumaLevel, ChromaLevel;
    for (int V = 0; V < 256; ++V) LumaLevel[V] = Luma(V), ChromaLevel[V] = Chroma(V);
    DrawCameraPicture(Index, Width, Height, Planes, Linesize, Pattern, LumaLevel.data(), ChromaLevel.data());
    return;
  }

  const int Side = std::max(2, std::min(Width, Height) / 5);
  const Square Box{Bounce(Index * 3, Width - Side), Bounce(Index * 2, Height - Side), Side};

  // Luma 16..128 across and down the picture, 180 in the square.
  for (int Y = 0; Y < Height; ++Y) {
    uint8_t* Row = Planes[0] + Y * Linesize[0];
    for (int X = 0; X < Width; ++X) {
      int Value = Box.Covers(X, Y) ? 180 : 16 + 96 * X / Width + 16 * Y / Height;
      // The texture pans two pixels across and one down per frame.
      if (Pattern == PicturePattern::Textured) Value += 20 + Texture(X + 2 * Index, Y + Index);
      Row[X] = Luma(Value);
    }
  }
  // Blue-ish to the right, red-ish downwards; the square is orange.
  for (int Y = 0; Y < ChromaHeight; ++Y) {
    uint8_t* Cb = Planes[1] + Y * Linesize[1];
    uint8_t* Cr = Planes[2] + Y * Linesize[2];
    for (int X = 0; X < ChromaWidth; ++X) {
      const bool InBox = Box.Covers(2 * X, 2 * Y);
      Cb[X] = Chroma(InBox ? 80 : 108 + 40 * X / ChromaWidth);
      Cr[X] = Chroma(InBox ? 190 : 108 + 40 * Y / ChromaHeight);
    }
  }
}

}  // namespace vexav::mediagen
