// Memory stays flat over many conversions: one converter converts six
// 640x480 clips one after another in one process (each a run of its own,
// the task list cleared in between), and the resident memory after the last
// is within a few megabytes of what it was after the first. A conversion
// that left a picture, a frame queue or a codec behind would grow it by
// more than that each time (one 640x480 picture is 460 kB; libx264 holds
// tens of megabytes at this size).
#include <fstream>
#include <sstream>

#include "ConverterFixture.h"

namespace vexav::test {
namespace {

// Under a sanitizer the allocator is the sanitizer's (freed blocks wait in a
// quarantine of hundreds of megabytes): the resident memory says nothing
// about the program's own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SanitizedAllocator = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
constexpr bool SanitizedAllocator = true;
#else
constexpr bool SanitizedAllocator = false;
#endif
#else
constexpr bool SanitizedAllocator = false;
#endif

// A field of /proc/self/status in kB ("VmRSS", "VmHWM"); -1 when missing.
int64_t StatusKb(const std::string& Field) {
  std::ifstream In("/proc/self/status");
  for (std::string Line; std::getline(In, Line);) {
    if (Line.rfind(Field + ":", 0) != 0) continue;
    std::istringstream Value(Line.substr(Field.size() + 1));
    int64_t Kb = -1;
    Value >> Kb;
    return Kb;
  }
  return -1;
}

constexpr int Conversions = 6;
constexpr int64_t AllowedGrowthKb = 8 * 1024;

class MemoryFlatTest : public ConverterFixture {
 protected:
  static void SetUpTestSuite() {
    mediagen::MediaRequest Request;
    Request.Width = 640;
    Request.Height = 480;
    Request.DurationSeconds = 1.0;
    Request.MarkSeconds = {0.5};
    Clip = Media().Folder + "/vga.avi";
    ASSERT_EQ(mediagen::Generate(Clip, Request), "");
  }

  // Converts the clip into Name with the window's preset as one run of its
  // own; true when the task finished without an error.
  bool ConvertOnce(const std::string& Name) {
    const int Index = C.AddInputFile(Clip);
    if (Index < 0) {
      ADD_FAILURE() << C.LastError();
      return false;
    }
    TOutputOptions Out;
    Out.ExtOptions =
        "vcodec=libx264\nacodec=libfaac\nr=29.97\nac=2\nar=44100\nb=1500000\nab=64000\ns=640x480\n";
    if (!C.SetOutputFile(Index, OutPath(Name), &Out)) {
      ADD_FAILURE() << C.LastError();
      return false;
    }
    std::mutex Lock;
    std::condition_variable Ended;
    bool Final = false, Succeeded = false;
    C.OnTerminate = [&](int AIndex, bool AFinished, bool AException, const std::string&) {
      std::lock_guard<std::mutex> Guard(Lock);
      if (AIndex == Index) Succeeded = AFinished && !AException;
      if (AIndex == -1) Final = true;
      Ended.notify_all();
    };
    if (!C.Start(1)) {
      ADD_FAILURE() << C.LastError();
      return false;
    }
    {
      std::unique_lock<std::mutex> Guard(Lock);
      if (!Ended.wait_for(Guard, std::chrono::seconds(120), [&] { return Final; })) {
        ADD_FAILURE() << "no final notice";
        return false;
      }
    }
    C.ClearTasks();
    return Succeeded;
  }

  static std::string Clip;
};

std::string MemoryFlatTest::Clip;

TEST_F(MemoryFlatTest, SixConversionsInOneProcessLeaveTheResidentMemoryFlat) {
  if (SanitizedAllocator) GTEST_SKIP() << "the sanitizer's allocator keeps freed memory on purpose";
  const int64_t Before = StatusKb("VmRSS");
  ASSERT_GT(Before, 0);
  ASSERT_TRUE(ConvertOnce("flat-0.mp4"));
  const int64_t First = StatusKb("VmRSS");
  const int64_t PeakFirst = StatusKb("VmHWM");
  for (int I = 1; I < Conversions; ++I)
    ASSERT_TRUE(ConvertOnce("flat-" + std::to_string(I) + ".mp4")) << I;
  const int64_t Last = StatusKb("VmRSS");

  EXPECT_LT(Last - First, AllowedGrowthKb) << "after the first " << First << " kB, after the last "
                                           << Last << " kB, before " << Before << " kB";
  // The measure sees what a conversion holds: the first one's peak is well
  // above what the process had before it (libx264's look-ahead alone is
  // tens of pictures), so that a leak of that size could not hide.
  EXPECT_GT(PeakFirst - Before, 2 * AllowedGrowthKb)
      << "peak " << PeakFirst << " kB, before " << Before;

  // And every conversion was real: each output decodes to the clip's second
  // of pictures with its flash.
  for (int I = 0; I < Conversions; ++I) {
    const auto D = mediagen::Decode(OutPath("flat-" + std::to_string(I) + ".mp4"));
    ASSERT_EQ(D.Error, "") << I;
    EXPECT_EQ(D.VideoCodecName, "h264") << I;
    ASSERT_FALSE(D.Frames.empty()) << I;
    EXPECT_EQ(D.Frames[0].Width, 640) << I;
    EXPECT_GE(D.Frames.size(), 29u) << I;
    EXPECT_EQ(D.FlashTimesUs.size(), 1u) << I;
    EXPECT_GT(D.AudioSamples, 40000) << I;
  }
}

}  // namespace
}  // namespace vexav::test
