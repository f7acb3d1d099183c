// libFuzzer target: the files the cluster front end reads back from a batch,
// written by tasks on other machines and so possibly truncated, garbage or
// huge. The bytes are written, in pieces, to a task's report file, and the
// front end's reader polls it after each piece as it does while the task
// runs, then checks it as complete; each line is also parsed on its own; and
// the whole bytes are read as the batch's job.json. Every outcome is a
// record or an error text, never a crash, hang or leak.
//
// The first byte sets the size of the pieces, so that lines are seen cut at
// every place.
//
// VEXAV_FUZZ_WRITE_SEEDS=DIR writes the seed inputs into DIR and exits:
// reports as tasks write them, and a job.json as the front end writes it.
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "TextTarget.h"
#include "batch/cluster/JobFolder.h"

namespace {

using namespace vexav::batch::cluster;
namespace fs = std::filesystem;

std::string Folder;

void WriteSeeds(const fs::path& Dir) {
  fs::create_directories(Dir);
  ReportRecord Start;
  Start.Host = "node1";
  Start.StartedMs = 1700000000000;
  ReportRecord Progress;
  Progress.Type = ReportRecord::Kind::Progress;
  Progress.Ms = 1500;
  Progress.TotalMs = 4000;
  Progress.Frame = 37;
  Progress.Fps = 24;
  ReportRecord Done;
  Done.Type = ReportRecord::Kind::Result;
  Done.Status = "done";
  Done.Message = "";
  Done.Output = "/data/out/clip \"1\".mp4";
  ReportRecord Failed = Done;
  Failed.Status = "failed";
  Failed.Message = "Error: could not open \xc3\xa9\\file";
  Failed.Output = "";
  const std::string Report =
      "\x10" + ReportLine(Start) + "\n" + ReportLine(Progress) + "\n" + ReportLine(Done) + "\n";
  std::ofstream(Dir / "report-done", std::ios::binary) << Report;
  std::ofstream(Dir / "report-failed", std::ios::binary)
      << "\x03" + ReportLine(Start) + "\n" + ReportLine(Failed) + "\n";
  std::ofstream(Dir / "report-cut", std::ios::binary)
      << "\x07" + ReportLine(Start) + "\n" + ReportLine(Progress).substr(0, 12);

  Manifest M;
  M.Folder = (Dir / "job").string();
  M.JobName = "vexav";
  M.Program = "/usr/bin/vexav-convert";
  M.Queue = "debug";
  M.SchedulerOptions = {"--time=5"};
  PlannedFile F;
  F.Source = "/data/in/a.avi";
  F.Given = "in/a.avi";
  F.Plan.Final = "/data/out/a.mp4";
  F.Plan.WriteTo = "/data/out/a.mp4.part";
  // A second file converted in segments, so that the pieces are read too.
  PlannedFile Segmented = F;
  Segmented.WorkFolder = "/data/out/.vexav-seg-abcdef";
  Segmented.DurationUs = 600000000;
  std::string PlanError;
  std::vector<int64_t> Pictures;  // 25 frames/s
  for (int64_t T = 0; T < Segmented.DurationUs; T += 40000) Pictures.push_back(T);
  Segmented.Segments = vexav::batch::segments::MakeSegmentPlan(
      {{"vcodec", "libx264"}, {"r", "29.97"}, {"acodec", "libfaac"}}, Segmented.DurationUs, 3, true,
      Pictures, PlanError);
  M.Files = {F, Segmented};
  M.Tasks = TasksOfFiles(M.Files);
  M.Tasks[0].JobId = "12_0";
  M.MadeFolders = {"/data/out"};
  std::string Error;
  fs::create_directories(M.Folder);
  if (SaveManifest(M, Error))
    fs::copy_file(ManifestPath(M.Folder), Dir / "job.json", fs::copy_options::overwrite_existing);
  fs::remove_all(M.Folder);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Folder = vexav::fuzz::StartTextTarget(WriteSeeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Bytes(reinterpret_cast<const char*>(Data), Size);
  const std::size_t Piece = Size > 0 ? 1 + static_cast<unsigned char>(Bytes[0]) : 1;

  const std::string Path = ReportPath(Folder, 0);
  { std::ofstream(Path, std::ios::binary | std::ios::trunc); }
  ReportReader Reader(Path);
  for (std::size_t At = 0; At < Size; At += Piece) {
    std::ofstream(Path, std::ios::binary | std::ios::app) << Bytes.substr(At, Piece);
    Reader.Poll();
  }
  Reader.CheckComplete();
  if (Size > 0 && Reader.Error().empty() && Bytes.back() != '\n') std::abort();

  std::size_t Start = 0;
  while (Start < Size) {
    const std::size_t End = std::min(Bytes.find('\n', Start), Size);
    std::string Error;
    if (!ParseReportLine(std::string(Bytes.substr(Start, End - Start)), Error) && Error.empty())
      std::abort();
    Start = End + 1;
  }

  std::ofstream(ManifestPath(Folder), std::ios::binary | std::ios::trunc) << Bytes;
  std::string Error;
  if (!LoadManifest(Folder, Error) && Error.empty()) std::abort();
  return 0;
}
