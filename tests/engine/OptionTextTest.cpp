// Number conversions and the readers of option values with a syntax of
// their own. None of these needs the media libraries.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "engine/Convert.h"
#include "engine/FFMpegException.h"
#include "engine/OptionText.h"

namespace vexav {
namespace {

std::string IntegerError(const std::string& Text) {
  try {
    (void)StrToInt(Text);
  } catch (const EConvertError& Error) {
    return Error.what();
  }
  return "<none>";
}

std::string FloatError(const std::string& Text) {
  try {
    (void)StrToFloat(Text);
  } catch (const EConvertError& Error) {
    return Error.what();
  }
  return "<none>";
}

TEST(EngineConversions, IntegersAreDecimalOrDollarHexadecimal) {
  EXPECT_EQ(StrToInt("42"), 42);
  EXPECT_EQ(StrToInt("-42"), -42);
  EXPECT_EQ(StrToInt("+7"), 7);
  EXPECT_EQ(StrToInt("  12"), 12);
  EXPECT_EQ(StrToInt("$1F"), 31);
  EXPECT_EQ(StrToInt("-$10"), -16);
  EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(StrToInt64("7200000000"), 7200000000LL);
  EXPECT_EQ(StrToInt64("$7FFFFFFFFFFFFFFF"), INT64_MAX);
  EXPECT_EQ(StrToIntDef("x", 5), 5);
  EXPECT_EQ(StrToIntDef("9", 5), 9);
}

TEST(EngineConversions, BadIntegersRaiseTheConversionMessage) {
  EXPECT_EQ(IntegerError("abc"), "'abc' is not a valid integer value");
  EXPECT_EQ(IntegerError(""), "'' is not a valid integer value");
  EXPECT_EQ(IntegerError("12 "), "'12 ' is not a valid integer value");
  EXPECT_EQ(IntegerError("1.5"), "'1.5' is not a valid integer value");
  EXPECT_EQ(IntegerError("0x10"), "'0x10' is not a valid integer value");
  EXPECT_EQ(IntegerError("$"), "'$' is not a valid integer value");
  EXPECT_EQ(IntegerError("2147483648"), "'2147483648' is not a valid integer value");
  EXPECT_EQ(IntegerError("$100000000"), "'$100000000' is not a valid integer value");
}

TEST(EngineConversions, DecimalsUseThePointWhateverTheLocale) {
  // A locale with a decimal comma, when the system has one, must not change
  // how option texts read.
  const char* Previous = std::setlocale(LC_NUMERIC, nullptr);
  std::string Saved = Previous ? Previous : "C";
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  EXPECT_DOUBLE_EQ(StrToFloat("1.5"), 1.5);
  EXPECT_DOUBLE_EQ(StrToFloat(" -2.25e1 "), -22.5);
  EXPECT_DOUBLE_EQ(StrToFloat(".5"), 0.5);
  EXPECT_DOUBLE_EQ(StrToFloat("3."), 3.0);
  const char* Rest = nullptr;
  const char* Text = "2.5x";
  EXPECT_DOUBLE_EQ(ParseCDouble(Text, &Rest), 2.5);
  EXPECT_EQ(Rest, Text + 3);
  std::setlocale(LC_NUMERIC, Saved.c_str());

  EXPECT_EQ(FloatError("1,5"), "'1,5' is not a valid floating point value");
  EXPECT_EQ(FloatError("abc"), "'abc' is not a valid floating point value");
  EXPECT_EQ(FloatError("inf"), "'inf' is not a valid floating point value");
  EXPECT_EQ(FloatError("1e999"), "'1e999' is not a valid floating point value");
  EXPECT_EQ(FloatError(""), "'' is not a valid floating point value");
  EXPECT_DOUBLE_EQ(StrToFloatDef("bad", 0), 0);
  EXPECT_THROW((void)StrToSingle("1e300"), EConvertError);
}

TEST(EngineConversions, CIntegerReaderTakesBaseZeroPrefixes) {
  const char* Rest = nullptr;
  EXPECT_EQ(ParseCInteger("0x1F:", &Rest), 31);
  EXPECT_STREQ(Rest, ":");
  EXPECT_EQ(ParseCInteger("010", &Rest), 8);
  EXPECT_EQ(ParseCInteger(" -12z", &Rest), -12);
  EXPECT_STREQ(Rest, "z");
  EXPECT_EQ(ParseCInteger("08", &Rest), 0);
  EXPECT_STREQ(Rest, "8");
  const char* Text = "abc";
  EXPECT_EQ(ParseCInteger(Text, &Rest), 0);
  EXPECT_EQ(Rest, Text);
  EXPECT_EQ(ParseCInteger("99999999999999999999999", &Rest), INT64_MAX);
  EXPECT_EQ(SaturateToInt(INT64_MAX), INT32_MAX);
  EXPECT_EQ(SaturateToInt(-5), -5);
}

TEST(EngineConversions, RoundingHalvesGoToTheEvenNeighbour) {
  EXPECT_EQ(RoundDivHalfEven(5, 2), 2);
  EXPECT_EQ(RoundDivHalfEven(7, 2), 4);
  EXPECT_EQ(RoundDivHalfEven(-5, 2), -2);
  EXPECT_EQ(RoundDivHalfEven(30000 * 1000LL, 1001), 29970);
  EXPECT_EQ(RoundDivHalfEven(24000 * 1000LL, 1001), 23976);
  EXPECT_EQ(RoundDivHalfEven(1500000, 1000000), 2);
  EXPECT_EQ(RoundDivHalfEven(2500000, 1000000), 2);
  EXPECT_EQ(RoundDivHalfEven(2500001, 1000000), 3);
  EXPECT_EQ(RoundDivHalfEven(10, -4), -2);
}

TEST(EngineConversions, TrimRemovesBlanksAndControlCharacters) {
  EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
  EXPECT_EQ(Trim("\x01\x02"), "");
}

TEST(EngineOptionText, StreamMapsReadBaseZeroNumbersWithAnySeparator) {
  StreamMap Map = ParseStreamMap("0.1");
  EXPECT_EQ(Map.FileIndex, 0);
  EXPECT_EQ(Map.StreamIndex, 1);
  EXPECT_EQ(Map.SyncFileIndex, 0);
  EXPECT_EQ(Map.SyncStreamIndex, 1);

  Map = ParseStreamMap("0:1:0:0");
  EXPECT_EQ(Map.StreamIndex, 1);
  EXPECT_EQ(Map.SyncFileIndex, 0);
  EXPECT_EQ(Map.SyncStreamIndex, 0);

  Map = ParseStreamMap("0x1:010");
  EXPECT_EQ(Map.FileIndex, 1);
  EXPECT_EQ(Map.StreamIndex, 8);
  EXPECT_EQ(Map.SyncFileIndex, 1);
  EXPECT_EQ(Map.SyncStreamIndex, 8);

  Map = ParseStreamMap("2/3/1/0x2");
  EXPECT_EQ(Map.FileIndex, 2);
  EXPECT_EQ(Map.StreamIndex, 3);
  EXPECT_EQ(Map.SyncFileIndex, 1);
  EXPECT_EQ(Map.SyncStreamIndex, 2);

  MetaDataMap Meta = ParseMetaDataMap("1:0x2");
  EXPECT_EQ(Meta.OutFile, 1);
  EXPECT_EQ(Meta.InFile, 2);
}

TEST(EngineOptionText, TsScaleReadsIndexAndDecimal) {
  int64_t Index = -1;
  double Scale = 0;
  ParseTsScale("1:2.0", Index, Scale);
  EXPECT_EQ(Index, 1);
  EXPECT_DOUBLE_EQ(Scale, 2.0);
  ParseTsScale("0x3,0.5", Index, Scale);
  EXPECT_EQ(Index, 3);
  EXPECT_DOUBLE_EQ(Scale, 0.5);
}

std::string Numbers(int Count) {
  std::string Text = Count > 0 ? "1" : "";
  for (int I = 2; I <= Count; ++I) {
    Text += ',';
    Text += std::to_string(I);
  }
  return Text;
}

TEST(EngineOptionText, MatrixNeedsSixtyFourCoefficients) {
  std::array<uint16_t, 64> Matrix{};
  EXPECT_EQ(ParseMatrixCoeffs(Numbers(64), Matrix), -1);
  EXPECT_EQ(Matrix[0], 1);
  EXPECT_EQ(Matrix[63], 64);
  // Text after the 64th coefficient is ignored; spaces before a number are
  // skipped; a negative number keeps its low 16 bits.
  EXPECT_EQ(ParseMatrixCoeffs("-1, 2," + Numbers(62) + ",99,junk", Matrix), -1);
  EXPECT_EQ(Matrix[0], 65535);
  EXPECT_EQ(Matrix[1], 2);
  EXPECT_EQ(Matrix[63], 62);
  EXPECT_EQ(ParseMatrixCoeffs(Numbers(63), Matrix), 62);
  EXPECT_EQ(ParseMatrixCoeffs("", Matrix), 0);
}

std::vector<std::string> Words(const std::string& Text, int Max = MAX_HOOK_WORDS) {
  std::vector<char> Buffer(Text.begin(), Text.end());
  Buffer.push_back('\0');
  std::vector<std::string> Result;
  for (char* Word : SplitHookWords(Buffer.data(), Max)) Result.emplace_back(Word);
  return Result;
}

TEST(EngineOptionText, HookWordsSplitAtBarsElseAtSpaces) {
  EXPECT_EQ(Words("hook.so|-c red|arg"), (std::vector<std::string>{"hook.so", "-c red", "arg"}));
  EXPECT_EQ(Words("hook.so arg"), (std::vector<std::string>{"hook.so", "arg"}));
  EXPECT_EQ(Words("  hook.so   a  b "), (std::vector<std::string>{"hook.so", "a", "b"}));
  EXPECT_EQ(Words("||a||b|"), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(Words("").empty());
  EXPECT_TRUE(Words("   ").empty());

  std::string Many = "hook.so";
  for (int I = 1; I < 70; ++I) Many += " w" + std::to_string(I);
  std::vector<std::string> Kept = Words(Many);
  ASSERT_EQ(Kept.size(), 63u);
  EXPECT_EQ(Kept[62], "w62");
}

TEST(EngineOptionText, TargetValueGivesNormAndType) {
  std::string Type, Norm;
  ParseTargetValue(" pal-vcd ", Type, Norm);
  EXPECT_EQ(Norm, "pal");
  EXPECT_EQ(Type, "vcd");
  ParseTargetValue("ntsc-dv50", Type, Norm);
  EXPECT_EQ(Norm, "ntsc");
  EXPECT_EQ(Type, "dv50");
  ParseTargetValue("film-svcd", Type, Norm);
  EXPECT_EQ(Norm, "film");
  EXPECT_EQ(Type, "svcd");
  ParseTargetValue("dvd", Type, Norm);
  EXPECT_EQ(Norm, "auto");
  EXPECT_EQ(Type, "dvd");
  ParseTargetValue("PAL-vcd", Type, Norm);
  EXPECT_EQ(Norm, "auto");
  EXPECT_EQ(Type, "PAL-vcd");
}

}  // namespace
}  // namespace vexav
