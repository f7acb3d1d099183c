// The engine's state: defaults, the library option objects, InitOptions
// without libraries, verbosity, the option table itself and the limits of
// the file and map tables.
#include <set>

#include "EngineFixture.h"
#include "binding/LogLevels.h"
#include "binding/Owners.h"

namespace vexav::test {
namespace {

void ExpectDefaults(const TCustomFFmpeg& E) {
  EXPECT_EQ(E.AudioChannels, 2);
  EXPECT_EQ(E.AudioSampleRate, 44100);
  EXPECT_EQ(E.AudioQScale, -99999.0f);
  EXPECT_EQ(E.MuxPreload, 0.5f);
  EXPECT_EQ(E.MuxMaxDelay, 0.7f);
  EXPECT_EQ(E.DtsDeltaThreshold, 10.0f);
  EXPECT_EQ(E.AudioDriftThreshold, 0.1f);
  EXPECT_EQ(E.IntraDcPrecision, 8);
  EXPECT_EQ(E.TopFieldFirst, -1);
  EXPECT_EQ(E.LoopOutput, -1);
  EXPECT_EQ(E.PadColor, (std::array<int, 3>{16, 128, 128}));
  for (int Frames : E.MaxFrames) EXPECT_EQ(Frames, 2147483647);
  EXPECT_EQ(E.RecordingTime, 9223372036854775807LL);
  EXPECT_EQ(E.Verbose, 1);
  EXPECT_EQ(E.ThreadCount, 1);
  EXPECT_EQ(E.AudioVolume, 256);
  EXPECT_EQ(E.BitBufferSize, 262144);
  EXPECT_EQ(E.ProgressInterval, 500000);
  EXPECT_EQ(E.FramePixFmt, -1);
  EXPECT_EQ(E.AudioSampleFmt, -1);
  EXPECT_EQ(E.FrameRate.num, 0);
  EXPECT_EQ(E.FrameRate.den, 0);
  EXPECT_EQ(E.VideoSyncMethod, -1);
  EXPECT_EQ(E.SwsFlags, 4);
  EXPECT_EQ(E.TotalOutputDuration, -1);
  EXPECT_EQ(E.InputFileCount, 0);
  EXPECT_EQ(E.OutputFileCount, 0);
  EXPECT_EQ(E.StreamMapCount, 0);
  EXPECT_EQ(E.MetaDataMapCount, 0);
  EXPECT_FALSE(E.VideoRcOverride.has_value());
  EXPECT_FALSE(E.VstatsFileName.has_value());
  EXPECT_FALSE(E.IntraMatrix.has_value());
  EXPECT_TRUE(E.VideoCodecName.empty());
  EXPECT_FALSE(E.UsingVhook);
  EXPECT_FALSE(E.Running);
  EXPECT_FALSE(E.Terminated);
}

using EngineState = EngineFixture;

TEST_F(EngineState, InitOptionsGivesTheDefaultsAndTheOptionObjects) {
  ExpectDefaults(E);
  for (int Type = 0; Type < MEDIA_TYPE_COUNT; ++Type) {
    ASSERT_TRUE(E.CodecDefaults[Type]) << Type;
    EXPECT_EQ(E.CodecDefaults[Type]->codec_type, Type);
  }
  ASSERT_TRUE(E.FormatDefaults);
  ASSERT_TRUE(E.ScalerDefaults);
  // The scaler defaults were made with the engine's scaler flags (bicubic).
  EXPECT_EQ(ScalerInt("sws_flags"), 4);
  EXPECT_TRUE(E.OptionNames.empty());
}

TEST_F(EngineState, InitOptionsStartsANewJobFromTheDefaults) {
  E.SetOption("ac", "6");
  E.SetOption("g", "33");
  E.SetOption("muxrate", "1411200");
  E.SetOption("vcodec", "mpeg4");
  E.SetOption("vbsf", "h264_mp4toannexb");
  ASSERT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 33);
  E.InitOptions();
  ExpectDefaults(E);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 12);
  EXPECT_TRUE(E.OptionNames.empty());
  EXPECT_TRUE(E.PrivateOptions.empty());
  EXPECT_TRUE(E.VideoBsfChain.empty());
}

