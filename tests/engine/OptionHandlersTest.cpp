// The option table's handlers: each kind of name, the checks and their
// messages, and what a bad value leaves behind.
#include <dlfcn.h>

#include <regex>

#include "EngineFixture.h"
#include "engine/Convert.h"

namespace vexav::test {
namespace {

using EngineOptions = EngineFixture;

std::string Matrix(int Count, int First = 1) {
  std::string Text = std::to_string(First);
  for (int I = 1; I < Count; ++I) {
    Text += ',';
    Text += std::to_string(First + I);
  }
  return Text;
}

TEST_F(EngineOptions, IgnoredNamesOnlyLogAndRejectedNamesRaise) {
  for (const char* Name : {"y", "i", "benchmark", "L", "h", "version", "formats", "apre", "vpre", "spre"}) {
    E.SetOption(Name, "anything");
    EXPECT_TRUE(Logged(std::string("Do nothing: option - ") + Name)) << LogText();
  }
  EXPECT_EQ(Lines.size(), 10u);
  EXPECT_TRUE(E.OptionNames.empty());
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("threads", "4"); },
                                          "TODO: option - threads"));
  EXPECT_EQ(E.ThreadCount, 1);
  // Without a handler an ignored name does nothing at all.
  E.OnLog = nullptr;
  E.SetOption("y", "");
}

TEST_F(EngineOptions, NamesOutsideTheTableStaySilent) {
  E.SetOption("foo", "1");
  E.SetOption("vfoo", "1");
  E.SetOption("", "1");
  E.SetOption("g", "   ");
  EXPECT_TRUE(Lines.empty()) << LogText();
  EXPECT_TRUE(E.OptionNames.empty());
  EXPECT_TRUE(E.PrivateOptions.empty());
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 12);
}

TEST_F(EngineOptions, FlagsIntegersDecimalsAndTexts) {
  for (const char* Name : {"dump", "hex", "re", "loop_input", "copyts", "shortest", "xerror", "intra",
                           "vn", "sameq", "deinterlace", "psnr", "qphist", "an", "sn", "isync"})
    E.SetOption(Name, "ignored value");
  EXPECT_EQ(E.DoPktDump + E.DoHexDump + E.RateEmu + E.LoopInput + E.Shortest + E.IntraOnly +
                E.VideoDisable + E.SameQuality + E.DoDeinterlace + E.DoPsnr + E.QpHist +
                E.AudioDisable + E.SubtitleDisable + E.InputSync,
            14);
  EXPECT_TRUE(E.CopyTs);
  EXPECT_TRUE(E.ExitOnError);

  E.SetOption("dframes", "3");
  E.SetOption("vframes", "$10");
  E.SetOption("aframes", "-1");
  EXPECT_EQ(E.MaxFrames, (std::array<int, 4>{16, -1, 3, 2147483647}));
  E.SetOption("vsync", "2");
  E.SetOption("async", "1");
  E.SetOption("vglobal", "3");
  E.SetOption("programid", "7");
  E.SetOption("vdt", "8");
  E.SetOption("me_threshold", "5");
  E.SetOption("top", "1");
  E.SetOption("dc", "10");
  E.SetOption("vol", "-5");
  E.SetOption("vc", "2");
  E.SetOption("loop_output", "0");
  EXPECT_EQ(E.VideoSyncMethod, 2);
  EXPECT_EQ(E.AudioSyncMethod, 1);
  EXPECT_EQ(E.VideoGlobalHeader, 3);
  EXPECT_EQ(E.ProgramId, 7);
  EXPECT_EQ(E.VideoDiscard, 8);
  EXPECT_EQ(E.MeThreshold, 5);
  EXPECT_EQ(E.TopFieldFirst, 1);
  EXPECT_EQ(E.IntraDcPrecision, 10);
  EXPECT_EQ(E.AudioVolume, -5);  // the option stores it unchanged
  EXPECT_EQ(E.VideoChannel, 2);
  EXPECT_EQ(E.LoopOutput, 0);

  E.SetOption("fs", "5000000000");
  EXPECT_EQ(E.LimitFileSize, 5000000000ULL);
  E.SetOption("adrift_threshold", "0.25");
  E.SetOption("dts_delta_threshold", "5");
  E.SetOption("aq", "3.5");
  E.SetOption("muxdelay", "0.2");
  E.SetOption("muxpreload", "1e-1");
  EXPECT_EQ(E.AudioDriftThreshold, 0.25f);
  EXPECT_EQ(E.DtsDeltaThreshold, 5.0f);
  EXPECT_EQ(E.AudioQScale, 3.5f);
  EXPECT_EQ(E.MuxMaxDelay, 0.2f);
  EXPECT_EQ(E.MuxPreload, 0.1f);

  E.SetOption("alang", "eng");
  E.SetOption("alang", "");
  E.SetOption("slang", "ger");
  E.SetOption("passlogfile", "pass");
  EXPECT_EQ(E.AudioLanguage, "");  // stored even when empty
  EXPECT_EQ(E.SubtitleLanguage, "ger");
  EXPECT_EQ(E.PassLogFilePrefix, "pass");
  E.SetOption("rc_override", "");
  ASSERT_TRUE(E.VideoRcOverride.has_value());  // empty, but set
  E.SetOption("rc_override", "0,100,2/101,200,-20");
  EXPECT_EQ(*E.VideoRcOverride, "0,100,2/101,200,-20");
  E.SetOption("tvstd", "pal");
  EXPECT_EQ(E.VideoStandard, "pal");
  E.SetOption("vfilters", "hflip");
  E.SetOption("vfilters", "");
  EXPECT_EQ(E.VideoFilters, "hflip");
}

