// vexav-convert's conversion modes run as a child process through the real
// media libraries on small generated media; outputs are checked by decoding
// them.
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
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "binding/FFmpegLibs.h"

namespace vexav::cli {
namespace {

namespace fs = std::filesystem;
using mediagen::AudioCodec;
using mediagen::DecodedMedia;
using mediagen::MediaRequest;
using mediagen::VideoCodec;

// ---------------------------------------------------------------------------
// Test media: made once for all tests.

struct Media {
  std::string Folder;
  std::string Clip;   // MPEG-4 Part 2 + MP3, 320x240, 25 fps, 2 s
  std::string Other;  // MJPEG + PCM, 176x144, 30000/1001, 1 s
  std::string Song;   // MP3 only, 1 s
  std::string Text;   // text named .avi
  std::string Long;   // MPEG-4 Part 2 + MP3, 320x240, 25 fps, 4 s
};

// A clip whose conversion takes a few seconds, for stopping it in default
// mode (which has no rate emulation): made by the test that needs it. Its
// texture costs the encoder what footage does, so that even a fast machine
// reports progress (every 200 ms) well before the end.
constexpr double SlowClipSeconds = 12.0;
std::string MakeSlowClip(const std::string& Path) {
  MediaRequest Slow;
  Slow.Width = 640;
  Slow.Height = 480;
  Slow.DurationSeconds = SlowClipSeconds;
  Slow.Pattern = mediagen::PicturePattern::Textured;
  Slow.MarkSeconds = {};
  EXPECT_EQ(mediagen::Generate(Path, Slow), "") << Path;
  return Path;
}

class RunEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    char Template[] = "/tmp/vexav-cli-run-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    M.Folder = Template;
    fs::create_directories(M.Folder + "/src");

    M.Clip = Make("src/clip.avi", MediaRequest());

    MediaRequest Other;
    Other.Width = 176;
    Other.Height = 144;
    Other.FrameRateNum = 30000;
    Other.FrameRateDen = 1001;
    Other.DurationSeconds = 1.0;
    Other.Video = VideoCodec::Mjpeg;
    Other.Audio = AudioCodec::Pcm;
    Other.SampleRate = 22050;
    Other.Channels = 1;
    Other.MarkSeconds = {0.5};
    M.Other = Make("src/other.avi", Other);

    MediaRequest Song;
    Song.Video = VideoCodec::None;
    Song.DurationSeconds = 1.0;
    Song.MarkSeconds = {0.5};
    M.Song = Make("src/song.mp3", Song);

    M.Text = M.Folder + "/src/notes.avi";
    std::ofstream(M.Text) << "Only some text.\n";

    MediaRequest Long;
    Long.DurationSeconds = 4.0;
    Long.MarkSeconds = {};
    M.Long = Make("src/long.avi", Long);
  }

  void TearDown() override {
    std::error_code Ignored;
    if (!M.Folder.empty()) fs::remove_all(M.Folder, Ignored);
  }

  static const Media& Files() { return M; }

 private:
  std::string Make(const std::string& Name, const MediaRequest& Wanted) {
    std::string Path = M.Folder + "/" + Name;
    EXPECT_EQ(mediagen::Generate(Path, Wanted), "") << Path;
    return Path;
  }

  static Media M;
};

Media RunEnvironment::M;

[[maybe_unused]] const auto* const Environment =
    ::testing::AddGlobalTestEnvironment(new RunEnvironment);

const Media& Files() {
  return RunEnvironment::Files();
}

// ---------------------------------------------------------------------------
// Running the program.

std::vector<std::string> SplitLines(const std::string& Text) {
  std::vector<std::string> Lines;
  std::istringstream In(Text);
  std::string Line;
  while (std::getline(In, Line)) Lines.push_back(Line);
  return Lines;
}

std::string ReadAll(int Fd) {
  std::string Text;
  char Buffer[4096];
  ssize_t Got;
  while ((Got = ::read(Fd, Buffer, sizeof Buffer)) > 0) Text.append(Buffer, Got);
  return Text;
}

