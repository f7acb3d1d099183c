// vexav-soak: converts the same clips over and over in one long-lived
// process, as the window does with a list of files, and watches the
// process's resident memory, open descriptors and threads for growth.
//
//   vexav-soak --out DIR [--minutes M] [--sample-seconds S] [--stop-every N]
//              [--csv FILE] [--damaged FILE]... [--leak KIB] CLIP...
//
// Each round gives one converter component every CLIP and every damaged
// FILE as tasks with the MPEG-4 preset (vexav-convert's default mode), runs
// them two at a time (Start(2)) and waits for the run's final notice. Every
// CLIP must convert to a non-empty file in DIR, every damaged FILE must
// fail; the outputs are then deleted and the tasks cleared. Every N-th round
// (default 5) the run is stopped as soon as the first progress report
// arrives, so that the stop path is soaked too. At the first idle point
// between rounds, then every S seconds (default 60), the process reads
// /proc/self/status and /proc/self/fd: one line on standard output per
// sample, and one CSV row. After M minutes (default 60) the first and last
// windows are compared (SoakVerdict.h).
//
// --leak KIB is the soak's own check: every round then keeps KIB KiB of
// memory, one descriptor of /dev/null and one idle thread, which the
// verdict must catch.
//
// Exit status: 0 no growth and every round as expected; 1 growth, a round
// that went wrong, or too few samples to judge; 2 a usage error.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SoakVerdict.h"
#include "component/Presets.h"
#include "component/VexAVConverter.h"

namespace {

using namespace vexav;
using namespace vexav::soak;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Settings {
  double Minutes = 60;
  int SampleSeconds = 60;
  int StopEvery = 5;
  long LeakKiB = 0;
  std::string OutDir;
  std::string Csv;
  std::vector<std::string> Clips;
  std::vector<std::string> Damaged;
};

// A run that has not delivered its final notice after this long is hung.
constexpr auto RunTimeout = std::chrono::minutes(15);
// Failures printed in full; the later ones are only counted.
constexpr long FailuresShown = 20;

bool ParseArguments(int argc, char* argv[], Settings& S) {
  for (int I = 1; I < argc; ++I) {
    const std::string Arg = argv[I];
    const bool HasValue = I + 1 < argc;
    if (Arg == "--minutes" && HasValue)
      S.Minutes = std::atof(argv[++I]);
    else if (Arg == "--sample-seconds" && HasValue)
      S.SampleSeconds = std::atoi(argv[++I]);
    else if (Arg == "--stop-every" && HasValue)
      S.StopEvery = std::atoi(argv[++I]);
    else if (Arg == "--out" && HasValue)
      S.OutDir = argv[++I];
    else if (Arg == "--csv" && HasValue)
      S.Csv = argv[++I];
    else if (Arg == "--leak" && HasValue)
      S.LeakKiB = std::atol(argv[++I]);
    else if (Arg == "--damaged" && HasValue)
      S.Damaged.push_back(argv[++I]);
    else if (!Arg.empty() && Arg[0] != '-')
      S.Clips.push_back(Arg);
    else
      return false;
  }
  return !S.OutDir.empty() && !S.Clips.empty() && S.Minutes > 0 && S.SampleSeconds > 0 &&
         S.StopEvery >= 0 && S.LeakKiB >= 0;
}

// ---- Readings of the process ----------------------------------------------

long StatusField(const std::string& Text, const char* Name) {
  const size_t At = Text.find(std::string("\n") + Name + ":");
  return At == std::string::npos ? -1 : std::atol(Text.c_str() + At + std::strlen(Name) + 2);
}

int CountFds() {
  DIR* Dir = ::opendir("/proc/self/fd");
  if (!Dir) return -1;
  int Count = 0;
  while (const dirent* Entry = ::readdir(Dir))
    if (Entry->d_name[0] != '.') ++Count;
  ::closedir(Dir);
  return Count - 1;  // less the one of the listing itself
}

struct Reading {
  SoakSample Sample;
  long HwmKiB = 0;
};

Reading ReadOnce() {
  std::ifstream File("/proc/self/status");
  // A newline first, so that every field is found as "\nName:".
  std::string Text(1, '\n');
  Text.append(std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
  Reading R;
  R.Sample.RssKiB = StatusField(Text, "VmRSS");
  R.HwmKiB = StatusField(Text, "VmHWM");
  R.Sample.Threads = static_cast<int>(StatusField(Text, "Threads"));
  R.Sample.Fds = CountFds();
  return R;
}

// A reading at an idle point. A worker thread that has delivered its last
// notice may still be on its way out, so descriptors and threads are the
// lowest of ten readings 100 ms apart: what a leak holds stays in all ten.
Reading ReadIdle() {
  Reading Best = ReadOnce();
  for (int I = 0; I < 9; ++I) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const Reading R = ReadOnce();
    Best.Sample.Fds = std::min(Best.Sample.Fds, R.Sample.Fds);
    Best.Sample.Threads = std::min(Best.Sample.Threads, R.Sample.Threads);
    Best.Sample.RssKiB = R.Sample.RssKiB;
    Best.HwmKiB = R.HwmKiB;
  }
  return Best;
}

// ---- One round ------------------------------------------------------------

struct TaskRecord {
  std::string Source;
  std::string Output;
  bool Damaged = false;
  bool Ended = false;
  bool Finished = false;
  bool Exception = false;
  std::string Message;
};

struct Totals {
  long Rounds = 0;
  long Converted = 0;      // clips converted in full
  long Stopped = 0;        // tasks a stop ended or kept from starting
  long DamagedFailed = 0;  // damaged files that failed as they must
  long Failures = 0;       // anything that went otherwise
};

class Soak {
 public:
  Soak(const Settings& S) : S(S) { InstallEvents(); }
  bool Load(std::string& Error);
  void Round(bool StopPartWay);
  const Totals& Figures() const { return Sum; }