TEST_F(EngineOptions, TagsAreStoredOnlyWhenSet) {
  for (const char* Name : {"title", "author", "copyright", "comment", "genre", "album"}) {
    E.SetOption(Name, std::string("my ") + Name);
    E.SetOption(Name, "");
  }
  EXPECT_EQ(E.Title, "my title");
  EXPECT_EQ(E.Author, "my author");
  EXPECT_EQ(E.Copyright, "my copyright");
  EXPECT_EQ(E.Comment, "my comment");
  EXPECT_EQ(E.Genre, "my genre");
  EXPECT_EQ(E.Album, "my album");
  E.SetYear(2009);
  E.SetYear(-1);
  E.SetTrack(0);
  E.SetTrack(4);
  EXPECT_EQ(E.Year, 2009);
  EXPECT_EQ(E.Track, 4);
}

TEST_F(EngineOptions, BadNumbersRaiseBeforeTheFieldChangesAndTheEngineGoesOn) {
  EXPECT_TRUE(RaisesWith<EConvertError>([&] { E.SetOption("vsync", "abc"); },
                                        "'abc' is not a valid integer value"));
  EXPECT_EQ(E.VideoSyncMethod, -1);
  EXPECT_TRUE(RaisesWith<EConvertError>([&] { E.SetOption("aq", "1,5"); },
                                        "'1,5' is not a valid floating point value"));
  EXPECT_EQ(E.AudioQScale, -99999.0f);
  EXPECT_TRUE(RaisesWith<EConvertError>([&] { E.SetOption("fs", "big"); },
                                        "'big' is not a valid integer value"));
  EXPECT_TRUE(RaisesWith<EConvertError>([&] { E.SetOption("croptop", "x"); },
                                        "'x' is not a valid integer value"));
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("pass", "3"); },
                                          "pass number can be only 1 or 2"));
  EXPECT_EQ(E.DoPass, 0);
  E.SetOption("pass", "2");
  EXPECT_EQ(E.DoPass, 2);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("qscale", "0"); },
                                          "qscale must be > 0.0 and <= 255"));
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("qscale", "255.5"); },
                                          "qscale must be > 0.0 and <= 255"));
  EXPECT_EQ(E.VideoQScale, 0);
  E.SetOption("qscale", "255");
  EXPECT_EQ(E.VideoQScale, 255);
  E.SetOption("vsync", "1");
  EXPECT_EQ(E.VideoSyncMethod, 1);
  // A piece of a longer conversion starts at a frame, never before the first.
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("vsync_start", "-3"); },
                                          "Invalid frame number for vsync_start: -3"));
  EXPECT_TRUE(RaisesWith<EConvertError>([&] { E.SetOption("vsync_start", "4.5"); },
                                        "'4.5' is not a valid integer value"));
  EXPECT_EQ(E.VideoSyncStart, -1);
  E.SetOption("vsync_start", "2997");
  EXPECT_EQ(E.VideoSyncStart, 2997);
}

