// vexav-mediagen: writes one test file from the command line.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "MediaGenerator.h"
#include "PictureCompare.h"
#include "PictureCounter.h"
#include "binding/FFmpegLibs.h"

namespace {

using vexav::mediagen::AudioCodec;
using vexav::mediagen::MediaRequest;
using vexav::mediagen::VideoCodec;

const char Usage[] =
    "usage: vexav-mediagen [--size WxH] [--rate N[/D]] [--duration S] [--video "
    "mpeg4|mjpeg|h264|raw|none]\n"
    "                      [--audio mp3|pcm|none] [--sample-rate HZ] [--channels N] "
    "[--audio-streams N]\n"
    "                      [--tone HZ] [--marks S[,S...]] [--b-frames N] [--pix-fmt NAME] [--pattern "
    "moving|levels|textured|pan|handheld]\n"
    "                      [--range-flag full|none] [--drop-every N] [--counter] OUTPUT\n"
    "OUTPUT ends in .avi or .mkv, or .mp3/.wav for sound only (with --video none).\n"
    "--range-flag full stores MPEG-4 pictures in full range, flagged by the container (.mkv).\n"
    "--pix-fmt is the format raw video or MJPEG (yuvj420p, yuvj422p, yuvj444p) stores.\n"
    "--drop-every N leaves every N-th picture's slot empty (a source of variable rate).\n"
    "--counter draws each picture's index across its top.\n"
    "--pattern pan and handheld look like camera footage (a textured landscape with grain,\n"
    "panned across, or shaken with a zoom and a subject walking by).\n"
    "       vexav-mediagen --psnr FILE REFERENCE\n"
    "compares the pictures of two files in order: one line 'INDEX PSNR SSIM' (luma, dB) per\n"
    "pair, then 'frames N M mean DB ssim S' (the means over the pairs).\n"
    "       vexav-mediagen --counters FILE\n"
    "prints the index each picture of a file made with --counter shows, one a line\n"
    "(-1 where it cannot be read).\n";

template <typename T>
bool ParseNumber(std::string_view Text, T& Value) {
  const char* End = Text.data() + Text.size();
  auto [Ptr, Ec] = std::from_chars(Text.data(), End, Value);
  return Ec == std::errc() && Ptr == End;
}

bool ParsePair(std::string_view Text, char Separator, int& A, int& B, bool SecondOptional) {
  const size_t At = Text.find(Separator);
  if (At == std::string_view::npos) {
    if (!SecondOptional) return false;
    B = 1;
    return ParseNumber(Text, A);
  }
  return ParseNumber(Text.substr(0, At), A) && ParseNumber(Text.substr(At + 1), B);
}

bool ParseMarks(std::string_view Text, std::vector<double>& Marks) {
  Marks.clear();
  if (Text.empty() || Text == "none") return true;
  for (;;) {
    const size_t At = Text.find(',');
    double Mark = 0;
    if (!ParseNumber(Text.substr(0, At), Mark)) return false;
    Marks.push_back(Mark);
    if (At == std::string_view::npos) return true;
    Text.remove_prefix(At + 1);
  }
}

// Applies one option; returns false when its value is not valid.
bool Apply(std::string_view Name, std::string_view Value, MediaRequest& Request) {
  if (Name == "--size") return ParsePair(Value, 'x', Request.Width, Request.Height, false);
  if (Name == "--rate")
    return ParsePair(Value, '/', Request.FrameRateNum, Request.FrameRateDen, true);
  if (Name == "--duration") return ParseNumber(Value, Request.DurationSeconds);
  if (Name == "--sample-rate") return ParseNumber(Value, Request.SampleRate);
  if (Name == "--channels") return ParseNumber(Value, Request.Channels);
  if (Name == "--audio-streams") return ParseNumber(Value, Request.AudioStreams);
  if (Name == "--tone") return ParseNumber(Value, Request.ToneHz);
  if (Name == "--b-frames") return ParseNumber(Value, Request.BFrames);
  if (Name == "--drop-every") return ParseNumber(Value, Request.DropEvery);
  if (Name == "--marks") return ParseMarks(Value, Request.MarkSeconds);
  if (Name == "--pix-fmt") {
    Request.RawPixelFormat = Request.MjpegPixelFormat = std::string(Value);
    return !Value.empty();
  }
  if (Name == "--range-flag") {
    if (Value != "full" && Value != "none") return false;
    Request.FullRangeFlag = Value == "full";
    return true;
  }
  if (Name == "--pattern") {
    if (Value == "moving") Request.Pattern = vexav::mediagen::PicturePattern::Moving;
    else if (Value == "levels") Request.Pattern = vexav::mediagen::PicturePattern::Levels;
    else if (Value == "textured") Request.Pattern = vexav::mediagen::PicturePattern::Textured;
    else if (Value == "pan") Request.Pattern = vexav::mediagen::PicturePattern::Pan;
    else if (Value == "handheld") Request.Pattern = vexav::mediagen::PicturePattern::Handheld;
    else return false;
    return true;
  }
  if (Name == "--video") {
    if (Value == "mpeg4")
      Request.Video = VideoCodec::Mpeg4;
    else if (Value == "mjpeg")
      Request.Video = VideoCodec::Mjpeg;
    else if (Value == "h264")
      Request.Video = VideoCodec::H264;
    else if (Value == "raw")
      Request.Video = VideoCodec::Raw;
    else if (Value == "none")
      Request.Video = VideoCodec::None;
    else
      return false;
    return true;
  }
  if (Name == "--audio") {
    if (Value == "mp3")
      Request.Audio = AudioCodec::Mp3;
    else if (Value == "pcm")
      Request.Audio = AudioCodec::Pcm;
    else if (Value == "none")
      Request.Audio = AudioCodec::None;
    else
      return false;
    return true;
  }
  return false;
}

bool KnownOption(std::string_view Name) {
  for (const char* Known :
       {"--size", "--rate", "--duration", "--sample-rate", "--channels", "--audio-streams",
        "--tone", "--marks", "--b-frames", "--pix-fmt", "--pattern", "--range-flag", "--video", "--audio",
        "--drop-every"})
    if (Name == Known) return true;
  return false;
}

bool LoadLibraries() {
  if (vexav::LoadFFmpegLibs("", true)) return true;
  std::fprintf(stderr, "vexav-mediagen: cannot load the media libraries: %s\n",
               vexav::LastLoadError().c_str());
  return false;
}

int ComparePictures(const char* File, const char* Reference) {
  if (!LoadLibraries()) return 1;
  const vexav::mediagen::PictureComparison Result = vexav::mediagen::ComparePictures(File, Reference);
  if (!Result.Error.empty()) {
    std::fprintf(stderr, "vexav-mediagen: %s\n", Result.Error.c_str());
    return 1;
  }
  for (size_t I = 0; I < Result.Psnr.size(); ++I)
    std::printf("%zu %.3f %.5f\n", I, Result.Psnr[I], Result.Ssim[I]);
  std::printf("frames %d %d mean %.3f ssim %.5f\n", Result.FramesA, Result.FramesB, Result.MeanPsnr(),
              Result.MeanSsim());
  return 0;
}

int PrintCounters(const char* File) {
  if (!LoadLibraries()) return 1;
  std::string Error;
  const std::vector<int64_t> Indices = vexav::mediagen::ReadCounters(File, Error);
  if (!Error.empty()) {
    std::fprintf(stderr, "vexav-mediagen: %s\n", Error.c_str());
    return 1;
  }
  for (const int64_t Index : Indices) std::printf("%lld\n", static_cast<long long>(Index));
  return 0;
}

}  // namespace

