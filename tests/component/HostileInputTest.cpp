// Damaged and foreign inputs through the probe and through a short
// conversion with the window's MPEG-4 preset: truncated copies (cut inside
// the header too), seeded bit flips over the whole file, an empty file, and
// files that are no media at all (text, random bytes, a program). Each must
// end without a crash or a hang, either with a clear error (the operation
// refused with a text, or the task's termination with an exception and its
// message, and no output left) or with an output that reads back; each task
// gets exactly one termination and the run exactly one final notice.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "ConverterFixture.h"
#include "component/Presets.h"

namespace vexav::test {
namespace {

std::string ReadAll(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& Path, const std::string& Data) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out << Data;
}

// Deterministic pseudo-random numbers (a linear congruential generator), so
// that every run of the test sees the same damage.
class Lcg {
 public:
  explicit Lcg(uint32_t Seed) : State(Seed) {}
  uint32_t Next() {
    State = State * 1664525u + 1013904223u;
    return State;
  }

 private:
  uint32_t State;
};

// Small generated sources, made once per test program.
struct HostileSources {
  std::string Avi;  // 160 x 120, 1 s, MPEG-4 + MP3
  std::string Mp3;  // 1 s of sound
};

const HostileSources& Sources() {
  static const HostileSources Made = [] {
    HostileSources S;
    mediagen::MediaRequest Video;
    Video.Width = 160;
    Video.Height = 120;
    Video.DurationSeconds = 1.0;
    S.Avi = OutPath("hostile-source.avi");
    EXPECT_EQ(mediagen::Generate(S.Avi, Video), "");
    mediagen::MediaRequest Sound;
    Sound.Video = mediagen::VideoCodec::None;
    Sound.DurationSeconds = 1.0;
    S.Mp3 = OutPath("hostile-source.mp3");
    EXPECT_EQ(mediagen::Generate(S.Mp3, Sound), "");
    return S;
  }();
  return Made;
}

// What one damaged input came to.
struct Outcome {
  bool Refused = false;  // AddInputFile or SetOutputFile said no
  bool Failed = false;   // the task ended with an exception
  bool Converted = false;
  std::string Message;  // the refusal's or the failure's text
};

class HostileInputTest : public ::testing::Test {
 protected:
  // Probes Input, then converts it on a component of its own with the
  // window's preset for at most half a second of output, and checks the
  // rules that hold for every input.
  Outcome Check(const std::string& Input) {
    SCOPED_TRACE(Input);
    Outcome Result;
    {
      TAVProbe Probe;
      if (!Probe.Open(Input)) {
        EXPECT_NE(Probe.LastError(), "");
      } else {
        EXPECT_GE(Probe.StreamCount(), 0);
        TVideoStreamInfo Video;
        TAudioStreamInfo Audio;
        Probe.GetDefaultVideoInfo(Video);
        Probe.GetDefaultAudioInfo(Audio);
        Probe.Close();
      }
    }

    const std::string Output = Input + " (MPEG-4 Video).mp4";
    TVexAVConverter C;
    EXPECT_TRUE(C.LoadLibraries("", true)) << C.LastError();
    C.SetLogLevel(TLogLevel::llQuiet);
    EventRecorder Events;
    Events.Attach(C);
    const int Index = C.AddInputFile(Input);
    if (Index < 0) {
      EXPECT_NE(C.LastError(), "");
      EXPECT_EQ(C.TaskCount(), 0);
      Result.Refused = true;
      return Result;
    }
    TFFmpeg* Task = C.Task(Index);
    const output::TFormatPreset& Preset = output::kFormats[output::kDefaultFormatIndex];
    const std::string Ext = output::FormatExtension(Preset.ItemText);
    TVideoStreamInfo Video;
    TAudioStreamInfo Audio;
    const int VideoStreams = Task->Probe().VideoStreamCount();
    if (VideoStreams > 0) Task->Probe().GetDefaultVideoInfo(Video);
    if (Task->Probe().AudioStreamCount() > 0) Task->Probe().GetDefaultAudioInfo(Audio);
    const bool AudioOnly = output::IsAudioOnly(Ext, Input) || VideoStreams <= 0;
    const output::TOutputSettings Settings =
        output::MakeOutputSettings(&Preset, AudioOnly, Audio, Video);
    TOutputOptions Options;
    ResetOutputOptions(Options);
    for (const output::TEngineOption& Option : output::EngineOptions(Settings)) {
      if (Option.Name == "async")
        Options.AudioSync = std::stoi(Option.Value);
      else if (Option.Name == "vsync")
        Options.VideoSync = std::stoi(Option.Value);
      else
        Options.ExtOptions += Option.Name + "=" + Option.Value + "\n";
    }
    Options.Duration = 500;
    if (!C.SetOutputFile(Index, Output, &Options)) {
      EXPECT_NE(C.LastError(), "");
      EXPECT_FALSE(std::filesystem::exists(Output)) << "a refused output leaves no file";
      Result.Refused = true;
      Result.Message = C.LastError();
      EXPECT_TRUE(C.RemoveTask(Index));
      return Result;
    }
    EXPECT_TRUE(C.Start(1)) << C.LastError();
    EXPECT_TRUE(Events.WaitFinal(120)) << "the run did not end";
    const std::vector<TerminateRecord> Ends = Events.TerminationsCopy();
    int TaskEnds = 0, Finals = 0;
    const TerminateRecord* End = nullptr;
    for (const TerminateRecord& T : Ends) {
      if (T.Index == Index) {
        ++TaskEnds;
        End = &T;
      }
      if (T.Index == -1) ++Finals;
    }
    EXPECT_EQ(TaskEnds, 1);
    EXPECT_EQ(Finals, 1);
    if (!Ends.empty()) {
      EXPECT_EQ(Ends.back().Index, -1) << "the final notice comes last";
    }
    // The task is freed, and with it its files.
    C.ClearTasks();
    if (!End) return Result;
    if (End->Exception) {
      EXPECT_NE(End->Message, "");
      EXPECT_FALSE(std::filesystem::exists(Output)) << "an output that failed is removed";
      Result.Failed = true;
      Result.Message = End->Message;
      return Result;
    }
    EXPECT_TRUE(End->Finished);
    // Whatever was converted is a whole file that reads back.
    const mediagen::DecodedMedia D = mediagen::Decode(Output);
    EXPECT_EQ(D.Error, "") << "the output of a damaged input must read back";
    EXPECT_EQ(D.VideoStreams + D.AudioStreams >= 1, true);
    std::filesystem::remove(Output);
    Result.Converted = true;
    return Result;
  }

