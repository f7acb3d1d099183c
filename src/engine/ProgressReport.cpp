// The engine's progress report and video statistics: the report's values
// are gathered from the run tables here, its texts are built by ReportText.
// The progress event gets the values when a handler is set; otherwise the
// status line is logged. The final report adds the summary line.
#include <algorithm>
#include <cstdio>

#include "engine/FFmpeg.h"
#include "engine/RunTables.h"
#include "engine/video/ReportText.h"

namespace vexav {

void TCustomFFmpeg::PrintReport(bool Final) {
  if (!Tables) return;
  std::vector<TReportStream> Streams;
  Streams.reserve(Tables->OutputStreams.size());
  for (auto& OstPtr : Tables->OutputStreams) {
    const TOutputStreamState& Ost = *OstPtr;
    TReportStream S;
    S.IsVideo = Ost.Type == AVMEDIA_TYPE_VIDEO;
    S.StreamCopy = !Ost.EncodingNeeded;
    S.FrameNumber = Ost.FrameNumber;
    if (Ost.Video) {
      const TCodedPictureStats& Coded = Ost.Video->LastCodedPicture();
      S.CodedQuality = Coded.Quality;
      S.Psnr = (Ost.Enc->flags & AV_CODEC_FLAG_PSNR) != 0;
      S.Width = Ost.Enc->width;
      S.Height = Ost.Enc->height;
      for (int J = 0; J < 3; ++J) {
        S.CodedError[J] = Coded.Error[J];
        S.TotalError[J] = Ost.Enc->error[J];
      }
    }
    // For re-encoded video the frame counter in the encoder's time base,
    // for every other stream the end of its last packet handed to the muxer.
    if (Ost.Video && Ost.Enc->time_base.den != 0)
      S.CurrentTime =
          static_cast<double>(Ost.SyncPts) * Ost.Enc->time_base.num / Ost.Enc->time_base.den;
    else
      S.CurrentTime = Ost.Written ? Ost.EndTime : 0;
    Streams.push_back(S);
  }

  TReportInput In;
  In.Streams = Streams;
  In.ElapsedSeconds = static_cast<double>(ff::av_gettime_relative() - TimerStart) / 1000000.0;
  ReportedSize = std::max(ReportedSize, FirstOutputSize());
  In.TotalSize = ReportedSize;
  In.Final = Final;
  In.QpHist = QpHist != 0;
  In.Verbose = Verbose;
  In.HasProgressHandler = static_cast<bool>(OnProgress);
  In.FramesDuplicated = FramesDuplicated;
  In.FramesDropped = FramesDropped;
  const TReport R = BuildReport(In);
  if (R.Skipped) return;

  if (R.HasSizePart) {
    if (OnProgress) {
      TRunProgress Progress;
      Progress.FrameNumber = R.FrameNumber;
      Progress.Fps = R.Fps;
      Progress.CurrentDurationMs = R.CurrentDurationMs;
      Progress.Quality = R.Quality;
      Progress.BitRate = static_cast<float>(R.BitRate);
      Progress.CurrentSize = R.TotalSize;
      // Kept within an int, as the component's positional event passes it.
      Progress.TotalOutputDurationMs = std::min<int64_t>(TotalOutputDuration, INT32_MAX);
      OnProgress(*this, Progress);
    } else if (Verbose >= 0) {
      Log(1, R.Text);
    }
  }
  if (Final && Verbose >= 0 && HasLogHandler())
    Log(1, BuildSummaryLine(VideoSize, AudioSize, ExtraSize, R.TotalSize));
}

void TCustomFFmpeg::DoVideoStats(TOutputStreamState& Ost, int FrameSize) {
  if (!VstatsFile) {
    const std::string Name = VstatsFileName ? *VstatsFileName : std::string();
    VstatsFile = std::fopen(Name.c_str(), "w");
    if (!VstatsFile) throw FFMpegException("fopen fail: " + Name);
  }
  if (Ost.Type != AVMEDIA_TYPE_VIDEO || !Ost.Video) return;
  const TCodedPictureStats& Coded = Ost.Video->LastCodedPicture();
  TVideoStatsInput In;
  In.FrameNumber = Ost.FrameNumber;
  In.CodedQuality = Coded.Quality;
  In.PictType = Coded.PictType;
  In.CodedError0 = Coded.Error[0];
  In.Psnr = (Ost.Enc->flags & AV_CODEC_FLAG_PSNR) != 0;
  In.Width = Ost.Enc->width;
  In.Height = Ost.Enc->height;
  In.FrameSize = FrameSize;
  In.SyncPts = Ost.SyncPts;
  In.TimeBaseNum = Ost.Enc->time_base.num;
  In.TimeBaseDen = Ost.Enc->time_base.den;
  In.VideoSize = VideoSize;
  std::fputs(BuildVideoStatsLine(In).c_str(), VstatsFile);
}

}  // namespace vexav
