// Output files and their streams: OpenOutputFile, the stream builders and
// the "newvideo", "newaudio", "newsubtitle" options, on generated media and
// the real libraries. What was configured is read back from the library's
// contexts: the file's streams and their parameters, the muxer's options
// and the encoder contexts the engine made.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "EngineFixture.h"
#include "MediaGenerator.h"
#include "binding/ErrorText.h"

namespace vexav::test {
namespace {

namespace fs = std::filesystem;

struct Media {
  std::string Folder;
  std::string VideoAudio;  // 320 x 240 at 25/1, MPEG-4 video + MP3 44100 Hz stereo
  std::string AudioOnly;   // MP3 only
};

void WriteFile(const std::string& Path, const std::string& Content) {
  std::ofstream Out(Path, std::ios::binary);
  Out << Content;
}

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

class OutputEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    char Template[] = "/tmp/vexav-output-test-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    M.Folder = Template;

    mediagen::MediaRequest Both;
    Both.DurationSeconds = 1.0;
    M.VideoAudio = Make("clip.avi", Both);

    mediagen::MediaRequest Sound;
    Sound.Video = mediagen::VideoCodec::None;
    Sound.DurationSeconds = 1.0;
    M.AudioOnly = Make("sound.mp3", Sound);
  }

  void TearDown() override {
    std::error_code Ignored;
    if (!M.Folder.empty()) fs::remove_all(M.Folder, Ignored);
  }

  static const Media& Files() { return M; }

 private:
  static std::string Make(const std::string& Name, const mediagen::MediaRequest& Wanted) {
    const std::string Path = M.Folder + "/" + Name;
    EXPECT_EQ(mediagen::Generate(Path, Wanted), "") << Path;
    return Path;
  }

  static Media M;
};

Media OutputEnvironment::M;

[[maybe_unused]] const auto* const Environment =
    ::testing::AddGlobalTestEnvironment(new OutputEnvironment);

const Media& Files() {
  return OutputEnvironment::Files();
}

bool SameRational(AVRational A, AVRational B) {
  return A.num == B.num && A.den == B.den;
}

::testing::AssertionResult IsRational(AVRational Value, int Num, int Den) {
  if (Value.num == Num && Value.den == Den) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << Value.num << "/" << Value.den << " instead of " << Num << "/" << Den;
}

class OutputFilesTest : public EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    // A folder of each case's own, so that "no file left behind" can be
    // checked by listing it.
    Folder = Files().Folder + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(Folder);
  }

  void TearDown() override {
    E.ReleaseFiles();
    std::error_code Ignored;
    fs::remove_all(Folder, Ignored);
  }

  void Input(const std::string& Path) { ASSERT_TRUE(E.OpenInputFile(Path)) << E.LastError; }

  std::string Out(const std::string& Name) const { return Folder + "/" + Name; }

  // The names in the case's folder.
  std::vector<std::string> FolderContent() const {
    std::vector<std::string> Names;
    for (const auto& Entry : fs::directory_iterator(Folder))
      Names.push_back(Entry.path().filename());
    return Names;
  }

  AVFormatContext* File(int Index = 0) const { return E.OutputFiles[Index].get(); }
  AVStream* Stream(int Index, int FileIndex = 0) const {
    AVFormatContext* Context = File(FileIndex);
    if (!Context || Index < 0 || static_cast<unsigned>(Index) >= Context->nb_streams)
      return nullptr;
    return Context->streams[Index];
  }
  AVCodecParameters* Par(int Index, int FileIndex = 0) const {
    AVStream* S = Stream(Index, FileIndex);
    return S ? S->codecpar : nullptr;
  }
  AVCodecContext* Enc(int Index, int FileIndex = 0) const {
    return E.OutputCodec(FileIndex, Index);
  }

  // A muxer-private option of an output file, as text.
  static std::string MuxerOption(AVFormatContext* Context, const char* Name) {
    uint8_t* Text = nullptr;
    if (ff::av_opt_get(Context, Name, AV_OPT_SEARCH_CHILDREN, &Text) < 0 || !Text) return "<none>";
    std::string Value = reinterpret_cast<const char*>(Text);
    ff::av_free(Text);
    return Value;
  }

  static std::string Metadata(AVDictionary* Dict, const char* Key) {
    const AVDictionaryEntry* Entry = ff::av_dict_get(Dict, Key, nullptr, 0);
    return Entry ? Entry->value : "<none>";
  }

  int CountLinesContaining(const std::string& Part) const {
    int Count = 0;
    for (const LoggedLine& Line : Lines)
      if (Line.Text.find(Part) != std::string::npos) ++Count;
    return Count;
  }

  // Expects the call to have failed with Message and to have left nothing:
  // no file entry, no encoder context, no forced formats.
  void ExpectCleanFailure(const std::string& Message, int FilesBefore = 0) {
    EXPECT_EQ(E.LastError, Message);
    EXPECT_EQ(E.OutputFileCount, FilesBefore);
    EXPECT_EQ(E.OutputFiles[FilesBefore].get(), nullptr);
    EXPECT_EQ(E.OutputCodec(FilesBefore, 0), nullptr);
    EXPECT_EQ(E.OutputFormat, nullptr);
    EXPECT_EQ(E.InputFormat, nullptr);
  }

  std::string Folder;
};

// ---- Pure helpers ------------------------------------------------------------

