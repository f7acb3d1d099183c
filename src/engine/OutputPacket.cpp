// Packet routing: one packet of an input stream (or the end of its input)
// becomes decoded frames for the re-encoding outputs and copied packets for
// the stream-copy outputs.
//
// Decoding uses the send/receive calls: a packet is sent and every frame
// that comes back is routed; at the end of input a null packet drains the
// decoder. Times are kept in microseconds:
// - Pts / NextPts of the input stream start from the packet's dts;
// - each decoded frame's time is its best-effort time stamp (rescaled from
//   the stream's time base) when the decoder has one, else the predicted
//   NextPts; a picture without a presentation time of its own takes the
//   earliest decode time still pending (PendingDts), since the best-effort
//   stamp would be the decode time of a later packet when pictures are
//   reordered; NextPts then moves on by the frame's duration (audio: its
//   samples at its rate; video: the frame's duration, else one frame of the
//   stream's rate).
// Stream copy begins, per output stream, with the first key packet; a copied
// packet keeps its data (a new reference, no copy) and gets its time stamps
// rescaled from the input to the output stream's time base.
#include <algorithm>
#include <cinttypes>
#include <cmath>

#include "binding/Text.h"
#include "engine/FFmpeg.h"
#include "engine/RunTables.h"
#include "engine/RunTimings.h"

