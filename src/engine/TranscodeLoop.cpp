// The main loop of a conversion run: choose the input whose outputs are
// furthest behind, check the recording time and the file size limit, read a
// packet, correct its time stamps and hand it to OutputPacket; report
// progress at most once per ProgressInterval.
//
// The output time of a stream is, for re-encoded video, its frame counter
// times the encoder's time base; for every other stream the muxer's current
// time of the stream, taken as the end (time stamp plus duration) of the
// last packet the engine handed to the muxer (0 before the first).
#include <cinttypes>
#include <cmath>
#include <cstdlib>

#include "binding/Text.h"
#include "engine/FFmpeg.h"
#include "engine/RunTables.h"
#include "engine/RunTimings.h"
#include "engine/video/FrameRateRule.h"

namespace vexav {
namespace {

constexpr AVRational MicrosecondBase{1, 1000000};

double OutputTime(const TOutputStreamState& Ost) {
  if (Ost.Type == AVMEDIA_TYPE_VIDEO && Ost.EncodingNeeded) {
    const AVRational Base = Ost.Enc->time_base;
    if (Base.den == 0) return 0;
    return static_cast<double>(Ost.SyncPts) * Base.num / Base.den;
  }
  return Ost.Written ? Ost.EndTime : 0.0;
}

// The frame limit of a stream's media type ("vframes", "aframes", "dframes"
// and the subtitle entry); none for other types.
int64_t FrameLimit(const std::array<int, 4>& MaxFrames, AVMediaType Type) {
  if (Type >= AVMEDIA_TYPE_VIDEO && Type <= AVMEDIA_TYPE_SUBTITLE) return MaxFrames[Type];
  return INT64_MAX;
}

struct TPacketUnref {
  AVPacket* Packet;
  ~TPacketUnref() { ff::av_packet_unref(Packet); }
};

}  // namespace

int64_t TCustomFFmpeg::FirstOutputPosition() const {
  if (OutputFileCount <= 0 || !OutputFiles[0] || !OutputFiles[0]->pb) return 0;
  // The write position: what the file holds so far, including what is still
  // in the write buffer (the file's size on disk lags behind it).
  const int64_t Position = ff::avio_seek(OutputFiles[0]->pb, 0, SEEK_CUR);
  return Position > 0 ? Position : 0;
}

int64_t TCustomFFmpeg::FirstOutputSize() const {
  if (OutputFileCount <= 0 || !OutputFiles[0] || !OutputFiles[0]->pb) return 0;
  // The file's size, where the output has one (not a pipe): muxers that
  // go back to fill in their headers at the end (AVI) leave the position
  // there, so the position alone would report the header's end as the
  // size. While the file grows, its size on disk lags behind what waits in
  // the write buffer, which the position counts: the larger of the two.
  const int64_t Size = ff::avio_size(OutputFiles[0]->pb);
  const int64_t Position = FirstOutputPosition();
  return Size > Position ? Size : Position;
}

void TCustomFFmpeg::MainLoop() {
  TRunTables& T = *Tables;
  PacketPtr Packet(ff::av_packet_alloc());
  if (!Packet) throw FFMpegException("Could not allocate a packet");

  while (!StopRequested) {
    // 1. The input to read from.
    double InputMin = 1e100, OutputMin = 1e100;
    int FileIndex = -1;
    for (auto& OstPtr : T.OutputStreams) {
      const TOutputStreamState& Ost = *OstPtr;
      const TInputStreamState& Ist = *T.InputStreams[Ost.SourceIndex];
      const double Opts = OutputTime(Ost);
      const double Ipts = static_cast<double>(Ist.Pts);
      if (!T.FileTable[Ist.FileIndex].EofReached) {
        if (Ipts < InputMin) {
          InputMin = Ipts;
          if (InputSync) FileIndex = Ist.FileIndex;
        }
        if (Opts < OutputMin) {
          OutputMin = Opts;
          if (!InputSync) FileIndex = Ist.FileIndex;
        }
      }
      if (Ost.FrameNumber >= FrameLimit(MaxFrames, Ost.Type)) {
        FileIndex = -1;
        break;
      }
    }
    if (FileIndex < 0) break;

    // 2. Recording time.
    if (static_cast<double>(RecordingTime) / 1000000.0 <= OutputMin) break;

    // 3. File size limit.
    if (LimitFileSize != 0 && static_cast<uint64_t>(FirstOutputPosition()) > LimitFileSize) break;

    // 4. One packet. Any failure to read (the end, a read error, damaged
    // data the demuxer gives up on) ends that input.
    AVFormatContext* Input = InputFiles[FileIndex].get();
    if (TimedCall(TRunStage::Demux, [&] { return ff::av_read_frame(Input, Packet.get()); }) < 0) {
      T.FileTable[FileIndex].EofReached = 1;
      if (Shortest) break;
      continue;
    }
    TPacketUnref Release{Packet.get()};
    const TInputFileState& File = T.FileTable[FileIndex];

    // 5. Packet dump.
    if (DoPktDump && Packet->stream_index >= 0 &&
        Packet->stream_index < static_cast<int>(Input->nb_streams))
      ff::av_pkt_dump_log2(nullptr, AV_LOG_INFO, Packet.get(), DoHexDump,
                           Input->streams[Packet->stream_index]);

    // 6. Streams nobody takes (and streams a demuxer added while reading).
    const int StreamIndex = Packet->stream_index;
    if (StreamIndex >= 0 && StreamIndex < File.NbStreams &&
        !T.InputStreams[File.IstIndex + StreamIndex]->Discard) {
      TInputStreamState& Ist = *T.InputStreams[File.IstIndex + StreamIndex];
      const AVRational Base = Ist.Stream->time_base;

      // 7. The file's time-stamp offset; what the stream's time base cannot
      // carry of it is kept for the sound's times.
      const int64_t Offset = ff::av_rescale_q(InputTsOffsets[FileIndex], MicrosecondBase, Base);
      if (Packet->dts != AV_NOPTS_VALUE) Packet->dts += Offset;
      if (Packet->pts != AV_NOPTS_VALUE) Packet->pts += Offset;
      if (Ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
        Ist.OffsetRemainderUs =
            InputTsOffsets[FileIndex] - ff::av_rescale_q(Offset, Base, MicrosecondBase);

      // 8. The stream's time-stamp scale ("itsscale"); the table holds
      // MAX_STREAMS streams per file.
      if (StreamIndex < MAX_STREAMS) {
        const double Scale = InputTsScales[FileIndex][StreamIndex];
        if (Scale != 0.0) {
          if (Packet->dts != AV_NOPTS_VALUE)
            Packet->dts = RoundHalfEvenToInt64(static_cast<double>(Packet->dts) * Scale);
          if (Packet->pts != AV_NOPTS_VALUE)
            Packet->pts = RoundHalfEvenToInt64(static_cast<double>(Packet->pts) * Scale);
        }
      }

      // 9. Discontinuities.
      if (Packet->dts != AV_NOPTS_VALUE && Ist.NextPts != AV_NOPTS_VALUE && !CopyTs) {
        const int64_t PacketDts =
            ff::av_rescale_q(Packet->dts, Base, MicrosecondBase) + Ist.OffsetRemainderUs;
        const int64_t Delta = PacketDts - Ist.NextPts;
        if (std::fabs(static_cast<double>(Delta)) >
                static_cast<double>(DtsDeltaThreshold) * 1000000.0 ||
            PacketDts + 1 < Ist.Pts) {
          InputTsOffsets[FileIndex] -= Delta;
          if (Verbose >= 3)
            Log(1, Format("timestamp discontinuity %" PRId64 ", new offset= %" PRId64, Delta,
                          InputTsOffsets[FileIndex]));
          const int64_t Shift = ff::av_rescale_q(Delta, MicrosecondBase, Base);
          Packet->dts -= Shift;
          if (Packet->pts != AV_NOPTS_VALUE) Packet->pts -= Shift;
        }
      }

      // 10. Routing.
      if (OutputPacket(Ist, Packet.get()) < 0) {
        const std::string Text =
            Format("Error while decoding stream #%d.%d", Ist.FileIndex, Ist.StreamIndex);
        if (ExitOnError) throw FFMpegException(Text);
        if (Verbose >= 0) Log(1, Text);
        continue;
      }
    }

    // 11. Progress.
    const int64_t Now = ff::av_gettime_relative();
    if (Now - LastReportTime > ProgressInterval) {
      LastReportTime = Now;
      PrintReport(false);
    }
  }
}

}  // namespace vexav
