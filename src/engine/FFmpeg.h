// The conversion engine: one object per conversion job, holding every
// setting the command-line transcoder kept process-wide, so that several
// jobs can live side by side. This header declares the engine's option
// state, its file and map tables, the library-side option objects and the
// option model (SetOption, the typed setters, the generic option path and
// the target presets).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "binding/Api.h"
#include "binding/FrameHook.h"
#include "binding/Owners.h"
#include "engine/FFMpegException.h"
#include "engine/HookAction.h"
#include "engine/HookBitmap.h"
#include "engine/RunProgress.h"
#include "engine/RunTimings.h"
#include "engine/thread/Thread.h"

namespace vexav {

// Table sizes: input and output files, streams per file, explicit stream
// maps (20 x 20) and meta-data maps.
constexpr int MAX_FILES = 20;
constexpr int MAX_STREAMS = 20;
constexpr int MAX_STREAM_MAPS = MAX_FILES * MAX_STREAMS;
constexpr int MAX_META_DATA_MAPS = 20;

// Number of media types the engine keeps defaults for: video, audio, data,
// subtitle, attachment (the library's AVMEDIA_TYPE_* 0 to 4).
constexpr int MEDIA_TYPE_COUNT = 5;

// Default values the engine starts from.
constexpr int DEFAULT_MAX_FRAMES = 2147483647;
constexpr int64_t NO_RECORDING_LIMIT = INT64_MAX;
constexpr float NO_AUDIO_QSCALE = -99999.0f;
constexpr int DEFAULT_BIT_BUFFER_SIZE = 262144;
constexpr int64_t DEFAULT_PROGRESS_INTERVAL = 500000;

// An explicit stream map ("map"): the input file and stream to take, and the
// input file and stream to synchronise against.
struct StreamMap {
  int FileIndex = 0;
  int StreamIndex = 0;
  int SyncFileIndex = 0;
  int SyncStreamIndex = 0;
};

// A meta-data map ("map_meta_data").
struct MetaDataMap {
  int OutFile = 0;
  int InFile = 0;
};

// One bitstream filter of a chain: the filter's name and the text after the
// first "=" of the option value (empty when there is none), applied as the
// filter's option string when the filter is opened for a stream.
struct TBitstreamFilterEntry {
  std::string Name;
  std::string Args;
};
using TBitstreamFilterChain = std::vector<TBitstreamFilterEntry>;

// A generic option whose name belongs to no generic option table of the
// libraries but to the private options of some muxer, demuxer, encoder or
// decoder ("muxrate", "scan_offset", ...). It waits for the context it
// belongs to (ApplyPrivateOptions).
struct TPrivateOption {
  std::string Name;
  std::string Value;
};

// A time range in which frame hooks apply, microseconds.
struct THookRange {
  int64_t Start = 0;
  int64_t End = 0;
};

// The kinds of the option table's handlers.
enum class TOptionKind {
  Ignored,         // logs "Do nothing: option - " with the name
  Rejected,        // raises "TODO: option - " with the name
  Flag,            // the field becomes 1 (or true); the value is not read
  Integer,         // a 32-bit integer stored unchanged
  GuardedInteger,  // a 32-bit integer with a check
  Int64,           // a 64-bit integer
  Decimal,         // a decimal number stored as a 32-bit float
  Text,            // text stored as given
  LibraryText,     // text that the libraries read later (nil until set)
  Time,            // a duration or a date read by the library's time parser
  Special,         // a handler of its own
};

class TCustomFFmpeg;
class TFFmpegThread;
struct TRunTables;
struct TRunGate;
struct TInputStreamState;
struct TOutputStreamState;
struct TPicture;

// The engine's log event: sender, level (-1 an error that ended an
// operation, 0 an error, 1 information and warnings) and the line.
using TEngineLogEvent = std::function<void(TCustomFFmpeg& Sender, int Level, const std::string& Text)>;
// The progress event: the run's progress report (engine/RunProgress.h).
using TProgressEvent = std::function<void(TCustomFFmpeg& Sender, const TRunProgress& Progress)>;
// The end of a run (or of a refused start): read Finished, ExceptionRaised
// and ErrorMessage. Called exactly once per run, on the run's thread; the
// engine touches nothing of itself after the handler returns, so the handler
// may destroy the engine.
using TTerminateEvent = std::function<void(TCustomFFmpeg& Sender)>;
// The application's custom frame hook: a 24-bit BGR picture of each decoded
// frame (the image locked during the call) that the handler may paint on;
// with Update left true the painted image goes back into the picture that
// is filtered and encoded. StopHook ends the custom hook for the rest of
// the run. An exception from the handler is logged ("Error occurs
// OnCustomHook: ") and only skips the write-back of that picture. Video
// that is hooked must be decoded, so it cannot be stream-copied.
using TCustomHookEvent = std::function<void(TCustomFFmpeg& Sender, THookBitmap& Bitmap, int FrameNumber,
                                            int64_t Pts, bool& Update, bool& StopHook)>;

// Asked before each decoded picture when frame-hook libraries are in use
// ("vhook"): Action holds the previous picture's decision and may be set to
// haContinue (the chain runs on this picture), haIgnore (skips this one) or
// haStop (no more hooking in this run). An exception from the handler is
// logged ("Error occurs OnBeforeHook: ") and counts as haStop.
using TBeforeHookEvent = std::function<void(TCustomFFmpeg& Sender, int64_t Pts, THookAction& Action)>;

class TCustomFFmpeg {
 public:
  // One entry of the option table: the name, its kind, and where the value
  // goes, either a field of the engine or a handler.
  using THandler = void (TCustomFFmpeg::*)(const std::string& Name, const std::string& Value);
  using TTarget = std::variant<std::monostate, int TCustomFFmpeg::*, bool TCustomFFmpeg::*,
                               float TCustomFFmpeg::*, uint64_t TCustomFFmpeg::*,
                               std::string TCustomFFmpeg::*,
                               std::optional<std::string> TCustomFFmpeg::*, THandler>;
  struct TOptionDef {
    const char* Name;
    TOptionKind Kind;
    TTarget Target;
  };

