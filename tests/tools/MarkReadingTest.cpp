// The readers that judge a conversion's output: the picture comparison
// (two files picture by picture, and a region of one picture against
// another) and the click reader. Each is checked against files whose
// answer is known: a clip against itself and against a copy missing one
// picture, clicks at the generator's marks, and sound it must not take for
// a click.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "MarkFinder.h"
#include "MediaGenerator.h"
#include "PictureCompare.h"
#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "binding/Owners.h"

namespace fs = std::filesystem;
using namespace vexav;
using namespace vexav::mediagen;

namespace {

class MarkReadingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    // The scaler's note on every "j" picture read says nothing here.
    ff::av_log_set_level(AV_LOG_ERROR);
  }

  void SetUp() override {
    const auto* Info = ::testing::UnitTest::GetInstance()->current_test_info();
    Dir = fs::temp_directory_path() /
          ("vexav-marks-" + std::to_string(::getpid()) + "-" + Info->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override {
    std::error_code Ignored;
    fs::remove_all(Dir, Ignored);
  }

  std::string Make(const std::string& Name, const MediaRequest& Request) {
    const std::string Path = (Dir / Name).string();
    EXPECT_EQ(Generate(Path, Request), "");
    return Path;
  }

  fs::path Dir;
};

// A copy of Source's video stream without its picture number Missing: the
// pictures after it move up one place (their times one frame earlier), so
// that the copy is one picture shorter and has no gap. Returns "" or why.
std::string CopyWithoutPicture(const std::string& Source, const std::string& Path, int Missing) {
  AVFormatContext* RawIn = nullptr;
  if (ff::avformat_open_input(&RawIn, Source.c_str(), nullptr, nullptr) < 0) return "open";
  InputFormatPtr In(RawIn);
  if (ff::avformat_find_stream_info(In.get(), nullptr) < 0) return "stream info";
  int Index = -1;
  for (unsigned I = 0; I < In->nb_streams && Index < 0; ++I)
    if (In->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) Index = static_cast<int>(I);
  if (Index < 0) return "no video";
  AVFormatContext* RawOut = nullptr;
  if (ff::avformat_alloc_output_context2(&RawOut, nullptr, "avi", Path.c_str()) < 0 || !RawOut)
    return "muxer";
  OutputFormatPtr Out(RawOut);
  AVStream* Stream = ff::avformat_new_stream(Out.get(), nullptr);
  if (!Stream || ff::avcodec_parameters_copy(Stream->codecpar, In->streams[Index]->codecpar) < 0)
    return "stream";
  Stream->codecpar->codec_tag = 0;
  Stream->time_base = In->streams[Index]->time_base;
  if (ff::avio_open(&Out->pb, Path.c_str(), AVIO_FLAG_WRITE) < 0) return "file";
  if (ff::avformat_write_header(Out.get(), nullptr) < 0) return "header";
  PacketPtr Packet(ff::av_packet_alloc());
  int Number = 0;
  int64_t Shift = 0;
  while (ff::av_read_frame(In.get(), Packet.get()) >= 0) {
    if (Packet->stream_index == Index) {
      const int64_t Duration = Packet->duration > 0 ? Packet->duration : 1;
      if (Number++ == Missing) {
        Shift = ff::av_rescale_q(Duration, In->streams[Index]->time_base, Stream->time_base);
      } else {
        ff::av_packet_rescale_ts(Packet.get(), In->streams[Index]->time_base, Stream->time_base);
        if (Packet->pts != AV_NOPTS_VALUE) Packet->pts -= Shift;
        if (Packet->dts != AV_NOPTS_VALUE) Packet->dts -= Shift;
        Packet->stream_index = 0;
        Packet->pos = -1;
        if (ff::av_interleaved_write_frame(Out.get(), Packet.get()) < 0) return "write";
      }
    }
    ff::av_packet_unref(Packet.get());
  }
  if (ff::av_write_trailer(Out.get()) < 0) return "trailer";
  return "";
}

MediaRequest Pictures(VideoCodec Video) {
  MediaRequest Request;
  Request.Width = 96;
  Request.Height = 64;
  Request.DurationSeconds = 1.0;
  Request.Video = Video;
  Request.Audio = AudioCodec::None;
  Request.Pattern = PicturePattern::Textured;
  Request.MarkSeconds = {0.5};
  return Request;
}

TEST_F(MarkReadingTest, AClipComparesIdenticalWithItself) {
  for (VideoCodec Video : {VideoCodec::Raw, VideoCodec::Mjpeg, VideoCodec::Mpeg4}) {
    const std::string Clip = Make("clip.avi", Pictures(Video));
    const PictureComparison C = ComparePictures(Clip, Clip);
    ASSERT_EQ(C.Error, "");
    EXPECT_EQ(C.FramesA, 25);
    EXPECT_EQ(C.FramesB, 25);
    ASSERT_EQ(C.Psnr.size(), 25u);
    for (double Db : C.Psnr) EXPECT_EQ(Db, PsnrIdentical);
    EXPECT_EQ(C.MeanPsnr(), PsnrIdentical);
    EXPECT_EQ(C.FirstBelow(PsnrIdentical), -1);
    // Identical pairs are no coded pictures.
    EXPECT_EQ(C.MeanPsnrOfCoded(0, 25), 0.0);
  }
}

TEST_F(MarkReadingTest, ACopyMissingOnePictureDiffersFromThatPictureOn) {
  const std::string Clip = Make("clip.avi", Pictures(VideoCodec::Mjpeg));
  for (int Missing : {0, 7, 24}) {
    const std::string Copy = (Dir / ("missing-" + std::to_string(Missing) + ".avi")).string();
    ASSERT_EQ(CopyWithoutPicture(Clip, Copy, Missing), "");
    const PictureComparison C = ComparePictures(Clip, Copy);
    ASSERT_EQ(C.Error, "");
    EXPECT_EQ(C.FramesA, 25);
    EXPECT_EQ(C.FramesB, 24);
    ASSERT_EQ(C.Psnr.size(), 24u);
    // Up to the missing picture, the same pictures; from there on each is
    // compared with its successor, which the panning texture makes far
    // from identical (a good encode of it stays above 30 dB).
    EXPECT_EQ(C.FirstBelow(PsnrIdentical), Missing == 24 ? -1 : Missing);
    for (int I = 0; I < 24; ++I) {
      if (I < Missing) {
        EXPECT_EQ(C.Psnr[I], PsnrIdentical) << "pair " << I;
      } else {
        EXPECT_LT(C.Psnr[I], 25.0) << "pair " << I;
      }
    }
    if (Missing < 24) {
      EXPECT_LT(C.MeanPsnrOfCoded(Missing, 24), 25.0);
    }
  }
}

TEST_F(MarkReadingTest, LumaPicturesAndTheirRegions) {
  MediaRequest Request = Pictures(VideoCodec::Raw);
  Request.Width = 13;
  Request.Height = 7;
  const std::string Clip = Make("odd.avi", Request);
  std::vector<LumaPicture> All;
  ASSERT_EQ(ReadLumaPictures(Clip, 1000, All), "");
  ASSERT_EQ(All.size(), 25u);
  std::vector<LumaPicture> Three;
  ASSERT_EQ(ReadLumaPictures(Clip, 3, Three), "");
  ASSERT_EQ(Three.size(), 3u);
  EXPECT_EQ(Three[2].Samples, All[2].Samples);
  const LumaPicture& First = All.front();
  EXPECT_EQ(First.Width, 13);
  EXPECT_EQ(First.Height, 7);
  ASSERT_EQ(First.Samples.size(), 13u * 7u);

  // The picture less its last column and row is the picture's top left
  // region, and no other.
  LumaPicture Part;
  Part.Width = 12;
  Part.Height = 6;
  for (int Y = 0; Y < 6; ++Y)
    for (int X = 0; X < 12; ++X) Part.Samples.push_back(First.Samples[Y * 13 + X]);
  EXPECT_EQ(RegionPsnr(First, Part, 0, 0), PsnrIdentical);
  EXPECT_LT(RegionPsnr(First, Part, 1, 1), 30.0);
  EXPECT_EQ(RegionPsnr(First, Part, 2, 0), 0.0) << "the region does not fit";
  EXPECT_EQ(RegionPsnr(First, First), PsnrIdentical);
  EXPECT_LT(RegionPsnr(All[12], Part), 30.0) << "another picture";

  std::vector<LumaPicture> None;
  EXPECT_NE(ReadLumaPictures((Dir / "missing.avi").string(), 3, None), "");
  EXPECT_TRUE(None.empty());
  EXPECT_NE(ComparePictures(Clip, (Dir / "missing.avi").string()).Error, "");
}

// The click reader finds each click where the generator put it: to the
// sample in PCM, within a millisecond through MP3.
TEST_F(MarkReadingTest, ClicksAreReadWhereTheyWereMade) {
  struct TCase {
    const char* Name;
    VideoCodec Video;
    AudioCodec Audio;
    double SlackUs;
  };
  for (const TCase& Case : {TCase{"pcm.wav", VideoCodec::None, AudioCodec::Pcm, 23.0},
                            TCase{"pcm.avi", VideoCodec::Mpeg4, AudioCodec::Pcm, 23.0},
                            TCase{"mp3.avi", VideoCodec::Mpeg4, AudioCodec::Mp3, 1000.0},
                            TCase{"mp3.mp3", VideoCodec::None, AudioCodec::Mp3, 1000.0}}) {
    MediaRequest Request;
    Request.Width = 96;
    Request.Height = 64;
    Request.DurationSeconds = 3.0;
    Request.Video = Case.Video;
    Request.Audio = Case.Audio;
    Request.MarkSeconds = {0.3, 1.0, 2.2};
    const std::string Path = Make(Case.Name, Request);
    const std::vector<int64_t> Marks = MarkTimesUs(Request);
    const std::vector<int64_t> Clicks = ReadClickTimesUs(Path);
    ASSERT_EQ(Clicks.size(), Marks.size()) << Case.Name;
    for (size_t I = 0; I < Marks.size(); ++I)
      EXPECT_NEAR(static_cast<double>(Clicks[I]), static_cast<double>(Marks[I]), Case.SlackUs)
          << Case.Name << " click " << I;
  }
}

// What the reader must not take for a click: a second click less than
// 100 ms after one (one heard click, as a transform codec's ringing is),
// the tone alone, a file without sound, a file that is no media.
TEST_F(MarkReadingTest, TheClickReaderRejectsWhatIsNoNewClick) {
  MediaRequest Close;
  Close.Video = VideoCodec::None;
  Close.Audio = AudioCodec::Pcm;
  Close.DurationSeconds = 2.0;
  Close.MarkSeconds = {0.5, 0.55, 0.62, 1.5};
  const std::vector<int64_t> Clicks = ReadClickTimesUs(Make("close.wav", Close));
  ASSERT_EQ(Clicks.size(), 2u);
  EXPECT_NEAR(static_cast<double>(Clicks[0]), 500000.0, 23.0);
  EXPECT_NEAR(static_cast<double>(Clicks[1]), 1500000.0, 23.0);

  MediaRequest Tone = Close;
  Tone.MarkSeconds.clear();
  EXPECT_TRUE(ReadClickTimesUs(Make("tone.wav", Tone)).empty());

  MediaRequest Silent = Pictures(VideoCodec::Mjpeg);
  EXPECT_TRUE(ReadClickTimesUs(Make("silent.avi", Silent)).empty());

  const std::string Text = (Dir / "notes.avi").string();
  std::ofstream(Text) << "not a media file\n";
  EXPECT_TRUE(ReadClickTimesUs(Text).empty());
  EXPECT_TRUE(ReadClickTimesUs((Dir / "missing.wav").string()).empty());
}

}  // namespace