TEST(EngineStateWithoutLibraries, InitOptionsChangesNothing) {
  // This process never loads the media libraries.
  ASSERT_FALSE(FFmpegLibsLoaded());
  TCustomFFmpeg E;
  ExpectDefaults(E);
  E.AudioChannels = 6;
  E.Title = "kept";
  E.SetOption("vn", "");
  E.InitOptions();
  EXPECT_EQ(E.AudioChannels, 6);
  EXPECT_EQ(E.Title, "kept");
  EXPECT_EQ(E.VideoDisable, 1);
  for (const auto& Defaults : E.CodecDefaults) EXPECT_FALSE(Defaults);
  EXPECT_FALSE(E.FormatDefaults);
  EXPECT_FALSE(E.ScalerDefaults);
}

TEST(EngineStateWithoutLibraries, OptionsThatNeedTheLibrariesRefuseCleanly) {
  ASSERT_FALSE(FFmpegLibsLoaded());
  TCustomFFmpeg E;
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("r", "25"); },
                                          "The media libraries are not loaded"));
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("g", "25"); },
                                          "The media libraries are not loaded"));
  EXPECT_EQ(E.FrameRate.den, 0);
  // Options that are plain fields still work, and verbosity is only stored.
  E.SetOption("ar", "48000");
  EXPECT_EQ(E.AudioSampleRate, 48000);
  E.SetVerbose(2);
  EXPECT_EQ(E.Verbose, 2);
}

TEST_F(EngineState, SetVerboseSetsTheLibraryLevelAndTheRecordedThreshold) {
  E.SetVerbose(2);
  EXPECT_EQ(E.Verbose, 2);
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_DEBUG);
  EXPECT_EQ(RecordedLogLevel(), AV_LOG_DEBUG);
  E.SetOption("v", "-1");
  EXPECT_EQ(E.Verbose, -1);
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_QUIET);
  EXPECT_EQ(RecordedLogLevel(), AV_LOG_QUIET);
  E.SetOption("v", "0");
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_ERROR);
  E.SetOption("v", "1");
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_INFO);
}

TEST(EngineOptionTable, HoldsTheHundredAndEightNamesOnceEach) {
  auto Table = TCustomFFmpeg::OptionTable();
  // force_key_frames (key frames at given output times) and vsync_start (a
  // piece of a longer conversion) are the newest.
  ASSERT_EQ(Table.size(), 108u);
  EXPECT_NE(TCustomFFmpeg::FindOption("force_key_frames"), nullptr);
  EXPECT_NE(TCustomFFmpeg::FindOption("vsync_start"), nullptr);
  std::set<std::string> Names;
  int Ignored = 0, Rejected = 0, Flags = 0;
  for (const auto& Def : Table) {
    EXPECT_TRUE(Names.insert(Def.Name).second) << Def.Name;
    EXPECT_EQ(TCustomFFmpeg::FindOption(Def.Name), &Def);
    Ignored += Def.Kind == TOptionKind::Ignored;
    Rejected += Def.Kind == TOptionKind::Rejected;
    Flags += Def.Kind == TOptionKind::Flag;
    if (Def.Kind != TOptionKind::Ignored && Def.Kind != TOptionKind::Rejected) {
      EXPECT_FALSE(std::holds_alternative<std::monostate>(Def.Target)) << Def.Name;
    }
  }
  EXPECT_EQ(Ignored, 10);
  EXPECT_EQ(Rejected, 1);
  EXPECT_EQ(Flags, 16);
  EXPECT_STREQ(Table.front().Name, "L");
  EXPECT_STREQ(Table.back().Name, "spre");
  EXPECT_EQ(TCustomFFmpeg::FindOption("foo"), nullptr);
  EXPECT_EQ(TCustomFFmpeg::FindOption("V"), nullptr);  // names are case-sensitive
}

