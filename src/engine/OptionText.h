// Readers for the option values with a syntax of their own: stream maps,
// time-stamp scales, quantiser matrices, frame-hook command lines and
// target names. They only read text; the handlers decide what is stored.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/FFmpeg.h"

namespace vexav {

// "map": FileIndex, one separator character (any), StreamIndex, and
// optionally separator, SyncFileIndex, separator, SyncStreamIndex. Numbers
// are read like strtol with base 0 (decimal, "0x" hexadecimal, leading-zero
// octal). Without the sync part the map synchronises to itself.
StreamMap ParseStreamMap(const std::string& Text);
// "map_meta_data": OutFile, separator, InFile.
MetaDataMap ParseMetaDataMap(const std::string& Text);
// "itsscale": stream index (strtol, base 0), separator, scale (strtod).
void ParseTsScale(const std::string& Text, int64_t& StreamIndex, double& Scale);

// Fills Matrix from a comma-separated list of 64 integers: coefficient i is
// the integer at the start of the text at the current position (0 when
// none), kept as 16 bits; before each further coefficient the position
// moves past the next ",". Returns -1 when all 64 were read, otherwise the
// index of the last coefficient read before a "," was missing. Text after
// the 64th coefficient is ignored.
int ParseMatrixCoeffs(const std::string& Text, std::array<uint16_t, 64>& Matrix);

// The most words a frame-hook command line passes.
constexpr int MAX_HOOK_WORDS = 63;

// Splits Buffer in place into words as strtok does: at "|" when the text
// holds a "|", otherwise at spaces; runs of separators give no empty
// words. At most MaxWords words are kept; the rest are ignored.
std::vector<char*> SplitHookWords(char* Buffer, int MaxWords = MAX_HOOK_WORDS);

// "target": a leading "pal-", "ntsc-" or "film-" gives the norm and the
// rest the type; any other value is the type with the norm "auto". Value is
// trimmed first.
void ParseTargetValue(const std::string& Value, std::string& Type, std::string& Norm);

}  // namespace vexav
