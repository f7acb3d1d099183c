// The constant-quality and sound-only rows of the format table, the size
// limit, and whether the loaded libraries can encode a row.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/FFmpegLibs.h"
#include "component/Presets.h"

namespace vexav::output {
namespace {

TAudioStreamInfo Sound(int Channels, int Rate) {
  TAudioStreamInfo Info;
  Info.Channels = Channels;
  Info.SampleRate = Rate;
  Info.BitRate = 96000;
  return Info;
}

TVideoStreamInfo Picture(int Width, int Height, int RateNum = 25, int RateDen = 1,
                         float DisplayAspect = 0) {
  TVideoStreamInfo Info;
  Info.Width = Width;
  Info.Height = Height;
  Info.FrameRateNum = RateNum;
  Info.FrameRateDen = RateDen;
  Info.DisplayAspect = DisplayAspect;
  return Info;
}

const TFormatPreset& Row(const char* Label) {
  const TFormatPreset* Found = FindFormatByLabel(Label);
  EXPECT_NE(Found, nullptr) << Label;
  return Found ? *Found : kFormats[0];
}

// The value of the option Name among Options ("<none>" when it is not there).
std::string ValueOf(const std::vector<TEngineOption>& Options, const std::string& Name) {
  for (const TEngineOption& Option : Options)
    if (Option.Name == Name) return Option.Value;
  return "<none>";
}

TEST(PresetRows, LabelsExtensionsAndLookUpIgnoringCase) {
  const char* Items[] = {"MPEG-4 Video (*.mp4)", "MPEG-4 Video HQ (*.mp4)", "HEVC Video (*.mp4)",
                         "WebM Video (*.webm)",  "AV1 Video (*.mkv)",       "M4A Audio (*.m4a)"};
  ASSERT_EQ(std::size(Items), kFormats.size());
  for (std::size_t I = 0; I < kFormats.size(); ++I) {
    EXPECT_STREQ(kFormats[I].ItemText, Items[I]);
    EXPECT_STRNE(kFormats[I].Description, "") << Items[I];
  }
  EXPECT_EQ(FindFormatByLabel("hevc video"), &kFormats[2]);
  EXPECT_EQ(FindFormatByLabel("MPEG-4 VIDEO"), &kFormats[0]);
  EXPECT_EQ(FindFormatByLabel("MPEG-4 Video HQ"), &kFormats[1]);
  EXPECT_EQ(FindFormatByLabel("HEVC"), nullptr);
  EXPECT_EQ(FindFormatByLabel("HEVC Video (*.mp4)"), nullptr);
  EXPECT_EQ(FindFormatByLabel(""), nullptr);
}

TEST(PresetRows, ConstantQualityRowsGiveTheirEncoderOptions) {
  const TOutputSettings HQ = MakeOutputSettings(&Row("MPEG-4 Video HQ"), false,
                                                Sound(6, 48000), Picture(1920, 1080, 30000, 1001));
  const std::vector<TEngineOption> O = EngineOptions(HQ);
  EXPECT_EQ(ValueOf(O, "vcodec"), "libx264");
  EXPECT_EQ(ValueOf(O, "acodec"), "aac");
  EXPECT_EQ(ValueOf(O, "ac"), "2");
  EXPECT_EQ(ValueOf(O, "ar"), "48000");  // the source's
  EXPECT_EQ(ValueOf(O, "ab"), "160000");
  EXPECT_EQ(ValueOf(O, "r"), "30000/1001");
  EXPECT_EQ(ValueOf(O, "s"), "1920x1080");
  EXPECT_EQ(ValueOf(O, "vb"), "<none>");
  EXPECT_EQ(ValueOf(O, "crf"), "20");
  EXPECT_EQ(ValueOf(O, "b"), "0");
  EXPECT_EQ(ValueOf(O, "preset"), "medium");
  EXPECT_EQ(ValueOf(O, "g"), "300");
  EXPECT_EQ(ValueOf(O, "maxrate"), "25000000");
  EXPECT_EQ(ValueOf(O, "bufsize"), "50000000");
  EXPECT_EQ(ValueOf(O, "pix_fmt"), "yuv420p");

  const std::vector<TEngineOption> H = EngineOptions(
      MakeOutputSettings(&Row("HEVC Video"), false, Sound(2, 44100), Picture(640, 480)));
  EXPECT_EQ(ValueOf(H, "vcodec"), "libx265");
  EXPECT_EQ(ValueOf(H, "vtag"), "hvc1");
  EXPECT_EQ(ValueOf(H, "crf"), "24.6");
  EXPECT_EQ(ValueOf(H, "pix_fmt"), "yuv420p10le");
  EXPECT_EQ(ValueOf(H, "g"), "300");
  EXPECT_EQ(ValueOf(H, "x265-params"), "log-level=error");
  EXPECT_EQ(ValueOf(H, "maxrate"), "<none>");

  const std::vector<TEngineOption> W = EngineOptions(
      MakeOutputSettings(&Row("WebM Video"), false, Sound(1, 22050), Picture(320, 240)));
  EXPECT_EQ(ValueOf(W, "vcodec"), "libvpx-vp9");
  EXPECT_EQ(ValueOf(W, "acodec"), "libopus");
  EXPECT_EQ(ValueOf(W, "ar"), "48000");
  EXPECT_EQ(ValueOf(W, "row-mt"), "1");
  EXPECT_EQ(ValueOf(W, "b"), "0");
  EXPECT_EQ(ValueOf(W, "crf"), "30");
  EXPECT_EQ(ValueOf(W, "pix_fmt"), "yuv420p");
  EXPECT_EQ(ValueOf(W, "g"), "300");

  const std::vector<TEngineOption> A = EngineOptions(
      MakeOutputSettings(&Row("AV1 Video"), false, Sound(2, 48000), Picture(320, 240)));
  EXPECT_EQ(ValueOf(A, "vcodec"), "libsvtav1");
  EXPECT_EQ(ValueOf(A, "crf"), "30");
  EXPECT_EQ(ValueOf(A, "preset"), "8");
  EXPECT_EQ(ValueOf(A, "pix_fmt"), "yuv420p10le");
  EXPECT_EQ(ValueOf(A, "svtav1-params"), "tune=0:keyint=10s:enable-force-key-frames=1");
}

TEST(PresetRows, RateCapFollowsTheOutputsHeight) {
  const TFormatPreset& HQ = Row("MPEG-4 Video HQ");
  struct {
    int Width, Height, MaxHeight, Cap;
  } Cases[] = {{640, 480, 0, 12500000},   {1280, 720, 0, 17500000},   {1920, 1080, 0, 25000000},
               {3840, 2160, 0, 50000000}, {1920, 1080, 720, 17500000}, {1920, 1080, 480, 12500000},
               {642, 482, 0, 17500000}};
  for (const auto& C : Cases) {
    const TOutputSettings S =
        MakeOutputSettings(&HQ, false, Sound(2, 48000), Picture(C.Width, C.Height), C.MaxHeight);
    EXPECT_EQ(S.VideoMaxRate, C.Cap) << C.Width << "x" << C.Height << " " << C.MaxHeight;
    EXPECT_EQ(S.VideoBufferSize, 2 * C.Cap);
  }
}

TEST(PresetRows, SourceFrameRateWhenPlausible) {
  const TFormatPreset& HQ = Row("MPEG-4 Video HQ");
  EXPECT_EQ(MakeOutputSettings(&HQ, false, Sound(2, 48000), Picture(320, 240, 25, 1)).FrameRate,
            "25/1");
  for (const auto& [Num, Den] : std::vector<std::pair<int, int>>{{-1, -1}, {90000, 1}, {1, 2}})
    EXPECT_EQ(MakeOutputSettings(&HQ, false, Sound(2, 48000), Picture(320, 240, Num, Den)).FrameRate,
              "29.97")
        << Num << "/" << Den;
  // The first row keeps its own rate.
  EXPECT_EQ(MakeOutputSettings(&kFormats[0], false, Sound(2, 48000), Picture(320, 240)).FrameRate,
            "29.97");
}

TEST(PresetRows, SoundOnlyRowDropsThePictureOfAnySource) {
  const TOutputSettings S =
      MakeOutputSettings(&Row("M4A Audio"), false, Sound(1, 32000), Picture(640, 480));
  EXPECT_TRUE(S.DisableVideo);
  const std::vector<TEngineOption> O = EngineOptions(S);
  EXPECT_EQ(ValueOf(O, "vn"), "");
  EXPECT_EQ(ValueOf(O, "vcodec"), "<none>");
  EXPECT_EQ(ValueOf(O, "s"), "<none>");
  EXPECT_EQ(ValueOf(O, "pix_fmt"), "<none>");
  EXPECT_EQ(ValueOf(O, "acodec"), "aac");
  EXPECT_EQ(ValueOf(O, "ac"), "2");
  EXPECT_EQ(ValueOf(O, "ar"), "32000");
  EXPECT_EQ(ValueOf(O, "ab"), "128000");
}

TEST(SizeLimit, KeepsTheDisplayAspectNeverEnlargesAndGivesEvenSides) {
  struct {
    int Width, Height;
    float Aspect;
    int MaxHeight, OutWidth, OutHeight;
    bool Scaled;
  } Cases[] = {
      {1920, 1080, 0, 0, 1920, 1080, false},     // no limit
      {1920, 1080, 0, 720, 1280, 720, true},     // 16:9
      {1920, 1080, 0, 480, 854, 480, true},      // 853.3 rounded to even
      {320, 240, 0, 480, 320, 240, false},       // never enlarged
      {721, 405, 0, 480, 721, 405, false},       // an odd size under the limit stays
      {1281, 721, 0, 720, 1280, 720, true},      // odd source above it
      {720, 576, 16.0f / 9, 480, 854, 480, true},  // anamorphic PAL: square pixels
      {720, 576, 4.0f / 3, 480, 640, 480, true},
      {1440, 1080, 16.0f / 9, 1080, 1440, 1080, false},
      {1920, 1080, 0, 481, 854, 480, true},     // an odd limit gives an even height
  };
  for (const auto& C : Cases) {
    const TPictureScale S = LimitPicture(C.Width, C.Height, C.Aspect, C.MaxHeight);
    EXPECT_EQ(S.Width, C.OutWidth) << C.Width << "x" << C.Height << " to " << C.MaxHeight;
    EXPECT_EQ(S.Height, C.OutHeight) << C.Width << "x" << C.Height << " to " << C.MaxHeight;
    EXPECT_EQ(S.Scaled, C.Scaled) << C.Width << "x" << C.Height << " to " << C.MaxHeight;
  }
}

TEST(SizeLimit, AScaledOddPictureIsNotCroppedAndAnUnscaledOneIs) {
  const TOutputSettings Scaled =
      MakeOutputSettings(&kFormats[0], false, Sound(2, 44100), Picture(1281, 721), 480);
  EXPECT_EQ(Scaled.FrameSize, "852x480");  // 852.8 rounded to even
  EXPECT_EQ(Scaled.VideoFilters, "");
  EXPECT_EQ(Scaled.Note, "");
  const TOutputSettings Kept =
      MakeOutputSettings(&kFormats[0], false, Sound(2, 44100), Picture(321, 241), 480);
  EXPECT_EQ(Kept.FrameSize, "");
  EXPECT_EQ(Kept.VideoFilters, "crop=320:240:0:0");
  EXPECT_NE(Kept.Note, "");
}

TEST(PresetAvailability, NamesTheFirstEncoderTheLibrariesLack) {
  ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
  // Debian's libraries have every encoder of the table.
  for (const TFormatPreset& Preset : kFormats)
    EXPECT_EQ(PresetUnavailable(Preset), "") << Preset.ItemText;
  TFormatPreset Missing = kFormats[2];
  Missing.VideoCodec = "vexav-no-such-encoder";
  EXPECT_EQ(PresetUnavailable(Missing),
            "unavailable: the media libraries have no vexav-no-such-encoder encoder");
  Missing = kFormats[3];
  Missing.AudioCodec = "vexav-no-such-sound";
  EXPECT_EQ(PresetUnavailable(Missing),
            "unavailable: the media libraries have no vexav-no-such-sound encoder");
  // A sound-only row does not need its (absent) picture encoder; libfaac is
  // looked up as the native encoder the engine uses for it.
  std::vector<std::string> Asked;
  auto Record = [&](const char* Name) {
    Asked.push_back(Name);
    return std::string(Name) != "libx265";
  };
  EXPECT_EQ(PresetUnavailable(kFormats[0], Record), "");
  EXPECT_EQ(PresetUnavailable(*FindFormatByLabel("M4A Audio"), Record), "");
  EXPECT_EQ(PresetUnavailable(kFormats[2], Record),
            "unavailable: the media libraries have no libx265 encoder");
  EXPECT_EQ(Asked, (std::vector<std::string>{"libx264", "aac", "aac", "libx265"}));
}

}  // namespace
}  // namespace vexav::output
