// The option records and their translation into engine options: defaults
// and resets, the free option lines, the order of the fields, the four
// always-applied fields, the target preset, hook ranges and time stamps.
#include <stdlib.h>
#include <time.h>

#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <sstream>

#include "ConverterFixture.h"
#include "binding/Api.h"
#include "component/OptionRecords.h"
#include "component/TaskList.h"

namespace vexav::test {
namespace {

// ---- Records -------------------------------------------------------------------

TEST(OptionRecordsTest, InputDefaultsAndReset) {
  TInputOptions In;
  EXPECT_EQ(In.FileName, "");
  EXPECT_EQ(In.FileFormat, "");
  EXPECT_EQ(In.StartTime, -1);
  EXPECT_EQ(In.ProgramID, -1);
  EXPECT_EQ(In.ExtOptions, "");
  In.FileName = "a";
  In.FileFormat = "avi";
  In.StartTime = 5;
  In.ProgramID = 2;
  In.ExtOptions = "re";
  ResetInputOptions(In);
  EXPECT_EQ(In.FileName, "");
  EXPECT_EQ(In.FileFormat, "");
  EXPECT_EQ(In.StartTime, -1);
  EXPECT_EQ(In.ProgramID, -1);
  EXPECT_EQ(In.ExtOptions, "");
}

TEST(OptionRecordsTest, OutputDefaults) {
  TOutputOptions O;
  EXPECT_EQ(O.PacketSize, -1);
  EXPECT_EQ(O.MuxRate, -1);
  EXPECT_EQ(O.MuxDelay, -1.0f);
  EXPECT_EQ(O.MuxPreload, -1.0f);
  EXPECT_FALSE(O.DisableAudio);
  EXPECT_EQ(O.AudioVolume, -1);
  EXPECT_EQ(O.AudioChannels, -1);
  EXPECT_EQ(O.AudioSampleRate, -1);
  EXPECT_EQ(O.AudioBitrate, -1);
  EXPECT_EQ(O.AudioBitrateTolerance, -1);
  EXPECT_EQ(O.AudioSync, 0);
  EXPECT_FALSE(O.DisableVideo);
  for (int V : {O.CropTop, O.CropBottom, O.CropLeft, O.CropRight, O.PadTop, O.PadBottom, O.PadLeft,
                O.PadRight, O.GroupOfPictures, O.VideoBitrate, O.VideoMaxRate, O.VideoMinRate,
                O.VideoBitrateTolerance, O.VideoBufferSize, O.Duration, O.Year, O.Track})
    EXPECT_EQ(V, -1);
  EXPECT_EQ(O.PadColor, clBlack);
  EXPECT_EQ(O.VideoSync, -1);
  EXPECT_FALSE(O.DisableSubtitle);
  EXPECT_FALSE(O.CopyTimestamp);
  EXPECT_EQ(O.Timestamp, -1.0);
  EXPECT_EQ(O.TargetType, 0);
  EXPECT_EQ(O.NormType, 0);
  EXPECT_EQ(O.NormDefault, 1);
  EXPECT_FALSE(O.CustomHook);
  EXPECT_FALSE(O.BeforeHook);
  EXPECT_EQ(sizeof O.Title, 512u);
  EXPECT_EQ(sizeof O.Genre, 32u);
}

TEST(OptionRecordsTest, OutputResetEmptiesStringsAndZeroFillsTexts) {
  TOutputOptions O;
  O.FileName = "x.mp4";
  O.Reserved = "r";
  O.VideoCodec = "libx264";
  O.HookRanges = "0-1";
  O.ExtOptions = "an";
  O.VideoBitrate = 5;
  O.PadColor = clWhite;
  O.VideoSync = 2;
  O.NormDefault = 2;
  O.Timestamp = 3;
  O.CustomHook = true;
  std::memset(O.Title, 'x', sizeof O.Title);
  std::memset(O.Genre, 'y', sizeof O.Genre);
  ResetOutputOptions(O);
  const TOutputOptions Fresh;
  EXPECT_EQ(O.FileName, "");
  EXPECT_EQ(O.Reserved, "");
  EXPECT_EQ(O.VideoCodec, "");
  EXPECT_EQ(O.HookRanges, "");
  EXPECT_EQ(O.ExtOptions, "");
  EXPECT_EQ(O.VideoBitrate, -1);
  EXPECT_EQ(O.PadColor, clBlack);
  EXPECT_EQ(O.VideoSync, -1);
  EXPECT_EQ(O.NormDefault, 1);
  EXPECT_EQ(O.Timestamp, -1.0);
  EXPECT_FALSE(O.CustomHook);
  EXPECT_EQ(std::memcmp(O.Title, Fresh.Title, sizeof O.Title), 0);
  EXPECT_EQ(std::memcmp(O.Genre, Fresh.Genre, sizeof O.Genre), 0);
  for (char Ch : O.Title) EXPECT_EQ(Ch, 0);
}

TEST(OptionRecordsTest, RecordTextsAreCutAndReadToTheirFirstZero) {
  TOutputOptions O;
  SetRecordText(O.Genre, std::string(40, 'g'));
  EXPECT_EQ(RecordText(O.Genre), std::string(31, 'g'));
  EXPECT_EQ(O.Genre[31], 0);
  SetRecordText(O.Title, "Clip");
  EXPECT_EQ(RecordText(O.Title), "Clip");
  // A field filled to its very end, without a zero, is read to its end.
  std::memset(O.Genre, 'h', sizeof O.Genre);
  EXPECT_EQ(RecordText(O.Genre), std::string(32, 'h'));
}

TEST(OptionRecordsTest, ColorToRGBTakesTheLow24Bits) {
  EXPECT_EQ(ColorToRGB(0x0000FF), 0x0000FF);
  EXPECT_EQ(ColorToRGB(clWhite), 0xFFFFFF);
  EXPECT_EQ(ColorToRGB(static_cast<TColor>(0x80000005)), 0x000005);
}

// ---- Hook ranges -----------------------------------------------------------------

TEST(HookRangesTest, ThreePiecesOneStartingWithText) {
  const auto Ranges = ParseHookRanges("0-5000, 9000 - 12000, x-3");
  ASSERT_EQ(Ranges.size(), 3u);
  EXPECT_EQ(Ranges[0].Start, 0);
  EXPECT_EQ(Ranges[0].End, 5000000);
  EXPECT_EQ(Ranges[1].Start, 9000000);
  EXPECT_EQ(Ranges[1].End, 12000000);
  EXPECT_EQ(Ranges[2].Start, -1000);
  EXPECT_EQ(Ranges[2].End, 3000);
}

TEST(HookRangesTest, RangesAreKeptInTextOrderAndBadOnesDropped) {
  const auto Ranges = ParseHookRanges("  20000-25000,0-5000 , 7-3, 4, , -5-x, 100-100  ");
  ASSERT_EQ(Ranges.size(), 3u);
  EXPECT_EQ(Ranges[0].Start, 20000000);
  EXPECT_EQ(Ranges[1].Start, 0);
  EXPECT_EQ(Ranges[2].Start, 100000);
  EXPECT_EQ(Ranges[2].End, 100000);
  EXPECT_TRUE(ParseHookRanges("").empty());
  EXPECT_TRUE(ParseHookRanges("   ").empty());
}

// ---- Local date-times ---------------------------------------------------------------

class ZoneTest : public ::testing::Test {
 protected:
  void SetZone(const char* Zone) {
    ::setenv("TZ", Zone, 1);
    ::tzset();
  }
  void SetUp() override {
    const char* Old = ::getenv("TZ");
    HadZone = Old != nullptr;
    if (Old) OldZone = Old;
  }
  void TearDown() override {
    if (HadZone)
      ::setenv("TZ", OldZone.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }
  bool HadZone = false;
  std::string OldZone;
};

TEST_F(ZoneTest, BiasIsAddedToTheLocalTime) {
  // 1 Jan 2000 12:00 local time is day 36526.5.
  SetZone("UTC");
  EXPECT_EQ(LocalTimeZoneBias(36526.5), 0.0);
  EXPECT_EQ(LocalDateTimeToUnixSeconds(36526.5), 946728000);
  // Central Europe: UTC+1 in winter, UTC+2 in summer (daylight saving).
  SetZone("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_DOUBLE_EQ(LocalTimeZoneBias(36526.5), -1.0 / 24);
  EXPECT_EQ(LocalDateTimeToUnixSeconds(36526.5), 946728000 - 3600);
  // 1 Jul 2000 12:00 local time.
  EXPECT_DOUBLE_EQ(LocalTimeZoneBias(36708.5), -2.0 / 24);
  EXPECT_EQ(LocalDateTimeToUnixSeconds(36708.5), 962452800 - 7200);
  // West of Greenwich the bias is positive.
  SetZone("EST5");
  EXPECT_EQ(LocalDateTimeToUnixSeconds(36526.5), 946728000 + 5 * 3600);
}

TEST_F(ZoneTest, SecondsAreRoundedToTheNearest) {
  SetZone("UTC");
  // A day count rarely holds half a second exactly, so halves are not
  // tested; the fractions around them are.
  EXPECT_EQ(LocalDateTimeToUnixSeconds(UNIX_EPOCH_DATE + 1.4 / 86400), 1);
  EXPECT_EQ(LocalDateTimeToUnixSeconds(UNIX_EPOCH_DATE + 1.6 / 86400), 2);
  EXPECT_EQ(LocalDateTimeToUnixSeconds(UNIX_EPOCH_DATE - 1.6 / 86400), -2);
  // Days before 1970 give negative counts.
  EXPECT_EQ(LocalDateTimeToUnixSeconds(UNIX_EPOCH_DATE - 1.0), -86400);
}

TEST_F(ZoneTest, NowConvertsBackToTheCurrentTime) {
  for (const char* Zone : {"UTC", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0"}) {
    SetZone(Zone);
    const int64_t Before = ::time(nullptr);
    const int64_t Converted = LocalDateTimeToUnixSeconds(LocalDateTimeNow());
    const int64_t After = ::time(nullptr);
    EXPECT_GE(Converted, Before) << Zone;
    EXPECT_LE(Converted, After + 1) << Zone;
  }
}

// ---- Translation into the engine ------------------------------------------------------

// What a record can change in an engine, as texts.
std::map<std::string, std::string> Snapshot(TCustomFFmpeg& E) {
  std::map<std::string, std::string> S;
  auto Put = [&S](const std::string& Name, const auto& Value) {
    std::ostringstream Out;
    Out << Value;
    S[Name] = Out.str();
  };
  Put("InputFormat", static_cast<const void*>(E.InputFormat));
  Put("OutputFormat", static_cast<const void*>(E.OutputFormat));
  Put("FrameWidth", E.FrameWidth);
  Put("FrameHeight", E.FrameHeight);
  Put("FrameAspectRatio", E.FrameAspectRatio);
  Put("FramePixFmt", E.FramePixFmt);
  Put("FrameRate", std::to_string(E.FrameRate.num) + "/" + std::to_string(E.FrameRate.den));
  Put("Pad", std::to_string(E.PadTop) + "," + std::to_string(E.PadBottom) + "," +
                 std::to_string(E.PadLeft) + "," + std::to_string(E.PadRight));
  Put("PadColor", std::to_string(E.PadColor[0]) + "," + std::to_string(E.PadColor[1]) + "," +
                      std::to_string(E.PadColor[2]));
  Put("Crop", std::to_string(E.CropTop) + "," + std::to_string(E.CropBottom) + "," +
                  std::to_string(E.CropLeft) + "," + std::to_string(E.CropRight));
  Put("VideoDisable", E.VideoDisable);
  Put("VideoCodecName", E.VideoCodecName);
  Put("VideoStreamCopy", E.VideoStreamCopy);
  Put("VideoCodecTag", E.VideoCodecTag);
  Put("VideoFilters", E.VideoFilters);
  Put("AudioSampleRate", E.AudioSampleRate);
  Put("AudioChannels", E.AudioChannels);
  Put("AudioDisable", E.AudioDisable);
  Put("AudioCodecName", E.AudioCodecName);
  Put("AudioStreamCopy", E.AudioStreamCopy);
  Put("AudioCodecTag", E.AudioCodecTag);
  Put("AudioLanguage", E.AudioLanguage);
  Put("AudioVolume", E.AudioVolume);
  Put("SubtitleDisable", E.SubtitleDisable);
  Put("SubtitleLanguage", E.SubtitleLanguage);
  Put("MuxPreload", E.MuxPreload);
  Put("MuxMaxDelay", E.MuxMaxDelay);
  Put("RecordingTime", E.RecordingTime);
  Put("TotalOutputDuration", E.TotalOutputDuration);
  Put("StartTime", E.StartTime);
  Put("RecTimestamp", E.RecTimestamp);
  Put("Texts", E.Title + "|" + E.Author + "|" + E.Copyright + "|" + E.Comment + "|" + E.Genre + "|" +
                   E.Album);
  Put("Year", E.Year);
  Put("Track", E.Track);
  Put("VideoSyncMethod", E.VideoSyncMethod);
  Put("AudioSyncMethod", E.AudioSyncMethod);
  Put("CopyTs", E.CopyTs);
  Put("ProgramId", E.ProgramId);
  Put("RateEmu", E.RateEmu);
  std::string Names;
  for (const auto& Name : E.OptionNames) Names += Name + ";";
  Put("OptionNames", Names);
  std::string Private;
  for (const auto& Option : E.PrivateOptions) Private += Option.Name + "=" + Option.Value + ";";
  Put("PrivateOptions", Private);
  std::string Ranges;
  for (const auto& Range : E.HookRangeList)
    Ranges += std::to_string(Range.Start) + "-" + std::to_string(Range.End) + ";";
  Put("HookRangeList", Ranges);
  for (int Type : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO})
    for (const char* Name : {"b", "g", "bt", "maxrate", "minrate", "bufsize"}) {
      int64_t Value = -12345;
      ff::av_opt_get_int(E.CodecDefaults[Type].get(), Name, 0, &Value);
      Put(std::string(Type == AVMEDIA_TYPE_VIDEO ? "video." : "audio.") + Name, Value);
    }
  for (const char* Name : {"packetsize", "muxrate"}) {
    int64_t Value = -12345;
    ff::av_opt_get_int(E.FormatDefaults.get(), Name, AV_OPT_SEARCH_CHILDREN, &Value);
    Put(std::string("format.") + Name, Value);
  }
  return S;
}

// The entries that differ between two snapshots, as "name: a | b".
std::vector<std::string> Differences(const std::map<std::string, std::string>& A,
                                     const std::map<std::string, std::string>& B) {
  std::vector<std::string> Result;
  for (const auto& [Name, Value] : A)
    if (B.at(Name) != Value) Result.push_back(Name + ": " + Value + " | " + B.at(Name));
  return Result;
}

class RecordTranslationTest : public ConverterFixture {
 protected:
  // A task with the short clip opened, as AddInputFile leaves it.
  std::unique_ptr<TFFmpeg> OpenedTask() {
    auto Task = std::make_unique<TFFmpeg>();
    Task->InitOptions();
    Task->SetVerbose(1);
    EXPECT_TRUE(Task->OpenInputFile(Media().Short)) << Task->LastError;
    return Task;
  }
};

TEST_F(RecordTranslationTest, OnlyTheBitRatesAndTheFourAlwaysAppliedFieldsAreSent) {
  auto Applied = OpenedTask();
  TOutputOptions O;
  O.VideoBitrate = 1500000;
  O.AudioBitrate = 64000;
  Applied->ApplyOutputOptions(O);

  // The same engine given exactly what the record stands for: "ab" and
  // "vb" with their values, in the record's order, and the four fields
  // that are always applied, with their defaults.
  auto Expected = OpenedTask();
  ASSERT_TRUE(Expected->SetGenericOption("ab", "64000"));
  ASSERT_TRUE(Expected->SetGenericOption("vb", "1500000"));
  Expected->SetAudioSyncMethod(0);
  Expected->SetPadColor(0);
  Expected->SetVideoSyncMethod(-1);
  Expected->CopyTs = false;

  EXPECT_EQ(Differences(Snapshot(*Applied), Snapshot(*Expected)), std::vector<std::string>{});
  int64_t VideoRate = 0, AudioRate = 0;
  ff::av_opt_get_int(Applied->CodecDefaults[AVMEDIA_TYPE_VIDEO].get(), "b", 0, &VideoRate);
  ff::av_opt_get_int(Applied->CodecDefaults[AVMEDIA_TYPE_AUDIO].get(), "b", 0, &AudioRate);
  EXPECT_EQ(VideoRate, 1500000);
  EXPECT_EQ(AudioRate, 64000);

  // Against an untouched engine only the two bit rates differ, and the pad
  // colour: black in full-range YUV is not the engine's default (16, 128,
  // 128), so the always-applied colour shows.
  auto Untouched = OpenedTask();
  const auto Changed = Differences(Snapshot(*Applied), Snapshot(*Untouched));
  ASSERT_EQ(Changed.size(), 4u) << ::testing::PrintToString(Changed);
  EXPECT_EQ(Changed[0].rfind("OptionNames:", 0), 0u);
  EXPECT_EQ(Changed[1], "PadColor: 0,128,128 | 16,128,128");
  EXPECT_EQ(Changed[2], "audio.b: 64000 | " + Snapshot(*Untouched).at("audio.b"));
  EXPECT_EQ(Changed[3], "video.b: 1500000 | " + Snapshot(*Untouched).at("video.b"));
}

TEST_F(RecordTranslationTest, AlwaysAppliedFieldsReplaceTheFreeOptionLines) {
  auto Task = OpenedTask();
  TOutputOptions O;
  O.ExtOptions = "async=1\nvsync=2\npadcolor=255\ncopyts";
  Task->ApplyExtOptions(O.ExtOptions);
  EXPECT_EQ(Task->AudioSyncMethod, 1);
  EXPECT_EQ(Task->VideoSyncMethod, 2);
  EXPECT_TRUE(Task->CopyTs);
  const auto RedPad = Task->PadColor;

  auto Applied = OpenedTask();
  Applied->ApplyOutputOptions(O);
  EXPECT_EQ(Applied->AudioSyncMethod, 0);
  EXPECT_EQ(Applied->VideoSyncMethod, -1);
  EXPECT_FALSE(Applied->CopyTs);
  const std::array<int, 3> Black{0, 128, 128};
  EXPECT_EQ(Applied->PadColor, Black);
  EXPECT_NE(RedPad, Black);
}

TEST_F(RecordTranslationTest, TwoFreeLinesThenARecordFieldThatReplacesOne) {
  auto Lines = OpenedTask();
  Lines->ApplyExtOptions("vcodec=mpeg4\r\nb=800000");
  EXPECT_EQ(Lines->VideoCodecName, "mpeg4");
  int64_t Rate = 0;
  ff::av_opt_get_int(Lines->CodecDefaults[AVMEDIA_TYPE_VIDEO].get(), "b", 0, &Rate);
  EXPECT_EQ(Rate, 800000);

  auto Applied = OpenedTask();
  TOutputOptions O;
  O.ExtOptions = "vcodec=mpeg4\r\nb=800000";
  O.VideoCodec = "libx264";
  Applied->ApplyOutputOptions(O);
  EXPECT_EQ(Applied->VideoCodecName, "libx264");
  ff::av_opt_get_int(Applied->CodecDefaults[AVMEDIA_TYPE_VIDEO].get(), "b", 0, &Rate);
  EXPECT_EQ(Rate, 800000);
}

TEST_F(RecordTranslationTest, FreeLinesSplitAtTheFirstEqualsWithAnyLineBreak) {
  auto Task = OpenedTask();
  Task->ApplyExtOptions("  title=a=b\rauthor=x y\n\nan\r\nalbum=  padded  \n  ");
  EXPECT_EQ(Task->Title, "a=b");
  EXPECT_EQ(Task->Author, "x y");
  EXPECT_EQ(Task->AudioDisable, 1);
  // Values are passed untrimmed.
  EXPECT_EQ(Task->Album, "  padded");
}

TEST_F(RecordTranslationTest, BadFreeLineRaisesTheEnginesError) {
  auto Task = OpenedTask();
  EXPECT_THROW(Task->ApplyExtOptions("croptop=3"), std::runtime_error);
}

TEST_F(RecordTranslationTest, FieldsReachTheEngine) {
  auto Task = OpenedTask();
  TOutputOptions O;
  O.FileFormat = "matroska";
  O.MuxDelay = 1.5f;
  O.MuxPreload = 0.25f;
  O.AudioCodec = "mp2";
  O.DisableAudio = true;
  O.AudioVolume = 512;
  O.AudioChannels = 1;
  O.AudioSampleRate = 22050;
  O.AudioLanguage = "eng";
  O.AudioSync = 1;
  O.AudioTag = "abcd";
  O.VideoCodec = "mpeg4";
  O.DisableVideo = true;
  O.FrameRate = "30000/1001";
  O.FrameSize = "160x120";
  O.FrameAspectRatio = "4:3";
  O.CropTop = 2;
  O.CropLeft = 4;
  O.PadBottom = 6;
  O.PadRight = 8;
  O.PadColor = 0xFFFFFF;
  O.GroupOfPictures = 12;
  O.VideoMaxRate = 2000000;
  O.VideoBufferSize = 1000000;
  O.VideoSync = 1;
  O.VideoTag = "XVID";
  O.VideoFilters = "hflip";
  O.DisableSubtitle = true;
  O.SubtitleLanguage = "fra";
  O.CopyTimestamp = true;
  O.Duration = 1500;
  O.Timestamp = UNIX_EPOCH_DATE + 1.0;  // one day after the epoch, local time
  O.Year = 2024;
  O.Track = 3;
  SetRecordText(O.Title, "The Title");
  SetRecordText(O.Genre, "Genre");
  Task->ApplyOutputOptions(O);

  EXPECT_NE(Task->OutputFormat, nullptr);
  EXPECT_FLOAT_EQ(Task->MuxMaxDelay, 1.5f);
  EXPECT_FLOAT_EQ(Task->MuxPreload, 0.25f);
  EXPECT_EQ(Task->AudioCodecName, "mp2");
  EXPECT_EQ(Task->AudioDisable, 1);
  EXPECT_EQ(Task->AudioVolume, 512);
  EXPECT_EQ(Task->AudioChannels, 1);
  EXPECT_EQ(Task->AudioSampleRate, 22050);
  EXPECT_EQ(Task->AudioLanguage, "eng");
  EXPECT_EQ(Task->AudioSyncMethod, 1);
  EXPECT_EQ(Task->AudioCodecTag, 0x64636261u);
  EXPECT_EQ(Task->VideoCodecName, "mpeg4");
  EXPECT_EQ(Task->VideoDisable, 1);
  EXPECT_EQ(Task->FrameRate.num, 30000);
  EXPECT_EQ(Task->FrameRate.den, 1001);
  // The crop is taken from the size set just before it.
  EXPECT_EQ(Task->FrameWidth, 160 - 4);
  EXPECT_EQ(Task->FrameHeight, 120 - 2);
  EXPECT_NEAR(Task->FrameAspectRatio, 4.0 / 3, 1e-6);
  EXPECT_EQ(Task->CropTop, 2);
  EXPECT_EQ(Task->CropLeft, 4);
  EXPECT_EQ(Task->PadBottom, 6);
  EXPECT_EQ(Task->PadRight, 8);
  EXPECT_EQ(Task->PadColor[0], 255);
  EXPECT_EQ(Task->VideoSyncMethod, 1);
  EXPECT_EQ(Task->VideoCodecTag, 0x44495658u);
  EXPECT_EQ(Task->VideoFilters, "hflip");
  EXPECT_EQ(Task->SubtitleDisable, 1);
  EXPECT_EQ(Task->SubtitleLanguage, "fra");
  EXPECT_TRUE(Task->CopyTs);
  EXPECT_EQ(Task->RecordingTime, 1500000);
  EXPECT_EQ(Task->RecTimestamp, LocalDateTimeToUnixSeconds(UNIX_EPOCH_DATE + 1.0));
  EXPECT_EQ(Task->Year, 2024);
  EXPECT_EQ(Task->Track, 3);
  EXPECT_EQ(Task->Title, "The Title");
  EXPECT_EQ(Task->Genre, "Genre");
  EXPECT_EQ(Task->Author, "");
  int64_t Gop = 0;
  ff::av_opt_get_int(Task->CodecDefaults[AVMEDIA_TYPE_VIDEO].get(), "g", 0, &Gop);
  EXPECT_EQ(Gop, 12);
}

TEST_F(RecordTranslationTest, TimestampZeroIsTheTimeOfApplying) {
  auto Task = OpenedTask();
  TOutputOptions O;
  O.Timestamp = 0;
  const int64_t Before = ::time(nullptr);
  Task->ApplyOutputOptions(O);
  const int64_t After = ::time(nullptr);
  EXPECT_GE(Task->RecTimestamp, Before);
  EXPECT_LE(Task->RecTimestamp, After + 1);
}

TEST_F(RecordTranslationTest, NegativeTimestampIsNotSent) {
  auto Task = OpenedTask();
  const int64_t Old = Task->RecTimestamp;
  TOutputOptions O;
  Task->ApplyOutputOptions(O);
  EXPECT_EQ(Task->RecTimestamp, Old);
}

TEST_F(RecordTranslationTest, TargetPresetOverridesTheFields) {
  auto Task = OpenedTask();
  TOutputOptions O;
  O.FrameSize = "160x120";
  O.VideoCodec = "mpeg4";
  O.TargetType = 3;  // dvd
  O.NormType = 2;    // ntsc
  Task->ApplyOutputOptions(O);
  EXPECT_EQ(Task->FrameWidth, 720);
  EXPECT_EQ(Task->FrameHeight, 480);
  EXPECT_EQ(Task->VideoCodecName, "mpeg2video");

  auto Pal = OpenedTask();
  O.NormType = 1;
  Pal->ApplyOutputOptions(O);
  EXPECT_EQ(Pal->FrameHeight, 576);

  // "auto" on a 25 fps source decides for pal; an unknown type does nothing.
  auto Other = OpenedTask();
  O.TargetType = 7;
  O.NormType = 0;
  Other->ApplyOutputOptions(O);
  EXPECT_EQ(Other->FrameWidth, 160);
  EXPECT_EQ(Other->VideoCodecName, "mpeg4");

  EXPECT_EQ(TargetTypeName(1), "vcd");
  EXPECT_EQ(TargetTypeName(2), "svcd");
  EXPECT_EQ(TargetTypeName(3), "dvd");
  EXPECT_EQ(TargetTypeName(0), "");
  EXPECT_EQ(NormTypeName(0), "auto");
  EXPECT_EQ(NormTypeName(1), "pal");
  EXPECT_EQ(NormTypeName(2), "ntsc");
  EXPECT_EQ(NormTypeName(9), "auto");
  EXPECT_EQ(NormDefaultName(1), "pal");
  EXPECT_EQ(NormDefaultName(0), "ntsc");
  EXPECT_EQ(NormDefaultName(2), "ntsc");
}

TEST_F(RecordTranslationTest, InputRecordOptions) {
  auto Task = std::make_unique<TFFmpeg>();
  Task->InitOptions();
  TInputOptions In;
  In.FileFormat = "avi";
  In.StartTime = 1500;
  In.ProgramID = 4;
  In.ExtOptions = "re";
  Task->ApplyInputOptions(In);
  EXPECT_NE(Task->InputFormat, nullptr);
  EXPECT_EQ(Task->StartTime, 1500000);
  EXPECT_EQ(Task->ProgramId, 4);
  EXPECT_EQ(Task->RateEmu, 1);

  auto Unset = std::make_unique<TFFmpeg>();
  Unset->InitOptions();
  Unset->ApplyInputOptions(TInputOptions{});
  EXPECT_EQ(Unset->InputFormat, nullptr);
  EXPECT_EQ(Unset->StartTime, 0);
  EXPECT_EQ(Unset->ProgramId, 0);
}

}  // namespace
}  // namespace vexav::test
