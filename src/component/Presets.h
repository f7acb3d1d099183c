// The output formats a conversion can target, the audio-only rule, and the
// output settings a task gets from its format and its source. Each format is
// declared once here; its file extension and the label used in output names
// are cut from its item text, so the three cannot disagree. The window and
// the command-line program both build their outputs from this table.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "AVProbe.h"
#include "Export.h"
#include "OptionRecords.h"

namespace vexav::output {

// One item of the format list with the values it puts into a task's output
// options. Fields the preset does not set keep the option record's reset
// values; VideoSync and AudioSync are listed because the record always hands
// them to the engine ("vsync" -1 is automatic, "async" 0 is off).
struct TFormatPreset {
  const char* ItemText;     // as shown in the list, "Label (*.ext)"
  const char* VideoCodec;   // "vcodec"
  const char* AudioCodec;   // "acodec"
  const char* FrameRate;    // "r"; nullptr: the source's (MakeOutputSettings)
  int AudioChannels;        // "ac"
  int AudioSampleRate;      // "ar", Hz
  int VideoBitrate;         // "vb", bit/s
  int AudioBitrate;         // "ab", bit/s
  int VideoSync;            // "vsync"
  int AudioSync;            // "async"
  const char* PixelFormat;  // "pix_fmt"
  // The encoder takes only pictures of even width and height (4:2:0):
  // a source of odd size loses its last column and/or row (see FitPicture).
  bool EvenPictureSize;
  // One line that says what the preset is for (lists of presets).
  const char* Description = "";
  // Constant quality: the encoder's "crf" value, with no target bit rate
  // ("b" 0). nullptr: the encoder aims at VideoBitrate.
  const char* Quality = nullptr;
  // The video rate is capped by the output's height (kRateCaps): "maxrate",
  // and "bufsize" twice that.
  bool RateCapByHeight = false;
  const char* VideoTag = nullptr;  // "vtag": the codec tag the container writes
  // More encoder options, "name=value" pairs separated by ";" (the value
  // may hold "="), such as the encoder's preset or speed.
  const char* CodecOptions = nullptr;
  // Sound only, whatever the source holds: its pictures are left out.
  bool AudioOnly = false;
};

// The rate cap of RateCapByHeight: the first row whose MaxHeight is at least
// the output's height (0: any height). The caps are the highest rates of the
// H.264 High profile levels that players name for these sizes (3.0, 3.1,
// 4.0; 50 Mbit/s above 1080 lines): a grainy camera source cannot make the
// file larger than its level's players take, and the constant quality
// still decides below that. Lower caps cost the grain itself: with 8 Mbit/s
// at 1080 lines the grainy hand-held clip of bench/quality-bench.sh came out
// 0.6 dB below its uncapped quality (which needs about 16 Mbit/s).
struct TRateCap {
  int MaxHeight;
  int MaxRate;  // bit/s
};
inline constexpr TRateCap kRateCaps[] = {
    {480, 12500000}, {720, 17500000}, {1080, 25000000}, {0, 50000000}};

// The MPEG-4 preset names 4:2:0 pictures: today's H.264 encoder would
// otherwise keep a camera's 4:2:2 or 4:4:4 pictures and their full range,
// which gives profiles that browsers, phones and most players cannot
// decode. The plain (not "j") format also makes the scaler bring full-range
// pictures into the video range. The first row is the program's original
// format; the others encode at constant quality, their values chosen with
// bench/quality-bench.sh (size, time and PSNR against the source):
// - H.264: CRF 20 at preset medium; slow saved 4% of the bytes and added
//   0.15 dB at twice the time, which the bench's time goal does not leave.
// - H.265 and AV1 take 10-bit samples (still 4:2:0 in the video range):
//   H.265 gains 0.25 dB at 2% fewer bytes over 8-bit, AV1 half its bytes at
//   the same PSNR. x265's preset slow gave no more than medium at three
//   times its time; CRF 24.6.
// - SVT-AV1: its visual tune ("tune=0") with 10-bit samples; the PSNR
//   tune spends twice the bytes for the same PSNR, presets below 8 cost more
//   time than they save in bytes; CRF 30.
// - VP9: CRF 30 at cpu-used 2 (cpu-used 1 gave 0.1 dB).
// - A key frame at most every 300 pictures (10 s at 29.97 frames/s; x264
//   and x265 make one every 250): the textured 1080-line clip of 10 s took
//   16% more bytes with its second key frame.
inline constexpr std::array<TFormatPreset, 6> kFormats{{
    {"MPEG-4 Video (*.mp4)", "libx264", "libfaac", "29.97", 2, 44100, 1500000, 64000, -1, 0,
     "yuv420p", true,
     "H.264 at 1500 kbit/s and 29.97 frames/s, AAC sound at 64 kbit/s (the default)"},
    {"MPEG-4 Video HQ (*.mp4)", "libx264", "aac", nullptr, 2, -1, 0, 160000, -1, 0, "yuv420p",
     true, "H.264 at constant quality, its rate capped by the picture size; AAC stereo sound",
     "20", true, nullptr, "preset=medium;g=300"},
    {"HEVC Video (*.mp4)", "libx265", "aac", nullptr, 2, -1, 0, 160000, -1, 0, "yuv420p10le",
     true, "H.265 at constant quality, tagged hvc1 for Apple's players; AAC stereo sound",
     "24.6", false, "hvc1", "preset=medium;g=300;forced-idr=1;x265-params=log-level=error"},
    {"WebM Video (*.webm)", "libvpx-vp9", "libopus", nullptr, 2, 48000, 0, 128000, -1, 0,
     "yuv420p", true, "VP9 at constant quality with Opus sound, for the web", "30", false,
     nullptr, "row-mt=1;deadline=good;cpu-used=2;g=300"},
    {"AV1 Video (*.mkv)", "libsvtav1", "libopus", nullptr, 2, 48000, 0, 128000, -1, 0,
     "yuv420p10le", true,
     "AV1 (SVT-AV1) at constant quality with Opus sound: the smallest files", "30", false,
     nullptr, "preset=8;svtav1-params=tune=0:keyint=10s:enable-force-key-frames=1"},
    {"M4A Audio (*.m4a)", nullptr, "aac", nullptr, 2, -1, 0, 128000, -1, 0, nullptr, false,
     "AAC sound only, of any source (its pictures are left out)", nullptr, false, nullptr,
     nullptr, true},
}};

// The format selected at start-up, and the one the command line converts to.
inline constexpr int kDefaultFormatIndex = 0;

// The extension of an item text: from two characters after the first "(" up
// to the following ")", so "MPEG-4 Video (*.mp4)" gives ".mp4". Empty when
// the text has no such parentheses.
VEXAV_API std::string FormatExtension(std::string_view ItemText);

// The label of an item text: the text before " (", with every "*" replaced
// by "x" so that it can stand in a file name; "MPEG-4 Video" for the item
// above. The whole text (with the same replacement) when there is no " (".
VEXAV_API std::string FormatLabel(std::string_view ItemText);

// The preset whose item text is exactly this one, or nullptr.
VEXAV_API const TFormatPreset* FindFormat(std::string_view ItemText);

// The preset whose label (FormatLabel) is Label, ignoring ASCII case, or
// nullptr: "hevc video" finds "HEVC Video (*.mp4)".
VEXAV_API const TFormatPreset* FindFormatByLabel(std::string_view Label);

// Why Preset cannot convert with the media libraries as they are: "" when
// it can, else "unavailable: the media libraries have no NAME encoder" for
// the first of its encoders (video, then sound) that HasEncoder does not
// know. "libfaac" counts as the native "aac", as the engine takes it.
VEXAV_API std::string PresetUnavailable(const TFormatPreset& Preset,
                                        const std::function<bool(const char*)>& HasEncoder);
// The same against the bound libraries (LoadLibraries first).
VEXAV_API std::string PresetUnavailable(const TFormatPreset& Preset);

// Extensions whose files are converted without video: one string, blank
// separated.
inline constexpr const char kAudioExtensions[] =
    ".aac .ac3 .mp2 .mp3 .wav .wma .amr .ogg .flac .ra";

// Extensions of the video containers a folder's files are picked by (with
// kAudioExtensions): one string, blank separated, lower case.
inline constexpr const char kVideoExtensions[] =
    ".avi .mp4 .m4v .mkv .mov .qt .wmv .asf .flv .mpg .mpeg .m2v .vob .ts .m2ts .mts .webm .ogv "
    ".3gp .3g2 .dv .mxf .rm .rmvb .divx .nut .y4m";

// Whether Ext (dot included) is, ignoring ASCII case, one of the whole
// entries of kVideoExtensions or kAudioExtensions: the files a folder
// contributes when folders are added. ".MP3" and ".Avi" match; ".mp" does not.
VEXAV_API bool IsMediaExtension(std::string_view Ext);

// Whether Ext (dot included) occurs in kAudioExtensions. A case-sensitive
// substring test: ".mp3" matches, ".MP3" does not. An empty extension, or a
// lone ".", never matches.
VEXAV_API bool IsAudioExtension(std::string_view Ext);

// The audio-only rule for one task: the target extension is an audio one, or
// else the source file's extension is.
VEXAV_API bool IsAudioOnly(std::string_view TargetExt, std::string_view SourcePath);

// What a format does with a source picture of Width x Height. A format whose
// encoder takes only even sizes (EvenPictureSize) and a source of odd width
// or height (at least 2 by 2): the last column and/or row is left out, every
// other pixel is kept as it is; Filter is the engine's filter chain for that
// ("crop=W:H:0:0", with no "s": the encoder is set up at the source's size
// and takes the size the chain gives), and Note the information line that
// says what was done. Otherwise the size is kept, and Filter and Note are
// empty.
struct TPictureFit {
  int Width = 0;
  int Height = 0;
  std::string Filter;
  std::string Note;
};
VEXAV_API TPictureFit FitPicture(const TFormatPreset* Preset, int Width, int Height);

// The size limit of the output's picture: at most this many lines (0: the
// source's size), one of kSizeLimits in the window, any in
// kMinMaxHeight..kMaxMaxHeight on the command line.
inline constexpr int kSizeLimits[] = {0, 1080, 720, 480};
inline constexpr int kMinMaxHeight = 144;
inline constexpr int kMaxMaxHeight = 4320;

// The picture a source of Width x Height gets under a limit of MaxHeight
// lines (0: none). DisplayAspect is the source's width x sample aspect
// ratio / height (0 or less: square pixels). A source with no more lines
// than the limit keeps its size (Scaled false: it is never enlarged);
// otherwise the height becomes MaxHeight and the width the one that keeps
// the display aspect with square pixels, both rounded to even numbers (at
// least 2). The engine keeps the source's display aspect for any size it
// scales to, so the output shows as the source does.
struct TPictureScale {
  int Width = 0;
  int Height = 0;
  bool Scaled = false;
};
VEXAV_API TPictureScale LimitPicture(int Width, int Height, float DisplayAspect, int MaxHeight);

// One engine option as the command-line transcoder names it.
struct TEngineOption {
  std::string Name;
  std::string Value;
  bool operator==(const TEngineOption&) const = default;
};

// What a task's output options hold after the format and the source have
// been applied: the fields of the option record that a format sets, with the
// record's "not set" values (-1, empty) where nothing set them.
struct TOutputSettings {
  std::string AudioCodec;     // "acodec"
  int AudioChannels = -1;     // "ac" when > 0
  int AudioSampleRate = -1;   // "ar" when > 0
  int AudioBitrate = -1;      // "ab" when > 0
  int AudioSync = 0;          // "async", always applied
  std::string VideoCodec;     // "vcodec"
  bool DisableVideo = false;  // "vn" when true
  std::string FrameRate;      // "r"
  std::string FrameSize;      // "s", "WxH"
  std::string PixelFormat;    // "pix_fmt"
  int VideoBitrate = -1;      // "vb" when > 0
  int VideoSync = -1;         // "vsync", always applied
  std::string VideoFilters;   // "vfilters"
  int VideoMaxRate = -1;      // "maxrate" when > 0
  int VideoBufferSize = -1;   // "bufsize" when > 0
  std::string VideoTag;       // "vtag"
  // The encoders' own options ("crf", "preset", ...), in the preset's order.
  std::vector<TEngineOption> CodecOptions;
  // An information line for the log when the source's picture is changed
  // to suit the format (FitPicture); empty otherwise. Not an option.
  std::string Note;

