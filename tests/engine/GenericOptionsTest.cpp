// The generic option path, checked by reading the values back from the
// libraries' own option objects.
#include "EngineFixture.h"

namespace vexav::test {
namespace {

using EngineGenericOptions = EngineFixture;

TEST_F(EngineGenericOptions, CodecOptionsReachTheDefaultsOfTheirMediaTypes) {
  EXPECT_TRUE(E.SetGenericOption("b", "800000"));
  // "b" is the video bit rate: the libraries flag it for sound too, but
  // only the video defaults take it ("ab" is the audio one).
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "b"), 800000);
  EXPECT_NE(CodecInt(AVMEDIA_TYPE_AUDIO, "b"), 800000);
  EXPECT_NE(CodecInt(AVMEDIA_TYPE_DATA, "b"), 800000);
  EXPECT_NE(CodecInt(AVMEDIA_TYPE_ATTACHMENT, "b"), 800000);
  EXPECT_NE(CodecInt(AVMEDIA_TYPE_SUBTITLE, "b"), 800000);
  EXPECT_TRUE(E.SetGenericOption("ab", "64000"));
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_AUDIO, "b"), 64000);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "b"), 800000);

  EXPECT_TRUE(E.SetGenericOption("g", "30"));
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 30);
  EXPECT_NE(CodecInt(AVMEDIA_TYPE_AUDIO, "g"), 30);

  E.SetOption("maxrate", "2000000");
  E.SetOption("bufsize", "327680");
  E.SetOption("flags", "+psnr");
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "maxrate"), 2000000);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "bufsize"), 327680);
  EXPECT_EQ(E.CodecDefaults[AVMEDIA_TYPE_VIDEO]->flags & AV_CODEC_FLAG_PSNR, AV_CODEC_FLAG_PSNR);
  EXPECT_EQ(E.OptionNames, (std::vector<std::string>{"b", "ab", "g", "maxrate", "bufsize", "flags"}));
}

TEST_F(EngineGenericOptions, FormatAndScalerDefaultsCatchTheirOwnNames) {
  E.SetOption("packetsize", "2324");
  EXPECT_EQ(FormatInt("packetsize"), 2324);
  E.SetOption("sws_flags", "bilinear");
  EXPECT_EQ(ScalerInt("sws_flags"), SWS_BILINEAR);
  E.SetOption("probesize", "65536");
  EXPECT_EQ(FormatInt("probesize"), 65536);
  EXPECT_EQ(E.OptionNames, (std::vector<std::string>{"packetsize", "sws_flags", "probesize"}));
}

TEST_F(EngineGenericOptions, PrefixLetterNamesTheMediaType) {
  E.SetOption("vg", "33");
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 33);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_AUDIO, "g"), 12);
  E.SetOption("abt", "12345");
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_AUDIO, "bt"), 12345);
  EXPECT_NE(CodecInt(AVMEDIA_TYPE_VIDEO, "bt"), 12345);
  E.SetOption("sbufsize", "4096");
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_SUBTITLE, "bufsize"), 4096);
  // The name recorded is the option's own.
  EXPECT_EQ(E.OptionNames, (std::vector<std::string>{"g", "bt", "bufsize"}));
  // A prefixed name that is no codec option stays silent.
  EXPECT_FALSE(E.SetGenericOption("vfoo", "1"));
  EXPECT_FALSE(E.SetGenericOption("foo", "1"));
  EXPECT_EQ(E.OptionNames.size(), 3u);
  EXPECT_TRUE(Lines.empty()) << LogText();
}

TEST_F(EngineGenericOptions, BlankNamesOrValuesAreNoOptions) {
  EXPECT_FALSE(E.SetGenericOption(" ", "1"));
  EXPECT_FALSE(E.SetGenericOption("g", "\t "));
  EXPECT_TRUE(E.SetGenericOption("g", " 40 "));  // passed on untrimmed
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 40);
  EXPECT_TRUE(E.SetGenericOptionInt("g", 41));
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 41);
}

