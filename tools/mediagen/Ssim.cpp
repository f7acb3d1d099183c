#include "Ssim.h"

#include <algorithm>
#include <vector>

namespace vexav::mediagen {
namespace {

constexpr double C1 = (0.01 * 255) * (0.01 * 255);
constexpr double C2 = (0.03 * 255) * (0.03 * 255);

// The sums over a block of samples that a window's statistics need.
struct Sums {
  int64_t A = 0, B = 0, AA = 0, BB = 0, AB = 0;
  Sums& operator+=(const Sums& O) {
    A += O.A, B += O.B, AA += O.AA, BB += O.BB, AB += O.AB;
    return *this;
  }
};

Sums BlockSums(const uint8_t* A, const uint8_t* B, int Stride, int Left, int Top, int W, int H) {
  Sums S;
  for (int Y = Top; Y < Top + H; ++Y) {
    const uint8_t* RowA = A + static_cast<size_t>(Y) * Stride;
    const uint8_t* RowB = B + static_cast<size_t>(Y) * Stride;
    for (int X = Left; X < Left + W; ++X) {
      const int64_t Va = RowA[X], Vb = RowB[X];
      S.A += Va, S.B += Vb, S.AA += Va * Va, S.BB += Vb * Vb, S.AB += Va * Vb;
    }
  }
  return S;
}

double WindowSsim(const Sums& S, int Count) {
  const double N = Count;
  const double Ma = S.A / N, Mb = S.B / N;
  const double Va = S.AA / N - Ma * Ma, Vb = S.BB / N - Mb * Mb, Cab = S.AB / N - Ma * Mb;
  return ((2 * Ma * Mb + C1) * (2 * Cab + C2)) / ((Ma * Ma + Mb * Mb + C1) * (Va + Vb + C2));
}

}  // namespace

double LumaSsim(const uint8_t* A, const uint8_t* B, int Width, int Height, int Stride) {
  if (Width <= 0 || Height <= 0) return 0.0;
  if (Width < SsimWindow || Height < SsimWindow)
    return WindowSsim(BlockSums(A, B, Stride, 0, 0, Width, Height), Width * Height);
  // Each window is 2 x 2 blocks of SsimStep square: the sums of one row of
  // blocks are kept for the next, so every sample is read once.
  const int BlocksX = Width / SsimStep, BlocksY = Height / SsimStep;
  std::vector<Sums> Above(BlocksX), Row(BlocksX);
  double Total = 0.0;
  int64_t Windows = 0;
  for (int By = 0; By < BlocksY; ++By) {
    for (int Bx = 0; Bx < BlocksX; ++Bx)
      Row[Bx] = BlockSums(A, B, Stride, Bx * SsimStep, By * SsimStep, SsimStep, SsimStep);
    if (By > 0)
      for (int Bx = 0; Bx + 1 < BlocksX; ++Bx) {
        Sums Window = Above[Bx];
        Window += Above[Bx + 1];
        Window += Row[Bx];
        Window += Row[Bx + 1];
        Total += WindowSsim(Window, SsimWindow * SsimWindow);
        ++Windows;
      }
    std::swap(Above, Row);
  }
  return Total / static_cast<double>(Windows);
}

}  // namespace vexav::mediagen