  // Create: defaults in place, no library objects yet.
  TCustomFFmpeg();
  // Destroy: releases everything the engine holds.
  virtual ~TCustomFFmpeg();
  TCustomFFmpeg(const TCustomFFmpeg&) = delete;
  TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

  // ---- Option model ------------------------------------------------------

  // Writes every default of the option state. Leaves the codec option
  // defaults and the per-stream bitstream filter table alone; drops the
  // format and scaler option defaults, the recorded option names and the
  // waiting private options.
  void ResetOptions();
  // Prepares the engine for a new job: releases what the previous job left,
  // resets the options and creates the library option objects. Does nothing
  // while the media libraries are not loaded.
  void InitOptions();
  // Verbosity -1..3: the engine's own thresholds, the library's log level
  // and the process-wide threshold of the library log capture.
  void SetVerbose(int Level);

  // One option as name and value. Names of the option table run their
  // handler; every other name goes to SetGenericOption, whose result is
  // dropped. Failures raise FFMpegException (or EConvertError /
  // EAssertionFailed for values that are not numbers or break a rule).
  void SetOption(const std::string& Name, const std::string& Value);
  // The option table, in table order.
  static std::span<const TOptionDef> OptionTable();
  static const TOptionDef* FindOption(const std::string& Name);

  // The generic path: sets Name on the library's option objects (codec
  // defaults per media type, then format, then scaler defaults, then the
  // "a"/"v"/"s" prefix rule). True when the option was taken.
  bool SetGenericOption(const std::string& Name, const std::string& Value);
  bool SetGenericOptionInt(const std::string& Name, int64_t Number);
  // Copies the recorded generic options from Defaults into Context, each
  // whose flags contain all of Flags.
  void SetContextOptions(void* Context, void* Defaults, int Flags) const;
  // Applies the waiting private options to Context (an AVFormatContext or
  // AVCodecContext with its private data allocated): each name that the
  // context's private options hold with all of Flags is set. Returns the
  // number of options set.
  int ApplyPrivateOptions(void* Context, int Flags) const;
  // Adds every waiting private option to *Dict, for the library calls that
  // take options as a dictionary and leave the ones they do not know.
  void CollectPrivateOptions(AVDictionary** Dict) const;

  // Typed setters for the component's option records. Each behaves as the
  // option it stands for and skips values that are not set.
  void SetInputFormat(const std::string& Name);
  void SetOutputFormat(const std::string& Name);
  void SetStartTimeValue(int64_t Microseconds);
  void SetProgramId(int Value);
  void SetRecordingTimeMs(int64_t Milliseconds);
  void SetAudioVolume(int Value);
  void SetAudioSyncMethod(int Value);
  void SetVideoSyncMethod(int Value);
  void SetMuxMaxDelay(float Seconds);
  void SetMuxPreload(float Seconds);
  void SetYear(int Value);
  void SetTrack(int Value);
  void SetTitle(const std::string& Text);
  void SetAuthor(const std::string& Text);
  void SetCopyright(const std::string& Text);
  void SetComment(const std::string& Text);
  void SetGenre(const std::string& Text);
  void SetAlbum(const std::string& Text);
  void SetAudioCodec(const std::string& Name);
  void SetVideoCodec(const std::string& Name);
  void SetSubtitleCodec(const std::string& Name);
  void SetAudioTag(const std::string& Tag);
  void SetVideoTag(const std::string& Tag);
  void SetFrameRate(const std::string& Rate);
  void SetFrameSize(const std::string& Size);
  void SetAspectRatio(const std::string& Aspect);
  void SetVideoFilters(const std::string& Filters);
  void SetAudioChannels(int Value);
  void SetAudioSampleRate(int Value);
  void SetCropTop(int Value);
  void SetCropBottom(int Value);
  void SetCropLeft(int Value);
  void SetCropRight(int Value);
  void SetPadTop(int Value);
  void SetPadBottom(int Value);
  void SetPadLeft(int Value);
  void SetPadRight(int Value);
  // Value is a colour with red in bits 0-7, green in 8-15, blue in 16-23.
  void SetPadColor(int Value);
  void SetPixelFormat(const std::string& Name);
  void SetSampleFormat(const std::string& Name);
  void SetVideoQScale(float Value);
  void SetBitRate(const std::string& Name, const std::string& Value);
  void AddVideoHook(const std::string& Value);
  void AddBitstreamFilter(const std::string& Name, const std::string& Value);
  // Threads of each decoder and encoder (the codec context's thread_count):
  // 0 lets the library choose from the number of processor cores, 1 to 64
  // that many. Decoders take the value in force when their input is opened
  // (OpenInputFile), encoders the one in force when their output is opened
  // (OpenOutputFile). A negative value or one above 64 raises
  // FFMpegException and changes nothing. Default 1; ResetOptions restores it.
  // The kind of threading stays the library's choice (thread_type frame and
  // slice): frame threads where the codec has them (the MPEG-4 decoder,
  // libx264, which picks 1.5 threads per core itself for 0), which delay
  // the output by a frame per thread and are drained at the end of input
  // like any other delay; slice threads otherwise.
  void SetThreadCount(int Value);
  static constexpr int MaxThreadCount = 64;
  // Raises SetThreadCount's FFMpegException for a value outside 0..64.
  static void CheckThreadCount(int Value);
  // The thread count a video encoder gets when ThreadCount is 0
  // (automatic); decoders and audio encoders are left to the libraries.
  static int AutomaticVideoEncoderThreads();
  // Target presets: Type "vcd", "svcd", "dvd", "dv" or "dv50"; Norm "pal",
  // "ntsc", "film" or anything else for detection; FallbackNorm decides when
  // detection finds nothing.
  void SetTarget(const std::string& Type, const std::string& Norm, const std::string& FallbackNorm);