TEST(OutputHelpersTest, ResizingFilterNamesAreTheFourOfTheList) {
  EXPECT_TRUE(TCustomFFmpeg::HasResizingFilter("scale=320:240"));
  EXPECT_TRUE(TCustomFFmpeg::HasResizingFilter("hflip,Crop=100:100"));
  EXPECT_TRUE(TCustomFFmpeg::HasResizingFilter("ROTATE"));
  EXPECT_TRUE(TCustomFFmpeg::HasResizingFilter("transpose=1,hflip"));
  EXPECT_FALSE(TCustomFFmpeg::HasResizingFilter("hflip"));
  EXPECT_FALSE(TCustomFFmpeg::HasResizingFilter("hflip,yadif"));
  EXPECT_FALSE(TCustomFFmpeg::HasResizingFilter("scaler=2"));
  // Names are not trimmed.
  EXPECT_FALSE(TCustomFFmpeg::HasResizingFilter("hflip, scale=2:2"));
  EXPECT_FALSE(TCustomFFmpeg::HasResizingFilter(""));
  EXPECT_FALSE(TCustomFFmpeg::HasResizingFilter(",,"));
}

TEST(OutputHelpersTest, NearestRateIsChosenByExactFraction) {
  const AVRational Four[] = {{24000, 1001}, {24, 1}, {30000, 1001}, {30, 1}, {0, 0}};
  EXPECT_TRUE(IsRational(TCustomFFmpeg::NearestSupportedRate({25, 1}, Four), 24, 1));
  EXPECT_TRUE(IsRational(TCustomFFmpeg::NearestSupportedRate({23, 1}, Four), 24000, 1001));
  EXPECT_TRUE(IsRational(TCustomFFmpeg::NearestSupportedRate({2997, 100}, Four), 30000, 1001));
  EXPECT_TRUE(IsRational(TCustomFFmpeg::NearestSupportedRate({100, 1}, Four), 30, 1));
  // Equally near: the first in list order.
  const AVRational Tie[] = {{26, 1}, {24, 1}, {0, 0}};
  EXPECT_TRUE(IsRational(TCustomFFmpeg::NearestSupportedRate({25, 1}, Tie), 26, 1));
  // No list, or an empty one: the rate itself.
  EXPECT_TRUE(IsRational(TCustomFFmpeg::NearestSupportedRate({25, 1}, nullptr), 25, 1));
  const AVRational Empty[] = {{0, 0}};
  EXPECT_TRUE(IsRational(TCustomFFmpeg::NearestSupportedRate({25, 1}, Empty), 25, 1));
}

TEST_F(OutputFilesTest, SampleAspectIsAFractionOfAtMost255) {
  const float Wide = 16.0f / 9.0f;  // what "aspect" 16:9 stores
  EXPECT_TRUE(IsRational(TCustomFFmpeg::SampleAspectFromValue(double{Wide} * 576 / 720), 64, 45));
  EXPECT_TRUE(IsRational(TCustomFFmpeg::SampleAspectFromValue(1.0), 1, 1));
  EXPECT_TRUE(IsRational(TCustomFFmpeg::SampleAspectFromValue(0.5), 1, 2));
  EXPECT_TRUE(
      IsRational(TCustomFFmpeg::SampleAspectFromValue(double{4.0f / 3.0f} * 288 / 352), 12, 11));
  const AVRational Padded = TCustomFFmpeg::SampleAspectFromValue(double{Wide} * 592 / 720);
  EXPECT_LE(Padded.num, 255);
  EXPECT_LE(Padded.den, 255);
  EXPECT_NEAR(double(Padded.num) / Padded.den, 1.4617284, 0.0005);
  // Not a positive number: unknown.
  EXPECT_TRUE(IsRational(TCustomFFmpeg::SampleAspectFromValue(0), 0, 1));
  EXPECT_TRUE(IsRational(TCustomFFmpeg::SampleAspectFromValue(-1.5), 0, 1));
  EXPECT_TRUE(IsRational(TCustomFFmpeg::SampleAspectFromValue(std::nan("")), 0, 1));
  // Far too wide: the widest ratio there is.
  EXPECT_TRUE(IsRational(TCustomFFmpeg::SampleAspectFromValue(1e30), 255, 1));
}

TEST(OutputHelpersTest, RateControlOverridesAreThreeNumbersPerGroup) {
  std::vector<RcOverride> Groups;
  ASSERT_TRUE(TCustomFFmpeg::ParseRcOverride("0,100,2/101,200,-20", Groups));
  ASSERT_EQ(Groups.size(), 2u);
  EXPECT_EQ(Groups[0].start_frame, 0);
  EXPECT_EQ(Groups[0].end_frame, 100);
  EXPECT_EQ(Groups[0].qscale, 2);
  EXPECT_FLOAT_EQ(Groups[0].quality_factor, 1.0f);
  EXPECT_EQ(Groups[1].start_frame, 101);
  EXPECT_EQ(Groups[1].end_frame, 200);
  EXPECT_EQ(Groups[1].qscale, 0);
  EXPECT_FLOAT_EQ(Groups[1].quality_factor, 0.2f);

  ASSERT_TRUE(TCustomFFmpeg::ParseRcOverride(" 5, 6, 0", Groups));
  ASSERT_EQ(Groups.size(), 1u);
  EXPECT_EQ(Groups[0].qscale, 0);
  EXPECT_FLOAT_EQ(Groups[0].quality_factor, 0.0f);

  for (const char* Bad :
       {"", "0,100", "0,100,", "0;100;2", "a,b,c", "0,100,2/", "0,100,2/x", "99999999999,1,1"})
    EXPECT_FALSE(TCustomFFmpeg::ParseRcOverride(Bad, Groups)) << Bad;
}

