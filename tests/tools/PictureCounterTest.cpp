// Picture counters: each generated picture's index drawn into it and read
// back, from the generated file and through lossy coding, and the
// comparison of a conversion with the source pictures it shows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "PictureCompare.h"
#include "PictureCounter.h"
#include "binding/FFmpegLibs.h"

namespace fs = std::filesystem;
using namespace vexav;
using namespace vexav::mediagen;

namespace {

class PictureCounterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    Dir = fs::temp_directory_path() /
          ("vexav-counter-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override {
    std::error_code Ignored;
    fs::remove_all(Dir, Ignored);
  }
  // 2 s at 25 frames/s with counters; DropEvery leaves slots empty.
  std::string Make(const std::string& Name, int DropEvery, VideoCodec Video = VideoCodec::Mpeg4,
                   int Width = 160, int Height = 120) {
    MediaRequest Request;
    Request.BFrames = Video == VideoCodec::H264 ? 2 : 0;
    Request.Width = Width;
    Request.Height = Height;
    Request.Counter = true;
    Request.DropEvery = DropEvery;
    Request.Video = Video;
    const std::string Path = (Dir / Name).string();
    EXPECT_EQ(Generate(Path, Request), "");
    return Path;
  }
  fs::path Dir;
};

// Every picture written reads as its own slot, in lossy MPEG-4, MJPEG and
// H.264 with B-frames (reordered), at the smallest size and an odd one; the
// slots left empty are not there.
TEST_F(PictureCounterTest, EachPictureReadsAsItsSlot) {
  std::vector<int64_t> Written;
  for (int64_t N = 0; N < 50; ++N)
    if (N % 4 != 3) Written.push_back(N);
  std::string Error;
  EXPECT_EQ(ReadCounters(Make("a.avi", 4), Error), Written);
  EXPECT_EQ(Error, "");
  EXPECT_EQ(ReadCounters(Make("b.avi", 4, VideoCodec::Mjpeg, 64, 32), Error), Written);
  EXPECT_EQ(ReadCounters(Make("c.avi", 4, VideoCodec::Mjpeg, 131, 97), Error), Written);
  EXPECT_EQ(ReadCounters(Make("d.mkv", 4, VideoCodec::H264), Error), Written);
  EXPECT_TRUE(ReadCounters((Dir / "missing.avi").string(), Error).empty());
  EXPECT_NE(Error, "");
}

// A picture blended from two (a block half black, half white) or without
// the row of blocks reads as no index rather than a wrong one.
TEST_F(PictureCounterTest, UnclearBlocksReadAsNoIndex) {
  const int W = 160, H = 120;
  std::vector<uint8_t> Luma(W * H, 16);
  DrawCounter(12345, false, W, H, Luma.data(), W);
  EXPECT_EQ(ReadCounter(Luma.data(), W, W, H), 12345);
  std::vector<uint8_t> Grey(W * H, 128);
  EXPECT_EQ(ReadCounter(Grey.data(), W, W, H), -1);
  // Half way between this picture and the next.
  std::vector<uint8_t> Next(W * H, 16);
  DrawCounter(12346, false, W, H, Next.data(), W);
  for (size_t I = 0; I < Luma.size(); ++I) Luma[I] = static_cast<uint8_t>((Luma[I] + Next[I]) / 2);
  EXPECT_EQ(ReadCounter(Luma.data(), W, W, H), -1);
  EXPECT_EQ(ReadCounter(Luma.data(), W, 63, H), -1);  // too small to hold the row
}

// A file against the source it was made from: identical where it shows the
// same picture; a source without a picture the file shows is an error.
TEST_F(PictureCounterTest, ComparisonGoesByTheIndexShown) {
  const std::string Full = Make("full.avi", 0);
  const std::string Gapped = Make("gapped.avi", 4);
  // The gapped file's pictures are all in the full one: identical coding,
  // identical pictures, whatever is missing in between.
  PictureComparison C = CompareWithCountedSource(Gapped, Gapped);
  ASSERT_EQ(C.Error, "");
  EXPECT_EQ(C.FramesA, 38);
  for (double P : C.Psnr) EXPECT_EQ(P, PsnrIdentical);
  C = CompareWithCountedSource(Full, Gapped);
  EXPECT_NE(C.Error.find("has no picture 3"), std::string::npos) << C.Error;
}

}  // namespace