struct RunResult {
  int Status = -1;           // exit status, or -1 when the program did not exit
  bool Interrupted = false;  // SIGINT was sent
  std::vector<std::string> OutLines;
  std::vector<std::string> ErrLines;
  std::string Err;
};

// Whether a line of standard error is a progress line short of the end.
bool IsEarlyProgress(const std::string& Line) {
  return !Line.empty() && Line.back() == '%' && Line.find("100%") == std::string::npos;
}

// Runs the program in Folder with Args. With Interrupt, SIGINT is sent after
// the first progress line short of 100%.
RunResult RunProgram(const std::vector<std::string>& Args, const std::string& Folder,
                     bool Interrupt = false) {
  RunResult Result;
  int OutPipe[2], ErrPipe[2];
  if (::pipe(OutPipe) != 0 || ::pipe(ErrPipe) != 0) return Result;
  const pid_t Child = ::fork();
  if (Child == 0) {
    ::dup2(OutPipe[1], 1);
    ::dup2(ErrPipe[1], 2);
    ::close(OutPipe[0]);
    ::close(ErrPipe[0]);
    ::close(OutPipe[1]);
    ::close(ErrPipe[1]);
    if (::chdir(Folder.c_str()) != 0) ::_exit(127);
    std::vector<char*> Argv;
    Argv.push_back(const_cast<char*>(VEXAV_CONVERT_PROGRAM));
    for (const std::string& Arg : Args) Argv.push_back(const_cast<char*>(Arg.c_str()));
    Argv.push_back(nullptr);
    ::execv(VEXAV_CONVERT_PROGRAM, Argv.data());
    ::_exit(127);
  }
  ::close(OutPipe[1]);
  ::close(ErrPipe[1]);
  // Standard error first (line by line, to send the interrupt), then the
  // rest of standard output; the program writes little to either.
  bool Sent = false;
  char C;
  std::string Line;
  while (::read(ErrPipe[0], &C, 1) == 1) {
    Result.Err.push_back(C);
    if (C != '\n') {
      Line.push_back(C);
      continue;
    }
    if (Interrupt && !Sent && IsEarlyProgress(Line)) {
      ::kill(Child, SIGINT);
      Sent = true;
    }
    Line.clear();
  }
  const std::string Out = ReadAll(OutPipe[0]);
  ::close(OutPipe[0]);
  ::close(ErrPipe[0]);
  int Status = 0;
  ::waitpid(Child, &Status, 0);
  Result.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  Result.Interrupted = Sent;
  Result.OutLines = SplitLines(Out);
  Result.ErrLines = SplitLines(Result.Err);
  return Result;
}

// The lines of standard error that are not progress lines ("name: 40%").
std::vector<std::string> Messages(const RunResult& R) {
  std::vector<std::string> Result;
  for (const std::string& Line : R.ErrLines)
    if (Line.empty() || Line.back() != '%') Result.push_back(Line);
  return Result;
}

class ConvertRun : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = Files().Folder + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(Dir);
  }
  std::string Dir;
};

// The preset as explicit options.
std::vector<std::string> PresetArgs(const std::string& Output, const std::string& Size) {
  std::vector<std::string> Args{"--output", Output};
  for (const char* Option : {"vcodec=libx264", "acodec=libfaac", "r=29.97", "ac=2", "ar=44100",
                             "ab=64000", "vb=1500000", "vsync=-1", "async=0"}) {
    Args.push_back("--option");
    Args.push_back(Option);
  }
  Args.push_back("--option");
  Args.push_back("s=" + Size);
  return Args;
}