TEST_F(EngineOptions, SampleRateAndChannelsIgnoreValuesNotAboveZero) {
  E.SetOption("ar", "0");
  E.SetOption("ac", "-1");
  EXPECT_EQ(E.AudioSampleRate, 44100);
  EXPECT_EQ(E.AudioChannels, 2);
  E.SetOption("ar", "22050");
  E.SetOption("ac", "1");
  EXPECT_EQ(E.AudioSampleRate, 22050);
  EXPECT_EQ(E.AudioChannels, 1);
}

TEST_F(EngineOptions, CropBandsCheckParityAndRange) {
  E.SetOption("s", "640x480");
  E.SetOption("croptop", "-2");
  EXPECT_EQ(E.CropTop, 0);
  EXPECT_EQ(E.FrameHeight, 480);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("croptop", "3"); },
                                          "Top crop size must be a multiple of 2"));
  EXPECT_TRUE(RaisesWith<FFMpegException>(
      [&] { E.SetOption("cropbottom", "480"); },
      "Vertical crop dimensions are outside the range of the original image.\n"
      "Remember to crop first and scale second."));
  EXPECT_TRUE(RaisesWith<FFMpegException>(
      [&] { E.SetOption("cropleft", "640"); },
      "Horizontal crop dimensions are outside the range of the original image.\n"
      "Remember to crop first and scale second."));
  EXPECT_EQ(E.CropBottom, 0);
  EXPECT_EQ(E.CropLeft, 0);
  E.SetOption("croptop", "16");
  EXPECT_EQ(E.CropTop, 16);
  EXPECT_EQ(E.FrameHeight, 464);
  E.SetOption("cropright", "40");
  EXPECT_EQ(E.FrameWidth, 600);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("cropleft", "1"); },
                                          "Left crop size must be a multiple of 2"));
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("cropright", "5"); },
                                          "Right crop size must be a multiple of 2"));
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("cropbottom", "7"); },
                                          "Bottom crop size must be a multiple of 2"));
}

TEST(EngineOptionsWithoutPicture, CropOfZeroOnAPictureOfHeightZeroIsAnError) {
  ASSERT_TRUE(LoadFFmpegLibs("", true));
  TCustomFFmpeg E;
  E.InitOptions();
  EXPECT_THROW(E.SetCropTop(0), FFMpegException);
  EXPECT_THROW(E.SetCropLeft(0), FFMpegException);
}

TEST_F(EngineOptions, PadBandsCheckParity) {
  E.SetOption("padtop", "-1");
  EXPECT_EQ(E.PadTop, 0);
  E.SetOption("padtop", "8");
  E.SetOption("padbottom", "10");
  E.SetOption("padleft", "12");
  E.SetOption("padright", "0");
  EXPECT_EQ(E.PadTop, 8);
  EXPECT_EQ(E.PadBottom, 10);
  EXPECT_EQ(E.PadLeft, 12);
  EXPECT_EQ(E.PadRight, 0);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("padtop", "1"); },
                                          "Top pad size must be a multiple of 2"));
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("padbottom", "3"); },
                                          "Bottom pad size must be a multiple of 2"));
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("padleft", "5"); },
                                          "Left pad size must be a multiple of 2"));
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("padright", "7"); },
                                          "Right pad size must be a multiple of 2"));
  EXPECT_EQ(E.PadTop, 8);
}

TEST_F(EngineOptions, PadColorConvertsRgbToYuv) {
  E.SetOption("padcolor", "0");
  EXPECT_EQ(E.PadColor, (std::array<int, 3>{0, 128, 128}));
  E.SetOption("padcolor", "$FFFFFF");
  EXPECT_EQ(E.PadColor, (std::array<int, 3>{255, 128, 128}));
  E.SetPadColor(0x0000FF);  // red in the lowest byte
  EXPECT_EQ(E.PadColor, (std::array<int, 3>{76, 85, 255}));
  E.SetPadColor(0xFF0000);  // blue
  EXPECT_EQ(E.PadColor, (std::array<int, 3>{29, 255, 107}));
}

TEST_F(EngineOptions, AspectRatioReadsRatiosAndDecimals) {
  E.SetOption("aspect", "16:9");
  EXPECT_EQ(E.FrameAspectRatio, 16.0f / 9.0f);
  EXPECT_FLOAT_EQ(E.FrameAspectRatio, 1.7777778f);
  for (const char* Bad : {"4:0", "0", "abc", "x:3", "4:-3", "1e-60", "1e60"}) {
    EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("aspect", Bad); },
                                            "Incorrect aspect ratio specification."))
        << Bad;
    EXPECT_FLOAT_EQ(E.FrameAspectRatio, 1.7777778f) << Bad;
  }
  E.SetOption("aspect", "1.5");
  EXPECT_EQ(E.FrameAspectRatio, 1.5f);
  E.SetOption("aspect", "-4:3");
  EXPECT_FLOAT_EQ(E.FrameAspectRatio, -4.0f / 3.0f);
  E.SetAspectRatio("");
  EXPECT_FLOAT_EQ(E.FrameAspectRatio, -4.0f / 3.0f);
}

