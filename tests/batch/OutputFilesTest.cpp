// The output plans: a name reserved so that nothing is overwritten unless
// asked for, a replacement through a temporary file beside the old one that
// takes its place only on success, and devices written as they are.
#include "batch/OutputFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vexav::batch {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& Path, const std::string& Text) {
  std::ofstream(Path, std::ios::binary) << Text;
}

// The names in Folder, sorted.
std::vector<std::string> Names(const std::string& Folder) {
  std::vector<std::string> Result;
  for (const auto& Entry : fs::directory_iterator(Folder))
    Result.push_back(Entry.path().filename().string());
  std::sort(Result.begin(), Result.end());
  return Result;
}

class OutputPlans : public ::testing::Test {
 protected:
  void SetUp() override {
    char Template[] = "/tmp/vexav-output-plans-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Dir = Template;
  }
  void TearDown() override {
    std::error_code Ignored;
    fs::remove_all(Dir, Ignored);
  }
  std::string Dir;
};

// One submission of a cluster task writes under a hidden name of its own
// beside the output reserved for it (made with the reservation's
// permissions), and only its commit puts the output in place; two
// submissions never share a name. A stop keeps the part under the partial
// name and says nothing of the reservation, which is not the user's.
TEST_F(OutputPlans, AnAttemptWritesUnderItsOwnNameAndCommitsOntoTheReservation) {
  const std::string Final = Dir + "/clip (MPEG-4 Video).mp4";
  WriteFile(Final, "");
  ::chmod(Final.c_str(), 0640);
  OutputPlan First, Second;
  std::string Error;
  ASSERT_TRUE(PlanAttemptOutput(Final, "12_0", true, First, Error)) << Error;
  ASSERT_TRUE(PlanAttemptOutput(Final, "13_0", true, Second, Error)) << Error;
  EXPECT_EQ(First.WriteTo, Dir + "/.vexav-task-12_0-clip (MPEG-4 Video).mp4");
  EXPECT_EQ(First.WriteTo, AttemptName(Final, "12_0"));
  EXPECT_NE(First.WriteTo, Second.WriteTo);
  EXPECT_FALSE(PlanAttemptOutput(Final, "12_0", true, First, Error)) << "made twice";
  struct stat Info;
  ASSERT_EQ(::stat(Second.WriteTo.c_str(), &Info), 0);
  EXPECT_EQ(Info.st_mode & 0777, 0640u);

  WriteFile(Second.WriteTo, "converted");
  ASSERT_TRUE(CommitOutput(Second, Error)) << Error;
  EXPECT_EQ(ReadFile(Final), "converted");
  // An attempt whose file was removed (given up) commits nothing.
  RemoveOwnOutput(First.WriteTo);
  EXPECT_FALSE(CommitOutput(First, Error));
  EXPECT_EQ(ReadFile(Final), "converted");
  EXPECT_EQ(Names(Dir), std::vector<std::string>{"clip (MPEG-4 Video).mp4"});

  OutputPlan Third;
  ASSERT_TRUE(PlanAttemptOutput(Final, "14_0", true, Third, Error)) << Error;
  WriteFile(Third.WriteTo, "part");
  const StoppedOutput Kept = KeepStoppedOutput(Third);
  EXPECT_EQ(Kept.Path, Dir + "/clip (MPEG-4 Video) (partial).mp4");
  EXPECT_EQ(Kept.Note.find("left as it was"), std::string::npos) << Kept.Note;
  // An id is only ever part of a file name.
  EXPECT_EQ(AttemptName(Final, "a/b c"), Dir + "/.vexav-task-a_b_c-clip (MPEG-4 Video).mp4");
}

TEST_F(OutputPlans, ExplicitPlanCreatesAFreeNameExclusively) {
  OutputPlan Plan;
  std::string Error;
  const std::string Out = Dir + "/new.mp4";
  ASSERT_TRUE(PlanExplicitOutput(Out, false, Plan, Error)) << Error;
  EXPECT_EQ(Plan.WriteTo, Out);
  EXPECT_FALSE(Plan.Replaces);
  EXPECT_TRUE(Plan.Reserved);
  EXPECT_TRUE(fs::exists(Out));
  DiscardOutput(Plan);
  EXPECT_FALSE(fs::exists(Out));
}

TEST_F(OutputPlans, ExplicitPlanRefusesAnExistingFileWithoutOverwrite) {
  const std::string Out = Dir + "/old.mp4";
  WriteFile(Out, "old contents");
  OutputPlan Plan;
  std::string Error;
  EXPECT_FALSE(PlanExplicitOutput(Out, false, Plan, Error));
  EXPECT_EQ(Error, Out + ": already exists (use --overwrite to replace it)");
  EXPECT_EQ(ReadFile(Out), "old contents");
  EXPECT_EQ(Names(Dir), std::vector<std::string>{"old.mp4"});
}

