// The window's format and picture size boxes: the limit reaches every
// output of a run, both boxes are kept in config.ini and locked during a
// run, a format the libraries cannot encode is marked and refused, and the
// formats' own settings (the codec tag, sound only) reach their outputs.
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardItemModel>
#include <string_view>

#include "MainWindowFixture.h"
#include "binding/Api.h"
#include "binding/Owners.h"
#include "window/ConfigFile.h"
#include "window/Formats.h"

namespace vexav::test {
namespace {

const QString kHevc = QStringLiteral("HEVC Video (*.mp4)");
const QString kM4a = QStringLiteral("M4A Audio (*.m4a)");

// Selects the format box's item of this text; false when it is not listed.
bool SelectFormat(TfrmMain& w, const QString& itemText) {
  const int index = w.selFormat->findText(itemText);
  if (index < 0) return false;
  w.selFormat->setCurrentIndex(index);
  return true;
}

// The control Tab moves to from control: the next one in the focus chain
// that takes focus by Tab itself (a spin box's own line edit, with the box as
// its focus proxy, and labels do not).
QWidget* NextTabStop(QWidget* control) {
  QWidget* next = control->nextInFocusChain();
  while (next != control && (!(next->focusPolicy() & Qt::TabFocus) || next->focusProxy()))
    next = next->nextInFocusChain();
  return next;
}

QByteArray FileText(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

// The codec tag the container gives a file's first video stream, as four
// characters ("" when it cannot be read or has no video).
std::string VideoTagOf(const QString& path) {
  AVFormatContext* raw = nullptr;
  if (ff::avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr) < 0) return "";
  InputFormatPtr file(raw);
  if (ff::avformat_find_stream_info(file.get(), nullptr) < 0) return "";
  for (unsigned i = 0; i < file->nb_streams; ++i) {
    const AVCodecParameters* par = file->streams[i]->codecpar;
    if (par->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    std::string tag;
    for (int shift = 0; shift < 32; shift += 8)
      tag += static_cast<char>((par->codec_tag >> shift) & 0xff);
    return tag;
  }
  return "";
}

TEST_F(WindowMain, TheSizeBoxStandsByTheFormatBoxAndTakesTheKeyboardAfterIt) {
  auto window = MakeWindow();
  TfrmMain& w = *window;
  ASSERT_EQ(w.selSize->count(), 4);
  QStringList captions;
  QList<int> limits;
  for (int index = 0; index < w.selSize->count(); ++index) {
    captions.append(w.selSize->itemText(index));
    limits.append(w.selSize->itemData(index).toInt());
  }
  EXPECT_EQ(captions, QStringList({"Keep source size", "1080 lines", "720 lines", "480 lines"}));
  EXPECT_EQ(limits, QList<int>({0, 1080, 720, 480}));
  EXPECT_EQ(w.selSize->currentIndex(), 0);
  EXPECT_EQ(w.MaxHeight(), 0);
  EXPECT_EQ(w.lblSize->text(), "Picture Size:");
  EXPECT_EQ(w.lblSize->buddy(), w.selSize);
  EXPECT_EQ(w.lblFormat->buddy(), w.selFormat);
  EXPECT_FALSE(w.selSize->toolTip().isEmpty());
  // The selected format's description is the box's tooltip.
  EXPECT_EQ(w.selFormat->toolTip(), QString::fromUtf8(kFormats[kDefaultFormatIndex].Description));
  ASSERT_TRUE(SelectFormat(w, kM4a));
  EXPECT_EQ(w.selFormat->toolTip(), "AAC sound only, of any source (its pictures are left out)");

  // Tab goes from the format box to the size box, then on to Add...
  EXPECT_EQ(NextTabStop(w.spinJobs), w.selFormat);
  EXPECT_EQ(NextTabStop(w.selFormat), w.selSize);
  EXPECT_EQ(NextTabStop(w.selSize), w.btnOpen);

  w.SetMaxHeight(720);
  EXPECT_EQ(w.selSize->currentText(), "720 lines");
  EXPECT_EQ(w.MaxHeight(), 720);
  w.SetMaxHeight(555);  // not offered: the source's size
  EXPECT_EQ(w.MaxHeight(), 0);
}

// The limit applies to every file of the run: a larger picture is brought
// down to 480 lines in its own shape, a smaller one keeps its size.
TEST_F(WindowMain, TheSizeLimitReachesEveryOutputAndIsLockedDuringTheRun) {
  const QString wide = Clip("wide.avi", 864, 486, 0.5);
  const QString small = Clip("small.avi", 160, 120, 0.5);
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles({wide, small});
  ASSERT_EQ(w.lvFiles->rowCount(), 2);
  w.SetMaxHeight(480);

  w.btnConvertClick();
  ASSERT_TRUE(w.Converting());
  EXPECT_FALSE(w.selSize->isEnabled());
  EXPECT_FALSE(w.selFormat->isEnabled());
  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  EXPECT_TRUE(w.selSize->isEnabled());
  EXPECT_TRUE(w.selFormat->isEnabled());
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Done"}));
  EXPECT_EQ(Dialogs.Count("Warning"), 0);
  ExpectVideoOutput(OutPath(OutputName(wide)), 854, 480);
  ExpectVideoOutput(OutPath(OutputName(small)), 160, 120);

  // Again at the same size: asked first, naming the size.
  Dialogs.Answer = false;
  w.btnConvertClick();
  ASSERT_EQ(Dialogs.Count("AskYesNo"), 1);
  EXPECT_EQ(Dialogs.Last("AskYesNo").Text,
            "File(s) from the list was already converted to this format\n"
            "MPEG-4 Video (*.mp4), 480 lines\nDo you wish to convert agin?");
  EXPECT_FALSE(w.Converting());
  // At another size, the files are converted without the question.
  w.SetMaxHeight(0);
  ASSERT_TRUE(ConvertAndWait(w));
  EXPECT_EQ(Dialogs.Count("AskYesNo"), 1);
  ExpectVideoOutput(OutPath(OutputName(wide, "1")), 864, 486);
}

TEST_F(WindowMain, BothBoxesAreKeptInTheSettingsFile) {
  const QString config = UserConfig();
  {
    TfrmMain w(Dialogs, TMainWindowSetup{AppFolder(), HomeFolder()});
    EXPECT_EQ(w.selFormat->currentText(), kFormat);
    EXPECT_EQ(w.MaxHeight(), 0);
    ASSERT_TRUE(SelectFormat(w, kHevc));
    w.SetMaxHeight(720);
    EXPECT_TRUE(w.close());
  }
  EXPECT_EQ(FileText(config), "[Main]\nstrOutput=" + HomeFolder().toUtf8() +
                                  "/KorvelVideo\nbooSameFolder=0\nintJobs=1\n"
                                  "strFormat=HEVC Video\nintMaxHeight=720\n");
  {
    TfrmMain w(Dialogs, TMainWindowSetup{AppFolder(), HomeFolder()});
    EXPECT_EQ(w.selFormat->currentText(), kHevc);
    EXPECT_EQ(w.selSize->currentText(), "720 lines");
    EXPECT_EQ(w.MaxHeight(), 720);
  }
  // Values the boxes do not offer: their defaults, the other keys as
  // written.
  QFile file(config);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("[Main]\nstrOutput=/kept\nintJobs=2\nstrFormat=Theora Video\nintMaxHeight=576\n");
  file.close();
  {
    TfrmMain w(Dialogs, TMainWindowSetup{AppFolder(), HomeFolder()});
    EXPECT_EQ(w.txtOutput->text(), "/kept");
    EXPECT_EQ(w.Jobs(), 2);
    EXPECT_EQ(w.selFormat->currentText(), kFormat);
    EXPECT_EQ(w.MaxHeight(), 0);
    EXPECT_TRUE(w.close());
  }
  EXPECT_EQ(FileText(config),
            "[Main]\nstrOutput=/kept\nintJobs=2\nstrFormat=MPEG-4 Video\nintMaxHeight=0\n"
            "booSameFolder=0\n");
  EXPECT_EQ(Dialogs.Count("Warning"), 0);
}

// The libraries as they are, except that they are taken to lack the H.265
// encoder: its format is marked and refused, the others convert.
TEST_F(WindowMain, AFormatTheLibrariesCannotEncodeIsMarkedAndRefused) {
  const QString source = Clip("clip.avi", 160, 120, 0.5);
  TMainWindowSetup setup{AppFolder(), HomeFolder()};
  setup.HasEncoder = [](const char* name) {
    if (std::string_view(name) == "libx265") return false;
    const AVCodec* codec = ff::avcodec_find_encoder_by_name(name);
    return codec && ff::av_codec_is_encoder(codec);
  };
  TfrmMain w(Dialogs, setup);
  w.txtOutput->setText(OutFolder);
  w.AddFiles({source});  // binds the libraries
  ASSERT_EQ(w.lvFiles->rowCount(), 1);

  auto* model = qobject_cast<QStandardItemModel*>(w.selFormat->model());
  ASSERT_NE(model, nullptr);
  ASSERT_EQ(model->rowCount(), static_cast<int>(kFormats.size()));
  for (int row = 0; row < model->rowCount(); ++row) {
    const QStandardItem* item = model->item(row);
    if (item->text() == kHevc) {
      EXPECT_FALSE(item->isEnabled());
      EXPECT_EQ(item->toolTip(), "Unavailable: the media libraries have no libx265 encoder");
    } else {
      EXPECT_TRUE(item->isEnabled()) << item->text().toStdString();
      EXPECT_EQ(item->toolTip(), QString::fromUtf8(kFormats[row].Description));
    }
  }
  EXPECT_EQ(w.FormatUnavailable(kHevc), "unavailable: the media libraries have no libx265 encoder");
  EXPECT_EQ(w.FormatUnavailable(kFormat), "");

  // Chosen all the same (as a settings file would): Convert says why and
  // writes nothing, not even the output folder.
  ASSERT_TRUE(SelectFormat(w, kHevc));
  w.btnConvertClick();
  EXPECT_FALSE(w.Converting());
  EXPECT_EQ(Dialogs.Texts("Warning"),
            QStringList({"The output format HEVC Video (*.mp4) is unavailable: the media "
                         "libraries have no libx265 encoder. Choose another format."}));
  EXPECT_FALSE(QFileInfo::exists(OutFolder));
  EXPECT_EQ(Statuses(w), QStringList({"Ready"}));
  EXPECT_EQ(w.VexAVC().TaskCount(), 1);
  EXPECT_EQ(w.windowTitle(), kTitle + " [Ready]");

  // Another format converts the same list.
  ASSERT_TRUE(SelectFormat(w, kFormat));
  ASSERT_TRUE(ConvertAndWait(w));
  EXPECT_EQ(Statuses(w), QStringList({"Done"}));
  EXPECT_EQ(Dialogs.Count("Warning"), 1);
  ExpectVideoOutput(OutPath(OutputName(source)), 160, 120);
}

// The marks are there as soon as the window is shown, before any file is
// added.
TEST_F(WindowMain, TheShownWindowMarksTheFormatsItCannotEncode) {
  TMainWindowSetup setup{AppFolder(), HomeFolder()};
  setup.HasEncoder = [](const char* name) { return std::string_view(name) != "libopus"; };
  TfrmMain w(Dialogs, setup);
  auto* model = qobject_cast<QStandardItemModel*>(w.selFormat->model());
  ASSERT_NE(model, nullptr);
  const QStandardItem* webm = model->item(w.selFormat->findText("WebM Video (*.webm)"));
  ASSERT_NE(webm, nullptr);
  EXPECT_TRUE(webm->isEnabled());  // nothing is known before the libraries are bound
  w.show();
  ASSERT_TRUE(WaitUntil([&] { return !webm->isEnabled(); }, 30));
  EXPECT_EQ(webm->toolTip(), "Unavailable: the media libraries have no libopus encoder");
  EXPECT_FALSE(model->item(w.selFormat->findText("AV1 Video (*.mkv)"))->isEnabled());
  EXPECT_TRUE(model->item(w.selFormat->findText(kM4a))->isEnabled());
  EXPECT_EQ(Dialogs.Calls.size(), 0u);
}

// The format's own settings reach the output: H.265 tagged hvc1, so that
// Apple's players open it.
TEST_F(WindowMain, HevcFromTheWindowIsTaggedForApplePlayers) {
  const QString source = Clip("clip.avi", 160, 120, 0.5);
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles({source});
  ASSERT_TRUE(SelectFormat(w, kHevc));
  ASSERT_TRUE(ConvertAndWait(w));
  EXPECT_EQ(Statuses(w), QStringList({"Done"}));
  const QString output = OutPath("clip (HEVC Video).mp4");
  const mediagen::DecodedMedia media = mediagen::Decode(output.toStdString());
  ASSERT_EQ(media.Error, "");
  EXPECT_EQ(media.VideoCodecName, "hevc");
  ASSERT_FALSE(media.Frames.empty());
  EXPECT_EQ(media.Frames.front().Width, 160);
  EXPECT_EQ(media.AudioCodecName, "aac");
  EXPECT_EQ(VideoTagOf(output), "hvc1");
}

// Sound only from a video source, as the command line converts it; a
// source without sound has nothing to give and leaves no file.
TEST_F(WindowMain, M4aAudioKeepsOnlyTheSound) {
  const QString clip = Clip("clip.avi", 160, 120, 1.0);
  mediagen::MediaRequest silent;
  silent.Width = 160;
  silent.Height = 120;
  silent.DurationSeconds = 0.5;
  silent.Audio = mediagen::AudioCodec::None;
  const QString mute = Make("mute.avi", silent);
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles({clip, mute});
  ASSERT_EQ(w.lvFiles->rowCount(), 2);
  ASSERT_TRUE(SelectFormat(w, kM4a));
  w.SetMaxHeight(480);  // no picture to limit
  ASSERT_TRUE(ConvertAndWait(w));

  EXPECT_EQ(Statuses(w), QStringList({"Done", "Failed"}));
  EXPECT_EQ(w.lvFiles->item(1, kColumnStatus)->toolTip(),
            "no audio stream to convert (the format keeps only the sound)");
  EXPECT_EQ(OutFiles(), QStringList({"clip (M4A Audio).m4a"}));
  const mediagen::DecodedMedia media =
      mediagen::Decode(OutPath("clip (M4A Audio).m4a").toStdString());
  ASSERT_EQ(media.Error, "");
  EXPECT_EQ(media.VideoStreams, 0);
  EXPECT_TRUE(media.Frames.empty());
  EXPECT_EQ(media.AudioStreams, 1);
  EXPECT_EQ(media.AudioCodecName, "aac");
  EXPECT_EQ(media.AudioChannels, 2);
  EXPECT_GT(media.AudioSamples, media.AudioSampleRate / 2);
  ASSERT_EQ(Dialogs.Count("Summary"), 1);
  EXPECT_TRUE(Dialogs.Texts("Summary").front().contains(
      "mute.avi: no audio stream to convert (the format keeps only the sound)"))
      << Dialogs.Texts("Summary").front().toStdString();
}

}  // namespace
}  // namespace vexav::test
