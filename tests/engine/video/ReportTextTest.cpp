// The texts of the progress report, the final summary and the video
// statistics file.
#include <gtest/gtest.h>
#include <locale.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "engine/video/ReportText.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace vexav {
namespace {

TReportStream Video(int FrameNumber, double Q, double Time = 12.5) {
  TReportStream S;
  S.IsVideo = true;
  S.FrameNumber = FrameNumber;
  S.CodedQuality = static_cast<int>(Q * 118);
  S.CurrentTime = Time;
  S.Width = 320;
  S.Height = 240;
  return S;
}

TReportStream Audio(double Time) {
  TReportStream S;
  S.CurrentTime = Time;
  return S;
}

TReportInput Input(const std::vector<TReportStream>& Streams, int64_t Size = 3000000,
                   double Elapsed = 10.0) {
  TReportInput In;
  In.Streams = Streams;
  In.TotalSize = Size;
  In.ElapsedSeconds = Elapsed;
  return In;
}

TEST(ProgressReport, AudioOnlyLineStartsWithSize) {
  const std::vector<TReportStream> S{Audio(12.5)};
  const TReport R = BuildReport(Input(S));
  EXPECT_FALSE(R.Skipped);
  EXPECT_TRUE(R.HasSizePart);
  EXPECT_EQ(R.Text, "size=    2930kB time=12.50 bitrate=1920.0kbits/s");
  EXPECT_EQ(R.FrameNumber, -1);
  EXPECT_EQ(R.Fps, -1);
  EXPECT_EQ(R.Quality, -1.0f);
  EXPECT_DOUBLE_EQ(R.BitRate, 1920.0);
  EXPECT_EQ(R.CurrentDurationMs, 12500);
  EXPECT_EQ(R.TotalSize, 3000000);
}

TEST(ProgressReport, VideoLineFpsQualityAndSmallestTime) {
  // The smallest positive stream time wins; zero and negative times are
  // not times yet.
  const std::vector<TReportStream> S{Video(250, 5.0, 13.0), Audio(12.5), Audio(0), Audio(-3)};
  TReport R = BuildReport(Input(S));
  EXPECT_EQ(R.Text, "frame=  250 fps= 25 q=5.0 size=    2930kB time=12.50 bitrate=1920.0kbits/s");
  EXPECT_EQ(R.FrameNumber, 250);
  EXPECT_EQ(R.Fps, 25);
  EXPECT_FLOAT_EQ(R.Quality, 5.0f);
  // fps rounds frame number / t.
  R = BuildReport(Input(S, 3000000, 3.0));
  EXPECT_EQ(R.Fps, 83);
}

TEST(ProgressReport, FpsIsZeroDuringTheFirstSecond) {
  const std::vector<TReportStream> S{Video(20, 2.0)};
  EXPECT_EQ(BuildReport(Input(S, 1000, 0.5)).Fps, 0);
  EXPECT_EQ(BuildReport(Input(S, 1000, 1.0)).Fps, 0);
  EXPECT_EQ(BuildReport(Input(S, 1000, 1.01)).Fps, 20);
  EXPECT_EQ(BuildReport(Input(S, 1000, 0.5)).Text.rfind("frame=   20 fps=  0 q=2.0 ", 0), 0u);
}

TEST(ProgressReport, StreamCopyReportsQualityMinusOne) {
  std::vector<TReportStream> S{Video(10, 5.0), Video(10, 3.0)};
  S[0].StreamCopy = true;
  S[1].StreamCopy = true;
  const TReport R = BuildReport(Input(S));
  EXPECT_EQ(R.Quality, -1.0f);
  EXPECT_EQ(R.Text.rfind("frame=   10 fps=  1 q=-1.0 q=-1.0 size=", 0), 0u) << R.Text;
}

TEST(ProgressReport, FurtherVideoStreamsAddTheirQuality) {
  const std::vector<TReportStream> S{Audio(12.5), Video(30, 4.0), Audio(20), Video(30, 3.5)};
  const TReport R = BuildReport(Input(S));
  EXPECT_EQ(R.Text,
            "frame=   30 fps=  3 q=4.0 q=3.5 size=    2930kB time=12.50 bitrate=1920.0kbits/s");
}

TEST(ProgressReport, NoCodedPictureYetSkipsTheReport) {
  const std::vector<TReportStream> S{Audio(1.0), Video(0, 0)};
  TReportInput In = Input(S);
  In.Final = true;
  const TReport R = BuildReport(In);
  EXPECT_TRUE(R.Skipped);
  EXPECT_TRUE(R.Text.empty());
}

TEST(ProgressReport, FinalReportMarksTheLineAndAlwaysHasTheSize) {
  const std::vector<TReportStream> S{Video(250, 5.0)};
  TReportInput In = Input(S);
  In.Final = true;
  In.Verbose = 0;
  const TReport R = BuildReport(In);
  EXPECT_EQ(R.Text, "frame=  250 fps= 25 q=5.0 Lsize=    2930kB time=12.50 bitrate=1920.0kbits/s");
}

TEST(ProgressReport, SizePartNeedsAHandlerVerboseOrFinal) {
  const std::vector<TReportStream> S{Video(250, 5.0)};
  TReportInput In = Input(S);
  In.Verbose = 0;
  TReport R = BuildReport(In);
  EXPECT_FALSE(R.HasSizePart);
  EXPECT_EQ(R.Text, "frame=  250 fps= 25 q=5.0 ");
  In.HasProgressHandler = true;
  EXPECT_TRUE(BuildReport(In).HasSizePart);
  In.HasProgressHandler = false;
  In.Verbose = 2;
  In.FramesDuplicated = 3;
  In.FramesDropped = 1;
  R = BuildReport(In);
  EXPECT_EQ(
      R.Text,
      "frame=  250 fps= 25 q=5.0 size=    2930kB time=12.50 bitrate=1920.0kbits/s dup=3 drop=1");
}

TEST(ProgressReport, TimeHasAFloorAndNoTimeYetUsesIt) {
  // Nothing has reached the muxer: no 1e10-second time, the floor instead.
  std::vector<TReportStream> S{Video(5, 2.0, 0)};
  TReport R = BuildReport(Input(S, 48));
  EXPECT_DOUBLE_EQ(R.Ti1, 0.01);
  EXPECT_EQ(R.CurrentDurationMs, 10);
  EXPECT_NE(R.Text.find("time=0.01 "), std::string::npos) << R.Text;
  S[0].CurrentTime = 0.004;
  R = BuildReport(Input(S, 48));
  EXPECT_DOUBLE_EQ(R.Ti1, 0.01);
}

TEST(ProgressReport, QpHistogramCountsAndPrintsHexDigits) {
  TQpHistogram Hist{};
  const std::vector<TReportStream> S{Video(10, 5.0)};
  TReportInput In = Input(S);
  In.QpHist = true;
  In.Histogram = &Hist;
  In.Verbose = 0;
  TReport R = BuildReport(In);
  EXPECT_EQ(Hist[5].load(), 1);
  EXPECT_EQ(R.Text, "frame=   10 fps=  1 q=5.0 00000100000000000000000000000000");
  // log2(3) = 1.58 -> 2; log2(1001) = 9.97 -> 10 -> "A".
  BuildReport(In);
  Hist[31] = 1000;
  R = BuildReport(In);
  EXPECT_EQ(Hist[5].load(), 3);
  EXPECT_EQ(R.Text, "frame=   10 fps=  1 q=5.0 0000020000000000000000000000000A");
  // A quantiser outside 0..51 is not counted.
  std::vector<TReportStream> Copy{Video(10, 5.0)};
  Copy[0].StreamCopy = true;
  In.Streams = Copy;
  BuildReport(In);
  int Sum = 0;
  for (auto& C : Hist) Sum += C.load();
  EXPECT_EQ(Sum, 1003);
}

TEST(ProgressReport, PsnrOfTheCodedPictureAndOfTheWholeRun) {
  std::vector<TReportStream> S{Video(2, 3.0)};
  S[0].Psnr = true;
  const double Scale = 320.0 * 240 * 255 * 255;
  // Errors giving exactly 40 dB on Y and 30 dB on U and V.
  S[0].CodedError = {static_cast<uint64_t>(Scale * 1e-4), static_cast<uint64_t>(Scale / 4 * 1e-3),
                     static_cast<uint64_t>(Scale / 4 * 1e-3)};
  S[0].TotalError = {S[0].CodedError[0] * 2, S[0].CodedError[1] * 2, S[0].CodedError[2] * 2};
  TReportInput In = Input(S);
  In.Verbose = 0;
  const double Star = -10 * std::log10((Scale * 1e-4 + Scale / 2 * 1e-3) / (Scale * 1.5));
  char Expected[128];
  std::snprintf(Expected, sizeof(Expected),
                "frame=    2 fps=  0 q=3.0 PSNR=Y:40.00 U:30.00 V:30.00 *:%2.2f ", Star);
  In.ElapsedSeconds = 0.5;
  EXPECT_EQ(BuildReport(In).Text, Expected);
  In.Final = true;
  std::snprintf(Expected, sizeof(Expected),
                "frame=    2 fps=  0 q=3.0 LPSNR=Y:40.00 U:30.00 V:30.00 *:%2.2f size=", Star);
  EXPECT_EQ(BuildReport(In).Text.rfind(Expected, 0), 0u) << BuildReport(In).Text;
}

TEST(ProgressReport, TextIsBoundedByTheBuffer) {
  std::vector<TReportStream> S(400, Video(1, 31.0));
  const TReport R = BuildReport(Input(S));
  EXPECT_EQ(R.Text.size(), static_cast<size_t>(REPORT_BUFFER_SIZE - 1));
  EXPECT_EQ(R.Text.rfind("frame=    1 fps=  0 q=31.0 q=31.0 ", 0), 0u);
}

// A locale whose decimal separator is a comma: an installed one, or one
// built for the test from the system's locale sources when those are there.
class TCommaLocale {
 public:
  TCommaLocale() {
    for (const char* Name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
      Locale = newlocale(LC_NUMERIC_MASK, Name, static_cast<locale_t>(nullptr));
      if (Locale) return;
    }
    namespace fs = std::filesystem;
    if (!fs::exists("/usr/share/i18n/locales/de_DE")) return;
    char Template[] = "/tmp/vexav-locale-XXXXXX";
    if (!mkdtemp(Template)) return;
    Dir = Template;
    const std::string Command =
        "localedef -i de_DE -f UTF-8 '" + Dir + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(Command.c_str()) != 0) return;
    const char* Old = std::getenv("LOCPATH");
    const std::string Saved = Old ? Old : "";
    setenv("LOCPATH", Dir.c_str(), 1);
#if defined(__SANITIZE_ADDRESS__)
    // The C library keeps the parsed LOCPATH for good: not a leak of ours.
    __lsan_disable();
#endif
    Locale = newlocale(LC_NUMERIC_MASK, "de_DE.UTF-8", static_cast<locale_t>(nullptr));
#if defined(__SANITIZE_ADDRESS__)
    __lsan_enable();
#endif
    if (Old) {
      setenv("LOCPATH", Saved.c_str(), 1);
    } else {
      unsetenv("LOCPATH");
    }
  }
  ~TCommaLocale() {
    if (Locale) freelocale(Locale);
    std::error_code Ignored;
    if (!Dir.empty()) std::filesystem::remove_all(Dir, Ignored);
  }
  locale_t Locale = static_cast<locale_t>(nullptr);

