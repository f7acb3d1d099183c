// Comparing the pictures of two files frame by frame: the luma PSNR and
// SSIM (Ssim.h) of each pair, the pictures taken in presentation order, the n-th of one file with
// the n-th of the other. Used to check that a conversion shows every picture
// of its source once, in its place, and how faithfully.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexav::mediagen {

struct PictureComparison {
  std::string Error;  // empty when both files decoded
  int FramesA = 0;    // pictures decoded from each file
  int FramesB = 0;
  std::vector<double> Psnr;  // dB per pair, min(FramesA, FramesB) of them
  std::vector<double> Ssim;  // per pair, as many as Psnr
  // Mean of Psnr (identical pairs count as PsnrIdentical).
  double MeanPsnr() const;
  // Mean of Ssim; 0 when there are no pairs.
  double MeanSsim() const;
  // Mean of the pairs [From, To) but the identical ones (plain pictures
  // such as flash frames, coded exactly, would lift any mean they fall
  // into); 0 when there are none.
  double MeanPsnrOfCoded(int64_t From, int64_t To) const;
  // The first pair whose PSNR is below Db (where the files part ways), -1
  // when there is none.
  int64_t FirstBelow(double Db) const;
};

// A pair whose luma planes are equal is given this value instead of infinity.
inline constexpr double PsnrIdentical = 100.0;

// Decodes the first video stream of A and of B and compares their luma,
// B's pictures scaled to A's size when they differ. Needs the media
// libraries bound. Never throws.
PictureComparison ComparePictures(const std::string& A, const std::string& B);

// Compares each picture of A, a conversion of Source (made with picture
// counters, PictureCounter.h), with the source picture it shows, whatever
// A repeated or dropped: A's pictures must show rising indices. FramesB is
// the source pictures read. Error says why when a picture's index cannot
// be read or goes back.
PictureComparison CompareWithCountedSource(const std::string& A, const std::string& Source);

// A decoded picture's luma in full range (0..255), rows top to bottom.
struct LumaPicture {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Samples;
};

// The first Count pictures (fewer when the file has fewer) of Path's first
// video stream, in presentation order, each at its own size. Returns "" or
// why the file could not be read. Needs the media libraries bound.
std::string ReadLumaPictures(const std::string& Path, int Count, std::vector<LumaPicture>& Out);

// The luma PSNR of Part against the region of Whole of Part's size whose
// top left corner is at (Left, Top): PsnrIdentical for equal samples, 0
// when the region does not fit inside Whole.
double RegionPsnr(const LumaPicture& Whole, const LumaPicture& Part, int Left = 0, int Top = 0);

}  // namespace vexav::mediagen