  bool operator==(const TOutputSettings&) const = default;
};

// The settings of a task converted with Preset (nullptr: a format without a
// preset row) whose source has the default streams Audio and Video (the
// probe's records; unfilled records hold -1):
// 1. DisableVideo as given (the caller applies the audio-only rule);
// 2. the preset row;
// 3. channels, sample rate and audio bit rate from the source where still -1
//    (an AAC sound takes the source's rate only where AAC has it: a rate
//    above 48000 Hz or one AAC lacks becomes 44100 or 48000 Hz, by the
//    source rate's family: SoundRateFor);
// 4. without DisableVideo: the frame size from the source ("WxH", decimal,
//    also when the probe filled nothing: "-1x-1", which the engine refuses),
//    the preset's pixel format, and a video bit rate of 1500000 where still
//    -1. A source whose size the preset's encoder cannot take is fitted
//    instead (FitPicture): no frame size, the crop as VideoFilters, and
//    the Note. With MaxHeight (> 0) a source of more lines is scaled
//    instead (LimitPicture: the frame size, no crop). A preset without a
//    frame rate takes the source's (as "NUM/DEN", when it lies between 1
//    and 240 frames a second; "29.97" otherwise). A constant-quality preset
//    gives "crf" and "b" 0 as codec options, its rate cap by the output's
//    height, its tag and its further codec options.
// An AudioOnly preset sets DisableVideo whatever is given.
// The sample rate an encoder named AudioCodec is given for a source at
// SourceRate Hz when the preset keeps the source's: the source's, except
// that AAC takes 8000 to 48000 Hz of its own rates only (higher rates would
// spend its bits on sound nobody hears, and others it refuses): then
// 44100 Hz for a source rate of the 11025 Hz family, else 48000 Hz.
VEXAV_API int SoundRateFor(const char* AudioCodec, int SourceRate);

VEXAV_API TOutputSettings MakeOutputSettings(const TFormatPreset* Preset, bool DisableVideo,
                                             const TAudioStreamInfo& Audio,
                                             const TVideoStreamInfo& Video, int MaxHeight = 0);

// The engine options that carry Settings, in the order the option record
// applies its fields: "acodec", "ac", "ar", "ab", "async", "vcodec", "vn"
// (empty value), "r", "s", "vb", "vsync", then "pix_fmt", which the window
// passes as a free option line, "vfilters", "maxrate", "bufsize", "vtag" and
// the codec options. A field that is not set gives no option; "async" and "vsync" always come. The record's other always-applied
// fields (pad colour black, no time-stamp copy) are the engine's own
// defaults and are not repeated.
VEXAV_API std::vector<TEngineOption> EngineOptions(const TOutputSettings& Settings);

// Settings as a task's output option record: Options is reset, then takes
// the settings' fields (audio codec, channels, sample rate and bit rate,
// audio sync, video codec, DisableVideo, frame rate and size, video bit
// rate, video sync, VideoFilters), and the pixel format, which the record
// has no field for, as the free option line "pix_fmt=NAME", with the rate
// cap, the tag and the codec options as free option lines after it. What
// SetOutputFile then applies are the options EngineOptions lists.
VEXAV_API void ApplyOutputSettings(const TOutputSettings& Settings, TOutputOptions& Options);

}  // namespace vexav::output
