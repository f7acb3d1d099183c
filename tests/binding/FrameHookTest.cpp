// Frame hooks: the converter's box hook on the picture layouts it supports,
// and the hook chain's loading, result codes, order, release and PATH rules.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "binding/FrameHook.h"
#include "binding/hooks/CountingHook.h"

namespace vexav {
namespace {

// ---------------------------------------------------------------------------
// Log capture

std::mutex LogMutex;
std::vector<std::string> LogLines;

void CaptureLog(void*, int, const char* Format, va_list Args) {
  char Text[2048];
  std::vsnprintf(Text, sizeof Text, Format, Args);
  std::lock_guard<std::mutex> Guard(LogMutex);
  LogLines.emplace_back(Text);
}

std::vector<std::string> CapturedLog() {
  std::lock_guard<std::mutex> Guard(LogMutex);
  return LogLines;
}

bool Logged(const std::string& Line) {
  const auto Lines = CapturedLog();
  return std::find(Lines.begin(), Lines.end(), Line) != Lines.end();
}

std::string LogText() {
  std::string All;
  for (const auto& Line : CapturedLog()) All += Line;
  return All;
}

// ---------------------------------------------------------------------------
// Pictures

struct Rect {
  int X0, Y0, X1, Y1;  // [X0, X1) x [Y0, Y1)
  bool Holds(int X, int Y) const { return X >= X0 && X < X1 && Y >= Y0 && Y < Y1; }
};
constexpr Rect Nothing{0, 0, 0, 0};

// A picture whose planes sit between guard bytes, with padding at the end of
// every row: anything written outside width x height changes a guard byte.
class GuardedPicture {
 public:
  static constexpr uint8_t Guard = 0xA5;
  static constexpr int Margin = 64;
  static constexpr int Padding = 16;

  GuardedPicture(AVPixelFormat Format, int Width, int Height)
      : Format(Format), Width(Width), Height(Height) {
    const int HalfW = (Width + 1) / 2, HalfH = (Height + 1) / 2;
    switch (Format) {
      case AV_PIX_FMT_YUV420P:
      case AV_PIX_FMT_YUVJ420P:
        Planes = {{Width, Height}, {HalfW, HalfH}, {HalfW, HalfH}};
        break;
      case AV_PIX_FMT_YUV422P:
        Planes = {{Width, Height}, {HalfW, Height}, {HalfW, Height}};
        break;
      case AV_PIX_FMT_YUV444P:
        Planes = {{Width, Height}, {Width, Height}, {Width, Height}};
        break;
      case AV_PIX_FMT_RGB24:
      case AV_PIX_FMT_BGR24:
        Planes = {{3 * Width, Height}};
        break;
      case AV_PIX_FMT_NV12:
        Planes = {{Width, Height}, {2 * HalfW, HalfH}};
        break;
      default:
        Planes = {{Width, Height}};
        break;
    }
    for (std::size_t P = 0; P < Planes.size(); ++P) {
      Plane& Pl = Planes[P];
      Pl.Linesize = Pl.RowBytes + Padding;
      Pl.Bytes.assign(2 * Margin + static_cast<std::size_t>(Pl.Linesize) * Pl.Rows, Guard);
      Fill(static_cast<int>(P), 0);
      Picture.data[P] = Pl.Bytes.data() + Margin;
      Picture.linesize[P] = Pl.Linesize;
    }
  }

  // Moving keeps the plane buffers where they are; a copy would not.
  GuardedPicture(GuardedPicture&&) = default;
  GuardedPicture(const GuardedPicture&) = delete;
  GuardedPicture& operator=(const GuardedPicture&) = delete;

  VexavHookPicture* Get() { return &Picture; }
  int PlaneCount() const { return static_cast<int>(Planes.size()); }
  int RowBytes(int P) const { return Planes[P].RowBytes; }
  int Rows(int P) const { return Planes[P].Rows; }

  uint8_t& At(int P, int X, int Y) {
    return Planes[P].Bytes[Margin + static_cast<std::size_t>(Y) * Planes[P].Linesize + X];
  }

  void Fill(int P, uint8_t Value) {
    for (int Y = 0; Y < Planes[P].Rows; ++Y)
      for (int X = 0; X < Planes[P].RowBytes; ++X) At(P, X, Y) = Value;
  }

  // Every byte outside the picture area (margins and row padding) still the
  // guard value.
  ::testing::AssertionResult OutsideUntouched() const {
    for (std::size_t P = 0; P < Planes.size(); ++P) {
      const Plane& Pl = Planes[P];
      for (std::size_t I = 0; I < Pl.Bytes.size(); ++I) {
        const long Offset = static_cast<long>(I) - Margin;
        const bool InPicture = Offset >= 0 && Offset / Pl.Linesize < Pl.Rows &&
                               Offset % Pl.Linesize < Pl.RowBytes;
        if (!InPicture && Pl.Bytes[I] != Guard)
          return ::testing::AssertionFailure()
                 << "plane " << P << " byte " << Offset << " outside the picture was written";
      }
    }
    return ::testing::AssertionSuccess();
  }

