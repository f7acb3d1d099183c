// libFuzzer target: the bytes are a media file. It is probed the way the
// window and the command line look at a source (TAVProbe: open, counts,
// stream records, close), then converted with the MPEG-4 preset the window
// uses, cut to a fraction of a second and a tiny picture, by the engine.
// Whatever the bytes are, nothing may crash, hang, leak or touch memory it
// does not own; a failed probe or run is a normal outcome.
//
// The file is named .mp3 when the first byte is odd and .avi otherwise, so
// that the library's probing by extension and the audio-only rule of the
// preset are both reached (an AVI or WAV starts with "R", an MP3 with "I" of
// its ID3 tag or 0xFF).
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "component/AVProbe.h"
#include "component/Presets.h"
#include "engine/FFmpeg.h"

namespace {

namespace fs = std::filesystem;
using namespace vexav;

// The length of the converted output: enough for a few frames.
constexpr const char* kRecordingSeconds = "0.2";
// The output picture: tiny, so that encoding costs little.
constexpr const char* kFrameSize = "32x24";

std::string Folder;  // this process's folder for the files of one input
// VEXAV_FUZZ_VERBOSE=1 lets the engine's and the libraries' log through,
// for looking at one input; fuzzing runs quiet.
bool Verbose = false;

void RemoveFolder() {
  std::error_code Ignored;
  if (!Folder.empty()) fs::remove_all(Folder, Ignored);
}

bool WriteFile(const std::string& Path, const uint8_t* Data, size_t Size) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out.write(reinterpret_cast<const char*>(Data), static_cast<std::streamsize>(Size));
  return static_cast<bool>(Out);
}

// Everything the probe answers, for the stream records of every index
// (including ones past the end, which must be refused cleanly).
struct TProbeFacts {
  bool Opened = false;
  int VideoStreams = 0;
  int AudioStreams = 0;
  TAudioStreamInfo Audio;
  TVideoStreamInfo Video;
};

TProbeFacts Probe(const std::string& Path) {
  TProbeFacts Facts;
  TAVProbe P;
  if (!P.Open(Path)) return Facts;
  Facts.Opened = true;
  Facts.VideoStreams = P.VideoStreamCount();
  Facts.AudioStreams = P.AudioStreamCount();
  for (int Index = -1; Index <= P.StreamCount(); ++Index) {
    TAudioStreamInfo A;
    TVideoStreamInfo V;
    P.GetAudioInfo(Index, A);
    P.GetVideoInfo(Index, V);
  }
  if (Facts.AudioStreams > 0) P.GetDefaultAudioInfo(Facts.Audio);
  if (Facts.VideoStreams > 0) P.GetDefaultVideoInfo(Facts.Video);
  (void)P.GetFileName();
  (void)P.FormatName();
  P.Close();
  return Facts;
}

// The preset's options for this source, as the command line gives them to
// the engine, with the length and the picture size cut down.
std::vector<output::TEngineOption> PresetOptions(const std::string& Source,
                                                 const TProbeFacts& Facts) {
  const output::TFormatPreset& Preset = output::kFormats[output::kDefaultFormatIndex];
  const std::string Ext = output::FormatExtension(Preset.ItemText);
  const bool AudioOnly = output::IsAudioOnly(Ext, Source) || Facts.VideoStreams == 0;
  output::TOutputSettings Settings =
      output::MakeOutputSettings(&Preset, AudioOnly, Facts.Audio, Facts.Video);
  if (!AudioOnly) Settings.FrameSize = kFrameSize;
  std::vector<output::TEngineOption> Options = output::EngineOptions(Settings);
  Options.push_back({"t", kRecordingSeconds});
  return Options;
}

void Convert(const std::string& Source, const std::string& Target, const TProbeFacts& Facts) {
  TCustomFFmpeg Engine;
  Engine.InitOptions();
  Engine.SetVerbose(Verbose ? 1 : -1);
  if (Verbose) {
    Engine.OnLog = [](TCustomFFmpeg&, int Level, const std::string& Text) {
      std::fprintf(stderr, "engine %d: %s\n", Level, Text.c_str());
    };
  }
  try {
    if (!Engine.OpenInputFile(Source)) return;
    for (const output::TEngineOption& Option : PresetOptions(Source, Facts))
      Engine.SetOption(Option.Name, Option.Value);
    if (!Engine.OpenOutputFile(Target)) return;
  } catch (const std::exception&) {
    // A refused option or file: the engine says why; nothing to run.
    return;
  }
  // Without a thread the run happens here and notifies before returning.
  Engine.Start(false);
  Engine.WaitForRun();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!LoadFFmpegLibs("", true)) {
    std::fprintf(stderr, "cannot load the media libraries: %s\n", LastLoadError().c_str());
    std::abort();
  }
  std::string Template = (fs::temp_directory_path() / "vexav-fuzz-XXXXXX").string();
  if (!mkdtemp(Template.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  Folder = Template;
  const char* Flag = std::getenv("VEXAV_FUZZ_VERBOSE");
  Verbose = Flag && *Flag && std::string(Flag) != "0";
  if (!Verbose) ff::av_log_set_level(AV_LOG_QUIET);
  std::atexit(RemoveFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const bool Mp3 = Size > 0 && (Data[0] & 1) != 0;
  const std::string Source = Folder + (Mp3 ? "/input.mp3" : "/input.avi");
  const std::string Target = Folder + "/output.mp4";
  if (!WriteFile(Source, Data, Size)) std::abort();

  const TProbeFacts Facts = Probe(Source);
  if (Facts.Opened) Convert(Source, Target, Facts);

  std::error_code Ignored;
  fs::remove(Source, Ignored);
  fs::remove(Target, Ignored);
  return 0;
}
