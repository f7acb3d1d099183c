// What the --segments tests share: a scratch folder, generated sources, the
// program run as a child process, and the plan it makes for a source.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "binding/FFmpegLibs.h"
#include "batch/segments/SourcePlan.h"
#include "component/AVProbe.h"

namespace vexav::batch::test {

namespace fs = std::filesystem;

// The preset's output rate, 29.97 frames/s: one frame in microseconds.
inline constexpr double FrameUs = 100.0 * 1e6 / 2997.0;

inline std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

inline bool WorkFolderLeft(const std::string& Dir) {
  for (const auto& Entry : fs::directory_iterator(Dir))
    if (Entry.path().filename().string().rfind(".vexav-seg-", 0) == 0) return true;
  return false;
}

// The plan the program makes for Source in Count segments with the preset
// chosen, the same way.
inline segments::SegmentPlan PlanFor(const std::string& Source, int Count,
                                     const segments::PresetChoice& Choice = {}) {
  TAVProbe Probe;
  EXPECT_TRUE(Probe.Open(Source)) << Probe.LastError();
  segments::SourcePlan Planned;
  std::string Error;
  EXPECT_TRUE(segments::PlanSource(Probe, Source, Choice, Planned, Error)) << Error;
  const segments::SegmentPlan Plan = segments::PlanSegments(Source, Planned, Count, Error);
  EXPECT_EQ(Plan.Segments(), Count) << Error;
  return Plan;
}

// Whether the piece's run seeks its input.
inline bool Seeks(const segments::Piece& P) {
  for (const output::TEngineOption& O : P.InputOptions)
    if (O.Name == "ss") return true;
  return false;
}

// Runs the program on Source into Out in three segments, one piece at a time
// (the sound first, then the segments in order), and calls Act with the
// child's pid as soon as Ready holds, looked at every 10 ms. Returns the
// exit status, or -1 when Act was never called.
inline int RunUntil(const std::string& Source, const std::string& Out,
                    const std::function<bool()>& Ready, const std::function<void(pid_t)>& Act) {
  fs::create_directories(Out);
  const pid_t Child = ::fork();
  if (Child == 0) {
    ::dup2(::open((Out + "/.stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    ::dup2(::open((Out + "/.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    ::execl(VEXAV_CONVERT_PROGRAM, VEXAV_CONVERT_PROGRAM, "-d", Out.c_str(), "--segments", "3",
            "--jobs", "1", Source.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  bool Acted = false;
  int Status = 0;
  while (::waitpid(Child, &Status, WNOHANG) == 0) {
    if (!Acted && Ready()) {
      Act(Child);
      Acted = true;
    }
    ::usleep(10000);
  }
  return Acted && WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

class SegmentsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    char Template[] = "/tmp/vexav-batch-segments-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Dir = Template;
  }
  void TearDown() override { fs::remove_all(Dir); }

  std::string Make(const std::string& Name, const mediagen::MediaRequest& Request) {
    const std::string Path = Dir + "/" + Name;
    EXPECT_EQ(mediagen::Generate(Path, Request), "") << Name;
    return Path;
  }

  // A clip at the output's own rate, so that every output picture is one
  // source picture, with a flash and a click every second.
  std::string MakeClip(const std::string& Name, double Seconds, int Width = 160, int Height = 120) {
    mediagen::MediaRequest Request;
    Request.Width = Width;
    Request.Height = Height;
    Request.FrameRateNum = 30000;
    Request.FrameRateDen = 1001;
    Request.DurationSeconds = Seconds;
    Request.MarkSeconds.clear();
    for (int S = 1; S < Seconds; ++S) Request.MarkSeconds.push_back(S);
    return Make(Name, Request);
  }

  // Runs the program with Args (plus -d OutDir), its standard output and
  // error into OutDir/.stdout and OutDir/.stderr.
  int Run(const std::vector<std::string>& Args, const std::string& OutDir) {
    fs::create_directories(OutDir);
    const pid_t Child = ::fork();
    if (Child == 0) {
      ::dup2(::open((OutDir + "/.stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      ::dup2(::open((OutDir + "/.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      std::vector<std::string> All{VEXAV_CONVERT_PROGRAM, "-d", OutDir};
      All.insert(All.end(), Args.begin(), Args.end());
      std::vector<char*> Argv;
      for (std::string& A : All) Argv.push_back(A.data());
      Argv.push_back(nullptr);
      ::execv(Argv[0], Argv.data());
      ::_exit(127);
    }
    int Status = 0;
    ::waitpid(Child, &Status, 0);
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }

  std::string Dir;
};

}  // namespace vexav::batch::test