  std::vector<std::vector<uint8_t>> Snapshot() const {
    std::vector<std::vector<uint8_t>> All;
    for (const Plane& Pl : Planes) All.push_back(Pl.Bytes);
    return All;
  }

  // Plane P holds Inside within R and Outside elsewhere (one byte a sample).
  ::testing::AssertionResult PlaneIs(int P, Rect R, int Inside, int Outside) {
    int Wrong = 0;
    std::ostringstream First;
    for (int Y = 0; Y < Planes[P].Rows; ++Y)
      for (int X = 0; X < Planes[P].RowBytes; ++X) {
        const int Want = R.Holds(X, Y) ? Inside : Outside;
        if (At(P, X, Y) != Want && Wrong++ == 0)
          First << "(" << X << "," << Y << ") is " << int{At(P, X, Y)} << ", expected " << Want;
      }
    if (Wrong == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "plane " << P << ": " << Wrong << " wrong samples, first " << First.str();
  }

  // The packed RGB pixel at (X, Y) as three bytes in memory order.
  std::vector<int> Pixel(int X, int Y) {
    return {At(0, 3 * X, Y), At(0, 3 * X + 1, Y), At(0, 3 * X + 2, Y)};
  }

  std::string Tape() {
    std::string Text;
    for (int X = 0; X < Planes[0].RowBytes && At(0, X, 0) != 0; ++X)
      Text += static_cast<char>(At(0, X, 0));
    return Text;
  }

  AVPixelFormat Format;
  int Width, Height;

 private:
  struct Plane {
    Plane(int RowBytes, int Rows) : RowBytes(RowBytes), Rows(Rows) {}
    int RowBytes, Rows;
    int Linesize = 0;
    std::vector<uint8_t> Bytes;
  };
  std::vector<Plane> Planes;
  VexavHookPicture Picture{};
};

// ---------------------------------------------------------------------------
// Hook libraries

std::string FolderOf(const std::string& Path) { return Path.substr(0, Path.rfind('/')); }

std::string Upper(std::string Text) {
  for (char& C : Text) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
  return Text;
}

// The test's own handle on a hook library, for its exported counters.
class HookLibrary {
 public:
  explicit HookLibrary(const char* Path) : Handle(::dlopen(Path, RTLD_NOW | RTLD_LOCAL)) {}
  ~HookLibrary() {
    if (Handle) ::dlclose(Handle);
  }
  HookLibrary(const HookLibrary&) = delete;
  HookLibrary& operator=(const HookLibrary&) = delete;

  bool Loaded() const { return Handle != nullptr; }
  template <typename Fn>
  Fn Find(const char* Name) const {
    return reinterpret_cast<Fn>(::dlsym(Handle, Name));
  }
  int Counter(const char* Name) const {
    auto Fn = Find<int (*)()>(Name);
    return Fn ? Fn() : -1;
  }

 private:
  void* Handle;
};

class CountingHook : public HookLibrary {
 public:
  CountingHook() : HookLibrary(VEXAV_COUNTING_HOOK) {
    if (auto Reset = Find<CountingHookResetFn>("CountingHookReset")) Reset();
  }
  const CountingHookStatsData& Stats() const {
    static const CountingHookStatsData Empty{};
    auto Fn = Find<CountingHookStatsFn>("CountingHookStats");
    return Fn ? *Fn() : Empty;
  }
};

// ---------------------------------------------------------------------------
// Fixture: libraries loaded, log captured, PATH and the chain restored.

class FrameHookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    const char* Path = std::getenv("PATH");
    HadPath = Path != nullptr;
    SavedPath = Path ? Path : "";
    {
      std::lock_guard<std::mutex> Guard(LogMutex);
      LogLines.clear();
    }
    ff::av_log_set_callback(CaptureLog);
  }

  void TearDown() override {
    ReleaseFrameHooks(Chain);
    if (ff::av_log_set_callback) ff::av_log_set_callback(ff::av_log_default_callback);
    if (HadPath)
      ::setenv("PATH", SavedPath.c_str(), 1);
    else
      ::unsetenv("PATH");
  }

  static int Add(TFrameHookEntry*& Target, std::vector<std::string> Args) {
    std::vector<char*> Argv;
    for (auto& Arg : Args) Argv.push_back(Arg.data());
    Argv.push_back(nullptr);
    return AddFrameHook(Target, static_cast<int>(Args.size()), Argv.data());
  }
  int Add(std::vector<std::string> Args) { return Add(Chain, std::move(Args)); }