TEST_F(EngineOptions, FrameRateAndSize) {
  E.SetOption("r", "25");
  EXPECT_EQ(E.FrameRate.num, 25);
  EXPECT_EQ(E.FrameRate.den, 1);
  E.SetOption("r", "30000/1001");
  EXPECT_EQ(E.FrameRate.num, 30000);
  EXPECT_EQ(E.FrameRate.den, 1001);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("r", "abc"); }, "Incorrect frame rate"));
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("r", "-25"); }, "Incorrect frame rate"));
  EXPECT_EQ(E.FrameRate.num, 30000);
  E.SetFrameRate("");
  EXPECT_EQ(E.FrameRate.num, 30000);

  E.SetOption("s", "352x288");
  EXPECT_EQ(E.FrameWidth, 352);
  EXPECT_EQ(E.FrameHeight, 288);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("s", "abc"); }, "Incorrect frame size"));
  EXPECT_EQ(E.FrameWidth, 352);
  // The odd size is stored before the check raises.
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("s", "321x240"); },
                                          "Frame size must be a multiple of 2"));
  EXPECT_EQ(E.FrameWidth, 321);
  EXPECT_EQ(E.FrameHeight, 240);
}

TEST_F(EngineOptions, ItsScaleGoesToTheNextInputAndChecksTheStreamIndex) {
  E.SetOption("itsscale", "1:2.0");
  EXPECT_EQ(E.InputTsScales[0][1], 2.0);
  E.SetOption("itsscale", "0x13,0.5");
  EXPECT_EQ(E.InputTsScales[0][19], 0.5);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("itsscale", "20:1.0"); },
                                          "stream index over MAX_STREAMS(20)"));
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("itsscale", "-1:1.0"); },
                                          "stream index over MAX_STREAMS(20)"));
  EXPECT_TRUE(RaisesWith<EConvertError>([&] { E.SetOption("itsscale", "2:inf"); },
                                        "'2:inf' is not a valid floating point value"));
  EXPECT_EQ(E.InputTsScales[0][2], 0.0);
  E.RegisterInputFile(InputFormatPtr(ff::avformat_alloc_context()), 0);
  E.SetOption("itsscale", "1:3");
  EXPECT_EQ(E.InputTsScales[1][1], 3.0);
  EXPECT_EQ(E.InputTsScales[0][1], 2.0);
}

TEST_F(EngineOptions, MapsAppendEntries) {
  E.SetOption("map", "0.1");
  E.SetOption("map", "0:1:0:0");
  E.SetOption("map", "0x1:010");
  ASSERT_EQ(E.StreamMapCount, 3);
  EXPECT_EQ(E.StreamMaps[0].SyncStreamIndex, 1);
  EXPECT_EQ(E.StreamMaps[1].SyncStreamIndex, 0);
  EXPECT_EQ(E.StreamMaps[2].FileIndex, 1);
  EXPECT_EQ(E.StreamMaps[2].StreamIndex, 8);
  E.SetOption("map_meta_data", "1:0");
  ASSERT_EQ(E.MetaDataMapCount, 1);
  EXPECT_EQ(E.MetaDataMaps[0].OutFile, 1);
  EXPECT_EQ(E.MetaDataMaps[0].InFile, 0);
}