  // A copy of Source cut after Size bytes.
  static std::string Truncated(const std::string& Source, std::size_t Size,
                               const std::string& Ext) {
    const std::string Data = ReadAll(Source);
    const std::string Path = OutPath("cut-" + std::to_string(Size) + Ext);
    WriteAll(Path, Data.substr(0, std::min(Size, Data.size())));
    return Path;
  }

  // A copy of Source with Flips bits flipped at places chosen by Seed.
  static std::string Flipped(const std::string& Source, uint32_t Seed, int Flips,
                             const std::string& Ext) {
    std::string Data = ReadAll(Source);
    Lcg Random(Seed);
    for (int I = 0; I < Flips && !Data.empty(); ++I) {
      const std::size_t At = Random.Next() % Data.size();
      Data[At] = static_cast<char>(Data[At] ^ (1 << (Random.Next() >> 29)));
    }
    const std::string Path = OutPath("flip-" + std::to_string(Seed) + Ext);
    WriteAll(Path, Data);
    return Path;
  }

  void SweepTruncations(const std::string& Source, const std::string& Ext) {
    const std::size_t Size = ReadAll(Source).size();
    ASSERT_GT(Size, 4096u);
    // Inside the header (the first hundreds of bytes hold the stream
    // headers), then through the data, and one byte short.
    const std::size_t Cuts[] = {1,    12,       64,       200,          500,
                                1200, Size / 4, Size / 2, 3 * Size / 4, Size - 1};
    int Refused = 0, Converted = 0;
    for (std::size_t Cut : Cuts) {
      const Outcome O = Check(Truncated(Source, Cut, Ext));
      Refused += O.Refused;
      Converted += O.Converted;
    }
    // The tiny cuts are no file at all; the long ones still hold most of
    // the clip.
    EXPECT_GE(Refused, 1);
    EXPECT_GE(Converted, 1);
  }