  // ---- Tables ------------------------------------------------------------
  // Every addition checks the table's room: an addition past a table's end
  // raises FFMpegException and changes nothing.

  // Enters an opened input file at InputFileCount with its time-stamp
  // offset, and counts it.
  void RegisterInputFile(InputFormatPtr Context, int64_t TsOffset);
  // Enters a created output file at OutputFileCount, and counts it.
  void RegisterOutputFile(OutputFormatPtr Context);
  void AddStreamMap(const StreamMap& Map);
  void AddMetaDataMap(const MetaDataMap& Map);
  // Raise the table-full error when no further input / output file fits.
  void CheckInputFileRoom() const;
  void CheckOutputFileRoom() const;

  // ---- Files -------------------------------------------------------------

  // Closes and frees the engine's files and everything it holds for a job:
  // files, statistics file, option values held by the libraries, the option
  // objects, the frame-hook chain and the bitstream filter chains.
  void ReleaseFiles();

  // ---- Input files -------------------------------------------------------

  // Adds one input file at InputFileCount: opens it with the options given
  // so far, reads its stream parameters, seeks to StartTime, makes one
  // decoder context per stream, copies its picture and sound parameters into
  // the option fields and records its time-stamp offset. The options that
  // belong to one file are reset whether it opens or not. False with
  // LastError when the file cannot be added; nothing of it is kept then, and
  // StartTime keeps its value. Raises FFMpegException "invalid codec_type"
  // for a stream whose media type is outside -1..4.
  bool OpenInputFile(const std::string& FileName);
  // Looks a codec up by name: an encoder when Encoder, else a decoder; it
  // must be of MediaType (an AVMediaType). An empty name gives Id 0
  // (AV_CODEC_ID_NONE) and true. False with LastError "Unknown %s '%s'" or
  // "Invalid %s type '%s'" ("encoder" or "decoder", the name).
  bool FindCodecId(const std::string& Name, int MediaType, int& Id, bool Encoder);
  // The same, giving the codec itself (nullptr for an empty name).
  bool FindCodec(const std::string& Name, int MediaType, const AVCodec*& Codec, bool Encoder);
  // The display aspect ratio an input video stream gives FrameAspectRatio:
  // the stream's sample aspect ratio when its numerator is not 0, else the
  // codec's, times Width / Height; Width / Height without a ratio; 4/3 when
  // the size is 0 and there is no ratio; the sample ratio itself when the
  // size is 0 and there is one.
  static float InputFrameAspect(int Width, int Height, AVRational StreamSampleAspect,
                                AVRational CodecSampleAspect);
  // The decoder context ("the stream's codec context") of stream Stream of
  // input file File; nullptr outside the streams the file had when opened.
  AVCodecContext* InputCodec(int File, int Stream) const;
  // Frees the decoder contexts of all input files (part of ReleaseFiles).
  void ReleaseInputCodecs();

  // What the engine keeps per stream of an input file, in stream order: one
  // entry per stream the file had when it was opened. A file may have more
  // than MAX_STREAMS streams, and some demuxers add streams while reading,
  // so a stream index must be checked against the entry count.
  struct TInputStreamCodec {
    // The decoder context, made from the stream's parameters. Made for
    // streams without a decoder too (type, id and parameters set), so that
    // they can be copied.
    CodecContextPtr Context;
    // The decoder it is made for (the forced one, or the library's for the
    // codec id); nullptr when the library has none. Not opened yet.
    const AVCodec* Decoder = nullptr;
    // Rate emulation ("re" before the file) for a video stream, else 0.
    int RateEmu = 0;
  };
  std::array<std::vector<TInputStreamCodec>, MAX_FILES> InputCodecs;

 private:
  // OpenInputFile without the per-file resets.
  bool OpenInputFileWithOptions(const std::string& FileName);
  // The options dictionary handed to the demuxer.
  void FillDemuxerOptions(AVDictionary** Options) const;

 public:
  // Adds a stream of its type, built from the current option fields, to an
  // output file.
  void NewVideoStream(AVFormatContext* Context);
  void NewAudioStream(AVFormatContext* Context);
  void NewSubtitleStream(AVFormatContext* Context);

