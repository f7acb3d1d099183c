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
#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "binding/Owners.h"
#include "cli/segments/PictureTimes.h"
#include "cli/segments/SegmentPlan.h"

namespace vexav::cli {
namespace {

namespace fs = std::filesystem;

// The preset's output rate, 29.97 frames/s: one frame in microseconds.
constexpr double FrameUs = 100.0 * 1e6 / 2997.0;

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

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

// The plan the program makes for Source (from the duration its container
// states).
segments::SegmentPlan PlanFor(const std::string& Source, int Count) {
  std::string Error;
  std::vector<int64_t> Times;
  EXPECT_TRUE(segments::ReadPictureTimes(Source, -1, Times, Error)) << Error;
  return segments::MakeSegmentPlan({{"r", "29.97"}}, mediagen::StatedDurationUs(Source), Count,
                                   false, Times, Error);
}

bool WorkFolderLeft(const std::string& Dir) {
  for (const auto& Entry : fs::directory_iterator(Dir))
    if (Entry.path().filename().string().rfind(".vexav-seg-", 0) == 0) return true;
  return false;
}

class Segments : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    char Template[] = "/tmp/vexav-cli-segments-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Dir = Template;
  }
  void TearDown() override { fs::remove_all(Dir); }

  // A clip at the output's own rate, so that every output picture is one
  // source picture, with a flash and a click every second.
  std::string MakeClip(const std::string& Name, double Seconds, int Width = 160, int Height = 120) {
    mediagen::MediaSpec Request;
    Request.Width = Width;
    Request.Height = Height;
    Request.FrameRateNum = 30000;
    Request.FrameRateDen = 1001;
    Request.DurationSeconds = Seconds;
    Request.MarkSeconds.clear();
    for (int S = 1; S < Seconds; ++S) Request.MarkSeconds.push_back(S);
    const std::string Path = Dir + "/" + Name;
    EXPECT_EQ(mediagen::Generate(Path, Request), "");
    return Path;
  }

  // Runs the program with Args (plus -d OutDir), standard output to a file.
  int Run(const std::vector<std::string>& Args, const std::string& OutDir) {
    fs::create_directories(OutDir);
    const pid_t Child = ::fork();
    if (Child == 0) {
      ::dup2(::open((OutDir + "/.stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      ::dup2(::open((OutDir + "/.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      std::vector<std::string> All{VEXAV_CONVERT_PROGRAM, "-d", OutDir};
      All.insert(All.end(), Args.begin(), Args.end());
      std::vector<char*> Argv;
      for (std::string& A : All) Argv.push_back(A.data());
      Argv.push_back(nullptr);
      ::execv(Argv[0], Argv.data());
      ::_exit(127);
    }
    int Status = 0;
    ::waitpid(Child, &Status, 0);
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }

  std::string Dir;
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

TEST_F(Segments, SameBytesWhateverRanAtOnce) {
  const std::string Source = MakeClip("clip.avi", 5.0);
  ASSERT_EQ(Run({"--segments", "2", "--jobs", "1", Source}, Dir + "/one"), 0);
  ASSERT_EQ(Run({"--segments", "2", "--jobs", "3", Source}, Dir + "/three"), 0);
  const std::string One = ReadFile(Dir + "/one/clip (MPEG-4 Video).mp4");
  ASSERT_FALSE(One.empty());
  EXPECT_TRUE(One == ReadFile(Dir + "/three/clip (MPEG-4 Video).mp4"));
}

// Runs the program with --json on Source into Out, one segment at a time
// (the sound first, then the segments in order), and calls Act with the
// child's pid once a progress line says Percent or more. Returns the exit
// status, or -1 when Act was never called.
int RunAndActAt(const std::string& Source, const std::string& Out, int Percent,
                const std::function<void(pid_t)>& Act) {
  fs::create_directories(Out);
  int Pipe[2];
  if (::pipe(Pipe) != 0) return -1;
  const pid_t Child = ::fork();
  if (Child == 0) {
    ::dup2(Pipe[1], 1);
    ::dup2(::open((Out + "/.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    ::execl(VEXAV_CONVERT_PROGRAM, VEXAV_CONVERT_PROGRAM, "-d", Out.c_str(), "--segments", "3",
            "--jobs", "1", "--json", Source.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(Pipe[1]);
  FILE* Lines = ::fdopen(Pipe[0], "r");
  char Line[4096];
  bool Acted = false;
  while (std::fgets(Line, sizeof Line, Lines)) {
    const char* At = std::strstr(Line, "\"percent\":");
    if (!Acted && At && std::atoi(At + 10) >= Percent) {
      Act(Child);
      Acted = true;
    }
  }
  std::fclose(Lines);
  int Status = 0;
  ::waitpid(Child, &Status, 0);
  return Acted && WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

// The source loses its end while the segments run (a recording still being
// copied, a drive pulled): a segment comes out short, and the file fails
// with that segment named instead of being joined with a hole.
TEST_F(Segments, SourceCutShortFailsTheFile) {
  const std::string Source = MakeClip("cut.avi", 9.0, 640, 480);
  const std::string Out = Dir + "/out";
  EXPECT_EQ(RunAndActAt(Source, Out, 0,
                        [&](pid_t) { fs::resize_file(Source, fs::file_size(Source) / 10); }),
            1);
  const std::string Err = ReadFile(Out + "/.stderr");
  EXPECT_NE(Err.find("cut.avi: segment "), std::string::npos) << Err;
  EXPECT_FALSE(fs::exists(Out + "/cut (MPEG-4 Video).mp4"));
  EXPECT_FALSE(WorkFolderLeft(Out));
}

// Ctrl-C once the first segment is done: the part kept is that segment,
// exactly, with its sound, under the partial name.
TEST_F(Segments, StopKeepsTheLeadingSegments) {
  const std::string Source = MakeClip("long.avi", 9.0, 640, 480);
  const std::string Out = Dir + "/out";
  // Past the sound's and the first segment's share, the second is running.
  EXPECT_EQ(RunAndActAt(Source, Out, 42, [](pid_t Child) { ::kill(Child, SIGINT); }), 130)
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

std::vector<int64_t> Times25(int Seconds) {
  std::vector<int64_t> Times;
  for (int64_t N = 0; N < Seconds * 25; ++N) Times.push_back(N * 40000);
  return Times;
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
}

}  // namespace
}  // namespace vexav::cli