TEST_F(EngineOptions, TimesGoThroughTheLibraryParser) {
  E.SetOption("t", "00:00:10");
  EXPECT_EQ(E.RecordingTime, 10000000);
  EXPECT_EQ(E.TotalOutputDuration, 10000);
  E.SetOption("t", "2:00:00");
  EXPECT_EQ(E.RecordingTime, 7200000000LL);
  EXPECT_EQ(E.TotalOutputDuration, 7200000);
  E.SetOption("t", "0");
  EXPECT_EQ(E.RecordingTime, 7200000000LL);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("t", "ten"); },
                                          "Invalid duration specification for t: ten"));
  EXPECT_EQ(E.RecordingTime, 7200000000LL);

  E.SetOption("ss", "1.5");
  EXPECT_EQ(E.StartTime, 1500000);
  E.SetOption("itsoffset", "00:01:00");
  EXPECT_EQ(E.InputTsOffset, 60000000);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("ss", "x"); },
                                          "Invalid duration specification for ss: x"));
  EXPECT_EQ(E.StartTime, 1500000);

  E.SetOption("timestamp", "1970-01-01T00:00:10.5Z");
  EXPECT_EQ(E.RecTimestamp, 10);  // 10.5 s, to the even neighbour
  E.SetOption("timestamp", "2009-02-13 23:31:30Z");
  EXPECT_EQ(E.RecTimestamp, 1234567890);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("timestamp", "someday"); },
                                          "Invalid date specification for timestamp: someday"));
  EXPECT_EQ(E.RecTimestamp, 1234567890);

  E.SetRecordingTimeMs(0);
  E.SetRecordingTimeMs(-5);
  EXPECT_EQ(E.RecordingTime, 7200000000LL);
  E.SetRecordingTimeMs(3000);
  EXPECT_EQ(E.RecordingTime, 3000000);
  EXPECT_EQ(E.TotalOutputDuration, 3000);
  E.SetStartTimeValue(0);
  EXPECT_EQ(E.StartTime, 1500000);
  E.SetStartTimeValue(2000000);
  EXPECT_EQ(E.StartTime, 2000000);
}

TEST_F(EngineOptions, CodecNamesAndStreamCopy) {
  E.SetOption("vcodec", "mpeg4");
  EXPECT_EQ(E.VideoCodecName, "mpeg4");
  E.SetOption("vcodec", "copy");
  EXPECT_EQ(E.VideoStreamCopy, 1);
  EXPECT_TRUE(E.VideoCodecName.empty());
  E.SetOption("acodec", "aac");
  E.SetOption("acodec", "");
  EXPECT_EQ(E.AudioCodecName, "aac");
  E.SetOption("scodec", "copy");
  EXPECT_EQ(E.SubtitleStreamCopy, 1);
  EXPECT_EQ(E.AudioStreamCopy, 0);
}

TEST_F(EngineOptions, CodecTagsTakeFourCharacters) {
  E.SetOption("vtag", "XVID");
  EXPECT_EQ(E.VideoCodecTag, 0x44495658u);  // 'X' in the lowest byte
  E.SetOption("atag", "mp4a");
  EXPECT_EQ(E.AudioCodecTag, static_cast<uint32_t>('m' | 'p' << 8 | '4' << 16 | 'a' << 24));
  E.SetOption("vtag", "");
  EXPECT_EQ(E.VideoCodecTag, 0x44495658u);
  const std::regex Video(R"(video tag parameter must be 4 chars \(\w+\.cpp, line \d+\))");
  const std::regex Audio(R"(audio tag parameter must be 4 chars \(\w+\.cpp, line \d+\))");
  try {
    E.SetOption("vtag", "XVI");
    ADD_FAILURE() << "nothing raised";
  } catch (const EAssertionFailed& Error) {
    EXPECT_TRUE(std::regex_match(std::string(Error.what()), Video)) << Error.what();
  }
  try {
    E.SetAudioTag("abcde");
    ADD_FAILURE() << "nothing raised";
  } catch (const EAssertionFailed& Error) {
    EXPECT_TRUE(std::regex_match(std::string(Error.what()), Audio)) << Error.what();
  }
  EXPECT_EQ(E.VideoCodecTag, 0x44495658u);
}

TEST_F(EngineOptions, MatricesNeedAllSixtyFourCoefficients) {
  E.SetOption("intra_matrix", Matrix(64));
  ASSERT_TRUE(E.IntraMatrix.has_value());
  EXPECT_EQ((*E.IntraMatrix)[0], 1);
  EXPECT_EQ((*E.IntraMatrix)[63], 64);
  E.SetOption("inter_matrix", Matrix(64, 16) + ",1000,extra");
  ASSERT_TRUE(E.InterMatrix.has_value());
  EXPECT_EQ((*E.InterMatrix)[63], 79);

  const std::string Short = Matrix(63, 2);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("intra_matrix", Short); },
                                          "Syntax error in matrix \"" + Short + "\" at coeff 62"));
  // The matrix in use is still the complete one.
  EXPECT_EQ((*E.IntraMatrix)[0], 1);
  EXPECT_EQ((*E.IntraMatrix)[63], 64);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("inter_matrix", "8"); },
                                          "Syntax error in matrix \"8\" at coeff 0"));
}