 private:
  std::string Dir;
};

TEST(ProgressReport, NumbersUseADotInEveryLocale) {
  TCommaLocale CommaLocale;
  const locale_t Comma = CommaLocale.Locale;
  if (!Comma) GTEST_SKIP() << "no locale with a decimal comma is available";
  const locale_t Previous = uselocale(Comma);
  char Probe[16];
  std::snprintf(Probe, sizeof(Probe), "%.1f", 1.5);
  const std::vector<TReportStream> S{Video(250, 5.0)};
  const std::string Text = BuildReport(Input(S)).Text;
  const std::string Summary = BuildSummaryLine(1024, 0, 0, 2048);
  uselocale(Previous);
  EXPECT_STREQ(Probe, "1,5");  // the locale really uses a comma
  EXPECT_EQ(Text, "frame=  250 fps= 25 q=5.0 size=    2930kB time=12.50 bitrate=1920.0kbits/s");
  EXPECT_EQ(Summary, "video:1kB audio:0kB global headers:0kB muxing overhead 100.00%\r\n");
}

TEST(SummaryLine, SizesAndOverhead) {
  EXPECT_EQ(BuildSummaryLine(2000000, 500000, 0, 2525000),
            "video:1953kB audio:488kB global headers:0kB muxing overhead 1.00%\r\n");
  EXPECT_EQ(BuildSummaryLine(1000, 0, 24, 1000),
            "video:1kB audio:0kB global headers:0kB muxing overhead -2.34%\r\n");
}

