#include "component/Presets.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "binding/Api.h"
#include "component/OutputNaming.h"

namespace vexav::output {

std::string FormatExtension(std::string_view ItemText) {
  const std::size_t Open = ItemText.find('(');
  if (Open == std::string_view::npos) return std::string();
  const std::size_t Close = ItemText.find(')', Open);
  const std::size_t Start = Open + 2;  // skip "(" and the "*" of "*.mp4"
  if (Close == std::string_view::npos || Close < Start) return std::string();
  return std::string(ItemText.substr(Start, Close - Start));
}

std::string FormatLabel(std::string_view ItemText) {
  const std::size_t End = ItemText.find(" (");
  std::string Label(End == std::string_view::npos ? ItemText : ItemText.substr(0, End));
  std::replace(Label.begin(), Label.end(), '*', 'x');
  return Label;
}

const TFormatPreset* FindFormat(std::string_view ItemText) {
  for (const TFormatPreset& Format : kFormats)
    if (ItemText == Format.ItemText) return &Format;
  return nullptr;
}

namespace {

bool SameIgnoringCase(std::string_view A, std::string_view B) {
  return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
           return std::tolower(static_cast<unsigned char>(X)) ==
                  std::tolower(static_cast<unsigned char>(Y));
         });
}

}  // namespace

const TFormatPreset* FindFormatByLabel(std::string_view Label) {
  for (const TFormatPreset& Format : kFormats)
    if (SameIgnoringCase(FormatLabel(Format.ItemText), Label)) return &Format;
  return nullptr;
}

std::string PresetUnavailable(const TFormatPreset& Preset,
                              const std::function<bool(const char*)>& HasEncoder) {
  for (const char* Name : {Preset.AudioOnly ? nullptr : Preset.VideoCodec, Preset.AudioCodec}) {
    if (!Name) continue;
    // The engine converts a request for "libfaac" with the native encoder.
    const char* Looked = std::string_view(Name) == "libfaac" ? "aac" : Name;
    if (!HasEncoder(Looked))
      return std::string("unavailable: the media libraries have no ") + Looked + " encoder";
  }
  return std::string();
}

std::string PresetUnavailable(const TFormatPreset& Preset) {
  return PresetUnavailable(Preset, [](const char* Name) {
    const AVCodec* Codec = ff::avcodec_find_encoder_by_name(Name);
    return Codec && ff::av_codec_is_encoder(Codec);
  });
}

bool IsAudioExtension(std::string_view Ext) {
  if (Ext.size() < 2) return false;
  return std::string_view(kAudioExtensions).find(Ext) != std::string_view::npos;
}

namespace {

// Whether Ext is one of the blank-separated entries of List, ignoring ASCII
// case.
bool InExtensionList(std::string_view List, std::string_view Ext) {
  std::size_t Start = 0;
  while (Start < List.size()) {
    std::size_t End = List.find(' ', Start);
    if (End == std::string_view::npos) End = List.size();
    const std::string_view Entry = List.substr(Start, End - Start);
    if (SameIgnoringCase(Entry, Ext)) return true;
    Start = End + 1;
  }
  return false;
}

}  // namespace

bool IsMediaExtension(std::string_view Ext) {
  if (Ext.size() < 2) return false;
  return InExtensionList(kVideoExtensions, Ext) || InExtensionList(kAudioExtensions, Ext);
}

bool IsAudioOnly(std::string_view TargetExt, std::string_view SourcePath) {
  return IsAudioExtension(TargetExt) || IsAudioExtension(FileExtension(SourcePath));
}

TPictureFit FitPicture(const TFormatPreset* Preset, int Width, int Height) {
  TPictureFit Fit;
  Fit.Width = Width;
  Fit.Height = Height;
  const bool Odd = Width % 2 != 0 || Height % 2 != 0;
  // A picture of one pixel's width or height has nothing left to keep.
  if (!Preset || !Preset->EvenPictureSize || !Odd || Width < 2 || Height < 2) return Fit;
  Fit.Width = Width / 2 * 2;
  Fit.Height = Height / 2 * 2;
  Fit.Filter = "crop=" + std::to_string(Fit.Width) + ":" + std::to_string(Fit.Height) + ":0:0";
  const char* Left = Fit.Width != Width && Fit.Height != Height ? "its last column and last row are"
                     : Fit.Width != Width                       ? "its last column is"
                                                                : "its last row is";
  Fit.Note = "The picture is " + std::to_string(Width) + "x" + std::to_string(Height) +
             ", an odd size the " + std::string(Preset->VideoCodec) +
             " encoder does not take: " + Left + " left out, giving " + std::to_string(Fit.Width) +
             "x" + std::to_string(Fit.Height) + " with every other pixel as it was.";
  return Fit;
}