TEST_F(EngineOptions, FormatsAndThePgmyuvRule) {
  E.SetOption("f", "avi");
  ASSERT_TRUE(E.InputFormat);
  ASSERT_TRUE(E.OutputFormat);
  EXPECT_STREQ(E.OutputFormat->name, "avi");
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("f", "nosuchformat"); },
                                          "Unknown input or output format: nosuchformat"));
  EXPECT_STREQ(E.OutputFormat->name, "avi");
  E.SetOption("f", "");
  EXPECT_STREQ(E.OutputFormat->name, "avi");
  // A muxer without a demuxer of the same name: only the output side.
  E.SetOption("f", "svcd");
  EXPECT_STREQ(E.OutputFormat->name, "svcd");
  EXPECT_EQ(E.InputFormat, nullptr);

  E.SetOption("f", "pgmyuv");
  EXPECT_EQ(E.PgmyuvCompat, 1);
  EXPECT_TRUE(Logged("pgmyuv format is deprecated, use image2")) << LogText();
  ASSERT_TRUE(E.InputFormat);
  EXPECT_STREQ(E.InputFormat->name, "image2");
  EXPECT_STREQ(E.OutputFormat->name, "image2");

  E.InputFormat = nullptr;
  E.OutputFormat = nullptr;
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetInputFormat("nosuch"); },
                                          "Unknown input format: nosuch"));
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOutputFormat("nosuch"); },
                                          "Unknown output format: nosuch"));
  E.SetInputFormat("");
  E.SetOutputFormat("");
  EXPECT_EQ(E.InputFormat, nullptr);
  E.SetInputFormat("mp3");
  EXPECT_STREQ(E.InputFormat->name, "mp3");
  EXPECT_EQ(E.OutputFormat, nullptr);
  E.SetOutputFormat("mp4");
  EXPECT_STREQ(E.OutputFormat->name, "mp4");
}

TEST_F(EngineOptions, PixelAndSampleFormats) {
  E.SetOption("pix_fmt", "yuv422p");
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV422P);
  E.SetOption("pix_fmt", "nosuch");
  EXPECT_EQ(E.FramePixFmt, -1);
  E.SetOption("sample_fmt", "s16");
  EXPECT_EQ(E.AudioSampleFmt, AV_SAMPLE_FMT_S16);
  E.SetOption("sample_fmt", "fltp");
  EXPECT_EQ(E.AudioSampleFmt, AV_SAMPLE_FMT_FLTP);
  E.SetOption("sample_fmt", "bogus");
  EXPECT_EQ(E.AudioSampleFmt, -1);
}

TEST_F(EngineOptions, ListsLogTheLibrarysTables) {
  E.SetOption("pix_fmt", "yuv420p");
  E.SetOption("pix_fmt", "list");
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV420P);
  ASSERT_GT(Lines.size(), 100u);
  char Buffer[128];
  EXPECT_EQ(Lines.front().Text, Trim(ff::av_get_pix_fmt_string(Buffer, sizeof Buffer, AV_PIX_FMT_NONE)));
  EXPECT_EQ(Lines[1].Text, Trim(ff::av_get_pix_fmt_string(Buffer, sizeof Buffer, AV_PIX_FMT_YUV420P)));
  for (const LoggedLine& Line : Lines) {
    EXPECT_EQ(Line.Level, 1);
    EXPECT_EQ(Line.Text, Trim(Line.Text));
  }
  Lines.clear();
  E.SetOption("sample_fmt", "list");
  ASSERT_EQ(Lines.size(), 11u);  // the heading and U8 .. DBLP
  EXPECT_EQ(Lines.front().Text, Trim(ff::av_get_sample_fmt_string(Buffer, sizeof Buffer, AV_SAMPLE_FMT_NONE)));
  EXPECT_EQ(Lines.back().Text, Trim(ff::av_get_sample_fmt_string(Buffer, sizeof Buffer, AV_SAMPLE_FMT_DBLP)));
  EXPECT_EQ(E.AudioSampleFmt, -1);
}

