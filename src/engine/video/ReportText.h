// The texts of the progress report: the status line of a running conversion,
// the summary line of the final report, and the line of the video statistics
// file. Numbers are written with "." as the decimal separator whatever the
// locale.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string>

namespace vexav {

// Counts of coded pictures per quantiser 0..51 (option "qphist"), shared by
// every engine of the process, zero at start, never cleared.
inline constexpr int QP_HISTOGRAM_SIZE = 52;
using TQpHistogram = std::array<std::atomic<int>, QP_HISTOGRAM_SIZE>;
extern TQpHistogram QpHistogram;

// The status line is built in a buffer of this size (terminating zero
// included); what does not fit is cut.
inline constexpr int REPORT_BUFFER_SIZE = 1024;

// One output stream as the report sees it.
struct TReportStream {
  bool IsVideo = false;
  bool StreamCopy = false;
  int FrameNumber = 0;
  // The last coded picture's quality in lambda units.
  int CodedQuality = 0;
  // The encoder has the PSNR flag; its picture size; the last coded
  // picture's squared errors per plane and the encoder's running totals.
  bool Psnr = false;
  int Width = 0, Height = 0;
  std::array<uint64_t, 3> CodedError{};
  std::array<uint64_t, 3> TotalError{};
  // The muxer's current time of the stream in seconds (0 or less: none yet).
  double CurrentTime = 0;
};

struct TReportInput {
  std::span<const TReportStream> Streams;
  // Seconds since the run's timer started.
  double ElapsedSeconds = 0;
  // Bytes of the first output file so far.
  int64_t TotalSize = 0;
  bool Final = false;
  bool QpHist = false;
  int Verbose = 1;
  bool HasProgressHandler = false;
  int FramesDuplicated = 0, FramesDropped = 0;
  // The histogram counted into and printed (the process's by default).
  TQpHistogram* Histogram = &QpHistogram;
};

struct TReport {
  // The first video stream has no coded picture yet: no text, no event, no
  // summary.
  bool Skipped = false;
  // The size part was added: a progress handler gets the event, otherwise
  // the text is logged (when Verbose >= 0).
  bool HasSizePart = false;
  std::string Text;
  // The progress event's values: -1, -1 and -1.0 without a video stream.
  int FrameNumber = -1;
  int Fps = -1;
  float Quality = -1.0f;
  // Smallest positive stream time in seconds, at least 0.01.
  double Ti1 = 0;
  // Kilobits per second.
  double BitRate = 0;
  int64_t TotalSize = 0;
  // Ti1 in whole milliseconds.
  int CurrentDurationMs = 0;
};

// The status line, e.g.
//   "frame=  250 fps= 83 q=5.0 size=    2930kB time=12.50 bitrate=1920.0kbits/s"
// For each video stream after the first: "q=%2.1f "; for the first:
// "frame=%5d fps=%3d q=%3.1f " ("L" added in the final report), the "%X"
// histogram digits of quantisers 0..31 with QpHist (counting this picture's
// quantiser first), and "PSNR=" with "Y:", "U:", "V:" and "*:" parts when the
// encoder has the PSNR flag (a plane without error prints "inf"). Then, when
// a progress handler is set, Verbose > 0 or final:
// "size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", and " dup=%d drop=%d"
// when Verbose > 1. fps is 0 during the first second. Quality is -1.0 for a
// stream copy. When no stream has a positive time yet, Ti1 is 0.01 s.
TReport BuildReport(const TReportInput& In);

// The final summary:
//   "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead X%\r\n"
// with X = 100 * (TotalSize - raw) / raw and raw = VideoSize + AudioSize +
// ExtraSize, written with two decimals ("%f" of the engine's Format).
// With raw = 0 nothing was written to divide by: X% becomes "unknown".
std::string BuildSummaryLine(int64_t VideoSize, int64_t AudioSize, int64_t ExtraSize,
                             int64_t TotalSize);

// One line of the video statistics file.
struct TVideoStatsInput {
  int FrameNumber = 0;
  // The last coded picture: quality (lambda units), type, first plane error.
  int CodedQuality = 0;
  int PictType = 0;
  uint64_t CodedError0 = 0;
  bool Psnr = false;
  int Width = 0, Height = 0;
  // Bytes of the encoded frame.
  int FrameSize = 0;
  int64_t SyncPts = 0;
  int TimeBaseNum = 0, TimeBaseDen = 1;
  // Bytes of video written so far.
  int64_t VideoSize = 0;
};

// "frame= %5d q= %2.1f " ["PSNR= %6.2f "] "f_size= %6d "
// "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s "
// "type= %c\n".
std::string BuildVideoStatsLine(const TVideoStatsInput& In);

// The letter of a picture type: I, P, B, S, i (SI), p (SP), b (BI), else '?'.
char PictureTypeChar(int PictType);

}  // namespace vexav
