// Deterministic test media: AVI files with a moving picture and a tone, MP3
// and WAV sound files. Picture and sound carry marks at the same instants (a
// white flash and a click) so that a converted file can be checked for
// picture/sound sync and for lost or added time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexav::mediagen {

enum class VideoCodec { None, Mpeg4, Mjpeg, Raw };
enum class AudioCodec { None, Mp3, Pcm };

struct MediaSpec {
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
  std::vector<double> MarkSeconds{0.5, 1.5};
};

// Writes the file; the container follows the file name's extension (.avi
// for video, .mp3 or .wav for sound-only specs). Returns an empty string on
// success, otherwise the reason. Needs the media libraries bound.
std::string Generate(const std::string& Path, const MediaSpec& Spec);

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
};

// Decodes every video and audio stream of Path (first of each kind).
DecodedMedia Decode(const std::string& Path);

}  // namespace vexav::mediagen
