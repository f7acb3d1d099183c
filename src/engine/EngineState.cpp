// The engine's life cycle: creation, the option defaults, the library
// option objects, verbosity, the file and map tables and their release.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "binding/FFmpegLibs.h"
#include "binding/LogLevels.h"
#include "binding/Text.h"
#include "engine/FFmpeg.h"
#include "engine/RunGate.h"
#include "engine/RunTables.h"

namespace vexav {
namespace {

// Frees what an owner holds through the library, or lets it go when the
// libraries are no longer loaded (their release calls are gone then, and a
// leak is the only safe outcome).
template <typename TOwner>
void Drop(TOwner& Owner, bool LibrariesLoaded) {
  if (LibrariesLoaded)
    Owner.reset();
  else
    (void)Owner.release();
}

}  // namespace

TCustomFFmpeg::TCustomFFmpeg() : Gate(std::make_shared<TRunGate>()) {
  ProgressInterval = DEFAULT_PROGRESS_INTERVAL;
  Running = false;
  StopRequested = false;
  Terminated = false;
  ExceptionRaised = false;
  TotalOutputDuration = -1;
  ResetOptions();
}

TCustomFFmpeg::~TCustomFFmpeg() {
  // A run in progress is asked to stop (a run thread that was never resumed
  // is started, so that it ends), and the engine waits until no worker
  // thread can touch it any more. The wait has no time limit: freeing the
  // engine under a thread that still runs in it would crash, and a stopped
  // run ends at its next packet. When the engine is destroyed by its own
  // terminate handler on the run thread, that thread no longer uses it once
  // the handler returns, so there is nothing to wait for.
  Stop();
  if (CurrentWorkerEngine != this) Gate->WaitIdle(-1);
  ReleaseFiles();
}

void TCustomFFmpeg::ResetOptions() {
  const bool Loaded = FFmpegLibsLoaded();

  // File and map tables.
  ReleaseInputCodecs();
  for (auto& File : InputFiles) Drop(File, Loaded);
  InputTsOffsets.fill(0);
  for (auto& Scales : InputTsScales) Scales.fill(0.0);
  InputFileCount = 0;
  ReleaseOutputCodecs();
  for (auto& File : OutputFiles) Drop(File, Loaded);
  OutputIdentities.fill(TOutputFileIdentity());
  OutputFileCount = 0;
  StreamMaps.fill(StreamMap{});
  StreamMapCount = 0;
  MetaDataMaps.fill(MetaDataMap{});
  MetaDataMapCount = 0;

  // Format and picture options.
  InputFormat = nullptr;
  OutputFormat = nullptr;
  FrameWidth = 0;
  FrameHeight = 0;
  FrameAspectRatio = 0;
  FramePixFmt = -1;
  FramePixFmtNamed = false;
  AudioSampleFmt = -1;
  PadTop = PadBottom = PadLeft = PadRight = 0;
  PadColor = {16, 128, 128};
  CropTop = CropBottom = CropLeft = CropRight = 0;
  MaxFrames.fill(DEFAULT_MAX_FRAMES);
  ForcedKeyFrames.clear();
  VideoSyncStart = -1;
  FrameRate = AVRational{0, 0};
  VideoQScale = 0;
  IntraMatrix.reset();
  InterMatrix.reset();
  VideoRcOverride.reset();
  VideoDisable = 0;
  VideoDiscard = 0;
  VideoCodecName.clear();
  VideoCodecTag = 0;
  SameQuality = 0;
  DoDeinterlace = 0;
  TopFieldFirst = -1;
  MeThreshold = 0;
  IntraDcPrecision = 8;
  LoopInput = 0;
  LoopOutput = -1;
  QpHist = 0;
  VideoFilters.clear();
  FiltersInUse = false;
  // The filter graph's ends are the library's own "buffer" source and
  // "buffersink" sink; there is nothing of the engine's to describe here.

  // Audio, subtitle and muxing options.
  IntraOnly = 0;
  AudioSampleRate = 44100;
  AudioQScale = NO_AUDIO_QSCALE;
  AudioDisable = 0;
  AudioChannels = 2;
  AudioCodecName.clear();
  AudioCodecTag = 0;
  AudioLanguage.clear();
  SubtitleDisable = 0;
  SubtitleCodecName.clear();
  SubtitleLanguage.clear();
  MuxPreload = 0.5f;
  MuxMaxDelay = 0.7f;
  RecordingTime = NO_RECORDING_LIMIT;
  StartTime = 0;
  RecTimestamp = 0;
  InputTsOffset = 0;
  Title.clear();
  Author.clear();
  Copyright.clear();
  Comment.clear();
  Genre.clear();
  Album.clear();
  Year = 0;
  Track = 0;

  // Behaviour flags and run-wide settings.
  DoHexDump = DoPktDump = DoPsnr = 0;
  DoPass = 0;
  PassLogFilePrefix.clear();
  AudioStreamCopy = VideoStreamCopy = SubtitleStreamCopy = 0;
  VideoSyncMethod = -1;
  AudioSyncMethod = 0;
  AudioDriftThreshold = 0.1f;
  CopyTs = false;
  Shortest = 0;
  VideoGlobalHeader = 0;
  VstatsFileName.reset();
  if (VstatsFile) std::fclose(VstatsFile);
  VstatsFile = nullptr;
  ProgramId = 0;
  RateEmu = 0;
  VideoChannel = 0;
  VideoStandard.reset();
  AudioVolume = 256;
  ExitOnError = false;
  UsingVhook = false;
  Verbose = 1;
  ThreadCount = 1;
  VideoSize = AudioSize = ExtraSize = 0;
  FramesDuplicated = FramesDropped = 0;
  InputSync = 0;
  LimitFileSize = 0;
  PgmyuvCompat = 0;
  DtsDeltaThreshold = 10.0f;
  SwsFlags = 4;

  // Library option objects: the codec defaults and the per-stream filter
  // chains stay; the format and scaler defaults and the recorded names go.
  OptionNames.clear();
  PrivateOptions.clear();
  Drop(FormatDefaults, Loaded);
  Drop(ScalerDefaults, Loaded);
  VideoBsfChain.clear();
  AudioBsfChain.clear();
  SubtitleBsfChain.clear();
  BitBufferSize = DEFAULT_BIT_BUFFER_SIZE;
  BitBuffer.clear();

  // Hook state and run state.
  ReleaseHookChain();
  HookFrameNumber = 0;
  HookAction = THookAction::haContinue;
  HookRangeList.clear();
  HookRangeIndex = 0;
  TotalOutputDuration = -1;
  ExceptionRaised = false;
}

void TCustomFFmpeg::InitOptions() {
  if (!FFmpegLibsLoaded()) return;
  ReleaseFiles();
  ResetOptions();
  Running = false;
  StopRequested = false;
  Terminated = false;
  Finished = false;
  TotalOutputDuration = -1;

  for (int I = 0; I < MEDIA_TYPE_COUNT; ++I) {
    CodecDefaults[I].reset(ff::avcodec_alloc_context3(nullptr));
    if (!CodecDefaults[I]) throw FFMpegException("Could not allocate the codec option defaults");
    CodecDefaults[I]->codec_type = static_cast<AVMediaType>(I);
  }
  FormatDefaults.reset(ff::avformat_alloc_context());
  if (!FormatDefaults) throw FFMpegException("Could not allocate the format option defaults");
  // A 16 x 16 conversion of a picture format into itself, used only to hold
  // the values of scaler options.
  ScalerDefaults.reset(ff::sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P,
                                          SwsFlags, nullptr, nullptr, nullptr));
  if (!ScalerDefaults) throw FFMpegException("Could not allocate the scaler option defaults");
}

