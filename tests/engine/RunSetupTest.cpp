// Failures of a run's set-up, each with its text: the run ends with one
// terminate notification carrying the message, the message is logged at
// level -1, and the output that received no byte is removed.
#include "RunTestSupport.h"

namespace vexav::test {
namespace {

std::string Clip() {
  mediagen::MediaRequest S;
  S.DurationSeconds = 1.0;
  return Media("setup-source.avi", S);
}

std::string PcmClip() {
  mediagen::MediaRequest S;
  S.DurationSeconds = 1.0;
  S.Video = mediagen::VideoCodec::Mjpeg;
  S.Audio = mediagen::AudioCodec::Pcm;
  return Media("setup-pcm.avi", S);
}

class RunSetupTest : public RunTest {
 protected:
  // Runs and checks the common outcome of a failed set-up.
  void ExpectFailure(const TRunRequest& Request, const std::string& Message) {
    TRunRecord R;
    RunConversion(Request, R);
    ASSERT_TRUE(R.Opened) << R.OpenError;
    EXPECT_EQ(R.Terminations, 1);
    EXPECT_TRUE(R.ExceptionRaised);
    EXPECT_FALSE(R.Finished);
    EXPECT_EQ(R.ErrorMessage, Message);
    bool Fatal = false;
    for (const TLogRecord& Line : R.Log) Fatal |= Line.Level == -1 && Line.Text == Message;
    EXPECT_TRUE(Fatal) << R.LogText();
    EXPECT_EQ(FileSize(Request.Output), -1) << "no file is left";
  }
};

TEST_F(RunSetupTest, OutputWithoutStreams) {
  ExpectFailure(Req({}, Clip(), {{"vn", ""}, {"an", ""}}, OutPath("none.mkv")),
                "Output file does not contain any stream");
}

TEST_F(RunSetupTest, MapCountMustMatchTheOutputStreams) {
  ExpectFailure(Req({}, Clip(), {{"map", "0:0"}}, OutPath("count.mkv")),
                "Number of stream maps must match number of output streams");
}

TEST_F(RunSetupTest, MapToAMissingStream) {
  ExpectFailure(Req({}, Clip(), {{"map", "0:0"}, {"map", "0:3"}}, OutPath("missing.mkv")),
                "Could not find input stream #0.3");
}

TEST_F(RunSetupTest, MapToAMissingSyncStream) {
  ExpectFailure(Req({}, Clip(), {{"map", "0:0"}, {"map", "0:1:1:5"}}, OutPath("sync.mkv")),
                "Could not find sync stream #1.5");
}

TEST_F(RunSetupTest, MapWithAnotherCodecType) {
  ExpectFailure(Req({}, Clip(), {{"map", "0:1"}, {"map", "0:0"}}, OutPath("types.mkv")),
                "Codec type mismatch for mapping #0.1 -> #0.0");
}

TEST_F(RunSetupTest, AudioCopyRefusesVolume) {
  ExpectFailure(Req({}, Clip(), {{"vcodec", "copy"}, {"acodec", "copy"}, {"vol", "512"}}, OutPath("vol.mkv")),
                "-acodec copy and -vol are incompatible (frames are not decoded)");
}

TEST_F(RunSetupTest, VideoCopyRefusesACustomHook) {
  TRunRecord R;
  const std::string Output = OutPath("hook.mkv");
  {
    TCustomFFmpeg E;
    E.InitOptions();
    E.OnTerminate = [&R](TCustomFFmpeg& Sender) {
      R.ErrorMessage = Sender.ErrorMessage;
      ++R.Terminations;
    };
    E.OnCustomHook = [](TCustomFFmpeg&, THookBitmap&, int, int64_t, bool&, bool&) {};
    ASSERT_TRUE(E.OpenInputFile(Clip())) << E.LastError;
    E.SetOption("vcodec", "copy");
    ASSERT_TRUE(E.OpenOutputFile(Output)) << E.LastError;
    E.Start(false);
  }
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_EQ(R.ErrorMessage, "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
  EXPECT_EQ(FileSize(Output), -1);
}

TEST_F(RunSetupTest, VideoCopyRefusesFrameHookLibraries) {
  TRunRecord R;
  const std::string Output = OutPath("vhook.mkv");
  {
    TCustomFFmpeg E;
    E.InitOptions();
    E.OnTerminate = [&R](TCustomFFmpeg& Sender) {
      R.ErrorMessage = Sender.ErrorMessage;
      ++R.Terminations;
    };
    ASSERT_TRUE(E.OpenInputFile(Clip())) << E.LastError;
    E.SetOption("vcodec", "copy");
    ASSERT_TRUE(E.OpenOutputFile(Output)) << E.LastError;
    // What a "vhook" option leaves behind.
    E.UsingVhook = true;
    E.Start(false);
  }
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_EQ(R.ErrorMessage, "-vcodec copy and -vhook are incompatible (frames are not decoded)");
}

TEST_F(RunSetupTest, FilterChainTheLibraryCannotParseIsRefusedClearly) {
  ExpectFailure(Req({}, Clip(), {{"vfilters", "nosuchfilter"}, {"vcodec", "mpeg4"}}, OutPath("filters.mkv")),
                "Error opening filters: cannot parse the filter chain \"nosuchfilter\": Invalid argument");
}

TEST_F(RunSetupTest, InvalidMetaDataMap) {
  ExpectFailure(Req({}, Clip(), {{"map_meta_data", "3:0"}}, OutPath("meta.mkv")),
                "Invalid output file index 3 map_meta_data(3,0)");
}

TEST_F(RunSetupTest, InvalidMetaDataMapInput) {
  ExpectFailure(Req({}, Clip(), {{"map_meta_data", "0:2"}}, OutPath("meta-in.mkv")),
                "Invalid input file index 2 map_meta_data(0,2)");
}

TEST_F(RunSetupTest, HeaderThatTheMuxerRefuses) {
  // MP4 has no place for 16-bit PCM sound copied as it is.
  ExpectFailure(Req({}, PcmClip(), {{"vcodec", "copy"}, {"acodec", "copy"}}, OutPath("pcm.mp4")),
                "Could not write header for output file #0 (incorrect codec parameters ?)");
}

TEST_F(RunSetupTest, EncoderThatCannotOpen) {
  // The AAC encoder has no 1000 Hz mode.
  ExpectFailure(Req({}, Clip(), {{"vn", ""}, {"acodec", "aac"}, {"ar", "1000"}}, OutPath("rate.mp4")),
                "Error while opening codec for output stream #0.0 - maybe incorrect parameters such as bit_rate, "
                "rate, width or height");
}

TEST_F(RunSetupTest, StreamMappingIsLogged) {
  TRunRecord R;
  RunConversion(Req({}, Clip(), {{"map", "0:0"}, {"map", "0:1:0:0"}, {"vcodec", "copy"}, {"acodec", "copy"}},
                    OutPath("mapped.mkv")),
                R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_TRUE(R.Finished) << R.ErrorMessage;
  EXPECT_TRUE(R.Logged("Stream mapping:"));
  EXPECT_TRUE(R.Logged("  Stream #0.0 -> #0.0"));
  EXPECT_TRUE(R.Logged("  Stream #0.1 -> #0.1"));
  EXPECT_TRUE(R.Logged(" [sync #0.0]")) << R.LogText();
}

}  // namespace
}  // namespace vexav::test
