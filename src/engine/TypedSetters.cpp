// The typed setters: what the option handlers do, callable with record
// values. Each skips a value that is not set (empty text, a negative or zero
// number, as its guard says) and checks a value before it writes a field.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "binding/Text.h"
#include "engine/Convert.h"
#include "engine/FFmpeg.h"
#include "engine/OptionText.h"
#include "engine/picture/PadColor.h"

namespace vexav {
namespace {

uint32_t FourCC(const std::string& Tag) {
  return static_cast<uint32_t>(static_cast<unsigned char>(Tag[0])) |
         static_cast<uint32_t>(static_cast<unsigned char>(Tag[1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(Tag[2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(Tag[3])) << 24;
}

}  // namespace

// ---- Formats -------------------------------------------------------------

void TCustomFFmpeg::SetInputFormat(const std::string& Name) {
  if (Name.empty()) return;
  RequireLibraries();
  std::string Lookup = Name;
  ApplyPgmyuvRule(Lookup);
  const AVInputFormat* Found = ff::av_find_input_format(Lookup.c_str());
  if (!Found) throw FFMpegException(Format("Unknown input format: %s", Lookup.c_str()));
  InputFormat = Found;
}

void TCustomFFmpeg::SetOutputFormat(const std::string& Name) {
  if (Name.empty()) return;
  RequireLibraries();
  std::string Lookup = Name;
  ApplyPgmyuvRule(Lookup);
  const AVOutputFormat* Found = ff::av_guess_format(Lookup.c_str(), nullptr, nullptr);
  if (!Found) throw FFMpegException(Format("Unknown output format: %s", Lookup.c_str()));
  OutputFormat = Found;
}

// ---- Times and plain numbers -----------------------------------------------

void TCustomFFmpeg::SetStartTimeValue(int64_t Microseconds) {
  if (Microseconds > 0) StartTime = Microseconds;
}

void TCustomFFmpeg::SetProgramId(int Value) {
  if (Value >= 0) ProgramId = Value;
}

void TCustomFFmpeg::SetRecordingTimeMs(int64_t Milliseconds) {
  if (Milliseconds <= 0) return;
  // Computed in 64 bits; a duration past the range of the microsecond
  // field means no limit at all.
  RecordingTime =
      Milliseconds > NO_RECORDING_LIMIT / 1000 ? NO_RECORDING_LIMIT : Milliseconds * 1000;
  TotalOutputDuration = Milliseconds;
}

void TCustomFFmpeg::SetAudioVolume(int Value) {
  if (Value >= 0) AudioVolume = Value;
}

void TCustomFFmpeg::SetAudioSyncMethod(int Value) {
  AudioSyncMethod = Value;
}

void TCustomFFmpeg::SetVideoSyncMethod(int Value) {
  VideoSyncMethod = Value;
}

void TCustomFFmpeg::SetMuxMaxDelay(float Seconds) {
  if (Seconds > 0) MuxMaxDelay = Seconds;
}

void TCustomFFmpeg::SetMuxPreload(float Seconds) {
  if (Seconds > 0) MuxPreload = Seconds;
}

void TCustomFFmpeg::SetYear(int Value) {
  if (Value > 0) Year = Value;
}

void TCustomFFmpeg::SetTrack(int Value) {
  if (Value > 0) Track = Value;
}

void TCustomFFmpeg::SetTitle(const std::string& Text) {
  if (!Text.empty()) Title = Text;
}
void TCustomFFmpeg::SetAuthor(const std::string& Text) {
  if (!Text.empty()) Author = Text;
}
void TCustomFFmpeg::SetCopyright(const std::string& Text) {
  if (!Text.empty()) Copyright = Text;
}
void TCustomFFmpeg::SetComment(const std::string& Text) {
  if (!Text.empty()) Comment = Text;
}
void TCustomFFmpeg::SetGenre(const std::string& Text) {
  if (!Text.empty()) Genre = Text;
}
void TCustomFFmpeg::SetAlbum(const std::string& Text) {
  if (!Text.empty()) Album = Text;
}
void TCustomFFmpeg::SetVideoFilters(const std::string& Filters) {
  if (!Filters.empty()) VideoFilters = Filters;
}

// ---- Codecs and tags -------------------------------------------------------

void TCustomFFmpeg::SetCodecName(std::string& Field, int& StreamCopy, const std::string& Name) {
  if (Name.empty()) return;
  Field.clear();
  if (Name == "copy")
    StreamCopy = 1;
  else
    Field = Name;
}

void TCustomFFmpeg::SetAudioCodec(const std::string& Name) {
  SetCodecName(AudioCodecName, AudioStreamCopy, Name);
}
void TCustomFFmpeg::SetVideoCodec(const std::string& Name) {
  SetCodecName(VideoCodecName, VideoStreamCopy, Name);
}
void TCustomFFmpeg::SetSubtitleCodec(const std::string& Name) {
  SetCodecName(SubtitleCodecName, SubtitleStreamCopy, Name);
}

void TCustomFFmpeg::SetVideoTag(const std::string& Tag) {
  if (Tag.empty()) return;
  if (Tag.size() != 4) RaiseAssertion("video tag parameter must be 4 chars", __FILE__, __LINE__);
  VideoCodecTag = FourCC(Tag);
}

void TCustomFFmpeg::SetAudioTag(const std::string& Tag) {
  if (Tag.empty()) return;
  if (Tag.size() != 4) RaiseAssertion("audio tag parameter must be 4 chars", __FILE__, __LINE__);
  AudioCodecTag = FourCC(Tag);
}

// ---- Picture -------------------------------------------------------------

void TCustomFFmpeg::SetFrameRate(const std::string& Rate) {
  if (Rate.empty()) return;
  RequireLibraries();
  AVRational Parsed{0, 0};
  if (ff::av_parse_video_rate(&Parsed, Rate.c_str()) < 0)
    throw FFMpegException("Incorrect frame rate");
  FrameRate = Parsed;
}

void TCustomFFmpeg::SetFrameSize(const std::string& Size) {
  if (Size.empty()) return;
  RequireLibraries();
  int Width = 0, Height = 0;
  if (ff::av_parse_video_size(&Width, &Height, Size.c_str()) < 0)
    throw FFMpegException("Incorrect frame size");
  FrameWidth = Width;
  FrameHeight = Height;
  if ((Width % 2) != 0 || (Height % 2) != 0)
    throw FFMpegException("Frame size must be a multiple of 2");
}

void TCustomFFmpeg::SetAspectRatio(const std::string& Aspect) {
  if (Aspect.empty()) return;
  double Ratio = 0;
  const auto Colon = Aspect.find(':');
  if (Colon != std::string::npos) {
    const int X = StrToIntDef(Aspect.substr(0, Colon), 0);
    const int Y = StrToIntDef(Aspect.substr(Colon + 1), 0);
    Ratio = Y > 0 ? static_cast<double>(X) / Y : 0;
  } else {
    Ratio = StrToFloatDef(Aspect, 0);
  }
  // A ratio out of the 32-bit field's range cannot describe a picture.
  const float Stored =
      std::fabs(Ratio) > std::numeric_limits<float>::max() ? 0.0f : static_cast<float>(Ratio);
  if (Stored == 0) throw FFMpegException("Incorrect aspect ratio specification.");
  FrameAspectRatio = Stored;
}

void TCustomFFmpeg::SetPixelFormat(const std::string& Name) {
  RequireLibraries();
  if (Name != "list") {
    FramePixFmt = ff::av_get_pix_fmt(Name.c_str());
    FramePixFmtNamed = true;
    return;
  }
  if (!HasLogHandler()) return;
  char Line[128];
  Log(1, Trim(ff::av_get_pix_fmt_string(Line, sizeof Line, AV_PIX_FMT_NONE)));
  for (const AVPixFmtDescriptor* Desc = ff::av_pix_fmt_desc_next(nullptr); Desc;
       Desc = ff::av_pix_fmt_desc_next(Desc))
    Log(1, Trim(ff::av_get_pix_fmt_string(Line, sizeof Line, ff::av_pix_fmt_desc_get_id(Desc))));
}

void TCustomFFmpeg::SetSampleFormat(const std::string& Name) {
  RequireLibraries();
  if (Name != "list") {
    AudioSampleFmt = ff::av_get_sample_fmt(Name.c_str());
    return;
  }
  if (!HasLogHandler()) return;
  char Line[128];
  for (int Fmt = AV_SAMPLE_FMT_NONE; Fmt <= AV_SAMPLE_FMT_DBLP; ++Fmt)
    Log(1, Trim(ff::av_get_sample_fmt_string(Line, sizeof Line, static_cast<AVSampleFormat>(Fmt))));
}

void TCustomFFmpeg::ApplyCrop(int& Band, int Value, bool Vertical, const char* ParityMessage) {
  if (Value < 0) return;
  if ((Value % 2) != 0) throw FFMpegException(ParityMessage);
  int& Size = Vertical ? FrameHeight : FrameWidth;
  if (Value >= Size)
    throw FFMpegException(
        Format("%s crop dimensions are outside the range of the original image.\n"
               "Remember to crop first and scale second.",
               Vertical ? "Vertical" : "Horizontal"));
  Band = Value;
  Size -= Value;
}

void TCustomFFmpeg::ApplyPad(int& Band, int Value, const char* ParityMessage) {
  if (Value < 0) return;
  if ((Value % 2) != 0) throw FFMpegException(ParityMessage);
  Band = Value;
}

void TCustomFFmpeg::SetCropTop(int Value) {
  ApplyCrop(CropTop, Value, true, "Top crop size must be a multiple of 2");
}
void TCustomFFmpeg::SetCropBottom(int Value) {
  ApplyCrop(CropBottom, Value, true, "Bottom crop size must be a multiple of 2");
}
void TCustomFFmpeg::SetCropLeft(int Value) {
  ApplyCrop(CropLeft, Value, false, "Left crop size must be a multiple of 2");
}
void TCustomFFmpeg::SetCropRight(int Value) {
  ApplyCrop(CropRight, Value, false, "Right crop size must be a multiple of 2");
}
void TCustomFFmpeg::SetPadTop(int Value) {
  ApplyPad(PadTop, Value, "Top pad size must be a multiple of 2");
}
void TCustomFFmpeg::SetPadBottom(int Value) {
  ApplyPad(PadBottom, Value, "Bottom pad size must be a multiple of 2");
}
void TCustomFFmpeg::SetPadLeft(int Value) {
  ApplyPad(PadLeft, Value, "Left pad size must be a multiple of 2");
}
void TCustomFFmpeg::SetPadRight(int Value) {
  ApplyPad(PadRight, Value, "Right pad size must be a multiple of 2");
}

void TCustomFFmpeg::SetPadColor(int Value) {
  PadColorFromRGB(Value, PadColor.data());
}

void TCustomFFmpeg::SetVideoQScale(float Value) {
  if (!(Value > 0) || Value > 255) throw FFMpegException("qscale must be > 0.0 and <= 255");
  VideoQScale = Value;
}

// ---- Audio ---------------------------------------------------------------

void TCustomFFmpeg::SetAudioChannels(int Value) {
  if (Value > 0) AudioChannels = Value;
}

void TCustomFFmpeg::SetAudioSampleRate(int Value) {
  if (Value > 0) AudioSampleRate = Value;
}

// ---- Bit rates, hooks and bitstream filters -------------------------------

void TCustomFFmpeg::SetBitRate(const std::string& Name, const std::string& Value) {
  if (Name.empty() || Value.empty()) return;
  if (!SetGenericOption(Name, Value) || !HasLogHandler()) return;
  AVCodecContext* Defaults =
      CodecDefaults[Name[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO].get();
  int64_t BitRate = 0;
  if (Defaults && ff::av_opt_get_int(Defaults, "b", 0, &BitRate) >= 0 && BitRate < 1000)
    Log(1,
        "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
}

void TCustomFFmpeg::AddVideoHook(const std::string& Value) {
  RequireLibraries();
  auto Args = std::make_unique<THookArgs>();
  Args->Text = std::make_unique<char[]>(Value.size() + 1);
  std::memcpy(Args->Text.get(), Value.c_str(), Value.size() + 1);
  Args->Words = SplitHookWords(Args->Text.get());
  const int Count = static_cast<int>(Args->Words.size());
  // The word list ends with a null entry, like a program's argument list.
  Args->Words.push_back(nullptr);
  if (AddFrameHook(HookChain, Count, Args->Words.data()) != 0)
    throw FFMpegException("Failed to add video hook function: " + Value);
  HookArgs.push_back(std::move(Args));
  UsingVhook = true;
}

void TCustomFFmpeg::AddBitstreamFilter(const std::string& Name, const std::string& Value) {
  if (Value.empty() || Value[0] == '=') return;
  RequireLibraries();
  const auto Equals = Value.find('=');
  TBitstreamFilterEntry Filter;
  Filter.Name = Value.substr(0, Equals);
  if (Equals != std::string::npos) Filter.Args = Value.substr(Equals + 1);
  if (!ff::av_bsf_get_by_name(Filter.Name.c_str()))
    throw FFMpegException(Format("Unknown bitstream filter %s", Trim(Value).c_str()));
  TBitstreamFilterChain& Chain = !Name.empty() && Name[0] == 'v'   ? VideoBsfChain
                                 : !Name.empty() && Name[0] == 'a' ? AudioBsfChain
                                                                   : SubtitleBsfChain;
  Chain.push_back(std::move(Filter));
}

// ---- Codec threads -----------------------------------------------------------

void TCustomFFmpeg::CheckThreadCount(int Value) {
  // More threads than MaxThreadCount buy nothing on any machine the engine
  // runs on and only cost memory (a frame-threaded decoder holds a picture
  // per thread).
  if (Value < 0 || Value > MaxThreadCount)
    throw FFMpegException(
        Format("Invalid codec thread count %d: 0 (automatic) or 1 to %d", Value, MaxThreadCount));
}

int TCustomFFmpeg::AutomaticVideoEncoderThreads() {
  // A frame-threaded video encoder keeps the cores busy only with more
  // frames in flight than there are cores: its look-ahead and the run's
  // own decoding are serial. libx264's own choice, 1.5 per core, leaves a
  // two-core machine a third idle; two more than the cores fill it.
  const long Cores = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (Cores <= 1) return 0;  // one core: the library's choice
  const long Threads = std::max(Cores * 3 / 2, Cores + 2);
  return static_cast<int>(std::min<long>(Threads, MaxThreadCount));
}

void TCustomFFmpeg::SetThreadCount(int Value) {
  CheckThreadCount(Value);
  ThreadCount = Value;
}

}  // namespace vexav