int main(int Argc, char** Argv) {
  if (Argc == 4 && std::string_view(Argv[1]) == "--psnr") return ComparePictures(Argv[2], Argv[3]);
  if (Argc == 3 && std::string_view(Argv[1]) == "--counters") return PrintCounters(Argv[2]);
  MediaRequest Request;
  std::string Output;
  for (int I = 1; I < Argc; ++I) {
    const std::string_view Arg = Argv[I];
    if (Arg == "-h" || Arg == "--help") {
      std::fputs(Usage, stdout);
      return 0;
    }
    if (Arg == "--counter") {
      Request.Counter = true;
      continue;
    }
    if (Arg.starts_with("--")) {
      if (!KnownOption(Arg)) {
        std::fprintf(stderr, "vexav-mediagen: unknown option '%s'\n%s", Argv[I], Usage);
        return 2;
      }
      if (I + 1 >= Argc) {
        std::fprintf(stderr, "vexav-mediagen: option '%s' needs a value\n", Argv[I]);
        return 2;
      }
      if (!Apply(Arg, Argv[I + 1], Request)) {
        std::fprintf(stderr, "vexav-mediagen: bad value '%s' for %s\n", Argv[I + 1], Argv[I]);
        return 2;
      }
      ++I;
    } else if (Output.empty()) {
      Output = Arg;
    } else {
      std::fprintf(stderr, "vexav-mediagen: more than one output file given ('%s')\n", Argv[I]);
      return 2;
    }
  }
  if (Output.empty()) {
    std::fprintf(stderr, "vexav-mediagen: no output file given\n%s", Usage);
    return 2;
  }
  if (!LoadLibraries()) return 1;
  const std::string Problem = vexav::mediagen::Generate(Output, Request);
  if (!Problem.empty()) {
    std::fprintf(stderr, "vexav-mediagen: %s: %s\n", Output.c_str(), Problem.c_str());
    return 1;
  }
  return 0;
}
