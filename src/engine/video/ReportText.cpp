#include "engine/video/ReportText.h"

#include <locale.h>

#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include "engine/video/FrameRateRule.h"
#include "engine/video/QualityStats.h"

namespace vexav {

TQpHistogram QpHistogram{};

namespace {

// Switches the calling thread to the "C" locale while texts are formatted,
// so that numbers always use "."; the thread's own locale comes back after.
class TCLocaleScope {
 public:
  TCLocaleScope() {
    static const locale_t CLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (CLocale) Previous = uselocale(CLocale);
  }
  ~TCLocaleScope() {
    if (Previous) uselocale(Previous);
  }
  TCLocaleScope(const TCLocaleScope&) = delete;
  TCLocaleScope& operator=(const TCLocaleScope&) = delete;

 private:
  locale_t Previous = static_cast<locale_t>(nullptr);
};

// A zero-filled fixed buffer that pieces are appended to, each limited to
// the space left.
class TReportBuffer {
 public:
  __attribute__((format(printf, 2, 3))) void Append(const char* Fmt, ...) {
    if (Length >= sizeof(Buffer) - 1) return;
    va_list Args;
    va_start(Args, Fmt);
    std::vsnprintf(Buffer + Length, sizeof(Buffer) - Length, Fmt, Args);
    va_end(Args);
    Length += std::strlen(Buffer + Length);
  }
  std::string Text() const { return std::string(Buffer, Length); }

