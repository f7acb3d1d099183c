#include "PictureCompare.h"

#include <cmath>
#include <cstdint>
#include <numeric>

#include "PictureCounter.h"
#include "PictureSource.h"
#include "Ssim.h"
#include "binding/Text.h"
#include "binding/FFmpegLibs.h"

namespace vexav::mediagen {
namespace {

double Psnr(const std::vector<uint8_t>& A, const std::vector<uint8_t>& B) {
  double Sum = 0.0;
  for (size_t I = 0; I < A.size(); ++I) {
    const double D = static_cast<double>(A[I]) - B[I];
    Sum += D * D;
  }
  if (Sum == 0.0 || A.empty()) return PsnrIdentical;
  const double Mse = Sum / static_cast<double>(A.size());
  return std::min(PsnrIdentical, 10.0 * std::log10(255.0 * 255.0 / Mse));
}

}  // namespace

double PictureComparison::MeanPsnr() const {
  if (Psnr.empty()) return 0.0;
  return std::accumulate(Psnr.begin(), Psnr.end(), 0.0) / static_cast<double>(Psnr.size());
}

double PictureComparison::MeanSsim() const {
  if (Ssim.empty()) return 0.0;
  return std::accumulate(Ssim.begin(), Ssim.end(), 0.0) / static_cast<double>(Ssim.size());
}

double PictureComparison::MeanPsnrOfCoded(int64_t From, int64_t To) const {
  double Sum = 0;
  int Count = 0;
  const int64_t End = std::min<int64_t>(To, static_cast<int64_t>(Psnr.size()));
  for (int64_t I = std::max<int64_t>(From, 0); I < End; ++I)
    if (Psnr[I] < PsnrIdentical) Sum += Psnr[I], ++Count;
  return Count ? Sum / Count : 0.0;
}

int64_t PictureComparison::FirstBelow(double Db) const {
  for (size_t I = 0; I < Psnr.size(); ++I)
    if (Psnr[I] < Db) return static_cast<int64_t>(I);
  return -1;
}

std::string ReadLumaPictures(const std::string& Path, int Count, std::vector<LumaPicture>& Out) {
  Out.clear();
  if (!FFmpegLibsLoaded()) return "the media libraries are not loaded";
  try {
    PictureSource Source;
    if (std::string Error = Source.Open(Path); !Error.empty()) return Error;
    LumaPicture Picture;
    while (static_cast<int>(Out.size()) < Count && Source.Next(0, 0, Picture.Samples)) {
      Picture.Width = Source.TakenWidth;
      Picture.Height = Source.TakenHeight;
      Out.push_back(Picture);
    }
  } catch (const std::exception& E) {
    return E.what();
  }
  return "";
}

double RegionPsnr(const LumaPicture& Whole, const LumaPicture& Part, int Left, int Top) {
  if (Left < 0 || Top < 0 || Part.Width <= 0 || Part.Height <= 0 ||
      Left + Part.Width > Whole.Width || Top + Part.Height > Whole.Height)
    return 0.0;
  std::vector<uint8_t> Region;
  Region.reserve(Part.Samples.size());
  for (int Y = 0; Y < Part.Height; ++Y) {
    const uint8_t* Row = Whole.Samples.data() + static_cast<size_t>(Top + Y) * Whole.Width + Left;
    Region.insert(Region.end(), Row, Row + Part.Width);
  }
  return Psnr(Region, Part.Samples);
}

PictureComparison ComparePictures(const std::string& A, const std::string& B) {
  PictureComparison Result;
  if (!FFmpegLibsLoaded()) {
    Result.Error = "the media libraries are not loaded";
    return Result;
  }
  try {
    PictureSource First, Second;
    Result.Error = First.Open(A);
    if (Result.Error.empty()) Result.Error = Second.Open(B);
    if (!Result.Error.empty()) return Result;
    std::vector<uint8_t> LumaA, LumaB;
    const int W = First.Width, H = First.Height;
    bool MoreA = true, MoreB = true;
    while (MoreA || MoreB) {
      MoreA = MoreA && First.Next(W, H, LumaA);
      MoreB = MoreB && Second.Next(W, H, LumaB);
      Result.FramesA += MoreA;
      Result.FramesB += MoreB;
      if (MoreA && MoreB) {
        Result.Psnr.push_back(Psnr(LumaA, LumaB));
        Result.Ssim.push_back(LumaSsim(LumaA.data(), LumaB.data(), W, H, W));
      }
    }
  } catch (const std::exception& E) {
    Result.Error = E.what();
  }
  return Result;
}

PictureComparison CompareWithCountedSource(const std::string& A, const std::string& Source) {
  PictureComparison Result;
  if (!FFmpegLibsLoaded()) {
    Result.Error = "the media libraries are not loaded";
    return Result;
  }
  try {
    PictureSource Converted, Original;
    Result.Error = Converted.Open(A);
    if (Result.Error.empty()) Result.Error = Original.Open(Source);
    if (!Result.Error.empty()) return Result;
    const int W = Converted.Width, H = Converted.Height;
    std::vector<uint8_t> LumaA, LumaSource;
    int64_t Shown = -1;  // the index of the source picture in LumaSource
    while (Converted.Next(W, H, LumaA)) {
      ++Result.FramesA;
      const int64_t Index = ReadCounter(LumaA.data(), W, W, H);
      if (Index < 0 || Index < Shown) {
        Result.Error = Format("picture %d of '%s' shows %s", Result.FramesA - 1, A.c_str(),
                              Index < 0 ? "no readable index" : "an earlier picture than the one before it");
        return Result;
      }
      // The source's pictures carry their indices too (gaps where some
      // were dropped): read on to the one shown.
      while (Shown < Index) {
        if (!Original.Next(W, H, LumaSource)) {
          Result.Error = Format("'%s' ends before picture %lld", Source.c_str(),
                                static_cast<long long>(Index));
          return Result;
        }
        ++Result.FramesB;
        Shown = ReadCounter(LumaSource.data(), W, W, H);
      }
      if (Shown != Index) {
        Result.Error = Format("'%s' has no picture %lld", Source.c_str(), static_cast<long long>(Index));
        return Result;
      }
      Result.Psnr.push_back(Psnr(LumaA, LumaSource));
      Result.Ssim.push_back(LumaSsim(LumaA.data(), LumaSource.data(), W, H, W));
    }
  } catch (const std::exception& E) {
    Result.Error = E.what();
  }
  return Result;
}

}  // namespace vexav::mediagen
