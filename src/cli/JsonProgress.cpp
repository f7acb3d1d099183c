#include "cli/JsonProgress.h"

#include <cmath>

#include "batch/Json.h"

namespace vexav::cli {

using batch::Json;
using batch::ProgressInfo;
using batch::PutFileName;

namespace {

// Seconds rounded to milliseconds, which is all a script needs.
double Rounded(double Seconds) {
  return std::round(Seconds * 1000.0) / 1000.0;
}

// Puts Name under Key (null when there is none), with Key + "_hex" when it
// is not valid UTF-8.
void PutName(Json& Line, const char* Key, const std::string& Name) {
  if (Name.empty()) {
    Line[Key] = nullptr;
    return;
  }
  PutFileName(Line, Key, Name);
}

}  // namespace

std::optional<double> SecondsLeft(const ProgressInfo& Info, double Elapsed) {
  if (Info.TotalOutputDurationMs <= 0 || Info.CurrentDurationMs <= 0) return std::nullopt;
  const double Done =
      std::min(1.0, static_cast<double>(Info.CurrentDurationMs) / Info.TotalOutputDurationMs);
  if (Elapsed < 2.0 && Done < 0.01) return std::nullopt;
  return Elapsed * (1.0 - Done) / Done;
}

std::string JsonLine(const JsonRecord& Record) {
  Json Line = Json::object();
  PutName(Line, "file", Record.File);
  Line["percent"] = nullptr;
  Line["frame"] = nullptr;
  Line["fps"] = nullptr;
  Line["elapsed"] = nullptr;
  Line["eta"] = nullptr;
  if (Record.Progress) {
    const ProgressInfo& P = *Record.Progress;
    // A file that is done is done whole, whatever its last report said.
    if (P.TotalOutputDurationMs > 0)
      Line["percent"] =
          Record.Status == "done"
              ? int64_t{100}
              : std::min<int64_t>(
                    std::max<int64_t>(P.CurrentDurationMs, 0) * 100 / P.TotalOutputDurationMs, 100);
    if (P.FrameNumber >= 0) Line["frame"] = P.FrameNumber;
    if (P.Fps >= 0) Line["fps"] = P.Fps;
  }
  if (Record.ElapsedSeconds) {
    Line["elapsed"] = Rounded(*Record.ElapsedSeconds);
    if (Record.Progress && Record.Status == "converting")
      if (const auto Left = SecondsLeft(*Record.Progress, *Record.ElapsedSeconds))
        Line["eta"] = Rounded(*Left);
  }
  PutName(Line, "output", Record.Output);
  Line["status"] = Record.Status;
  if (Record.Error.empty())
    Line["error"] = nullptr;
  else
    Line["error"] = Record.Error;
  return Line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void JsonReporter::Write(const JsonRecord& Record) {
  const std::string Text = JsonLine(Record) + "\n";
  std::lock_guard<std::mutex> Guard(Lock);
  std::fputs(Text.c_str(), Out);
  std::fflush(Out);
}

}  // namespace vexav::cli
