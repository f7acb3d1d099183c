#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "QtPrinters.h"
#include "window/ConfigFile.h"

namespace vexav {
namespace {

const QString kHome = QStringLiteral("/home/tester");

class WindowConfigFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Dir.isValid()); }

  QString Path() const { return ConfigFilePath(Dir.path()); }

  void WriteText(const QByteArray& bytes) const {
    QFile file(Path());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(bytes), bytes.size());
  }

  QByteArray ReadText() const {
    QFile file(Path());
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return file.readAll();
  }

  QTemporaryDir Dir;
};

TEST_F(WindowConfigFile, PathIsBesideTheFolder) {
  EXPECT_EQ(ConfigFilePath("/opt/vexav/bin"), "/opt/vexav/bin/config.ini");
  EXPECT_EQ(ConfigFilePath("/opt/vexav/bin/"), "/opt/vexav/bin/config.ini");
}

TEST_F(WindowConfigFile, DefaultsWhenTheFileIsMissing) {
  const TWindowConfig config = ReadConfig(Path(), kHome);
  EXPECT_EQ(config.OutputFolder, "/home/tester/KorvelVideo");
  EXPECT_FALSE(config.SameFolder);
  EXPECT_EQ(DefaultOutputFolder("/home/tester/"), "/home/tester/KorvelVideo");
  EXPECT_EQ(DefaultOutputFolder("/"), "/KorvelVideo");
  EXPECT_EQ(ReadConfig(Path()).OutputFolder, QDir::homePath() + "/KorvelVideo");
}

TEST_F(WindowConfigFile, WrittenTextIsExact) {
  ASSERT_TRUE(WriteConfig(Path(), {"/home/tester/Korvel Video/out", false, 1}));
  EXPECT_EQ(ReadText(),
            "[Main]\nstrOutput=/home/tester/Korvel Video/out\nbooSameFolder=0\nintJobs=1\n"
            "strFormat=MPEG-4 Video\nintMaxHeight=0\n");
  ASSERT_TRUE(WriteConfig(Path(), {"/media/usb/Vidéos", true, 16}));
  EXPECT_EQ(ReadText(),
            "[Main]\nstrOutput=/media/usb/Vidéos\nbooSameFolder=1\nintJobs=16\n"
            "strFormat=MPEG-4 Video\nintMaxHeight=0\n");
}

TEST_F(WindowConfigFile, WrittenAndReadBack) {
  for (const TWindowConfig& config :
       {TWindowConfig{"/home/tester/KorvelVideo", false, 1}, TWindowConfig{"/a b/c,d;e=f", true, 1},
        TWindowConfig{"/back\\slash/@at/#hash", false, 1},
        TWindowConfig{" /blank at ends ", true, 1}, TWindowConfig{"\"quoted\"", false, 1},
        TWindowConfig{"/média/日本", true, 1}}) {
    ASSERT_TRUE(WriteConfig(Path(), config));
    EXPECT_EQ(ReadConfig(Path(), kHome), config) << ReadText().toStdString();
  }
}

TEST_F(WindowConfigFile, ReadsWhatAPersonWrites) {
  WriteText("; kept by hand\r\n[main]\r\n  STROUTPUT =  /data/out  \r\nbooSameFolder = 1\r\n");
  EXPECT_EQ(ReadConfig(Path(), kHome), (TWindowConfig{"/data/out", true, 1}));
  WriteText("\xEF\xBB\xBF[Main]\nstrOutput=\"/quoted/out\"\nbooSameFolder=true\n");
  EXPECT_EQ(ReadConfig(Path(), kHome), (TWindowConfig{"/quoted/out", true, 1}));
  WriteText("[Main]\nbooSameFolder=0\nstrOutput=/first\nstrOutput=/second\n");
  EXPECT_EQ(ReadConfig(Path(), kHome), (TWindowConfig{"/first", false, 1}));
}

