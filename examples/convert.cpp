// Converts the file given into the current folder with the MPEG-4 preset,
// through the converter component, and prints its progress events:
//   vexav-example clip.avi  ->  "clip (MPEG-4 Video).mp4"
#include <vexav/component/OutputNaming.h>
#include <vexav/component/Presets.h>
#include <vexav/component/VexAVConverter.h>

#include <cstdio>
#include <future>
#include <string>

using namespace vexav;

int Fail(const std::string& Message) {
  std::fprintf(stderr, "vexav-example: %s\n", Message.c_str());
  return 1;
}

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vexav-example FILE\n");
    return 2;
  }
  const std::string Source = argv[1];

  TVexAVConverter Converter;
  // The media libraries, through the system's search path.
  if (!Converter.LoadLibraries("")) return Fail(Converter.LastError());

  // One task: its input is opened (and probed) at once.
  const int Index = Converter.AddInputFile(Source);
  if (Index < 0) return Fail(Converter.LastError());

  // The preset's output options for this source, as the window makes them.
  const output::TFormatPreset& Preset = output::kFormats[output::kDefaultFormatIndex];
  const std::string Ext = output::FormatExtension(Preset.ItemText);
  const TAVProbe& Probe = *Converter.TaskProbe(Index);
  TAudioStreamInfo Audio;
  TVideoStreamInfo Video;
  if (Probe.AudioStreamCount() > 0) Probe.GetDefaultAudioInfo(Audio);
  if (Probe.VideoStreamCount() > 0) Probe.GetDefaultVideoInfo(Video);
  const bool AudioOnly = output::IsAudioOnly(Ext, Source) || Probe.VideoStreamCount() == 0;
  TOutputOptions Options;
  output::ApplyOutputSettings(output::MakeOutputSettings(&Preset, AudioOnly, Audio, Video),
                              Options);

  // "<name> (MPEG-4 Video).mp4" in the current folder, never over a file.
  const std::string Output = output::MakeOutputName(output::PathInFolder("", Source), Ext,
                                                    output::FormatLabel(Preset.ItemText));
  if (!Converter.SetOutputFile(Index, Output, &Options)) return Fail(Converter.LastError());

  // The events come on the task's worker thread.
  Converter.OnProgress = [](int, int Frame, int Fps, int DurationMs, float, float BitRate,
                            int64_t Size, int TotalMs) {
    std::printf("progress: frame %d, %d fps, %.1f s of %.1f s, %lld bytes, %.0f kbit/s\n", Frame,
                Fps, DurationMs / 1000.0, TotalMs / 1000.0, static_cast<long long>(Size), BitRate);
  };
  bool Converted = false;
  std::string Error;
  std::promise<void> Done;
  Converter.OnTerminate = [&](int Task, bool Finished, bool Exception, const std::string& Message) {
    if (Task >= 0) {
      Converted = Finished && !Exception;
      Error = Message;
    } else {
      Done.set_value();  // the end of the whole run
    }
  };

  // One task at a time, each on a worker thread of its own.
  if (!Converter.Start(1)) return Fail(Converter.LastError());
  Done.get_future().wait();
  if (!Converted) return Fail(Source + ": " + (Error.empty() ? "stopped" : Error));
  std::printf("%s -> %s\n", Source.c_str(), Output.c_str());
  return 0;
}
