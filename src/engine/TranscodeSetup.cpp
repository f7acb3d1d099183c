// The set-up of a conversion run, everything Transcode does before its main
// loop: the run tables, stream mapping, stream copy versus re-encoding with
// the encoder parameters, two-pass statistics files, the output paths of
// re-encoded streams, encoder and decoder opening, meta data, the headers.
//
// On today's libraries:
// - a stream copy takes the input stream's parameters whole
//   (avcodec_parameters_copy) into the output stream, then applies the
//   codec-tag and block-align rules to them;
// - an encoder is opened with a dictionary of the options that wait for it,
//   and its parameters and time base then go to the stream (the muxer may
//   still change the time base when it writes the header: packets are
//   rescaled to the stream's time base as they are written);
// - the decoders are the contexts made when the inputs were opened.
// Every failure raises FFMpegException with its text; Transcode releases the
// run tables on the way out and Run closes the codecs opened so far.
#include <cinttypes>
#include <cstring>
#include <mutex>

#include "binding/ErrorText.h"
#include "binding/Text.h"
#include "engine/CodecLock.h"
#include "engine/FFmpeg.h"
#include "engine/FreedMemory.h"
#include "engine/RunTables.h"
#include "engine/RunTimings.h"

namespace vexav {
namespace {

constexpr const char* DefaultPassLogPrefix = "ffmpeg2pass";
constexpr std::size_t MaxLogFileName = 1023;

AVMediaType InputType(const TInputStreamState& Ist) {
  return Ist.Stream->codecpar->codec_type;
}

void DumpOutput(AVFormatContext* File, int Index) {
  ff::av_dump_format(File, Index, File->url ? File->url : "", 1);
}

std::string LanguageOf(const AVStream* Stream) {
  const AVDictionaryEntry* Entry = ff::av_dict_get(Stream->metadata, "language", nullptr, 0);
  return Entry && Entry->value ? Entry->value : "";
}

}  // namespace

void TCustomFFmpeg::Transcode() {
  // With timings collected, the run's window: from here to the release of
  // the run tables.
  TRunTimingWindow TimingWindow(CollectTimings ? &Timings : nullptr);
  LimitRetainedMemory();
  Tables = std::make_unique<TRunTables>();
  try {
    SetupRun();
    MainLoop();
    EndOfRun();
  } catch (...) {
    ReleaseRunTables();
    throw;
  }
  ReleaseRunTables();
}

void TCustomFFmpeg::ReleaseRunTables() {
  // The output paths go before anything they point at; the statistics
  // files, scalers and bitstream filters go with their records.
  Tables.reset();
}

void TCustomFFmpeg::SetupRun() {
  TRunTables& T = *Tables;

  // 1. File table.
  int StreamCount = 0;
  for (int F = 0; F < InputFileCount; ++F) {
    TInputFileState File;
    File.IstIndex = StreamCount;
    File.NbStreams = static_cast<int>(InputCodecs[F].size());
    if (InputFiles[F] && File.NbStreams > static_cast<int>(InputFiles[F]->nb_streams))
      File.NbStreams = static_cast<int>(InputFiles[F]->nb_streams);
    T.FileTable.push_back(File);
    StreamCount += File.NbStreams;
  }

  // 2. Input streams.
  for (int F = 0; F < InputFileCount; ++F) {
    for (int S = 0; S < T.FileTable[F].NbStreams; ++S) {
      auto Ist = std::make_unique<TInputStreamState>();
      Ist->FileIndex = F;
      Ist->StreamIndex = S;
      Ist->Stream = InputFiles[F]->streams[S];
      Ist->Dec = InputCodecs[F][S].Context.get();
      Ist->Decoder = InputCodecs[F][S].Decoder;
      Ist->RateEmu = InputCodecs[F][S].RateEmu;
      if (Ist->RateEmu) Ist->ReadStartTime = ff::av_gettime_relative();
      Ist->Frame.reset(ff::av_frame_alloc());
      if (!Ist->Dec || !Ist->Frame) throw FFMpegException("av_mallocz fail");
      // The picture every video output of this stream is set up for.
      Ist->ExpectedWidth = Ist->Dec->width;
      Ist->ExpectedHeight = Ist->Dec->height;
      Ist->ExpectedPixFmt = Ist->Dec->pix_fmt;
      T.InputStreams.push_back(std::move(Ist));
    }
  }

  // 3. Output stream count.
  int OutputStreamCount = 0;
  for (int O = 0; O < OutputFileCount; ++O) {
    if (!OutputFiles[O] || OutputFiles[O]->nb_streams == 0)
      throw FFMpegException("Output file does not contain any stream");
    OutputStreamCount += static_cast<int>(OutputFiles[O]->nb_streams);
  }

  // 4. Map count.
  if (StreamMapCount >= 1 && StreamMapCount != OutputStreamCount)
    throw FFMpegException("Number of stream maps must match number of output streams");

  // 5. Map validation.
  for (int M = 0; M < StreamMapCount; ++M) {
    const StreamMap& Map = StreamMaps[M];
    auto Valid = [&](int File, int Stream) {
      return File >= 0 && File < InputFileCount && Stream >= 0 &&
             Stream < T.FileTable[File].NbStreams;
    };
    if (!Valid(Map.FileIndex, Map.StreamIndex))
      throw FFMpegException(
          Format("Could not find input stream #%d.%d", Map.FileIndex, Map.StreamIndex));
    if (!Valid(Map.SyncFileIndex, Map.SyncStreamIndex))
      throw FFMpegException(
          Format("Could not find sync stream #%d.%d", Map.SyncFileIndex, Map.SyncStreamIndex));
  }

  // 6. and 7. Output streams and their sources.
  MapStreams();

  // 8. Parameters, per output stream.
  T.Preprocessor = std::make_unique<TVideoPreprocessor>();
  for (auto& Ost : T.OutputStreams) PrepareOutputStream(*Ost);

  // 9. The encoder output buffer. Packets come from the libraries today;
  // the buffer is reserved at the size the engine has always computed, and
  // its pages are only touched if it is ever used.
  try {
    BitBuffer.clear();
    BitBuffer.reserve(static_cast<std::size_t>(BitBufferSize));
  } catch (const std::bad_alloc&) {
    throw FFMpegException("av_malloc fail");
  }

  // 10. Output descriptions.
  if (Verbose >= 0)
    for (int O = 0; O < OutputFileCount; ++O) DumpOutput(OutputFiles[O].get(), O);

  // 11. Stream mapping.
  if (Verbose >= 0 && HasLogHandler()) {
    Log(1, "Stream mapping:");
    for (auto& Ost : T.OutputStreams) {
      const TInputStreamState& Source = *T.InputStreams[Ost->SourceIndex];
      Log(1, Format("  Stream #%d.%d -> #%d.%d", Source.FileIndex, Source.StreamIndex,
                    Ost->FileIndex, Ost->StreamIndex));
      if (Ost->SyncSource != &Source)
        Log(1, Format(" [sync #%d.%d]", Ost->SyncSource->FileIndex, Ost->SyncSource->StreamIndex));
    }
  }

  // 12. and 13. Codecs.
  OpenEncoders();
  OpenDecoders();

  // 14. Time stamps.
  for (auto& Ist : T.InputStreams) {
    Ist->Pts = 0;
    Ist->NextPts = AV_NOPTS_VALUE;
    Ist->IsStart = 1;
  }

  // 15. Meta data.
  CopyMetaData();

  // 16. and 17. Headers, bitstream filters, SDP.
  WriteHeaders();

  // 18. The timer.
  TimerStart = ff::av_gettime_relative();
  LastReportTime = TimerStart;
  ReportedSize = 0;
}

void TCustomFFmpeg::MapStreams() {
  TRunTables& T = *Tables;
  int N = 0;
  for (int O = 0; O < OutputFileCount; ++O) {
    AVFormatContext* File = OutputFiles[O].get();
    for (unsigned S = 0; S < File->nb_streams; ++S, ++N) {
      auto Ost = std::make_unique<TOutputStreamState>();
      Ost->FileIndex = O;
      Ost->StreamIndex = static_cast<int>(S);
      Ost->Stream = File->streams[S];
      Ost->File = File;
      Ost->Enc = OutputCodec(O, static_cast<int>(S));
      if (!Ost->Enc) throw FFMpegException("invalid codec_type of output stream");
      Ost->Type = Ost->Enc->codec_type;
      Ost->EncodingNeeded = 0;

      int Source = -1;
      if (StreamMapCount > 0) {
        const StreamMap& Map = StreamMaps[N];
        Source = T.FileTable[Map.FileIndex].IstIndex + Map.StreamIndex;
        if (InputType(*T.InputStreams[Source]) != Ost->Type) {
          DumpOutput(File, O);
          throw FFMpegException(Format("Codec type mismatch for mapping #%d.%d -> #%d.%d",
                                       Map.FileIndex, Map.StreamIndex, O, static_cast<int>(S)));
        }
      } else if (ProgramId != 0) {
        // The first free stream of the wanted type among the streams of the
        // chosen program, file by file.
        for (int F = 0; F < InputFileCount && Source < 0; ++F) {
          const AVFormatContext* Input = InputFiles[F].get();
          for (unsigned P = 0; P < Input->nb_programs && Source < 0; ++P) {
            const AVProgram* Program = Input->programs[P];
            if (Program->id != ProgramId) continue;
            for (unsigned K = 0; K < Program->nb_stream_indexes; ++K) {
              const int StreamIndex = static_cast<int>(Program->stream_index[K]);
              if (StreamIndex >= T.FileTable[F].NbStreams) continue;
              const int Position = T.FileTable[F].IstIndex + StreamIndex;
              const TInputStreamState& Ist = *T.InputStreams[Position];
              if (Ist.Discard == 1 && InputType(Ist) == Ost->Type) {
                Source = Position;
                break;
              }
            }
          }
        }
      } else {
        for (std::size_t I = 0; I < T.InputStreams.size(); ++I) {
          const TInputStreamState& Ist = *T.InputStreams[I];
          if (Ist.Discard == 1 && InputType(Ist) == Ost->Type) {
            Source = static_cast<int>(I);
            break;
          }
        }
        if (Source < 0)
          for (std::size_t I = 0; I < T.InputStreams.size(); ++I)
            if (InputType(*T.InputStreams[I]) == Ost->Type) Source = static_cast<int>(I);
      }
      if (Source < 0) {
        DumpOutput(File, O);
        throw FFMpegException(Format("Could not find input stream matching output stream #%d.%d", O,
                                     static_cast<int>(S)));
      }
      Ost->SourceIndex = Source;
      T.InputStreams[Source]->Discard = 0;
      if (StreamMapCount > 0) {
        const StreamMap& Map = StreamMaps[N];
        Ost->SyncSource =
            T.InputStreams[T.FileTable[Map.SyncFileIndex].IstIndex + Map.SyncStreamIndex].get();
      } else {
        Ost->SyncSource = T.InputStreams[Source].get();
      }
      T.OutputStreams.push_back(std::move(Ost));
    }
  }
}

void TCustomFFmpeg::PrepareOutputStream(TOutputStreamState& Ost) {
  TRunTables& T = *Tables;
  TInputStreamState& Ist = *T.InputStreams[Ost.SourceIndex];
  AVCodecContext* Enc = Ost.Enc;
  AVCodecContext* Dec = Ist.Dec;
  AVStream* Out = Ost.Stream;
  const AVStream* In = Ist.Stream;

  // Language and disposition.
  if (LanguageOf(Out).empty()) {
    const std::string Language = LanguageOf(In).substr(0, 3);
    if (!Language.empty()) ff::av_dict_set(&Out->metadata, "language", Language.c_str(), 0);
  }
  Out->disposition = In->disposition;

  if (OutputCodecs[Ost.FileIndex][Ost.StreamIndex].StreamCopy) {
    // The tag the options asked for, if any, survives the copy.
    const uint32_t WantedTag = Enc->codec_tag;
    if (ff::avcodec_parameters_copy(Out->codecpar, In->codecpar) < 0)
      throw FFMpegException("av_mallocz fail");
    AVCodecParameters* Par = Out->codecpar;
    const AVCodecParameters* InPar = In->codecpar;
    Par->codec_tag = WantedTag;
    if (WantedTag == 0) {
      // The input's tag is kept where the muxer has no tag table, where its
      // table maps the tag to this very codec, or where it has no tag for
      // the codec at all. A tag that the muxer's table gives to another
      // codec is dropped, so that the muxer picks its own: keeping it
      // would label the stream as the wrong codec.
      const AVCodecTag* const* Tags = Ost.File->oformat->codec_tag;
      if (!Tags || ff::av_codec_get_id(Tags, InPar->codec_tag) == InPar->codec_id ||
          ff::av_codec_get_tag(Tags, InPar->codec_id) == 0)
        Par->codec_tag = InPar->codec_tag;
    }
    // Time base: the stream's.
    Out->time_base = In->time_base;
    Enc->time_base = In->time_base;
    switch (Par->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        if (OnCustomHook)
          throw FFMpegException(
              "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
        if (UsingVhook)
          throw FFMpegException(
              "-vcodec copy and -vhook are incompatible (frames are not decoded)");
        // The stream's aspect follows the copied picture's, so that the
        // muxer does not find two different ones.
        if (In->sample_aspect_ratio.num > 0) Par->sample_aspect_ratio = In->sample_aspect_ratio;
        Out->sample_aspect_ratio = Par->sample_aspect_ratio;
        if (In->avg_frame_rate.num > 0 && In->avg_frame_rate.den > 0)
          Out->avg_frame_rate = In->avg_frame_rate;
        if (In->r_frame_rate.num > 0 && In->r_frame_rate.den > 0)
          Out->r_frame_rate = In->r_frame_rate;
        break;
      case AVMEDIA_TYPE_AUDIO:
        if (AudioVolume != 256)
          throw FFMpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
        if ((Par->block_align == 1 && Par->codec_id == AV_CODEC_ID_MP3) ||
            Par->codec_id == AV_CODEC_ID_AC3)
          Par->block_align = 0;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        break;
      default:
        throw FFMpegException("invalid codec_type of output stream");
    }
  } else {
    switch (Ost.Type) {
      case AVMEDIA_TYPE_AUDIO:
        Ost.EncodingNeeded = 1;
        Ist.DecodingNeeded = 1;
        break;
      case AVMEDIA_TYPE_VIDEO: {
        // A stream whose codec no decoder reads, or of which no picture
        // could be decoded when the file was opened (its media data
        // stripped or cut off), has no picture format to convert from.
        if (!Ist.Decoder)
          throw FFMpegException(Format("Unsupported codec (id=%d) for input stream #%d.%d",
                                       static_cast<int>(Dec->codec_id), Ist.FileIndex,
                                       Ist.StreamIndex));
        if (Dec->pix_fmt == AV_PIX_FMT_NONE || Dec->width <= 0 || Dec->height <= 0)
          throw FFMpegException(
              Format("The file holds no video data that can be decoded (input stream #%d.%d)",
                     Ist.FileIndex, Ist.StreamIndex));
        const int T0 = CropTop, B0 = CropBottom, L0 = CropLeft, R0 = CropRight;
        const int PT = PadTop, PB = PadBottom, PL = PadLeft, PR = PadRight;
        Ost.VideoCrop = (L0 + R0 + T0 + B0) != 0;
        Ost.VideoPad = (PL + PR + PT + PB) != 0;
        // A change of range alone (a plain format flagged full range going
        // into the video range) also takes the scaler.
        const bool SourceFull = FullRangeSamples(Dec->pix_fmt, Dec->color_range);
        const bool TargetFull = FullRangeSamples(Enc->pix_fmt, Enc->color_range);
        Ost.VideoResample = Enc->width != Dec->width - (L0 + R0) + (PL + PR) ||
                            Enc->height != Dec->height - (T0 + B0) + (PT + PB) ||
                            Enc->pix_fmt != Dec->pix_fmt || SourceFull != TargetFull;
        if (Ost.VideoCrop) {
          Ost.CropTop = T0;
          Ost.CropLeft = L0;
        }
        if (Ost.VideoPad) {
          Ost.PadTop = PT;
          Ost.PadBottom = PB;
          Ost.PadLeft = PL;
          Ost.PadRight = PR;
        }
        if (Ost.VideoResample) {
          // The scaler's flags are the ones the scaler options hold.
          int64_t Flags = SwsFlags;
          if (ScalerDefaults &&
              ff::av_opt_get_int(ScalerDefaults.get(), "sws_flags", 0, &Flags) >= 0)
            SwsFlags = static_cast<int>(Flags);
          if (Dec->width - (L0 + R0) <= 0 || Dec->height - (T0 + B0) <= 0 ||
              Enc->width - (PL + PR) <= 0 || Enc->height - (PT + PB) <= 0)
            throw FFMpegException("Cannot get resampling context");
          Ost.ScaleContext = MakeOutputScaler(Dec->width, Dec->height, Dec->pix_fmt, T0, B0, L0, R0,
                                              Enc->width, Enc->height, Enc->pix_fmt, PT, PB, PL, PR,
                                              SwsFlags, SourceFull, TargetFull);
          if (!Ost.ScaleContext) throw FFMpegException("Cannot get resampling context");
          Ost.ResampleHeight = FiltersInUse ? Dec->height : Dec->height - (T0 + B0);
        }
        Ost.EncodingNeeded = 1;
        Ist.DecodingNeeded = 1;
        LastError.clear();
        if (FiltersInUse && ConfigureFilters(Ist, Ost) != 0) {
          Ost.Graph.reset();
          throw FFMpegException(LastError.empty() ? std::string("Error opening filters!")
                                                  : "Error opening filters: " + LastError);
        }
        break;
      }
      case AVMEDIA_TYPE_SUBTITLE:
        Ost.EncodingNeeded = 1;
        Ist.DecodingNeeded = 1;
        break;
      default:
        throw FFMpegException("invalid codec_type of output stream");
    }
  }

  // Two-pass statistics.
  if (Ost.EncodingNeeded && (Enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2))) {
    int Position = 0;
    for (std::size_t I = 0; I < T.OutputStreams.size(); ++I)
      if (T.OutputStreams[I].get() == &Ost) Position = static_cast<int>(I);
    OpenPassLogFile(Ost, Position, nullptr);
  }

  // The encoder buffer grows with the largest picture.
  if (Ost.Type == AVMEDIA_TYPE_VIDEO) {
    const int64_t Width = Ost.EncodingNeeded ? Enc->width : Out->codecpar->width;
    const int64_t Height = Ost.EncodingNeeded ? Enc->height : Out->codecpar->height;
    const int64_t Needed = 4 * Width * Height;
    if (Needed > BitBufferSize && Needed <= INT32_MAX) BitBufferSize = static_cast<int>(Needed);
  }

  // The output paths of re-encoded streams.
  if (Ost.EncodingNeeded && Ost.Type == AVMEDIA_TYPE_VIDEO) {
    TVideoOutputConfig C;
    C.Encoder = Enc;
    C.Stream = Out;
    C.VideoSyncMethod = VideoSyncMethod;
    C.MaxFrames = MaxFrames[0];
    C.ForcedKeyFrames = ForcedKeyFrames;
    C.SyncBase = std::max<int64_t>(VideoSyncStart, 0);
    C.FiltersInUse = FiltersInUse;
    C.VideoCrop = Ost.VideoCrop != 0;
    C.CropTop = Ost.CropTop;
    C.CropLeft = Ost.CropLeft;
    C.PadTop = Ost.PadTop;
    C.PadBottom = Ost.PadBottom;
    C.PadLeft = Ost.PadLeft;
    C.PadRight = Ost.PadRight;
    C.PadColor = PadColor;
    C.VideoResample = Ost.VideoResample != 0;
    C.ScaleContext = Ost.ScaleContext.get();
    C.ResampleHeight = Ost.ResampleHeight;
    C.SameQuality = SameQuality != 0;
    C.TopFieldFirst = TopFieldFirst;
    C.CodecFlags =
        CodecDefaults[AVMEDIA_TYPE_VIDEO] ? CodecDefaults[AVMEDIA_TYPE_VIDEO]->flags : -1;
    C.ExitOnError = ExitOnError;
    C.Verbose = Verbose;
    C.LogFile = Ost.LogFile.get();
    C.StopRequested = &StopRequested;
    TOutputStreamState* Target = &Ost;
    C.WritePacket = [this, Target](AVPacket* Packet) { WriteFrame(*Target, Packet); };
    C.Log = [this](int Level, const std::string& Text) { Log(Level, Text); };
    Ost.Video = std::make_unique<TVideoOutput>(std::move(C));
  } else if (Ost.EncodingNeeded && Ost.Type == AVMEDIA_TYPE_AUDIO) {
    TOutputStreamState* Target = &Ost;
    Ost.Audio = std::make_unique<TAudioOutput>(
        Enc, Out, [this, Target](AVPacket* Packet) { WriteFrame(*Target, Packet); },
        [this](int Level, const std::string& Text) { Log(Level, Text); });
  }
}

void TCustomFFmpeg::OpenPassLogFile(TOutputStreamState& Ost, int Position,
                                    AVDictionary** /*EncoderOptions*/) {
  std::string Name =
      (PassLogFilePrefix.empty() ? std::string(DefaultPassLogPrefix) : PassLogFilePrefix) + "-" +
      std::to_string(Position) + ".log";
  if (Name.size() > MaxLogFileName) Name.resize(MaxLogFileName);
  Ost.LogFileName = Name;
  AVCodecContext* Enc = Ost.Enc;
  if (Enc->flags & AV_CODEC_FLAG_PASS1) {
    Ost.LogFile.reset(std::fopen(Name.c_str(), "w"));
    if (!Ost.LogFile) throw FFMpegException("creat file fail: " + Name);
    return;
  }
  StdFilePtr File(std::fopen(Name.c_str(), "r"));
  if (!File) throw FFMpegException("creat open fail: " + Name);
  long Size = -1;
  if (std::fseek(File.get(), 0, SEEK_END) == 0) Size = std::ftell(File.get());
  std::fseek(File.get(), 0, SEEK_SET);
  if (Size < 0) Size = 0;
  auto* Buffer = static_cast<char*>(ff::av_malloc(static_cast<std::size_t>(Size) + 1));
  if (!Buffer) throw FFMpegException("Could not allocate log buffer");
  const std::size_t Read = std::fread(Buffer, 1, static_cast<std::size_t>(Size), File.get());
  Buffer[Read] = 0;
  // The encoder context keeps it until the encoder is closed (and frees it
  // with the context at the latest).
  ff::av_freep(&Enc->stats_in);
  Enc->stats_in = Buffer;
}

namespace {

// What the opened encoder declares about its whole stream beside the codec
// parameters (its buffer size and rates, for one), for the muxer: program
// streams write the video buffer size into their headers from it.
void CopyCodedSideData(const AVCodecContext& Enc, AVStream& Stream) {
  for (int I = 0; I < Enc.nb_coded_side_data; ++I) {
    const AVPacketSideData& Item = Enc.coded_side_data[I];
    uint8_t* Data = ff::av_stream_new_side_data(&Stream, Item.type, Item.size);
    if (!Data) throw FFMpegException("av_mallocz fail");
    std::memcpy(Data, Item.data, Item.size);
  }
}

}  // namespace

void TCustomFFmpeg::OpenEncoders() {
  for (auto& OstPtr : Tables->OutputStreams) {
    TOutputStreamState& Ost = *OstPtr;
    if (!Ost.EncodingNeeded) continue;
    AVCodecContext* Enc = Ost.Enc;
    const AVCodec* Codec = Enc->codec ? Enc->codec : ff::avcodec_find_encoder(Enc->codec_id);
    if (!Codec || !ff::av_codec_is_encoder(Codec))
      throw FFMpegException(
          Format("Unsupported codec for output stream #%d.%d", Ost.FileIndex, Ost.StreamIndex));
    Dictionary Options;
    CollectPrivateOptions(Options.Address());
    // An encoder that keeps its two-pass statistics in a file of its own
    // (libx264) gets a name next to the engine's log file, so that two jobs
    // never share one.
    if (!Ost.LogFileName.empty() &&
        ff::av_opt_find(Enc, "stats", nullptr, 0, AV_OPT_SEARCH_CHILDREN) != nullptr)
      Options.Set("stats", (Ost.LogFileName + ".stats").c_str());
    {
      std::lock_guard<std::recursive_mutex> Guard(CodecLock());
      if (TimedCall(TRunStage::Codecs,
                    [&] { return ff::avcodec_open2(Enc, Codec, Options.Address()); }) < 0)
        throw FFMpegException(
            Format("Error while opening codec for output stream #%d.%d - maybe incorrect "
                   "parameters such as bit_rate, rate, width or height",
                   Ost.FileIndex, Ost.StreamIndex));
      OpenedEncoders.insert(OpenedEncoders.begin(), Enc);
    }
    ExtraSize += Enc->extradata_size;
    // What the opened encoder settled goes to the stream.
    if (ff::avcodec_parameters_from_context(Ost.Stream->codecpar, Enc) < 0)
      throw FFMpegException("av_mallocz fail");
    CopyCodedSideData(*Enc, *Ost.Stream);
    Ost.Stream->time_base = Enc->time_base;
  }
}

void TCustomFFmpeg::OpenDecoders() {
  for (auto& IstPtr : Tables->InputStreams) {
    TInputStreamState& Ist = *IstPtr;
    if (!Ist.DecodingNeeded) continue;
    if (!Ist.Decoder)
      throw FFMpegException(Format("Unsupported codec (id=%d) for input stream #%d.%d",
                                   static_cast<int>(Ist.Dec->codec_id), Ist.FileIndex,
                                   Ist.StreamIndex));
    std::lock_guard<std::recursive_mutex> Guard(CodecLock());
    if (TimedCall(TRunStage::Codecs,
                  [&] { return ff::avcodec_open2(Ist.Dec, Ist.Decoder, nullptr); }) < 0)
      throw FFMpegException(Format("Error while opening codec for input stream #%d.%d",
                                   Ist.FileIndex, Ist.StreamIndex));
    OpenedDecoders.insert(OpenedDecoders.begin(), Ist.Dec);
  }
}

void TCustomFFmpeg::CopyMetaData() {
  for (int M = 0; M < MetaDataMapCount; ++M) {
    const MetaDataMap& Map = MetaDataMaps[M];
    if (Map.OutFile < 0 || Map.OutFile >= OutputFileCount)
      throw FFMpegException(Format("Invalid output file index %d map_meta_data(%d,%d)", Map.OutFile,
                                   Map.OutFile, Map.InFile));
    if (Map.InFile < 0 || Map.InFile >= InputFileCount)
      throw FFMpegException(Format("Invalid input file index %d map_meta_data(%d,%d)", Map.InFile,
                                   Map.OutFile, Map.InFile));
    ff::av_dict_copy(&OutputFiles[Map.OutFile]->metadata, InputFiles[Map.InFile]->metadata, 0);
  }
}

void TCustomFFmpeg::WriteHeaders() {
  TRunTables& T = *Tables;
  T.AllRtp = OutputFileCount > 0;
  for (int O = 0; O < OutputFileCount; ++O) {
    AVFormatContext* File = OutputFiles[O].get();
    Dictionary Options;
    CollectPrivateOptions(Options.Address());
    if (TimedCall(TRunStage::Mux,
                  [&] { return ff::avformat_write_header(File, Options.Address()); }) < 0)
      throw FFMpegException(
          Format("Could not write header for output file #%d (incorrect codec parameters ?)", O));
    if (!File->oformat || std::strcmp(File->oformat->name, "rtp") != 0) T.AllRtp = false;
  }
  // The bitstream filters work on the packets as the muxer takes them: in
  // the stream's final parameters and time base.
  for (auto& Ost : T.OutputStreams) OpenBitstreamFilters(*Ost);

  if (T.AllRtp && HasLogHandler()) {
    std::vector<AVFormatContext*> Files;
    for (int O = 0; O < OutputFileCount; ++O) Files.push_back(OutputFiles[O].get());
    char Sdp[2048] = {};
    ff::av_sdp_create(Files.data(), static_cast<int>(Files.size()), Sdp, sizeof Sdp);
    std::string Text = Sdp;
    while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r' || Text.back() == ' '))
      Text.pop_back();
    Log(1, "SDP: " + Text);
  }
}

}  // namespace vexav
