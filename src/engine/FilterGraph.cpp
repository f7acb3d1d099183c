// The filter graph of a re-encoded video stream ("vfilters"): the decoded,
// pre-processed pictures enter a "buffer" source named "src", pass a
// "scale" filter when the encoder's size (less the pad bands) differs from
// the decoder's, then the user's chain, then a "format" filter that gives
// the encoder's pixel format, and leave through a "buffersink" named
// "out". Pictures of another sample range than the encoder's (full against
// video range) pass a "scale" filter that converts the range before the
// "format" filter. Time stamps travel in microseconds. The graph takes over crop and
// scale from the video output; padding is still done there, on the graph's
// output.
#include <cinttypes>

#include "binding/Text.h"
#include "engine/FFmpeg.h"
#include "engine/RunTables.h"

namespace vexav {
namespace {

constexpr AVRational MicrosecondBase{1, 1000000};
constexpr const char* PadAndResizeText =
    "Cannot enable pad options and the filters which resize frame at the same time. "
    "(crop, rotate, scale, transpose, etc.)";

std::string ErrorString(int Code) {
  char Text[256] = {};
  if (ff::av_strerror(Code, Text, sizeof Text) < 0) return Format("error %d", Code);
  return Text;
}

struct TInOutDeleter {
  void operator()(AVFilterInOut* P) const { ff::avfilter_inout_free(&P); }
};
using InOutPtr = std::unique_ptr<AVFilterInOut, TInOutDeleter>;

// One open end of the user's chain: Name on pad 0 of Filter.
InOutPtr OpenEnd(const char* Name, AVFilterContext* Filter) {
  InOutPtr End(ff::avfilter_inout_alloc());
  if (!End) return nullptr;
  End->name = ff::av_strdup(Name);
  End->filter_ctx = Filter;
  End->pad_idx = 0;
  End->next = nullptr;
  if (!End->name) return nullptr;
  return End;
}

}  // namespace

int TCustomFFmpeg::ConfigureFilters(TInputStreamState& Ist, TOutputStreamState& Ost) {
  AVCodecContext* Dec = Ist.Dec;
  AVCodecContext* Enc = Ost.Enc;
  const int PT = PadTop, PB = PadBottom, PL = PadLeft, PR = PadRight;
  if (CropTop != 0 || CropBottom != 0 || CropLeft != 0 || CropRight != 0) {
    LastError = "Cannot enable crop options and filters at the same time.";
    return -1;
  }
  const int InWidth = Ist.ExpectedWidth > 0 ? Ist.ExpectedWidth : Dec->width;
  const int InHeight = Ist.ExpectedHeight > 0 ? Ist.ExpectedHeight : Dec->height;
  const int InFormat = Ist.ExpectedPixFmt >= 0 ? Ist.ExpectedPixFmt : Dec->pix_fmt;
  if (InWidth <= 0 || InHeight <= 0 || InFormat < 0) {
    LastError = "the decoder's picture size or format is unknown";
    return -1;
  }

  Ost.Graph.reset(ff::avfilter_graph_alloc());
  AVFilterGraph* Graph = Ost.Graph.get();
  if (!Graph) {
    LastError = "Could not allocate the filter graph";
    return -1;
  }
  Graph->nb_threads = 1;

  // The source: the pictures as pre-processing leaves them.
  AVRational Sar = Dec->sample_aspect_ratio;
  if (Sar.num <= 0 || Sar.den <= 0) Sar = AVRational{0, 1};
  const std::string SourceArgs = Format("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", InWidth,
                                        InHeight, InFormat, MicrosecondBase.num, MicrosecondBase.den, Sar.num, Sar.den);
  int Ret = ff::avfilter_graph_create_filter(&Ost.Source, ff::avfilter_get_by_name("buffer"), "src",
                                             SourceArgs.c_str(), nullptr, Graph);
  if (Ret < 0) {
    LastError = "Cannot create the buffer source: " + ErrorString(Ret);
    return -1;
  }
  // The sink, behind a "format" filter with the encoder's pixel format.
  Ret = ff::avfilter_graph_create_filter(&Ost.Sink, ff::avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                         Graph);
  if (Ret < 0) {
    LastError = "Cannot create the buffer sink: " + ErrorString(Ret);
    return -1;
  }
  AVFilterContext* Last = Ost.Source;
  AVFilterContext* ChainEnd = Ost.Sink;
  const char* EncFormat = ff::av_get_pix_fmt_name(Enc->pix_fmt);
  if (EncFormat) {
    AVFilterContext* FormatFilter = nullptr;
    const std::string FormatArgs = std::string("pix_fmts=") + EncFormat;
    Ret = ff::avfilter_graph_create_filter(&FormatFilter, ff::avfilter_get_by_name("format"), "format",
                                           FormatArgs.c_str(), nullptr, Graph);
    if (Ret < 0 || ff::avfilter_link(FormatFilter, 0, Ost.Sink, 0) < 0) {
      LastError = "Cannot create the format filter: " + ErrorString(Ret);
      return -1;
    }
    ChainEnd = FormatFilter;
  }

  // Samples of another range than the encoder's (full against video range),
  // converted once, at the end of the chain: a plain format flagged full
  // range keeps its format through the chain and the "format" filter would
  // hand it on as it is.
  const bool SourceFull = FullRangeSamples(InFormat, Dec->color_range);
  const bool TargetFull = FullRangeSamples(Enc->pix_fmt, Enc->color_range);
  if (SourceFull != TargetFull) {
    const char* Args =
        SourceFull ? "in_range=jpeg:out_range=mpeg" : "in_range=mpeg:out_range=jpeg";
    const AVFilter* Scale = ff::avfilter_get_by_name("scale");
    AVFilterContext* Ranger =
        Scale ? ff::avfilter_graph_alloc_filter(Graph, Scale, "range") : nullptr;
    if (!Ranger) {
      LastError = "Cannot create the scale filter";
      return -1;
    }
    Ret = ff::avfilter_init_str(Ranger, Args);
    if (Ret >= 0) Ret = ff::avfilter_link(Ranger, 0, ChainEnd, 0);
    if (Ret < 0) {
      LastError = std::string("Cannot set up the scale filter (") + Args + "): " + ErrorString(Ret);
      return -1;
    }
    ChainEnd = Ranger;
  }

  // The encoder's size wants another picture size: a scale filter first.
  if (InWidth + PL + PR != Enc->width || InHeight + PT + PB != Enc->height) {
    const std::string Args = Format("%d:%d", Enc->width - PL - PR, Enc->height - PT - PB);
    const AVFilter* Scale = ff::avfilter_get_by_name("scale");
    AVFilterContext* Scaler = Scale ? ff::avfilter_graph_alloc_filter(Graph, Scale, nullptr) : nullptr;
    if (!Scaler) {
      LastError = "Cannot create the scale filter";
      return -1;
    }
    Ret = ff::avfilter_init_str(Scaler, Args.c_str());
    if (Ret >= 0) Ret = ff::avfilter_link(Last, 0, Scaler, 0);
    if (Ret < 0) {
      LastError = "Cannot set up the scale filter (" + Args + "): " + ErrorString(Ret);
      return -1;
    }
    Log(1, Format("Inserted filter scale=%s before the filter chain of output stream #%d.%d", Args.c_str(),
                  Ost.FileIndex, Ost.StreamIndex));
    Last = Scaler;
  }

  // The user's chain between "in" (Last's output) and "out" (the sink side).
  InOutPtr Outputs = OpenEnd("in", Last);
  InOutPtr Inputs = OpenEnd("out", ChainEnd);
  if (!Outputs || !Inputs) {
    LastError = "Could not allocate the filter chain's ends";
    return -1;
  }
  AVFilterInOut* InputsRaw = Inputs.release();
  AVFilterInOut* OutputsRaw = Outputs.release();
  Ret = ff::avfilter_graph_parse_ptr(Graph, VideoFilters.c_str(), &InputsRaw, &OutputsRaw, nullptr);
  ff::avfilter_inout_free(&InputsRaw);
  ff::avfilter_inout_free(&OutputsRaw);
  if (Ret < 0) {
    LastError = "cannot parse the filter chain \"" + VideoFilters + "\": " + ErrorString(Ret);
    return -1;
  }
  Ret = ff::avfilter_graph_config(Graph, nullptr);
  if (Ret < 0) {
    LastError = "cannot configure the filter graph: " + ErrorString(Ret);
    return -1;
  }

  const int W = ff::av_buffersink_get_w(Ost.Sink);
  const int H = ff::av_buffersink_get_h(Ost.Sink);
  if ((PT | PB | PL | PR) != 0 && (W != FrameWidth || H != FrameHeight)) {
    LastError = PadAndResizeText;
    return -1;
  }
  Enc->width = W + PL + PR;
  Enc->height = H + PT + PB;
  Ost.Pushed.reset(ff::av_frame_alloc());
  Ost.Filtered.reset(ff::av_frame_alloc());
  if (!Ost.Pushed || !Ost.Filtered) {
    LastError = "Could not allocate video frame";
    return -1;
  }
  return 0;
}

int TCustomFFmpeg::GetFilteredVideoPicture(AVFilterContext* Sink, AVFrame* Picture, int64_t& Pts) {
  ff::av_frame_unref(Picture);
  if (TimedCall(TRunStage::Filter, [&] { return ff::av_buffersink_get_frame(Sink, Picture); }) < 0)
    return -1;
  if (Picture->pts != AV_NOPTS_VALUE)
    Pts = ff::av_rescale_q(Picture->pts, ff::av_buffersink_get_time_base(Sink), MicrosecondBase);
  return 1;
}

void TCustomFFmpeg::FilterAndWrite(TOutputStreamState& Ost, TInputStreamState& Ist, const AVFrame* Picture) {
  if (!Ost.Graph || Ost.GraphFlushed) return;
  int Ret = 0;
  if (Picture) {
    AVFrame* Pushed = Ost.Pushed.get();
    ff::av_frame_unref(Pushed);
    // A reference (a copy for the working copy, which has no buffers), so
    // that the graph may keep the picture as long as it likes.
    if (ff::av_frame_ref(Pushed, Picture) < 0) throw FFMpegException("Could not allocate video frame");
    Pushed->pts = Ist.Pts;
    Ret = TimedCall(TRunStage::Filter,
                    [&] { return ff::av_buffersrc_add_frame_flags(Ost.Source, Pushed, 0); });
    ff::av_frame_unref(Pushed);
  } else {
    Ret = TimedCall(TRunStage::Filter,
                    [&] { return ff::av_buffersrc_add_frame_flags(Ost.Source, nullptr, 0); });
    Ost.GraphFlushed = true;
  }
  if (Ret < 0) {
    Log(0, "Error while filtering: " + ErrorString(Ret));
    if (ExitOnError) throw FFMpegException("Error while filtering: " + ErrorString(Ret));
    return;
  }
  int64_t Pts = Ist.Pts;
  while (GetFilteredVideoPicture(Ost.Sink, Ost.Filtered.get(), Pts) == 1) {
    Ist.Pts = Pts;
    WriteVideo(Ost, Ost.Filtered.get());
    ff::av_frame_unref(Ost.Filtered.get());
  }
}

}  // namespace vexav
