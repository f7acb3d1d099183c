// vexav-joint-check: the quality and size figures of a conversion in
// segments against one run over the whole source.
//
//   vexav-joint-check SOURCE WHOLE JOINED SEGMENTS
//
// SOURCE is a generated clip (any frame rate) with picture counters and
// flash and click marks, WHOLE its conversion in one run, JOINED its
// conversion in SEGMENTS segments. Prints, for both outputs: pictures, mean
// and lowest luma PSNR against the source pictures they show, the video bit
// rate, the largest distance between a flash and its click; whether JOINED
// shows the same source picture as WHOLE at every frame (and the first
// frame where not); for JOINED also the mean PSNR of the pictures within a
// second of each joint (flash frames left out). Exit 1 when the joined file
// breaks a rule: another picture anywhere, a joint more than 1 dB below the
// file's mean, a flash further from its click than a frame (or than in the
// whole run), or a video bit rate more than 5% off the whole's.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "MarkFinder.h"
#include "MediaGenerator.h"
#include "PictureCompare.h"
#include "PictureCounter.h"
#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "binding/Owners.h"
#include "batch/segments/PictureTimes.h"
#include "batch/segments/SegmentPlan.h"

namespace {

using namespace vexav;

constexpr double FrameUs = 100.0 * 1e6 / 2997.0;
// Around a joint: a second of pictures on either side. (A key frame lifts
// the few pictures after it by a few dB, in any run, so a narrower window
// would measure the key frame rather than the joint.)
constexpr int64_t Window = 30;

// The video stream's bytes over its duration, kbit/s.
double VideoKbps(const std::string& Path) {
  AVFormatContext* Raw = nullptr;
  if (ff::avformat_open_input(&Raw, Path.c_str(), nullptr, nullptr) < 0) return -1;
  InputFormatPtr File(Raw);
  if (ff::avformat_find_stream_info(File.get(), nullptr) < 0) return -1;
  int Index = -1;
  for (unsigned I = 0; I < File->nb_streams && Index < 0; ++I)
    if (File->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) Index = static_cast<int>(I);
  if (Index < 0) return -1;
  int64_t Bytes = 0, Packets = 0;
  PacketPtr Packet(ff::av_packet_alloc());
  while (ff::av_read_frame(File.get(), Packet.get()) >= 0) {
    if (Packet->stream_index == Index) Bytes += Packet->size, ++Packets;
    ff::av_packet_unref(Packet.get());
  }
  return Packets ? Bytes * 8.0 / (Packets * FrameUs / 1e6) / 1000.0 : -1;
}

struct Figures {
  mediagen::PictureComparison Pictures;
  double Kbps = -1;
  double WorstMarkUs = -1;
  int Marks = 0;
};

Figures Measure(const std::string& Output, const std::string& Source) {
  Figures F;
  F.Pictures = mediagen::CompareWithCountedSource(Output, Source);
  F.Kbps = VideoKbps(Output);
  const mediagen::DecodedMedia Decoded = mediagen::Decode(Output);
  const std::vector<int64_t> Clicks = mediagen::ReadClickTimesUs(Output);
  F.Marks = static_cast<int>(std::min(Decoded.FlashTimesUs.size(), Clicks.size()));
  for (int I = 0; I < F.Marks; ++I)
    F.WorstMarkUs = std::max(F.WorstMarkUs, std::fabs(double(Decoded.FlashTimesUs[I] - Clicks[I])));
  if (Decoded.FlashTimesUs.size() != Clicks.size()) F.WorstMarkUs = 1e9;
  return F;
}

void Print(const char* Name, const Figures& F) {
  const auto& P = F.Pictures.Psnr;
  // A source faster than the output loses some one-picture flashes to the
  // frame-rate rule: the marks cannot be paired then.
  char Marks[80];
  if (F.WorstMarkUs >= 1e9)
    std::snprintf(Marks, sizeof Marks, "not every flash kept");
  else
    std::snprintf(Marks, sizeof Marks, "worst flash-click %.1f ms", F.WorstMarkUs / 1000.0);
  std::printf("%-7s pictures %d  psnr mean %.2f dB min %.2f dB  video %.0f kbit/s  marks %d, %s\n",
              Name, F.Pictures.FramesA, F.Pictures.MeanPsnrOfCoded(0, F.Pictures.Psnr.size()),
              P.empty() ? 0.0 : *std::min_element(P.begin(), P.end()), F.Kbps, F.Marks, Marks);
}

}  // namespace