// ---- Streams from the muxer and the inputs -----------------------------------

TEST_F(OutputFilesTest, Mp4FromVideoAndAudioGetsVideoThenAudio) {
  Input(Files().VideoAudio);
  E.SetOption("vcodec", "libx264");
  E.SetOption("acodec", "libfaac");
  const std::string Name = Out("clip (MPEG-4 Video).mp4");
  ASSERT_TRUE(E.OpenOutputFile(Name)) << E.LastError;

  EXPECT_EQ(E.OutputFileCount, 1);
  ASSERT_NE(File(), nullptr);
  EXPECT_STREQ(File()->oformat->name, "mp4");
  EXPECT_STREQ(File()->url, Name.c_str());
  ASSERT_EQ(File()->nb_streams, 2u);
  EXPECT_EQ(Par(0)->codec_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(Par(0)->codec_id, AV_CODEC_ID_H264);
  EXPECT_EQ(Par(0)->width, 320);
  EXPECT_EQ(Par(0)->height, 240);
  EXPECT_EQ(Par(1)->codec_type, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(Par(1)->codec_id, AV_CODEC_ID_AAC);
  EXPECT_EQ(Par(1)->sample_rate, 44100);
  EXPECT_EQ(Par(1)->ch_layout.nb_channels, 2);

  // The encoder contexts: the encoders asked for, not opened yet.
  ASSERT_NE(Enc(0), nullptr);
  ASSERT_NE(Enc(0)->codec, nullptr);
  EXPECT_STREQ(Enc(0)->codec->name, "libx264");
  EXPECT_TRUE(IsRational(Enc(0)->time_base, 1, 25));
  EXPECT_EQ(Enc(0)->pix_fmt, AV_PIX_FMT_YUV420P);
  EXPECT_TRUE(Enc(0)->flags & AV_CODEC_FLAG_GLOBAL_HEADER);  // mp4 wants global headers
  ASSERT_NE(Enc(1), nullptr);
  ASSERT_NE(Enc(1)->codec, nullptr);
  EXPECT_STREQ(Enc(1)->codec->name, "aac");
  EXPECT_EQ(Enc(1)->sample_fmt, AV_SAMPLE_FMT_FLTP);
  EXPECT_TRUE(IsRational(Enc(1)->time_base, 1, 44100));
  EXPECT_TRUE(Enc(1)->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
  EXPECT_FALSE(E.OutputCodecs[0][0].StreamCopy);
  EXPECT_EQ(E.OutputCodec(0, 2), nullptr);
  // The channel layout is what lets the native AAC encoder open.
  EXPECT_EQ(ff::avcodec_open2(Enc(1), nullptr, nullptr), 0);

  // One information line for the encoder that stands in for libfaac.
  EXPECT_EQ(CountLinesContaining("libfaac"), 1) << LogText();
  EXPECT_TRUE(
      Logged("The encoder 'libfaac' is not in this build of the media libraries; the native 'aac' "
             "encoder is used instead",
             1))
      << LogText();

  // The per-stream options were consumed, the file exists (still empty).
  EXPECT_EQ(E.VideoCodecName, "");
  EXPECT_EQ(E.AudioCodecName, "");
  EXPECT_EQ(E.OutputFormat, nullptr);
  EXPECT_TRUE(fs::exists(Name));
  EXPECT_EQ(fs::file_size(Name), 0u);
}

TEST_F(OutputFilesTest, AudioOnlyInputGetsNoVideoStream) {
  Input(Files().AudioOnly);
  ASSERT_TRUE(E.OpenOutputFile(Out("sound.mp4"))) << E.LastError;
  ASSERT_EQ(File()->nb_streams, 1u);
  EXPECT_EQ(Par(0)->codec_type, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(Par(0)->codec_id, AV_CODEC_ID_AAC);
}

TEST_F(OutputFilesTest, VideoDisabledBeforeTheOutputGivesNoVideoAndStaysSet) {
  Input(Files().VideoAudio);
  E.SetOption("vn", "");
  ASSERT_TRUE(E.OpenOutputFile(Out("novideo.mp4"))) << E.LastError;
  ASSERT_EQ(File()->nb_streams, 1u);
  EXPECT_EQ(Par(0)->codec_type, AVMEDIA_TYPE_AUDIO);
  // Only a video stream that was built resets it.
  EXPECT_EQ(E.VideoDisable, 1);
}

TEST_F(OutputFilesTest, InputStreamTypesAreChecked) {
  bool V = true, A = true, S = true;
  E.CheckInputStreams(V, A, S);
  EXPECT_FALSE(V || A || S);

  Input(Files().VideoAudio);
  E.CheckInputStreams(V, A, S);
  EXPECT_TRUE(V);
  EXPECT_TRUE(A);
  EXPECT_FALSE(S);

  // A stream whose type is outside the library's range.
  AVFormatContext* Odd = ff::avformat_alloc_context();
  ASSERT_NE(Odd, nullptr);
  AVStream* Bad = ff::avformat_new_stream(Odd, nullptr);
  ASSERT_NE(Bad, nullptr);
  Bad->codecpar->codec_type = static_cast<AVMediaType>(7);
  E.RegisterInputFile(InputFormatPtr(Odd), 0);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.CheckInputStreams(V, A, S); },
                                          "invalid codec_type of input file"));
  EXPECT_FALSE(E.OpenOutputFile(Out("odd.mp4")));
  ExpectCleanFailure("check_audio_video_sub_inputs fail: invalid codec_type of input file");
  EXPECT_TRUE(FolderContent().empty());
}

// ---- Checks that refuse the output ---------------------------------------------

TEST_F(OutputFilesTest, NumberedMuxerNeedsANumberInTheName) {
  E.SetOption("f", "webm_chunk");
  const std::string Name = Out("chunk.webm");
  EXPECT_FALSE(E.OpenOutputFile(Name));
  ExpectCleanFailure(LibraryErrorText(Name, AVERROR(EDOM)));
  EXPECT_EQ(E.LastError.rfind(Name + ": Incorrect image filename syntax.", 0), 0u) << E.LastError;
  EXPECT_TRUE(FolderContent().empty());

  // With a number pattern it is accepted; that muxer writes no file itself.
  E.SetOption("f", "webm_chunk");
  EXPECT_TRUE(E.OpenOutputFile(Out("chunk%03d.webm"))) << E.LastError;
  EXPECT_EQ(E.OutputFileCount, 1);
  EXPECT_TRUE(FolderContent().empty());
}

TEST_F(OutputFilesTest, CropAndPadConflictWithFilters) {
  Input(Files().VideoAudio);
  E.SetOption("vfilters", "hflip");
  E.SetOption("croptop", "16");
  EXPECT_FALSE(E.OpenOutputFile(Out("crop.mp4")));
  ExpectCleanFailure("Cannot enable crop options and filters at the same time.");
  EXPECT_TRUE(FolderContent().empty());
}

TEST_F(OutputFilesTest, PadConflictsOnlyWithResizingFilters) {
  Input(Files().VideoAudio);
  E.SetOption("vfilters", "scale=320:240");
  E.SetOption("padtop", "8");
  EXPECT_FALSE(E.OpenOutputFile(Out("pad.mp4")));
  ExpectCleanFailure(
      "Cannot enable pad options and the filters which resize frame at the same time. (crop, "
      "rotate, scale, transpose, etc.)");
  EXPECT_TRUE(FolderContent().empty());

  E.VideoFilters = "hflip";
  ASSERT_TRUE(E.OpenOutputFile(Out("pad.mp4"))) << E.LastError;
  EXPECT_TRUE(E.FiltersInUse);
  EXPECT_EQ(Par(0)->height, 248);
  EXPECT_EQ(Enc(0)->height, 248);
}

TEST_F(OutputFilesTest, UnknownMuxerAndEncodersFail) {
  EXPECT_FALSE(E.OpenOutputFile(Out("clip.nosuchextension")));
  ExpectCleanFailure("Unable to find a suitable output format for '" + Out("clip.nosuchextension") +
                     "'");

  E.SetOption("vcodec", "nosuch");
  EXPECT_FALSE(E.OpenOutputFile(Out("a.mp4")));
  ExpectCleanFailure("new_video_stream fail: Unknown encoder 'nosuch'");
  EXPECT_EQ(E.VideoCodecName, "");

  E.SetOption("vcodec", "aac");
  EXPECT_FALSE(E.OpenOutputFile(Out("a.mp4")));
  ExpectCleanFailure("new_video_stream fail: Invalid encoder type 'aac'");

  E.SetOption("acodec", "libx264");
  E.SetOption("alang", "eng");
  EXPECT_FALSE(E.OpenOutputFile(Out("a.mp4")));
  ExpectCleanFailure("new_audio_stream fail: Invalid encoder type 'libx264'");
  EXPECT_EQ(E.AudioCodecName, "");
  EXPECT_EQ(E.AudioLanguage, "");

  E.SetOption("scodec", "nosuch");
  EXPECT_FALSE(E.OpenOutputFile(Out("a.mkv")));
  ExpectCleanFailure("new_subtitle_stream fail: Unknown encoder 'nosuch'");

  E.SetOption("rc_override", "0,100");
  EXPECT_FALSE(E.OpenOutputFile(Out("a.mp4")));
  ExpectCleanFailure("new_video_stream fail: error parsing rc_override");
  EXPECT_TRUE(FolderContent().empty());
}

TEST_F(OutputFilesTest, TwentyFirstOutputIsRefused) {
  for (int I = 0; I < MAX_FILES; ++I) {
    E.SetOption("f", "null");
    ASSERT_TRUE(E.OpenOutputFile(Out("null" + std::to_string(I)))) << I << ": " << E.LastError;
  }
  EXPECT_EQ(E.OutputFileCount, MAX_FILES);
  E.SetOption("f", "null");
  EXPECT_FALSE(E.OpenOutputFile(Out("one-too-many")));
  EXPECT_EQ(E.LastError, "Too many output files (at most 20)");
  EXPECT_EQ(E.OutputFileCount, MAX_FILES);
  EXPECT_EQ(E.OutputFormat, nullptr);
}

// ---- The file on disk -----------------------------------------------------------

TEST_F(OutputFilesTest, UnwritablePlacesGiveCouldNotOpenAndLeaveNothing) {
  Input(Files().VideoAudio);
  const std::string Missing = Out("no-such-folder/clip.mp4");
  EXPECT_FALSE(E.OpenOutputFile(Missing));
  ExpectCleanFailure("Could not open '" + Missing + "'");
  EXPECT_FALSE(fs::exists(Out("no-such-folder")));
  // The consumed per-stream options stay consumed; the streams are gone.
  EXPECT_EQ(E.BitstreamFilters[0][0].size(), 0u);

  WriteFile(Out("plain"), "x");
  const std::string UnderFile = Out("plain/clip.mp4");
  EXPECT_FALSE(E.OpenOutputFile(UnderFile));
  ExpectCleanFailure("Could not open '" + UnderFile + "'");

  // A folder where the file would go is left as it is.
  fs::create_directory(Out("taken.mp4"));
  EXPECT_FALSE(E.OpenOutputFile(Out("taken.mp4")));
  ExpectCleanFailure("Could not open '" + Out("taken.mp4") + "'");
  EXPECT_TRUE(fs::is_directory(Out("taken.mp4")));

  // A folder without write permission (root writes anywhere).
  if (::geteuid() != 0) {
    fs::create_directory(Out("locked"));
    fs::permissions(Out("locked"), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(E.OpenOutputFile(Out("locked/clip.mp4")));
    ExpectCleanFailure("Could not open '" + Out("locked/clip.mp4") + "'");
    fs::permissions(Out("locked"), fs::perms::owner_all);
    EXPECT_TRUE(fs::is_empty(Out("locked")));
  }
}

TEST_F(OutputFilesTest, ExistingFileIsReplacedOnlyWhenTheOutputIsCreated) {
  Input(Files().VideoAudio);
  const std::string Name = Out("existing.mp4");
  WriteFile(Name, "what was there before");

  // A failed call does not touch it.
  E.SetOption("vcodec", "nosuch");
  EXPECT_FALSE(E.OpenOutputFile(Name));
  EXPECT_EQ(ReadFile(Name), "what was there before");
  E.SetOption("f", "webm_chunk");
  EXPECT_FALSE(E.OpenOutputFile(Name));
  EXPECT_EQ(ReadFile(Name), "what was there before");

  // A successful one replaces it: the file is opened for writing from its
  // start (empty until the run writes it).
  ASSERT_TRUE(E.OpenOutputFile(Name)) << E.LastError;
  EXPECT_EQ(fs::file_size(Name), 0u);
}

TEST_F(OutputFilesTest, FailureAfterStreamsWereBuiltLeavesNoFileAndNoStreamState) {
  Input(Files().VideoAudio);
  // Video and audio streams are built, then the open for writing fails.
  E.SetOption("vbsf", "null");
  const std::string Name = Out("gone/clip.mkv");
  EXPECT_FALSE(E.OpenOutputFile(Name));
  ExpectCleanFailure("Could not open '" + Name + "'");
  EXPECT_EQ(E.OutputCodec(0, 1), nullptr);
  EXPECT_TRUE(E.BitstreamFilters[0][0].empty());
  // Consumed by the stream that was built, as for a successful file.
  EXPECT_TRUE(E.VideoBsfChain.empty());
  EXPECT_TRUE(FolderContent().empty());

  // The next output takes the first position cleanly.
  ASSERT_TRUE(E.OpenOutputFile(Out("clip.mkv"))) << E.LastError;
  EXPECT_EQ(E.OutputFileCount, 1);
  EXPECT_TRUE(E.BitstreamFilters[0][0].empty());
}

// ---- Video fields ----------------------------------------------------------------

TEST_F(OutputFilesTest, FrameRateIsTheEncodersNearestListedRate) {
  E.SetOption("vcodec", "mpeg1video");
  E.SetOption("r", "23");
  ASSERT_TRUE(E.OpenOutputFile(Out("a.mpg"))) << E.LastError;
  EXPECT_TRUE(IsRational(Enc(0)->time_base, 1001, 24000));
  EXPECT_TRUE(IsRational(Stream(0)->avg_frame_rate, 24000, 1001));

  // 16 and 18 are equally near: the first listed.
  E.SetOption("vcodec", "mpeg2video");
  E.SetOption("r", "17");
  ASSERT_TRUE(E.OpenOutputFile(Out("b.mpg"))) << E.LastError;
  EXPECT_TRUE(IsRational(Enc(0, 1)->time_base, 1, 16));

  E.SetOption("vcodec", "mpeg1video");
  E.SetOption("r", "25");
  ASSERT_TRUE(E.OpenOutputFile(Out("c.mpg"))) << E.LastError;
  EXPECT_TRUE(IsRational(Enc(0, 2)->time_base, 1, 25));
}

TEST_F(OutputFilesTest, NoRateAndNoListGives25) {
  E.SetOption("vcodec", "libx264");
  ASSERT_TRUE(SameRational(E.FrameRate, AVRational{0, 0}));
  ASSERT_TRUE(E.OpenOutputFile(Out("a.mp4"))) << E.LastError;
  EXPECT_TRUE(IsRational(Enc(0)->time_base, 1, 25));
}

TEST_F(OutputFilesTest, SampleAspectFollowsAspectAndPaddedSize) {
  E.SetOption("s", "720x576");
  E.SetOption("aspect", "16:9");
  ASSERT_TRUE(E.OpenOutputFile(Out("a.mp4"))) << E.LastError;
  EXPECT_TRUE(IsRational(Stream(0)->sample_aspect_ratio, 64, 45));
  EXPECT_TRUE(IsRational(Par(0)->sample_aspect_ratio, 64, 45));
  EXPECT_TRUE(IsRational(Enc(0)->sample_aspect_ratio, 64, 45));

  E.SetOption("padtop", "8");
  E.SetOption("padbottom", "8");
  ASSERT_TRUE(E.OpenOutputFile(Out("b.mp4"))) << E.LastError;
  EXPECT_EQ(Enc(0, 1)->width, 720);
  EXPECT_EQ(Enc(0, 1)->height, 592);
  const AVRational Expected =
      TCustomFFmpeg::SampleAspectFromValue(double{16.0f / 9.0f} * 592 / 720);
  EXPECT_TRUE(IsRational(Stream(0, 1)->sample_aspect_ratio, Expected.num, Expected.den));
  EXPECT_FALSE(IsRational(Stream(0, 1)->sample_aspect_ratio, 64, 45));
}

TEST_F(OutputFilesTest, RateControlOverridesReachTheEncoder) {
  E.SetOption("rc_override", "0,100,2/101,200,-20");
  ASSERT_TRUE(E.OpenOutputFile(Out("a.mp4"))) << E.LastError;
  ASSERT_EQ(Enc(0)->rc_override_count, 2);
  ASSERT_NE(Enc(0)->rc_override, nullptr);
  EXPECT_EQ(Enc(0)->rc_override[0].qscale, 2);
  EXPECT_FLOAT_EQ(Enc(0)->rc_override[0].quality_factor, 1.0f);
  EXPECT_EQ(Enc(0)->rc_override[1].start_frame, 101);
  EXPECT_EQ(Enc(0)->rc_override[1].end_frame, 200);
  EXPECT_EQ(Enc(0)->rc_override[1].qscale, 0);
  EXPECT_FLOAT_EQ(Enc(0)->rc_override[1].quality_factor, 0.2f);
  // Freed with the encoder context (the sanitizer build checks that).
  E.ReleaseFiles();
  EXPECT_EQ(E.OutputCodec(0, 0), nullptr);
  EXPECT_EQ(E.OutputFileCount, 0);
}

TEST_F(OutputFilesTest, VideoEncoderFieldsComeFromTheOptions) {
  Input(Files().VideoAudio);
  E.SetOption("vcodec", "mpeg4");
  E.SetOption("b", "800000");
  E.SetOption("bufsize", "1000000");
  E.SetOption("qscale", "3");
  E.SetOption("intra", "");
  E.SetOption("psnr", "");
  E.SetOption("pass", "1");
  E.SetOption("dc", "10");
  E.SetOption("vglobal", "2");
  E.SetOption("vtag", "XVID");
  E.SetOption("pix_fmt", "yuv444p");  // not one of the encoder's
  std::string Matrix = "8";
  for (int I = 1; I < 64; ++I) {
    Matrix += ',';
    Matrix += std::to_string(8 + I);
  }
  E.SetOption("intra_matrix", Matrix);
  ASSERT_TRUE(E.OpenOutputFile(Out("a.avi"))) << E.LastError;

  AVCodecContext* C = Enc(0);
  ASSERT_NE(C, nullptr);
  EXPECT_STREQ(C->codec->name, "mpeg4");
  EXPECT_EQ(C->bit_rate, 800000);
  EXPECT_EQ(C->rc_buffer_size, 1000000);
  EXPECT_EQ(C->rc_initial_buffer_occupancy, 750000);
  EXPECT_TRUE(C->flags & AV_CODEC_FLAG_QSCALE);
  EXPECT_EQ(C->global_quality, 3 * FF_QP2LAMBDA);
  EXPECT_EQ(C->gop_size, 0);
  EXPECT_TRUE(C->flags & AV_CODEC_FLAG_PSNR);
  EXPECT_TRUE(C->flags & AV_CODEC_FLAG_PASS1);
  EXPECT_FALSE(C->flags & AV_CODEC_FLAG_PASS2);
  EXPECT_EQ(C->intra_dc_precision, 2);
  // "vglobal" 2: local headers, and no global header even though asked
  // for nothing else (avi does not want them).
  EXPECT_TRUE(C->flags2 & AV_CODEC_FLAG2_LOCAL_HEADER);
  EXPECT_FALSE(C->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
  EXPECT_EQ(C->codec_tag, MKTAG('X', 'V', 'I', 'D'));
  EXPECT_EQ(Par(0)->codec_tag, MKTAG('X', 'V', 'I', 'D'));
  EXPECT_EQ(C->pix_fmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(C->thread_count, 1);
  ASSERT_NE(C->intra_matrix, nullptr);
  EXPECT_EQ(C->intra_matrix[0], 8);
  EXPECT_EQ(C->intra_matrix[63], 71);
  EXPECT_EQ(C->inter_matrix, nullptr);
  // The engine keeps its own matrix; the encoder has a copy.
  EXPECT_NE(static_cast<void*>(C->intra_matrix), static_cast<void*>(E.IntraMatrix->data()));
}

TEST_F(OutputFilesTest, VideoStreamCopyMarksTheStream) {
  Input(Files().VideoAudio);
  E.SetOption("vcodec", "copy");
  E.SetOption("aspect", "4:3");
  ASSERT_TRUE(E.OpenOutputFile(Out("copy.mkv"))) << E.LastError;
  EXPECT_TRUE(E.OutputCodecs[0][0].StreamCopy);
  EXPECT_FALSE(E.OutputCodecs[0][1].StreamCopy);
  EXPECT_EQ(Par(0)->codec_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(Par(0)->codec_id, AV_CODEC_ID_NONE);
  EXPECT_TRUE(IsRational(Stream(0)->sample_aspect_ratio, 1, 1));  // 4:3 on 320 x 240
  EXPECT_EQ(E.VideoStreamCopy, 0);
}

// ---- Audio and subtitle fields ----------------------------------------------------

TEST_F(OutputFilesTest, AudioEncoderFieldsComeFromTheOptions) {
  Input(Files().AudioOnly);
  E.SetOption("acodec", "mp2");
  E.SetOption("ar", "22050");
  E.SetOption("ac", "1");
  E.SetOption("aq", "5");
  E.SetOption("ab", "64000");
  E.SetOption("alang", "english");
  E.SetOption("atag", "abcd");
  ASSERT_TRUE(E.OpenOutputFile(Out("a.mkv"))) << E.LastError;
  AVCodecContext* C = Enc(0);
  ASSERT_NE(C, nullptr);
  EXPECT_STREQ(C->codec->name, "mp2");
  EXPECT_EQ(C->sample_rate, 22050);
  EXPECT_TRUE(IsRational(C->time_base, 1, 22050));
  EXPECT_EQ(C->ch_layout.nb_channels, 1);
  EXPECT_EQ(C->sample_fmt, AV_SAMPLE_FMT_S16);
  EXPECT_TRUE(C->flags & AV_CODEC_FLAG_QSCALE);
  EXPECT_EQ(C->global_quality, 5 * FF_QP2LAMBDA);
  EXPECT_EQ(C->bit_rate, 64000);
  EXPECT_EQ(C->codec_tag, MKTAG('a', 'b', 'c', 'd'));
  EXPECT_TRUE(C->flags & AV_CODEC_FLAG_GLOBAL_HEADER);  // matroska wants global headers
  EXPECT_EQ(Par(0)->sample_rate, 22050);
  EXPECT_EQ(Metadata(Stream(0)->metadata, "language"), "eng");
  EXPECT_EQ(E.AudioLanguage, "");
}

TEST_F(OutputFilesTest, NewAudioAppendsAStreamWithItsChain) {
  Input(Files().VideoAudio);
  E.SetOption("acodec", "mp2");
  ASSERT_TRUE(E.OpenOutputFile(Out("two.mkv"))) << E.LastError;
  ASSERT_EQ(File()->nb_streams, 2u);

  E.SetOption("absf", "null");
  E.SetOption("acodec", "aac");
  E.SetOption("alang", "fre");
  E.SetOption("newaudio", "");
  ASSERT_EQ(File()->nb_streams, 3u);
  EXPECT_EQ(Par(2)->codec_type, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(Par(2)->codec_id, AV_CODEC_ID_AAC);
  EXPECT_STREQ(Enc(2)->codec->name, "aac");
  EXPECT_EQ(Metadata(Stream(2)->metadata, "language"), "fre");
  ASSERT_EQ(E.BitstreamFilters[0][2].size(), 1u);
  EXPECT_EQ(E.BitstreamFilters[0][2][0].Name, "null");
  EXPECT_TRUE(E.BitstreamFilters[0][1].empty());
  EXPECT_TRUE(E.AudioBsfChain.empty());
  EXPECT_EQ(E.AudioCodecName, "");
  EXPECT_EQ(E.OutputFileCount, 1);
}

TEST_F(OutputFilesTest, NewStreamsGoToTheLastOutputAndFailuresAddNothing) {
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("newvideo", ""); },
                                          "At least one output file must be specified"));
  Input(Files().VideoAudio);
  ASSERT_TRUE(E.OpenOutputFile(Out("first.mkv"))) << E.LastError;
  ASSERT_TRUE(E.OpenOutputFile(Out("second.mkv"))) << E.LastError;
  E.SetOption("vcodec", "mpeg4");
  E.SetOption("newvideo", "");
  EXPECT_EQ(File(0)->nb_streams, 2u);
  ASSERT_EQ(File(1)->nb_streams, 3u);
  EXPECT_EQ(Par(2, 1)->codec_id, AV_CODEC_ID_MPEG4);

  // A stream that cannot be built is not added at all.
  E.SetOption("vcodec", "nosuch");
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("newvideo", ""); },
                                          "Unknown encoder 'nosuch'"));
  EXPECT_EQ(File(1)->nb_streams, 3u);
  EXPECT_EQ(E.OutputCodec(1, 3), nullptr);
  EXPECT_EQ(E.VideoCodecName, "");

  // At most MAX_STREAMS streams per file.
  for (unsigned I = File(1)->nb_streams; I < static_cast<unsigned>(MAX_STREAMS); ++I)
    E.SetOption("newaudio", "");
  EXPECT_EQ(File(1)->nb_streams, static_cast<unsigned>(MAX_STREAMS));
  EXPECT_TRUE(
      RaisesWith<FFMpegException>([&] { E.SetOption("newaudio", ""); }, "Could not alloc stream"));
  EXPECT_EQ(File(1)->nb_streams, static_cast<unsigned>(MAX_STREAMS));
}

