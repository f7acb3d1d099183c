// What the cluster tests share: vexav-convert --cluster slurm run against a
// real Slurm cluster, the one-node cluster of scripts/slurm-local.sh named
// by SLURM_CONF. Without it the cases are skipped, unless
// VEXAV_CLUSTER_REQUIRED=1 (test.sh's cluster stage) makes that a failure.
// Outputs are read back by decoding them.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProgram.h"
#include "MediaGenerator.h"
#include "binding/FFmpegLibs.h"

namespace vexav::cli::clustertest {

namespace fs = std::filesystem;
using testchild::ErrLineHandler;
using testchild::RunCommand;
using testchild::RunResult;

inline RunResult Convert(std::vector<std::string> Args, const std::string& Folder,
                         const ErrLineHandler& OnErrLine = nullptr) {
  Args.insert(Args.begin(), VEXAV_CONVERT_PROGRAM);
  return RunCommand(Args, Folder, OnErrLine);
}

// A progress line of plain output ("clip.avi: 40%") before the end.
inline bool IsEarlyProgress(const std::string& Line) {
  return !Line.empty() && Line.back() == '%' && Line.find("100%") == std::string::npos;
}

// The names a folder holds, sorted.
inline std::vector<std::string> Entries(const std::string& Folder) {
  std::vector<std::string> Names;
  std::error_code Error;
  for (const fs::directory_entry& E : fs::directory_iterator(Folder, Error))
    Names.push_back(E.path().filename());
  std::sort(Names.begin(), Names.end());
  return Names;
}

inline std::vector<std::string> JobFolders(const std::string& Folder) {
  std::vector<std::string> Found;
  for (const fs::directory_entry& E : fs::directory_iterator(Folder))
    if (E.path().filename().string().rfind(".vexav-job-", 0) == 0) Found.push_back(E.path());
  return Found;
}

// The Slurm state of an array task as squeue shows it; empty when gone.
inline std::string QueueState(const std::string& TaskId) {
  const RunResult R =
      RunCommand({"squeue", "--noheader", "--array", "--jobs=" + TaskId, "--format=%T"}, "/");
  return R.OutLines.empty() ? std::string() : R.OutLines.front();
}

inline bool WaitForState(const std::string& TaskId, const std::string& State) {
  for (int I = 0; I < 1200; ++I) {
    if (QueueState(TaskId) == State) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// Waits until no task of job Job is listed any more (at most a minute).
inline bool WaitUntilGone(const std::string& Job) {
  for (int I = 0; I < 600; ++I) {
    const RunResult R =
        RunCommand({"squeue", "--noheader", "--array", "--jobs=" + Job, "--format=%i"}, "/");
    if (R.Status == 0 && R.OutLines.empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

inline std::string FileText(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::ostringstream Bytes;
  Bytes << In.rdbuf();
  return Bytes.str();
}

inline int64_t FileSize(const std::string& Path) {
  std::error_code Error;
  const auto Size = fs::file_size(Path, Error);
  return Error ? -1 : static_cast<int64_t>(Size);
}

// The size of what a task is writing for output Path: each submission of a
// task writes under a hidden name of its own beside the output
// (".vexav-task-<id>-<name>") until it ends; -1 when there is none.
inline int64_t BeingWrittenSize(const std::string& Path) {
  const fs::path Output(Path);
  const std::string Tail = "-" + Output.filename().string();
  std::error_code Error;
  for (const fs::directory_entry& E : fs::directory_iterator(Output.parent_path(), Error)) {
    const std::string Name = E.path().filename();
    if (Name.rfind(".vexav-task-", 0) == 0 && Name.size() > Tail.size() &&
        Name.compare(Name.size() - Tail.size(), Tail.size(), Tail) == 0)
      return FileSize(E.path());
  }
  return -1;
}

// The cluster's nodes, as Slurm lists them: this machine alone on a
// one-node cluster, node1, node2, ... on a larger one.
inline std::vector<std::string> Nodes() {
  RunResult R = RunCommand({"sinfo", "--noheader", "--Node", "--format=%N"}, "/");
  std::sort(R.OutLines.begin(), R.OutLines.end());
  R.OutLines.erase(std::unique(R.OutLines.begin(), R.OutLines.end()), R.OutLines.end());
  return R.OutLines;
}

// Runs scontrol update on every node with Change ("state=resume", ...):
// true when it succeeded on each.
inline bool UpdateNodes(const std::vector<std::string>& Change) {
  bool All = true;
  for (const std::string& Node : Nodes()) {
    std::vector<std::string> Args = {"scontrol", "update", "nodename=" + Node};
    Args.insert(Args.end(), Change.begin(), Change.end());
    All = RunCommand(Args, "/").Status == 0 && All;
  }
  return All;
}

class Cluster : public ::testing::Test {
 public:
  void SetUp() override {
    const char* Conf = std::getenv("SLURM_CONF");
    const char* Required = std::getenv("VEXAV_CLUSTER_REQUIRED");
    const bool Must = Required && std::string(Required) == "1";
    const bool Up = Conf && *Conf && RunCommand({"sinfo", "--noheader"}, "/").Status == 0;
    if (!Up) {
      if (Must) FAIL() << "no Slurm cluster answers (SLURM_CONF=" << (Conf ? Conf : "") << ")";
      GTEST_SKIP() << "no Slurm cluster: start one with scripts/slurm-local.sh start and set "
                      "SLURM_CONF (eval \"$(scripts/slurm-local.sh env)\")";
    }
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    // The folder the "nodes" share: this machine's own file system.
    char Template[] = "/tmp/vexav-cluster-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Folder = Template;
    Out = Folder + "/out";
  }
  void TearDown() override {
    if (!Folder.empty()) fs::remove_all(Folder);
  }

  // A clip of Seconds at Width x Height (MPEG-4 Part 2 + MP3, 25 frames/s).
  std::string Clip(const std::string& Name, double Seconds, int Width = 320, int Height = 240) {
    mediagen::MediaRequest Request;
    Request.Width = Width;
    Request.Height = Height;
    Request.DurationSeconds = Seconds;
    Request.MarkSeconds = {};
    const std::string Path = Folder + "/" + Name;
    fs::create_directories(fs::path(Path).parent_path());
    EXPECT_EQ(mediagen::Generate(Path, Request), "") << Path;
    return Path;
  }
  // A clip whose conversion takes several seconds on one CPU.
  std::string SlowClip(const std::string& Name) { return Clip(Name, 10.0, 640, 480); }

  std::string Output(const std::string& Stem) const {
    return Out + "/" + Stem + " (MPEG-4 Video).mp4";
  }
  std::string Partial(const std::string& Stem) const {
    return Out + "/" + Stem + " (MPEG-4 Video) (partial).mp4";
  }

  std::string Folder, Out;
};

inline void ExpectPlayable(const std::string& Path, double MinSeconds) {
  const mediagen::DecodedMedia Media = mediagen::Decode(Path);
  ASSERT_EQ(Media.Error, "") << Path;
  ASSERT_FALSE(Media.Frames.empty()) << Path;
  EXPECT_GE(Media.Frames.back().PtsUs, static_cast<int64_t>(MinSeconds * 1e6)) << Path;
  EXPECT_EQ(Media.AudioChannels, 2) << Path;
  EXPECT_EQ(Media.AudioSampleRate, 44100) << Path;
}

}  // namespace vexav::cli::clustertest
