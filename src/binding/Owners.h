// Small owners for media-library objects: each frees its object through the
// library's own release call on every exit path.
#pragma once

#include <memory>

#include "binding/Api.h"

namespace vexav {

struct InputFormatDeleter {
  void operator()(AVFormatContext* P) const { ff::avformat_close_input(&P); }
};
// An output context also owns the file it writes to, when its muxer has one.
struct OutputFormatDeleter {
  void operator()(AVFormatContext* P) const {
    if (P->pb && P->oformat && !(P->oformat->flags & AVFMT_NOFILE)) ff::avio_closep(&P->pb);
    ff::avformat_free_context(P);
  }
};
// A format context that was only allocated: no demuxer opened it and no
// file belongs to it.
struct FormatContextDeleter {
  void operator()(AVFormatContext* P) const { ff::avformat_free_context(P); }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* P) const { ff::avcodec_free_context(&P); }
};
struct FrameDeleter {
  void operator()(AVFrame* P) const { ff::av_frame_free(&P); }
};
struct PacketDeleter {
  void operator()(AVPacket* P) const { ff::av_packet_free(&P); }
};
struct DictionaryDeleter {
  void operator()(AVDictionary* P) const { ff::av_dict_free(&P); }
};
struct ScalerDeleter {
  void operator()(SwsContext* P) const { ff::sws_freeContext(P); }
};
struct ResamplerDeleter {
  void operator()(SwrContext* P) const { ff::swr_free(&P); }
};
struct AudioFifoDeleter {
  void operator()(AVAudioFifo* P) const { ff::av_audio_fifo_free(P); }
};
struct FilterGraphDeleter {
  void operator()(AVFilterGraph* P) const { ff::avfilter_graph_free(&P); }
};
struct BsfDeleter {
  void operator()(AVBSFContext* P) const { ff::av_bsf_free(&P); }
};
struct SubtitleDeleter {
  void operator()(AVSubtitle* P) const {
    ff::avsubtitle_free(P);
    delete P;
  }
};
struct LibraryMemoryDeleter {
  void operator()(void* P) const { ff::av_free(P); }
};

using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatDeleter>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerDeleter>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphDeleter>;
using BsfPtr = std::unique_ptr<AVBSFContext, BsfDeleter>;
// A subtitle decoded into memory of the program's own: its rectangles are
// the library's and go with avsubtitle_free.
using SubtitlePtr = std::unique_ptr<AVSubtitle, SubtitleDeleter>;
template <typename T>
using LibraryMemoryPtr = std::unique_ptr<T, LibraryMemoryDeleter>;

// A dictionary that the library may replace or free while it is being used
// (avformat_open_input, avcodec_open2 take its address).
class Dictionary {
 public:
  Dictionary() = default;
  Dictionary(const Dictionary&) = delete;
  Dictionary& operator=(const Dictionary&) = delete;
  ~Dictionary() { ff::av_dict_free(&Dict); }
  AVDictionary** Address() { return &Dict; }
  AVDictionary* Get() const { return Dict; }
  int Set(const char* Key, const char* Value, int Flags = 0) {
    return ff::av_dict_set(&Dict, Key, Value, Flags);
  }

 private:
  AVDictionary* Dict = nullptr;
};

}  // namespace vexav
