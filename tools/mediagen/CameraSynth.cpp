#include "CameraSynth.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace vexav::mediagen {
namespace {

uint32_t Hash(int64_t X, int64_t Y, uint32_t Seed) {
  uint32_t H = static_cast<uint32_t>(X * 73856093 ^ Y * 19349663) ^ Seed * 83492791u;
  H ^= H >> 13;
  H *= 0x5bd1e995u;
  H ^= H >> 15;
  return H;
}

// Smooth noise in 0..1 with features about Period samples apart: random
// values on a lattice, blended with a smooth step between them.
double ValueNoise(double X, double Y, double Period, uint32_t Seed) {
  const double Fx = X / Period, Fy = Y / Period;
  const int64_t Ix = static_cast<int64_t>(std::floor(Fx)), Iy = static_cast<int64_t>(std::floor(Fy));
  const auto Smooth = [](double T) { return T * T * (3 - 2 * T); };
  const double Tx = Smooth(Fx - Ix), Ty = Smooth(Fy - Iy);
  const auto At = [&](int64_t Dx, int64_t Dy) { return (Hash(Ix + Dx, Iy + Dy, Seed) & 0xffff) / 65535.0; };
  const double Top = At(0, 0) + (At(1, 0) - At(0, 0)) * Tx;
  const double Bottom = At(0, 1) + (At(1, 1) - At(0, 1)) * Tx;
  return Top + (Bottom - Top) * Ty;
}

// The still scene, larger than the picture so that the camera can move
// over it, in video-range samples (luma full size, chroma half size).
struct Scene {
  int Width = 0, Height = 0;  // of the picture it was made for
  PicturePattern Pattern = PicturePattern::Moving;
  int LumaWidth = 0, LumaHeight = 0;
  std::vector<uint8_t> Y, Cb, Cr;
};

void Build(Scene& S, int Width, int Height, PicturePattern Pattern) {
  S.Width = Width, S.Height = Height, S.Pattern = Pattern;
  // Half a picture to spare across and a quarter down.
  S.LumaWidth = Width + Width / 2 + 8;
  S.LumaHeight = Height + Height / 4 + 8;
  const uint32_t Seed = Pattern == PicturePattern::Pan ? 1 : 2;
  // Sizes are in units of the picture's height, so that the scene shows
  // the same at every size; the finest texture is a few samples across.
  const double Unit = Height;
  S.Y.assign(static_cast<size_t>(S.LumaWidth) * S.LumaHeight, 0);
  std::vector<double> Horizon(S.LumaWidth);
  for (int X = 0; X < S.LumaWidth; ++X)
    Horizon[X] = S.LumaHeight * (0.35 + 0.15 * ValueNoise(X, 0, Unit * 0.4, Seed + 10));
  for (int Y = 0; Y < S.LumaHeight; ++Y)
    for (int X = 0; X < S.LumaWidth; ++X) {
      double Value;
      if (Y < Horizon[X]) {
        // Sky: bright, smooth, a few soft clouds.
        Value = 170 + 30.0 * Y / S.LumaHeight + 35 * ValueNoise(X, Y, Unit * 0.25, Seed + 20) +
                10 * ValueNoise(X, Y, Unit * 0.06, Seed + 21);
      } else {
        // Ground: detail at every scale down to a few samples.
        Value = 40 + 60 * ValueNoise(X, Y, Unit * 0.3, Seed + 30) + 35 * ValueNoise(X, Y, Unit * 0.08, Seed + 31) +
                25 * ValueNoise(X, Y, Unit * 0.02, Seed + 32) + 20 * ValueNoise(X, Y, 3.0, Seed + 33) +
                10 * ValueNoise(X, Y, 1.5, Seed + 34);
        // The ground gets lighter towards the camera.
        Value += 30.0 * (Y - Horizon[X]) / S.LumaHeight;
      }
      // Dark trunks with sharp edges, one about every fifth of a height.
      const double Column = X / (Unit * 0.2);
      const int64_t Slot = static_cast<int64_t>(Column);
      const double Within = Column - Slot;
      if (Hash(Slot, 0, Seed + 40) % 3 == 0 && Within > 0.4 && Within < 0.4 + 0.05 + 0.1 * (Hash(Slot, 1, Seed) % 4) / 4 &&
          Y > Horizon[X] - Unit * 0.3)
        Value = 30 + 15 * ValueNoise(X, Y, 4.0, Seed + 41);
      S.Y[static_cast<size_t>(Y) * S.LumaWidth + X] = static_cast<uint8_t>(std::clamp(Value, 16.0, 235.0));
    }
  const int Cw = S.LumaWidth / 2, Ch = S.LumaHeight / 2;
  S.Cb.assign(static_cast<size_t>(Cw) * Ch, 128);
  S.Cr.assign(static_cast<size_t>(Cw) * Ch, 128);
  for (int Y = 0; Y < Ch; ++Y)
    for (int X = 0; X < Cw; ++X) {
      const size_t At = static_cast<size_t>(Y) * Cw + X;
      const bool Sky = 2 * Y < Horizon[2 * X];
      const double Tint = ValueNoise(2 * X, 2 * Y, Unit * 0.15, Seed + 50) - 0.5;
      // Blue sky; green to brown ground.
      S.Cb[At] = static_cast<uint8_t>(Sky ? 150 + 10 * Tint : 110 + 20 * Tint);
      S.Cr[At] = static_cast<uint8_t>(Sky ? 115 + 6 * Tint : 120 + 30 * Tint);
    }
}

// The scene for this picture size, made once per thread and size.
const Scene& SceneFor(int Width, int Height, PicturePattern Pattern) {
  thread_local Scene Cached;
  if (Cached.Width != Width || Cached.Height != Height || Cached.Pattern != Pattern)
    Build(Cached, Width, Height, Pattern);
  return Cached;
}

// Where the camera looks in picture Index: the scene position of the
// picture's top left corner, its zoom (scene samples per picture sample)
// and the exposure (a gain on the luma around mid grey).
struct View {
  double Left, Top, Zoom, Gain;
};

View ViewOf(int64_t Index, const Scene& S, PicturePattern Pattern) {
  const double SpareX = S.LumaWidth - S.Width - 4, SpareY = S.LumaHeight - S.Height - 4;
  const double T = static_cast<double>(Index);
  if (Pattern == PicturePattern::Pan) {
    // A steady pan across the spare width in about 10 s at 30 pictures a
    // second, then back, with a slow tilt.
    const double Period = 300;
    const double Phase = std::fmod(T, 2 * Period) / Period;
    const double Across = Phase <= 1 ? Phase : 2 - Phase;
    return {1 + SpareX * Across, 1 + SpareY * (0.5 + 0.3 * std::sin(T / 90)), 1.0, 1.0};
  }
  // Held in the hand: a slow drift, a shake of a few hundredths of the
  // height, a slow zoom in and out, and the exposure breathing.
  const double Shake = S.Height * 0.006;
  const double Zoom = 0.92 + 0.06 * std::sin(T / 70);
  const double Width = S.Width * Zoom, Height = S.Height * Zoom;
  const double CentreX = 0.5 * S.LumaWidth + (SpareX * 0.3) * std::sin(T / 120) +
                         Shake * (std::sin(T * 0.9) + 0.6 * std::sin(T * 2.3 + 1));
  const double CentreY = 0.5 * S.LumaHeight + (SpareY * 0.2) * std::sin(T / 95) +
                         Shake * (std::sin(T * 1.1 + 2) + 0.5 * std::sin(T * 2.9));
  // Two samples to spare on every side for the bilinear reads (chroma's
  // included).
  const double Left = std::clamp(CentreX - Width / 2, 1.0, S.LumaWidth - Width - 4);
  const double Top = std::clamp(CentreY - Height / 2, 1.0, S.LumaHeight - Height - 4);
  return {Left, Top, Zoom, 1.0 + 0.08 * std::sin(T / 40)};
}

// Bilinear sample of a plane at (X, Y), in 1/256 steps.
int Sample(const uint8_t* Plane, int Stride, double X, double Y) {
  const int Fx = static_cast<int>(X * 256), Fy = static_cast<int>(Y * 256);
  const int Ix = Fx >> 8, Iy = Fy >> 8, Tx = Fx & 255, Ty = Fy & 255;
  const uint8_t* P = Plane + static_cast<size_t>(Iy) * Stride + Ix;
  const int Top = P[0] * (256 - Tx) + P[1] * Tx;
  const int Bottom = P[Stride] * (256 - Tx) + P[Stride + 1] * Tx;
  return (Top * (256 - Ty) + Bottom * Ty + (1 << 15)) >> 16;
}

// A subject walking across the picture, in picture coordinates: an upright
// ellipse with a texture of its own, lighter than the ground.
struct Subject {
  double X, Y, Rx, Ry;
  bool Covers(double Px, double Py) const {
    const double Dx = (Px - X) / Rx, Dy = (Py - Y) / Ry;
    return Dx * Dx + Dy * Dy <= 1;
  }
};

}  // namespace