void ExpectH264Aac(const DecodedMedia& D, int Width, int Height, double Seconds) {
  ASSERT_EQ(D.Error, "");
  EXPECT_EQ(D.VideoStreams, 1);
  EXPECT_EQ(D.AudioStreams, 1);
  EXPECT_EQ(D.VideoCodecName, "h264");
  EXPECT_EQ(D.AudioCodecName, "aac");
  ASSERT_FALSE(D.Frames.empty());
  EXPECT_EQ(D.Frames[0].Width, Width);
  EXPECT_EQ(D.Frames[0].Height, Height);
  ASSERT_GT(D.FrameRateDen, 0);
  EXPECT_NEAR(static_cast<double>(D.FrameRateNum) / D.FrameRateDen, 29.97, 0.01);
  EXPECT_NEAR(static_cast<double>(D.Frames.size()), Seconds * 29.97, 2.0);
  EXPECT_EQ(D.AudioChannels, 2);
  EXPECT_EQ(D.AudioSampleRate, 44100);
  EXPECT_NEAR(static_cast<double>(D.AudioSamples) / 44100.0, Seconds, 0.05);
}

// ---------------------------------------------------------------------------
// Explicit mode.

TEST_F(ConvertRun, ExplicitStreamCopyIntoMatroska) {
  const std::string Output = Dir + "/copy.mkv";
  RunResult R = RunProgram(
      {"--output", Output, "--option", "vcodec=copy", "--option", "acodec=copy", Files().Clip},
      Dir);
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(Messages(R), std::vector<std::string>{}) << R.Err;
  EXPECT_TRUE(R.OutLines.empty());

  const DecodedMedia Source = mediagen::Decode(Files().Clip);
  const DecodedMedia Copy = mediagen::Decode(Output);
  ASSERT_EQ(Copy.Error, "");
  EXPECT_EQ(Copy.VideoCodecName, "mpeg4");
  EXPECT_EQ(Copy.AudioCodecName, "mp3");
  EXPECT_EQ(Copy.Frames.size(), Source.Frames.size());
  EXPECT_EQ(Copy.Frames[0].Width, 320);
  EXPECT_EQ(Copy.AudioChannels, 2);
  EXPECT_EQ(Copy.AudioSampleRate, 44100);
  EXPECT_NEAR(static_cast<double>(Copy.AudioSamples), static_cast<double>(Source.AudioSamples),
              1152.0);
  EXPECT_EQ(Copy.FlashTimesUs.size(), Source.FlashTimesUs.size());
}

TEST_F(ConvertRun, ExplicitPresetIntoMp4) {
  const std::string Output = Dir + "/preset.mp4";
  std::vector<std::string> Args = PresetArgs(Output, "320x240");
  Args.push_back(Files().Clip);
  RunResult R = RunProgram(Args, Dir);
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(Messages(R), std::vector<std::string>{}) << R.Err;
  ExpectH264Aac(mediagen::Decode(Output), 320, 240, 2.0);
}

TEST_F(ConvertRun, ExplicitInputOptionsComeBeforeTheFile) {
  // "ss" 1 before the input: the output holds the second half only.
  const std::string Output = Dir + "/half.mkv";
  RunResult R = RunProgram({"--input-option", "ss=1", "--output", Output, "--option",
                            "vcodec=mpeg4", "--option", "an", Files().Clip},
                           Dir);
  EXPECT_EQ(R.Status, 0) << R.Err;
  const DecodedMedia D = mediagen::Decode(Output);
  ASSERT_EQ(D.Error, "");
  EXPECT_EQ(D.AudioStreams, 0);
  EXPECT_EQ(D.VideoCodecName, "mpeg4");
  EXPECT_NEAR(static_cast<double>(D.Frames.size()), 25.0, 2.0);
}