  static void Run(TFrameHookEntry* Target, GuardedPicture& Pic, int64_t Pts = 0) {
    ProcessFrameHooks(Target, Pic.Get(), Pic.Format, Pic.Width, Pic.Height, Pts);
  }
  void Run(GuardedPicture& Pic) { Run(Chain, Pic); }

  // Adds the box hook with Args, runs it once on Pic and empties the chain.
  void Box(GuardedPicture& Pic, std::vector<std::string> Args) {
    Args.insert(Args.begin(), VEXAV_BOX_HOOK);
    ASSERT_EQ(Add(Args), 0) << LogText();
    Run(Pic);
    ReleaseFrameHooks(Chain);
  }

  static int Length(const TFrameHookEntry* Target) {
    int N = 0;
    for (; Target; Target = Target->next) ++N;
    return N;
  }

  TFrameHookEntry* Chain = nullptr;
  bool HadPath = false;
  std::string SavedPath;
};

using BoxHookTest = FrameHookTest;

GuardedPicture Yuv(AVPixelFormat Format, int W, int H) {
  GuardedPicture Pic(Format, W, H);
  Pic.Fill(0, 50);
  Pic.Fill(1, 60);
  Pic.Fill(2, 70);
  return Pic;
}

// ---------------------------------------------------------------------------
// The box hook

TEST_F(BoxHookTest, DrawsWhiteBoxOnYuv420pWithChromaCoveringOddEdges) {
  // Even corners: the chroma box is exactly half the luma box.
  GuardedPicture Even = Yuv(AV_PIX_FMT_YUV420P, 16, 12);
  Box(Even, {"2", "4", "6", "4"});
  EXPECT_TRUE(Even.PlaneIs(0, {2, 4, 8, 8}, 235, 50));
  EXPECT_TRUE(Even.PlaneIs(1, {1, 2, 4, 4}, 128, 60));
  EXPECT_TRUE(Even.PlaneIs(2, {1, 2, 4, 4}, 128, 70));
  EXPECT_TRUE(Even.OutsideUntouched());

  // Odd corners: every chroma sample shared with a box pixel is coloured.
  GuardedPicture Odd = Yuv(AV_PIX_FMT_YUV420P, 16, 12);
  Box(Odd, {"3", "1", "4", "3"});
  EXPECT_TRUE(Odd.PlaneIs(0, {3, 1, 7, 4}, 235, 50));
  EXPECT_TRUE(Odd.PlaneIs(1, {1, 0, 4, 2}, 128, 60));
  EXPECT_TRUE(Odd.PlaneIs(2, {1, 0, 4, 2}, 128, 70));
  EXPECT_TRUE(Odd.OutsideUntouched());
}

TEST_F(BoxHookTest, ClipsBoxesToThePicture) {
  struct Case {
    std::vector<std::string> Args;
    Rect Luma, Chroma;
  };
  // An odd-sized picture: 15 x 11, chroma 8 x 6.
  const std::vector<Case> Cases = {
      {{"-3", "-2", "6", "5"}, {0, 0, 3, 3}, {0, 0, 2, 2}},
      {{"12", "9", "100", "100"}, {12, 9, 15, 11}, {6, 4, 8, 6}},
      {{"-100", "5", "1000", "1"}, {0, 5, 15, 6}, {0, 2, 8, 3}},
      {{"10", "10", "2147483647", "2147483647"}, {10, 10, 15, 11}, {5, 5, 8, 6}},
      {{"15", "0", "5", "5"}, Nothing, Nothing},
      {{"0", "11", "5", "5"}, Nothing, Nothing},
      {{"-10", "-10", "10", "10"}, Nothing, Nothing},
      {{"4", "4", "0", "3"}, Nothing, Nothing},
      {{"-2147483648", "-2147483648", "2147483647", "2147483647"}, Nothing, Nothing},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Args[0] + " " + C.Args[1] + " " + C.Args[2] + " " + C.Args[3]);
    GuardedPicture Pic = Yuv(AV_PIX_FMT_YUV420P, 15, 11);
    Box(Pic, C.Args);
    EXPECT_TRUE(Pic.PlaneIs(0, C.Luma, 235, 50));
    EXPECT_TRUE(Pic.PlaneIs(1, C.Chroma, 128, 60));
    EXPECT_TRUE(Pic.PlaneIs(2, C.Chroma, 128, 70));
    EXPECT_TRUE(Pic.OutsideUntouched());
  }
}