int main(int Argc, char** Argv) {
  if (Argc != 5) {
    std::fprintf(stderr, "usage: vexav-joint-check SOURCE WHOLE JOINED SEGMENTS\n");
    return 2;
  }
  if (!LoadFFmpegLibs("", true)) {
    std::fprintf(stderr, "vexav-joint-check: %s\n", LastLoadError().c_str());
    return 1;
  }
  const std::string Source = Argv[1];
  const Figures Whole = Measure(Argv[2], Source);
  const Figures Joined = Measure(Argv[3], Source);
  for (const Figures* F : {&Whole, &Joined})
    if (!F->Pictures.Error.empty()) {
      std::fprintf(stderr, "vexav-joint-check: %s\n", F->Pictures.Error.c_str());
      return 1;
    }
  Print("whole", Whole);
  Print("joined", Joined);

  // A source at another rate than the output shows a flash up to a frame
  // and a half after its click in any run: the joined file may not be
  // further apart than a frame, or than the whole run is.
  bool Ok = Joined.Pictures.FramesA == Whole.Pictures.FramesA &&
            Joined.WorstMarkUs <= std::max(FrameUs, Whole.WorstMarkUs + 1000.0) &&
            std::fabs(Joined.Kbps - Whole.Kbps) <= 0.05 * Whole.Kbps;
  std::string Error;
  const std::vector<int64_t> WholeShows = mediagen::ReadCounters(Argv[2], Error);
  const std::vector<int64_t> JoinedShows = mediagen::ReadCounters(Argv[3], Error);
  const auto Parted = std::mismatch(WholeShows.begin(), WholeShows.end(), JoinedShows.begin(),
                                    JoinedShows.end());
  if (WholeShows.empty() || Parted.first != WholeShows.end() || Parted.second != JoinedShows.end()) {
    std::printf("pictures: NOT the whole run's from picture %lld on\n",
                static_cast<long long>(Parted.first - WholeShows.begin()));
    Ok = false;
  } else {
    std::printf("pictures: the whole run's at every one of the %zu frames\n", WholeShows.size());
  }
  std::vector<int64_t> Times;
  batch::segments::ReadPictureTimes(Source, -1, Times, Error);
  const batch::segments::SegmentPlan Plan = batch::segments::MakeSegmentPlan(
      {{"r", "29.97"}}, mediagen::StatedDurationUs(Source), std::atoi(Argv[4]), false, Times, Error);
  const std::vector<double>& Psnr = Joined.Pictures.Psnr;
  const double Mean = Joined.Pictures.MeanPsnrOfCoded(0, Psnr.size());
  for (const batch::segments::Piece& P : Plan.Pieces) {
    if (P.FirstFrame == 0) continue;
    const double Around =
        Joined.Pictures.MeanPsnrOfCoded(P.FirstFrame - Window, P.FirstFrame + Window);
    const double Before = Joined.Pictures.MeanPsnrOfCoded(P.FirstFrame - Window, P.FirstFrame);
    const double After = Joined.Pictures.MeanPsnrOfCoded(P.FirstFrame, P.FirstFrame + Window);
    const double WholeAround =
        Whole.Pictures.MeanPsnrOfCoded(P.FirstFrame - Window, P.FirstFrame + Window);
    std::printf(
        "joint at picture %lld: psnr %.2f dB around it (%.2f before, %.2f after; %+.2f dB "
        "from the file's mean; the whole run: %.2f dB there)\n",
        static_cast<long long>(P.FirstFrame), Around, Before, After, Around - Mean, WholeAround);
    // A joint may not be worse than the file; a better one (the segment
    // before it spends its bits up to its last picture) breaks nothing.
    if (Around - Mean < -1.0) Ok = false;
  }
  std::printf("joints %s\n", Ok ? "exact" : "NOT within the rules");
  return Ok ? 0 : 1;
}