TEST_F(ConvertRun, ExplicitExitStatuses) {
  // An input that is not media.
  RunResult R = RunProgram({"--output", Dir + "/a.mp4", Files().Text}, Dir);
  EXPECT_EQ(R.Status, 1);
  EXPECT_EQ(R.ErrLines, std::vector<std::string>{Files().Text + ": Unknown format"});
  EXPECT_FALSE(fs::exists(Dir + "/a.mp4"));

  // A file that does not exist.
  R = RunProgram({"--output", Dir + "/a.mp4", Dir + "/missing.avi"}, Dir);
  EXPECT_EQ(R.Status, 1);
  EXPECT_EQ(R.ErrLines, std::vector<std::string>{Dir + "/missing.avi: no such file or directory"});

  // A bad option value: the engine's message.
  R = RunProgram({"--output", Dir + "/a.mp4", "--option", "s=abc", Files().Clip}, Dir);
  EXPECT_EQ(R.Status, 1);
  EXPECT_EQ(R.ErrLines,
            std::vector<std::string>{"vexav-convert: --option s=abc: Incorrect frame size"});
  EXPECT_FALSE(fs::exists(Dir + "/a.mp4"));

  // An unknown codec name.
  R = RunProgram({"--output", Dir + "/a.mp4", "--option", "vcodec=nosuchcodec", Files().Clip}, Dir);
  EXPECT_NE(R.Status, 0);
  ASSERT_EQ(Messages(R).size(), 1u) << R.Err;
  EXPECT_NE(Messages(R)[0].find("nosuchcodec"), std::string::npos) << R.Err;
  EXPECT_FALSE(fs::exists(Dir + "/a.mp4"));

  // An option name the engine does not know passes silently.
  R = RunProgram({"--output", Dir + "/b.mkv", "--option", "frobnicate=1", "--option", "vcodec=copy",
                  "--option", "acodec=copy", Files().Clip},
                 Dir);
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(Messages(R), std::vector<std::string>{}) << R.Err;
  EXPECT_EQ(mediagen::Decode(Dir + "/b.mkv").Error, "");

  // Command-line mistakes.
  for (const std::vector<std::string>& Args : std::vector<std::vector<std::string>>{
           {"--output", "x.mp4"},
           {"--output", "x.mp4", Files().Clip, Files().Other},
           {"--option", "vn", Files().Clip},
           {"--same-folder", "--output-dir", "x", Files().Clip}}) {
    R = RunProgram(Args, Dir);
    EXPECT_EQ(R.Status, 2);
    EXPECT_TRUE(R.OutLines.empty());
  }
}

TEST_F(ConvertRun, ExplicitInterruptStopsWithAPlayableFile) {
  // Rate emulation makes the 4 s clip take 4 s; the first progress line
  // (10%) comes after about 0.4 s.
  const std::string Output = Dir + "/stopped.mp4";
  std::vector<std::string> Args{"--input-option", "re"};
  for (const std::string& A : PresetArgs(Output, "320x240")) Args.push_back(A);
  Args.push_back(Files().Long);
  RunResult R = RunProgram(Args, Dir, true);
  ASSERT_TRUE(R.Interrupted) << R.Err;
  EXPECT_EQ(R.Status, 130) << R.Err;
  EXPECT_NE(R.Err.find("stopping"), std::string::npos) << R.Err;
  // Kept under a name that says it is incomplete; the path printed is that,
  // and the stop line says how far the conversion came.
  const std::string Kept = Dir + "/stopped (partial).mp4";
  const std::size_t At = R.Err.find("long.avi: stopped before the end, at ");
  ASSERT_NE(At, std::string::npos) << R.Err;
  EXPECT_NE(R.Err.find("%; the part converted so far is kept as " + Kept, At), std::string::npos)
      << R.Err;
  EXPECT_EQ(R.OutLines, std::vector<std::string>{Kept});
  EXPECT_FALSE(fs::exists(Output));
  const DecodedMedia D = mediagen::Decode(Kept);
  ASSERT_EQ(D.Error, "");
  EXPECT_EQ(D.VideoCodecName, "h264");
  EXPECT_GT(D.Frames.size(), 0u);
  EXPECT_LT(D.Frames.size(), static_cast<std::size_t>(4 * 29.97));
}

// ---------------------------------------------------------------------------
// Default mode.

