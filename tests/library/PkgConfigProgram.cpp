// Built by the library tests with nothing but what `pkg-config --cflags
// --libs vexav` gives: every public header, the component made and given the
// file named on the command line as a task, and what the task's probe found.
// The exception of a probe without libraries is caught by its own type,
// whose type information only the library has.
#include <vexav/component/AVProbe.h>
#include <vexav/component/FFmpegList.h>
#include <vexav/component/OptionRecords.h>
#include <vexav/component/OutputNaming.h>
#include <vexav/component/Presets.h>
#include <vexav/component/VexAVConverter.h>
#include <vexav/component/runtime/OwnerDispatcher.h>
#include <vexav/engine/HookBitmap.h>

#include <cstdio>
#include <string>

int main(int argc, char* argv[]) {
  if (argc != 2) return 2;
  try {
    vexav::TAVProbe::CheckLibraries();
    std::printf("libraries bound before loading\n");
  } catch (const vexav::ELibraryNotLoaded& E) {
    std::printf("not loaded: %s\n", E.what());
  }
  vexav::TVexAVConverter Converter;
  if (!Converter.LoadLibraries("")) {
    std::printf("load failed: %s\n", Converter.LastError().c_str());
    return 1;
  }
  const int Index = Converter.AddInputFile(argv[1]);
  if (Index < 0) {
    std::printf("add failed: %s\n", Converter.LastError().c_str());
    return 1;
  }
  const vexav::TAVProbe& Probe = *Converter.TaskProbe(Index);
  vexav::TVideoStreamInfo Video;
  Probe.GetDefaultVideoInfo(Video);
  std::printf("tasks %d\n", Converter.Tasks().Count());
  std::printf("video %d audio %d\n", Probe.VideoStreamCount(), Probe.AudioStreamCount());
  std::printf("picture %dx%d\n", Video.Width, Video.Height);
  const std::string Output = vexav::output::MakeOutputName(
      "clip.avi", ".mp4", "MPEG-4 Video", [](const std::string&) { return false; });
  std::printf("output %s\n", Output.c_str());
  return 0;
}
