// The per-run tables of a conversion: one record per input file, per input
// stream and per output stream. They exist while Transcode runs: setup
// builds them, the main loop and packet routing work on them, and
// ReleaseRunTables frees them on every way out of Transcode. Every library
// object a record holds has an owner here, so that freeing the tables frees
// each object exactly once, whatever ended the run.
//
// The codec contexts themselves are not owned here: the decoder contexts
// belong to the engine's InputCodecs and the encoder contexts to its
// OutputCodecs, from the opening of their files until ReleaseFiles; the
// open-codec lists (OpenedEncoders, OpenedDecoders) record which of them are
// open, so that Run closes each exactly once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "binding/Owners.h"
#include "engine/audio/AudioOutput.h"
#include "engine/video/VideoOutput.h"
#include "engine/video/VideoPreprocessor.h"

namespace vexav {

// Closes a statistics file of the run.
struct StdFileCloser {
  void operator()(std::FILE* F) const { std::fclose(F); }
};
using StdFilePtr = std::unique_ptr<std::FILE, StdFileCloser>;

struct TInputFileState {
  // 1 once reading this file failed: the main loop no longer chooses it.
  int EofReached = 0;
  // Position in InputStreams of this file's first stream.
  int IstIndex = 0;
  // The file's stream count at setup. Streams that a demuxer adds while
  // reading have no record and their packets are dropped.
  int NbStreams = 0;
};

struct TInputStreamState {
  int FileIndex = 0;
  int StreamIndex = 0;
  AVStream* Stream = nullptr;
  // The decoder context (the engine's InputCodec) and its decoder.
  AVCodecContext* Dec = nullptr;
  const AVCodec* Decoder = nullptr;
  // 1: no output stream takes data from it; its packets are dropped.
  int Discard = 1;
  // 1: its packets are decoded because a mapped output stream re-encodes.
  int DecodingNeeded = 0;
  // Rate emulation ("re" before the file): the run's start on the monotonic
  // clock, microseconds.
  int RateEmu = 0;
  int64_t ReadStartTime = 0;
  int FrameCount = 0;
  // Predicted time of the next decoded frame, and the time of the frame
  // being handled, both in microseconds.
  int64_t NextPts = AV_NOPTS_VALUE;
  int64_t Pts = 0;
  // Video: the decode times (stream time base) of the packets sent to the
  // decoder whose pictures have not come out yet. Pictures come out in
  // presentation order, later than their packets when the codec reorders
  // them (B-frames); a picture whose container keeps no presentation time
  // (AVI) takes the earliest of these times, not the time of the packet
  // that happened to release it.
  std::deque<int64_t> PendingDts;
  // 1 until the audio path has aligned the start of the stream.
  int IsStart = 1;
  // The end of input has been sent to the decoder.
  bool DecoderDrained = false;
  // Frames its decoder gave (before any start gate).
  int64_t FramesDecoded = 0;
  // Sound: the part of its file's time-stamp offset (microseconds) that
  // the stream's time base cannot carry. An AVI's MP3 stream counts whole
  // packets of 1152 samples (26 ms): an offset such as the one "ss" before
  // the input makes is added to its packets rounded to that, and the rest
  // is added to its times here, so that the sound is cut to the sample.
  int64_t OffsetRemainderUs = 0;
  // The frame the decoder hands out, reused from frame to frame.
  FramePtr Frame;
  // Video: the picture size and format the outputs were set up for. A
  // decoded picture that differs (a stream that changes size midway, a
  // damaged stream) is converted to it first, so that neither the scaler
  // nor an encoder ever reads a picture of another size than it expects.
  int ExpectedWidth = 0, ExpectedHeight = 0, ExpectedPixFmt = -1;
  ScalerPtr Conformer;
  FramePtr Conformed;
};

// One opened bitstream filter of an output stream's chain.
struct TBsfStage {
  std::string Name;
  BsfPtr Context;
};

struct TOutputStreamState {
  int FileIndex = 0;
  int StreamIndex = 0;
  // Position in InputStreams of the stream that feeds it.
  int SourceIndex = 0;
  AVStream* Stream = nullptr;
  AVFormatContext* File = nullptr;
  // The encoder context (the engine's OutputCodec); for stream copy it only
  // carries the options the stream was created with.
  AVCodecContext* Enc = nullptr;
  AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
  // 1 = re-encode, 0 = stream copy.
  int EncodingNeeded = 0;
  // Packets copied (stream copy) or video frames passed to the encoder.
  int FrameNumber = 0;
  TInputStreamState* SyncSource = nullptr;
  // Video: the frame counter in the encoder's time base; audio: samples
  // given to the encoder; stream-copied video: packets copied.
  int64_t SyncPts = 0;

  // Picture set-up of re-encoded video.
  int VideoResample = 0;
  int VideoCrop = 0;
  int CropTop = 0, CropLeft = 0;
  int VideoPad = 0;
  int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
  int ResampleHeight = 0;
  ScalerPtr ScaleContext;

  // The output paths of re-encoded streams (declared after the scaler they
  // use, so that they go first).
  std::unique_ptr<TVideoOutput> Video;
  std::unique_ptr<TAudioOutput> Audio;

  // The filter graph of re-encoded video when a filter chain is in use
  // ("vfilters"): the graph owns its filters; Source and Sink are its
  // "buffer" and "buffersink" ends. Pushed is a reference made for each
  // picture handed to the graph, Filtered what the sink gives back.
  FilterGraphPtr Graph;
  AVFilterContext* Source = nullptr;
  AVFilterContext* Sink = nullptr;
  FramePtr Pushed;
  FramePtr Filtered;
  bool GraphFlushed = false;

  // The opened bitstream-filter chain, in order.
  std::vector<TBsfStage> Bsf;

  // Two-pass statistics written in pass 1.
  StdFilePtr LogFile;
  std::string LogFileName;

  // The muxer's current time of the stream: the end (time stamp plus
  // duration) of the last packet handed to the muxer, seconds; 0 until one
  // was written.
  double EndTime = 0;
  bool Written = false;
  // Packets the muxer accepted for this stream, with or without a time.
  int64_t PacketsMuxed = 0;
};

struct TRunTables {
  std::vector<TInputFileState> FileTable;
  std::vector<std::unique_ptr<TInputStreamState>> InputStreams;
  std::vector<std::unique_ptr<TOutputStreamState>> OutputStreams;
  // Every output muxer is "rtp".
  bool AllRtp = false;
  // The subtitle encoder's output buffer (65536 bytes, made on first use).
  std::vector<uint8_t> SubtitleBuffer;
  // The working copy of pre-processed pictures.
  std::unique_ptr<TVideoPreprocessor> Preprocessor;
};

}  // namespace vexav