TEST_F(EngineGenericOptions, AValueTheLibraryRefusesIsLoggedAndNotRecorded) {
  EXPECT_FALSE(E.SetGenericOption("g", "many"));
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 12);
  EXPECT_TRUE(E.OptionNames.empty());
  EXPECT_TRUE(E.PrivateOptions.empty());
  EXPECT_TRUE(Logged("Invalid value 'many' for option g", 0)) << LogText();
}

TEST_F(EngineGenericOptions, BitRateWarnsBelowAThousand) {
  E.SetOption("b", "64");
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "b"), 64);
  EXPECT_TRUE(Logged("WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s"))
      << LogText();
  Lines.clear();
  E.SetOption("b", "64000");
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "b"), 64000);
  EXPECT_TRUE(Lines.empty()) << LogText();
  // "ab" is read back from the audio defaults, "vb" from the video ones.
  E.SetOption("ab", "96");
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_AUDIO, "b"), 96);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "b"), 64000);
  EXPECT_EQ(Lines.size(), 1u);
  Lines.clear();
  E.SetOption("vb", "1500000");
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "b"), 1500000);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_AUDIO, "b"), 96);
  EXPECT_TRUE(Lines.empty()) << LogText();
  E.SetOption("b", "");
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "b"), 1500000);
  // Without a log handler the value is still set.
  E.OnLog = nullptr;
  E.SetOption("b", "10");
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "b"), 10);
}

TEST_F(EngineGenericOptions, LegacyNamesUseTheirCurrentSpelling) {
  EXPECT_TRUE(E.SetGenericOption("gop", "18"));
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 18);
  EXPECT_EQ(E.OptionNames, (std::vector<std::string>{"g"}));
}

TEST_F(EngineGenericOptions, FlagWordsThatMovedWaitForTheirEncoder) {
  EXPECT_TRUE(E.SetGenericOption("flags", "+scan_offset"));
  EXPECT_EQ(PrivateValue("scan_offset"), "1");
  EXPECT_EQ(E.CodecDefaults[AVMEDIA_TYPE_VIDEO]->flags, 0);
  EXPECT_TRUE(E.SetGenericOption("flags", "+psnr+scan_offset"));
  EXPECT_EQ(E.CodecDefaults[AVMEDIA_TYPE_VIDEO]->flags, AV_CODEC_FLAG_PSNR);

  // The encoder that has the option takes it; one that has not ignores it.
  CodecContextPtr Mpeg2(ff::avcodec_alloc_context3(ff::avcodec_find_encoder_by_name("mpeg2video")));
  ASSERT_TRUE(Mpeg2);
  EXPECT_EQ(E.ApplyPrivateOptions(Mpeg2.get(), AV_OPT_FLAG_ENCODING_PARAM), 2);
  EXPECT_EQ(ReadInt(Mpeg2.get(), "scan_offset", AV_OPT_SEARCH_CHILDREN), 1);
  CodecContextPtr Mpeg4(ff::avcodec_alloc_context3(ff::avcodec_find_encoder_by_name("mpeg4")));
  ASSERT_TRUE(Mpeg4);
  EXPECT_EQ(E.ApplyPrivateOptions(Mpeg4.get(), AV_OPT_FLAG_ENCODING_PARAM), 0);

  EXPECT_TRUE(E.SetGenericOption("flags", "-scan_offset"));
  EXPECT_EQ(E.PrivateOptions.back().Value, "0");
  E.ApplyPrivateOptions(Mpeg2.get(), AV_OPT_FLAG_ENCODING_PARAM);
  EXPECT_EQ(ReadInt(Mpeg2.get(), "scan_offset", AV_OPT_SEARCH_CHILDREN), 0);
}

