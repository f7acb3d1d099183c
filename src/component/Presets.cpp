#include "component/Presets.h"

#include <algorithm>
#include <cctype>

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
    if (Entry.size() == Ext.size() &&
        std::equal(Entry.begin(), Entry.end(), Ext.begin(), [](char A, char B) {
          return std::tolower(static_cast<unsigned char>(A)) ==
                 std::tolower(static_cast<unsigned char>(B));
        }))
      return true;
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

TOutputSettings MakeOutputSettings(const TFormatPreset* Preset, bool DisableVideo,
                                   const TAudioStreamInfo& Audio, const TVideoStreamInfo& Video) {
  TOutputSettings S;
  S.DisableVideo = DisableVideo;
  if (Preset) {
    S.VideoCodec = Preset->VideoCodec;
    S.AudioCodec = Preset->AudioCodec;
    S.FrameRate = Preset->FrameRate;
    S.AudioChannels = Preset->AudioChannels;
    S.AudioSampleRate = Preset->AudioSampleRate;
    S.VideoBitrate = Preset->VideoBitrate;
    S.AudioBitrate = Preset->AudioBitrate;
    S.VideoSync = Preset->VideoSync;
    S.AudioSync = Preset->AudioSync;
  }
  if (S.AudioChannels == -1) S.AudioChannels = Audio.Channels;
  if (S.AudioSampleRate == -1) S.AudioSampleRate = Audio.SampleRate;
  if (S.AudioBitrate == -1) S.AudioBitrate = Audio.BitRate;
  if (!S.DisableVideo) {
    const TPictureFit Fit = FitPicture(Preset, Video.Width, Video.Height);
    if (!Fit.Filter.empty()) {
      S.VideoFilters = Fit.Filter;
      S.Note = Fit.Note;
    } else if (S.FrameSize.empty()) {
      S.FrameSize = std::to_string(Video.Width) + "x" + std::to_string(Video.Height);
    }
    if (Preset && Preset->PixelFormat) S.PixelFormat = Preset->PixelFormat;
    if (S.VideoBitrate == -1) S.VideoBitrate = 1500000;
  }
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
  if (!S.PixelFormat.empty()) Options.ExtOptions = "pix_fmt=" + S.PixelFormat + "\n";
}

}  // namespace vexav::output