TEST_F(BoxHookTest, FollowsChromaSubsamplingOfEachPlanarFormat) {
  struct Case {
    AVPixelFormat Format;
    Rect Chroma;
  };
  // Box 3 1 3 3: luma [3, 6) x [1, 4).
  const std::vector<Case> Cases = {
      {AV_PIX_FMT_YUV420P, {1, 0, 3, 2}},
      {AV_PIX_FMT_YUVJ420P, {1, 0, 3, 2}},
      {AV_PIX_FMT_YUV422P, {1, 1, 3, 4}},
      {AV_PIX_FMT_YUV444P, {3, 1, 6, 4}},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(ff::av_get_pix_fmt_name(C.Format));
    GuardedPicture Pic = Yuv(C.Format, 9, 7);
    Box(Pic, {"3", "1", "3", "3", "81", "90", "240"});
    EXPECT_TRUE(Pic.PlaneIs(0, {3, 1, 6, 4}, 81, 50));
    EXPECT_TRUE(Pic.PlaneIs(1, C.Chroma, 90, 60));
    EXPECT_TRUE(Pic.PlaneIs(2, C.Chroma, 240, 70));
    EXPECT_TRUE(Pic.OutsideUntouched());
  }
}

TEST_F(BoxHookTest, PaintsPackedRgbInItsOwnByteOrder) {
  // Studio-range red (81 90 240) is pure red; the default colour is white.
  for (AVPixelFormat Format : {AV_PIX_FMT_RGB24, AV_PIX_FMT_BGR24}) {
    SCOPED_TRACE(ff::av_get_pix_fmt_name(Format));
    GuardedPicture Pic(Format, 7, 5);
    Pic.Fill(0, 40);
    Box(Pic, {"5", "3", "9", "9", "81", "90", "240"});
    Box(Pic, {"-1", "-1", "2", "2"});
    const std::vector<int> Red =
        Format == AV_PIX_FMT_RGB24 ? std::vector<int>{255, 0, 0} : std::vector<int>{0, 0, 255};
    for (int Y = 0; Y < 5; ++Y)
      for (int X = 0; X < 7; ++X) {
        SCOPED_TRACE("pixel " + std::to_string(X) + "," + std::to_string(Y));
        if (X < 1 && Y < 1)
          EXPECT_EQ(Pic.Pixel(X, Y), (std::vector<int>{255, 255, 255}));
        else if (X >= 5 && Y >= 3)
          EXPECT_EQ(Pic.Pixel(X, Y), Red);
        else
          EXPECT_EQ(Pic.Pixel(X, Y), (std::vector<int>{40, 40, 40}));
      }
    EXPECT_TRUE(Pic.OutsideUntouched());
  }
}

TEST_F(BoxHookTest, WithoutArgumentsInvertsTheWholePicture) {
  // Planar: the luma plane only.
  GuardedPicture Planar = Yuv(AV_PIX_FMT_YUV420P, 11, 5);
  for (int Y = 0; Y < 5; ++Y)
    for (int X = 0; X < 11; ++X) Planar.At(0, X, Y) = static_cast<uint8_t>(23 * X + 5 * Y);
  Box(Planar, {});
  for (int Y = 0; Y < 5; ++Y)
    for (int X = 0; X < 11; ++X)
      ASSERT_EQ(Planar.At(0, X, Y), 255 - (23 * X + 5 * Y)) << X << "," << Y;
  EXPECT_TRUE(Planar.PlaneIs(1, Nothing, 0, 60));
  EXPECT_TRUE(Planar.PlaneIs(2, Nothing, 0, 70));
  EXPECT_TRUE(Planar.OutsideUntouched());

  // Packed RGB: every component.
  GuardedPicture Packed(AV_PIX_FMT_BGR24, 5, 3);
  for (int Y = 0; Y < 3; ++Y)
    for (int X = 0; X < 15; ++X) Packed.At(0, X, Y) = static_cast<uint8_t>(17 * X + Y);
  Box(Packed, {});
  for (int Y = 0; Y < 3; ++Y)
    for (int X = 0; X < 15; ++X)
      ASSERT_EQ(Packed.At(0, X, Y), 255 - (17 * X + Y)) << X << "," << Y;
  EXPECT_TRUE(Packed.OutsideUntouched());
}

TEST_F(BoxHookTest, LeavesOtherPixelFormatsUnchanged) {
  for (AVPixelFormat Format : {AV_PIX_FMT_NV12, AV_PIX_FMT_GRAY8, AV_PIX_FMT_RGBA}) {
    for (const std::vector<std::string>& Args :
         {std::vector<std::string>{}, std::vector<std::string>{"0", "0", "4", "4"}}) {
      SCOPED_TRACE(std::string(ff::av_get_pix_fmt_name(Format)) + " with " +
                   std::to_string(Args.size()) + " arguments");
      GuardedPicture Pic(Format, 8, 6);
      for (int P = 0; P < Pic.PlaneCount(); ++P) Pic.Fill(P, static_cast<uint8_t>(30 + P));
      const auto Before = Pic.Snapshot();
      Box(Pic, Args);
      EXPECT_EQ(Pic.Snapshot(), Before);
    }
  }
}