TEST_F(OutputFilesTest, SubtitleWithoutCodecGetsId0) {
  Input(Files().VideoAudio);
  ASSERT_TRUE(E.OpenOutputFile(Out("subs.mkv"))) << E.LastError;
  // matroska has a default subtitle codec, but the input has no subtitles.
  ASSERT_EQ(File()->nb_streams, 2u);
  E.SetOption("slang", "ger");
  E.SetOption("newsubtitle", "");
  ASSERT_EQ(File()->nb_streams, 3u);
  EXPECT_EQ(Par(2)->codec_type, AVMEDIA_TYPE_SUBTITLE);
  EXPECT_EQ(Par(2)->codec_id, AV_CODEC_ID_NONE);
  ASSERT_NE(Enc(2), nullptr);
  EXPECT_EQ(Enc(2)->codec, nullptr);
  EXPECT_EQ(Metadata(Stream(2)->metadata, "language"), "ger");
  EXPECT_EQ(E.SubtitleLanguage, "");

  E.SetOption("scodec", "ass");
  E.SetOption("newsubtitle", "");
  EXPECT_EQ(Par(3)->codec_id, AV_CODEC_ID_ASS);
}

// ---- Muxer options and metadata -------------------------------------------------

TEST_F(OutputFilesTest, PreloadDelayAndPrivateMuxerOptions) {
  // The defaults: no preload option on mp4, the maximum delay from 0.7.
  ASSERT_TRUE(E.OpenOutputFile(Out("a.mp4"))) << E.LastError;
  EXPECT_EQ(File(0)->max_delay, 699999);
  EXPECT_EQ(MuxerOption(File(0), "preload"), "<none>");

  // The vcd preset: preload 0.44 s, mux rate and packet size.
  E.SetOption("target", "pal-vcd");
  ASSERT_TRUE(E.OpenOutputFile(Out("b.mpg"))) << E.LastError;
  AVFormatContext* Vcd = File(1);
  EXPECT_STREQ(Vcd->oformat->name, "vcd");
  EXPECT_EQ(MuxerOption(Vcd, "preload"), "439999");
  EXPECT_EQ(Vcd->max_delay, 699999);
  EXPECT_EQ(MuxerOption(Vcd, "muxrate"), "1411200");
  EXPECT_EQ(Vcd->packet_size, 2324u);
  ASSERT_EQ(Vcd->nb_streams, 2u);
  EXPECT_EQ(Par(0, 1)->codec_id, AV_CODEC_ID_MPEG1VIDEO);
  EXPECT_EQ(Par(0, 1)->width, 352);
  EXPECT_EQ(Par(0, 1)->height, 288);
  EXPECT_TRUE(IsRational(Enc(0, 1)->time_base, 1, 25));
  EXPECT_EQ(Enc(0, 1)->bit_rate, 1150000);
  EXPECT_TRUE(IsRational(Stream(0, 1)->sample_aspect_ratio, 12, 11));  // 4:3 on 352 x 288
  EXPECT_EQ(Par(1, 1)->codec_id, AV_CODEC_ID_MP2);

  // svcd: the scan offset flag reaches the MPEG-2 encoder's own option.
  E.SetOption("target", "pal-svcd");
  ASSERT_TRUE(E.OpenOutputFile(Out("c.mpg"))) << E.LastError;
  int64_t ScanOffset = -1;
  EXPECT_GE(ff::av_opt_get_int(Enc(0, 2), "scan_offset", AV_OPT_SEARCH_CHILDREN, &ScanOffset), 0);
  EXPECT_EQ(ScanOffset, 1);

  // Other delays, and the GIF muxer's loop.
  E.SetMuxMaxDelay(0.1f);
  E.SetMuxPreload(1.5f);
  E.SetOption("f", "mpeg");
  ASSERT_TRUE(E.OpenOutputFile(Out("d.mpg"))) << E.LastError;
  EXPECT_EQ(File(3)->max_delay, 100000);
  EXPECT_EQ(MuxerOption(File(3), "preload"), "1500000");

  E.SetOption("loop_output", "3");
  ASSERT_TRUE(E.OpenOutputFile(Out("e.gif"))) << E.LastError;
  EXPECT_EQ(MuxerOption(File(4), "loop"), "3");
}

