// vexav-convert --probe run as a child process, plus the pieces it is built
// from: the JSON writer, the one-line messages and the command line.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "batch/Json.h"
#include "binding/FFmpegLibs.h"
#include "cli/CommandLine.h"
#include "cli/JsonReader.h"
#include "cli/ProbeCommand.h"

namespace vexav::cli {

using batch::Json;
using batch::JsonFloat;
using batch::JsonString;
using batch::JsonText;
using batch::ValidUtf8;

namespace {

namespace fs = std::filesystem;
using testjson::Reader;
using testjson::Value;

// ---------------------------------------------------------------------------
// Test media.

struct Media {
  std::string Folder;
  std::string ThreeStreams;  // MPEG-4 320x240 25 fps 2 s, two MP3 streams
  std::string Ntsc;          // MJPEG 176x144 30000/1001 1 s, PCM 48 kHz mono
  std::string OddName;       // a copy of Ntsc under a name JSON must escape
  std::string Text;          // text named .avi
  std::string Missing;
};

void WriteFile(const std::string& Path, const std::string& Content) {
  std::ofstream Out(Path, std::ios::binary);
  Out << Content;
}

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

class CliEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    char Template[] = "/tmp/vexav-cli-test-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    M.Folder = Template;

    mediagen::MediaRequest Three;
    Three.AudioStreams = 2;
    M.ThreeStreams = Make("three.avi", Three);

    mediagen::MediaRequest Ntsc;
    Ntsc.Width = 176;
    Ntsc.Height = 144;
    Ntsc.FrameRateNum = 30000;
    Ntsc.FrameRateDen = 1001;
    Ntsc.DurationSeconds = 1.0;
    Ntsc.Video = mediagen::VideoCodec::Mjpeg;
    Ntsc.Audio = mediagen::AudioCodec::Pcm;
    Ntsc.SampleRate = 48000;
    Ntsc.Channels = 1;
    M.Ntsc = Make("ntsc.avi", Ntsc);

    M.OddName = M.Folder + "/say \"hi\" \\ to Zoë's 日本 clip.avi";
    fs::copy_file(M.Ntsc, M.OddName);
    M.Text = M.Folder + "/notes.avi";
    WriteFile(M.Text, "Only some text.\n");
    M.Missing = M.Folder + "/missing.avi";
  }

  void TearDown() override {
    std::error_code Ignored;
    if (!M.Folder.empty()) fs::remove_all(M.Folder, Ignored);
  }

  static const Media& Files() { return M; }

 private:
  std::string Make(const std::string& Name, const mediagen::MediaRequest& Wanted) {
    std::string Path = M.Folder + "/" + Name;
    EXPECT_EQ(mediagen::Generate(Path, Wanted), "") << Path;
    return Path;
  }

  static Media M;
};

Media CliEnvironment::M;

[[maybe_unused]] const auto* const Environment =
    ::testing::AddGlobalTestEnvironment(new CliEnvironment);

const Media& Files() {
  return CliEnvironment::Files();
}

// ---------------------------------------------------------------------------
// Running the program.

std::string ShellQuote(const std::string& Text) {
  std::string Quoted(1, '\'');
  for (char C : Text) {
    if (C == '\'')
      Quoted.append("'\\''");
    else
      Quoted.push_back(C);
  }
  Quoted.push_back('\'');
  return Quoted;
}

std::vector<std::string> SplitLines(const std::string& Text) {
  std::vector<std::string> Lines;
  std::istringstream In(Text);
  std::string Line;
  while (std::getline(In, Line)) Lines.push_back(Line);
  return Lines;
}

struct RunResult {
  int Status = -1;
  std::string Out;
  std::vector<std::string> OutLines;
  std::vector<std::string> ErrLines;
};

RunResult RunProgram(const std::vector<std::string>& Args) {
  const std::string ErrPath = Files().Folder + "/stderr.txt";
  std::string Command = ShellQuote(VEXAV_CONVERT_PROGRAM);
  for (const std::string& Arg : Args) {
    Command += ' ';
    Command += ShellQuote(Arg);
  }
  Command += " 2>";
  Command += ShellQuote(ErrPath);

  RunResult Result;
  std::FILE* Pipe = ::popen(Command.c_str(), "r");
  if (!Pipe) return Result;
  char Buffer[4096];
  std::size_t Got;
  while ((Got = std::fread(Buffer, 1, sizeof Buffer, Pipe)) > 0) Result.Out.append(Buffer, Got);
  int Status = ::pclose(Pipe);
  Result.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  Result.OutLines = SplitLines(Result.Out);
  Result.ErrLines = SplitLines(ReadFile(ErrPath));
  return Result;
}

Value ParseLine(const std::string& Line) {
  try {
    return Reader::Parse(Line);
  } catch (const std::exception& E) {
    ADD_FAILURE() << E.what() << " in: " << Line;
    return Value();
  }
}