TPictureScale LimitPicture(int Width, int Height, float DisplayAspect, int MaxHeight) {
  TPictureScale Scale;
  Scale.Width = Width;
  Scale.Height = Height;
  if (MaxHeight <= 0 || Width <= 0 || Height <= MaxHeight) return Scale;
  const double Aspect =
      DisplayAspect > 0 ? static_cast<double>(DisplayAspect) : static_cast<double>(Width) / Height;
  Scale.Height = std::max(2, MaxHeight / 2 * 2);
  Scale.Width = std::max(2, static_cast<int>(std::lround(Scale.Height * Aspect / 2)) * 2);
  Scale.Scaled = true;
  return Scale;
}

namespace {

// The source's frame rate as the engine's "r" text, or "29.97" when it is
// not known or not a rate a picture is shown at (a container's time base
// passed off as one).
std::string SourceFrameRate(const TVideoStreamInfo& Video) {
  if (Video.FrameRateNum <= 0 || Video.FrameRateDen <= 0) return "29.97";
  const double Rate = static_cast<double>(Video.FrameRateNum) / Video.FrameRateDen;
  if (Rate < 1 || Rate > 240) return "29.97";
  return std::to_string(Video.FrameRateNum) + "/" + std::to_string(Video.FrameRateDen);
}

int RateCap(int Height) {
  for (const TRateCap& Cap : kRateCaps)
    if (Cap.MaxHeight == 0 || Height <= Cap.MaxHeight) return Cap.MaxRate;
  return kRateCaps[std::size(kRateCaps) - 1].MaxRate;
}

// "name=value;name=value" as options (split at each pair's first "=").
void AddCodecOptions(const char* Text, std::vector<TEngineOption>& Options) {
  if (!Text) return;
  std::string_view Rest(Text);
  while (!Rest.empty()) {
    const std::size_t End = std::min(Rest.find(';'), Rest.size());
    const std::string_view Pair = Rest.substr(0, End);
    const std::size_t Equals = std::min(Pair.find('='), Pair.size());
    if (Equals > 0)
      Options.push_back({std::string(Pair.substr(0, Equals)),
                         std::string(Pair.substr(std::min(Equals + 1, Pair.size())))});
    Rest.remove_prefix(std::min(End + 1, Rest.size()));
  }
}

// The picture part of the settings (step 4).
void SetPicture(const TFormatPreset* Preset, const TVideoStreamInfo& Video, int MaxHeight,
                TOutputSettings& S) {
  const TPictureScale Scale =
      LimitPicture(Video.Width, Video.Height, Video.DisplayAspect, MaxHeight);
  const TPictureFit Fit = Scale.Scaled ? TPictureFit() : FitPicture(Preset, Video.Width, Video.Height);
  if (!Fit.Filter.empty()) {
    S.VideoFilters = Fit.Filter;
    S.Note = Fit.Note;
  } else if (S.FrameSize.empty()) {
    S.FrameSize = std::to_string(Scale.Width) + "x" + std::to_string(Scale.Height);
  }
  if (Preset && Preset->PixelFormat) S.PixelFormat = Preset->PixelFormat;
  if (S.VideoBitrate == -1) S.VideoBitrate = 1500000;
  if (!Preset) return;
  if (!Preset->FrameRate) S.FrameRate = SourceFrameRate(Video);
  if (Preset->Quality) {
    S.CodecOptions.push_back({"crf", Preset->Quality});
    S.CodecOptions.push_back({"b", "0"});
  }
  if (Preset->RateCapByHeight) {
    const int Height = Scale.Scaled ? Scale.Height : Fit.Filter.empty() ? Video.Height : Fit.Height;
    S.VideoMaxRate = RateCap(Height);
    S.VideoBufferSize = 2 * S.VideoMaxRate;
  }
  if (Preset->VideoTag) S.VideoTag = Preset->VideoTag;
  AddCodecOptions(Preset->CodecOptions, S.CodecOptions);
}

}  // namespace