TEST_F(BoxHookTest, ConfigureRejectsBadArgumentsAndAcceptsGoodOnes) {
  const std::vector<std::vector<std::string>> Bad = {
      {"1"},
      {"1", "2", "3"},
      {"1", "2", "3", "4", "5"},
      {"1", "2", "3", "4", "5", "6"},
      {"1", "2", "3", "4", "5", "6", "7", "8"},
      {"a", "2", "3", "4"},
      {"1", "2", "3x", "4"},
      {"1", "2", "", "4"},
      {"1", "2", " 3", "4"},
      {"1.5", "2", "3", "4"},
      {"1", "2", "-3", "4"},
      {"1", "2", "3", "-1"},
      {"1", "2", "3", "4", "256", "0", "0"},
      {"1", "2", "3", "4", "0", "-1", "0"},
      {"1", "2", "3", "4", "0", "0", "blue"},
      {"2147483648", "2", "3", "4"},
      {"1", "2", "99999999999999999999", "4"},
  };
  const std::string Failed = std::string("Failed to Configure ") + VEXAV_BOX_HOOK + "\n";
  for (const auto& Args : Bad) {
    std::string Joined;
    for (const auto& A : Args) Joined += "[" + A + "]";
    SCOPED_TRACE(Joined);
    std::vector<std::string> Full = Args;
    Full.insert(Full.begin(), VEXAV_BOX_HOOK);
    {
      std::lock_guard<std::mutex> Guard(LogMutex);
      LogLines.clear();
    }
    EXPECT_EQ(Add(Full), HookConfigureFailed);
    EXPECT_EQ(Chain, nullptr);
    EXPECT_TRUE(Logged(Failed)) << LogText();
  }

  const std::vector<std::vector<std::string>> Good = {
      {},
      {"0", "0", "0", "0"},
      {"+1", "-2", "3", "4"},
      {"1", "2", "3", "4", "0", "255", "16"},
  };
  for (const auto& Args : Good) {
    std::vector<std::string> Full = Args;
    Full.insert(Full.begin(), VEXAV_BOX_HOOK);
    EXPECT_EQ(Add(Full), 0) << Args.size() << " arguments: " << LogText();
  }
  EXPECT_EQ(Length(Chain), static_cast<int>(Good.size()));
}

// ---------------------------------------------------------------------------
// Loading and result codes

TEST_F(FrameHookTest, UnloadableLibraryReturnsMinusOneWithTheLoaderText) {
  const std::string Missing = ::testing::TempDir() + "/no-such-folder/libnothing.so";
  const std::string NotElf = ::testing::TempDir() + "/vexav-not-a-library.so";
  std::ofstream(NotElf) << "this is text, not a shared object\n";

  for (const std::string& Path : {Missing, NotElf}) {
    SCOPED_TRACE(Path);
    ::dlerror();
    ASSERT_EQ(::dlopen(Path.c_str(), RTLD_NOW | RTLD_LOCAL), nullptr);
    const std::string LoaderText = ::dlerror();
    EXPECT_EQ(Add({Path}), HookLoadFailed);
    EXPECT_EQ(Chain, nullptr);
    EXPECT_TRUE(Logged(LoaderText + "\n")) << LogText();
  }
  std::remove(NotElf.c_str());
}

TEST_F(FrameHookTest, MissingPathOrEntryPointReturnsMinusTwo) {
  // No library path at all.
  std::vector<char*> None{nullptr};
  EXPECT_EQ(AddFrameHook(Chain, 0, None.data()), HookBadEntryPoints);
  EXPECT_EQ(AddFrameHook(Chain, 1, nullptr), HookBadEntryPoints);
  EXPECT_EQ(AddFrameHook(Chain, 1, None.data()), HookBadEntryPoints);

  // No Process: rejected before Configure runs, with or without arguments.
  HookLibrary NoProcess(VEXAV_NO_PROCESS_HOOK);
  ASSERT_TRUE(NoProcess.Loaded());
  const int CallsBefore = NoProcess.Counter("NoProcessHookCalls");
  EXPECT_EQ(Add({VEXAV_NO_PROCESS_HOOK}), HookBadEntryPoints);
  EXPECT_EQ(Add({VEXAV_NO_PROCESS_HOOK, "1"}), HookBadEntryPoints);
  EXPECT_EQ(NoProcess.Counter("NoProcessHookCalls"), CallsBefore);
  EXPECT_TRUE(Logged(std::string("Failed to find Process entrypoint in ") +
                     VEXAV_NO_PROCESS_HOOK + "\n"))
      << LogText();

  // No Configure while arguments are given.
  EXPECT_EQ(Add({VEXAV_PROCESS_ONLY_HOOK, "1", "2"}), HookBadEntryPoints);
  EXPECT_TRUE(Logged(std::string("Failed to find Configure entrypoint in ") +
                     VEXAV_PROCESS_ONLY_HOOK + "\n"))
      << LogText();
  EXPECT_EQ(Chain, nullptr);
}

