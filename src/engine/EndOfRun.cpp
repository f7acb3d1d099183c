// The end of a conversion run, after the main loop, in its order: the
// decoders and encoders flushed, a run that found nothing to decode failed,
// the trailers, the final report, the codecs
// closed, the outputs checked to be still there, Finished. (Transcode then
// releases the run tables.) A stop request ends the loop early; all of this
// still runs, so a stopped run's outputs are complete files. A run counts as
// stopped when the stop came before the flush had written everything out.
#include <algorithm>
#include <mutex>

#include "binding/ErrorText.h"
#include "engine/CodecLock.h"
#include "engine/FFmpeg.h"
#include "engine/RunTables.h"

namespace vexav {
namespace {

void RemoveFrom(std::vector<AVCodecContext*>& List, AVCodecContext* Context) {
  std::erase(List, Context);
}

// No input stream gave a decoded frame and no output stream a packet.
bool NothingCameOut(const TRunTables& T) {
  return std::none_of(T.InputStreams.begin(), T.InputStreams.end(),
                      [](const auto& Ist) { return Ist->FramesDecoded > 0; }) &&
         std::none_of(T.OutputStreams.begin(), T.OutputStreams.end(),
                      [](const auto& Ost) { return Ost->PacketsMuxed > 0; });
}

}  // namespace

void TCustomFFmpeg::EndOfRun() {
  TRunTables& T = *Tables;

  // 1. What the decoders and then the encoders still hold.
  for (auto& Ist : T.InputStreams)
    if (Ist->DecodingNeeded) OutputPacket(*Ist, nullptr);
  // What bitstream filters still hold.
  for (auto& Ost : T.OutputStreams)
    if (!Ost->Bsf.empty()) WriteFrame(*Ost, nullptr);

  // Whether a stop cut the run short: asked before everything held was
  // written out. A stop that comes after this point (while the trailers are
  // written or the codecs closed) finds every picture and sound written: the
  // run has reached its end, and its outputs are complete.
  const bool Stopped = StopRequested;

  // A run that read its inputs to the end without decoding a frame or
  // copying a packet (a file whose media data was stripped or cut off
  // before the first frame) has nothing to write: an error, so that no
  // output of headers alone is left.
  if (!Stopped && NothingCameOut(T))
    throw FFMpegException("The file holds no audio or video data that can be decoded");

  // 2. Trailers, every one of them. A trailer that cannot be written (the
  // disk is full) leaves a broken file: that is an error of the run, raised
  // once all trailers were tried, not a success.
  int TrailerError = 0;
  for (int O = 0; O < OutputFileCount; ++O) {
    const int Ret =
        TimedCall(TRunStage::Mux, [&] { return ff::av_write_trailer(OutputFiles[O].get()); });
    if (Ret < 0 && TrailerError == 0) TrailerError = Ret;
  }
  if (TrailerError < 0) throw FFMpegException(LibraryErrorText("av_write_trailer()", TrailerError));
  // From here on an error keeps the outputs: they are complete files.
  TrailersWritten = true;

  // 3. The final report.
  PrintReport(true);

  // 4. and 5. Encoders and decoders closed, each under the codec lock.
  for (auto& Ost : T.OutputStreams) {
    if (!Ost->EncodingNeeded) continue;
    AVCodecContext* Enc = Ost->Enc;
    ff::av_freep(&Enc->stats_in);
    std::lock_guard<std::recursive_mutex> Guard(CodecLock());
    if (std::find(OpenedEncoders.begin(), OpenedEncoders.end(), Enc) != OpenedEncoders.end()) {
      TimedCall(TRunStage::Codecs, [&] { return ff::avcodec_close(Enc); });
      RemoveFrom(OpenedEncoders, Enc);
    }
  }
  for (auto& Ist : T.InputStreams) {
    if (!Ist->DecodingNeeded) continue;
    std::lock_guard<std::recursive_mutex> Guard(CodecLock());
    if (std::find(OpenedDecoders.begin(), OpenedDecoders.end(), Ist->Dec) != OpenedDecoders.end()) {
      TimedCall(TRunStage::Codecs, [&] { return ff::avcodec_close(Ist->Dec); });
      RemoveFrom(OpenedDecoders, Ist->Dec);
    }
  }

  // A file whose name was removed during the run (its folder deleted)
  // took every write and is gone all the same: not a success.
  CheckOutputsPresent();

  // A stop that came before anything reached an output leaves a file with
  // headers but no picture or sound, which no player opens: removed.
  if (Stopped) {
    for (int O = 0; O < OutputFileCount; ++O) {
      const bool Written =
          std::any_of(T.OutputStreams.begin(), T.OutputStreams.end(),
                      [&](auto& Ost) { return Ost->File == OutputFiles[O].get() && Ost->PacketsMuxed > 0; });
      if (!Written)
        RemoveCreatedOutput(
            O, "Removed output file '%s': the conversion was stopped before anything was written.", 1);
    }
  }

  // 6.
  Finished = !Stopped;
}

}  // namespace vexav