  // ---- Output files ------------------------------------------------------

  // Creates one output file at OutputFileCount: checks the picture options
  // against the filter chain, picks the muxer (OutputFormat, else guessed
  // from FileName), creates a video, an audio and a subtitle stream as the
  // muxer, the options and the opened inputs call for, stores the metadata,
  // sets the muxer's options, and opens the file for writing when the muxer
  // writes one (an existing file is replaced). OutputFormat and InputFormat
  // become nil in every case. False with LastError on failure: nothing of
  // the file is kept, OutputFileCount is unchanged, and no file that this
  // call created is left behind.
  bool OpenOutputFile(const std::string& FileName);
  // True for each media type found among the streams of the opened inputs.
  // Raises FFMpegException "invalid codec_type of input file" for a stream
  // whose type is outside -1..4.
  void CheckInputStreams(bool& HasVideo, bool& HasAudio, bool& HasSubtitle) const;
  // True when one of the filters of Filters (split at ",", the name being
  // the text before the first "=", lower-cased, not trimmed) changes the
  // picture size: crop, rotate, scale or transpose.
  static bool HasResizingFilter(const std::string& Filters);
  // The rate of Rates (a list ending with 0/0) nearest to Rate, compared as
  // exact fractions; the first of equally near rates. Rate itself when
  // Rates is nil or empty.
  static AVRational NearestSupportedRate(AVRational Rate, const AVRational* Rates);
  // A picture's sample aspect ratio as a fraction with terms of at most 255:
  // e is log2 of Value rounded to the nearest integer (0 when negative),
  // and Value x 2^(29-e) + 0.5, rounded, over 2^(29-e) is reduced with the
  // maximum 255. 0/1 (unknown) for a value that is not a positive number.
  static AVRational SampleAspectFromValue(double Value);
  // Reads rate-control overrides: groups "start,end,q" separated by "/".
  // False when a group is not three integers separated by ",".
  static bool ParseRcOverride(const std::string& Text, std::vector<RcOverride>& Overrides);

  // Frees an output stream's encoder context: first the rate-control
  // override array and the pass-2 statistics text (stats_in, which must be
  // av_malloc'd), which the engine allocates and owns, then the context
  // with the matrices it owns.
  struct TEncoderContextDeleter {
    void operator()(AVCodecContext* Context) const;
  };
  using EncoderContextPtr = std::unique_ptr<AVCodecContext, TEncoderContextDeleter>;
  // What the engine keeps per output stream, by output file and stream
  // index.
  struct TOutputStreamCodec {
    // The encoder context, allocated for the encoder the options chose (its
    // codec field; nil when the build has no encoder for the codec id, and
    // for stream copy) and filled from the option fields. Not opened: the
    // run opens it and copies its parameters to the stream before it
    // writes the header.
    EncoderContextPtr Context;
    // The stream takes its input's packets unchanged ("copy").
    bool StreamCopy = false;
  };
  std::array<std::array<TOutputStreamCodec, MAX_STREAMS>, MAX_FILES> OutputCodecs;
  // The encoder context of stream Stream of output file File; nil outside
  // the streams the engine built.
  AVCodecContext* OutputCodec(int File, int Stream) const;
  // Frees the encoder contexts and stream records of every output file
  // slot (part of ReleaseFiles).
  void ReleaseOutputCodecs();

  // ---- Conversion run ----------------------------------------------------

  // Starts the run. Refused (nothing happens, nullptr) while a run is active
  // or has terminated, or while a terminate notice is on its way. Without an
  // output file ("Must supply at least one output file") or an input file
  // ("Must supply at least one input file"): releases the files, logs the
  // text at level -1, sets ExceptionRaised and ErrorMessage, delivers the
  // terminate notification on the calling thread and returns nullptr.
  // Otherwise Running is set and StopRequested, Finished, Terminated are
  // cleared; without a thread, Run runs on the calling thread and nullptr
  // comes back; with one, a suspended TFFmpegThread at Priority is returned,
  // which the caller starts with Resume() (Stop and destruction start it
  // too). The thread frees itself when the run is over: the pointer is not
  // the caller's to delete once resumed.
  TFFmpegThread* Start(bool Threaded, TThreadPriority Priority = TThreadPriority::tpNormal);
  // One whole run: Transcode, then in every case the open codecs closed,
  // the files released and the terminate notification. An exception is
  // logged at level -1 and kept in ExceptionRaised / ErrorMessage.
  void Run();
  // Asks the running conversion to end at its next packet (the end of the
  // run, trailers and notification still follow); starts a thread that was
  // made by Start but not resumed yet.
  void Stop();
  // Gives up a threaded start whose thread the system could not make (the
  // thread object from Start, never resumed): the object goes, the files
  // are released (an output this engine created is removed), and the run
  // ends failed with Message, logged at level -1, and its notification.
  // Nothing of the conversion runs on the calling thread.
  void AbandonStart(const std::string& Message);
  // Stop for a running engine; for one that never ran and has not been
  // notified, the terminate notification is delivered from a short-lived
  // idle-priority thread.
  void StopOrNotify();
  // Running := false, Terminated := true, Thread := nil, then OnTerminate.
  // Delivers at most one notification per run.
  void DoTerminate();
  // Closes and removes the output files this engine created, each with a
  // log line "Removed incomplete output file '%s'." (OutputFiles.cpp): what
  // a run that ended by an error before its trailers (or an engine that
  // will never run) leaves is not a readable file. Never touches a file
  // that was there before, one that took the name since, a device or a
  // pipe.
  void RemoveIncompleteOutputs();
  // Removes output O when this engine created it (as above), logging
  // Message with the file's name at Level (-1 where an error ended the run,
  // 1 where the removal is the ordinary end of a stopped one).
  void RemoveCreatedOutput(int O, const char* Message, int Level = -1);
  // Close every codec still on the open-codec lists, under CodecLock.
  void CloseOpenEncoders();
  void CloseOpenDecoders();
  // Waits until no worker thread of this engine (run or terminate thread)
  // uses the engine any more; TimeoutMs < 0 waits as long as it takes.
  // True when none does. Never call it from the engine's own handlers.
  bool WaitForRun(int TimeoutMs = -1);
  // Whether a run thread is set (from Start until the notification).
  bool HasThread() const;