void TCustomFFmpeg::SetVerbose(int Level) {
  Verbose = Level;
  if (!FFmpegLibsLoaded()) return;
  ff::av_log_set_level(LibraryLogLevel(Level));
  // The library log capture filters against the level read back here; the
  // engine that set its verbosity last decides it for all.
  RecordLogLevel();
}

void TCustomFFmpeg::Log(int Level, const std::string& Text) {
  if (OnLog) OnLog(*this, Level, Text);
}

void TCustomFFmpeg::ReleaseHookChain() {
  if (HookChain) {
    if (FFmpegLibsLoaded())
      ReleaseFrameHooks(HookChain);
    else
      HookChain = nullptr;
  }
  // The words handed to the hooks live exactly as long as the chain.
  HookArgs.clear();
}

void TCustomFFmpeg::CloseOutputFiles() {
  const bool Loaded = FFmpegLibsLoaded();
  for (int I = 0; I < MAX_FILES; ++I) {
    AVFormatContext* File = OutputFiles[I].get();
    if (!File) continue;
    // An output that received no byte (a task that never ran) is removed
    // once it is closed. Only a regular file that the engine created itself
    // is ever removed: never one that was there before, nor an output on a
    // device (/dev/null, /dev/full) or a pipe.
    const bool WritesFile = File->oformat && !(File->oformat->flags & AVFMT_NOFILE) && File->pb;
    const TOutputFileIdentity Identity = OutputIdentities[I];
    OutputIdentities[I] = TOutputFileIdentity();
    Drop(OutputFiles[I], Loaded);
    if (!Loaded || !WritesFile || !Identity.Created) continue;
    struct stat Info;
    if (SameOutputFile(Identity) && ::stat(Identity.Name.c_str(), &Info) == 0 && Info.st_size == 0)
      ::unlink(Identity.Name.c_str());
  }
  OutputIdentities.fill(TOutputFileIdentity());
  OutputFileCount = 0;
}