 private:
  char Buffer[REPORT_BUFFER_SIZE] = {};
  std::size_t Length = 0;
};

double Psnr(double Error) {
  return -10.0 * std::log(Error) / std::log(10.0);
}

int ClampToInt(double X) {
  if (!(X >= std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
  if (X >= static_cast<double>(std::numeric_limits<int>::max()))
    return std::numeric_limits<int>::max();
  return static_cast<int>(X);
}

}  // namespace

TReport BuildReport(const TReportInput& In) {
  TCLocaleScope CLocale;
  TReport R;
  TReportBuffer Buf;
  bool VideoReported = false;
  double Ti1 = 1e10;
  bool AnyTime = false;

  for (const TReportStream& S : In.Streams) {
    const float Quality = S.StreamCopy ? -1.0f : static_cast<float>(S.CodedQuality / QP2LAMBDA);
    if (VideoReported && S.IsVideo) Buf.Append("q=%2.1f ", static_cast<double>(Quality));
    if (!VideoReported && S.IsVideo) {
      const float T = static_cast<float>(In.ElapsedSeconds);
      R.FrameNumber = S.FrameNumber;
      if (R.FrameNumber < 1) {
        R.Skipped = true;
        R.FrameNumber = -1;
        return R;
      }
      R.Fps = T > 1.0f ? ClampToInt(std::floor(R.FrameNumber / static_cast<double>(T) + 0.5)) : 0;
      R.Quality = Quality;
      Buf.Append("frame=%5d fps=%3d q=%3.1f ", R.FrameNumber, R.Fps,
                 static_cast<double>(R.Quality));
      if (In.Final) Buf.Append("L");
      if (In.QpHist && In.Histogram) {
        TQpHistogram& Hist = *In.Histogram;
        const int64_t Qp = RoundHalfEvenToInt64(static_cast<double>(Quality));
        if (Qp >= 0 && Qp < QP_HISTOGRAM_SIZE) Hist[static_cast<std::size_t>(Qp)].fetch_add(1);
        for (std::size_t J = 0; J < 32; ++J) {
          const double Bits = std::log(Hist[J].load() + 1.0) / std::log(2.0);
          Buf.Append("%X", static_cast<unsigned>(RoundHalfEvenToInt64(Bits)));
        }
      }
      if (S.Psnr) {
        static const char Letters[3] = {'Y', 'U', 'V'};
        double ErrorSum = 0, ScaleSum = 0;
        Buf.Append("PSNR=");
        for (int J = 0; J < 3; ++J) {
          const double Error =
              static_cast<double>(In.Final ? S.TotalError[static_cast<std::size_t>(J)]
                                           : S.CodedError[static_cast<std::size_t>(J)]);
          double Scale = static_cast<double>(S.Width) * S.Height * 255.0 * 255.0;
          if (In.Final) Scale *= R.FrameNumber;
          if (J > 0) Scale /= 4.0;
          ErrorSum += Error;
          ScaleSum += Scale;
          Buf.Append("%c:%2.2f ", Letters[J], Psnr(Error / Scale));
        }
        Buf.Append("*:%2.2f ", Psnr(ErrorSum / ScaleSum));
      }
      VideoReported = true;
    }
    if (S.CurrentTime < Ti1 && S.CurrentTime > 0) {
      Ti1 = S.CurrentTime;
      AnyTime = true;
    }
  }

  // No stream time yet (nothing has reached the muxer): the report shows the
  // floor time rather than the search's start value of 1e10 s, which would
  // overflow the event's millisecond count.
  if (!AnyTime || Ti1 < 0.01) Ti1 = 0.01;
  R.Ti1 = Ti1;
  R.TotalSize = In.TotalSize;
  R.BitRate = static_cast<double>(In.TotalSize) * 8.0 / Ti1 / 1000.0;
  R.CurrentDurationMs = ClampToInt(std::trunc(Ti1 * 1000.0));

  if (In.HasProgressHandler || In.Verbose > 0 || In.Final) {
    R.HasSizePart = true;
    Buf.Append("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s",
               static_cast<double>(In.TotalSize) / 1024.0, Ti1, R.BitRate);
    if (In.Verbose > 1) Buf.Append(" dup=%d drop=%d", In.FramesDuplicated, In.FramesDropped);
  }
  R.Text = Buf.Text();
  return R;
}

std::string BuildSummaryLine(int64_t VideoSize, int64_t AudioSize, int64_t ExtraSize,
                             int64_t TotalSize) {
  TCLocaleScope CLocale;
  const int64_t Raw = VideoSize + AudioSize + ExtraSize;
  char Overhead[64];
  if (Raw != 0) {
    std::snprintf(Overhead, sizeof(Overhead), "%.2f%%",
                  100.0 * static_cast<double>(TotalSize - Raw) / static_cast<double>(Raw));
  } else {
    std::snprintf(Overhead, sizeof(Overhead), "unknown");
  }
  char Line[256];
  std::snprintf(Line, sizeof(Line),
                "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %s\r\n",
                static_cast<double>(VideoSize) / 1024.0, static_cast<double>(AudioSize) / 1024.0,
                static_cast<double>(ExtraSize) / 1024.0, Overhead);
  return Line;
}

char PictureTypeChar(int PictType) {
  switch (PictType) {
    case 1:
      return 'I';
    case 2:
      return 'P';
    case 3:
      return 'B';
    case 4:
      return 'S';
    case 5:
      return 'i';
    case 6:
      return 'p';
    case 7:
      return 'b';
    default:
      return '?';
  }
}

std::string BuildVideoStatsLine(const TVideoStatsInput& In) {
  TCLocaleScope CLocale;
  TReportBuffer Buf;
  Buf.Append("frame= %5d q= %2.1f ", In.FrameNumber, In.CodedQuality / QP2LAMBDA);
  if (In.Psnr) {
    const double Scale = static_cast<double>(In.Width) * In.Height * 255.0 * 255.0;
    Buf.Append("PSNR= %6.2f ", Psnr(static_cast<double>(In.CodedError0) / Scale));
  }
  Buf.Append("f_size= %6d ", In.FrameSize);
  const double TimeBase =
      In.TimeBaseDen != 0 ? static_cast<double>(In.TimeBaseNum) / In.TimeBaseDen : 0.0;
  double Ti1 = static_cast<double>(In.SyncPts) * TimeBase;
  if (Ti1 < 0.01) Ti1 = 0.01;
  const double BitRate = TimeBase > 0 ? In.FrameSize * 8.0 / TimeBase / 1000.0 : 0.0;
  const double AvgBitRate = static_cast<double>(In.VideoSize) * 8.0 / Ti1 / 1000.0;
  Buf.Append("s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
             static_cast<double>(In.VideoSize) / 1024.0, Ti1, BitRate, AvgBitRate);
  Buf.Append("type= %c\n", PictureTypeChar(In.PictType));
  return Buf.Text();
}

}  // namespace vexav