namespace vexav {
namespace {

constexpr AVRational MicrosecondBase{1, 1000000};
constexpr int SubtitleBufferSize = 65536;

bool Known(AVRational Rate) {
  return Rate.num > 0 && Rate.den > 0;
}

// One frame of the stream's rate in microseconds, 0 when unknown.
int64_t VideoFrameDuration(const TInputStreamState& Ist) {
  AVRational Rate = Ist.Dec->framerate;
  if (!Known(Rate)) Rate = Ist.Stream->avg_frame_rate;
  if (!Known(Rate)) Rate = Ist.Stream->r_frame_rate;
  if (!Known(Rate)) return 0;
  return ff::av_rescale_q(1, AVRational{Rate.den, Rate.num}, MicrosecondBase);
}

struct TFrameUnref {
  AVFrame* Frame;
  ~TFrameUnref() { ff::av_frame_unref(Frame); }
};

// A decoder holds at most this many pictures beyond its reorder depth and
// its threads; decode times older than that belong to packets that gave no
// picture (damaged ones) and are let go.
constexpr std::size_t SparePendingDts = 4;

void NotePendingDts(TInputStreamState& Ist, int64_t Dts) {
  if (Dts == AV_NOPTS_VALUE) return;
  Ist.PendingDts.push_back(Dts);
  const std::size_t Depth = static_cast<std::size_t>(std::max(Ist.Dec->has_b_frames, 0)) +
                            static_cast<std::size_t>(std::max(Ist.Dec->thread_count, 1)) +
                            SparePendingDts;
  while (Ist.PendingDts.size() > Depth) Ist.PendingDts.pop_front();
}

}  // namespace

int TCustomFFmpeg::OutputPacket(TInputStreamState& Ist, const AVPacket* Packet) {
  const AVRational Base = Ist.Stream->time_base;
  if (Ist.NextPts == AV_NOPTS_VALUE) Ist.NextPts = Ist.Pts;
  if (Packet && Packet->dts != AV_NOPTS_VALUE)
    Ist.NextPts = Ist.Pts =
        ff::av_rescale_q(Packet->dts, Base, MicrosecondBase) + Ist.OffsetRemainderUs;
  // The packet's own time: what stream copy and its start gate go by.
  const int64_t PacketTime = Ist.Pts;
  const AVMediaType Type = Ist.Stream->codecpar->codec_type;

  if (Packet && Ist.RateEmu) EmulateRate(Ist);

  int Result = 0;
  if (Ist.DecodingNeeded) {
    if (Type == AVMEDIA_TYPE_SUBTITLE) {
      Result = RouteSubtitle(Ist, Packet);
    } else if (Type == AVMEDIA_TYPE_AUDIO || Type == AVMEDIA_TYPE_VIDEO) {
      AVFrame* Frame = Ist.Frame.get();
      // Every frame the decoder has ready goes out; false on a decoding
      // error.
      auto ReceiveAll = [&]() {
        for (;;) {
          const int Ret = TimedCall(TRunStage::Decode,
                                    [&] { return ff::avcodec_receive_frame(Ist.Dec, Frame); });
          if (Ret == AVERROR(EAGAIN) || Ret == AVERROR_EOF) return true;
          if (Ret < 0) return false;
          TFrameUnref Release{Frame};
          RouteDecodedFrame(Ist, Frame);
        }
      };
      int Sent = 0;
      if (Packet && Packet->size <= 0) {
        // An empty packet (a dropped frame of an AVI capture) carries no
        // data: sent to the decoder it would read as the end of the
        // stream and end its decoding for good. Only its time counts.
        if (Packet->duration > 0)
          Ist.NextPts += ff::av_rescale_q(Packet->duration, Base, MicrosecondBase);
        else if (Type == AVMEDIA_TYPE_VIDEO)
          Ist.NextPts += VideoFrameDuration(Ist);
      } else if (Packet) {
        auto Send = [&](const AVPacket* P) {
          return TimedCall(TRunStage::Decode, [&] { return ff::avcodec_send_packet(Ist.Dec, P); });
        };
        Sent = Send(Packet);
        if (Sent == AVERROR(EAGAIN)) {
          // The decoder wants its output taken first.
          if (!ReceiveAll()) Result = -1;
          Sent = Send(Packet);
        }
        if (Sent >= 0 && Type == AVMEDIA_TYPE_VIDEO) NotePendingDts(Ist, Packet->dts);
      } else if (!Ist.DecoderDrained) {
        Sent =
            TimedCall(TRunStage::Decode, [&] { return ff::avcodec_send_packet(Ist.Dec, nullptr); });
        Ist.DecoderDrained = true;
      }
      // A packet the decoder refuses is a decoding error; the frames it
      // still holds are taken all the same.
      if (Sent < 0 && Sent != AVERROR_EOF) Result = -1;
      if (!ReceiveAll()) Result = -1;
    } else {
      return -1;
    }
  } else if (Packet) {
    // Not decoded: the next packet's time is predicted.
    if (Packet->duration > 0) {
      Ist.NextPts += ff::av_rescale_q(Packet->duration, Base, MicrosecondBase);
    } else if (Type == AVMEDIA_TYPE_AUDIO) {
      const AVCodecParameters* Par = Ist.Stream->codecpar;
      if (Par->sample_rate > 0 && Par->frame_size > 0)
        Ist.NextPts += int64_t{1000000} * Par->frame_size / Par->sample_rate;
    } else if (Type == AVMEDIA_TYPE_VIDEO) {
      Ist.NextPts += VideoFrameDuration(Ist);
    }
  }

  // Stream copy.
  if (Packet && (StartTime == 0 || PacketTime >= StartTime)) {
    for (auto& Ost : Tables->OutputStreams)
      if (!Ost->EncodingNeeded && Tables->InputStreams[Ost->SourceIndex].get() == &Ist)
        CopyPacket(*Ost, Ist, *Packet, PacketTime);
  }

  // End of input: what the encoders still hold goes out.
  if (!Packet) FlushEncoders(Ist);
  return Result;
}

void TCustomFFmpeg::RouteDecodedFrame(TInputStreamState& Ist, AVFrame* Frame) {
  const AVRational Base = Ist.Stream->time_base;
  const AVMediaType Type = Ist.Stream->codecpar->codec_type;
  ++Ist.FramesDecoded;

  // The frame's time, and the next one's.
  int64_t Stamp = Frame->best_effort_timestamp;
  if (Type == AVMEDIA_TYPE_VIDEO && !Ist.PendingDts.empty()) {
    if (Frame->pts == AV_NOPTS_VALUE) Stamp = Ist.PendingDts.front();
    Ist.PendingDts.pop_front();
  }
  Ist.Pts = Ist.NextPts;
  if (Stamp != AV_NOPTS_VALUE)
    Ist.Pts = ff::av_rescale_q(Stamp, Base, MicrosecondBase) + Ist.OffsetRemainderUs;
  int64_t Duration = 0;
  if (Type == AVMEDIA_TYPE_AUDIO) {
    const int Rate = Frame->sample_rate > 0 ? Frame->sample_rate : Ist.Dec->sample_rate;
    if (Rate > 0) Duration = int64_t{1000000} * Frame->nb_samples / Rate;
  } else {
    Duration = Frame->pkt_duration > 0
                   ? ff::av_rescale_q(Frame->pkt_duration, Base, MicrosecondBase)
                   : VideoFrameDuration(Ist);
  }
  Ist.NextPts = Ist.Pts + Duration;

  // The start gate ("ss" given for the output). A block of sound that
  // reaches past the start goes on: the audio path keeps its part from the
  // start on, so the sound starts with the picture.
  if (StartTime != 0 &&
      (Type == AVMEDIA_TYPE_AUDIO ? Ist.NextPts <= StartTime : Ist.Pts < StartTime))
    return;

  if (Type == AVMEDIA_TYPE_VIDEO) {
    const AVFrame* Picture = Frame;
    // A picture of another size or format than the outputs were set up for
    // is first converted to the expected one.
    if (Frame->width != Ist.ExpectedWidth || Frame->height != Ist.ExpectedHeight ||
        Frame->format != Ist.ExpectedPixFmt) {
      if (Ist.ExpectedWidth <= 0 || Ist.ExpectedHeight <= 0 || Ist.ExpectedPixFmt < 0) return;
      SwsContext* Cached = ff::sws_getCachedContext(
          Ist.Conformer.release(), Frame->width, Frame->height,
          static_cast<AVPixelFormat>(Frame->format), Ist.ExpectedWidth, Ist.ExpectedHeight,
          static_cast<AVPixelFormat>(Ist.ExpectedPixFmt), SwsFlags, nullptr, nullptr, nullptr);
      Ist.Conformer.reset(Cached);
      if (!Cached) {
        Log(0,
            Format(
                "Picture of stream #%d.%d changed to %dx%d; it cannot be converted and is skipped",
                Ist.FileIndex, Ist.StreamIndex, Frame->width, Frame->height));
        return;
      }
      if (!Ist.Conformed || !ff::av_frame_is_writable(Ist.Conformed.get())) {
        Ist.Conformed.reset(ff::av_frame_alloc());
        if (!Ist.Conformed) throw FFMpegException("Could not allocate video frame");
        Ist.Conformed->format = Ist.ExpectedPixFmt;
        Ist.Conformed->width = Ist.ExpectedWidth;
        Ist.Conformed->height = Ist.ExpectedHeight;
        if (ff::av_frame_get_buffer(Ist.Conformed.get(), 0) < 0)
          throw FFMpegException("Could not allocate video frame");
      }
      TimedCall(TRunStage::Scale, [&] {
        return ff::sws_scale(Cached, Frame->data, Frame->linesize, 0, Frame->height,
                             Ist.Conformed->data, Ist.Conformed->linesize);
      });
      ff::av_frame_copy_props(Ist.Conformed.get(), Frame);
      Picture = Ist.Conformed.get();
    }

    // Pre-processing: the working copy, deinterlacing and the frame hooks,
    // which act on the working copy, so that what they change is what gets
    // filtered and encoded.
    ++HookFrameNumber;
    const bool ChainApplies = HookGate(Ist.Pts);
    const bool HookWanted = static_cast<bool>(OnCustomHook) || ChainApplies;
    const int64_t HookPts = Ist.Pts;
    const TVideoPreprocessor::THookStage HookStage = [this, ChainApplies, HookPts](
                                                         TPicture& P, int Fmt, int W, int H) {
      RunHookStage(P, Fmt, W, H, HookPts, ChainApplies);
    };
    Picture = Tables->Preprocessor->Process(
        Picture, DoDeinterlace != 0, HookWanted,
        HookWanted ? HookStage : TVideoPreprocessor::THookStage{},
        [this](int Level, const std::string& Text) { Log(Level, Text); });

    for (auto& OstPtr : Tables->OutputStreams) {
      TOutputStreamState& Ost = *OstPtr;
      if (!Ost.Video || Tables->InputStreams[Ost.SourceIndex].get() != &Ist) continue;
      if (Ost.Graph) {
        // The graph's pictures carry their own time, which becomes the
        // stream's; the picture's own is restored for the next output.
        const int64_t Own = Ist.Pts;
        FilterAndWrite(Ost, Ist, Picture);
        Ist.Pts = Own;
      } else {
        WriteVideo(Ost, Picture);
      }
    }
  } else if (Type == AVMEDIA_TYPE_AUDIO) {
    // The volume once per block, in the block's own sample format.
    if (AudioVolume != 256) TAudioOutput::ApplyVolume(Frame, AudioVolume);
    TAudioSyncOptions Options;
    Options.AudioSyncMethod = AudioSyncMethod;
    Options.AudioDriftThreshold = AudioDriftThreshold;
    Options.StartTime = StartTime;
    Options.Verbose = Verbose;
    Options.ExitOnError = ExitOnError;
    for (auto& OstPtr : Tables->OutputStreams) {
      TOutputStreamState& Ost = *OstPtr;
      if (!Ost.Audio || Tables->InputStreams[Ost.SourceIndex].get() != &Ist) continue;
      const int64_t Before = Ost.Audio->EncodedBytes();
      Ost.Audio->Push(Frame, Ist.Dec, Ost.SyncSource->Pts, Ist.IsStart, Options);
      AudioSize += Ost.Audio->EncodedBytes() - Before;
      Ost.SyncPts = Ost.Audio->SyncPts();
    }
  }
}

void TCustomFFmpeg::WriteVideo(TOutputStreamState& Ost, const AVFrame* Picture) {
  // A piece of a longer conversion keeps that conversion's clock: its
  // "ss" only drops the pictures before it.
  const int64_t Origin = VideoSyncStart >= 0 ? 0 : StartTime;
  const double InTime = static_cast<double>(Ost.SyncSource->Pts - Origin) / 1000000.0;
  const TVideoWriteResult R = Ost.Video->Write(Picture, InTime);
  VideoSize += R.BytesWritten;
  FramesDropped += R.Dropped;
  FramesDuplicated += static_cast<int>(R.Duplicated);
  Ost.FrameNumber = Ost.Video->FrameNumber();
  Ost.SyncPts = Ost.Video->SyncPts();
  if (VstatsFileName && R.FrameSize != 0) DoVideoStats(Ost, R.FrameSize);
}

int TCustomFFmpeg::RouteSubtitle(TInputStreamState& Ist, const AVPacket* Packet) {
  if (!Packet) return 0;
  SubtitlePtr Sub(new AVSubtitle{});
  int Got = 0;
  // The decoder takes a packet it may not change.
  if (TimedCall(TRunStage::Decode, [&] {
        return ff::avcodec_decode_subtitle2(Ist.Dec, Sub.get(), &Got,
                                            const_cast<AVPacket*>(Packet));
      }) < 0)
    return -1;
  if (!Got) return 0;
  if (StartTime != 0 && Ist.Pts < StartTime) return 0;
  for (auto& OstPtr : Tables->OutputStreams) {
    TOutputStreamState& Ost = *OstPtr;
    if (!Ost.EncodingNeeded || Ost.Type != AVMEDIA_TYPE_SUBTITLE ||
        Tables->InputStreams[Ost.SourceIndex].get() != &Ist)
      continue;
    DoSubtitleOut(Ost, Ist, *Sub, Packet->pts);
  }
  return 0;
}

void TCustomFFmpeg::DoSubtitleOut(TOutputStreamState& Ost, TInputStreamState& Ist,
                                  const AVSubtitle& Sub, int64_t Pts) {
  if (Pts == AV_NOPTS_VALUE) {
    if (ExitOnError) throw FFMpegException("Subtitle packets must have a pts");
    Log(0, "Subtitle packets must have a pts");
    return;
  }
  TRunTables& T = *Tables;
  if (T.SubtitleBuffer.empty()) T.SubtitleBuffer.resize(SubtitleBufferSize);
  const bool Dvb = Ost.Enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
  const int Count = Dvb ? 2 : 1;
  PacketPtr Packet(ff::av_packet_alloc());
  if (!Packet) throw FFMpegException("Could not allocate a packet");
  for (int I = 0; I < Count; ++I) {
    // The second DVB packet clears the screen: an empty subtitle.
    AVSubtitle Copy = Sub;
    if (Dvb && I == 1) Copy.num_rects = 0;
    const int Size = TimedCall(TRunStage::Encode, [&] {
      return ff::avcodec_encode_subtitle(Ost.Enc, T.SubtitleBuffer.data(),
                                         static_cast<int>(T.SubtitleBuffer.size()), &Copy);
    });
    if (Size < 0) throw FFMpegException("Subtitle encoding failed");
    if (ff::av_new_packet(Packet.get(), Size) < 0)
      throw FFMpegException("Could not allocate a packet");
    std::copy_n(T.SubtitleBuffer.data(), Size, Packet->data);
    Packet->stream_index = Ost.Stream->index;
    Packet->pts = ff::av_rescale_q(Pts, Ist.Stream->time_base, Ost.Stream->time_base);
    if (Dvb) {
      const AVRational Ms{1, 1000};
      const int64_t Shift = I == 0 ? Sub.start_display_time : Sub.end_display_time;
      Packet->pts += ff::av_rescale_q(Shift, Ms, Ost.Stream->time_base);
    }
    Packet->dts = Packet->pts;
    WriteFrame(Ost, Packet.get());
    ff::av_packet_unref(Packet.get());
  }
}

void TCustomFFmpeg::CopyPacket(TOutputStreamState& Ost, TInputStreamState& Ist,
                               const AVPacket& Packet, int64_t PacketTime) {
  // Copying starts with the first key packet of the stream.
  if (Ost.FrameNumber == 0 && !(Packet.flags & AV_PKT_FLAG_KEY)) return;
  PacketPtr Copy(ff::av_packet_alloc());
  if (!Copy || ff::av_packet_ref(Copy.get(), &Packet) < 0)
    throw FFMpegException("Could not copy a packet");
  if (Ost.Type == AVMEDIA_TYPE_AUDIO) {
    AudioSize += Packet.size;
  } else if (Ost.Type == AVMEDIA_TYPE_VIDEO) {
    VideoSize += Packet.size;
    Ost.SyncPts += 1;
  }
  const AVRational InBase = Ist.Stream->time_base;
  const AVRational OutBase = Ost.Stream->time_base;
  Copy->stream_index = Ost.Stream->index;
  Copy->pts =
      Packet.pts != AV_NOPTS_VALUE ? ff::av_rescale_q(Packet.pts, InBase, OutBase) : AV_NOPTS_VALUE;
  Copy->dts = Packet.dts != AV_NOPTS_VALUE ? ff::av_rescale_q(Packet.dts, InBase, OutBase)
                                           : ff::av_rescale_q(PacketTime, MicrosecondBase, OutBase);
  Copy->duration = Packet.duration > 0 ? ff::av_rescale_q(Packet.duration, InBase, OutBase) : 0;
  Copy->pos = -1;
  WriteFrame(Ost, Copy.get());
  Ost.FrameNumber += 1;
}

void TCustomFFmpeg::FlushEncoders(TInputStreamState& Ist) {
  for (auto& OstPtr : Tables->OutputStreams) {
    TOutputStreamState& Ost = *OstPtr;
    if (!Ost.EncodingNeeded || Tables->InputStreams[Ost.SourceIndex].get() != &Ist) continue;
    if (Ost.Video) {
      // What the filter graph still holds goes out first.
      if (Ost.Graph && !Ost.GraphFlushed) {
        const int64_t Own = Ist.Pts;
        FilterAndWrite(Ost, Ist, nullptr);
        Ist.Pts = Own;
      }
      const TVideoWriteResult R = Ost.Video->Flush();
      VideoSize += R.BytesWritten;
      if (VstatsFileName && R.FrameSize != 0) DoVideoStats(Ost, R.FrameSize);
    } else if (Ost.Audio) {
      const int64_t Before = Ost.Audio->EncodedBytes();
      Ost.Audio->Flush();
      AudioSize += Ost.Audio->EncodedBytes() - Before;
      Ost.SyncPts = Ost.Audio->SyncPts();
    }
  }
}

void TCustomFFmpeg::EmulateRate(TInputStreamState& Ist) {
  // Reading keeps pace with the stream's time: the thread sleeps when it is
  // more than 50 ms ahead, in whole milliseconds.
  const int64_t Elapsed = ff::av_gettime_relative() - Ist.ReadStartTime;
  const int64_t Ahead = Ist.Pts - Elapsed;
  // One sleep lasts a second at most, so that a time stamp far ahead (a
  // damaged stream) cannot hold the run.
  if (Ahead > 50000)
    ff::av_usleep(static_cast<unsigned>((std::min<int64_t>(Ahead, 1000000) / 1000) * 1000));
  Ist.FrameCount += 1;
}

}  // namespace vexav