 private:
  void InstallEvents();
  void Failure(const std::string& Text);
  bool PresetOptions(int Index, const std::string& Source, TOutputOptions& Options,
                     std::string& Error);
  void AddTask(const std::string& Source, bool Damaged);
  void Check(const TaskRecord& Task);
  void ClearOutputs();

  const Settings& S;
  Totals Sum;
  std::mutex Lock;  // around the fields below
  std::condition_variable Signal;
  std::vector<TaskRecord> Tasks;  // by the component's index
  bool Done = false;
  bool Progressed = false;
  TVexAVConverter Converter;  // last: it goes first, before what its events use
};

bool Soak::Load(std::string& Error) {
  Converter.SetLogLevel(TLogLevel::llError);
  char Exe[4096] = {};
  const ssize_t Length = ::readlink("/proc/self/exe", Exe, sizeof Exe - 1);
  const std::string Folder = Length > 0 ? fs::path(Exe).parent_path().string() : std::string();
  if (!Converter.LoadLibraries(Folder.empty() ? Folder : Folder + "/lib")) {
    Error = Converter.LastError();
    return false;
  }
  Converter.SetProgressInterval(100);
  return true;
}

void Soak::InstallEvents() {
  Converter.OnProgress = [this](int, int, int, int, float, float, int64_t, int) {
    std::lock_guard<std::mutex> Guard(Lock);
    if (!Progressed) {
      Progressed = true;
      Signal.notify_all();
    }
  };
  // The engine's error lines: the last one of each task, for the report.
  Converter.OnLog = [this](int AIndex, TLogLevel, const std::string& AMsg) {
    std::lock_guard<std::mutex> Guard(Lock);
    if (AIndex >= 0 && AIndex < static_cast<int>(Tasks.size())) Tasks[AIndex].Message = AMsg;
  };
  Converter.OnTerminate = [this](int AIndex, bool AFinished, bool AException,
                                 const std::string& AMessage) {
    std::lock_guard<std::mutex> Guard(Lock);
    if (AIndex < 0) {
      Done = true;
      Signal.notify_all();
      return;
    }
    if (AIndex >= static_cast<int>(Tasks.size())) return;
    TaskRecord& Task = Tasks[AIndex];
    Task.Ended = true;
    Task.Finished = AFinished;
    Task.Exception = AException;
    if (!AMessage.empty()) Task.Message = AMessage;
  };
}

void Soak::Failure(const std::string& Text) {
  if (++Sum.Failures <= FailuresShown) std::printf("round %ld: %s\n", Sum.Rounds + 1, Text.c_str());
  if (Sum.Failures == FailuresShown) std::printf("(further failures are only counted)\n");
  std::fflush(stdout);
}

// The MPEG-4 preset's options for the task, as vexav-convert gives them.
bool Soak::PresetOptions(int Index, const std::string& Source, TOutputOptions& Options,
                         std::string& Error) {
  const output::TFormatPreset& Preset = output::kFormats[output::kDefaultFormatIndex];
  TAVProbe& Probe = *Converter.TaskProbe(Index);
  TAudioStreamInfo Audio;
  TVideoStreamInfo Video;
  if (Probe.VideoStreamCount() > 0) Probe.GetDefaultVideoInfo(Video);
  if (Probe.AudioStreamCount() > 0) Probe.GetDefaultAudioInfo(Audio);
  const std::string Ext = output::FormatExtension(Preset.ItemText);
  const bool AudioOnly = output::IsAudioOnly(Ext, Source) || Probe.VideoStreamCount() == 0;
  if (AudioOnly && Probe.AudioStreamCount() == 0) {
    Error = "no audio or video stream to convert";
    return false;
  }
  ResetOutputOptions(Options);
  for (const output::TEngineOption& Option :
       output::EngineOptions(output::MakeOutputSettings(&Preset, AudioOnly, Audio, Video))) {
    if (Option.Name == "async")
      Options.AudioSync = std::atoi(Option.Value.c_str());
    else if (Option.Name == "vsync")
      Options.VideoSync = std::atoi(Option.Value.c_str());
    else
      Options.ExtOptions += Option.Name + "=" + Option.Value + "\n";
  }
  return true;
}

void Soak::AddTask(const std::string& Source, bool Damaged) {
  const int Index = Converter.AddInputFile(Source);
  std::string Error = Index < 0 ? Converter.LastError() : std::string();
  TOutputOptions Options;
  const std::string Output = S.OutDir + "/" + fs::path(Source).stem().string() + ".mp4";
  bool Ready = Index >= 0 && PresetOptions(Index, Source, Options, Error);
  if (Ready && !Converter.SetOutputFile(Index, Output, &Options)) {
    Error = Converter.LastError();
    Ready = false;
  }
  if (!Ready) {
    if (Index >= 0) Converter.RemoveTask(Index);
    if (Damaged)
      ++Sum.DamagedFailed;
    else
      Failure(Source + ": cannot be set up: " + Error);
    return;
  }
  std::lock_guard<std::mutex> Guard(Lock);
  TaskRecord Task;
  Task.Source = Source;
  Task.Output = Output;
  Task.Damaged = Damaged;
  Tasks.push_back(Task);
}

void Soak::Check(const TaskRecord& Task) {
  std::error_code Code;
  const auto Size = fs::file_size(Task.Output, Code);
  const bool Written = !Code && Size > 0;
  if (!Task.Ended) return Failure(Task.Source + ": no termination notice");
  if (Task.Damaged) {
    if (Task.Exception || !Written)
      ++Sum.DamagedFailed;
    else
      Failure(Task.Source + ": a damaged file converted without an error");
    return;
  }
  if (Task.Exception) return Failure(Task.Source + ": " + Task.Message);
  if (!Task.Finished) {
    ++Sum.Stopped;
    return;
  }
  if (!Written) return Failure(Task.Source + ": finished, but " + Task.Output + " is empty");
  ++Sum.Converted;
}

void Soak::ClearOutputs() {
  std::error_code Code;
  for (const fs::directory_entry& Entry : fs::directory_iterator(S.OutDir, Code))
    fs::remove_all(Entry.path(), Code);
  if (Code || !fs::is_empty(S.OutDir, Code)) Failure("cannot empty " + S.OutDir);
}

void Soak::Round(bool StopPartWay) {
  {
    std::lock_guard<std::mutex> Guard(Lock);
    Tasks.clear();
    Done = false;
    Progressed = false;
  }
  for (const std::string& Clip : S.Clips) AddTask(Clip, false);
  for (const std::string& File : S.Damaged) AddTask(File, true);
  if (!Converter.Start(2)) {
    Failure("the run did not start: " + Converter.LastError());
  } else {
    std::unique_lock<std::mutex> Guard(Lock);
    if (StopPartWay) {
      Signal.wait_for(Guard, RunTimeout, [&] { return Progressed || Done; });
      Guard.unlock();
      Converter.Stop();
      Guard.lock();
    }
    if (!Signal.wait_for(Guard, RunTimeout, [&] { return Done; })) {
      // The component cannot be freed while its run goes on.
      std::printf("round %ld: the run has not ended after %d minutes: hung\n", Sum.Rounds + 1,
                  static_cast<int>(RunTimeout.count()));
      std::fflush(stdout);
      std::_Exit(1);
    }
  }
  Converter.ClearTasks();
  std::vector<TaskRecord> Ended;
  {
    std::lock_guard<std::mutex> Guard(Lock);
    Ended.swap(Tasks);
  }
  for (const TaskRecord& Task : Ended) Check(Task);
  ClearOutputs();
  ++Sum.Rounds;
}

// What --leak keeps each round: memory written to (so that it is resident)
// a descriptor and a thread, never freed, closed or ended.
void Leak(long KiB) {
  char* Block = new char[KiB * 1024];
  std::memset(Block, 1, KiB * 1024);
  static std::vector<char*> Kept;
  Kept.push_back(Block);
  if (std::fopen("/dev/null", "r") == nullptr) std::perror("vexav-soak: /dev/null");
  std::thread([] {
    for (;;) ::pause();
  }).detach();
}

// ---- Samples --------------------------------------------------------------

void Report(std::FILE* Csv, const Reading& R, const Totals& T) {
  const SoakSample& S = R.Sample;
  std::printf(
      "[%6.0f s] round %5ld  converted %6ld  stopped %5ld  failures %ld  rss %7.1f MiB"
      "  (peak %7.1f MiB)  fds %3d  threads %3d\n",
      S.Seconds, T.Rounds, T.Converted, T.Stopped, T.Failures, S.RssKiB / 1024.0, R.HwmKiB / 1024.0,
      S.Fds, S.Threads);
  std::fflush(stdout);
  if (!Csv) return;
  std::fprintf(Csv, "%.1f,%ld,%ld,%ld,%ld,%ld,%ld,%d,%d\n", S.Seconds, T.Rounds, T.Converted,
               T.Stopped, T.Failures, S.RssKiB, R.HwmKiB, S.Fds, S.Threads);
  std::fflush(Csv);
}

int Finish(const std::vector<SoakSample>& Samples, double RunSeconds, const Totals& T) {
  const Verdict V = Judge(Samples, RunSeconds);
  std::printf(
      "\n%ld rounds, %ld clips converted, %ld tasks stopped, %ld damaged files failed"
      " as expected, %ld failures; windows of %.0f s (first %d samples, last %d)\n",
      T.Rounds, T.Converted, T.Stopped, T.DamagedFailed, T.Failures, V.WindowSeconds,
      V.First.Samples, V.Last.Samples);
  for (const std::string& Line : V.Lines) std::printf("%s\n", Line.c_str());
  const bool Pass = V.Judged && !V.Grew && T.Failures == 0;
  std::printf("verdict: %s\n", Pass        ? "PASS"
                               : !V.Judged ? "FAIL (not judged)"
                               : V.Grew    ? "FAIL (growth)"
                                           : "FAIL (conversions went wrong)");
  return Pass ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  Settings S;
  if (!ParseArguments(argc, argv, S)) {
    std::fprintf(stderr,
                 "usage: vexav-soak --out DIR [--minutes M] [--sample-seconds S] [--stop-every N]"
                 " [--csv FILE] [--damaged FILE]... [--leak KIB] CLIP...\n");
    return 2;
  }
  std::error_code Code;
  fs::create_directories(S.OutDir, Code);
  std::FILE* Csv = S.Csv.empty() ? nullptr : std::fopen(S.Csv.c_str(), "w");
  if (!S.Csv.empty() && !Csv) {
    std::fprintf(stderr, "vexav-soak: cannot write %s\n", S.Csv.c_str());
    return 2;
  }
  if (Csv)
    std::fprintf(Csv, "seconds,round,converted,stopped,failures,rss_kib,hwm_kib,fds,threads\n");

  std::vector<SoakSample> Samples;
  Totals Final;
  double RunSeconds = 0;
  {
    Soak Run(S);
    std::string Error;
    if (!Run.Load(Error)) {
      std::fprintf(stderr, "vexav-soak: %s\n", Error.c_str());
      return 2;
    }
    const Clock::time_point Start = Clock::now();
    const auto Elapsed = [&] {
      return std::chrono::duration<double>(Clock::now() - Start).count();
    };
    const double Seconds = S.Minutes * 60;
    double NextSample = 0;
    while (Elapsed() < Seconds) {
      const long Number = Run.Figures().Rounds + 1;
      Run.Round(S.StopEvery > 0 && Number % S.StopEvery == 0);
      if (S.LeakKiB > 0) Leak(S.LeakKiB);
      if (Elapsed() < NextSample && Elapsed() < Seconds) continue;
      Reading R = ReadIdle();
      R.Sample.Seconds = Elapsed();
      Samples.push_back(R.Sample);
      Report(Csv, R, Run.Figures());
      while (NextSample <= R.Sample.Seconds) NextSample += S.SampleSeconds;
    }
    RunSeconds = Elapsed();
    Final = Run.Figures();
  }
  if (Csv) std::fclose(Csv);
  return Finish(Samples, RunSeconds, Final);
}