int SoundRateFor(const char* AudioCodec, int SourceRate) {
  if (SourceRate <= 0 || !AudioCodec) return SourceRate;
  const std::string_view Codec(AudioCodec);
  if (Codec != "aac" && Codec != "libfaac") return SourceRate;
  for (const int Rate : {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000})
    if (SourceRate == Rate) return Rate;
  return SourceRate % 11025 == 0 ? 44100 : 48000;
}

TOutputSettings MakeOutputSettings(const TFormatPreset* Preset, bool DisableVideo,
                                   const TAudioStreamInfo& Audio, const TVideoStreamInfo& Video,
                                   int MaxHeight) {
  TOutputSettings S;
  S.DisableVideo = DisableVideo || (Preset && Preset->AudioOnly);
  if (Preset) {
    if (Preset->VideoCodec) S.VideoCodec = Preset->VideoCodec;
    S.AudioCodec = Preset->AudioCodec;
    if (Preset->FrameRate) S.FrameRate = Preset->FrameRate;
    S.AudioChannels = Preset->AudioChannels;
    S.AudioSampleRate = Preset->AudioSampleRate;
    S.VideoBitrate = Preset->VideoBitrate;
    S.AudioBitrate = Preset->AudioBitrate;
    S.VideoSync = Preset->VideoSync;
    S.AudioSync = Preset->AudioSync;
  }
  if (S.AudioChannels == -1) S.AudioChannels = Audio.Channels;
  if (S.AudioSampleRate == -1)
    S.AudioSampleRate = SoundRateFor(S.AudioCodec.c_str(), Audio.SampleRate);
  if (S.AudioBitrate == -1) S.AudioBitrate = Audio.BitRate;
  if (!S.DisableVideo) SetPicture(Preset, Video, MaxHeight, S);
  return S;
}

std::vector<TEngineOption> EngineOptions(const TOutputSettings& S) {
  std::vector<TEngineOption> Options;
  auto Text = [&](const char* Name, const std::string& Value) {
    if (!Value.empty()) Options.push_back({Name, Value});
  };
  auto Positive = [&](const char* Name, int Value) {
    if (Value > 0) Options.push_back({Name, std::to_string(Value)});
  };
  Text("acodec", S.AudioCodec);
  Positive("ac", S.AudioChannels);
  Positive("ar", S.AudioSampleRate);
  Positive("ab", S.AudioBitrate);
  Options.push_back({"async", std::to_string(S.AudioSync)});
  Text("vcodec", S.VideoCodec);
  if (S.DisableVideo) Options.push_back({"vn", ""});
  Text("r", S.FrameRate);
  Text("s", S.FrameSize);
  Positive("vb", S.VideoBitrate);
  Options.push_back({"vsync", std::to_string(S.VideoSync)});
  Text("pix_fmt", S.PixelFormat);
  Text("vfilters", S.VideoFilters);
  Positive("maxrate", S.VideoMaxRate);
  Positive("bufsize", S.VideoBufferSize);
  Text("vtag", S.VideoTag);
  Options.insert(Options.end(), S.CodecOptions.begin(), S.CodecOptions.end());
  return Options;
}

void ApplyOutputSettings(const TOutputSettings& S, TOutputOptions& Options) {
  ResetOutputOptions(Options);
  Options.AudioCodec = S.AudioCodec;
  Options.AudioChannels = S.AudioChannels;
  Options.AudioSampleRate = S.AudioSampleRate;
  Options.AudioBitrate = S.AudioBitrate;
  Options.AudioSync = S.AudioSync;
  Options.VideoCodec = S.VideoCodec;
  Options.DisableVideo = S.DisableVideo;
  Options.FrameRate = S.FrameRate;
  Options.FrameSize = S.FrameSize;
  Options.VideoBitrate = S.VideoBitrate;
  Options.VideoSync = S.VideoSync;
  Options.VideoFilters = S.VideoFilters;
  auto Line = [&](const std::string& Name, const std::string& Value) {
    if (!Value.empty()) Options.ExtOptions += Name + "=" + Value + "\n";
  };
  Line("pix_fmt", S.PixelFormat);
  if (S.VideoMaxRate > 0) Line("maxrate", std::to_string(S.VideoMaxRate));
  if (S.VideoBufferSize > 0) Line("bufsize", std::to_string(S.VideoBufferSize));
  Line("vtag", S.VideoTag);
  for (const TEngineOption& Option : S.CodecOptions) Line(Option.Name, Option.Value);
}

}  // namespace vexav::output