  // The run itself (Run calls it): setup, main loop and end of run. Raises
  // FFMpegException; the run tables are released on every way out.
  void Transcode();

  // The engine's progress report: a status line (logged, or the progress
  // event when a handler is set) and, when Final, the summary line.
  void PrintReport(bool Final);

  // Run timings (RunTimings.h): with SetCollectTimings(true) every later
  // run records where its time goes; RunTimings() holds the last timed
  // run's figures from its end on (Collected false before). Not an option:
  // ResetOptions leaves it. Set it while no run is active.
  void SetCollectTimings(bool Value) { CollectTimings = Value; }
  bool CollectingTimings() const { return CollectTimings; }
  const TRunTimings& RunTimings() const { return Timings; }

  // The open-codec lists: the contexts whose codec is open, newest first.
  std::vector<AVCodecContext*> OpenedEncoders;
  std::vector<AVCodecContext*> OpenedDecoders;

  // Run events.
  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;
  TCustomHookEvent OnCustomHook;
  TBeforeHookEvent OnBeforeHook;

  // ---- Frame hooks (HookGate.cpp, CustomHook.cpp) -------------------------

  // Replaces HookRangeList with Ranges sorted by End (stable), and starts
  // the search from the first range.
  void SetHookRanges(std::vector<THookRange> Ranges);
  // The hook gate for a picture at Pts (microseconds): decides HookAction
  // from OnBeforeHook, else from the time ranges, else keeps it. True when
  // the frame-hook chain applies to this picture. Does nothing (false)
  // while a custom hook is bound or UsingVhook is off.
  bool HookGate(int64_t Pts);
  // The hook stage on the working copy (W x H, pixel format PixFmt): the
  // custom hook when one is bound, else the frame-hook chain when
  // ChainApplies.
  void RunHookStage(TPicture& Picture, int PixFmt, int Width, int Height, int64_t Pts, bool ChainApplies);
  // The custom hook's image (nullptr until the first custom-hook call; freed
  // with the files).
  const THookBitmap* HookImage() const { return HookBitmap.get(); }
  // Frees the custom hook's image, buffer and converters.
  void ReleaseHookImage();

  // ---- Filter graph (FilterGraph.cpp) ------------------------------------

  // Builds the filter graph of a re-encoded video output stream: "buffer"
  // source "src" -> ["scale" when the sizes differ] -> the user's chain
  // (between the labels "in" and "out") -> "format" (the encoder's pixel
  // format) -> "buffersink" "out"; the encoder's size becomes the sink's
  // plus the pad bands. 0, or -1 with the reason in LastError.
  int ConfigureFilters(TInputStreamState& Ist, TOutputStreamState& Ost);
  // Takes the next picture from a sink into Picture (unreferenced first),
  // its time in microseconds into Pts: 1, or -1 when the sink has none now.
  static int GetFilteredVideoPicture(AVFilterContext* Sink, AVFrame* Picture, int64_t& Pts);

 private:
  // The custom hook on one picture.
  void CustomHookStage(TPicture& Picture, int PixFmt, int Width, int Height, int64_t Pts);
  // Hands a pre-processed picture to the output stream's graph and every
  // picture that comes out to its video output; nullptr flushes the graph.
  void FilterAndWrite(TOutputStreamState& Ost, TInputStreamState& Ist, const AVFrame* Picture);
  void WriteVideo(TOutputStreamState& Ost, const AVFrame* Picture);

  std::unique_ptr<THookBitmap> HookBitmap;
  LibraryMemoryPtr<uint8_t> HookRGBBuffer;
  int HookRGBBufferSize = 0;
  ScalerPtr ToRGBContext, FromRGBContext;

