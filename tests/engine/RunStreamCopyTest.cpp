// Stream copy end to end: a generated AVI (MPEG-4 Part 2 + MP3) copied with
// "vcodec" copy and "acodec" copy into AVI, Matroska and MP4 outputs, read
// back packet by packet and decoded; copying from the first key frame; the
// "t", "fs", "map" and "ss" options.
#include <cmath>

#include "RunTestSupport.h"

namespace vexav::test {
namespace {

constexpr double ClipSeconds = 2.0;

mediagen::MediaRequest ClipRequest() {
  mediagen::MediaRequest S;
  S.DurationSeconds = ClipSeconds;
  return S;
}

std::string Clip() {
  return Media("copy-source.avi", ClipRequest());
}

TOptionList CopyBoth() {
  return {{"vcodec", "copy"}, {"acodec", "copy"}};
}

TOptionList With2(TOptionList Base, const TOptionList& More) {
  Base.insert(Base.end(), More.begin(), More.end());
  return Base;
}

class RunStreamCopyTest : public RunTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RunStreamCopyTest, CopiesBothStreamsUnchanged) {
  const std::string Output = OutPath(std::string("copy.") + GetParam());
  TRunRecord R;
  RunConversion(Req({}, Clip(), CopyBoth(), Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.Finished) << R.LogText();
  EXPECT_FALSE(R.ExceptionRaised) << R.ErrorMessage;

  const TProbedFile In = ProbeFile(Clip());
  const TProbedFile Out = ProbeFile(Output);
  ASSERT_EQ(Out.Error, "");
  ASSERT_EQ(Out.CountOf(AVMEDIA_TYPE_VIDEO), 1);
  ASSERT_EQ(Out.CountOf(AVMEDIA_TYPE_AUDIO), 1);
  const TProbedStream& InV = *In.First(AVMEDIA_TYPE_VIDEO);
  const TProbedStream& OutV = *Out.First(AVMEDIA_TYPE_VIDEO);
  const TProbedStream& InA = *In.First(AVMEDIA_TYPE_AUDIO);
  const TProbedStream& OutA = *Out.First(AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(OutV.Codec, "mpeg4");
  EXPECT_EQ(OutA.Codec, "mp3");
  EXPECT_EQ(OutV.Packets, InV.Packets);
  EXPECT_EQ(OutA.Packets, InA.Packets);
  EXPECT_EQ(OutV.Width, 320);
  EXPECT_EQ(OutV.Height, 240);
  EXPECT_NEAR(OutV.End - OutV.Start, InV.End - InV.Start, 0.041);
  EXPECT_NEAR(OutA.End - OutA.Start, InA.End - InA.Start, 0.027);

  // Decoded: the same pictures and sound, marks in place.
  const mediagen::DecodedMedia Src = mediagen::Decode(Clip());
  const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
  ASSERT_EQ(Dst.Error, "");
  EXPECT_EQ(Dst.Frames.size(), Src.Frames.size());
  EXPECT_EQ(Dst.AudioSamples, Src.AudioSamples);
  ASSERT_EQ(Dst.FlashTimesUs.size(), Src.FlashTimesUs.size());
  ASSERT_EQ(Dst.ClickSampleTimesUs.size(), Src.ClickSampleTimesUs.size());
  for (std::size_t I = 0; I < Dst.FlashTimesUs.size(); ++I)
    EXPECT_NEAR(Dst.FlashTimesUs[I], Dst.ClickSampleTimesUs[I], 40000) << I;

  // The summary line of the final report.
  EXPECT_TRUE(R.LoggedContaining("video:")) << R.LogText();
  EXPECT_TRUE(R.LoggedContaining("muxing overhead")) << R.LogText();
  EXPECT_TRUE(R.Logged("Stream mapping:"));
  EXPECT_TRUE(R.Logged("  Stream #0.0 -> #0.0"));
  EXPECT_TRUE(R.Logged("  Stream #0.1 -> #0.1"));
}

INSTANTIATE_TEST_SUITE_P(Containers, RunStreamCopyTest, ::testing::Values("avi", "mkv", "mp4"));

class RunCopyOptionsTest : public RunTest {};

TEST_F(RunCopyOptionsTest, CopyStartsAtTheFirstKeyFrame) {
  // A copy of the clip without its first three pictures: the file starts
  // with pictures that depend on a key frame it no longer has.
  const std::string Cut = OutPath("cut.avi");
  ASSERT_EQ(CutVideoStart(Clip(), Cut, 3), "");
  const TProbedFile In = ProbeFile(Cut);
  ASSERT_EQ(In.Error, "");
  const TProbedStream& InV = *In.First(AVMEDIA_TYPE_VIDEO);
  ASSERT_GT(InV.KeyPackets, 0);
  // Packets of the cut file before its first key packet.
  int Leading = 0;
  {
    AVFormatContext* Raw = nullptr;
    ASSERT_GE(ff::avformat_open_input(&Raw, Cut.c_str(), nullptr, nullptr), 0);
    InputFormatPtr File(Raw);
    PacketPtr Packet(ff::av_packet_alloc());
    while (ff::av_read_frame(File.get(), Packet.get()) >= 0) {
      const bool Video = File->streams[Packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
      const bool Key = Packet->flags & AV_PKT_FLAG_KEY;
      ff::av_packet_unref(Packet.get());
      if (!Video) continue;
      if (Key) break;
      ++Leading;
    }
  }
  ASSERT_GT(Leading, 0) << "the cut file must start without a key frame";

  const std::string Output = OutPath("from-key.mkv");
  TRunRecord R;
  RunConversion(Req({}, Cut, CopyBoth(), Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_TRUE(R.Finished) << R.LogText();
  const TProbedFile Out = ProbeFile(Output);
  ASSERT_EQ(Out.Error, "");
  const TProbedStream& OutV = *Out.First(AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(OutV.Packets, InV.Packets - Leading);
  // Every picture of the output decodes.
  const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
  ASSERT_EQ(Dst.Error, "");
  EXPECT_EQ(static_cast<int>(Dst.Frames.size()), InV.Packets - Leading);
}

TEST_F(RunCopyOptionsTest, RecordingTimeEndsTheRunEarly) {
  const std::string Output = OutPath("short.mkv");
  TRunRecord R;
  TOptionList Options = CopyBoth();
  Options.push_back({"t", "1"});
  RunConversion(Req({}, Clip(), Options, Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_TRUE(R.Finished);
  EXPECT_EQ(R.Terminations, 1);
  const TProbedFile Out = ProbeFile(Output);
  ASSERT_EQ(Out.Error, "");
  const TProbedStream& V = *Out.First(AVMEDIA_TYPE_VIDEO);
  EXPECT_NEAR(V.End - V.Start, 1.0, 0.1);
  const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
  ASSERT_EQ(Dst.Error, "");
  EXPECT_NEAR(static_cast<double>(Dst.Frames.size()), 25.0, 2.0);
}

TEST_F(RunCopyOptionsTest, FileSizeLimitEndsTheRunEarly) {
  const int64_t Full = FileSize(Clip());
  ASSERT_GT(Full, 60000);
  const std::string Output = OutPath("limited.mkv");
  TRunRecord R;
  TOptionList Options = CopyBoth();
  const int64_t Limit = Full / 3;
  Options.push_back({"fs", std::to_string(Limit)});
  RunConversion(Req({}, Clip(), Options, Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_TRUE(R.Finished);
  const TProbedFile Out = ProbeFile(Output);
  ASSERT_EQ(Out.Error, "");
  const TProbedFile In = ProbeFile(Clip());
  const int OutFrames = Out.First(AVMEDIA_TYPE_VIDEO)->Packets;
  EXPECT_GT(OutFrames, 0);
  EXPECT_LT(OutFrames, In.First(AVMEDIA_TYPE_VIDEO)->Packets);
  // The limit is checked before each packet: the file ends one packet and a
  // trailer past it at most.
  EXPECT_LT(FileSize(Output), Limit + 40000);
  const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
  ASSERT_EQ(Dst.Error, "");
  EXPECT_EQ(static_cast<int>(Dst.Frames.size()), OutFrames);
}

TEST_F(RunCopyOptionsTest, MapSelectsOneStreamOfTwo) {
  // An output with an audio stream only, fed by the input's stream 1.
  const std::string Output = OutPath("sound.mkv");
  TRunRecord R;
  RunConversion(Req({}, Clip(), {{"vn", ""}, {"acodec", "copy"}, {"map", "0:1"}}, Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_TRUE(R.Finished) << R.LogText();
  const TProbedFile Out = ProbeFile(Output);
  ASSERT_EQ(Out.Error, "");
  EXPECT_EQ(Out.CountOf(AVMEDIA_TYPE_VIDEO), 0);
  ASSERT_EQ(Out.CountOf(AVMEDIA_TYPE_AUDIO), 1);
  EXPECT_EQ(Out.First(AVMEDIA_TYPE_AUDIO)->Packets, ProbeFile(Clip()).First(AVMEDIA_TYPE_AUDIO)->Packets);
  EXPECT_TRUE(R.Logged("  Stream #0.1 -> #0.0")) << R.LogText();
}

TEST_F(RunCopyOptionsTest, StartTimeSeeksTheInput) {
  const std::string Output = OutPath("later.mkv");
  TRunRecord R;
  RunConversion(Req({{"ss", "1"}}, Clip(), CopyBoth(), Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_TRUE(R.Finished) << R.LogText();
  const TProbedFile Out = ProbeFile(Output);
  ASSERT_EQ(Out.Error, "");
  const TProbedStream& V = *Out.First(AVMEDIA_TYPE_VIDEO);
  // Copying starts at the key frame at or before 1 s: at most one group of
  // pictures (12 frames here) more than the remaining second.
  EXPECT_GE(V.Packets, 25);
  EXPECT_LE(V.Packets, 25 + 12);
  const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
  ASSERT_EQ(Dst.Error, "");
  // The flash at 1.5 s of the source is there; the one at 0.5 s is not.
  EXPECT_EQ(Dst.FlashTimesUs.size(), 1u);
}

TEST_F(RunCopyOptionsTest, ReencodedStartTimeCutsExactly) {
  const std::string Output = OutPath("later-reencoded.mkv");
  TRunRecord R;
  RunConversion(Req({{"ss", "1"}}, Clip(), {{"vcodec", "mpeg4"}, {"an", ""}}, Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_TRUE(R.Finished) << R.LogText();
  const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
  const mediagen::DecodedMedia Src = mediagen::Decode(Clip());
  ASSERT_EQ(Dst.Error, "");
  ASSERT_EQ(Src.FlashTimesUs.size(), 2u);
  EXPECT_NEAR(static_cast<double>(Dst.Frames.size()), 25.0, 1.0);
  ASSERT_EQ(Dst.FlashTimesUs.size(), 1u);
  // The second mark, one second earlier, within one frame (the picture
  // 40 ms before the start point is kept as the first one: the frame-rate
  // rule drops only pictures more than 1.1 frames early).
  EXPECT_NEAR(Dst.FlashTimesUs[0], Src.FlashTimesUs[1] - 1000000, 40001);
}

}  // namespace
}  // namespace vexav::test

namespace vexav::test {
namespace {

// Rarer branches, lightly: bitstream filters, rate emulation, the logged
// status line, the video statistics file, the packet dump.
class RunBranchesTest : public RunTest {};

TEST_F(RunBranchesTest, BitstreamFilterChainPassesPackets) {
  const std::string Output = OutPath("filtered.mkv");
  TRunRecord R;
  RunConversion(Req({}, Clip(), {{"vbsf", "dump_extra"}, {"vcodec", "copy"}, {"absf", "null"}, {"acodec", "copy"}},
                    Output),
                R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_TRUE(R.Finished) << R.ErrorMessage;
  const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
  ASSERT_EQ(Dst.Error, "");
  EXPECT_EQ(Dst.Frames.size(), 50u);
  EXPECT_EQ(Dst.AudioSamples, mediagen::Decode(Clip()).AudioSamples);
}

TEST_F(RunBranchesTest, RateEmulationStillConvertsEverything) {
  mediagen::MediaRequest S = ClipRequest();
  S.DurationSeconds = 0.5;
  const std::string Input = Media("short.avi", S);
  const std::string Output = OutPath("paced.mkv");
  TRunRecord R;
  RunConversion(Req({{"re", ""}}, Input, CopyBoth(), Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_TRUE(R.Finished) << R.ErrorMessage;
  EXPECT_EQ(ProbeFile(Output).First(AVMEDIA_TYPE_VIDEO)->Packets, ProbeFile(Input).First(AVMEDIA_TYPE_VIDEO)->Packets);
}

TEST_F(RunBranchesTest, WithoutAProgressHandlerTheStatusLineIsLogged) {
  const std::string Output = OutPath("logged.mkv");
  TRunRecord R;
  TRunRequest Request = Req({}, Clip(), {{"vcodec", "mpeg4"}, {"acodec", "copy"}}, Output);
  Request.NoProgressHandler = true;
  Request.ProgressIntervalUs = 0;
  RunConversion(Request, R);
  ASSERT_TRUE(R.Finished) << R.ErrorMessage;
  bool Status = false, Final = false;
  for (const TLogRecord& Line : R.Log) {
    if (Line.Level == 1 && Line.Text.rfind("frame=", 0) == 0 && Line.Text.find("size=") != std::string::npos)
      Status = true;
    if (Line.Level == 1 && Line.Text.rfind("frame=", 0) == 0 && Line.Text.find(" L") != std::string::npos)
      Final = true;
  }
  EXPECT_TRUE(Status) << R.LogText();
  EXPECT_TRUE(Final) << R.LogText();
  EXPECT_TRUE(R.Progress.empty());
}

TEST_F(RunBranchesTest, VideoStatisticsFileGetsALinePerFrame) {
  const std::string Output = OutPath("stats.mkv");
  const std::string Stats = OutPath("vstats.txt");
  TRunRecord R;
  RunConversion(Req({}, Clip(), {{"vcodec", "mpeg4"}, {"an", ""}, {"vstats_file", Stats}}, Output), R);
  ASSERT_TRUE(R.Finished) << R.ErrorMessage;
  std::FILE* F = std::fopen(Stats.c_str(), "r");
  ASSERT_NE(F, nullptr);
  int Lines = 0;
  char Buffer[512];
  while (std::fgets(Buffer, sizeof Buffer, F)) Lines += std::string(Buffer).rfind("frame= ", 0) == 0;
  std::fclose(F);
  EXPECT_EQ(Lines, 50);
}

TEST_F(RunBranchesTest, PacketDumpDoesNotDisturbTheRun) {
  const std::string Output = OutPath("dumped.mkv");
  TRunRecord R;
  RunConversion(Req({}, Clip(), With2(CopyBoth(), {{"dump", ""}, {"t", "0.2"}}), Output), R);
  ASSERT_TRUE(R.Finished) << R.ErrorMessage;
  EXPECT_EQ(ProbeFile(Output).Error, "");
}

}  // namespace
}  // namespace vexav::test