TEST_F(WindowConfigFile, MalformedFileGivesDefaultsKeyByKey) {
  WriteText("strOutput=/outside/any/section\n[Other]\nstrOutput=/other\n[Main\nbooSameFolder=1\n");
  EXPECT_EQ(ReadConfig(Path(), kHome), (TWindowConfig{"/home/tester/KorvelVideo", false, 1}));

  WriteText("[Main]\nstrOutput=\nbooSameFolder=yes\n");
  EXPECT_EQ(ReadConfig(Path(), kHome), (TWindowConfig{"/home/tester/KorvelVideo", false, 1}));

  WriteText("[Main]\nstrOutput\n=/no/key\nbooSameFolder=2\n");
  EXPECT_EQ(ReadConfig(Path(), kHome), (TWindowConfig{"/home/tester/KorvelVideo", true, 1}));

  const char binary[] = "\x00\xff\xfe[Main]\x00\nstrOutput=/x\xff\nbooSameFolder=1\n";
  WriteText(QByteArray(binary, sizeof(binary) - 1));
  EXPECT_EQ(ReadConfig(Path(), kHome), DefaultConfig(kHome));

  WriteText("");
  EXPECT_EQ(ReadConfig(Path(), kHome), DefaultConfig(kHome));
}

TEST_F(WindowConfigFile, JobsAreHeldToTheirRange) {
  EXPECT_EQ(DefaultConfig(kHome).Jobs, 1);
  const std::pair<QByteArray, int> cases[] = {{"4", 4}, {"1", 1},  {"16", 16},          {"17", 16},
                                              {"0", 1}, {"-3", 1}, {"99999999999", 16}, {"two", 1},
                                              {"", 1},  {" 8 ", 8}};
  for (const auto& [text, jobs] : cases) {
    WriteText("[Main]\nstrOutput=/o\nintJobs=" + text + "\n");
    EXPECT_EQ(ReadConfig(Path(), kHome).Jobs, jobs) << text.toStdString();
  }
  ASSERT_TRUE(WriteConfig(Path(), {"/o", false, 40}));
  EXPECT_EQ(ReadConfig(Path(), kHome), (TWindowConfig{"/o", false, 16}));
  ASSERT_TRUE(WriteConfig(Path(), {"/o", false, -2}));
  EXPECT_EQ(ReadConfig(Path(), kHome), (TWindowConfig{"/o", false, 1}));
  EXPECT_EQ(ClampJobs(0), 1);
  EXPECT_EQ(ClampJobs(7), 7);
  EXPECT_EQ(ClampJobs(100), 16);
}

TEST_F(WindowConfigFile, FormatAndSizeLimitRoundTrip) {
  const TWindowConfig fresh = DefaultConfig(kHome);
  EXPECT_EQ(fresh.Format, "MPEG-4 Video");
  EXPECT_EQ(fresh.MaxHeight, 0);
  // Every format of the table and every limit of the size box.
  for (const TFormatPreset& format : kFormats) {
    for (const int lines : kSizeLimits) {
      TWindowConfig config = fresh;
      config.Format = FormatLabel(QString::fromUtf8(format.ItemText));
      config.MaxHeight = lines;
      ASSERT_TRUE(WriteConfig(Path(), config));
      EXPECT_EQ(ReadConfig(Path(), kHome), config) << ReadText().toStdString();
    }
  }
  TWindowConfig config = fresh;
  config.Format = "WebM Video";
  config.MaxHeight = 720;
  ASSERT_TRUE(WriteConfig(Path(), config));
  EXPECT_EQ(ReadText(),
            "[Main]\nstrOutput=/home/tester/KorvelVideo\nbooSameFolder=0\nintJobs=1\n"
            "strFormat=WebM Video\nintMaxHeight=720\n");
  // A limit the box does not offer is not written.
  config.MaxHeight = 600;
  ASSERT_TRUE(WriteConfig(Path(), config));
  EXPECT_EQ(ReadConfig(Path(), kHome).MaxHeight, 0);
}