TEST_F(FrameHookTest, FailingConfigureReturnsMinus22AndLeavesNothingChained) {
  HookLibrary Failing(VEXAV_FAILING_CONFIGURE_HOOK);
  ASSERT_TRUE(Failing.Loaded());
  const int ConfigureBefore = Failing.Counter("FailingHookConfigureCalls");
  const int OtherBefore = Failing.Counter("FailingHookOtherCalls");

  // Configure runs even without arguments when the library has one.
  EXPECT_EQ(Add({VEXAV_FAILING_CONFIGURE_HOOK}), HookConfigureFailed);
  EXPECT_EQ(Add({VEXAV_FAILING_CONFIGURE_HOOK, "x"}), HookConfigureFailed);
  EXPECT_EQ(Chain, nullptr);
  EXPECT_EQ(Failing.Counter("FailingHookConfigureCalls"), ConfigureBefore + 2);
  EXPECT_TRUE(Logged(std::string("Failed to Configure ") + VEXAV_FAILING_CONFIGURE_HOOK + "\n"))
      << LogText();

  // A failed hook in the middle leaves the chain as it was.
  ASSERT_EQ(Add({VEXAV_PROCESS_ONLY_HOOK}), 0);
  EXPECT_EQ(Add({VEXAV_FAILING_CONFIGURE_HOOK}), HookConfigureFailed);
  ASSERT_EQ(Add({VEXAV_PROCESS_ONLY_HOOK}), 0);
  EXPECT_EQ(Length(Chain), 2);
  GuardedPicture Pic(AV_PIX_FMT_YUV420P, 8, 4);
  Run(Pic);
  ReleaseFrameHooks(Chain);
  EXPECT_EQ(Pic.Tape(), "PP");
  EXPECT_EQ(Failing.Counter("FailingHookOtherCalls"), OtherBefore);
}

TEST_F(FrameHookTest, HookWithoutConfigureRunsWithoutArguments) {
  HookLibrary ProcessOnly(VEXAV_PROCESS_ONLY_HOOK);
  ASSERT_TRUE(ProcessOnly.Loaded());
  const int Before = ProcessOnly.Counter("ProcessOnlyHookCalls");
  ASSERT_EQ(Add({VEXAV_PROCESS_ONLY_HOOK}), 0) << LogText();
  ASSERT_NE(Chain, nullptr);
  EXPECT_EQ(Chain->Configure, nullptr);
  EXPECT_EQ(Chain->Release, nullptr);
  EXPECT_EQ(Chain->ctx, nullptr);

  GuardedPicture Pic(AV_PIX_FMT_YUV420P, 8, 4);
  Run(Pic);
  Run(Pic);
  EXPECT_EQ(Pic.Tape(), "PP");
  EXPECT_EQ(ProcessOnly.Counter("ProcessOnlyHookCalls"), Before + 2);
  EXPECT_TRUE(CapturedLog().empty()) << LogText();
}

// ---------------------------------------------------------------------------
// The chain

TEST_F(FrameHookTest, HooksWithAndWithoutArgumentsRunInTheOrderAdded) {
  CountingHook Counting;
  ASSERT_TRUE(Counting.Loaded());
  ASSERT_EQ(Add({VEXAV_COUNTING_HOOK, "x", "first"}), 0);
  ASSERT_EQ(Add({VEXAV_PROCESS_ONLY_HOOK}), 0);
  ASSERT_EQ(Add({VEXAV_COUNTING_HOOK}), 0);
  ASSERT_EQ(Add({VEXAV_COUNTING_HOOK, "y"}), 0);
  EXPECT_EQ(Length(Chain), 4);

  GuardedPicture Pic(AV_PIX_FMT_YUV420P, 16, 4);
  Run(Pic);
  EXPECT_EQ(Pic.Tape(), "xPCy");
  Run(Pic);
  EXPECT_EQ(Pic.Tape(), "xPCyxPCy");

  // Each Configure saw its own arguments, the library path first.
  const CountingHookStatsData& S = Counting.Stats();
  ASSERT_EQ(S.configure_calls, 3);
  EXPECT_EQ(S.contexts[0].argc, 3);
  EXPECT_STREQ(S.contexts[0].argv, VEXAV_COUNTING_HOOK "|x|first");
  EXPECT_EQ(S.contexts[1].argc, 1);
  EXPECT_STREQ(S.contexts[1].argv, VEXAV_COUNTING_HOOK);
  EXPECT_EQ(S.contexts[2].argc, 2);
  EXPECT_STREQ(S.contexts[2].argv, VEXAV_COUNTING_HOOK "|y");
}

