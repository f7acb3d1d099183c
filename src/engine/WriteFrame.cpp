// Writing a packet: through the output stream's bitstream-filter chain, then
// the muxer's interleaved write.
//
// A chain is opened once the header is written, one filter context per
// entry of the stream's BitstreamFilters chain (its name and its option
// text, as the filter-list syntax "name=options" reads them), each taking
// the previous one's output parameters. A packet goes through the stages in
// order with the send/receive calls; one packet in may give none or several
// out. A stage that fails builds "%s failed for stream %d, codec %s" through
// the library error text rule: with "xerror" that ends the run, otherwise it
// is logged at level 0 and the packet passes that stage unfiltered.
// A write failure is always fatal: LibraryErrorText of
// "av_interleaved_write_frame()".
#include "binding/ErrorText.h"
#include "binding/Text.h"
#include "engine/FFmpeg.h"
#include "engine/RunTables.h"
#include "engine/RunTimings.h"

namespace vexav {
namespace {

std::string CodecNameOf(const TOutputStreamState& Ost) {
  if (!Ost.EncodingNeeded || !Ost.Enc || !Ost.Enc->codec) return "copy";
  return ff::avcodec_get_name(Ost.Enc->codec_id);
}

}  // namespace

void TCustomFFmpeg::OpenBitstreamFilters(TOutputStreamState& Ost) {
  const TBitstreamFilterChain& Chain = BitstreamFilters[Ost.FileIndex][Ost.StreamIndex];
  const AVCodecParameters* Par = Ost.Stream->codecpar;
  AVRational Base = Ost.Stream->time_base;
  for (const TBitstreamFilterEntry& Entry : Chain) {
    const std::string Text = Entry.Args.empty() ? Entry.Name : Entry.Name + "=" + Entry.Args;
    AVBSFContext* Raw = nullptr;
    if (ff::av_bsf_list_parse_str(Text.c_str(), &Raw) < 0 || !Raw)
      throw FFMpegException(Format("Unknown bitstream filter %s", Entry.Name.c_str()));
    BsfPtr Context(Raw);
    if (ff::avcodec_parameters_copy(Context->par_in, Par) < 0) throw FFMpegException("av_mallocz fail");
    Context->time_base_in = Base;
    if (ff::av_bsf_init(Context.get()) < 0)
      throw FFMpegException(Format("Error initializing bitstream filter: %s", Entry.Name.c_str()));
    Par = Context->par_out;
    Base = Context->time_base_out;
    Ost.Bsf.push_back(TBsfStage{Entry.Name, std::move(Context)});
  }
}

void TCustomFFmpeg::WriteFrame(TOutputStreamState& Ost, AVPacket* Packet) {
  if (Ost.Bsf.empty()) {
    MuxPacket(Ost, Packet);
    return;
  }
  // Stage by stage; each stage's output feeds the next.
  struct TStageRunner {
    TCustomFFmpeg& Engine;
    TOutputStreamState& Ost;

    void Failed(std::size_t Stage, int StreamIndex, int Code) {
      const std::string Text = Format("%s failed for stream %d, codec %s", Ost.Bsf[Stage].Name.c_str(),
                                      StreamIndex, CodecNameOf(Ost).c_str());
      const std::string Message = LibraryErrorText(Text, Code);
      if (Engine.ExitOnError) throw FFMpegException(Message);
      Engine.Log(0, Message);
    }

    // Packet null: the end of the stream for Stage and those after it.
    void Run(std::size_t Stage, AVPacket* Packet) {
      if (Stage == Ost.Bsf.size()) {
        if (Packet) Engine.MuxPacket(Ost, Packet);
        return;
      }
      AVBSFContext* Context = Ost.Bsf[Stage].Context.get();
      const int StreamIndex = Packet ? Packet->stream_index : Ost.Stream->index;
      const int Sent =
          TimedCall(TRunStage::Mux, [&] { return ff::av_bsf_send_packet(Context, Packet); });
      if (Sent < 0) {
        Failed(Stage, StreamIndex, Sent);
        // The packet is untouched by a failed send: it goes on unfiltered.
        if (Packet) Run(Stage + 1, Packet);
        return;
      }
      PacketPtr Out(ff::av_packet_alloc());
      if (!Out) throw FFMpegException("Could not allocate a packet");
      for (;;) {
        const int Ret = TimedCall(TRunStage::Mux,
                                  [&] { return ff::av_bsf_receive_packet(Context, Out.get()); });
        if (Ret == AVERROR(EAGAIN) || Ret == AVERROR_EOF) break;
        if (Ret < 0) {
          Failed(Stage, StreamIndex, Ret);
          break;
        }
        Out->stream_index = StreamIndex;
        Run(Stage + 1, Out.get());
        ff::av_packet_unref(Out.get());
      }
      if (!Packet) Run(Stage + 1, nullptr);
    }
  };
  TStageRunner Runner{*this, Ost};
  Runner.Run(0, Packet);
}

void TCustomFFmpeg::MuxPacket(TOutputStreamState& Ost, AVPacket* Packet) {
  // The stream's current time: the end of the furthest packet handed over.
  const int64_t Stamp = Packet->pts != AV_NOPTS_VALUE ? Packet->pts : Packet->dts;
  if (Stamp != AV_NOPTS_VALUE) {
    const AVRational Base = Ost.Stream->time_base;
    const double End =
        static_cast<double>(Stamp + (Packet->duration > 0 ? Packet->duration : 0)) * Base.num / Base.den;
    if (!Ost.Written || End > Ost.EndTime) Ost.EndTime = End;
    Ost.Written = true;
  }
  const int Ret =
      TimedCall(TRunStage::Mux, [&] { return ff::av_interleaved_write_frame(Ost.File, Packet); });
  if (Ret < 0) throw FFMpegException(LibraryErrorText("av_interleaved_write_frame()", Ret));
  ++Ost.PacketsMuxed;
}

}  // namespace vexav