  void SweepBitFlips(const std::string& Source, const std::string& Ext) {
    int Converted = 0;
    for (uint32_t Seed = 1; Seed <= 14; ++Seed)
      Converted += Check(Flipped(Source, Seed * 7919u, 24, Ext)).Converted;
    // Most single bits land in compressed data, which decoders get over.
    EXPECT_GE(Converted, 1);
  }
};

// A generated AVI as Media describes it, with its media data gone: cut where the data
// starts (what is left of a file's first kilobytes), or with the data
// zeroed in place (the index still pointing into it).
std::string Stripped(const std::string& Name, const mediagen::MediaRequest& Media, bool Zeroed) {
  const std::string Source = OutPath(Name + "-whole.avi");
  EXPECT_EQ(mediagen::Generate(Source, Media), "");
  std::string Data = ReadAll(Source);
  const std::size_t Movi = Data.find("movi");
  const std::size_t Index = Data.find("idx1", Movi);
  EXPECT_NE(Movi, std::string::npos);
  EXPECT_NE(Index, std::string::npos);
  if (Zeroed)
    std::fill(Data.begin() + Movi + 4, Data.begin() + Index, '\0');
  else
    Data.resize(Movi + 4);
  const std::string Path = OutPath(Name + ".avi");
  WriteAll(Path, Data);
  return Path;
}

// Files whose media data was stripped: the run ends with the reason, not
// with a message about the picture scaler, and leaves no output.
TEST_F(HostileInputTest, FilesWithoutMediaDataSaySo) {
  mediagen::MediaRequest Clip;
  Clip.Width = 160;
  Clip.Height = 120;
  Clip.DurationSeconds = 1.0;
  mediagen::MediaRequest Sound = Clip;
  Sound.Video = mediagen::VideoCodec::None;
  Sound.Audio = mediagen::AudioCodec::Pcm;
  mediagen::MediaRequest Camera = Clip;
  Camera.Video = mediagen::VideoCodec::Mjpeg;
  Camera.Audio = mediagen::AudioCodec::None;
  const std::string NoVideo =
      "The file holds no video data that can be decoded (input stream #0.0)";
  const std::string Nothing = "The file holds no audio or video data that can be decoded";
  for (bool Zeroed : {false, true}) {
    const std::string How = Zeroed ? "-zeroed" : "-cut";
    const Outcome Both = Check(Stripped("stripped-mpeg4-mp3" + How, Clip, Zeroed));
    EXPECT_TRUE(Both.Failed);
    EXPECT_EQ(Both.Message, NoVideo);
    const Outcome Picture = Check(Stripped("stripped-mjpeg" + How, Camera, Zeroed));
    EXPECT_TRUE(Picture.Failed);
    EXPECT_EQ(Picture.Message, NoVideo);
    const Outcome Pcm = Check(Stripped("stripped-pcm" + How, Sound, Zeroed));
    EXPECT_TRUE(Pcm.Failed);
    EXPECT_EQ(Pcm.Message, Nothing);
  }
}

TEST_F(HostileInputTest, TruncatedAviCopies) {
  SweepTruncations(Sources().Avi, ".avi");
}

TEST_F(HostileInputTest, TruncatedMp3Copies) {
  SweepTruncations(Sources().Mp3, ".mp3");
}

TEST_F(HostileInputTest, BitFlippedAviCopies) {
  SweepBitFlips(Sources().Avi, ".avi");
}

TEST_F(HostileInputTest, BitFlippedMp3Copies) {
  SweepBitFlips(Sources().Mp3, ".mp3");
}

TEST_F(HostileInputTest, HeaderBytesFlipped) {
  // Flips confined to the first 600 bytes, where the container's headers
  // (stream counts, sizes, codec tags) are.
  for (const std::string& Source : {Sources().Avi, Sources().Mp3}) {
    const std::string Ext = Source.substr(Source.rfind('.'));
    const std::string Data = ReadAll(Source);
    for (uint32_t Seed = 1; Seed <= 8; ++Seed) {
      std::string Copy = Data;
      Lcg Random(Seed * 104729u);
      for (int I = 0; I < 6; ++I) {
        const std::size_t At = Random.Next() % 600;
        Copy[At] = static_cast<char>(Copy[At] ^ (1 << (Random.Next() >> 29)));
      }
      const std::string Path = OutPath("header-flip-" + std::to_string(Seed) + Ext);
      WriteAll(Path, Copy);
      Check(Path);
    }
  }
}

TEST_F(HostileInputTest, BlocksOfNoiseOverwritten) {
  // Heavier damage: runs of random bytes written over the file, headers
  // included.
  for (const std::string& Source : {Sources().Avi, Sources().Mp3}) {
    const std::string Ext = Source.substr(Source.rfind('.'));
    const std::string Data = ReadAll(Source);
    for (uint32_t Seed = 1; Seed <= 6; ++Seed) {
      std::string Copy = Data;
      Lcg Random(Seed * 7727u);
      for (int Block = 0; Block < 4; ++Block) {
        const std::size_t At = Random.Next() % Copy.size();
        for (std::size_t I = At; I < std::min(Copy.size(), At + 256); ++I)
          Copy[I] = static_cast<char>(Random.Next() >> 24);
      }
      const std::string Path = OutPath("noise-blocks-" + std::to_string(Seed) + Ext);
      WriteAll(Path, Copy);
      Check(Path);
    }
  }
}

TEST_F(HostileInputTest, AnEmptyFileIsRefusedWithAText) {
  for (const char* Ext : {".avi", ".mp3"}) {
    const std::string Path = OutPath(std::string("empty") + Ext);
    WriteAll(Path, "");
    EXPECT_TRUE(Check(Path).Refused);
  }
}

TEST_F(HostileInputTest, FilesThatAreNoMediaAreRefusedOrEndCleanly) {
  const std::string Text = OutPath("notes.avi");
  std::string Words;
  for (int I = 0; I < 200; ++I)
    Words += "This is a text file, not a video. Line " + std::to_string(I) + "\n";
  WriteAll(Text, Words);
  EXPECT_FALSE(Check(Text).Converted);

  const std::string Noise = OutPath("noise.avi");
  std::string Bytes(65536, '\0');
  Lcg Random(424242);
  for (char& B : Bytes) B = static_cast<char>(Random.Next() >> 24);
  WriteAll(Noise, Bytes);
  Check(Noise);

  const std::string NoiseMp3 = OutPath("noise.mp3");
  WriteAll(NoiseMp3, Bytes);
  Check(NoiseMp3);

  // A program: this test's own executable.
  const std::string Program = OutPath("program.avi");
  const std::string Self = std::filesystem::read_symlink("/proc/self/exe");
  WriteAll(Program, ReadAll(Self).substr(0, 262144));
  EXPECT_FALSE(Check(Program).Converted);
}

TEST_F(HostileInputTest, TheUndamagedSourcesConvert) {
  // The sweeps above start from files that do convert.
  EXPECT_TRUE(Check(Sources().Avi).Converted);
  EXPECT_TRUE(Check(Sources().Mp3).Converted);
}

}  // namespace
}  // namespace vexav::test