TEST_F(OutputPlans, ExplicitPlanWithOverwriteWritesBesideAndReplacesOnCommit) {
  const std::string Out = Dir + "/old.mp4";
  WriteFile(Out, "old contents");
  ::chmod(Out.c_str(), 0640);
  OutputPlan Plan;
  std::string Error;
  ASSERT_TRUE(PlanExplicitOutput(Out, true, Plan, Error)) << Error;
  EXPECT_TRUE(Plan.Replaces);
  EXPECT_NE(Plan.WriteTo, Out);
  EXPECT_EQ(fs::path(Plan.WriteTo).parent_path(), fs::path(Out).parent_path());
  EXPECT_EQ(fs::path(Plan.WriteTo).extension(), ".mp4") << "the container follows the name";
  EXPECT_EQ(ReadFile(Out), "old contents");
  WriteFile(Plan.WriteTo, "new contents");
  ASSERT_TRUE(CommitOutput(Plan, Error)) << Error;
  EXPECT_EQ(ReadFile(Out), "new contents");
  struct stat Info;
  ASSERT_EQ(::stat(Out.c_str(), &Info), 0);
  EXPECT_EQ(Info.st_mode & 0777, 0640u) << "the replacement keeps the old file's permissions";
  EXPECT_EQ(Names(Dir), std::vector<std::string>{"old.mp4"});
}

TEST_F(OutputPlans, ADiscardedReplacementLeavesTheOldFile) {
  const std::string Out = Dir + "/old.mp4";
  WriteFile(Out, "old contents");
  OutputPlan Plan;
  std::string Error;
  ASSERT_TRUE(PlanExplicitOutput(Out, true, Plan, Error)) << Error;
  WriteFile(Plan.WriteTo, "half");
  DiscardOutput(Plan);
  EXPECT_EQ(ReadFile(Out), "old contents");
  EXPECT_EQ(Names(Dir), std::vector<std::string>{"old.mp4"});
}

TEST_F(OutputPlans, ThroughALinkTheFileItNamesIsReplaced) {
  const std::string Target = Dir + "/target.mkv", Link = Dir + "/link.mkv";
  WriteFile(Target, "old");
  fs::create_symlink(Target, Link);
  OutputPlan Plan;
  std::string Error;
  EXPECT_FALSE(PlanExplicitOutput(Link, false, Plan, Error));
  ASSERT_TRUE(PlanExplicitOutput(Link, true, Plan, Error)) << Error;
  WriteFile(Plan.WriteTo, "new");
  ASSERT_TRUE(CommitOutput(Plan, Error)) << Error;
  EXPECT_TRUE(fs::is_symlink(Link));
  EXPECT_EQ(ReadFile(Link), "new");
}

TEST_F(OutputPlans, DevicesAreWrittenAsTheyAre) {
  OutputPlan Plan;
  std::string Error;
  ASSERT_TRUE(PlanExplicitOutput("/dev/null", false, Plan, Error)) << Error;
  EXPECT_EQ(Plan.WriteTo, "/dev/null");
  EXPECT_FALSE(Plan.Reserved);
  EXPECT_FALSE(Plan.Replaces);
  DiscardOutput(Plan);
  EXPECT_TRUE(fs::exists("/dev/null"));
}

TEST_F(OutputPlans, DefaultPlanWithoutOverwritePicksAFreeName) {
  WriteFile(Dir + "/clip (MPEG-4 Video).mp4", "taken");
  OutputPlan Plan;
  std::string Error;
  ASSERT_TRUE(PlanDefaultOutput(Dir + "/clip.avi", ".mp4", "MPEG-4 Video", false, Plan, Error))
      << Error;
  EXPECT_EQ(Plan.Final, Dir + "/clip (MPEG-4 Video [1]).mp4");
  EXPECT_EQ(Plan.WriteTo, Plan.Final);
  EXPECT_FALSE(Plan.Replaces);
  EXPECT_EQ(ReadFile(Dir + "/clip (MPEG-4 Video).mp4"), "taken");
}

TEST_F(OutputPlans, DefaultPlanWithOverwriteTakesThePlainName) {
  OutputPlan Plan;
  std::string Error;
  // Free: created at once.
  ASSERT_TRUE(PlanDefaultOutput(Dir + "/a.avi", ".mp4", "MPEG-4 Video", true, Plan, Error))
      << Error;
  EXPECT_EQ(Plan.Final, Dir + "/a (MPEG-4 Video).mp4");
  EXPECT_EQ(Plan.WriteTo, Plan.Final);
  EXPECT_FALSE(Plan.Replaces);
  // Taken by a file: replaced through a temporary file.
  WriteFile(Dir + "/b (MPEG-4 Video).mp4", "old");
  ASSERT_TRUE(PlanDefaultOutput(Dir + "/b.avi", ".mp4", "MPEG-4 Video", true, Plan, Error))
      << Error;
  EXPECT_EQ(Plan.Final, Dir + "/b (MPEG-4 Video).mp4");
  EXPECT_TRUE(Plan.Replaces);
  EXPECT_EQ(ReadFile(Plan.Final), "old");
  // Taken by a folder: an error, nothing touched.
  fs::create_directories(Dir + "/c (MPEG-4 Video).mp4");
  EXPECT_FALSE(PlanDefaultOutput(Dir + "/c.avi", ".mp4", "MPEG-4 Video", true, Plan, Error));
  EXPECT_NE(Error.find("not a regular file"), std::string::npos) << Error;
  EXPECT_TRUE(fs::is_directory(Dir + "/c (MPEG-4 Video).mp4"));
}

}  // namespace
}  // namespace vexav::batch