TEST_F(ConvertRun, DefaultModeConvertsWithThePreset) {
  const std::string Out = Dir + "/out";
  RunResult R = RunProgram({"--output-dir", Out, Files().Clip, Files().Other, Files().Song}, Dir);
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(Messages(R), std::vector<std::string>{}) << R.Err;
  EXPECT_EQ(R.OutLines, (std::vector<std::string>{Out + "/clip (MPEG-4 Video).mp4",
                                                  Out + "/other (MPEG-4 Video).mp4",
                                                  Out + "/song (MPEG-4 Video).mp4"}));
  // Progress: plain lines, each file reaching 100%.
  for (const char* Done : {"clip.avi: 100%", "other.avi: 100%", "song.mp3: 100%"})
    EXPECT_NE(R.Err.find(Done), std::string::npos) << R.Err;

  ExpectH264Aac(mediagen::Decode(Out + "/clip (MPEG-4 Video).mp4"), 320, 240, 2.0);
  ExpectH264Aac(mediagen::Decode(Out + "/other (MPEG-4 Video).mp4"), 176, 144, 1.0);
  const DecodedMedia Song = mediagen::Decode(Out + "/song (MPEG-4 Video).mp4");
  ASSERT_EQ(Song.Error, "");
  EXPECT_EQ(Song.VideoStreams, 0);
  EXPECT_EQ(Song.AudioStreams, 1);
  EXPECT_EQ(Song.AudioCodecName, "aac");
  EXPECT_EQ(Song.AudioChannels, 2);
  EXPECT_EQ(Song.AudioSampleRate, 44100);

  // Again: every name is taken now, so each output gets " [1]".
  R = RunProgram({"--output-dir", Out, Files().Clip, Files().Song}, Dir);
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.OutLines, (std::vector<std::string>{Out + "/clip (MPEG-4 Video [1]).mp4",
                                                  Out + "/song (MPEG-4 Video [1]).mp4"}));
  ExpectH264Aac(mediagen::Decode(Out + "/clip (MPEG-4 Video [1]).mp4"), 320, 240, 2.0);
}

TEST_F(ConvertRun, DefaultModePlainProgressLinesAtEachTenth) {
  // Standard error is a pipe: a plain line each time a further tenth is
  // reached, in order, up to 100% once.
  const RunResult R = RunProgram({"--output-dir", Dir, Files().Long}, Dir);
  EXPECT_EQ(R.Status, 0) << R.Err;
  std::vector<int> Tenths;
  for (const std::string& Line : R.ErrLines) {
    if (Line.empty() || Line.back() != '%') continue;
    ASSERT_EQ(Line.rfind("long.avi: ", 0), 0u) << Line;
    Tenths.push_back(std::stoi(Line.substr(10)));
  }
  ASSERT_FALSE(Tenths.empty()) << R.Err;
  EXPECT_EQ(Tenths.back(), 100) << R.Err;
  for (std::size_t I = 0; I < Tenths.size(); ++I) {
    EXPECT_EQ(Tenths[I] % 10, 0) << R.Err;
    EXPECT_GT(Tenths[I], I == 0 ? 0 : Tenths[I - 1]) << R.Err;
  }
  EXPECT_EQ(R.OutLines, std::vector<std::string>{Dir + "/long (MPEG-4 Video).mp4"});
  ExpectH264Aac(mediagen::Decode(Dir + "/long (MPEG-4 Video).mp4"), 320, 240, 4.0);
}

TEST_F(ConvertRun, DefaultModeGoesOnAfterAFailure) {
  // Outputs into the current directory by default.
  RunResult R = RunProgram({Files().Clip, Files().Text, Files().Song}, Dir);
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_EQ(Messages(R), std::vector<std::string>{Files().Text + ": Unknown format"});
  EXPECT_EQ(R.OutLines,
            (std::vector<std::string>{"clip (MPEG-4 Video).mp4", "song (MPEG-4 Video).mp4"}));
  EXPECT_TRUE(fs::exists(Dir + "/clip (MPEG-4 Video).mp4"));
  EXPECT_FALSE(fs::exists(Dir + "/notes (MPEG-4 Video).mp4"));
}