TEST_F(FrameHookTest, BoxThenInvertDiffersFromInvertThenBox) {
  TFrameHookEntry* InvertFirst = nullptr;
  ASSERT_EQ(Add({VEXAV_BOX_HOOK, "0", "0", "4", "2"}), 0);
  ASSERT_EQ(Add({VEXAV_BOX_HOOK}), 0);
  ASSERT_EQ(Add(InvertFirst, {VEXAV_BOX_HOOK}), 0);
  ASSERT_EQ(Add(InvertFirst, {VEXAV_BOX_HOOK, "0", "0", "4", "2"}), 0);

  GuardedPicture BoxFirst = Yuv(AV_PIX_FMT_YUV420P, 8, 6);
  GuardedPicture Inverted = Yuv(AV_PIX_FMT_YUV420P, 8, 6);
  Run(Chain, BoxFirst);
  Run(InvertFirst, Inverted);
  ReleaseFrameHooks(InvertFirst);

  EXPECT_TRUE(BoxFirst.PlaneIs(0, {0, 0, 4, 2}, 255 - 235, 255 - 50));
  EXPECT_TRUE(Inverted.PlaneIs(0, {0, 0, 4, 2}, 235, 255 - 50));
  for (GuardedPicture* Pic : {&BoxFirst, &Inverted}) {
    EXPECT_TRUE(Pic->PlaneIs(1, {0, 0, 2, 1}, 128, 60));
    EXPECT_TRUE(Pic->OutsideUntouched());
  }
}

TEST_F(FrameHookTest, TwoHooksFromOneLibraryShareItWithSeparateContexts) {
  CountingHook Counting;
  ASSERT_TRUE(Counting.Loaded());
  ASSERT_EQ(Add({VEXAV_COUNTING_HOOK, "a"}), 0);
  ASSERT_EQ(Add({VEXAV_COUNTING_HOOK, "b"}), 0);
  ASSERT_EQ(Length(Chain), 2);
  TFrameHookEntry* First = Chain;
  TFrameHookEntry* Second = Chain->next;

  // One loaded library: the entry points are the same code, the one the
  // loader hands out for that path.
  void* Loaded = ::dlopen(VEXAV_COUNTING_HOOK, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(Loaded, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(First->Process), ::dlsym(Loaded, "Process"));
  EXPECT_EQ(First->Process, Second->Process);
  EXPECT_EQ(First->Configure, Second->Configure);
  EXPECT_EQ(First->Release, Second->Release);
  ::dlclose(Loaded);

  // Two contexts, each the one its Configure made, each used by its own entry.
  const CountingHookStatsData& S = Counting.Stats();
  ASSERT_EQ(S.configure_calls, 2);
  EXPECT_NE(First->ctx, nullptr);
  EXPECT_NE(First->ctx, Second->ctx);
  EXPECT_EQ(First->ctx, S.contexts[0].ctx);
  EXPECT_EQ(Second->ctx, S.contexts[1].ctx);

  GuardedPicture Pic(AV_PIX_FMT_YUV420P, 8, 4);
  for (int I = 0; I < 3; ++I) Run(Pic);
  EXPECT_EQ(Pic.Tape(), "ababab");
  EXPECT_EQ(S.process_calls, 6);
  EXPECT_EQ(S.contexts[0].processed, 3);
  EXPECT_EQ(S.contexts[1].processed, 3);
}

TEST_F(FrameHookTest, OneLibraryIsLoadedOncePerProcess) {
  // In a fresh process: after two hooks from one library, dropping the test's
  // own reference and one more leaves it unloaded only if the chain loaded it
  // once.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto LoadTwiceThenDropOneReference = [this] {
    if (Add({VEXAV_PROCESS_ONLY_HOOK}) != 0 || Add({VEXAV_PROCESS_ONLY_HOOK}) != 0)
      std::_Exit(3);
    void* Handle = ::dlopen(VEXAV_PROCESS_ONLY_HOOK, RTLD_NOW | RTLD_NOLOAD);
    if (!Handle) std::_Exit(4);
    ::dlclose(Handle);
    ::dlclose(Handle);
    std::_Exit(::dlopen(VEXAV_PROCESS_ONLY_HOOK, RTLD_NOW | RTLD_NOLOAD) ? 1 : 0);
  };
  EXPECT_EXIT(LoadTwiceThenDropOneReference(), ::testing::ExitedWithCode(0), "");
}