TEST(SummaryLine, NothingWrittenGivesUnknownOverhead) {
  EXPECT_EQ(BuildSummaryLine(0, 0, 0, 0),
            "video:0kB audio:0kB global headers:0kB muxing overhead unknown\r\n");
  EXPECT_EQ(BuildSummaryLine(0, 0, 0, 4096),
            "video:0kB audio:0kB global headers:0kB muxing overhead unknown\r\n");
}

TEST(VideoStatsLine, FieldsInOrder) {
  TVideoStatsInput In;
  In.FrameNumber = 25;
  In.CodedQuality = 5 * 118;
  In.PictType = 2;
  In.FrameSize = 5000;
  In.SyncPts = 25;
  In.TimeBaseNum = 1;
  In.TimeBaseDen = 25;
  In.VideoSize = 125000;
  EXPECT_EQ(BuildVideoStatsLine(In),
            "frame=    25 q= 5.0 f_size=   5000 s_size=      122kB time= 1.000 br=  1000.0kbits/s "
            "avg_br=  1000.0kbits/s type= P\n");
  In.Psnr = true;
  In.Width = 320;
  In.Height = 240;
  In.CodedError0 = static_cast<uint64_t>(320.0 * 240 * 255 * 255 * 1e-4);
  In.SyncPts = 0;  // time raised to 0.01
  In.PictType = 3;
  EXPECT_EQ(BuildVideoStatsLine(In),
            "frame=    25 q= 5.0 PSNR=  40.00 f_size=   5000 s_size=      122kB time= 0.010 "
            "br=  1000.0kbits/s avg_br= 100000.0kbits/s type= B\n");
}

TEST(VideoStatsLine, PictureTypeLetters) {
  EXPECT_EQ(PictureTypeChar(1), 'I');
  EXPECT_EQ(PictureTypeChar(2), 'P');
  EXPECT_EQ(PictureTypeChar(3), 'B');
  EXPECT_EQ(PictureTypeChar(4), 'S');
  EXPECT_EQ(PictureTypeChar(5), 'i');
  EXPECT_EQ(PictureTypeChar(6), 'p');
  EXPECT_EQ(PictureTypeChar(7), 'b');
  EXPECT_EQ(PictureTypeChar(0), '?');
  EXPECT_EQ(PictureTypeChar(42), '?');
}

}  // namespace
}  // namespace vexav