std::string Joined(const std::vector<std::string>& Lines) {
  std::string Text;
  for (const std::string& L : Lines) Text += L + "\n";
  return Text;
}

// ---------------------------------------------------------------------------
// The JSON lines of good files.

void ExpectThreeStreams(const Value& File) {
  EXPECT_EQ(File.Keys(), (std::vector<std::string>{"file", "format", "duration_us", "streams"}));
  EXPECT_EQ(File["file"].Text, Files().ThreeStreams);
  EXPECT_EQ(File["format"].Text, "avi");
  EXPECT_NEAR(File["duration_us"].Number, 2000000.0, 40000.0);
  const Value& Streams = File["streams"];
  ASSERT_EQ(Streams.Items.size(), 3u);

  const Value& Video = Streams[0];
  EXPECT_EQ(Video["index"].NumberText, "0");
  EXPECT_EQ(Video["type"].Text, "video");
  EXPECT_EQ(Video["codec"].Text, "mpeg4");
  EXPECT_FALSE(Video.Has("language"));
  EXPECT_EQ(Video["start_time_us"].NumberText, "0");
  EXPECT_NEAR(Video["duration_us"].Number, 2000000.0, 40000.0);
  EXPECT_FALSE(Video.Has("bit_rate"));  // unknown for MPEG-4 video in AVI
  EXPECT_EQ(Video["width"].NumberText, "320");
  EXPECT_EQ(Video["height"].NumberText, "240");
  EXPECT_EQ(Video["display_aspect"].Type, Value::Kind::Number);
  EXPECT_NEAR(Video["display_aspect"].Number, 4.0 / 3.0, 1e-6);
  EXPECT_EQ(Video["pixel_format"].Text, "yuv420p");
  EXPECT_EQ(Video["frame_rate"].Text, "25/1");
  EXPECT_FALSE(Video.Has("channels"));
  EXPECT_FALSE(Video.Has("sample_rate"));

  for (std::size_t I = 1; I <= 2; ++I) {
    const Value& Audio = Streams[I];
    EXPECT_EQ(Audio["index"].Number, static_cast<double>(I));
    EXPECT_EQ(Audio["type"].Text, "audio");
    EXPECT_EQ(Audio["codec"].Text, "mp3");
    EXPECT_EQ(Audio["channels"].NumberText, "2");
    EXPECT_EQ(Audio["sample_rate"].NumberText, "44100");
    EXPECT_EQ(Audio["sample_format"].Type, Value::Kind::String);
    EXPECT_FALSE(Audio["sample_format"].Text.empty());
    EXPECT_NEAR(Audio["duration_us"].Number, 2000000.0, 40000.0);
    EXPECT_GT(Audio["bit_rate"].Number, 0);
    EXPECT_FALSE(Audio.Has("width"));
    EXPECT_FALSE(Audio.Has("frame_rate"));
    EXPECT_FALSE(Audio.Has("pixel_format"));
  }
}

void ExpectNtsc(const Value& File, const std::string& Name) {
  EXPECT_EQ(File["file"].Text, Name);
  EXPECT_EQ(File["format"].Text, "avi");
  const Value& Streams = File["streams"];
  ASSERT_EQ(Streams.Items.size(), 2u);
  EXPECT_EQ(Streams[0]["codec"].Text, "mjpeg");
  EXPECT_EQ(Streams[0]["width"].NumberText, "176");
  EXPECT_EQ(Streams[0]["height"].NumberText, "144");
  EXPECT_EQ(Streams[0]["frame_rate"].Text, "30000/1001");
  EXPECT_NEAR(Streams[0]["duration_us"].Number, 1000000.0, 1001000000.0 / 30000);
  EXPECT_EQ(Streams[1]["type"].Text, "audio");
  EXPECT_EQ(Streams[1]["codec"].Text, "pcm_s16le");
  EXPECT_EQ(Streams[1]["channels"].NumberText, "1");
  EXPECT_EQ(Streams[1]["sample_rate"].NumberText, "48000");
  EXPECT_EQ(Streams[1]["sample_format"].Text, "s16");
  EXPECT_EQ(Streams[1]["bit_rate"].NumberText, "768000");
  EXPECT_FALSE(Streams[1].Has("duration_us"));  // the AVI demuxer gives PCM none
}

TEST(ProbeCommandRun, OneJsonLinePerGoodFile) {
  RunResult R = RunProgram({"--probe", Files().ThreeStreams, Files().Ntsc});
  EXPECT_EQ(R.Status, 0);
  EXPECT_TRUE(R.ErrLines.empty()) << Joined(R.ErrLines);
  ASSERT_EQ(R.OutLines.size(), 2u) << R.Out;
  ExpectThreeStreams(ParseLine(R.OutLines[0]));
  ExpectNtsc(ParseLine(R.OutLines[1]), Files().Ntsc);
}