TEST_F(FrameHookTest, ReleaseCallsEachReleaseOnceAndEmptiesTheChain) {
  CountingHook Counting;
  ASSERT_TRUE(Counting.Loaded());
  ASSERT_EQ(Add({VEXAV_COUNTING_HOOK, "a"}), 0);
  ASSERT_EQ(Add({VEXAV_PROCESS_ONLY_HOOK}), 0);
  ASSERT_EQ(Add({VEXAV_COUNTING_HOOK, "b"}), 0);
  ASSERT_EQ(Add({VEXAV_COUNTING_HOOK, "fail"}), HookConfigureFailed);

  const CountingHookStatsData& S = Counting.Stats();
  ReleaseFrameHooks(Chain);
  EXPECT_EQ(Chain, nullptr);
  EXPECT_EQ(S.release_calls, 2);
  EXPECT_EQ(S.contexts[0].released, 1);
  EXPECT_EQ(S.contexts[1].released, 1);

  ReleaseFrameHooks(Chain);
  EXPECT_EQ(S.release_calls, 2);

  // An emptied chain takes new hooks, from the same library still loaded.
  ASSERT_EQ(Add({VEXAV_COUNTING_HOOK, "c"}), 0);
  EXPECT_EQ(Length(Chain), 1);
  GuardedPicture Pic(AV_PIX_FMT_YUV420P, 8, 4);
  Run(Pic);
  EXPECT_EQ(Pic.Tape(), "c");
}

// ---------------------------------------------------------------------------
// PATH

TEST_F(FrameHookTest, HookFolderGoesInFrontOfPathOnce) {
  const std::string TestHooks = FolderOf(VEXAV_COUNTING_HOOK);
  const std::string OwnHooks = FolderOf(VEXAV_BOX_HOOK);
  ASSERT_NE(Upper(TestHooks), Upper(OwnHooks));
  ASSERT_EQ(FolderOf(VEXAV_PROCESS_ONLY_HOOK), TestHooks);

  ::setenv("PATH", "/usr/local/bin:/usr/bin", 1);
  ASSERT_EQ(Add({VEXAV_COUNTING_HOOK}), 0);
  EXPECT_STREQ(std::getenv("PATH"), (TestHooks + ":/usr/local/bin:/usr/bin").c_str());

  // Once: a second hook from that folder leaves PATH alone.
  ASSERT_EQ(Add({VEXAV_PROCESS_ONLY_HOOK}), 0);
  EXPECT_STREQ(std::getenv("PATH"), (TestHooks + ":/usr/local/bin:/usr/bin").c_str());

  // Another folder goes in front of everything.
  ASSERT_EQ(Add({VEXAV_BOX_HOOK}), 0);
  EXPECT_STREQ(std::getenv("PATH"),
               (OwnHooks + ":" + TestHooks + ":/usr/local/bin:/usr/bin").c_str());

  // The folder found in another letter case counts as present.
  const std::string Mixed = "/bin:" + Upper(TestHooks) + ":/usr/bin";
  ::setenv("PATH", Mixed.c_str(), 1);
  ASSERT_EQ(Add({VEXAV_PROCESS_ONLY_HOOK}), 0);
  EXPECT_STREQ(std::getenv("PATH"), Mixed.c_str());

  // Without PATH, the folder becomes all of it.
  ::unsetenv("PATH");
  ASSERT_EQ(Add({VEXAV_PROCESS_ONLY_HOOK}), 0);
  ASSERT_NE(std::getenv("PATH"), nullptr);
  EXPECT_STREQ(std::getenv("PATH"), TestHooks.c_str());
}

// ---------------------------------------------------------------------------
// Hooks named without a folder

TEST_F(FrameHookTest, ANameWithoutAFolderIsLookedForInTheLibraryFolderFirst) {
  namespace fs = std::filesystem;
  // The program's library folder holds a hook (as the installed folder
  // does) but no media library: those come through the system's path.
  char Template[] = "/tmp/vexav-hook-folder-XXXXXX";
  ASSERT_NE(::mkdtemp(Template), nullptr);
  const fs::path Folder = Template;
  const std::string Name = "libvexav-test-nearby-hook.so";
  fs::copy_file(VEXAV_PROCESS_ONLY_HOOK, Folder / Name);

  // The set bound without a folder: the name goes to the system's search
  // path alone, which does not hold it.
  EXPECT_EQ(Add({Name}), HookLoadFailed);
  EXPECT_EQ(Chain, nullptr);

  UnloadFFmpegLibs();
  ASSERT_TRUE(LoadFFmpegLibs(Folder.string(), true)) << LastLoadError();
  ff::av_log_set_callback(CaptureLog);
  ASSERT_EQ(Add({Name}), 0) << LogText();
  ASSERT_NE(Chain, nullptr);
  Dl_info Info{};
  ASSERT_NE(::dladdr(reinterpret_cast<void*>(Chain->Process), &Info), 0);
  EXPECT_EQ(std::string(Info.dli_fname), (Folder / Name).string());

  // A name the folder does not hold still goes through the system's path.
  EXPECT_EQ(Add({"libvexav-test-no-such-hook.so"}), HookLoadFailed);
  EXPECT_NE(LogText().find("libvexav-test-no-such-hook.so"), std::string::npos) << LogText();
  EXPECT_EQ(Length(Chain), 1);
  ReleaseFrameHooks(Chain);
  fs::remove_all(Folder);
}

}  // namespace
}  // namespace vexav