 private:
  // Setup, loop and end of the run (TranscodeSetup.cpp, TranscodeLoop.cpp,
  // EndOfRun.cpp).
  void SetupRun();
  void MapStreams();
  void PrepareOutputStream(TOutputStreamState& Ost);
  void OpenPassLogFile(TOutputStreamState& Ost, int Position, AVDictionary** EncoderOptions);
  void OpenEncoders();
  void OpenDecoders();
  void CopyMetaData();
  void WriteHeaders();
  void MainLoop();
  void EndOfRun();
  void ReleaseRunTables();
  // Packet routing (OutputPacket.cpp).
  int OutputPacket(TInputStreamState& Ist, const AVPacket* Packet);
  void RouteDecodedFrame(TInputStreamState& Ist, AVFrame* Frame);
  int RouteSubtitle(TInputStreamState& Ist, const AVPacket* Packet);
  void CopyPacket(TOutputStreamState& Ost, TInputStreamState& Ist, const AVPacket& Packet, int64_t PacketPtsUs);
  void FlushEncoders(TInputStreamState& Ist);
  void DoSubtitleOut(TOutputStreamState& Ost, TInputStreamState& Ist, const AVSubtitle& Sub, int64_t Pts);
  void EmulateRate(TInputStreamState& Ist);
  // Writing (WriteFrame.cpp): through the stream's bitstream filters, then
  // the interleaved write. Takes the packet's contents.
  void WriteFrame(TOutputStreamState& Ost, AVPacket* Packet);
  void OpenBitstreamFilters(TOutputStreamState& Ost);
  void MuxPacket(TOutputStreamState& Ost, AVPacket* Packet);
  // Progress (ProgressReport.cpp).
  void DoVideoStats(TOutputStreamState& Ost, int FrameSize);
  // The first output file's write position ("fs" compares it with its
  // limit), and its size as the progress report gives it.
  int64_t FirstOutputPosition() const;
  int64_t FirstOutputSize() const;
  // Closes the output files; deletes those the engine created that
  // received no byte.
  void CloseOutputFiles();
  // A run whose regular output file is no longer at its name when the
  // trailers are written ends by an error (OutputFiles.cpp).
  void CheckOutputsPresent() const;

  // Per output file slot: the regular file the engine opened for writing
  // (its name, device and inode) and whether the open created it.
  struct TOutputFileIdentity {
    std::string Name;
    uint64_t Device = 0;
    uint64_t Inode = 0;
    bool Regular = false;
    bool Created = false;
  };
  std::array<TOutputFileIdentity, MAX_FILES> OutputIdentities;
  // Whether Identity's regular file is still at its name.
  static bool SameOutputFile(const TOutputFileIdentity& Identity);
  // Every trailer of the current run was written.
  bool TrailersWritten = false;

  std::unique_ptr<TRunTables> Tables;
  bool CollectTimings = false;
  TRunTimings Timings;
  // Monotonic microseconds at the start of the main loop, and of the last
  // progress report.
  int64_t TimerStart = 0;
  int64_t LastReportTime = 0;
  // The largest output size reported in this run: a report never gives
  // less than the one before it.
  int64_t ReportedSize = 0;
  // The run thread (between Start and the notification), guarded by
  // ThreadLock so that Stop never touches a thread object that has freed
  // itself.
  mutable std::mutex ThreadLock;
  TFFmpegThread* ThreadRef = nullptr;
  // Counts the worker threads that may still use the engine; shared with
  // them so that a thread can say it is done after the engine is gone.
  std::shared_ptr<TRunGate> Gate;
  // A terminate notice is on its way on a TDoTerminateThread.
  std::atomic<bool> NotifyPending{false};

 public:
  // ---- Logging -----------------------------------------------------------

  // Sends a line to OnLog when a handler is assigned.
  void Log(int Level, const std::string& Text);
  bool HasLogHandler() const { return static_cast<bool>(OnLog); }

  // ======================================================================
  // Option state. Field order, types, units and defaults are the engine's
  // model; ResetOptions writes the defaults in this order.

  // File and map tables.
  std::array<InputFormatPtr, MAX_FILES> InputFiles;
  std::array<int64_t, MAX_FILES> InputTsOffsets{};  // microseconds
  // Per input file and stream: factor for its time stamps, 0.0 = none.
  std::array<std::array<double, MAX_STREAMS>, MAX_FILES> InputTsScales{};
  int InputFileCount = 0;
  std::array<OutputFormatPtr, MAX_FILES> OutputFiles;
  int OutputFileCount = 0;
  std::array<StreamMap, MAX_STREAM_MAPS> StreamMaps{};
  int StreamMapCount = 0;
  std::array<MetaDataMap, MAX_META_DATA_MAPS> MetaDataMaps{};
  int MetaDataMapCount = 0;

  // Format and picture options.
  const AVInputFormat* InputFormat = nullptr;    // nil: probe
  const AVOutputFormat* OutputFormat = nullptr;  // nil: guess from the name
  int FrameWidth = 0;
  int FrameHeight = 0;
  float FrameAspectRatio = 0;  // display aspect, 0 = unset
  int FramePixFmt = -1;        // AVPixelFormat, -1 = none
  bool FramePixFmtNamed = false;  // FramePixFmt comes from "pix_fmt", not from an input
  int AudioSampleFmt = -1;     // AVSampleFormat, -1 = none
  int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
  std::array<int, 3> PadColor{16, 128, 128};  // Y, U, V
  int CropTop = 0, CropBottom = 0, CropLeft = 0, CropRight = 0;
  // By media type: video, audio, data, subtitle.
  std::array<int, 4> MaxFrames{DEFAULT_MAX_FRAMES, DEFAULT_MAX_FRAMES, DEFAULT_MAX_FRAMES,
                               DEFAULT_MAX_FRAMES};
  // Output times (microseconds, rising) at which the video encoder must
  // start a key frame ("force_key_frames").
  std::vector<int64_t> ForcedKeyFrames;
  // "vsync_start": the output continues a longer conversion at this frame
  // (-1: it does not). The frame-rate rule then counts from that frame and
  // takes picture times as the input gives them, not from the output's
  // "ss", which only drops the pictures before it.
  int64_t VideoSyncStart = -1;
  AVRational FrameRate{0, 0};  // 0/0 = unset
  float VideoQScale = 0;
  std::optional<std::array<uint16_t, 64>> IntraMatrix;
  std::optional<std::array<uint16_t, 64>> InterMatrix;
  std::optional<std::string> VideoRcOverride;
  int VideoDisable = 0;
  int VideoDiscard = 0;
  std::string VideoCodecName;  // empty = none
  uint32_t VideoCodecTag = 0;  // four characters, the first in the lowest byte
  int SameQuality = 0;
  int DoDeinterlace = 0;
  int TopFieldFirst = -1;
  int MeThreshold = 0;
  int IntraDcPrecision = 8;
  int LoopInput = 0;
  int LoopOutput = -1;
  int QpHist = 0;
  std::string VideoFilters;
  bool FiltersInUse = false;

