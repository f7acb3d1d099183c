#include "batch/cluster/JobFolder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "batch/Json.h"
#include "component/Presets.h"

namespace vexav::batch::cluster {
namespace {

constexpr const char* ManifestKind = "vexav-convert batch";
constexpr int ManifestVersion = 4;
// The version before had one sound piece over the whole source (no sound
// grid, no samples); it is still read, and its files end as they did.
constexpr int WholeSoundVersion = 3;
// The version before named no scheduler (Slurm was the only one) and kept
// its options under names of their own; it is still read.
constexpr int SlurmOnlyVersion = 2;
// A report line longer than this is not one this program wrote.
constexpr std::size_t MaxLine = 64 * 1024;

std::string Dump(const Json& Value) {
  return JsonText(Value);
}

// Paths are bytes, JSON strings are UTF-8: a path that is not UTF-8 is also
// kept as its bytes in hexadecimal under Key + "_hex" (PutFileName), and read
// back from there, so that a source or output with such a name keeps it on
// its way through the job folder.
void PutPath(Json& Doc, const std::string& Key, const std::string& Path) {
  PutFileName(Doc, Key, Path);
}

std::string GetPath(const Json& Doc, const std::string& Key) {
  const auto Hex = Doc.find(Key + "_hex");
  if (Hex == Doc.end()) return Doc.at(Key).get<std::string>();
  const std::string Digits = Hex->get<std::string>();
  if (Digits.size() % 2 != 0) throw std::runtime_error("'" + Key + "_hex' is not hexadecimal");
  std::string Bytes;
  Bytes.reserve(Digits.size() / 2);
  auto Value = [&](char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    throw std::runtime_error("'" + Key + "_hex' is not hexadecimal");
  };
  for (std::size_t I = 0; I < Digits.size(); I += 2)
    Bytes += static_cast<char>(Value(Digits[I]) * 16 + Value(Digits[I + 1]));
  return Bytes;
}

// A whole number under Key within Low..High. The library would convert a
// fraction or a number too large for the type without a word (a double past
// the range is undefined behaviour), and these files come from other
// machines: anything but a whole number in range is an error.
int64_t GetInteger(const Json& Doc, const std::string& Key, int64_t Low, int64_t High) {
  const Json& Value = Doc.at(Key);
  bool InRange = false;
  int64_t Number = 0;
  if (Value.is_number_unsigned()) {
    const uint64_t Unsigned = Value.get<uint64_t>();
    InRange = Unsigned <= static_cast<uint64_t>(High);
    Number = InRange ? static_cast<int64_t>(Unsigned) : 0;
  } else if (Value.is_number_integer()) {
    Number = Value.get<int64_t>();
    InRange = true;
  } else {
    throw std::runtime_error("'" + Key + "' is not a whole number");
  }
  if (!InRange || Number < Low || Number > High)
    throw std::runtime_error("'" + Key + "' is out of range");
  return Number;
}

int GetInt(const Json& Doc, const std::string& Key) {
  return static_cast<int>(
      GetInteger(Doc, Key, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

Json OptionsJson(const std::vector<segments::TEngineOption>& Options) {
  Json List = Json::array();
  for (const segments::TEngineOption& Option : Options)
    List.push_back(Json{{"name", Option.Name}, {"value", Option.Value}});
  return List;
}

std::vector<segments::TEngineOption> OptionsFrom(const Json& List) {
  std::vector<segments::TEngineOption> Options;
  for (const Json& Option : List)
    Options.push_back(
        {Option.at("name").get<std::string>(), Option.at("value").get<std::string>()});
  return Options;
}

Json SegmentsJson(const PlannedFile& F) {
  Json Doc = Json::object();
  PutPath(Doc, "work_folder", F.WorkFolder);
  Doc["duration_us"] = F.DurationUs;
  Doc["rate_num"] = F.Segments.Rate.Num;
  Doc["rate_den"] = F.Segments.Rate.Den;
  const segments::SoundGrid& Sound = F.Segments.Sound;
  if (Sound.InPieces()) {
    Doc["sound_rate"] = Sound.Rate;
    Doc["sound_frame"] = Sound.FrameSamples;
    Doc["sound_priming"] = Sound.Priming;
  }
  Json Pieces = Json::array();
  for (const segments::Piece& P : F.Segments.Pieces) {
    Json Piece = Json::object();
    Piece["kind"] = P.Type == segments::Piece::Kind::Sound ? "sound" : "picture";
    Piece["number"] = P.Number;
    Piece["file"] = P.FileName;
    Piece["input_options"] = OptionsJson(P.InputOptions);
    Piece["output_options"] = OptionsJson(P.OutputOptions);
    Piece["first_frame"] = P.FirstFrame;
    Piece["frames"] = P.Frames;
    Piece["lead_frames"] = P.LeadFrames;
    Piece["span_us"] = P.SpanUs;
    if (P.Type == segments::Piece::Kind::Sound && Sound.InPieces()) {
      Piece["first_sample"] = P.FirstSample;
      Piece["samples"] = P.Samples;
      Piece["lead_samples"] = P.LeadSamples;
    }
    Pieces.push_back(std::move(Piece));
  }
  Doc["pieces"] = std::move(Pieces);
  return Doc;
}

// The pieces are written into the work folder under their names, so a
// name must be a plain file name there.
bool IsPlainName(const std::string& Name) {
  return !Name.empty() && Name != "." && Name != ".." && Name.find('/') == std::string::npos &&
         Name.find('\0') == std::string::npos;
}

void ReadSegments(const Json& Doc, PlannedFile& F) {
  constexpr int64_t Most = std::numeric_limits<int64_t>::max();
  F.WorkFolder = GetPath(Doc, "work_folder");
  if (F.WorkFolder.empty() || F.WorkFolder.front() != '/')
    throw std::runtime_error("'work_folder' is not an absolute path");
  F.DurationUs = GetInteger(Doc, "duration_us", 1, Most);
  F.Segments.Rate.Num = GetInteger(Doc, "rate_num", 1, Most);
  F.Segments.Rate.Den = GetInteger(Doc, "rate_den", 1, Most);
  segments::SoundGrid& Sound = F.Segments.Sound;
  if (Doc.contains("sound_rate")) {
    Sound.Rate = static_cast<int>(GetInteger(Doc, "sound_rate", 1, 1000000));
    Sound.FrameSamples = static_cast<int>(GetInteger(Doc, "sound_frame", 1, 1000000));
    Sound.Priming = static_cast<int>(GetInteger(Doc, "sound_priming", 0, 1000000));
  }
  bool SoundSeen = false;
  for (const Json& Item : Doc.at("pieces")) {
    segments::Piece P;
    const std::string Kind = Item.at("kind").get<std::string>();
    // The pictures, then the sound: one piece over the whole source, or
    // pieces on the sound's grid.
    if ((SoundSeen && (Kind != "sound" || !Sound.InPieces())) ||
        (Kind != "picture" && Kind != "sound"))
      throw std::runtime_error("a piece is neither a picture segment nor the sound");
    SoundSeen = Kind == "sound";
    P.Type = SoundSeen ? segments::Piece::Kind::Sound : segments::Piece::Kind::Picture;
    P.Number = GetInt(Item, "number");
    P.FileName = Item.at("file").get<std::string>();
    if (!IsPlainName(P.FileName)) throw std::runtime_error("a piece's file is not a plain name");
    P.InputOptions = OptionsFrom(Item.at("input_options"));
    P.OutputOptions = OptionsFrom(Item.at("output_options"));
    P.FirstFrame = GetInteger(Item, "first_frame", 0, Most);
    P.Frames = GetInteger(Item, "frames", -1, Most);
    P.LeadFrames = GetInteger(Item, "lead_frames", 0, Most);
    P.SpanUs = GetInteger(Item, "span_us", -1, Most);
    if (SoundSeen && Sound.InPieces()) {
      P.FirstSample = GetInteger(Item, "first_sample", 0, Most);
      P.Samples = GetInteger(Item, "samples", -1, Most);
      P.LeadSamples = GetInteger(Item, "lead_samples", 0, P.FirstSample);
    }
    F.Segments.Pieces.push_back(std::move(P));
  }
  if (F.Segments.Segments() < 1) throw std::runtime_error("a segmented file has no segment");
}

bool WriteAll(int Fd, const std::string& Text) {
  std::size_t Done = 0;
  while (Done < Text.size()) {
    const ssize_t N = ::write(Fd, Text.data() + Done, Text.size() - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Done += static_cast<std::size_t>(N);
  }
  return true;
}

}  // namespace

std::vector<PlannedTask> TasksOfFiles(const std::vector<PlannedFile>& Files) {
  std::vector<PlannedTask> Tasks;
  for (std::size_t I = 0; I < Files.size(); ++I) {
    const int File = static_cast<int>(I);
    if (!Files[I].Segmented()) {
      Tasks.push_back(PlannedTask{File, -1, "", 1, {}});
      continue;
    }
    // The sound first: its pieces are short runs that then fill the nodes
    // while the last segments end, rather than being the last pieces to end.
    const segments::SegmentPlan& Plan = Files[I].Segments;
    for (int S = 0; S < Plan.SoundPieces(); ++S)
      Tasks.push_back(PlannedTask{File, Plan.FirstSoundPiece() + S, "", 1, {}});
    for (int P = 0; P < Plan.Segments(); ++P) Tasks.push_back(PlannedTask{File, P, "", 1, {}});
  }
  return Tasks;
}

std::string ReportPath(const std::string& Folder, std::size_t Index) {
  return Folder + "/task-" + std::to_string(Index) + ".jsonl";
}
std::string ScriptPath(const std::string& Folder) {
  return Folder + "/task.sh";
}
std::string ManifestPath(const std::string& Folder) {
  return Folder + "/job.json";
}
std::string CancelMarkerPath(const std::string& Folder) {
  return Folder + "/cancelled";
}
bool MarkCancelled(const std::string& Folder) {
  const int Fd =
      ::open(CancelMarkerPath(Folder).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_TRUNC, 0644);
  if (Fd < 0) return false;
  ::close(Fd);
  return true;
}
bool WasCancelled(const std::string& Folder) {
  return ::access(CancelMarkerPath(Folder).c_str(), F_OK) == 0;
}

namespace {
std::string GivenUpPath(const std::string& Folder, const std::string& Attempt) {
  std::string Name = "given-up-";
  for (char C : Attempt) Name += C == '/' ? '_' : C;
  return Folder + "/" + Name;
}
}  // namespace

bool MarkGivenUp(const std::string& Folder, const std::string& Attempt) {
  const int Fd =
      ::open(GivenUpPath(Folder, Attempt).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_TRUNC, 0644);
  if (Fd < 0) return false;
  ::close(Fd);
  return true;
}

bool IsGivenUp(const std::string& Folder, const std::string& Attempt) {
  return ::access(ManifestPath(Folder).c_str(), F_OK) != 0 ||
         ::access(GivenUpPath(Folder, Attempt).c_str(), F_OK) == 0;
}

TaskRequest RequestOf(const Manifest& M) {
  TaskRequest Request;
  Request.JobName = M.JobName;
  Request.Folder = M.Folder;
  Request.Script = ScriptPath(M.Folder);
  Request.CpusPerTask = M.CpusPerTask;
  Request.Queue = M.Queue;
  Request.Options = M.SchedulerOptions;
  return Request;
}

bool SaveManifest(const Manifest& M, std::string& Error) {
  Json Doc;
  Doc["kind"] = ManifestKind;
  Doc["version"] = ManifestVersion;
  Doc["scheduler"] = M.Scheduler;
  Doc["job_name"] = M.JobName;
  PutPath(Doc, "program", M.Program);
  Doc["cpus_per_task"] = M.CpusPerTask;
  Doc["retries"] = M.Retries;
  Doc["queue"] = M.Queue;
  Doc["scheduler_options"] = M.SchedulerOptions;
  Doc["preset"] = output::FormatLabel(M.Preset.Preset().ItemText);
  Doc["max_height"] = M.Preset.MaxHeight;
  Json Files = Json::array();
  for (const PlannedFile& F : M.Files) {
    Json File = Json::object();
    PutPath(File, "source", F.Source);
    if (F.Given != F.Source) PutPath(File, "given", F.Given);
    PutPath(File, "final", F.Plan.Final);
    PutPath(File, "write_to", F.Plan.WriteTo);
    File["replaces"] = F.Plan.Replaces;
    if (F.Segmented()) File["segments"] = SegmentsJson(F);
    Files.push_back(std::move(File));
  }
  Doc["files"] = std::move(Files);
  Json Tasks = Json::array();
  for (const PlannedTask& T : M.Tasks) {
    Json Task{{"file", T.File}, {"piece", T.Piece}, {"job_id", T.JobId}, {"attempts", T.Attempts}};
    // Only when there were any: a batch without retries reads as before.
    if (!T.EarlierIds.empty()) Task["earlier_job_ids"] = T.EarlierIds;
    Tasks.push_back(std::move(Task));
  }
  Doc["tasks"] = std::move(Tasks);
  Json Made = Json::array();
  for (const std::string& Folder : M.MadeFolders) {
    Json Item = Json::object();
    PutPath(Item, "folder", Folder);
    Made.push_back(std::move(Item));
  }
  Doc["made_folders"] = std::move(Made);
  const std::string Path = ManifestPath(M.Folder);
  const std::string Temporary = Path + ".new";
  const int Fd = ::open(Temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (Fd < 0) {
    Error = Temporary + ": " + std::strerror(errno);
    return false;
  }
  const bool Written = WriteAll(Fd, Dump(Doc) + "\n") && ::fsync(Fd) == 0;
  const int SavedErrno = errno;
  ::close(Fd);
  if (!Written || ::rename(Temporary.c_str(), Path.c_str()) != 0) {
    Error = Path + ": " + std::strerror(Written ? errno : SavedErrno);
    ::unlink(Temporary.c_str());
    return false;
  }
  return true;
}

std::optional<Manifest> LoadManifest(const std::string& Folder, std::string& Error) {
  const std::string Path = ManifestPath(Folder);
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    Error = Path + ": " + std::strerror(errno) + " (not a job folder of vexav-convert?)";
    return std::nullopt;
  }
  std::stringstream Text;
  Text << In.rdbuf();
  const Json Doc = Json::parse(Text.str(), nullptr, false);
  try {
    if (Doc.is_discarded() || !Doc.is_object() || Doc.value("kind", "") != ManifestKind)
      throw std::runtime_error("not a batch description of vexav-convert");
    const int Version = GetInt(Doc, "version");
    if (Version != ManifestVersion && Version != WholeSoundVersion &&
        Version != SlurmOnlyVersion)
      throw std::runtime_error("written by another version of vexav-convert");
    const bool Old = Version == SlurmOnlyVersion;
    Manifest M;
    M.Folder = Folder;
    M.Scheduler = Old ? std::string("slurm") : Doc.at("scheduler").get<std::string>();
    M.JobName = Doc.at("job_name").get<std::string>();
    M.Program = GetPath(Doc, "program");
    M.CpusPerTask = GetInt(Doc, "cpus_per_task");
    M.Retries = GetInt(Doc, "retries");
    M.Queue = Doc.at(Old ? "partition" : "queue").get<std::string>();
    M.SchedulerOptions =
        Doc.at(Old ? "slurm_options" : "scheduler_options").get<std::vector<std::string>>();
    if (Doc.contains("preset")) {
      const std::string Label = Doc.at("preset").get<std::string>();
      const output::TFormatPreset* Preset = output::FindFormatByLabel(Label);
      if (!Preset) throw std::runtime_error("its preset '" + Label + "' is not one of this program");
      M.Preset.Format = static_cast<int>(Preset - output::kFormats.data());
    }
    if (Doc.contains("max_height")) {
      M.Preset.MaxHeight = GetInt(Doc, "max_height");
      if (M.Preset.MaxHeight != 0 && (M.Preset.MaxHeight < output::kMinMaxHeight ||
                                      M.Preset.MaxHeight > output::kMaxMaxHeight))
        throw std::runtime_error("its size limit is out of range");
    }
    for (const Json& F : Doc.at("files")) {
      PlannedFile File;
      File.Source = GetPath(F, "source");
      File.Given = F.contains("given") ? GetPath(F, "given") : File.Source;
      File.Plan.Final = GetPath(F, "final");
      File.Plan.WriteTo = GetPath(F, "write_to");
      File.Plan.Replaces = F.at("replaces").get<bool>();
      File.Plan.Reserved = true;
      if (F.contains("segments")) ReadSegments(F.at("segments"), File);
      M.Files.push_back(std::move(File));
    }
    for (const Json& T : Doc.at("tasks")) {
      PlannedTask Task;
      Task.File =
          static_cast<int>(GetInteger(T, "file", 0, static_cast<int64_t>(M.Files.size()) - 1));
      const PlannedFile& File = M.Files[Task.File];
      const int64_t Pieces = static_cast<int64_t>(File.Segments.Pieces.size());
      Task.Piece = static_cast<int>(File.Segmented() ? GetInteger(T, "piece", 0, Pieces - 1)
                                                     : GetInteger(T, "piece", -1, -1));
      Task.JobId = T.at("job_id").get<std::string>();
      Task.Attempts = GetInt(T, "attempts");
      if (T.contains("earlier_job_ids"))
        Task.EarlierIds = T.at("earlier_job_ids").get<std::vector<std::string>>();
      M.Tasks.push_back(std::move(Task));
    }
    if (Doc.contains("made_folders")) {
      for (const Json& Item : Doc.at("made_folders")) {
        std::string Folder = GetPath(Item, "folder");
        if (Folder.empty() || Folder.front() != '/')
          throw std::runtime_error("a made folder is not an absolute path");
        M.MadeFolders.push_back(std::move(Folder));
      }
    }
    return M;
  } catch (const std::exception& E) {
    Error = Path + ": " + E.what();
    return std::nullopt;
  }
}

std::string ReportLine(const ReportRecord& R) {
  Json Doc;
  switch (R.Type) {
    case ReportRecord::Kind::Start:
      Doc["event"] = "start";
      Doc["host"] = R.Host;
      if (R.StartedMs > 0) Doc["started_ms"] = R.StartedMs;
      break;
    case ReportRecord::Kind::Progress:
      Doc["event"] = "progress";
      Doc["ms"] = R.Ms;
      Doc["total_ms"] = R.TotalMs;
      if (R.Frame >= 0) Doc["frame"] = R.Frame;
      if (R.Fps >= 0) Doc["fps"] = R.Fps;
      break;
    case ReportRecord::Kind::Result:
      Doc["event"] = "result";
      Doc["status"] = R.Status;
      Doc["message"] = R.Message;
      PutPath(Doc, "output", R.Output);
      if (R.ElapsedMs >= 0) Doc["elapsed_ms"] = R.ElapsedMs;
      break;
  }
  return Dump(Doc);
}

std::optional<ReportRecord> ParseReportLine(const std::string& Line, std::string& Error) {
  const Json Doc = Json::parse(Line, nullptr, false);
  if (Doc.is_discarded() || !Doc.is_object()) {
    Error = "not JSON";
    return std::nullopt;
  }
  try {
    ReportRecord R;
    const std::string Event = Doc.at("event").get<std::string>();
    constexpr int64_t Least = std::numeric_limits<int64_t>::min();
    constexpr int64_t Most = std::numeric_limits<int64_t>::max();
    constexpr int64_t IntMost = std::numeric_limits<int>::max();
    if (Event == "start") {
      R.Type = ReportRecord::Kind::Start;
      R.Host = Doc.at("host").get<std::string>();
      if (Doc.contains("started_ms")) R.StartedMs = GetInteger(Doc, "started_ms", 0, Most);
    } else if (Event == "progress") {
      R.Type = ReportRecord::Kind::Progress;
      R.Ms = GetInteger(Doc, "ms", Least, Most);
      R.TotalMs = GetInteger(Doc, "total_ms", Least, Most);
      // The display takes them as int.
      if (Doc.contains("frame")) R.Frame = GetInteger(Doc, "frame", 0, IntMost);
      if (Doc.contains("fps")) R.Fps = GetInteger(Doc, "fps", 0, IntMost);
    } else if (Event == "result") {
      R.Type = ReportRecord::Kind::Result;
      R.Status = Doc.at("status").get<std::string>();
      R.Message = Doc.at("message").get<std::string>();
      R.Output = GetPath(Doc, "output");
      if (Doc.contains("elapsed_ms")) R.ElapsedMs = GetInteger(Doc, "elapsed_ms", 0, Most);
      if (R.Status != "done" && R.Status != "failed" && R.Status != "stopped")
        throw std::runtime_error("unknown status '" + R.Status + "'");
      if (R.Status == "done" && R.Output.empty())
        throw std::runtime_error("a finished task names no output");
    } else {
      throw std::runtime_error("unknown event '" + Event + "'");
    }
    return R;
  } catch (const std::exception& E) {
    Error = E.what();
    return std::nullopt;
  }
}

// Reads the file piece by piece and takes the complete lines of each piece
// before the next, so that what is held stays within one line's limit
// however much a task (or something else) wrote: a report that is one
// endless line, or a file that never ends, fails at MaxLine instead of
// filling memory.
std::vector<ReportRecord> ReportReader::Poll() {
  std::vector<ReportRecord> Records;
  if (!Failure.empty()) return Records;
  const int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return Records;  // not written yet
  char Buffer[16384];
  while (Failure.empty()) {
    const ssize_t N = ::pread(Fd, Buffer, sizeof Buffer, static_cast<off_t>(Offset));
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) break;
    Offset += static_cast<uint64_t>(N);
    Pending.append(Buffer, static_cast<std::size_t>(N));
    TakeLines(Records);
  }
  ::close(Fd);
  return Records;
}

void ReportReader::TakeLines(std::vector<ReportRecord>& Records) {
  std::size_t Start = 0;
  for (;;) {
    const std::size_t End = Pending.find('\n', Start);
    if (End == std::string::npos) break;
    ++LineNumber;
    std::string Error;
    std::optional<ReportRecord> Record = ParseReportLine(Pending.substr(Start, End - Start), Error);
    if (!Record) {
      Failure = "its report is unreadable (line " + std::to_string(LineNumber) + ": " + Error + ")";
      Pending.clear();
      return;
    }
    Records.push_back(std::move(*Record));
    Start = End + 1;
  }
  Pending.erase(0, Start);
  if (Pending.size() > MaxLine) {
    Failure = "its report is unreadable (line " + std::to_string(LineNumber + 1) + " is too long)";
    Pending.clear();
  }
}

void ReportReader::CheckComplete() {
  if (Failure.empty() && !Pending.empty())
    Failure = "its report is unreadable (line " + std::to_string(LineNumber + 1) + " was cut off)";
}

void ReportReader::Reset() {
  Offset = 0;
  Pending.clear();
  LineNumber = 0;
  Failure.clear();
}

void RemoveJobFolder(const std::string& Folder) {
  std::error_code Ignored;
  std::filesystem::remove_all(Folder, Ignored);
}

}  // namespace vexav::batch::cluster
