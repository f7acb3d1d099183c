// --json: the progress and the result of each conversion as one JSON object
// a line on standard output, for scripts and other front ends.
//
// Every line has the members file, percent, frame, fps, elapsed, eta,
// output, status and error. status is "converting" while a file runs, then
// "done", "failed", "stopped" (output names what was kept) or "canceled"
// (stopped before it began). percent, eta and the others are null where they
// are not known. File names that are not valid UTF-8 cannot be JSON strings:
// file and output then hold the name with each such byte replaced by U+FFFD,
// and file_hex / output_hex the name's exact bytes in hexadecimal.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "batch/ConversionJob.h"

namespace vexav::cli {

// What one line reports.
struct JsonRecord {
  std::string File;
  std::string Status;
  std::optional<batch::ProgressInfo> Progress;  // the last progress of the file
  std::optional<double> ElapsedSeconds;  // since the file began
  std::string Output;                    // "" when there is none
  std::string Error;                     // "" when there is none
};

// The record as one line of JSON, without the line break.
std::string JsonLine(const JsonRecord& Record);

// The time left of a conversion that has taken Elapsed seconds for the part
// Info tells of: from the rate so far, once 2 s or 1% have passed; nothing
// before, or without a known length.
std::optional<double> SecondsLeft(const batch::ProgressInfo& Info, double Elapsed);

// Writes lines to Out, whole, from any thread.
class JsonReporter {
 public:
  explicit JsonReporter(std::FILE* Out) : Out(Out) {}
  void Write(const JsonRecord& Record);

 private:
  std::FILE* Out;
  std::mutex Lock;
};

// The wall time of one file's conversion.
class FileClock {
 public:
  void Start() { Began = std::chrono::steady_clock::now(); }
  void StartAt(std::chrono::steady_clock::time_point When) { Began = When; }
  bool Started() const { return Began.has_value(); }
  double Seconds() const {
    if (!Began) return 0.0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - *Began).count();
  }

 private:
  std::optional<std::chrono::steady_clock::time_point> Began;
};

}  // namespace vexav::cli
