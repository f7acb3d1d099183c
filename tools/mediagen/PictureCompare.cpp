#include "PictureCompare.h"

#include <cmath>
#include <cstdint>
#include <numeric>

#include "LibSupport.h"
#include "binding/FFmpegLibs.h"
#include "binding/Owners.h"
#include "binding/Text.h"

namespace vexav::mediagen {
namespace {

// The pictures of a file's first video stream, one at a time, as 8-bit
// luma planes of a given size.
class PictureSource {
 public:
  std::string Open(const std::string& Path) {
    AVFormatContext* Raw = nullptr;
    if (int Ret = ff::avformat_open_input(&Raw, Path.c_str(), nullptr, nullptr); Ret < 0)
      return Format("cannot open '%s': %s", Path.c_str(), ErrorString(Ret).c_str());
    Input.reset(Raw);
    if (int Ret = ff::avformat_find_stream_info(Input.get(), nullptr); Ret < 0)
      return Format("cannot read the streams of '%s': %s", Path.c_str(), ErrorString(Ret).c_str());
    for (unsigned I = 0; I < Input->nb_streams && StreamIndex < 0; ++I)
      if (Input->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
        StreamIndex = static_cast<int>(I);
    if (StreamIndex < 0) return Format("'%s' has no video stream", Path.c_str());
    const AVCodecParameters* Par = Input->streams[StreamIndex]->codecpar;
    const AVCodec* Codec = ff::avcodec_find_decoder(Par->codec_id);
    if (!Codec) return Format("no decoder for the video of '%s'", Path.c_str());
    Ctx.reset(ff::avcodec_alloc_context3(Codec));
    Packet.reset(ff::av_packet_alloc());
    Frame.reset(ff::av_frame_alloc());
    if (!Ctx || !Packet || !Frame) return "out of memory";
    if (int Ret = ff::avcodec_parameters_to_context(Ctx.get(), Par); Ret < 0)
      return Format("cannot set up the decoder: %s", ErrorString(Ret).c_str());
    Ctx->pkt_timebase = Input->streams[StreamIndex]->time_base;
    Ctx->thread_count = 1;
    if (int Ret = ff::avcodec_open2(Ctx.get(), Codec, nullptr); Ret < 0)
      return Format("cannot open the decoder: %s", ErrorString(Ret).c_str());
    Width = Par->width;
    Height = Par->height;
    return "";
  }

  // The next picture's luma at W x H (0 x 0: the picture's own size) into
  // Luma; false at the end.
  bool Next(int W, int H, std::vector<uint8_t>& Luma) {
    for (;;) {
      const int Ret = ff::avcodec_receive_frame(Ctx.get(), Frame.get());
      if (Ret == 0) {
        const bool Taken = Take(W, H, Luma);
        ff::av_frame_unref(Frame.get());
        if (Taken) return true;
        continue;
      }
      if (Ret == AVERROR_EOF) return false;
      if (Ret != AVERROR(EAGAIN)) continue;  // a damaged picture is skipped
      if (Drained) return false;
      // Feed one more packet of the stream, or drain at the end.
      int Read = 0;
      while ((Read = ff::av_read_frame(Input.get(), Packet.get())) >= 0 &&
             Packet->stream_index != StreamIndex)
        ff::av_packet_unref(Packet.get());
      if (Read < 0) {
        Drained = true;
        ff::avcodec_send_packet(Ctx.get(), nullptr);
      } else {
        ff::avcodec_send_packet(Ctx.get(), Packet.get());
        ff::av_packet_unref(Packet.get());
      }
    }
  }

  int Width = 0;
  int Height = 0;
  // The size of the picture Next gave last.
  int TakenWidth = 0;
  int TakenHeight = 0;

 private:
  bool Take(int W, int H, std::vector<uint8_t>& Luma) {
    if (W <= 0 || H <= 0) {
      W = Frame->width;
      H = Frame->height;
    }
    TakenWidth = W;
    TakenHeight = H;
    Scaler.reset(ff::sws_getCachedContext(
        Scaler.release(), Frame->width, Frame->height, static_cast<AVPixelFormat>(Frame->format), W,
        H, AV_PIX_FMT_GRAY8, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!Scaler) return false;
    Luma.resize(static_cast<size_t>(W) * H);
    uint8_t* Planes[4] = {Luma.data(), nullptr, nullptr, nullptr};
    int Lines[4] = {W, 0, 0, 0};
    ff::sws_scale(Scaler.get(), Frame->data, Frame->linesize, 0, Frame->height, Planes, Lines);
    return true;
  }

  InputFormatPtr Input;
  CodecContextPtr Ctx;
  PacketPtr Packet;
  FramePtr Frame;
  ScalerPtr Scaler;
  int StreamIndex = -1;
  bool Drained = false;
};

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
      if (MoreA && MoreB) Result.Psnr.push_back(Psnr(LumaA, LumaB));
    }
  } catch (const std::exception& E) {
    Result.Error = E.what();
  }
  return Result;
}

}  // namespace vexav::mediagen
