// The per-task option records of the converter component: what a program
// asks for one input file (TInputOptions) and one output file
// (TOutputOptions). A string field that is empty and a number that is -1 mean
// "not set"; the component translates the set fields into engine options
// (TFFmpeg::ApplyInputOptions / ApplyOutputOptions).
#pragma once

#include <cstdint>
#include <string>

#include "Export.h"

namespace vexav {

// A colour as the window toolkit keeps it: red in bits 0-7, green in 8-15,
// blue in 16-23. The top byte is not a colour channel.
using TColor = int32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;

// The RGB value of a colour (red, green and blue bytes, red lowest). There is
// no system colour palette on this platform: the top byte (which marks a
// system colour) is dropped and the low 24 bits are taken as they are.
constexpr int ColorToRGB(TColor Color) { return static_cast<int>(Color & 0xFFFFFF); }

// Options of one input file.
struct TInputOptions {
  // The input file; an empty value is replaced by the name given to
  // AddInputFile.
  std::string FileName;
  // Forced input format ("f" before the input); empty: probe the file.
  std::string FileFormat;
  // Start offset in milliseconds ("ss"), used when > 0.
  int StartTime = -1;
  // "programid", used when >= 0.
  int ProgramID = -1;
  // Free option lines "name=value", applied before the fields.
  std::string ExtOptions;
};

// Options of one output file. The comments name the engine option each
// field becomes and when it is applied.
struct TOutputOptions {
  std::string FileName;       // the output; empty: the name given to SetOutputFile
  std::string Reserved;       // carried with the record, never read
  std::string FileFormat;     // "f"
  int PacketSize = -1;        // "packetsize" when > 0
  int MuxRate = -1;           // "muxrate" when > 0
  float MuxDelay = -1.0f;     // "muxdelay", seconds, when > 0
  float MuxPreload = -1.0f;   // "muxpreload", seconds, when > 0
  std::string AudioCodec;     // "acodec"
  bool DisableAudio = false;  // "an" when true
  int AudioVolume = -1;       // "vol" when >= 0
  int AudioChannels = -1;     // "ac" when > 0
  int AudioSampleRate = -1;   // "ar", Hz, when > 0
  int AudioBitrate = -1;      // "ab", bit/s, when > 0
  int AudioBitrateTolerance = -1;  // "abt" when > 0
  std::string AudioLanguage;  // "alang", always stored
  int AudioSync = 0;          // "async", always applied
  std::string AudioTag;       // "atag", exactly 4 characters when set
  std::string VideoCodec;     // "vcodec"
  bool DisableVideo = false;  // "vn" when true
  std::string FrameRate;      // "r"
  std::string FrameSize;      // "s"
  std::string FrameAspectRatio;  // "aspect"
  int CropTop = -1;           // "croptop" when >= 0 (and so on)
  int CropBottom = -1;
  int CropLeft = -1;
  int CropRight = -1;
  int PadTop = -1;            // "padtop" when >= 0 (and so on)
  int PadBottom = -1;
  int PadLeft = -1;
  int PadRight = -1;
  TColor PadColor = clBlack;  // "padcolor", always applied
  int GroupOfPictures = -1;   // "gop" when > 0
  int VideoBitrate = -1;      // "vb", bit/s, when > 0
  int VideoMaxRate = -1;      // "maxrate" when > 0
  int VideoMinRate = -1;      // "minrate" when > 0
  int VideoBitrateTolerance = -1;  // "bt" when > 0
  int VideoBufferSize = -1;   // "bufsize" when > 0
  int VideoSync = -1;         // "vsync", always applied
  std::string VideoTag;       // "vtag", exactly 4 characters when set
  std::string VideoFilters;   // "vfilters"
  bool DisableSubtitle = false;  // "sn" when true
  std::string SubtitleLanguage;  // "slang", always stored
  bool CopyTimestamp = false;    // "copyts", always applied
  int Duration = -1;          // recording time ("t"), milliseconds, when > 0
  // "timestamp" as a local date-time (days since 30 Dec 1899): 0 the time
  // of SetOutputFile, > 0 that time, < 0 not set.
  double Timestamp = -1.0;
  int Year = -1;              // when > 0
  int Track = -1;             // when > 0
  // Header texts, zero-padded; each is read up to its first zero character.
  char Title[512] = {};
  char Author[512] = {};
  char Copyright[512] = {};
  char Comment[512] = {};
  char Album[512] = {};
  char Genre[32] = {};
  int TargetType = 0;   // 0 none, 1 "vcd", 2 "svcd", 3 "dvd"
  int NormType = 0;     // 0 "auto", 1 "pal", 2 "ntsc"; other values "auto"
  int NormDefault = 1;  // when "auto" cannot decide: 1 "pal", else "ntsc"
  bool CustomHook = false;  // raise OnCustomHook for every picture
  bool BeforeHook = false;  // raise OnBeforeHook for every picture
  // Time ranges in which frame hooks act: "start-end" in milliseconds,
  // separated by ",".
  std::string HookRanges;
  // Free option lines "name=value", applied before the fields.
  std::string ExtOptions;
};

// Set every field to its default: strings emptied, text arrays zero-filled,
// numbers as in the declarations above.
VEXAV_API void ResetInputOptions(TInputOptions& Options);
VEXAV_API void ResetOutputOptions(TOutputOptions& Options);

// Copies Text into a zero-padded text field of Size bytes, cut so that a
// zero byte always ends it.
VEXAV_API void SetRecordText(char* Field, std::size_t Size, const std::string& Text);
template <std::size_t N>
void SetRecordText(char (&Field)[N], const std::string& Text) {
  SetRecordText(Field, N, Text);
}
// A text field read up to its first zero character (or its end).
VEXAV_API std::string RecordText(const char* Field, std::size_t Size);
template <std::size_t N>
std::string RecordText(const char (&Field)[N]) {
  return RecordText(Field, N);
}

// ---- Local date-times -----------------------------------------------------
// A local date-time is a count of days since 30 Dec 1899 00:00 local time,
// with the time of day as the fraction.

// Days between 30 Dec 1899 and 1 Jan 1970.
constexpr double UNIX_EPOCH_DATE = 25569.0;

// The current local date-time.
VEXAV_API double LocalDateTimeNow();
// The local time-zone bias in days at local date-time Value: UTC = local +
// bias (so -1/24 for UTC+1). Daylight saving time in effect at Value counts.
VEXAV_API double LocalTimeZoneBias(double Value);
// Whole seconds since 1970-01-01 UTC: (Value - 25569 + bias) x 86400,
// rounded to the nearest integer, halves to the even neighbour.
VEXAV_API int64_t LocalDateTimeToUnixSeconds(double Value);

}  // namespace vexav
