// The joints of a segmented conversion at every source rate: sources whose
// pictures carry their index are converted whole and in segments long
// enough that segments seek, and the joined file must show, picture by
// picture, the source pictures the whole run shows (the same repeats and
// drops), at the quality of the whole run around each joint.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "PictureCompare.h"
#include "PictureCounter.h"
#include "SegmentsFixture.h"
#include "batch/segments/PictureTimes.h"

namespace vexav::batch {
namespace {

using namespace test;

struct Source {
  const char* Name;  // also the file's name and extension
  int Num, Den;      // frames per second
  int DropEvery = 0;
  mediagen::VideoCodec Video = mediagen::VideoCodec::Mpeg4;
  int BFrames = 0;
};

void PrintTo(const Source& S, std::ostream* Out) {
  *Out << S.Name;
}

std::string SourceName(const ::testing::TestParamInfo<Source>& Info) {
  std::string Name = Info.param.Name;
  std::replace(Name.begin(), Name.end(), '.', '_');
  return Name;
}

class SegmentJoints : public SegmentsFixture, public ::testing::WithParamInterface<Source> {};

// 36 s in four segments: the third and the fourth start far enough in that
// their runs seek, one with the rule's state of 18 s of source behind it.
TEST_P(SegmentJoints, ShowTheWholeRunsPictures) {
  const Source& S = GetParam();
  mediagen::MediaRequest Request;
  Request.Width = 160;
  Request.Height = 120;
  Request.FrameRateNum = S.Num;
  Request.FrameRateDen = S.Den;
  Request.DurationSeconds = 36;
  Request.MarkSeconds.clear();
  Request.Counter = true;
  Request.DropEvery = S.DropEvery;
  Request.Video = S.Video;
  Request.BFrames = S.BFrames;
  const std::string Path = Make(S.Name, Request);
  const segments::SegmentPlan Plan = PlanFor(Path, 4);
  ASSERT_EQ(Plan.Segments(), 4);
  EXPECT_TRUE(Seeks(Plan.Pieces[2]) && Seeks(Plan.Pieces[3])) << "the segments must seek";

  ASSERT_EQ(Run({"--segments", "4", "--jobs", "2", Path}, Dir + "/seg"), 0)
      << ReadFile(Dir + "/seg/.stderr");
  ASSERT_EQ(Run({Path}, Dir + "/whole"), 0) << ReadFile(Dir + "/whole/.stderr");
  const std::string Base = fs::path(S.Name).stem().string();
  std::string Error;
  const std::vector<int64_t> Joined =
      mediagen::ReadCounters(Dir + "/seg/" + Base + " (MPEG-4 Video).mp4", Error);
  ASSERT_EQ(Error, "");
  const std::vector<int64_t> Whole =
      mediagen::ReadCounters(Dir + "/whole/" + Base + " (MPEG-4 Video).mp4", Error);
  ASSERT_EQ(Error, "");
  // 36 s of output at 29.97 frames/s, every picture readable.
  ASSERT_NEAR(static_cast<double>(Whole.size()), 36 * 29.97, 2.0);
  EXPECT_EQ(std::count(Whole.begin(), Whole.end(), -1), 0);
  ASSERT_EQ(Joined.size(), Whole.size());
  for (size_t I = 0; I < Whole.size(); ++I)
    ASSERT_EQ(Joined[I], Whole[I])
        << "picture " << I << " (segments start at " << Plan.Pieces[1].FirstFrame << ", "
        << Plan.Pieces[2].FirstFrame << ", " << Plan.Pieces[3].FirstFrame << ")";
  EXPECT_FALSE(WorkFolderLeft(Dir + "/seg"));
}

// Under the sanitizers a conversion runs several times slower, and what
// they look for (memory errors, undefined behaviour) does not depend on the
// rate: there the joints are checked at one source of each kind, and the
// Release run checks them all.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif

std::vector<Source> Sources() {
  const std::vector<Source> All = {
      // Slower than the output: pictures repeated.
      Source{"r12.5.avi", 25, 2}, Source{"r15.avi", 15, 1}, Source{"r23.976.avi", 24000, 1001},
      Source{"r24.avi", 24, 1}, Source{"r25.avi", 25, 1}, Source{"r29.97.avi", 30000, 1001},
      // Faster: pictures dropped.
      Source{"r50.avi", 50, 1}, Source{"r59.94.avi", 60000, 1001}, Source{"r60.avi", 60, 1},
      // Variable: a capture's dropped frames (empty chunks in AVI, where a seek to a key frame
      // after one shifts the pictures; gaps in MKV), and H.264 with B-frames, whose pictures
      // come out reordered.
      Source{"vfr25.avi", 25, 1, 7}, Source{"vfr59.94.avi", 60000, 1001, 3},
      Source{"vfr24.mkv", 24, 1, 5},
      Source{"h264b.avi", 25, 1, 6, mediagen::VideoCodec::H264, 2}};
  if (!Sanitized) return All;
  std::vector<Source> OneOfEachKind;
  for (const Source& S : All)
    for (const char* Name : {"r12.5.avi", "r29.97.avi", "r59.94.avi", "vfr25.avi", "vfr24.mkv",
                             "h264b.avi"})
      if (std::string(S.Name) == Name) OneOfEachKind.push_back(S);
  return OneOfEachKind;
}

INSTANTIATE_TEST_SUITE_P(Rates, SegmentJoints, ::testing::ValuesIn(Sources()), SourceName);

// A textured picture at 640x360, where the encoder's rate control decides
// the quality: around the joint (a second either side) the joined file is
// as close to the source pictures it shows as the file as a whole is. The
// fixed-rate preset with its long lead-in, and a constant-quality one with
// none, at the output's own rate and at another.
struct QualityCase {
  const char* Name;
  int Format;  // the preset's row
  const char* Preset;
  int RateNum, RateDen;
};

void PrintTo(const QualityCase& C, std::ostream* Out) {
  *Out << C.Name;
}

class SegmentQuality : public SegmentsFixture, public ::testing::WithParamInterface<QualityCase> {};

TEST_P(SegmentQuality, JointKeepsTheQualityOfTheWholeRun) {
  if (Sanitized)
    GTEST_SKIP() << "a measure of the encoder's rate control, over the code the joints above "
                    "run: measured in the Release run";
  const QualityCase& C = GetParam();
  mediagen::MediaRequest Request;
  Request.Width = 640;
  Request.Height = 360;
  Request.FrameRateNum = C.RateNum;
  Request.FrameRateDen = C.RateDen;
  Request.DurationSeconds = 36;
  Request.MarkSeconds.clear();
  Request.Pattern = mediagen::PicturePattern::Textured;
  Request.Counter = true;
  Request.Audio = mediagen::AudioCodec::None;
  const std::string Path = Make("textured.avi", Request);
  segments::PresetChoice Choice;
  Choice.Format = C.Format;
  const segments::SegmentPlan Plan = PlanFor(Path, 2, Choice);
  const output::TFormatPreset& Row = output::kFormats[C.Format];
  if (Row.Quality) {
    // Constant quality: the segment's run starts at its own first picture.
    EXPECT_EQ(Plan.Pieces[1].LeadFrames, 0);
  } else {
    EXPECT_GT(Plan.Pieces[1].LeadFrames, 400);
    ASSERT_TRUE(Seeks(Plan.Pieces[1]));
  }

  ASSERT_EQ(Run({"--preset", C.Preset, "--segments", "2", "--jobs", "2", Path}, Dir + "/seg"), 0)
      << ReadFile(Dir + "/seg/.stderr");
  const std::string Output = Dir + "/seg/textured (" + output::FormatLabel(Row.ItemText) + ")" +
                             output::FormatExtension(Row.ItemText);
  const mediagen::PictureComparison Joined = mediagen::CompareWithCountedSource(Output, Path);
  ASSERT_EQ(Joined.Error, "");
  const int64_t Joint = Plan.Pieces[1].FirstFrame;
  const double Mean = Joined.MeanPsnrOfCoded(0, Joined.FramesA);
  const double Around = Joined.MeanPsnrOfCoded(Joint - 30, Joint + 30);
  EXPECT_GT(Mean, 25.0);
  EXPECT_NEAR(Around, Mean, 1.0) << "around the joint at picture " << Joint;
}

INSTANTIATE_TEST_SUITE_P(
    Presets, SegmentQuality,
    ::testing::Values(QualityCase{"FixedRate25", 0, "MPEG-4 Video", 25, 1},
                      QualityCase{"ConstantQuality25", 1, "MPEG-4 Video HQ", 25, 1},
                      QualityCase{"ConstantQuality29_97", 1, "MPEG-4 Video HQ", 30000, 1001}),
    [](const ::testing::TestParamInfo<QualityCase>& Info) { return std::string(Info.param.Name); });

class PictureTimes : public SegmentsFixture {
 protected:
  // 20 s at 25 frames/s, every DropEvery-th slot left empty.
  std::string Clip(const std::string& Name, int DropEvery) {
    mediagen::MediaRequest Request;
    Request.Width = 160;
    Request.Height = 120;
    Request.DurationSeconds = 20;
    Request.MarkSeconds.clear();
    Request.DropEvery = DropEvery;
    return Make(Name, Request);
  }
  static std::vector<int64_t> Expected(int DropEvery) {
    std::vector<int64_t> Times;
    for (int64_t N = 0; N < 500; ++N)
      if (DropEvery == 0 || N % DropEvery != DropEvery - 1 || N == 499) Times.push_back(N * 40000);
    return Times;
  }
};

// The times of the pictures written, whether read from an AVI's index or
// from a Matroska file's packets; the empty slots have none.
TEST_F(PictureTimes, AreThoseOfThePicturesWritten) {
  std::vector<int64_t> Times;
  std::string Error;
  for (const char* Name : {"drops.avi", "drops.mkv"}) {
    ASSERT_TRUE(segments::ReadPictureTimes(Clip(Name, 7), -1, Times, Error)) << Error;
    EXPECT_EQ(Times, Expected(7)) << Name;
  }
  // Up to a time: at least the pictures before it.
  ASSERT_TRUE(segments::ReadPictureTimes(Dir + "/drops.mkv", 4000000, Times, Error)) << Error;
  ASSERT_GE(Times.size(), 100u);
  EXPECT_TRUE(std::equal(Times.begin(), Times.begin() + 80, Expected(7).begin()));
  EXPECT_FALSE(segments::ReadPictureTimes(Dir + "/none.avi", -1, Times, Error));
  EXPECT_NE(Error.find("none.avi"), std::string::npos) << Error;
}

// Seeking an AVI file with dropped frames lands, at some times, on a key
// frame whose pictures the demuxer then numbers a frame late; the check
// finds those times, and finds none in a file without empty chunks.
TEST_F(PictureTimes, SeekCheckFindsTheSeeksThatShiftThePictures) {
  std::string Error;
  auto Unfaithful = [&](const std::string& Path, int DropEvery) {
    segments::SeekCheck Check;
    EXPECT_TRUE(Check.Open(Path, Error)) << Error;
    int Count = 0;
    for (int64_t Seek = 500000; Seek < 18000000; Seek += 260000)
      Count += !Check.Faithful(Seek, Seek + 1000000, Expected(DropEvery));
    return Count;
  };
  EXPECT_GT(Unfaithful(Clip("drops.avi", 7), 7), 0);
  EXPECT_EQ(Unfaithful(Clip("drops.mkv", 7), 7), 0);
  EXPECT_EQ(Unfaithful(Clip("plain.avi", 0), 0), 0);
}

}  // namespace
}  // namespace vexav::batch
