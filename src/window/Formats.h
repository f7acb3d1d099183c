// The output formats offered by the window and the audio-only rule, with
// Qt's strings. The table itself and the rules are the component's
// (component/Presets.h), shared with the command-line program; this header
// only brings them into the window's namespace and adapts the text types.
#pragma once

#include <QString>

#include "component/Presets.h"

namespace vexav {

using output::kAudioExtensions;
using output::kDefaultFormatIndex;
using output::kFormats;
using output::kSizeLimits;
using output::TFormatPreset;

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

// The preset whose label is this one, ignoring ASCII case, or nullptr:
// "hevc video" finds "HEVC Video (*.mp4)".
const TFormatPreset* FindFormatByLabel(const QString& label);

// The label of the format selected at start-up, "MPEG-4 Video".
QString DefaultFormatLabel();

// The size box's caption of a size limit of lines (one of kSizeLimits):
// "Keep source size" for 0, else "720 lines".
QString SizeLimitCaption(int lines);

// Whether lines is one of the size box's limits (kSizeLimits).
bool IsSizeLimit(int lines);

// Whether ext (dot included) occurs in kAudioExtensions. A case-sensitive
// substring test: ".mp3" matches, ".MP3" does not. An empty extension, or a
// lone ".", never matches.
bool IsAudioExtension(const QString& ext);

// The audio-only rule for one task: the target extension is an audio one, or
// else the source file's extension is.
bool IsAudioOnly(const QString& targetExt, const QString& sourcePath);

}  // namespace vexav