TEST_F(OutputFilesTest, MetadataGoesToTheDictionaryWithinTheOldLengths) {
  const std::string LongTitle = std::string(510, 't') + "\xC3\xA9" + "tail";  // é across byte 511
  E.SetOption("title", LongTitle);
  E.SetOption("author", "Someone");
  E.SetOption("copyright", "(c) Someone");
  E.SetOption("comment", "A comment");
  E.SetOption("album", "An album");
  E.SetOption("genre", std::string(40, 'g'));
  E.SetYear(2009);
  E.SetTrack(7);
  E.SetOption("timestamp", "2009-07-01 12:34:56Z");
  ASSERT_TRUE(E.OpenOutputFile(Out("tags.mkv"))) << E.LastError;
  AVDictionary* Tags = File()->metadata;
  EXPECT_EQ(Metadata(Tags, "title"), std::string(510, 't'));
  EXPECT_EQ(Metadata(Tags, "author"), "Someone");
  EXPECT_EQ(Metadata(Tags, "artist"), "Someone");
  EXPECT_EQ(Metadata(Tags, "copyright"), "(c) Someone");
  EXPECT_EQ(Metadata(Tags, "comment"), "A comment");
  EXPECT_EQ(Metadata(Tags, "album"), "An album");
  EXPECT_EQ(Metadata(Tags, "genre"), std::string(31, 'g'));
  EXPECT_EQ(Metadata(Tags, "date"), "2009");
  EXPECT_EQ(Metadata(Tags, "track"), "7");
  EXPECT_EQ(Metadata(Tags, "creation_time"), "2009-07-01T12:34:56.000000Z");
}

TEST_F(OutputFilesTest, NoMetadataWhenNothingIsSet) {
  ASSERT_TRUE(E.OpenOutputFile(Out("none.mkv"))) << E.LastError;
  EXPECT_EQ(ff::av_dict_get(File()->metadata, "", nullptr, AV_DICT_IGNORE_SUFFIX), nullptr);
}

}  // namespace
}  // namespace vexav::test