TEST_F(WindowConfigFile, UnknownOrDamagedFormatAndSizeGiveTheDefaults) {
  const std::pair<QByteArray, QString> formats[] = {{"HEVC Video", "HEVC Video"},
                                                    {"  m4a audio ", "M4A Audio"},
                                                    {"HEVC Video (*.mp4)", "MPEG-4 Video"},
                                                    {"Theora Video", "MPEG-4 Video"},
                                                    {"", "MPEG-4 Video"},
                                                    {"\xff\xfe", "MPEG-4 Video"}};
  for (const auto& [text, label] : formats) {
    WriteText("[Main]\nstrOutput=/o\nstrFormat=" + text + "\n");
    EXPECT_EQ(ReadConfig(Path(), kHome).Format, label) << text.toStdString();
  }
  const std::pair<QByteArray, int> sizes[] = {{"480", 480}, {" 1080 ", 1080},  {"0", 0},
                                              {"600", 0},   {"-480", 0},       {"720p", 0},
                                              {"", 0},      {"99999999999", 0}};
  for (const auto& [text, lines] : sizes) {
    WriteText("[Main]\nstrOutput=/o\nintMaxHeight=" + text + "\n");
    EXPECT_EQ(ReadConfig(Path(), kHome).MaxHeight, lines) << text.toStdString();
  }
  // One damaged key leaves the others as they were.
  WriteText("[Main]\nstrOutput=/o\nintJobs=3\nstrFormat=AV1 Video\nintMaxHeight=x\n");
  TWindowConfig expected = DefaultConfig(kHome);
  expected.OutputFolder = "/o";
  expected.Jobs = 3;
  expected.Format = "AV1 Video";
  EXPECT_EQ(ReadConfig(Path(), kHome), expected);
}

TEST_F(WindowConfigFile, UnreadablePathGivesDefaults) {
  ASSERT_TRUE(QDir(Dir.path()).mkdir("config.ini"));  // a folder where the file should be
  EXPECT_EQ(ReadConfig(Path(), kHome), DefaultConfig(kHome));
  EXPECT_FALSE(WriteConfig(Path(), {"/x", true, 1}));
}

TEST_F(WindowConfigFile, WritingKeepsEverythingElse) {
  WriteText(
      "; settings\n[Other]\nkey=value\n\n[Main]\nintJobs=3\nbooSameFolder=1\n\n[Last]\nx=1\n");
  ASSERT_TRUE(WriteConfig(Path(), {"/new/out", false, 2}));
  EXPECT_EQ(ReadText(),
            "; settings\n[Other]\nkey=value\n\n[Main]\nintJobs=2\nbooSameFolder=0\n"
            "strOutput=/new/out\nstrFormat=MPEG-4 Video\nintMaxHeight=0\n\n[Last]\nx=1\n");

  WriteText("[Other]\nkey=value");
  ASSERT_TRUE(WriteConfig(Path(), {"/new/out", true, 1}));
  EXPECT_EQ(ReadText(),
            "[Other]\nkey=value\n\n[Main]\nstrOutput=/new/out\nbooSameFolder=1\nintJobs=1\n"
            "strFormat=MPEG-4 Video\nintMaxHeight=0\n");
}

TEST_F(WindowConfigFile, LineBreakInTheFolderIsRefused) {
  ASSERT_TRUE(WriteConfig(Path(), {"/good", false, 1}));
  EXPECT_FALSE(WriteConfig(Path(), {"/bad\nbooSameFolder=1", true, 1}));
  EXPECT_EQ(ReadText(),
            "[Main]\nstrOutput=/good\nbooSameFolder=0\nintJobs=1\n"
            "strFormat=MPEG-4 Video\nintMaxHeight=0\n");
}

TEST(WindowIniText, ValueAndSetValue) {
  TIniText ini = TIniText::Parse("[A]\nk=1\n");
  EXPECT_EQ(ini.Value("a", "K"), "1");
  EXPECT_EQ(ini.Value("A", "missing"), std::nullopt);
  EXPECT_EQ(ini.Value("B", "k"), std::nullopt);
  EXPECT_TRUE(ini.SetValue("A", "k", "2"));
  EXPECT_TRUE(ini.SetValue("B", "j", " padded "));
  EXPECT_EQ(ini.ToBytes(), "[A]\nk=2\n\n[B]\nj=\" padded \"\n");
  EXPECT_EQ(ini.Value("B", "j"), " padded ");
}

}  // namespace
}  // namespace vexav