TEST_F(EngineGenericOptions, MuxerPrivateOptionsWaitForTheOutputFile) {
  EXPECT_TRUE(E.SetGenericOption("muxrate", "1411200"));
  EXPECT_EQ(PrivateValue("muxrate"), "1411200");
  EXPECT_TRUE(E.OptionNames.empty());

  AVFormatContext* Raw = nullptr;
  ASSERT_GE(ff::avformat_alloc_output_context2(&Raw, nullptr, "vcd", nullptr), 0);
  OutputFormatPtr Vcd(Raw);
  EXPECT_EQ(E.ApplyPrivateOptions(Vcd.get(), AV_OPT_FLAG_ENCODING_PARAM), 1);
  EXPECT_EQ(ReadInt(Vcd.get(), "muxrate", AV_OPT_SEARCH_CHILDREN), 1411200);
  // Options meant for encoding are not applied to a reading context.
  EXPECT_EQ(E.ApplyPrivateOptions(Vcd.get(), AV_OPT_FLAG_DECODING_PARAM), 0);

  Raw = nullptr;
  ASSERT_GE(ff::avformat_alloc_output_context2(&Raw, nullptr, "mp4", nullptr), 0);
  OutputFormatPtr Mp4(Raw);
  EXPECT_EQ(E.ApplyPrivateOptions(Mp4.get(), AV_OPT_FLAG_ENCODING_PARAM), 0);

  // The same options as a dictionary.
  Dictionary Dict;
  E.CollectPrivateOptions(Dict.Address());
  const AVDictionaryEntry* Entry = ff::av_dict_get(Dict.Get(), "muxrate", nullptr, 0);
  ASSERT_TRUE(Entry);
  EXPECT_STREQ(Entry->value, "1411200");
}

TEST_F(EngineGenericOptions, EncoderPrivateOptionsAreKeptByName) {
  EXPECT_TRUE(E.SetGenericOption("mpeg_quant", "1"));
  EXPECT_EQ(PrivateValue("mpeg_quant"), "1");
  CodecContextPtr Mpeg4(ff::avcodec_alloc_context3(ff::avcodec_find_encoder_by_name("mpeg4")));
  ASSERT_TRUE(Mpeg4);
  EXPECT_EQ(E.ApplyPrivateOptions(Mpeg4.get(), AV_OPT_FLAG_ENCODING_PARAM), 1);
  EXPECT_EQ(ReadInt(Mpeg4.get(), "mpeg_quant", AV_OPT_SEARCH_CHILDREN), 1);
}

TEST_F(EngineGenericOptions, ContextOptionsCopyTheRecordedValuesWithMatchingFlags) {
  E.SetOption("g", "25");
  E.SetOption("bt", "5000");
  E.SetOption("ab", "128000");
  E.SetOption("packetsize", "2048");
  CodecContextPtr Video(ff::avcodec_alloc_context3(nullptr));
  E.SetContextOptions(Video.get(), E.CodecDefaults[AVMEDIA_TYPE_VIDEO].get(),
                      AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
  EXPECT_EQ(ReadInt(Video.get(), "g"), 25);
  EXPECT_EQ(ReadInt(Video.get(), "bt"), 5000);
  // The decoding flags do not match encoding options.
  CodecContextPtr Decoder(ff::avcodec_alloc_context3(nullptr));
  E.SetContextOptions(Decoder.get(), E.CodecDefaults[AVMEDIA_TYPE_VIDEO].get(),
                      AV_OPT_FLAG_DECODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
  EXPECT_EQ(ReadInt(Decoder.get(), "g"), 12);
  // Audio options copy from the audio defaults.
  CodecContextPtr Audio(ff::avcodec_alloc_context3(nullptr));
  E.SetContextOptions(Audio.get(), E.CodecDefaults[AVMEDIA_TYPE_AUDIO].get(),
                      AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM);
  EXPECT_EQ(ReadInt(Audio.get(), "b"), 128000);
  EXPECT_EQ(ReadInt(Audio.get(), "g"), 12);
  // Format options copy from the format defaults.
  FormatContextPtr Format(ff::avformat_alloc_context());
  E.SetContextOptions(Format.get(), E.FormatDefaults.get(), AV_OPT_FLAG_ENCODING_PARAM);
  EXPECT_EQ(ReadInt(Format.get(), "packetsize"), 2048);
}

TEST_F(EngineGenericOptions, DebugValuesRaiseTheVerbosity) {
  EXPECT_EQ(E.Verbose, 1);
  E.SetOption("debug", "1");
  EXPECT_EQ(E.Verbose, 2);
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_DEBUG);
}

TEST_F(EngineGenericOptions, FormatDebugRaisesTheVerbosityToo) {
  E.SetOption("fdebug", "ts");
  EXPECT_EQ(E.Verbose, 2);
}

}  // namespace
}  // namespace vexav::test
