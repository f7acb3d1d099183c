// Target presets: norm resolution and detection, and every preset's values,
// read back from the engine's fields and the libraries' option objects.
#include "EngineFixture.h"

namespace vexav::test {
namespace {

class EngineTargetPresets : public EngineFixture {
 protected:
  // An opened input stands in for one whose only video stream runs at Rate.
  void AddInputWithVideoRate(AVRational Rate) {
    InputFormatPtr Input(ff::avformat_alloc_context());
    ASSERT_TRUE(Input);
    AVStream* Audio = ff::avformat_new_stream(Input.get(), nullptr);
    Audio->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    Audio->r_frame_rate = AVRational{25, 1};  // not a video stream: not looked at
    AVStream* Video = ff::avformat_new_stream(Input.get(), nullptr);
    Video->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    Video->r_frame_rate = Rate;
    E.RegisterInputFile(std::move(Input), 0);
  }

  int64_t MuxerOption(const char* Muxer, const char* Name) {
    AVFormatContext* Raw = nullptr;
    EXPECT_GE(ff::avformat_alloc_output_context2(&Raw, nullptr, Muxer, nullptr), 0);
    OutputFormatPtr Output(Raw);
    E.ApplyPrivateOptions(Output.get(), AV_OPT_FLAG_ENCODING_PARAM);
    return ReadInt(Output.get(), Name, AV_OPT_SEARCH_CHILDREN);
  }

  bool AnyLineContains(const std::string& Part) const {
    for (const LoggedLine& Line : Lines)
      if (Line.Text.find(Part) != std::string::npos) return true;
    return false;
  }
};

TEST_F(EngineTargetPresets, PalVcd) {
  E.SetOption("target", "pal-vcd");
  EXPECT_EQ(E.VideoCodecName, "mpeg1video");
  EXPECT_EQ(E.AudioCodecName, "mp2");
  ASSERT_TRUE(E.OutputFormat);
  EXPECT_STREQ(E.OutputFormat->name, "vcd");
  EXPECT_EQ(E.FrameWidth, 352);
  EXPECT_EQ(E.FrameHeight, 288);
  EXPECT_EQ(E.FrameRate.num, 25);
  EXPECT_EQ(E.FrameRate.den, 1);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 15);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "b"), 1150000);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "maxrate"), 1150000);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "minrate"), 1150000);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "bufsize"), 327680);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_AUDIO, "b"), 224000);
  EXPECT_EQ(E.AudioSampleRate, 44100);
  EXPECT_EQ(E.AudioChannels, 2);
  EXPECT_EQ(FormatInt("packetsize"), 2324);
  EXPECT_EQ(PrivateValue("muxrate"), "1411200");
  EXPECT_EQ(MuxerOption("vcd", "muxrate"), 1411200);
  EXPECT_EQ(E.MuxPreload, 0.44f);
  EXPECT_FLOAT_EQ(E.FrameAspectRatio, 4.0f / 3.0f);
  EXPECT_TRUE(Logged("Assuming 4:3 for aspect ratio")) << LogText();
  // A norm given by name is never reported.
  EXPECT_FALSE(AnyLineContains("for target.")) << LogText();
  EXPECT_EQ(E.OptionNames, (std::vector<std::string>{"g", "b", "maxrate", "minrate", "bufsize", "ab",
                                                     "packetsize"}));
}

TEST_F(EngineTargetPresets, VcdAfterAnNtscRateDetectsNtsc) {
  E.SetOption("r", "30000/1001");
  E.SetOption("target", "vcd");
  EXPECT_EQ(E.FrameWidth, 352);
  EXPECT_EQ(E.FrameHeight, 240);
  EXPECT_EQ(E.FrameRate.num, 30000);
  EXPECT_EQ(E.FrameRate.den, 1001);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 18);
  EXPECT_TRUE(Logged("Assuming NTSC for target.")) << LogText();
}

TEST_F(EngineTargetPresets, TheNormLineNeedsVerbosityAboveZero) {
  E.SetVerbose(0);
  E.SetOption("r", "25");
  E.SetOption("target", "vcd");
  EXPECT_EQ(E.FrameHeight, 288);
  EXPECT_FALSE(AnyLineContains("for target.")) << LogText();
}

