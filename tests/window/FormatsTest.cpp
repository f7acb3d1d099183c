#include <gtest/gtest.h>

#include <QStringList>

#include "QtPrinters.h"
#include "window/Formats.h"

namespace vexav {
namespace {

TEST(WindowFormats, TheMpeg4Row) {
  ASSERT_EQ(kFormats.size(), 6u);
  const TFormatPreset& row = kFormats[kDefaultFormatIndex];
  const QString item = QLatin1String(row.ItemText);
  EXPECT_EQ(item, "MPEG-4 Video (*.mp4)");
  EXPECT_EQ(FormatExtension(item), ".mp4");
  EXPECT_EQ(FormatLabel(item), "MPEG-4 Video");
  EXPECT_STREQ(row.VideoCodec, "libx264");
  EXPECT_STREQ(row.AudioCodec, "libfaac");
  EXPECT_STREQ(row.FrameRate, "29.97");
  EXPECT_EQ(row.AudioChannels, 2);
  EXPECT_EQ(row.AudioSampleRate, 44100);
  EXPECT_EQ(row.VideoBitrate, 1500000);
  EXPECT_EQ(row.AudioBitrate, 64000);
  EXPECT_EQ(row.VideoSync, -1);
  EXPECT_EQ(row.AudioSync, 0);
  EXPECT_STREQ(row.PixelFormat, "yuv420p");
  EXPECT_EQ(FindFormat(item), &row);
  EXPECT_EQ(FindFormat("mpeg-4 video (*.mp4)"), nullptr);
}

TEST(WindowFormats, ItemTextParsing) {
  EXPECT_EQ(FormatLabel("Some *Star* Format (*.mkv)"), "Some xStarx Format");
  EXPECT_EQ(FormatExtension("Some *Star* Format (*.mkv)"), ".mkv");
  EXPECT_EQ(FormatExtension("No parentheses"), "");
  EXPECT_EQ(FormatExtension("Broken ()"), "");
  EXPECT_EQ(FormatLabel("No parentheses"), "No parentheses");
}

TEST(WindowFormats, LabelsAndSizeLimits) {
  EXPECT_EQ(DefaultFormatLabel(), "MPEG-4 Video");
  EXPECT_EQ(FindFormatByLabel("hevc video"), FindFormat("HEVC Video (*.mp4)"));
  EXPECT_NE(FindFormatByLabel("M4A Audio"), nullptr);
  EXPECT_EQ(FindFormatByLabel("HEVC Video (*.mp4)"), nullptr);
  EXPECT_EQ(FindFormatByLabel(""), nullptr);

  QStringList captions;
  for (const int lines : kSizeLimits) {
    captions.append(SizeLimitCaption(lines));
    EXPECT_TRUE(IsSizeLimit(lines)) << lines;
  }
  EXPECT_EQ(captions, QStringList({"Keep source size", "1080 lines", "720 lines", "480 lines"}));
  for (const int lines : {-1, 1, 144, 479, 481, 2160}) EXPECT_FALSE(IsSizeLimit(lines)) << lines;
}

TEST(WindowFormats, AudioExtensionTestIsCaseSensitive) {
  for (const char* ext :
       {".aac", ".ac3", ".mp2", ".mp3", ".wav", ".wma", ".amr", ".ogg", ".flac", ".ra"})
    EXPECT_TRUE(IsAudioExtension(ext)) << ext;
  EXPECT_FALSE(IsAudioExtension(".MP3"));
  EXPECT_FALSE(IsAudioExtension(".Wav"));
  EXPECT_FALSE(IsAudioExtension(".avi"));
  EXPECT_FALSE(IsAudioExtension(".mp4"));
  EXPECT_FALSE(IsAudioExtension(""));
  EXPECT_FALSE(IsAudioExtension("."));
}

TEST(WindowFormats, AudioOnlyRule) {
  EXPECT_TRUE(IsAudioOnly(".mp4", "/music/song.mp3"));
  EXPECT_FALSE(IsAudioOnly(".mp4", "/music/SONG.MP3"));
  EXPECT_FALSE(IsAudioOnly(".mp4", "/video/clip.avi"));
  EXPECT_FALSE(IsAudioOnly(".mp4", "/video/noextension"));
  EXPECT_FALSE(IsAudioOnly(".mp4", "/video.mp3/clip"));
  EXPECT_TRUE(IsAudioOnly(".mp3", "/video/clip.avi"));
}

}  // namespace
}  // namespace vexav