// A copy of Source that ends where its media data starts: the first
// kilobytes of a file, which hold its headers only.
std::string HeadersOnly(const std::string& Source, const std::string& Path) {
  std::ifstream In(Source, std::ios::binary);
  std::string Data{std::istreambuf_iterator<char>(In), {}};
  const std::size_t Movi = Data.find("movi");
  EXPECT_NE(Movi, std::string::npos);
  Data.resize(std::min(Data.size(), Movi + 4));
  std::ofstream(Path, std::ios::binary) << Data;
  return Path;
}

TEST_F(ConvertRun, DefaultModeSaysWhenAFileHoldsNoMediaData) {
  const std::string Cut = HeadersOnly(Files().Clip, Dir + "/cut.avi");
  MediaRequest Sound;
  Sound.Video = VideoCodec::None;
  Sound.Audio = AudioCodec::Pcm;
  Sound.DurationSeconds = 1.0;
  ASSERT_EQ(mediagen::Generate(Dir + "/sound-whole.avi", Sound), "");
  const std::string Silent = HeadersOnly(Dir + "/sound-whole.avi", Dir + "/sound.avi");
  RunResult R = RunProgram({"--output-dir", Dir + "/out", Cut, Silent, Files().Other}, Dir);
  EXPECT_EQ(R.Status, 1) << R.Err;
  const std::vector<std::string> Lines = Messages(R);
  for (const std::string& Expected :
       {Cut + ": The file holds no video data that can be decoded (input stream #0.0)",
        Silent + ": The file holds no audio or video data that can be decoded"})
    EXPECT_NE(std::find(Lines.begin(), Lines.end(), Expected), Lines.end()) << R.Err;
  EXPECT_EQ(R.Err.find("resampling"), std::string::npos) << R.Err;
  // Said once, as the file's failure, not again as a log line at the
  // default log level ("quiet").
  size_t Count = 0;
  for (size_t At = 0; (At = R.Err.find("holds no video data", At)) != std::string::npos; ++At)
    ++Count;
  EXPECT_EQ(Count, 1u) << R.Err;
  // Neither leaves a file; the next source still converts.
  EXPECT_EQ(R.OutLines, std::vector<std::string>{Dir + "/out/other (MPEG-4 Video).mp4"});
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir + "/out"), fs::directory_iterator()), 1);
}

TEST_F(ConvertRun, DefaultModeInterruptKeepsThePartAndSkipsTheRest) {
  const std::string Slow = MakeSlowClip(Dir + "/slow.avi");
  RunResult R = RunProgram({"--output-dir", Dir + "/out", Slow, Files().Clip}, Dir, true);
  ASSERT_TRUE(R.Interrupted) << "no progress line came before the end: " << R.Err;
  EXPECT_EQ(R.Status, 130) << R.Err;
  const std::string Output = Dir + "/out/slow (MPEG-4 Video) (partial).mp4";
  const std::vector<std::string> Lines = Messages(R);
  ASSERT_EQ(Lines.size(), 3u) << R.Err;
  EXPECT_EQ(Lines[0], "vexav-convert: stopping (Ctrl-C again quits at once)");
  // "slow.avi: stopped at N%; ..." with N the share converted.
  EXPECT_EQ(Lines[1].rfind(Slow + ": stopped at ", 0), 0u) << Lines[1];
  const std::string Tail = "%; the part converted so far is kept as " + Output;
  EXPECT_EQ(Lines[1].substr(Lines[1].size() - std::min(Lines[1].size(), Tail.size())), Tail);
  EXPECT_EQ(Lines[2], "vexav-convert: stopped; 1 file was not converted");
  EXPECT_EQ(R.OutLines, std::vector<std::string>{Output});
  EXPECT_FALSE(fs::exists(Dir + "/out/slow (MPEG-4 Video).mp4"));
  const DecodedMedia D = mediagen::Decode(Output);
  ASSERT_EQ(D.Error, "");
  EXPECT_EQ(D.VideoCodecName, "h264");
  EXPECT_GT(D.Frames.size(), 0u);
  EXPECT_LT(D.Frames.size(), static_cast<std::size_t>(SlowClipSeconds * 29.97));
  EXPECT_FALSE(fs::exists(Dir + "/out/clip (MPEG-4 Video).mp4"));
}

