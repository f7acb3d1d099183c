// Shared by the conversion-run tests: generated media made once per test
// program, an engine driven the way the component drives it (options, the
// input, options, the output, Start), what the run reported, and a reader
// that looks at an output file packet by packet.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "MediaGenerator.h"
#include "binding/Api.h"
#include "engine/FFmpeg.h"

namespace vexav::test {

using TOptionList = std::vector<std::pair<std::string, std::string>>;

// A folder for the test program's files, removed at its end.
std::string TestFolder();
// Generates Name in the test folder once (later calls reuse it).
std::string Media(const std::string& Name, const mediagen::MediaRequest& Request);
// A fresh path in the test folder for the current test case.
std::string OutPath(const std::string& Name);

struct TProgressRecord {
  int FrameNumber;
  int Fps;
  int CurrentDurationMs;
  float Quality;
  float BitRate;
  int64_t CurrentSize;
  int TotalDurationMs;
};

struct TLogRecord {
  int Level;
  std::string Text;
};

// What one run told its handlers, and how it ended.
struct TRunRecord {
  bool Opened = false;        // input and output opened
  std::string OpenError;      // LastError of a failed open (or an option's error)
  std::atomic<int> Terminations{0};
  bool Finished = false;
  bool ExceptionRaised = false;
  std::string ErrorMessage;
  std::mutex Lock;
  std::vector<TLogRecord> Log;
  std::vector<TProgressRecord> Progress;

  bool Logged(const std::string& Text) const;
  bool LoggedContaining(const std::string& Part) const;
  std::string LogText() const;
};

struct TRunRequest {
  TOptionList InputOptions;
  std::string Input;
  TOptionList OutputOptions;
  std::string Output;
  bool Threaded = false;
  // Called on the run's thread for each progress event; may call Stop.
  std::function<void(TCustomFFmpeg&, const TProgressRecord&)> OnProgress;
  int64_t ProgressIntervalUs = 100000;
  // Installs no progress handler: the status lines are then logged.
  bool NoProgressHandler = false;
};

inline TRunRequest Req(TOptionList InputOptions, std::string Input, TOptionList OutputOptions, std::string Output) {
  TRunRequest R;
  R.InputOptions = std::move(InputOptions);
  R.Input = std::move(Input);
  R.OutputOptions = std::move(OutputOptions);
  R.Output = std::move(Output);
  return R;
}

// Runs one conversion to its end (waiting for the worker thread when
// threaded) and returns what was reported. Engine options that fail raise
// out of SetOption: they are recorded as OpenError and the run is not
// started.
void RunConversion(const TRunRequest& Request, TRunRecord& Record);

// One stream of a file, read back packet by packet.
struct TProbedStream {
  AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
  std::string Codec;
  int Packets = 0;
  int KeyPackets = 0;
  AVRational TimeBase{0, 1};
  AVRational RFrameRate{0, 1};
  AVRational AvgFrameRate{0, 1};
  int Width = 0, Height = 0;
  int SampleRate = 0, Channels = 0;
  AVRational SampleAspect{0, 1};
  int64_t BitRate = 0;
  // Seconds: the first packet's time and the end of the last one.
  double Start = 0, End = 0;
  // Presentation times of the packets, seconds, in file order.
  std::vector<double> Times;
};

struct TProbedFile {
  std::string Error;  // empty when the file was read to its end
  std::string Format;
  double Duration = 0;  // the container's, seconds
  std::vector<TProbedStream> Streams;
  int CountOf(AVMediaType Type) const;
  const TProbedStream* First(AVMediaType Type) const;
};

// Opens Path for reading with its stream parameters found; nullptr with
// Error set when that fails.
InputFormatPtr OpenMediaFile(const std::string& Path, std::string& Error);
TProbedFile ProbeFile(const std::string& Path);

// Writes a copy of Source (AVI) without the first DropVideoPackets video
// packets, so that the copy starts with pictures that are not key frames.
// Returns an empty text on success.
std::string CutVideoStart(const std::string& Source, const std::string& Target, int DropVideoPackets);

// Writes a copy of Source (AVI) whose video packet number Index is empty
// (size 0), as capture programs write a dropped frame.
std::string EmptyVideoPacket(const std::string& Source, const std::string& Target, int Index);

// The same for the first DropAudioPackets audio packets: the copy's sound
// starts later than its picture.
std::string CutAudioStart(const std::string& Source, const std::string& Target, int DropAudioPackets);

// The root mean square of the first audio stream's samples (full scale 1.0)
// between FromSeconds and ToSeconds of decoded sound; -1 on failure.
double AudioRms(const std::string& Path, double FromSeconds, double ToSeconds);

// The instants (microseconds from the file's start) of the clicks in the
// first audio stream (mediagen::ReadClickTimesUs, which tolerates AAC's
// pre-echo).
std::vector<int64_t> ClickTimesUs(const std::string& Path);

// The size of a file, -1 when it does not exist.
int64_t FileSize(const std::string& Path);

// The media libraries loaded; every run test's fixture.
class RunTest : public ::testing::Test {
 protected:
  void SetUp() override;
};

}  // namespace vexav::test