TEST_F(EngineOptions, BitstreamFiltersFormChainsPerMediaType) {
  E.SetOption("vbsf", "h264_mp4toannexb");
  E.SetOption("vbsf", "dump_extra=freq=keyframe");
  E.SetOption("absf", "aac_adtstoasc");
  E.SetOption("sbsf", "null");
  E.SetOption("absf", "");
  E.SetOption("absf", "=noise");
  ASSERT_EQ(E.VideoBsfChain.size(), 2u);
  EXPECT_EQ(E.VideoBsfChain[0].Name, "h264_mp4toannexb");
  EXPECT_EQ(E.VideoBsfChain[0].Args, "");
  EXPECT_EQ(E.VideoBsfChain[1].Name, "dump_extra");
  EXPECT_EQ(E.VideoBsfChain[1].Args, "freq=keyframe");
  ASSERT_EQ(E.AudioBsfChain.size(), 1u);
  EXPECT_EQ(E.AudioBsfChain[0].Name, "aac_adtstoasc");
  ASSERT_EQ(E.SubtitleBsfChain.size(), 1u);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("vbsf", " nosuchfilter=1 "); },
                                          "Unknown bitstream filter nosuchfilter=1"));
  EXPECT_EQ(E.VideoBsfChain.size(), 2u);
}

TEST_F(EngineOptions, VstatsNamesAFileBesideTheProgram) {
  E.SetOption("vstats", "");
  ASSERT_TRUE(E.VstatsFileName.has_value());
  const std::regex Name(R"(/.*/vstats_\d{6}\.log)");
  EXPECT_TRUE(std::regex_match(*E.VstatsFileName, Name)) << *E.VstatsFileName;
  E.SetOption("vstats_file", "my.log");
  EXPECT_EQ(E.VstatsFileName, "my.log");
}

TEST_F(EngineOptions, NewStreamsNeedAnOutputFile) {
  for (const char* Name : {"newvideo", "newaudio", "newsubtitle"})
    EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption(Name, ""); },
                                            "At least one output file must be specified"))
        << Name;
}

// ---- Frame hooks -----------------------------------------------------------

class EngineHookOptions : public EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    Handle = ::dlopen(VEXAV_ARGS_HOOK, RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(Handle) << ::dlerror();
    Count = reinterpret_cast<int (*)()>(::dlsym(Handle, "ArgsHookCount"));
    Word = reinterpret_cast<const char* (*)(int)>(::dlsym(Handle, "ArgsHookWord"));
    ASSERT_TRUE(Count && Word);
  }
  void TearDown() override {
    E.ReleaseFiles();
    if (Handle) ::dlclose(Handle);
  }
  std::vector<std::string> Words() const {
    std::vector<std::string> Result;
    for (int I = 0; I < Count(); ++I) Result.emplace_back(Word(I));
    return Result;
  }

  void* Handle = nullptr;
  int (*Count)() = nullptr;
  const char* (*Word)(int) = nullptr;
};

TEST_F(EngineHookOptions, BarsSplitTheWordsAndSpacesStayInside) {
  const std::string Path = VEXAV_ARGS_HOOK;
  E.SetOption("vhook", Path + "|-t hello world|last");
  EXPECT_TRUE(E.UsingVhook);
  EXPECT_EQ(Words(), (std::vector<std::string>{Path, "-t hello world", "last"}));
  ASSERT_TRUE(E.HookChain);
  EXPECT_EQ(E.HookChain->next, nullptr);
}

TEST_F(EngineHookOptions, WithoutBarsSpacesSplitTheWords) {
  const std::string Path = VEXAV_ARGS_HOOK;
  E.SetOption("vhook", Path + " argument");
  EXPECT_EQ(Words(), (std::vector<std::string>{Path, "argument"}));
  E.SetOption("vhook", Path);
  EXPECT_EQ(Words(), (std::vector<std::string>{Path}));
  ASSERT_TRUE(E.HookChain && E.HookChain->next);
}

TEST_F(EngineHookOptions, AFailingHookRaisesWithTheWholeValue) {
  const std::string Missing = "/nonexistent/folder/libnohook.so some args";
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("vhook", Missing); },
                                          "Failed to add video hook function: " + Missing));
  const std::string Failing = std::string(VEXAV_ARGS_HOOK) + " fail";
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("vhook", Failing); },
                                          "Failed to add video hook function: " + Failing));
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("vhook", "   "); },
                                          "Failed to add video hook function:    "));
  EXPECT_FALSE(E.UsingVhook);
  EXPECT_EQ(E.HookChain, nullptr);
}

}  // namespace
}  // namespace vexav::test
