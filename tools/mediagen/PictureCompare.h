// Comparing the pictures of two files frame by frame: the luma PSNR of each
// pair, the pictures taken in presentation order, the n-th of one file with
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
  // Mean of Psnr (identical pairs count as PsnrIdentical).
  double MeanPsnr() const;
  // Mean of the pairs [From, To) but the identical ones (plain pictures
  // such as flash frames, coded exactly, would lift any mean they fall
  // into); 0 when there are none.
  double MeanPsnrOfCoded(int64_t From, int64_t To) const;
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

}  // namespace vexav::mediagen