  // Audio, subtitle and muxing options.
  int IntraOnly = 0;
  int AudioSampleRate = 44100;
  float AudioQScale = NO_AUDIO_QSCALE;
  int AudioDisable = 0;
  int AudioChannels = 2;
  std::string AudioCodecName;
  uint32_t AudioCodecTag = 0;
  std::string AudioLanguage;
  int SubtitleDisable = 0;
  std::string SubtitleCodecName;
  std::string SubtitleLanguage;
  float MuxPreload = 0.5f;   // seconds
  float MuxMaxDelay = 0.7f;  // seconds
  int64_t RecordingTime = NO_RECORDING_LIMIT;  // microseconds
  int64_t StartTime = 0;                       // microseconds
  int64_t RecTimestamp = 0;                    // seconds since 1970
  int64_t InputTsOffset = 0;                   // microseconds
  std::string Title, Author, Copyright, Comment, Genre, Album;
  int Year = 0;
  int Track = 0;

  // Behaviour flags and run-wide settings.
  int DoHexDump = 0;
  int DoPktDump = 0;
  int DoPsnr = 0;
  int DoPass = 0;
  std::string PassLogFilePrefix;
  int AudioStreamCopy = 0;
  int VideoStreamCopy = 0;
  int SubtitleStreamCopy = 0;
  int VideoSyncMethod = -1;
  int AudioSyncMethod = 0;
  float AudioDriftThreshold = 0.1f;
  bool CopyTs = false;
  int Shortest = 0;
  int VideoGlobalHeader = 0;  // 1 = global header, 2 = local header
  std::optional<std::string> VstatsFileName;
  std::FILE* VstatsFile = nullptr;
  int ProgramId = 0;
  int RateEmu = 0;
  int VideoChannel = 0;
  std::optional<std::string> VideoStandard;
  int AudioVolume = 256;
  bool ExitOnError = false;
  bool UsingVhook = false;
  int Verbose = 1;
  int ThreadCount = 1;
  int64_t VideoSize = 0, AudioSize = 0, ExtraSize = 0;
  int FramesDuplicated = 0, FramesDropped = 0;
  int InputSync = 0;
  uint64_t LimitFileSize = 0;  // bytes, 0 = none
  int PgmyuvCompat = 0;
  float DtsDeltaThreshold = 10.0f;
  int SwsFlags = 4;  // SWS_BICUBIC

  // Library option objects and recorded names.
  // Every generic option name that was set, in order, duplicates kept (the
  // library's own spelling of the option found).
  std::vector<std::string> OptionNames;
  // Generic options that wait for the muxer, demuxer, encoder or decoder
  // whose private options hold them.
  std::vector<TPrivateOption> PrivateOptions;
  std::array<CodecContextPtr, MEDIA_TYPE_COUNT> CodecDefaults;
  FormatContextPtr FormatDefaults;
  ScalerPtr ScalerDefaults;
  TBitstreamFilterChain VideoBsfChain, AudioBsfChain, SubtitleBsfChain;
  // The chain of each output stream, by output file and stream.
  std::array<std::array<TBitstreamFilterChain, MAX_STREAMS>, MAX_FILES> BitstreamFilters;
  int BitBufferSize = DEFAULT_BIT_BUFFER_SIZE;
  std::vector<uint8_t> BitBuffer;

  // Frame hooks: the chain of hook libraries and the hook gate's state.
  TFrameHookEntry* HookChain = nullptr;
  int HookFrameNumber = 0;
  THookAction HookAction = THookAction::haContinue;
  std::vector<THookRange> HookRangeList;
  int HookRangeIndex = 0;

  // Run state.
  std::atomic<bool> Running{false};
  std::atomic<bool> StopRequested{false};
  std::atomic<bool> Terminated{false};
  std::atomic<bool> Finished{false};
  bool ExceptionRaised = false;
  std::string ErrorMessage;
  int64_t TotalOutputDuration = -1;  // milliseconds, -1 until known
  std::string LastError;
  int64_t ProgressInterval = DEFAULT_PROGRESS_INTERVAL;  // microseconds

  TEngineLogEvent OnLog;