TEST_F(EngineTargetPresets, AutomaticNormNeedsAFrameRate) {
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("target", "dvd"); },
                                          "frame_rate is invalid."));
  // The type was not looked at, and nothing was applied.
  EXPECT_TRUE(E.VideoCodecName.empty());
  EXPECT_EQ(E.OutputFormat, nullptr);
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("target", "xyz"); },
                                          "frame_rate is invalid."));
}

TEST_F(EngineTargetPresets, UnknownTypeIsReportedAfterTheNorm) {
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetOption("target", "pal-xyz"); },
                                          "Unknown target type"));
  EXPECT_TRUE(RaisesWith<FFMpegException>([&] { E.SetTarget("VCD", "pal", "pal"); },
                                          "Unknown target type"));
  E.SetOption("target", "pal-dv");  // the engine goes on working
  EXPECT_STREQ(E.OutputFormat->name, "dv");
}

TEST_F(EngineTargetPresets, DvPixelFormatsByNorm) {
  E.SetOption("target", "ntsc-dv");
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV411P);
  EXPECT_EQ(E.FrameWidth, 720);
  EXPECT_EQ(E.FrameHeight, 480);
  EXPECT_EQ(E.FrameRate.num, 30000);
  EXPECT_STREQ(E.OutputFormat->name, "dv");
  EXPECT_EQ(E.AudioSampleRate, 48000);
  E.SetOption("target", "pal-dv");
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(E.FrameHeight, 576);
  EXPECT_EQ(E.FrameRate.num, 25);
  E.SetOption("target", "ntsc-dv50");
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV422P);
  E.SetOption("target", "film-dv");
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV411P);
  EXPECT_EQ(E.FrameRate.num, 24000);
  EXPECT_EQ(E.FrameRate.den, 1001);
  // dv sets no codec, rate or aspect options.
  EXPECT_TRUE(E.OptionNames.empty());
  EXPECT_EQ(E.FrameAspectRatio, 0);
}

TEST_F(EngineTargetPresets, FilmSvcd) {
  E.SetOption("target", "film-svcd");
  EXPECT_EQ(E.FrameRate.num, 24000);
  EXPECT_EQ(E.FrameRate.den, 1001);
  EXPECT_EQ(E.FrameWidth, 480);
  EXPECT_EQ(E.FrameHeight, 480);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 18);
  EXPECT_EQ(E.VideoCodecName, "mpeg2video");
  EXPECT_EQ(E.AudioCodecName, "mp2");
  EXPECT_STREQ(E.OutputFormat->name, "svcd");
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "b"), 2040000);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "maxrate"), 2516000);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "minrate"), 0);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "bufsize"), 1835008);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_AUDIO, "b"), 224000);
  EXPECT_EQ(FormatInt("packetsize"), 2324);
  EXPECT_EQ(PrivateValue("scan_offset"), "1");
  EXPECT_EQ(PrivateValue("muxrate"), "<none>");
  EXPECT_EQ(E.AudioSampleRate, 44100);
  EXPECT_EQ(E.MuxPreload, 0.5f);
  EXPECT_FLOAT_EQ(E.FrameAspectRatio, 4.0f / 3.0f);
  // The encoder that has the scan offset gets it.
  CodecContextPtr Mpeg2(ff::avcodec_alloc_context3(ff::avcodec_find_encoder_by_name("mpeg2video")));
  ASSERT_TRUE(Mpeg2);
  E.ApplyPrivateOptions(Mpeg2.get(), AV_OPT_FLAG_ENCODING_PARAM);
  EXPECT_EQ(ReadInt(Mpeg2.get(), "scan_offset", AV_OPT_SEARCH_CHILDREN), 1);
}

TEST_F(EngineTargetPresets, PalDvd) {
  E.SetOption("aspect", "4:3");
  E.SetOption("target", "pal-dvd");
  EXPECT_EQ(E.VideoCodecName, "mpeg2video");
  EXPECT_EQ(E.AudioCodecName, "ac3");
  EXPECT_STREQ(E.OutputFormat->name, "dvd");
  EXPECT_EQ(E.FrameWidth, 720);
  EXPECT_EQ(E.FrameHeight, 576);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 15);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "b"), 6000000);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "maxrate"), 9000000);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "minrate"), 0);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "bufsize"), 1835008);
  // "b" reached the audio defaults too; "ab" comes after it.
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_AUDIO, "b"), 448000);
  EXPECT_EQ(FormatInt("packetsize"), 2048);
  EXPECT_EQ(MuxerOption("dvd", "muxrate"), 10080000);
  EXPECT_EQ(E.AudioSampleRate, 48000);
  // An aspect given before the preset stays.
  EXPECT_FLOAT_EQ(E.FrameAspectRatio, 4.0f / 3.0f);
  EXPECT_FALSE(AnyLineContains("for aspect ratio")) << LogText();
}

