// Target presets: everything a disc or camcorder format requires of the
// output, set in one call through the ordinary option handlers, so that a
// preset behaves exactly like the options it stands for and later options
// override it.
#include "binding/Text.h"
#include "engine/Convert.h"
#include "engine/FFmpeg.h"

namespace vexav {
namespace {

enum class TRateNorm { None, PAL, NTSC };

// 25 frames per second is PAL; 29.97 and 23.976 are NTSC.
TRateNorm NormOfRate(int64_t Num, int64_t Den) {
  if (Den == 0) return TRateNorm::None;
  const int64_t Rate = RoundDivHalfEven(Num * 1000, Den);
  if (Rate == 25000) return TRateNorm::PAL;
  if (Rate == 29970 || Rate == 23976) return TRateNorm::NTSC;
  return TRateNorm::None;
}

}  // namespace

bool TCustomFFmpeg::DetectNormFromInputs(TNorm& Norm) const {
  for (int File = 0; File < InputFileCount; ++File) {
    const AVFormatContext* Context = InputFiles[File].get();
    if (!Context) continue;
    for (unsigned I = 0; I < Context->nb_streams; ++I) {
      const AVStream* Stream = Context->streams[I];
      if (!Stream || !Stream->codecpar || Stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
      // The stream's own frame rate stands for the decoder's time base, which
      // today's decoders no longer fill in.
      AVRational Rate = Stream->r_frame_rate;
      if (Rate.num <= 0 || Rate.den <= 0) Rate = Stream->avg_frame_rate;
      if (Rate.num <= 0 || Rate.den <= 0) continue;
      switch (NormOfRate(Rate.num, Rate.den)) {
        case TRateNorm::PAL:
          Norm = TNorm::PAL;
          return true;
        case TRateNorm::NTSC:
          Norm = TNorm::NTSC;
          return true;
        case TRateNorm::None:
          break;
      }
    }
  }
  return false;
}

TCustomFFmpeg::TNorm TCustomFFmpeg::ResolveNorm(const std::string& Norm, const std::string& FallbackNorm) {
  if (Norm == "pal") return TNorm::PAL;
  if (Norm == "ntsc") return TNorm::NTSC;
  if (Norm == "film") return TNorm::Film;

  if (FrameRate.den == 0) throw FFMpegException("frame_rate is invalid.");
  TNorm Result = TNorm::PAL;
  bool Found = true;
  switch (NormOfRate(FrameRate.num, FrameRate.den)) {
    case TRateNorm::PAL:
      Result = TNorm::PAL;
      break;
    case TRateNorm::NTSC:
      Result = TNorm::NTSC;
      break;
    case TRateNorm::None:
      Found = DetectNormFromInputs(Result);
      break;
  }
  if (!Found)
    Result = FallbackNorm == "film" ? TNorm::Film : FallbackNorm == "ntsc" ? TNorm::NTSC : TNorm::PAL;
  if (Verbose > 0 && HasLogHandler())
    Log(1, Format("Assuming %s for target.", Result == TNorm::PAL ? "PAL" : "NTSC"));
  return Result;
}

void TCustomFFmpeg::ApplyDefaultAspect(const char* Aspect) {
  if (FrameAspectRatio != 0) return;
  Log(1, Format("Assuming %s for aspect ratio", Aspect));
  SetAspectRatio(Aspect);
}

void TCustomFFmpeg::SetTarget(const std::string& Type, const std::string& Norm,
                              const std::string& FallbackNorm) {
  const TNorm Resolved = ResolveNorm(Norm, FallbackNorm);
  const bool Pal = Resolved == TNorm::PAL;
  const char* Rate = Pal ? "25" : Resolved == TNorm::NTSC ? "30000/1001" : "24000/1001";
  const char* Gop = Pal ? "15" : "18";

  if (Type == "vcd") {
    SetVideoCodec("mpeg1video");
    SetAudioCodec("mp2");
    SetOutputFormat("vcd");
    SetFrameSize(Pal ? "352x288" : "352x240");
    SetFrameRate(Rate);
    SetGenericOption("gop", Gop);
    SetGenericOption("b", "1150000");
    SetGenericOption("maxrate", "1150000");
    SetGenericOption("minrate", "1150000");
    SetGenericOption("bufsize", "327680");
    SetGenericOption("ab", "224000");
    AudioSampleRate = 44100;
    AudioChannels = 2;
    SetGenericOption("packetsize", "2324");
    SetGenericOption("muxrate", "1411200");
    // The muxer's preload is 0.44 s for a VCD.
    MuxPreload = 0.44f;
    ApplyDefaultAspect("4:3");
  } else if (Type == "svcd") {
    SetVideoCodec("mpeg2video");
    SetAudioCodec("mp2");
    SetOutputFormat("svcd");
    SetFrameSize(Pal ? "480x576" : "480x480");
    SetFrameRate(Rate);
    SetGenericOption("gop", Gop);
    SetGenericOption("b", "2040000");
    SetGenericOption("maxrate", "2516000");
    SetGenericOption("minrate", "0");
    SetGenericOption("bufsize", "1835008");
    SetGenericOption("flags", "+scan_offset");
    SetGenericOption("ab", "224000");
    AudioSampleRate = 44100;
    SetGenericOption("packetsize", "2324");
    if (AudioChannels == 1) AudioChannels = 2;
    ApplyDefaultAspect("4:3");
  } else if (Type == "dvd") {
    SetVideoCodec("mpeg2video");
    SetAudioCodec("ac3");
    SetOutputFormat("dvd");
    SetFrameSize(Pal ? "720x576" : "720x480");
    SetFrameRate(Rate);
    SetGenericOption("gop", Gop);
    SetGenericOption("b", "6000000");
    SetGenericOption("maxrate", "9000000");
    SetGenericOption("minrate", "0");
    SetGenericOption("bufsize", "1835008");
    SetGenericOption("packetsize", "2048");
    SetGenericOption("muxrate", "10080000");
    SetGenericOption("ab", "448000");
    AudioSampleRate = 48000;
    if (AudioChannels == 1) AudioChannels = 2;
    ApplyDefaultAspect("16:9");
  } else if (Type == "dv" || Type == "dv50") {
    SetOutputFormat("dv");
    SetFrameSize(Pal ? "720x576" : "720x480");
    SetPixelFormat(Type == "dv50" ? "yuv422p" : Pal ? "yuv420p" : "yuv411p");
    SetFrameRate(Rate);
    AudioSampleRate = 48000;
    AudioChannels = 2;
  } else {
    throw FFMpegException("Unknown target type");
  }
}

}  // namespace vexav
