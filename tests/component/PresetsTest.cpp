// The format table, the item text rules, the audio-only rule, and the
// settings and engine options a task gets from its format and source.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "component/OptionRecords.h"
#include "component/Presets.h"

namespace vexav::output {

// Found by GoogleTest through the type's namespace.
void PrintTo(const TEngineOption& Option, std::ostream* Out) {
  *Out << Option.Name << "=" << Option.Value;
}

namespace {

TEST(Presets, TheMpeg4Row) {
  ASSERT_EQ(kFormats.size(), 6u);
  const TFormatPreset& Row = kFormats[kDefaultFormatIndex];
  EXPECT_STREQ(Row.ItemText, "MPEG-4 Video (*.mp4)");
  EXPECT_EQ(FormatExtension(Row.ItemText), ".mp4");
  EXPECT_EQ(FormatLabel(Row.ItemText), "MPEG-4 Video");
  EXPECT_STREQ(Row.VideoCodec, "libx264");
  EXPECT_STREQ(Row.AudioCodec, "libfaac");
  EXPECT_STREQ(Row.FrameRate, "29.97");
  EXPECT_EQ(Row.AudioChannels, 2);
  EXPECT_EQ(Row.AudioSampleRate, 44100);
  EXPECT_EQ(Row.VideoBitrate, 1500000);
  EXPECT_EQ(Row.AudioBitrate, 64000);
  EXPECT_EQ(Row.VideoSync, -1);
  EXPECT_EQ(Row.AudioSync, 0);
  EXPECT_EQ(FindFormat("MPEG-4 Video (*.mp4)"), &Row);
  EXPECT_EQ(FindFormat("mpeg-4 video (*.mp4)"), nullptr);
}

TEST(Presets, ItemTextParsing) {
  EXPECT_EQ(FormatLabel("Some *Star* Format (*.mkv)"), "Some xStarx Format");
  EXPECT_EQ(FormatExtension("Some *Star* Format (*.mkv)"), ".mkv");
  EXPECT_EQ(FormatExtension("No parentheses"), "");
  EXPECT_EQ(FormatExtension("Broken ()"), "");
  EXPECT_EQ(FormatExtension("Open only (*.mkv"), "");
  EXPECT_EQ(FormatLabel("No parentheses"), "No parentheses");
  EXPECT_EQ(FormatLabel("A*B"), "AxB");
}

TEST(Presets, MediaExtensionsIgnoreCaseAndMatchWholeEntries) {
  for (const char* Ext : {".avi", ".AVI", ".Mkv", ".mp4", ".MP3", ".wav", ".ra"})
    EXPECT_TRUE(IsMediaExtension(Ext)) << Ext;
  for (const char* Ext : {".mp", ".r", ".txt", ".jpg", "", ".", ".avi .mp4"})
    EXPECT_FALSE(IsMediaExtension(Ext)) << Ext;
}

TEST(Presets, AudioExtensionTestIsCaseSensitive) {
  for (const char* Ext :
       {".aac", ".ac3", ".mp2", ".mp3", ".wav", ".wma", ".amr", ".ogg", ".flac", ".ra"})
    EXPECT_TRUE(IsAudioExtension(Ext)) << Ext;
  EXPECT_FALSE(IsAudioExtension(".MP3"));
  EXPECT_FALSE(IsAudioExtension(".Wav"));
  EXPECT_FALSE(IsAudioExtension(".avi"));
  EXPECT_FALSE(IsAudioExtension(".mp4"));
  EXPECT_FALSE(IsAudioExtension(""));
  EXPECT_FALSE(IsAudioExtension("."));
  // A substring test, as the list is one string.
  EXPECT_TRUE(IsAudioExtension(".mp"));
  EXPECT_TRUE(IsAudioExtension(".r"));
}

TEST(Presets, AudioOnlyRule) {
  EXPECT_TRUE(IsAudioOnly(".mp4", "/music/song.mp3"));
  EXPECT_TRUE(IsAudioOnly(".mp4", "song.wav"));
  EXPECT_FALSE(IsAudioOnly(".mp4", "/music/SONG.MP3"));
  EXPECT_FALSE(IsAudioOnly(".mp4", "/video/clip.avi"));
  EXPECT_FALSE(IsAudioOnly(".mp4", "/video/noextension"));
  EXPECT_FALSE(IsAudioOnly(".mp4", "/video.mp3/clip"));
  EXPECT_FALSE(IsAudioOnly(".mp4", "/music/.mp3"));
  EXPECT_TRUE(IsAudioOnly(".mp3", "/video/clip.avi"));
}

TAudioStreamInfo Audio(int Channels, int Rate, int BitRate) {
  TAudioStreamInfo Info;
  Info.Channels = Channels;
  Info.SampleRate = Rate;
  Info.BitRate = BitRate;
  return Info;
}

TVideoStreamInfo Video(int Width, int Height) {
  TVideoStreamInfo Info;
  Info.Width = Width;
  Info.Height = Height;
  return Info;
}

TEST(Presets, VideoSourceGetsThePresetAndItsOwnSize) {
  const TOutputSettings S =
      MakeOutputSettings(&kFormats[0], false, Audio(1, 22050, 32000), Video(640, 360));
  EXPECT_EQ(S.VideoCodec, "libx264");
  EXPECT_EQ(S.AudioCodec, "libfaac");
  EXPECT_EQ(S.FrameRate, "29.97");
  EXPECT_EQ(S.FrameSize, "640x360");
  EXPECT_EQ(S.AudioChannels, 2);
  EXPECT_EQ(S.AudioSampleRate, 44100);
  EXPECT_EQ(S.AudioBitrate, 64000);
  EXPECT_EQ(S.VideoBitrate, 1500000);
  EXPECT_EQ(S.PixelFormat, "yuv420p");
  EXPECT_FALSE(S.DisableVideo);
  EXPECT_EQ(S.VideoSync, -1);
  EXPECT_EQ(S.AudioSync, 0);

  const std::vector<TEngineOption> Expected{
      {"acodec", "libfaac"}, {"ac", "2"},           {"ar", "44100"},       {"ab", "64000"},
      {"async", "0"},        {"vcodec", "libx264"}, {"r", "29.97"},        {"s", "640x360"},
      {"vb", "1500000"},     {"vsync", "-1"},       {"pix_fmt", "yuv420p"}};
  EXPECT_EQ(EngineOptions(S), Expected);
}

TEST(Presets, AudioOnlySourceGetsNoSizeAndVn) {
  const TOutputSettings S =
      MakeOutputSettings(&kFormats[0], true, Audio(2, 44100, 128000), TVideoStreamInfo());
  EXPECT_TRUE(S.DisableVideo);
  EXPECT_EQ(S.FrameSize, "");
  EXPECT_EQ(S.PixelFormat, "");
  EXPECT_EQ(S.AudioCodec, "libfaac");
  EXPECT_EQ(S.AudioChannels, 2);
  EXPECT_EQ(S.AudioSampleRate, 44100);
  EXPECT_EQ(S.AudioBitrate, 64000);
  const std::vector<TEngineOption> Expected{
      {"acodec", "libfaac"}, {"ac", "2"}, {"ar", "44100"}, {"ab", "64000"},   {"async", "0"},
      {"vcodec", "libx264"}, {"vn", ""},  {"r", "29.97"},  {"vb", "1500000"}, {"vsync", "-1"}};
  EXPECT_EQ(EngineOptions(S), Expected);
}

TEST(Presets, NoVideoStreamAndNoAudioExtensionGivesTheUnfilledSize) {
  const TOutputSettings S =
      MakeOutputSettings(&kFormats[0], false, Audio(2, 44100, 0), TVideoStreamInfo());
  EXPECT_EQ(S.FrameSize, "-1x-1");
}

// The H.264 encoder takes 4:2:0 pictures of even size only: an odd width
// or height loses its last column or row, through the engine's filter
// chain (an "s" would scale), and the note says what was done.
TEST(Presets, OddPictureSizesLoseTheirLastColumnOrRow) {
  ASSERT_TRUE(kFormats[0].EvenPictureSize);
  const TPictureFit Both = FitPicture(&kFormats[0], 13, 7);
  EXPECT_EQ(Both.Width, 12);
  EXPECT_EQ(Both.Height, 6);
  EXPECT_EQ(Both.Filter, "crop=12:6:0:0");
  EXPECT_EQ(Both.Note,
            "The picture is 13x7, an odd size the libx264 encoder does not take: its last column "
            "and last row are left out, giving 12x6 with every other pixel as it was.");
  const TPictureFit Column = FitPicture(&kFormats[0], 321, 240);
  EXPECT_EQ(Column.Filter, "crop=320:240:0:0");
  EXPECT_NE(Column.Note.find(": its last column is left out, giving 320x240 "), std::string::npos);
  const TPictureFit Row = FitPicture(&kFormats[0], 514, 653);
  EXPECT_EQ(Row.Filter, "crop=514:652:0:0");
  EXPECT_NE(Row.Note.find(": its last row is left out, giving 514x652 "), std::string::npos);

  // Even sizes, pictures of one pixel's width or height (nothing would be
  // left), unknown sizes and formats without the rule stay as they are.
  for (const auto& [W, H] : {std::pair{640, 360}, {1, 7}, {13, 1}, {-1, -1}}) {
    const TPictureFit Kept = FitPicture(&kFormats[0], W, H);
    EXPECT_EQ(Kept.Width, W);
    EXPECT_EQ(Kept.Height, H);
    EXPECT_EQ(Kept.Filter, "");
    EXPECT_EQ(Kept.Note, "");
  }
  EXPECT_EQ(FitPicture(nullptr, 13, 7).Filter, "");

  const TOutputSettings S =
      MakeOutputSettings(&kFormats[0], false, Audio(2, 44100, 64000), Video(13, 7));
  EXPECT_EQ(S.FrameSize, "");
  EXPECT_EQ(S.VideoFilters, "crop=12:6:0:0");
  EXPECT_EQ(S.Note, Both.Note);
  const std::vector<TEngineOption> Expected{{"acodec", "libfaac"},
                                            {"ac", "2"},
                                            {"ar", "44100"},
                                            {"ab", "64000"},
                                            {"async", "0"},
                                            {"vcodec", "libx264"},
                                            {"r", "29.97"},
                                            {"vb", "1500000"},
                                            {"vsync", "-1"},
                                            {"pix_fmt", "yuv420p"},
                                            {"vfilters", "crop=12:6:0:0"}};
  EXPECT_EQ(EngineOptions(S), Expected);

  // Sound only: no picture, nothing to fit.
  const TOutputSettings Sound =
      MakeOutputSettings(&kFormats[0], true, Audio(2, 44100, 64000), Video(13, 7));
  EXPECT_EQ(Sound.VideoFilters, "");
  EXPECT_EQ(Sound.Note, "");
  // A picture one pixel wide keeps its size, which the engine refuses.
  EXPECT_EQ(MakeOutputSettings(&kFormats[0], false, Audio(2, 44100, 0), Video(1, 7)).FrameSize,
            "1x7");
}

TEST(Presets, WithoutAPresetTheSourceFillsTheGaps) {
  const TOutputSettings S = MakeOutputSettings(nullptr, false, Audio(1, 22050, 0), Video(320, 240));
  EXPECT_EQ(S.AudioChannels, 1);
  EXPECT_EQ(S.AudioSampleRate, 22050);
  EXPECT_EQ(S.AudioBitrate, 0);
  EXPECT_EQ(S.FrameSize, "320x240");
  EXPECT_EQ(S.VideoBitrate, 1500000);
  EXPECT_EQ(S.VideoCodec, "");
  // Unset fields give no option; the two sync methods always come.
  const std::vector<TEngineOption> Expected{{"ac", "1"},      {"ar", "22050"},   {"async", "0"},
                                            {"s", "320x240"}, {"vb", "1500000"}, {"vsync", "-1"}};
  EXPECT_EQ(EngineOptions(S), Expected);
}

// The engine options a record stands for, read back from its fields by the
// record's own rules (OptionRecords.h), sorted by name: those the fields of
// the settings can give, and the free option lines.
std::vector<TEngineOption> RecordOptions(const TOutputOptions& R) {
  std::vector<TEngineOption> List;
  auto Text = [&](const char* Name, const std::string& Value) {
    if (!Value.empty()) List.push_back({Name, Value});
  };
  auto Positive = [&](const char* Name, int Value) {
    if (Value > 0) List.push_back({Name, std::to_string(Value)});
  };
  Text("acodec", R.AudioCodec);
  Positive("ac", R.AudioChannels);
  Positive("ar", R.AudioSampleRate);
  Positive("ab", R.AudioBitrate);
  List.push_back({"async", std::to_string(R.AudioSync)});
  Text("vcodec", R.VideoCodec);
  if (R.DisableVideo) List.push_back({"vn", ""});
  Text("r", R.FrameRate);
  Text("s", R.FrameSize);
  Positive("vb", R.VideoBitrate);
  List.push_back({"vsync", std::to_string(R.VideoSync)});
  Text("vfilters", R.VideoFilters);
  for (std::size_t At = 0; At < R.ExtOptions.size();) {
    const std::size_t End = R.ExtOptions.find('\n', At);
    const std::string Line = R.ExtOptions.substr(At, End - At);
    const std::size_t Equal = Line.find('=');
    List.push_back(
        {Line.substr(0, Equal), Equal == std::string::npos ? "" : Line.substr(Equal + 1)});
    At = End == std::string::npos ? R.ExtOptions.size() : End + 1;
  }
  std::sort(List.begin(), List.end(),
            [](const TEngineOption& A, const TEngineOption& B) { return A.Name < B.Name; });
  return List;
}

std::vector<TEngineOption> Sorted(std::vector<TEngineOption> List) {
  std::sort(List.begin(), List.end(),
            [](const TEngineOption& A, const TEngineOption& B) { return A.Name < B.Name; });
  return List;
}

// A program's way from the settings to a task's output record: the record
// asks the engine for exactly the options of the settings, whatever it held
// before, for a picture, a picture of odd size and sound only.
TEST(Presets, SettingsGoIntoAnOutputRecord) {
  const TOutputSettings Cases[] = {
      MakeOutputSettings(&kFormats[0], false, Audio(1, 22050, 32000), Video(640, 360)),
      MakeOutputSettings(&kFormats[0], false, Audio(2, 44100, 64000), Video(13, 7)),
      MakeOutputSettings(&kFormats[0], true, Audio(2, 44100, 128000), TVideoStreamInfo()),
      // The constant-quality rows: rate cap, tag and the encoders' options.
      MakeOutputSettings(&kFormats[1], false, Audio(2, 48000, 0), Video(1920, 1080), 720),
      MakeOutputSettings(&kFormats[2], false, Audio(2, 48000, 0), Video(640, 360)),
  };
  for (const TOutputSettings& S : Cases) {
    TOutputOptions Record;
    ResetOutputOptions(Record);
    // Left over from an earlier use of the record: all of it goes.
    Record.AudioVolume = 512;
    Record.VideoCodec = "mpeg4";
    Record.FrameSize = "320x240";
    Record.ExtOptions = "g=12\n";
    Record.CustomHook = true;
    ApplyOutputSettings(S, Record);
    EXPECT_EQ(RecordOptions(Record), Sorted(EngineOptions(S)));
    EXPECT_EQ(Record.AudioVolume, -1);
    EXPECT_FALSE(Record.CustomHook);
  }
  TOutputOptions Sound;
  ApplyOutputSettings(Cases[2], Sound);
  EXPECT_TRUE(Sound.DisableVideo);
  EXPECT_EQ(Sound.ExtOptions, "");
  TOutputOptions Odd;
  ApplyOutputSettings(Cases[1], Odd);
  EXPECT_EQ(Odd.VideoFilters, "crop=12:6:0:0");
  EXPECT_EQ(Odd.ExtOptions, "pix_fmt=yuv420p\n");
}

}  // namespace
}  // namespace vexav::output
