// vexav-convert --segments: a file's picture converted in time segments and
// joined. The joined file is read back: its pictures against the source's
// and against one run over the whole file, its time stamps and key frames,
// picture and sound marks across the joints, the bytes for different job
// counts, and what a stop and a short source leave behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "MarkFinder.h"
#include "MediaGenerator.h"
#include "PictureCompare.h"
#include "SegmentsFixture.h"
#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "binding/Owners.h"
#include "batch/segments/PictureTimes.h"
#include "batch/segments/SegmentJoin.h"
#include "batch/segments/SegmentPlan.h"

namespace vexav::batch {
namespace {

// The video packets of a file in presentation order: time and key flag.
struct VideoPacket {
  int64_t PtsUs;
  bool Key;
};

std::vector<VideoPacket> VideoPackets(const std::string& Path) {
  std::vector<VideoPacket> Packets;
  AVFormatContext* Raw = nullptr;
  if (ff::avformat_open_input(&Raw, Path.c_str(), nullptr, nullptr) < 0) return Packets;
  InputFormatPtr File(Raw);
  if (ff::avformat_find_stream_info(File.get(), nullptr) < 0) return Packets;
  int Index = -1;
  for (unsigned I = 0; I < File->nb_streams && Index < 0; ++I)
    if (File->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) Index = static_cast<int>(I);
  if (Index < 0) return Packets;
  const AVRational Base = File->streams[Index]->time_base;
  PacketPtr Packet(ff::av_packet_alloc());
  while (ff::av_read_frame(File.get(), Packet.get()) >= 0) {
    if (Packet->stream_index == Index)
      Packets.push_back({ff::av_rescale_q(Packet->pts, Base, AVRational{1, 1000000}),
                         (Packet->flags & AV_PKT_FLAG_KEY) != 0});
    ff::av_packet_unref(Packet.get());
  }
  std::sort(Packets.begin(), Packets.end(),
            [](const VideoPacket& A, const VideoPacket& B) { return A.PtsUs < B.PtsUs; });
  return Packets;
}

using namespace test;
struct PresetCase {
  int Format;
  const char* Preset;
  const char* Output;  // the joined file's name
  const char* Video;   // its decoder's name
};

class Segments : public SegmentsFixture {
 protected:
  void ExpectExactJoints(const std::string& Source, double StepUs,
                         const std::vector<PresetCase>& Cases);
};

TEST_F(Segments, JointsAreExact) {
  const std::string Source = MakeClip("clip.avi", 7.0);
  ASSERT_EQ(Run({"--segments", "3", "--jobs", "2", Source}, Dir + "/seg"), 0)
      << ReadFile(Dir + "/seg/.stderr");
  ASSERT_EQ(Run({"--jobs", "1", "--codec-threads", "1", Source}, Dir + "/whole"), 0);
  const std::string Joined = Dir + "/seg/clip (MPEG-4 Video).mp4";
  const std::string Whole = Dir + "/whole/clip (MPEG-4 Video).mp4";
  EXPECT_FALSE(WorkFolderLeft(Dir + "/seg"));

  // Every picture once, in its place: the n-th output picture is the n-th
  // source picture, as in the run over the whole file.
  const mediagen::PictureComparison Against = mediagen::ComparePictures(Joined, Source);
  const mediagen::PictureComparison WholeAgainst = mediagen::ComparePictures(Whole, Source);
  ASSERT_EQ(Against.Error, "");
  ASSERT_EQ(WholeAgainst.Error, "");
  EXPECT_EQ(Against.FramesA, WholeAgainst.FramesA);
  EXPECT_EQ(Against.FramesA, Against.FramesB);
  // A picture repeated or lost anywhere shifts the moving square in all the
  // rest: far below the coding loss.
  for (size_t I = 0; I < Against.Psnr.size(); ++I)
    ASSERT_GT(Against.Psnr[I], 35.0) << "picture " << I;

  // Time stamps run on by one frame each, and each segment starts with a key
  // frame; the joints are where the plan put them.
  const std::vector<VideoPacket> Packets = VideoPackets(Joined);
  ASSERT_EQ(static_cast<int>(Packets.size()), Against.FramesA);
  const segments::SegmentPlan Plan = PlanFor(Source, 3);
  ASSERT_EQ(Plan.Segments(), 3);
  for (size_t I = 0; I < Packets.size(); ++I)
    ASSERT_NEAR(Packets[I].PtsUs, I * FrameUs, 1000.0) << "picture " << I;
  for (const segments::Piece& P : Plan.Pieces) {
    EXPECT_TRUE(Packets[P.FirstFrame].Key) << "segment " << P.Number;
    // The quality within a second of a joint is that of the whole file.
    if (P.FirstFrame == 0) continue;
    EXPECT_NEAR(Against.MeanPsnrOfCoded(P.FirstFrame - 30, P.FirstFrame + 30),
                Against.MeanPsnrOfCoded(0, Against.Psnr.size()), 1.0)
        << "joint before segment " << P.Number;
  }

  // Picture and sound together from start to end: each flash within one
  // frame of its click.
  const mediagen::DecodedMedia Decoded = mediagen::Decode(Joined);
  ASSERT_EQ(Decoded.Error, "");
  const std::vector<int64_t> Clicks = mediagen::ReadClickTimesUs(Joined);
  ASSERT_EQ(Decoded.FlashTimesUs.size(), 6u);
  ASSERT_EQ(Clicks.size(), 6u);
  for (size_t I = 0; I < 6; ++I)
    EXPECT_NEAR(Decoded.FlashTimesUs[I], Clicks[I], FrameUs) << "mark " << I;

  // The joints cost next to nothing in size.
  EXPECT_NEAR(static_cast<double>(fs::file_size(Joined)), static_cast<double>(fs::file_size(Whole)),
              0.05 * fs::file_size(Whole));
}


// Source converted with each preset in two segments: every picture once in
// its place (StepUs apart: the source's own rate), a key frame where each
// segment starts, and the quality at the joint that of the whole file.
void Segments::ExpectExactJoints(const std::string& Source, double StepUs,
                                 const std::vector<PresetCase>& Cases) {
  for (const PresetCase& C : Cases) {
    SCOPED_TRACE(C.Preset);
    const std::string Out = Dir + "/seg-" + std::to_string(C.Format);
    ASSERT_EQ(Run({"--preset", C.Preset, "--segments", "2", "--jobs", "2", Source}, Out), 0)
        << ReadFile(Out + "/.stderr");
    const std::string Joined = Out + "/" + C.Output;
    EXPECT_FALSE(WorkFolderLeft(Out));
    const mediagen::PictureComparison Against = mediagen::ComparePictures(Joined, Source);
    ASSERT_EQ(Against.Error, "");
    EXPECT_EQ(Against.FramesA, Against.FramesB);
    for (size_t I = 0; I < Against.Psnr.size(); ++I)
      ASSERT_GT(Against.Psnr[I], 35.0) << "picture " << I;

    const std::vector<VideoPacket> Packets = VideoPackets(Joined);
    ASSERT_EQ(static_cast<int>(Packets.size()), Against.FramesA);
    for (size_t I = 0; I < Packets.size(); ++I)
      ASSERT_NEAR(Packets[I].PtsUs - Packets[0].PtsUs, I * StepUs, 1000.0) << "picture " << I;
    segments::PresetChoice Choice;
    Choice.Format = C.Format;
    const segments::SegmentPlan Plan = PlanFor(Source, 2, Choice);
    ASSERT_EQ(Plan.Segments(), 2);
    for (const segments::Piece& P : Plan.Pieces) {
      if (P.Type != segments::Piece::Kind::Picture) continue;
      EXPECT_TRUE(Packets[P.FirstFrame].Key) << "segment " << P.Number;
      if (P.FirstFrame == 0) continue;
      EXPECT_NEAR(Against.MeanPsnrOfCoded(P.FirstFrame - 30, P.FirstFrame + 30),
                  Against.MeanPsnrOfCoded(0, Against.Psnr.size()), 1.0)
          << "joint before segment " << P.Number;
    }
    const mediagen::DecodedMedia Decoded = mediagen::Decode(Joined);
    ASSERT_EQ(Decoded.Error, "");
    EXPECT_EQ(Decoded.VideoCodecName, C.Video);
    EXPECT_EQ(Decoded.AudioChannels, 2);
  }
}

// Constant-quality presets (their frame rate the source's, their options
// the encoders' own) join as exactly (SVT-AV1 takes forced key frames only
// when told to).
TEST_F(Segments, ConstantQualityPresetsJoinExactly) {
  ExpectExactJoints(MakeClip("clip.avi", 5.0), FrameUs,
                    {{1, "MPEG-4 Video HQ", "clip (MPEG-4 Video HQ).mp4", "h264"},
                     {4, "AV1 Video", "clip (AV1 Video).mkv", "av1"}});
}

// The same at another rate and size, where the presets keep 25 frames/s,
// and for the two other constant-quality encoders (x265, VP9).
TEST_F(Segments, ConstantQualityJointsAreExactAtTheSourcesOwnRate) {
  mediagen::MediaRequest Request;
  Request.Width = 176;
  Request.Height = 144;
  Request.FrameRateNum = 25;
  Request.FrameRateDen = 1;
  Request.DurationSeconds = 5.0;
  Request.MarkSeconds = {1, 2, 3, 4};
  ExpectExactJoints(Make("pal.avi", Request), 40000.0,
                    {{1, "MPEG-4 Video HQ", "pal (MPEG-4 Video HQ).mp4", "h264"},
                     {2, "HEVC Video", "pal (HEVC Video).mp4", "hevc"},
                     {3, "WebM Video", "pal (WebM Video).webm", "vp9"}});
}

TEST_F(Segments, SameBytesWhateverRanAtOnce) {
  const std::string Source = MakeClip("clip.avi", 5.0);
  ASSERT_EQ(Run({"--segments", "2", "--jobs", "1", Source}, Dir + "/one"), 0);
  ASSERT_EQ(Run({"--segments", "2", "--jobs", "3", Source}, Dir + "/three"), 0);
  const std::string One = ReadFile(Dir + "/one/clip (MPEG-4 Video).mp4");
  ASSERT_FALSE(One.empty());
  EXPECT_TRUE(One == ReadFile(Dir + "/three/clip (MPEG-4 Video).mp4"));
}

// The work folder the program made in Out, "" before it is there.
std::string WorkFolderIn(const std::string& Out) {
  std::error_code Code;
  for (const auto& Entry : fs::directory_iterator(Out, Code))
    if (Entry.path().filename().string().rfind(".vexav-seg-", 0) == 0) return Entry.path();
  return "";
}

// The source loses its end while the segments run (a recording still being
// copied, a drive pulled): a segment comes out short (or a sound piece finds
// nothing where it seeks to), and the file fails with that piece named
// instead of being joined with a hole.
TEST_F(Segments, SourceCutShortFailsTheFile) {
  const std::string Source = MakeClip("cut.avi", 9.0, 640, 480);
  const std::string Out = Dir + "/out";
  // Planned from the whole source, cut before the pieces have read it.
  EXPECT_EQ(RunUntil(
                Source, Out, [&] { return !WorkFolderIn(Out).empty(); },
                [&](pid_t) { fs::resize_file(Source, fs::file_size(Source) / 10); }),
            1);
  const std::string Err = ReadFile(Out + "/.stderr");
  EXPECT_TRUE(Err.find("cut.avi: segment ") != std::string::npos ||
              Err.find("cut.avi: sound ") != std::string::npos)
      << Err;
  EXPECT_FALSE(fs::exists(Out + "/cut (MPEG-4 Video).mp4"));
  EXPECT_FALSE(WorkFolderLeft(Out));
}

// Ctrl-C once the first segment is done, while the second runs: the part
// kept is the first segment, exactly, with its sound, under the partial name.
TEST_F(Segments, StopKeepsTheLeadingSegments) {
  const std::string Source = MakeClip("long.avi", 9.0, 640, 480);
  const std::string Out = Dir + "/out";
  // The first segment's file is complete (its container states its
  // pictures) the moment it ends; the second takes seconds.
  const auto FirstDone = [&] {
    const std::string Work = WorkFolderIn(Out);
    return !Work.empty() && segments::PictureCount(Work + "/picture-000.mp4") > 0;
  };
  EXPECT_EQ(RunUntil(Source, Out, FirstDone, [](pid_t Child) { ::kill(Child, SIGINT); }), 130)
      << ReadFile(Out + "/.stderr");
  EXPECT_FALSE(WorkFolderLeft(Out));
  EXPECT_FALSE(fs::exists(Out + "/long (MPEG-4 Video).mp4"));
  const std::string Kept = Out + "/long (MPEG-4 Video) (partial).mp4";
  const mediagen::DecodedMedia Decoded = mediagen::Decode(Kept);
  ASSERT_EQ(Decoded.Error, "") << ReadFile(Out + "/.stderr");
  const segments::SegmentPlan Plan = PlanFor(Source, 3);
  EXPECT_EQ(static_cast<int64_t>(Decoded.Frames.size()), Plan.Pieces[1].FirstFrame);
  // The sound is cut to the pictures kept.
  const double SoundUs = Decoded.AudioSamples * 1e6 / Decoded.AudioSampleRate;
  EXPECT_NEAR(SoundUs, Plan.Pieces[1].FirstFrame * FrameUs, 50000.0);
}

// --segments on a file too short to be cut: it runs as it would without the
// option, with the codec threads of a plain run, to the same bytes.
TEST_F(Segments, AFileThatStaysWholeRunsAsWithoutSegments) {
  const std::string Source = MakeClip("short.avi", 4.0, 320, 240);
  ASSERT_EQ(Run({"--segments", "auto", Source}, Dir + "/auto"), 0)
      << ReadFile(Dir + "/auto/.stderr");
  ASSERT_EQ(Run({Source}, Dir + "/plain"), 0);
  const std::string Plain = ReadFile(Dir + "/plain/short (MPEG-4 Video).mp4");
  ASSERT_FALSE(Plain.empty());
  EXPECT_TRUE(Plain == ReadFile(Dir + "/auto/short (MPEG-4 Video).mp4"));
}

// Pictures every StepUs for Seconds.
std::vector<int64_t> EveryUs(int64_t StepUs, int Seconds) {
  std::vector<int64_t> Times;
  for (int64_t T = 0; T < Seconds * 1000000LL; T += StepUs) Times.push_back(T);
  return Times;
}
std::vector<int64_t> Times25(int Seconds) {
  return EveryUs(40000, Seconds);
}

// A piece's options as "name=value" lines, in order.
std::vector<std::string> Lines(const std::vector<output::TEngineOption>& Options) {
  std::vector<std::string> Result;
  for (const output::TEngineOption& O : Options) Result.push_back(O.Name + "=" + O.Value);
  return Result;
}

// 60 s at an output rate of 25 frames/s in three segments: 1500 frames,
// segments from frames 500 and 1000, each with a lead-in of 15 s (375
// frames) where the source allows. Worked out by hand for three sources.
TEST(SegmentPlan, StartsEachSegmentWhereTheWholeRunHasItsPicture) {
  const std::vector<output::TEngineOption> Preset{{"vcodec", "libx264"}, {"r", "25"}};
  std::string Error;

  // 25 frames/s: every picture once, picture j at frame j. Segment 2 keeps
  // 500..999 and starts 375 frames early, at picture 125 (5 s): the input
  // seeks to 4 s and its stamps are moved back on the source's clock.
  segments::SegmentPlan Plan =
      segments::MakeSegmentPlan(Preset, 60000000, 3, false, EveryUs(40000, 60), Error);
  ASSERT_EQ(Plan.Segments(), 3) << Error;
  EXPECT_EQ(Lines(Plan.Pieces[0].InputOptions), std::vector<std::string>{});
  EXPECT_EQ(Lines(Plan.Pieces[0].OutputOptions),
            (std::vector<std::string>{"vcodec=libx264", "r=25", "an=", "vframes=500"}));
  EXPECT_EQ(Lines(Plan.Pieces[1].InputOptions),
            (std::vector<std::string>{"ss=4.000000", "itsoffset=4.000000"}));
  EXPECT_EQ(
      Lines(Plan.Pieces[1].OutputOptions),
      (std::vector<std::string>{"vcodec=libx264", "r=25", "an=", "ss=5.000000", "vsync_start=125",
                                "vframes=875", "force_key_frames=15.000000"}));
  EXPECT_EQ(Plan.Pieces[1].LeadFrames, 375);
  // The last runs to the end: no frame limit.
  EXPECT_EQ(Lines(Plan.Pieces[2].OutputOptions),
            (std::vector<std::string>{"vcodec=libx264", "r=25", "an=", "ss=25.000000",
                                      "vsync_start=625", "force_key_frames=15.000000"}));

  // 12.5 frames/s: picture j (from the third on) fills frames 2j-2 (the
  // picture before it again) and 2j-1. The last start at or before frame
  // 125 is picture 63 at frame 124 (5.04 s): a lead-in of 376 frames.
  Plan = segments::MakeSegmentPlan(Preset, 60000000, 3, false, EveryUs(80000, 60), Error);
  ASSERT_EQ(Plan.Segments(), 3) << Error;
  EXPECT_EQ(Lines(Plan.Pieces[1].InputOptions),
            (std::vector<std::string>{"ss=4.040000", "itsoffset=4.040000"}));
  EXPECT_EQ(
      Lines(Plan.Pieces[1].OutputOptions),
      (std::vector<std::string>{"vcodec=libx264", "r=25", "an=", "ss=5.040000", "vsync_start=124",
                                "vframes=876", "force_key_frames=15.040000"}));

  // 50 frames/s: from the third picture on, every odd one is dropped and
  // even picture j is written at frame j/2 + 1. Picture 248 (4.96 s) has
  // frame 125; picture 249 is dropped, which no segment may start with.
  Plan = segments::MakeSegmentPlan(Preset, 60000000, 3, false, EveryUs(20000, 60), Error);
  ASSERT_EQ(Plan.Segments(), 3) << Error;
  EXPECT_EQ(
      Lines(Plan.Pieces[1].OutputOptions),
      (std::vector<std::string>{"vcodec=libx264", "r=25", "an=", "ss=4.960000", "vsync_start=125",
                                "vframes=875", "force_key_frames=15.000000"}));
  EXPECT_EQ(Lines(Plan.Pieces[1].InputOptions),
            (std::vector<std::string>{"ss=3.960000", "itsoffset=3.960000"}));

  // Where a seek would not read the source as a run from the start does,
  // the run seeks further back; where no seek does, it reads from the start
  // and only drops the pictures before its own.
  Plan = segments::MakeSegmentPlan(Preset, 60000000, 3, false, EveryUs(40000, 60), Error,
                                   [](int64_t SeekUs, int64_t) { return SeekUs < 3500000; });
  EXPECT_EQ(Lines(Plan.Pieces[1].InputOptions),
            (std::vector<std::string>{"ss=3.000000", "itsoffset=3.000000"}));
  Plan = segments::MakeSegmentPlan(Preset, 60000000, 3, false, EveryUs(40000, 60), Error,
                                   [](int64_t, int64_t) { return false; });
  EXPECT_TRUE(Plan.Pieces[1].InputOptions.empty());
  EXPECT_EQ(Lines(Plan.Pieces[1].OutputOptions)[3], "ss=5.000000");
  EXPECT_EQ(Plan.Pieces[1].LeadFrames, 375);
}

// Each video preset's segments start with the lead-in its rate control
// needs: 15 s for the fixed-rate row, none for the constant-quality rows,
// whose segments start at their first picture (with the source at the
// output's rate), so nothing is encoded twice and no key frame is forced.
TEST(SegmentPlan, EachPresetGetsTheLeadInOfItsRateControl) {
  TAudioStreamInfo Sound;
  Sound.Channels = 2;
  Sound.SampleRate = 48000;
  TVideoStreamInfo Picture;
  Picture.Width = 640;
  Picture.Height = 360;
  Picture.FrameRateNum = 25;
  Picture.FrameRateDen = 1;
  int Checked = 0;
  for (const output::TFormatPreset& Row : output::kFormats) {
    if (Row.AudioOnly) continue;
    SCOPED_TRACE(Row.ItemText);
    const std::vector<output::TEngineOption> Options =
        output::EngineOptions(output::MakeOutputSettings(&Row, false, Sound, Picture));
    std::string Error;
    const segments::SegmentPlan Plan =
        segments::MakeSegmentPlan(Options, 60000000, 3, true, Times25(60), Error);
    ASSERT_EQ(Plan.Segments(), 3) << Error;
    const bool Quality = Row.Quality != nullptr;
    EXPECT_EQ(segments::LeadInFor(Options),
              Quality ? segments::QualityLeadInUs : segments::LeadInUs);
    for (int K = 1; K < 3; ++K) {
      const segments::Piece& P = Plan.Pieces[K];
      const std::vector<std::string> Given = Lines(P.OutputOptions);
      const bool Forced = std::any_of(Given.begin(), Given.end(), [](const std::string& L) {
        return L.rfind("force_key_frames=", 0) == 0;
      });
      if (Quality) {
        // 25 frames/s out of 25: segment K's first picture is source picture FirstFrame.
        EXPECT_EQ(P.LeadFrames, 0) << "segment " << K;
        EXPECT_EQ(P.StartUs, P.FirstFrame * 40000) << "segment " << K;
        EXPECT_FALSE(Forced) << "segment " << K;
      } else {
        // 29.97 frames/s: 15 s are 449 frames, and the picture that starts
        // them may lie a frame before.
        EXPECT_GE(P.LeadFrames, 449) << "segment " << K;
        EXPECT_LE(P.LeadFrames, 451) << "segment " << K;
        EXPECT_TRUE(Forced) << "segment " << K;
      }
    }
    ++Checked;
  }
  EXPECT_EQ(Checked, 5);
}

TEST(SegmentPlan, CutsAtFramesAndRefusesTooShort) {
  std::string Error;
  const std::vector<output::TEngineOption> Preset{
      {"acodec", "libfaac"}, {"ab", "64000"}, {"vcodec", "libx264"}, {"r", "29.97"}};
  const segments::SegmentPlan Plan =
      segments::MakeSegmentPlan(Preset, 600 * 1000000LL, 4, true, Times25(600), Error);
  ASSERT_EQ(Plan.Segments(), 4) << Error;
  ASSERT_TRUE(Plan.HasSound());
  // The segments cover the output frames of 600 s without gap or overlap.
  int64_t Next = 0;
  for (int K = 0; K < 4; ++K) {
    const segments::Piece& P = Plan.Pieces[K];
    EXPECT_EQ(P.FirstFrame, Next);
    Next = P.FirstFrame + P.Frames;
  }
  EXPECT_EQ(Plan.Pieces[3].Frames, -1);
  EXPECT_EQ(Plan.Pieces[2].FirstFrame + Plan.Pieces[2].Frames, 17982 * 3 / 4);
  // Sound options only in the sound piece, and no picture there.
  for (const output::TEngineOption& O : Plan.Pieces[0].OutputOptions) EXPECT_NE(O.Name, "acodec");
  const auto& Sound = Plan.Pieces[4].OutputOptions;
  EXPECT_NE(std::find(Sound.begin(), Sound.end(), output::TEngineOption{"vn", ""}), Sound.end());

  EXPECT_EQ(segments::MakeSegmentPlan(Preset, 2500000, 3, true, Times25(3), Error).Segments(), 0);
  EXPECT_NE(Error.find("too short"), std::string::npos);
  EXPECT_EQ(segments::AutoSegments(230 * 1000000LL, 8), 1);
  EXPECT_EQ(segments::AutoSegments(600 * 1000000LL, 8), 5);
  EXPECT_EQ(segments::AutoSegments(7200 * 1000000LL, 8), 8);
  // A cluster's CPUs, with segments down to 20 s: a two-hour file on 50
  // nodes of 32 CPUs makes as many as 20 s allow, a 70 s file three.
  const int64_t Min = segments::MinClusterSegmentUs;
  EXPECT_EQ(segments::AutoSegments(7200 * 1000000LL, 1600, Min), 360);
  EXPECT_EQ(segments::AutoSegments(7200 * 1000000LL, 96, Min), 96);
  EXPECT_EQ(segments::AutoSegments(70 * 1000000LL, 3, Min), 3);
  EXPECT_EQ(segments::AutoSegments(39 * 1000000LL, 3, Min), 1);
  EXPECT_EQ(segments::AutoSegments(100000 * 1000000LL, 4000, Min), segments::MaxSegments);
}

}  // namespace
}  // namespace vexav::batch
