// vexav-convert --probe: what each media file holds, as one JSON object a
// line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vexav {
class TAVProbe;
}

namespace vexav::cli {

// The JSON object (one line, no line break) describing the file Probe has
// open; File is the name it is reported under.
std::string ProbeJson(const TAVProbe& Probe, const std::string& File);

// A message of several lines as one: each line break, with the indentation
// after it, becomes a single space.
std::string OneLine(const std::string& Text);

// "File: Reason" on one line (OneLine), without doubling the name when
// Reason starts with it already; "unknown error" stands for an empty Reason.
std::string FileMessage(const std::string& File, const std::string& Reason);

// Probes every file in turn (the media libraries must be bound): a JSON line
// on Out for each file that opens, a "FILE: reason" line on Err for each
// that does not. Returns 0 when every file opened, otherwise 1.
int RunProbe(const std::vector<std::string>& Files, std::FILE* Out, std::FILE* Err);

}  // namespace vexav::cli
