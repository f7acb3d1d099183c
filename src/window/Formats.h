// The output formats offered by the window and the audio-only rule. Each
// format is declared once here; its file extension and the label used in
// output names are cut from its item text, so the three cannot disagree.
#pragma once

#include <QString>
#include <array>

namespace vexav {

// One item of the format list with the values it puts into a task's output
// options. Fields the preset does not set keep the option record's reset
// values; VideoSync and AudioSync are listed because the record always hands
// them to the engine ("vsync" -1 is automatic, "async" 0 is off).
struct TFormatPreset {
  const char* ItemText;    // as shown in the list, "Label (*.ext)"
  const char* VideoCodec;  // "vcodec"
  const char* AudioCodec;  // "acodec"
  const char* FrameRate;   // "r"
  int AudioChannels;       // "ac"
  int AudioSampleRate;     // "ar", Hz
  int VideoBitrate;        // "vb", bit/s
  int AudioBitrate;        // "ab", bit/s
  int VideoSync;           // "vsync"
  int AudioSync;           // "async"
};

inline constexpr std::array<TFormatPreset, 1> kFormats{{
    {"MPEG-4 Video (*.mp4)", "libx264", "libfaac", "29.97", 2, 44100, 1500000, 64000, -1, 0},
}};

// The format selected at start-up.
inline constexpr int kDefaultFormatIndex = 0;

// The extension of an item text: from two characters after the first "(" up
// to the following ")", so "MPEG-4 Video (*.mp4)" gives ".mp4". Empty when
// the text has no such parentheses.
QString FormatExtension(const QString& itemText);

// The label of an item text: the text before " (", with every "*" replaced
// by "x" so that it can stand in a file name; "MPEG-4 Video" for the item
// above. The whole text (with the same replacement) when there is no " (".
QString FormatLabel(const QString& itemText);

// The preset whose item text is exactly this one, or nullptr.
const TFormatPreset* FindFormat(const QString& itemText);

// Extensions whose files are converted without video: one string, blank
// separated.
inline constexpr const char kAudioExtensions[] =
    ".aac .ac3 .mp2 .mp3 .wav .wma .amr .ogg .flac .ra";

// Whether ext (dot included) occurs in kAudioExtensions. A case-sensitive
// substring test: ".mp3" matches, ".MP3" does not. An empty extension, or a
// lone ".", never matches.
bool IsAudioExtension(const QString& ext);

// The audio-only rule for one task: the target extension is an audio one, or
// else the source file's extension is.
bool IsAudioOnly(const QString& targetExt, const QString& sourcePath);

}  // namespace vexav
