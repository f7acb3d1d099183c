// Shared set-up of the engine tests: the media libraries loaded, one engine
// after InitOptions with a log handler that keeps every line, and readers
// for the values the libraries' option objects hold.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "engine/FFmpeg.h"

namespace vexav::test {

struct LoggedLine {
  int Level;
  std::string Text;
};

class EngineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    E.InitOptions();
    ASSERT_TRUE(E.CodecDefaults[AVMEDIA_TYPE_VIDEO]);
    E.OnLog = [this](TCustomFFmpeg& Sender, int Level, const std::string& Text) {
      EXPECT_EQ(&Sender, &E);
      Lines.push_back({Level, Text});
    };
  }

  bool Logged(const std::string& Text, int Level = 1) const {
    for (const LoggedLine& Line : Lines)
      if (Line.Text == Text && Line.Level == Level) return true;
    return false;
  }

  std::string LogText() const {
    std::string All;
    for (const LoggedLine& Line : Lines) All += std::to_string(Line.Level) + ": " + Line.Text + "\n";
    return All;
  }

  // An integer option read back from an option object.
  static int64_t ReadInt(void* Object, const char* Name, int SearchFlags = 0) {
    int64_t Value = -12345;
    EXPECT_GE(ff::av_opt_get_int(Object, Name, SearchFlags, &Value), 0) << Name;
    return Value;
  }
  int64_t CodecInt(int MediaType, const char* Name) {
    return ReadInt(E.CodecDefaults[MediaType].get(), Name);
  }
  int64_t FormatInt(const char* Name) { return ReadInt(E.FormatDefaults.get(), Name); }
  int64_t ScalerInt(const char* Name) { return ReadInt(E.ScalerDefaults.get(), Name); }

  std::string PrivateValue(const std::string& Name) const {
    std::string Found = "<none>";
    for (const TPrivateOption& Option : E.PrivateOptions)
      if (Option.Name == Name) Found = Option.Value;
    return Found;
  }

  TCustomFFmpeg E;
  std::vector<LoggedLine> Lines;
};

// Runs Action and expects it to raise ExceptionType with exactly Message.
template <typename ExceptionType, typename Action>
::testing::AssertionResult RaisesWith(Action&& Run, const std::string& Message) {
  try {
    Run();
  } catch (const ExceptionType& Error) {
    if (Message == Error.what()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "message was \"" << Error.what() << "\"";
  } catch (const std::exception& Error) {
    return ::testing::AssertionFailure() << "other exception: \"" << Error.what() << "\"";
  }
  return ::testing::AssertionFailure() << "nothing was raised";
}

}  // namespace vexav::test
