// The structural similarity (SSIM) of two luma pictures of the same size:
// how alike their local brightness, contrast and structure are, 1 for equal
// pictures and less the more they differ. PSNR counts every sample's error
// alike; SSIM weighs what the eye notices (blur, blocks, lost texture), so
// the two together judge an encoder better than either alone.
#pragma once

#include <cstdint>

namespace vexav::mediagen {

// The side of the square window SSIM is computed over, and the step from
// one window to the next (the windows overlap by half).
inline constexpr int SsimWindow = 8;
inline constexpr int SsimStep = 4;

// The mean SSIM of the windows of two W x H luma pictures (rows Stride
// samples apart) with samples 0..255: each window gives
//   ((2 mA mB + C1)(2 cAB + C2)) / ((mA^2 + mB^2 + C1)(vA + vB + C2))
// with the windows' means m, variances v and covariance c (over the
// window's samples, divided by their count), C1 = (0.01 * 255)^2 and
// C2 = (0.03 * 255)^2. The windows are SsimWindow square, SsimStep apart;
// a picture smaller than one window is one window of its own size. 1 for
// equal pictures; 0 for an empty one.
double LumaSsim(const uint8_t* A, const uint8_t* B, int Width, int Height, int Stride);

}  // namespace vexav::mediagen