TEST_F(EngineTargetPresets, DvdDefaultsToWideAspect) {
  E.SetTarget("dvd", "ntsc", "pal");
  EXPECT_FLOAT_EQ(E.FrameAspectRatio, 16.0f / 9.0f);
  EXPECT_TRUE(Logged("Assuming 16:9 for aspect ratio")) << LogText();
  EXPECT_EQ(E.FrameHeight, 480);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 18);
}

TEST_F(EngineTargetPresets, ChannelRulesPerType) {
  E.SetOption("ac", "6");
  E.SetOption("target", "pal-svcd");
  EXPECT_EQ(E.AudioChannels, 6);
  E.SetOption("target", "pal-dvd");
  EXPECT_EQ(E.AudioChannels, 6);
  E.SetOption("target", "pal-vcd");
  EXPECT_EQ(E.AudioChannels, 2);
  E.SetOption("ac", "6");
  E.SetOption("target", "pal-dv");
  EXPECT_EQ(E.AudioChannels, 2);
  E.SetOption("ac", "1");
  E.SetOption("target", "pal-svcd");
  EXPECT_EQ(E.AudioChannels, 2);
  E.SetOption("ac", "1");
  E.SetOption("target", "pal-dvd");
  EXPECT_EQ(E.AudioChannels, 2);
}

TEST_F(EngineTargetPresets, UndecidedRateFallsBackAndSaysSo) {
  E.SetOption("r", "12.5");
  E.SetTarget("vcd", "auto", "pal");
  EXPECT_EQ(E.FrameRate.num, 25);
  EXPECT_EQ(E.FrameHeight, 288);
  EXPECT_TRUE(Logged("Assuming PAL for target.")) << LogText();
}

TEST_F(EngineTargetPresets, FallbackNorms) {
  E.SetOption("r", "12.5");
  E.SetTarget("svcd", "auto", "film");
  EXPECT_EQ(E.FrameRate.num, 24000);
  EXPECT_TRUE(Logged("Assuming NTSC for target.")) << LogText();
  E.SetOption("r", "12.5");
  E.SetTarget("svcd", "something", "ntsc");
  EXPECT_EQ(E.FrameRate.num, 30000);
  E.SetOption("r", "12.5");
  E.SetTarget("svcd", "auto", "other");
  EXPECT_EQ(E.FrameRate.num, 25);
}

TEST_F(EngineTargetPresets, FilmRateCountsAsNtsc) {
  E.SetOption("r", "24000/1001");
  E.SetOption("target", "dvd");
  EXPECT_TRUE(Logged("Assuming NTSC for target.")) << LogText();
  EXPECT_EQ(E.FrameRate.num, 30000);  // the NTSC rate, not film's
  EXPECT_EQ(E.FrameHeight, 480);
}

TEST_F(EngineTargetPresets, OpenedInputsDecideWhenTheRateDoesNot) {
  AddInputWithVideoRate(AVRational{30000, 1001});
  E.SetOption("r", "12.5");
  E.SetTarget("vcd", "auto", "pal");
  EXPECT_EQ(E.FrameHeight, 240);
  EXPECT_TRUE(Logged("Assuming NTSC for target.")) << LogText();
}

TEST_F(EngineTargetPresets, InputScanSkipsStreamsWithoutARate) {
  AddInputWithVideoRate(AVRational{0, 0});
  AddInputWithVideoRate(AVRational{25, 1});
  E.SetOption("r", "12.5");
  E.SetTarget("vcd", "auto", "ntsc");
  EXPECT_EQ(E.FrameHeight, 288);
  EXPECT_TRUE(Logged("Assuming PAL for target.")) << LogText();
}

TEST_F(EngineTargetPresets, LaterOptionsOverrideThePreset) {
  E.SetOption("target", "pal-vcd");
  E.SetOption("s", "320x240");
  E.SetOption("b", "900000");
  EXPECT_EQ(E.FrameWidth, 320);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "b"), 900000);
}

}  // namespace
}  // namespace vexav::test