 private:
  // The option table's handlers.
  void OptVerbose(const std::string& Name, const std::string& Value);
  void OptFormat(const std::string& Name, const std::string& Value);
  void OptMap(const std::string& Name, const std::string& Value);
  void OptMapMetaData(const std::string& Name, const std::string& Value);
  void OptRecordingTime(const std::string& Name, const std::string& Value);
  void OptStartTime(const std::string& Name, const std::string& Value);
  void OptInputTsOffset(const std::string& Name, const std::string& Value);
  void OptInputTsScale(const std::string& Name, const std::string& Value);
  void OptTimestamp(const std::string& Name, const std::string& Value);
  void OptTitle(const std::string& Name, const std::string& Value);
  void OptAuthor(const std::string& Name, const std::string& Value);
  void OptCopyright(const std::string& Name, const std::string& Value);
  void OptComment(const std::string& Name, const std::string& Value);
  void OptGenre(const std::string& Name, const std::string& Value);
  void OptAlbum(const std::string& Name, const std::string& Value);
  void OptDataFrames(const std::string& Name, const std::string& Value);
  void OptVideoFrames(const std::string& Name, const std::string& Value);
  void OptForceKeyFrames(const std::string& Name, const std::string& Value);
  void OptVideoSyncStart(const std::string& Name, const std::string& Value);
  void OptAudioFrames(const std::string& Name, const std::string& Value);
  void OptTarget(const std::string& Name, const std::string& Value);
  void OptBitRate(const std::string& Name, const std::string& Value);
  void OptFrameRate(const std::string& Name, const std::string& Value);
  void OptFrameSize(const std::string& Name, const std::string& Value);
  void OptAspect(const std::string& Name, const std::string& Value);
  void OptPixFmt(const std::string& Name, const std::string& Value);
  void OptCrop(const std::string& Name, const std::string& Value);
  void OptPad(const std::string& Name, const std::string& Value);
  void OptPadColor(const std::string& Name, const std::string& Value);
  void OptQScale(const std::string& Name, const std::string& Value);
  void OptCodec(const std::string& Name, const std::string& Value);
  void OptPass(const std::string& Name, const std::string& Value);
  void OptVstats(const std::string& Name, const std::string& Value);
  void OptVstatsFile(const std::string& Name, const std::string& Value);
  void OptVhook(const std::string& Name, const std::string& Value);
  void OptVideoFilters(const std::string& Name, const std::string& Value);
  void OptMatrix(const std::string& Name, const std::string& Value);
  void OptTag(const std::string& Name, const std::string& Value);
  void OptNewStream(const std::string& Name, const std::string& Value);
  void OptSampleRate(const std::string& Name, const std::string& Value);
  void OptChannels(const std::string& Name, const std::string& Value);
  void OptSampleFmt(const std::string& Name, const std::string& Value);
  void OptBitstreamFilter(const std::string& Name, const std::string& Value);

  // Helpers of the handlers.
  void RequireLibraries() const;
  int64_t ParseTimeOrFail(const std::string& OptionName, const std::string& Text, bool IsDuration);
  void ApplyCrop(int& Band, int Value, bool Vertical, const char* ParityMessage);
  void ApplyPad(int& Band, int Value, const char* ParityMessage);
  void SetCodecName(std::string& Field, int& StreamCopy, const std::string& Name);
  const AVInputFormat* FindInputFormat(std::string& Name);
  const AVOutputFormat* FindOutputFormat(std::string& Name);
  void ApplyPgmyuvRule(std::string& Name);
  void ReleaseHookChain();

  // Generic path helpers.
  enum class TGenericResult { Set, Rejected, Unknown };
  TGenericResult SetGenericOptionRaw(const std::string& Name, const std::string& Value);
  bool SplitLegacyFlagWords(const std::string& Name, std::string& Value);
  bool RecordPrivateOption(const std::string& Name, const std::string& Value);
  void ApplyDebugRule();

  // Target preset helpers.
  enum class TNorm { PAL, NTSC, Film };
  TNorm ResolveNorm(const std::string& Norm, const std::string& FallbackNorm);
  bool DetectNormFromInputs(TNorm& Norm) const;
  void ApplyDefaultAspect(const char* Aspect);

  // Text buffers handed to the frame-hook libraries with their words: a
  // hook may keep pointers into them, so they live as long as the chain.
  struct THookArgs {
    std::unique_ptr<char[]> Text;
    std::vector<char*> Words;
  };
  std::vector<std::unique_ptr<THookArgs>> HookArgs;
};

}  // namespace vexav

namespace vexav {

// The thread a conversion runs on: its Execute runs the engine's Run. Made
// suspended by TCustomFFmpeg::Start; frees itself when Run is over.
class TFFmpegThread : public TThread {
 public:
  TFFmpegThread(TCustomFFmpeg* Engine, std::shared_ptr<TRunGate> Gate, TThreadPriority Priority);
  ~TFFmpegThread() override;

 protected:
  void Execute() override;

 private:
  TCustomFFmpeg* Engine;
  std::shared_ptr<TRunGate> Gate;
};

// A short-lived thread that delivers the terminate notification of an
// engine that never ran (StopOrNotify).
class TDoTerminateThread : public TThread {
 public:
  TDoTerminateThread(TCustomFFmpeg* Engine, std::shared_ptr<TRunGate> Gate, TThreadPriority Priority);
  ~TDoTerminateThread() override;

 protected:
  void Execute() override;

 private:
  TCustomFFmpeg* Engine;
  std::shared_ptr<TRunGate> Gate;
};

}  // namespace vexav
