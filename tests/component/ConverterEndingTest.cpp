// Every run ends with its final notice, also when a task cannot run: one
// the engine refuses part-way through the run (the next task still starts),
// and tasks whose worker thread the system will not make (each fails with
// the reason, nothing runs under the component's lock, no output is left).
#include <linux/audit.h>
#include <linux/sched.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>

#include "ConverterFixture.h"

namespace vexav::test {
namespace {

class ConverterEndingTest : public ConverterFixture {
 protected:
  int AddTask(const std::string& Name) {
    const int Index = C.AddInputFile(Media().Short);
    EXPECT_GE(Index, 0) << C.LastError();
    TOutputOptions Out;
    Out.ExtOptions = "vcodec=mpeg4\nacodec=aac\n";
    EXPECT_TRUE(C.SetOutputFile(Index, OutPath(Name), &Out)) << C.LastError();
    return Index;
  }
};

TEST_F(ConverterEndingTest, ATaskRefusedPartWayStillLetsTheRunGoOn) {
  for (const char* Name : {"first.mp4", "taken-over.mp4", "third.mp4"}) AddTask(Name);
  // While the first task ends, its program starts the second task's engine
  // itself (and never resumes it): the component's own start of that task
  // is then refused.
  TFFmpegThread* Outside = nullptr;
  Events.Attach(C, [&](const TerminateRecord& R) {
    if (R.Index == 0) Outside = C.Task(1)->Start(true);
  });
  ASSERT_TRUE(C.Start(1));
  ASSERT_TRUE(Events.WaitFinal(120)) << "the run never sent its final notice";
  std::vector<int> Ended;
  for (const TerminateRecord& R : Events.TerminationsCopy()) Ended.push_back(R.Index);
  EXPECT_EQ(Ended, (std::vector<int>{0, 2, -1}));
  EXPECT_TRUE(fs::exists(OutPath("third.mp4")));
  // The engine started from outside ends as its caller asks.
  ASSERT_NE(Outside, nullptr);
  C.Task(1)->AbandonStart("not wanted");
  EXPECT_FALSE(fs::exists(OutPath("taken-over.mp4")));
}

#if defined(__x86_64__)
// From here on the process cannot make threads, as when the system's thread
// limit is reached: clone with CLONE_THREAD fails with EAGAIN, and clone3
// (whose flags a filter cannot read) is not there, so that the C library
// falls back to clone. Other clones, such as the one a leak checker makes
// at exit, still work.
bool RefuseNewThreads() {
  sock_filter Filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EAGAIN & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog Program{static_cast<unsigned short>(sizeof(Filter) / sizeof(Filter[0])), Filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &Program) == 0;
}

TEST_F(ConverterEndingTest, TasksWithoutAWorkerThreadFailWithTheReason) {
  AddTask("no-thread-1.mp4");
  AddTask("no-thread-2.mp4");
  Events.Attach(C);
  if (!RefuseNewThreads()) GTEST_SKIP() << "seccomp filters are not available here";
  ASSERT_TRUE(C.Start(1));
  // No thread can deliver anything: every notice has come by the time
  // Start returns, on this thread.
  const std::vector<TerminateRecord> Ended = Events.TerminationsCopy();
  ASSERT_EQ(Ended.size(), 3u);
  for (int I = 0; I < 2; ++I) {
    EXPECT_EQ(Ended[I].Index, I);
    EXPECT_FALSE(Ended[I].Finished);
    EXPECT_TRUE(Ended[I].Exception);
    EXPECT_EQ(Ended[I].Message.rfind("Cannot start a worker thread: ", 0), 0u) << Ended[I].Message;
  }
  EXPECT_EQ(Ended[2].Index, -1);
  EXPECT_FALSE(fs::exists(OutPath("no-thread-1.mp4")));
  EXPECT_FALSE(fs::exists(OutPath("no-thread-2.mp4")));
}
#endif

}  // namespace
}  // namespace vexav::test
