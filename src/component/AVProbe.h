// The media probe: opens a media file (or looks at one opened elsewhere),
// counts its streams by kind and answers per-stream questions without
// decoding anything.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "Export.h"

struct AVFormatContext;

namespace vexav {

// What GetAudioInfo tells about an audio stream. A record that was not
// filled holds zero names and -1 everywhere else. Times are in the stream's
// time base (AV_NOPTS_VALUE when the library does not know them) and in
// microseconds (-1 when unknown).
struct TAudioStreamInfo {
  // The stream's language code (its "language" tag, at most three
  // characters), zero-padded.
  char Language[4] = {};
  // The codec's name, zero-padded and always zero-terminated.
  char CodecName[32] = {};
  int64_t StartTime = -1;
  int64_t StartTimeUs = -1;
  int64_t Duration = -1;
  int64_t DurationUs = -1;
  int BitRate = -1;  // bit/s, 0 when the file does not say
  int Channels = -1;
  int SampleRate = -1;    // Hz
  int SampleFormat = -1;  // the library's sample-format code

  bool operator==(const TAudioStreamInfo&) const = default;
};

// What GetVideoInfo tells about a video stream; the first six fields are
// those of TAudioStreamInfo. Height comes before Width.
struct TVideoStreamInfo {
  char Language[4] = {};
  char CodecName[32] = {};
  int64_t StartTime = -1;
  int64_t StartTimeUs = -1;
  int64_t Duration = -1;
  int64_t DurationUs = -1;
  int BitRate = -1;
  int Height = -1;
  int Width = -1;
  // Width x sample aspect ratio / Height. 0 when the sample aspect ratio is
  // unknown (0/1) or has a zero denominator, and when the height is 0.
  float DisplayAspect = -1.0f;
  int PixelFormat = -1;   // the library's pixel-format code
  int FrameRateNum = -1;  // the stream's real base frame rate
  int FrameRateDen = -1;

  bool operator==(const TVideoStreamInfo&) const = default;
};

// Raised by CheckLibraries (and so by Open and Attach) when one of the
// libraries the probe needs is not bound.
class VEXAV_API ELibraryNotLoaded : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The message for a negative result of opening an input file, filled with
// the file name.
VEXAV_API std::string FormatOpenError(const std::string& FileName, int Code);

class VEXAV_API TAVProbe {
 public:
  TAVProbe();
  ~TAVProbe();
  TAVProbe(const TAVProbe&) = delete;
  TAVProbe& operator=(const TAVProbe&) = delete;

  // Binds libavcodec, libavformat, libavutil and libswscale from Folder
  // (falling back to the system's search path). On failure LastError holds
  // the loader's text and the four libraries are unbound again.
  bool LoadLibraries(const std::string& Folder, bool Versioned);
  static void UnloadLibraries();
  // Throws ELibraryNotLoaded naming the first of the four that is not bound.
  static void CheckLibraries();

  // Opens FileName, with the input format FormatName forced unless it is
  // empty; the probe owns the opened file. False with LastError set on
  // failure, and the probe is then empty.
  bool Open(const std::string& FileName, const std::string& FormatName = std::string());
  // Looks at a context opened elsewhere; the probe never closes it.
  void Attach(AVFormatContext* AContext);
  // Lets go of the current context (closing it only when owned).
  void Close();

  // Fill Info about stream Index (-1: the first stream of the kind). A
  // failure writes one line to the library log and leaves Info reset.
  void GetAudioInfo(int Index, TAudioStreamInfo& Info) const;
  void GetDefaultAudioInfo(TAudioStreamInfo& Info) const { GetAudioInfo(-1, Info); }
  void GetVideoInfo(int Index, TVideoStreamInfo& Info) const;
  void GetDefaultVideoInfo(TVideoStreamInfo& Info) const { GetVideoInfo(-1, Info); }

  // The open context's file name (at most 1024 characters); empty, with a
  // log line, when nothing is open.
  std::string GetFileName() const;

  AVFormatContext* Context() const { return FContext; }
  bool OwnsContext() const { return FOwnsContext; }
  const std::string& LastError() const { return FLastError; }
  const std::string& FormatName() const { return FFormatName; }
  int StreamCount() const { return FStreamCount; }
  int ProgramCount() const { return FProgramCount; }
  int AudioStreamCount() const { return FAudioStreamCount; }
  int VideoStreamCount() const { return FVideoStreamCount; }
  int SubtitleStreamCount() const { return FSubtitleStreamCount; }
  int FirstAudioStream() const { return FFirstAudioStream; }
  int FirstVideoStream() const { return FFirstVideoStream; }
  int FirstSubtitleStream() const { return FFirstSubtitleStream; }

 private:
  VEXAV_LOCAL void Summarize();

  AVFormatContext* FContext = nullptr;
  bool FOwnsContext = false;
  std::string FLastError;
  std::string FFormatName;
  int FStreamCount = -1;
  int FProgramCount = -1;
  int FAudioStreamCount = -1;
  int FVideoStreamCount = -1;
  int FSubtitleStreamCount = -1;
  int FFirstAudioStream = -1;
  int FFirstVideoStream = -1;
  int FFirstSubtitleStream = -1;
};

}  // namespace vexav