TEST_F(ConvertRun, DefaultModeSameFolderAndAnOddWidth) {
  const std::string Folder = Dir + "/beside";
  fs::create_directories(Folder);
  MediaRequest Odd;
  Odd.Width = 321;
  Odd.DurationSeconds = 1.0;
  Odd.Video = VideoCodec::Mjpeg;
  Odd.Audio = AudioCodec::Pcm;
  ASSERT_EQ(mediagen::Generate(Folder + "/odd.avi", Odd), "");
  // One pixel wide: no column can be left out, and the engine refuses it.
  MediaRequest Thin = Odd;
  Thin.Width = 1;
  ASSERT_EQ(mediagen::Generate(Folder + "/thin.avi", Thin), "");
  fs::copy_file(Files().Other, Folder + "/other.avi");

  RunResult R = RunProgram(
      {"--same-folder", Folder + "/odd.avi", Folder + "/thin.avi", Folder + "/other.avi"}, Dir);
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_EQ(Messages(R),
            (std::vector<std::string>{
                "[odd.avi] The picture is 321x240, an odd size the libx264 encoder does not take: "
                "its last column is left out, giving 320x240 with every other pixel as it was.",
                Folder + "/thin.avi: Frame size must be a multiple of 2"}));
  EXPECT_EQ(R.OutLines, (std::vector<std::string>{Folder + "/odd (MPEG-4 Video).mp4",
                                                  Folder + "/other (MPEG-4 Video).mp4"}));
  ExpectH264Aac(mediagen::Decode(Folder + "/odd (MPEG-4 Video).mp4"), 320, 240, 1.0);
  EXPECT_FALSE(fs::exists(Folder + "/thin (MPEG-4 Video).mp4"));
}

TEST_F(ConvertRun, DefaultModeTwoJobsConvertThreeFiles) {
  std::vector<std::string> Sources;
  for (const char* Name : {"one.avi", "two.avi", "three.avi"}) {
    MediaRequest Small;
    Small.DurationSeconds = 1.0;
    Small.MarkSeconds = {};
    Sources.push_back(Dir + "/" + Name);
    ASSERT_EQ(mediagen::Generate(Sources.back(), Small), "");
  }
  const std::string Out = Dir + "/out";
  RunResult R =
      RunProgram({"--jobs", "2", "--output-dir", Out, Sources[0], Sources[1], Sources[2]}, Dir);
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(Messages(R), std::vector<std::string>{}) << R.Err;
  EXPECT_EQ(R.OutLines, (std::vector<std::string>{Out + "/one (MPEG-4 Video).mp4",
                                                  Out + "/two (MPEG-4 Video).mp4",
                                                  Out + "/three (MPEG-4 Video).mp4"}));
  for (const char* Done : {"one.avi: 100%", "two.avi: 100%", "three.avi: 100%"})
    EXPECT_NE(R.Err.find(Done), std::string::npos) << R.Err;
  for (const std::string& Output : R.OutLines)
    ExpectH264Aac(mediagen::Decode(Output), 320, 240, 1.0);
}

TEST_F(ConvertRun, DefaultModeLogLevelInfoTagsTheLines) {
  RunResult R =
      RunProgram({"--log-level", "info", "--output-dir", Dir + "/out", Files().Other}, Dir);
  EXPECT_EQ(R.Status, 0) << R.Err;
  int Tagged = 0;
  for (const std::string& Line : R.ErrLines)
    if (Line.rfind("[other.avi] ", 0) == 0) ++Tagged;
  EXPECT_GT(Tagged, 0) << R.Err;

  // Quiet by default: no tagged line.
  R = RunProgram({"--output-dir", Dir + "/out", Files().Other}, Dir);
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(Messages(R), std::vector<std::string>{}) << R.Err;
}

}  // namespace
}  // namespace vexav::cli