void DrawCameraPicture(int64_t Index, int Width, int Height, uint8_t* const Planes[3],
                       const int Linesize[3], PicturePattern Pattern, const uint8_t* LumaLevel,
                       const uint8_t* ChromaLevel) {
  const Scene& S = SceneFor(Width, Height, Pattern);
  const View V = ViewOf(Index, S, Pattern);
  // Grain: new in every picture, stronger in the panned clip (a dimmer
  // scene, a higher sensor gain).
  const int Grain = Pattern == PicturePattern::Pan ? 7 : 4;
  const double Walk = std::fmod(Index * 0.004, 1.4) - 0.2;
  const Subject Who{Width * Walk, Height * 0.68, Height * 0.07, Height * 0.16};
  const bool WithSubject = Pattern == PicturePattern::Handheld;
  const uint32_t Frame = static_cast<uint32_t>(Index);
  for (int Y = 0; Y < Height; ++Y) {
    uint8_t* Row = Planes[0] + static_cast<size_t>(Y) * Linesize[0];
    const double Sy = V.Top + Y * V.Zoom;
    for (int X = 0; X < Width; ++X) {
      int Value = Sample(S.Y.data(), S.LumaWidth, V.Left + X * V.Zoom, Sy);
      if (WithSubject && Who.Covers(X, Y))
        Value = 150 + static_cast<int>(Hash((X - static_cast<int>(Who.X)) / 3, Y / 3, 7) % 40);
      Value = 128 + static_cast<int>((Value - 128) * V.Gain);
      Value += static_cast<int>(Hash(X, Y, Frame * 2654435761u + 99) % (2 * Grain + 1)) - Grain;
      Row[X] = LumaLevel[std::clamp(Value, 16, 235)];
    }
  }
  const int Cw = (Width + 1) / 2, Ch = (Height + 1) / 2, SceneCw = S.LumaWidth / 2;
  for (int Y = 0; Y < Ch; ++Y) {
    uint8_t* Cb = Planes[1] + static_cast<size_t>(Y) * Linesize[1];
    uint8_t* Cr = Planes[2] + static_cast<size_t>(Y) * Linesize[2];
    const double Sy = (V.Top + 2 * Y * V.Zoom) / 2;
    for (int X = 0; X < Cw; ++X) {
      const double Sx = (V.Left + 2 * X * V.Zoom) / 2;
      int U = Sample(S.Cb.data(), SceneCw, Sx, Sy), W = Sample(S.Cr.data(), SceneCw, Sx, Sy);
      if (WithSubject && Who.Covers(2 * X, 2 * Y)) U = 100, W = 170;  // a red coat
      const int Noise = static_cast<int>(Hash(X, Y, Frame * 40503u + 5) % 5) - 2;
      Cb[X] = ChromaLevel[std::clamp(U + Noise, 16, 240)];
      Cr[X] = ChromaLevel[std::clamp(W - Noise, 16, 240)];
    }
  }
}

}  // namespace vexav::mediagen
