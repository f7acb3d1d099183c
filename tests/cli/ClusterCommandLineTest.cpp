// The cluster options of the command line (no cluster needed).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/CommandLine.h"

namespace vexav::cli {
namespace {

TEST(ClusterCommandLine, OptionsAndTheirLimits) {
  ParseResult Ok =
      ParseCommandLine({"--cluster", "slurm", "--partition", "p", "--slurm-option", "--time=5",
                        "--cpus-per-task", "2", "--retries", "3", "--detach", "a.avi"});
  ASSERT_EQ(Ok.Error, "");
  EXPECT_TRUE(Ok.Line.OnCluster());
  EXPECT_EQ(Ok.Line.SlurmOptions, std::vector<std::string>{"--time=5"});
  EXPECT_EQ(Ok.Line.CpusPerTask, 2);
  EXPECT_EQ(Ok.Line.Retries, 3);
  EXPECT_NE(ParseCommandLine({"--cluster", "pbs", "a.avi"}).Error, "");
  EXPECT_NE(ParseCommandLine({"--partition", "p", "a.avi"}).Error, "");
  EXPECT_NE(ParseCommandLine({"--cluster", "slurm", "--jobs", "2", "a.avi"}).Error, "");
  EXPECT_NE(ParseCommandLine({"--cluster", "slurm", "-o", "x.mp4", "a.avi"}).Error, "");
  EXPECT_NE(ParseCommandLine({"--wait"}).Error, "");
  EXPECT_NE(ParseCommandLine({"--cluster-status", "d", "a.avi"}).Error, "");
  EXPECT_EQ(ParseCommandLine({"--cluster-status", "d", "--wait"}).Error, "");
}

// The Usage block (up to the first empty line) names --segments for the
// default mode and for the cluster; --json goes with a batch that is
// followed, so --detach, which follows nothing, refuses it.
TEST(ClusterCommandLine, UsageNamesSegmentsAndJsonNeedsAFollowedBatch) {
  const std::string Help = UsageText("vexav-convert");
  const std::string Usage = Help.substr(0, Help.find("\n\n"));
  const std::size_t Cluster = Usage.find("--cluster slurm");
  ASSERT_NE(Cluster, std::string::npos) << Usage;
  EXPECT_LT(Usage.find("--segments N|auto"), Cluster) << Usage;
  EXPECT_NE(Usage.find("--segments N|auto", Cluster), std::string::npos) << Usage;
  EXPECT_NE(Usage.find("--json", Cluster), std::string::npos) << Usage;

  EXPECT_EQ(ParseCommandLine({"--cluster", "slurm", "--json", "a.avi"}).Error, "");
  EXPECT_EQ(ParseCommandLine({"--cluster-status", "d", "--wait", "--json"}).Error, "");
  const ParseResult Detached =
      ParseCommandLine({"--cluster", "slurm", "--detach", "--json", "a.avi"});
  EXPECT_NE(Detached.Error.find("'--detach'"), std::string::npos) << Detached.Error;
}

}  // namespace
}  // namespace vexav::cli