TEST(ProbeCommandRun, FileNameIsEscaped) {
  RunResult R = RunProgram({"--probe", Files().OddName});
  EXPECT_EQ(R.Status, 0);
  ASSERT_EQ(R.OutLines.size(), 1u) << R.Out;
  EXPECT_NE(R.OutLines[0].find("say \\\"hi\\\" \\\\ to Zoë's 日本 clip.avi"), std::string::npos)
      << R.OutLines[0];
  ExpectNtsc(ParseLine(R.OutLines[0]), Files().OddName);
}

// A name with control characters and bytes that are not UTF-8 still gives
// one JSON line, and its exact bytes come back from "file_hex".
TEST(ProbeCommandRun, NameThatIsNotUtf8ComesBackFromHex) {
  const std::string Name = Files().Folder + "/ctl\x01\x1f\t\n\x7f bad\xff\xfe\xc3( end\xe6\x97.avi";
  fs::copy_file(Files().Ntsc, Name, fs::copy_options::overwrite_existing);
  RunResult R = RunProgram({"--probe", Name});
  EXPECT_EQ(R.Status, 0) << Joined(R.ErrLines);
  ASSERT_EQ(R.OutLines.size(), 1u) << R.Out;
  const Value File = ParseLine(R.OutLines[0]);
  const std::string Hex = File["file_hex"].Text;
  ASSERT_EQ(Hex.size(), Name.size() * 2) << R.OutLines[0];
  std::string Bytes;
  for (std::size_t I = 0; I < Hex.size(); I += 2)
    Bytes += static_cast<char>(std::stoi(Hex.substr(I, 2), nullptr, 16));
  EXPECT_EQ(Bytes, Name);
  EXPECT_EQ(File["file"].Text, ValidUtf8(Name));
  EXPECT_EQ(File["streams"].Items.size(), 2u);
}

TEST(ProbeCommandRun, FailingFileGoesToStandardErrorAndTheRestIsRead) {
  RunResult R =
      RunProgram({"--probe", Files().ThreeStreams, Files().Missing, Files().Text, Files().Ntsc});
  EXPECT_EQ(R.Status, 1);
  ASSERT_EQ(R.OutLines.size(), 2u) << R.Out;
  ExpectThreeStreams(ParseLine(R.OutLines[0]));
  ExpectNtsc(ParseLine(R.OutLines[1]), Files().Ntsc);
  EXPECT_EQ(R.ErrLines, (std::vector<std::string>{
                            Files().Missing + ": no such file or directory",
                            Files().Text + ": Unknown format",
                        }));
}

TEST(ProbeCommandRun, UsageErrorsHelpAndVersion) {
  for (const std::vector<std::string>& Args : std::vector<std::vector<std::string>>{
           {}, {"--probe"}, {"--probe", "--no-such-option", Files().Ntsc}, {"--help=yes"}}) {
    RunResult R = RunProgram(Args);
    EXPECT_EQ(R.Status, 2) << Joined(Args);
    EXPECT_EQ(R.Out, "") << Joined(Args);
    EXPECT_FALSE(R.ErrLines.empty()) << Joined(Args);
  }

  RunResult Help = RunProgram({"--help"});
  EXPECT_EQ(Help.Status, 0);
  EXPECT_NE(Help.Out.find("--probe"), std::string::npos) << Help.Out;
  EXPECT_EQ(Help.Out, UsageText("vexav-convert"));

  RunResult Version = RunProgram({"--version"});
  EXPECT_EQ(Version.Status, 0);
  ASSERT_EQ(Version.OutLines.size(), 1u);
  EXPECT_EQ(Version.OutLines[0].rfind("vexav-convert ", 0), 0u) << Version.Out;
}

// ---------------------------------------------------------------------------
// The pieces.

