// Deterministic test media: AVI files with a moving picture and a tone, MP3
// and WAV sound files. Picture and sound carry marks at the same instants (a
// white flash and a click) so that a converted file can be checked for
// picture/sound sync and for lost or added time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexav::mediagen {

enum class VideoCodec { None, Mpeg4, Mjpeg, Raw, H264 };
enum class AudioCodec { None, Mp3, Pcm };

// What the pictures show between the marks.
enum class PicturePattern {
  // A dark colour gradient with a lighter square that moves each frame.
  Moving,
  // Still level bars: the left half black, the right half white, no colour
  // (luma 16 and 235 in video range, 0 and 255 in full range), for checking
  // that a conversion keeps black and white where they are.
  Levels,
  // The moving picture over a fine texture that pans a little each frame,
  // which costs an encoder about what camera footage does (the plain
  // moving picture compresses far below any usual bit rate).
  Textured,
  // Camera-like footage (CameraSynth.h): a textured landscape with fresh
  // grain in every picture, the camera panning steadily across it.
  Pan,
  // The same kind of scene held in the hand: shake, a slow zoom, the
  // exposure breathing, and a subject walking across.
  Handheld,
};

struct MediaRequest {
  int Width = 320;
  int Height = 240;
  int FrameRateNum = 25;  // frames per second as a fraction
  int FrameRateDen = 1;
  double DurationSeconds = 2.0;
  VideoCodec Video = VideoCodec::Mpeg4;
  AudioCodec Audio = AudioCodec::Mp3;
  int SampleRate = 44100;
  int Channels = 2;
  double ToneHz = 440.0;
  // Number of audio streams (each the same tone, the n-th an octave higher).
  int AudioStreams = 1;
  // Instants (seconds) at which a white flash frame and a click appear.
  // Instants at or past the end of the file are left out; negative ones are
  // an error.
  std::vector<double> MarkSeconds{0.5, 1.5};
  // Pixel format stored by raw video (a name the libraries know, e.g.
  // "yuv420p" or "bgr24").
  std::string RawPixelFormat = "yuv420p";
  // B-frames between reference pictures (MPEG-4 Part 2 and H.264). H.264
  // with B-frames uses them as references too (a B-pyramid), as cameras and
  // encoders in their default settings write them.
  int BFrames = 0;
  // Pixel format stored by MJPEG: one of the full-range ("j") formats the
  // encoder takes, "yuvj420p", "yuvj422p" or "yuvj444p", as cameras write
  // them.
  std::string MjpegPixelFormat = "yuvj420p";
  PicturePattern Pattern = PicturePattern::Moving;
  // Each picture carries its index (PictureCounter.h) across its top, so
  // that a converted file says which source picture each of its own shows.
  bool Counter = false;
  // Every DropEvery-th picture (the last of each group of DropEvery) is not
  // written: its slot stays empty, as a capture's dropped frame does (an
  // empty chunk in AVI, a longer gap in MKV), which makes a source of
  // variable rate. 0 writes every picture; flash frames are always written.
  int DropEvery = 0;
  // MPEG-4 Part 2 pictures in full range (0..255) in a plain 4:2:0 format,
  // with only the container's flag saying so, as some cameras' and phones'
  // files are. Needs a .mkv file: AVI has no such flag.
  bool FullRangeFlag = false;
};

// The sound of a mark: a burst of a 1 kHz square wave at 0.9 of full scale.
inline constexpr double ClickMilliseconds = 4.0;
// The tone's amplitude (of full scale) outside the clicks.
inline constexpr double ToneAmplitude = 0.2;

// Writes the file; the container follows the file name's extension (.avi
// or .mkv for video, .mp3 or .wav for sound-only requests). Returns an empty string on
// success, otherwise the reason; a failed call leaves no file of its own
// behind. Needs the media libraries bound.
//
// With video, each mark moves to the start of the nearest frame (its flash
// frame), and the click starts at that same instant, so picture and sound
// marks coincide to the sample. MP3 sound in AVI is written ahead by the
// encoder's delay, so that a plain decode of the file is in sync.
std::string Generate(const std::string& Path, const MediaRequest& Request);

// The instants (microseconds from the start) at which the marks appear
// in a generated file, in increasing order; empty when the request is invalid.
std::vector<int64_t> MarkTimesUs(const MediaRequest& Request);

// What a decoded file shows, for checking outputs.
struct DecodedVideoFrame {
  int64_t PtsUs;       // presentation time in microseconds
  double MeanLuma;     // 0..255 over the whole picture
  int Width;
  int Height;
};
struct DecodedMedia {
  std::string Error;  // empty when the file decoded
  std::vector<DecodedVideoFrame> Frames;
  int AudioSampleRate = 0;
  int AudioChannels = 0;
  int64_t AudioSamples = 0;            // per channel
  std::vector<int64_t> ClickSampleTimesUs;  // instants of detected clicks
  std::vector<int64_t> FlashTimesUs;        // instants of detected flash frames

  // About the file as a whole.
  int VideoStreams = 0;
  int AudioStreams = 0;
  std::string VideoCodecName;  // decoder's codec name, e.g. "mpeg4"
  std::string AudioCodecName;
  std::string PixelFormat;     // of the decoded pictures, e.g. "yuv420p"
  int FrameRateNum = 0;        // the video stream's average rate, 0 if unknown
  int FrameRateDen = 1;
  int64_t DurationUs = 0;      // the container's duration, 0 if unknown
  // The tone's frequency estimated from the first channel's zero crossings
  // (clicks included, so a little high), 0 without audio.
  double ToneHz = 0.0;
};

// A frame whose mean luma is above this counts as a flash.
inline constexpr double FlashLumaThreshold = 200.0;
// A click starts where a sample's magnitude first rises above this fraction
// of full scale after at least 20 ms below half of it.
inline constexpr double ClickThreshold = 0.6;

// Decodes the first video stream and one audio stream of Path (the first
// unless AudioStreamIndex picks another, counted among audio streams).
// Times are counted from the file's start time. Never throws; on failure
// Error says why.
DecodedMedia Decode(const std::string& Path, int AudioStreamIndex = 0);

// The duration Path's container states (what Decode puts in DurationUs),
// without decoding anything; 0 when unknown or unreadable.
int64_t StatedDurationUs(const std::string& Path);

}  // namespace vexav::mediagen