void TCustomFFmpeg::ReleaseFiles() {
  const bool Loaded = FFmpegLibsLoaded();
  // Codecs still open (a run that ended without closing them) are closed
  // under the codec lock before their contexts go.
  if (Loaded) {
    CloseOpenEncoders();
    CloseOpenDecoders();
  } else {
    OpenedEncoders.clear();
    OpenedDecoders.clear();
  }
  ReleaseOutputCodecs();
  CloseOutputFiles();
  ReleaseInputCodecs();
  for (int I = 0; I < MAX_FILES; ++I) Drop(InputFiles[I], Loaded);
  InputFileCount = 0;
  if (VstatsFile) std::fclose(VstatsFile);
  VstatsFile = nullptr;
  BitBuffer.clear();
  BitBuffer.shrink_to_fit();

  // Option values the job held.
  IntraMatrix.reset();
  InterMatrix.reset();
  VideoCodecName.clear();
  AudioCodecName.clear();
  SubtitleCodecName.clear();
  VideoRcOverride.reset();
  VideoStandard.reset();
  VstatsFileName.reset();
  VideoBsfChain.clear();
  AudioBsfChain.clear();
  SubtitleBsfChain.clear();
  for (auto& File : BitstreamFilters)
    for (auto& Chain : File) Chain.clear();

  // The option objects made by InitOptions.
  for (auto& Defaults : CodecDefaults) Drop(Defaults, Loaded);
  Drop(FormatDefaults, Loaded);
  Drop(ScalerDefaults, Loaded);

  ReleaseHookChain();
  UsingVhook = false;
  ReleaseHookImage();
}

void TCustomFFmpeg::CheckInputFileRoom() const {
  if (InputFileCount >= MAX_FILES)
    throw FFMpegException(Format("Too many input files (at most %d)", MAX_FILES));
}

void TCustomFFmpeg::CheckOutputFileRoom() const {
  if (OutputFileCount >= MAX_FILES)
    throw FFMpegException(Format("Too many output files (at most %d)", MAX_FILES));
}

void TCustomFFmpeg::RegisterInputFile(InputFormatPtr Context, int64_t TsOffset) {
  CheckInputFileRoom();
  InputFiles[InputFileCount] = std::move(Context);
  InputTsOffsets[InputFileCount] = TsOffset;
  ++InputFileCount;
}

void TCustomFFmpeg::RegisterOutputFile(OutputFormatPtr Context) {
  CheckOutputFileRoom();
  OutputFiles[OutputFileCount] = std::move(Context);
  ++OutputFileCount;
}

void TCustomFFmpeg::AddStreamMap(const StreamMap& Map) {
  if (StreamMapCount >= MAX_STREAM_MAPS)
    throw FFMpegException(Format("Too many stream maps (at most %d)", MAX_STREAM_MAPS));
  StreamMaps[StreamMapCount++] = Map;
}

void TCustomFFmpeg::AddMetaDataMap(const MetaDataMap& Map) {
  if (MetaDataMapCount >= MAX_META_DATA_MAPS)
    throw FFMpegException(Format("Too many meta data maps (at most %d)", MAX_META_DATA_MAPS));
  MetaDataMaps[MetaDataMapCount++] = Map;
}

}  // namespace vexav