TEST(JsonWriting, StringEscapes) {
  EXPECT_EQ(JsonString(""), "\"\"");
  EXPECT_EQ(JsonString("plain"), "\"plain\"");
  EXPECT_EQ(JsonString("a \"quoted\" \\ path/x"), "\"a \\\"quoted\\\" \\\\ path/x\"");
  EXPECT_EQ(JsonString("\b\f\n\r\t"), "\"\\b\\f\\n\\r\\t\"");
  EXPECT_EQ(JsonString(std::string("\x01\x1f\0x", 4)), "\"\\u0001\\u001f\\u0000x\"");
  EXPECT_EQ(JsonString("\x7f"), "\"\x7f\"");
  // Well-formed UTF-8 passes through: 2, 3 and 4 byte sequences.
  EXPECT_EQ(JsonString("Zoë 日本 \xF0\x9F\x8E\xAC"), "\"Zoë 日本 \xF0\x9F\x8E\xAC\"");
  // Anything else becomes U+FFFD, byte by byte.
  const std::string R = "\xEF\xBF\xBD";
  EXPECT_EQ(JsonString("a\xFFz"), "\"a" + R + "z\"");
  EXPECT_EQ(JsonString("\x80"), "\"" + R + "\"");                          // stray continuation
  EXPECT_EQ(JsonString("\xC3"), "\"" + R + "\"");                          // cut short
  EXPECT_EQ(JsonString("\xC0\xAF"), "\"" + R + R + "\"");                  // overlong '/'
  EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"" + R + R + R + "\"");          // surrogate
  EXPECT_EQ(JsonString("\xF4\x90\x80\x80"), "\"" + R + R + R + R + "\"");  // > U+10FFFF

  // Whatever goes in, the result reads back as JSON.
  std::string AllBytes;
  for (int C = 0; C < 256; ++C) AllBytes += static_cast<char>(C);
  EXPECT_NO_THROW(Reader::Parse(JsonString(AllBytes)));
  EXPECT_EQ(Reader::Parse(JsonString("a \"b\"\n\\ é")).Text, "a \"b\"\n\\ é");
}

TEST(JsonWriting, DocumentsAndNumbers) {
  Json W = Json::object();
  W["a"] = -12;
  W["b"] = Json::array();
  W["c"] = Json::array({1, Json::object(), "x"});
  W["d"] = JsonFloat(320.0f / 240.0f);
  W["e"] = 0.1;
  W["f"] = JsonFloat(std::numeric_limits<float>::quiet_NaN());
  W["g"] = true;
  W["h"] = nullptr;
  W["i"] = std::numeric_limits<int64_t>::min();
  EXPECT_EQ(JsonText(W),
            "{\"a\":-12,\"b\":[],\"c\":[1,{},\"x\"],\"d\":1.3333334,\"e\":0.1,\"f\":null,"
            "\"g\":true,\"h\":null,\"i\":-9223372036854775808}");
  EXPECT_NO_THROW(Reader::Parse(JsonText(W)));
}

TEST(ProbeMessages, OneLine) {
  EXPECT_EQ(OneLine("x.avi: no such file or directory"), "x.avi: no such file or directory");
  EXPECT_EQ(OneLine("x.avi: I/O error occurred\r\nUsually that means that input file is "
                    "truncated and/or corrupted."),
            "x.avi: I/O error occurred Usually that means that input file is truncated and/or "
            "corrupted.");
  EXPECT_EQ(OneLine("a:\r\n  for img1.jpg\r\n"), "a: for img1.jpg");
  EXPECT_EQ(OneLine("a\nb\rc"), "a b c");
}

TEST(ProbeCommandLine, ParsingFromTheTable) {
  ParseResult R = ParseCommandLine({"a.avi", "--probe", "-", "-v", "--", "--help", "-x"});
  EXPECT_EQ(R.Error, "");
  EXPECT_TRUE(R.Line.Probe);
  EXPECT_TRUE(R.Line.Verbose);
  EXPECT_FALSE(R.Line.Help);
  EXPECT_EQ(R.Line.Files, (std::vector<std::string>{"a.avi", "-", "--help", "-x"}));

  EXPECT_TRUE(ParseCommandLine({"-h"}).Line.Help);
  EXPECT_TRUE(ParseCommandLine({"--version"}).Line.Version);
  EXPECT_EQ(ParseCommandLine({"--probe=1"}).Error, "option '--probe' takes no value");
  EXPECT_EQ(ParseCommandLine({"--frobnicate"}).Error, "unknown option '--frobnicate'");
  EXPECT_EQ(ParseCommandLine({"-vh"}).Error, "unknown option '-vh'");

  R = ParseCommandLine({"--jobs", "3", "--log-level=debug", "a.avi"});
  EXPECT_EQ(R.Error, "");
  EXPECT_EQ(R.Line.Jobs, 3);
  EXPECT_EQ(R.Line.LogLevel, "debug");
  EXPECT_EQ(ParseCommandLine({"a.avi"}).Line.Jobs, 1);
  EXPECT_EQ(ParseCommandLine({"a.avi"}).Line.LogLevel, "quiet");
  EXPECT_NE(ParseCommandLine({"--jobs", "0", "a.avi"}).Error, "");
  EXPECT_NE(ParseCommandLine({"--jobs", "x", "a.avi"}).Error, "");
  EXPECT_NE(ParseCommandLine({"--log-level", "loud", "a.avi"}).Error, "");
  EXPECT_NE(UsageText("vexav-convert").find("more processor cores"), std::string::npos);

  // Every option of the table is in the help text.
  std::string Help = UsageText("vexav-convert");
  for (const OptionDef& O : Options())
    EXPECT_NE(Help.find(std::string("--") + O.LongName), std::string::npos) << O.LongName;
}

}  // namespace
}  // namespace vexav::cli
