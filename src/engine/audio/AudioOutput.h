// The audio output path of one re-encoded output audio stream: keeps the
// output in step with the input time stamps, converts channels, sample rate
// and sample format with one libswresample context, buffers the converted
// samples in an audio FIFO in the encoder's sample format and encodes them
// with the send/receive calls, handing every packet to the run's writer.
//
// One TAudioOutput exists per output audio stream that re-encodes; the run
// calls Push once per decoded audio block of the stream's source, and Flush
// once at the end of input. All counts are samples per channel: where the
// original byte arithmetic counted interleaved 16-bit samples, the same
// number of samples is dropped, added or encoded here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "binding/Owners.h"

namespace vexav {

// The engine values the audio path reads, with the option that sets each.
struct TAudioSyncOptions {
  int AudioSyncMethod = 0;            // "async"
  float AudioDriftThreshold = 0.1f;   // "adrift_threshold", seconds
  int64_t StartTime = 0;              // "ss", microseconds
  int Verbose = 1;                    // "v"
  bool ExitOnError = false;           // "xerror"
};

class TAudioOutput {
 public:
  // Receives each encoded packet: time stamps in the output stream's time
  // base, stream_index set, key flag set. The packet belongs to the caller of
  // the callback; the callback may take its contents (as
  // av_interleaved_write_frame does) and must not free the packet itself.
  using TWriteFn = std::function<void(AVPacket* Packet)>;
  // Receives the engine's log lines (levels -1, 0, 1). May be empty.
  using TLogFn = std::function<void(int Level, const std::string& Text)>;

  // Enc: the opened encoder (its sample_fmt, sample_rate, ch_layout,
  // frame_size and time_base are read on every use). OutStream: the output
  // stream (index and time_base are read when a packet is written, so a time
  // base set by the muxer's header is honoured). Neither is owned.
  // Raises FFMpegException "av_malloc failed" when the FIFO cannot be made.
  TAudioOutput(AVCodecContext* Enc, const AVStream* OutStream, TWriteFn Write, TLogFn Log);
  ~TAudioOutput();
  TAudioOutput(const TAudioOutput&) = delete;
  TAudioOutput& operator=(const TAudioOutput&) = delete;

  // One decoded block (the volume already applied). The block's format, rate
  // and channel count come from the frame, or from Dec where the frame leaves
  // them unset (Dec may be null). SyncSourcePtsUs: the Pts (microseconds) of
  // the output stream's sync source; IsStart: that input stream's flag, read
  // and cleared here once the start has been aligned. Raises FFMpegException
  // with the texts of the audio path on failure.
  void Push(const AVFrame* Decoded, const AVCodecContext* Dec, int64_t SyncSourcePtsUs, int& IsStart,
            const TAudioSyncOptions& Opts);

  // End of input: empties the resampler and the FIFO (the remainder as one
  // short last frame) and drains the encoder. Runs once; later calls do
  // nothing. Push after Flush fails with "Audio encoding failed".
  void Flush();

  // The volume step, in the frame's own sample format, in place. Volume 256
  // leaves the frame untouched. Integer formats: (s * Volume + 128) >> 8
  // (rounding toward minus infinity) clipped to the format's range (U8 on its
  // value minus 128); float formats: s * Volume / 256 clipped to [-1, 1].
  // A reference-counted frame is made writable first.
  static void ApplyVolume(AVFrame* Frame, int Volume);

  // Samples per channel, in the encoder's sample rate, given to the encoder
  // so far (with sync method 0 re-derived from the input time on each block).
  int64_t SyncPts() const { return SyncPtsValue; }
  // Bytes of encoded audio handed to the writer (the engine's AudioSize share).
  int64_t EncodedBytes() const { return EncodedBytesValue; }
  // Samples per channel waiting in the FIFO for a whole encoder frame.
  int FifoSamples() const;
  // Whether a resampling/conversion context is in use.
  bool HasResampler() const { return static_cast<bool>(Resampler); }

 private:
  struct TInputKey {
    int Format = -1;
    int Rate = 0;
    int Channels = 0;
    bool operator==(const TInputKey&) const = default;
  };

  void EnsureResampler(const TInputKey& In, const AVChannelLayout* InLayout, int SyncMethod);
  void FlushResampler();
  int64_t ResamplerDelay() const;
  void ConvertIntoFifo(const uint8_t* const* Planes, int Count, bool ExitOnError);
  void WriteFifo(uint8_t* const* Planes, int Count);
  void EncodeWholeFrames();
  void EncodeFromFifo(int Count);
  void SendFrame(const AVFrame* Frame);
  void Report(int Level, const std::string& Text) const;

  AVCodecContext* Enc;
  const AVStream* OutStream;
  TWriteFn Write;
  TLogFn Log;

  AudioFifoPtr Fifo;
  ResamplerPtr Resampler;
  TInputKey ResamplerKey;
  FramePtr ConvFrame;  // resampler output, reused while large enough
  PacketPtr Packet;
  std::vector<std::vector<uint8_t>> SilenceBuf;  // one buffer a plane
  int64_t SyncPtsValue = 0;
  int64_t EncodedBytesValue = 0;
  bool Flushed = false;
};

}  // namespace vexav