TEST_F(EngineState, FileTablesRefuseAnEntryPastTheirEnd) {
  for (int I = 0; I < MAX_FILES; ++I) {
    InputFormatPtr Input(ff::avformat_alloc_context());
    E.RegisterInputFile(std::move(Input), I * 10);
    OutputFormatPtr Output(ff::avformat_alloc_context());
    E.RegisterOutputFile(std::move(Output));
  }
  EXPECT_EQ(E.InputFileCount, 20);
  EXPECT_EQ(E.InputTsOffsets[19], 190);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.CheckInputFileRoom(); },
                                          "Too many input files (at most 20)"));
  // A refused context is freed with the call; the table keeps its 20.
  EXPECT_TRUE(RaisesWith<FFMpegException>(
      [&] { E.RegisterInputFile(InputFormatPtr(ff::avformat_alloc_context()), 0); },
      "Too many input files (at most 20)"));
  EXPECT_EQ(E.InputFileCount, 20);
  EXPECT_TRUE(RaisesWith<FFMpegException>(
      [&] { E.RegisterOutputFile(OutputFormatPtr(ff::avformat_alloc_context())); },
      "Too many output files (at most 20)"));
  EXPECT_EQ(E.OutputFileCount, 20);
  // The time-stamp scale belongs to the next input, and there is none.
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("itsscale", "0:2"); },
                                          "Too many input files (at most 20)"));

  E.ReleaseFiles();
  EXPECT_EQ(E.InputFileCount, 0);
  EXPECT_EQ(E.OutputFileCount, 0);
  for (const auto& File : E.InputFiles) EXPECT_FALSE(File);
}

TEST_F(EngineState, MapTablesRefuseAnEntryPastTheirEnd) {
  for (int I = 0; I < MAX_STREAM_MAPS; ++I) E.SetOption("map", "0:" + std::to_string(I % 20));
  EXPECT_EQ(E.StreamMapCount, 400);
  EXPECT_EQ(E.StreamMaps[399].StreamIndex, 19);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("map", "1:1"); },
                                          "Too many stream maps (at most 400)"));
  EXPECT_EQ(E.StreamMapCount, 400);

  for (int I = 0; I < MAX_META_DATA_MAPS; ++I) E.SetOption("map_meta_data", "0:" + std::to_string(I));
  EXPECT_EQ(E.MetaDataMaps[19].InFile, 19);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("map_meta_data", "0:0"); },
                                          "Too many meta data maps (at most 20)"));
  EXPECT_EQ(E.MetaDataMapCount, 20);
  // The engine goes on working.
  E.SetOption("ar", "22050");
  EXPECT_EQ(E.AudioSampleRate, 22050);
}

TEST_F(EngineState, ReleaseFilesFreesTheJobsValues) {
  E.SetOption("vcodec", "mpeg4");
  E.SetOption("rc_override", "0,10,2");
  std::string Matrix = "8";
  for (int I = 1; I < 64; ++I) Matrix += ",8";
  E.SetOption("intra_matrix", Matrix);
  ASSERT_TRUE(E.IntraMatrix.has_value());
  E.SetOption("vstats_file", "stats.log");
  E.ReleaseFiles();
  EXPECT_TRUE(E.VideoCodecName.empty());
  EXPECT_FALSE(E.VideoRcOverride.has_value());
  EXPECT_FALSE(E.IntraMatrix.has_value());
  EXPECT_FALSE(E.VstatsFileName.has_value());
  for (const auto& Defaults : E.CodecDefaults) EXPECT_FALSE(Defaults);
  EXPECT_FALSE(E.FormatDefaults);
  // Options that need the objects say so instead of failing silently.
  EXPECT_TRUE(RaisesWith<FFMpegException>(
      [&] { E.SetOption("g", "10"); },
      "The engine's option objects do not exist: InitOptions creates them"));
  E.InitOptions();
  E.SetOption("g", "10");
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 10);
}

}  // namespace
}  // namespace vexav::test
