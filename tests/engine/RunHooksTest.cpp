// Frame hooks and filter graphs in real runs, checked on the decoded output
// pictures: the project's box hook library through "vhook" (every picture,
// switched by a before hook, by time ranges), the application's custom hook
// (painting, AUpdate, a BGR24 source, a throwing handler) and "vfilters"
// (mirroring, resizing, the inserted scale filter, refused chains).
#include <atomic>
#include <cmath>
#include <stdexcept>

#include "RunTestSupport.h"

namespace vexav::test {
namespace {

constexpr const char* BoxHookPath = VEXAV_BOX_HOOK;

// A box of white (Y 235) over pixels (0, 0) to (63, 47) of every picture.
std::string BoxHook() { return std::string(BoxHookPath) + " 0 0 64 48"; }

mediagen::MediaRequest SourceMedia(int Width, int Height, double Seconds) {
  mediagen::MediaRequest S;
  S.Width = Width;
  S.Height = Height;
  S.DurationSeconds = Seconds;
  S.Audio = mediagen::AudioCodec::None;
  S.MarkSeconds = {};
  return S;
}

std::string Source() { return Media("hooks-320x240.avi", SourceMedia(320, 240, 2.0)); }

// What the output's pictures show: the mean luma of the top-left and the
// top-right 64 x 48 corner, and the picture's size and time.
struct TOutPicture {
  int64_t PtsUs = 0;
  int Width = 0, Height = 0;
  double TopLeft = 0, TopRight = 0;
  // The 24 x 16 pixels at the top right.
  double TopRightCorner = 0;
};

struct TOutPictures {
  std::string Error;
  std::vector<TOutPicture> Pictures;
};

double MeanLuma(const AVFrame* F, int X0, int Y0, int W, int H) {
  double Sum = 0;
  for (int Y = Y0; Y < Y0 + H; ++Y)
    for (int X = X0; X < X0 + W; ++X) Sum += F->data[0][static_cast<std::ptrdiff_t>(Y) * F->linesize[0] + X];
  return Sum / (W * H);
}

TOutPictures DecodePictures(const std::string& Path) {
  TOutPictures Result;
  InputFormatPtr File = OpenMediaFile(Path, Result.Error);
  if (!File) return Result;
  int Index = -1;
  for (unsigned I = 0; I < File->nb_streams; ++I)
    if (File->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) Index = static_cast<int>(I);
  if (Index < 0) {
    Result.Error = "no video";
    return Result;
  }
  AVStream* Stream = File->streams[Index];
  const AVCodec* Decoder = ff::avcodec_find_decoder(Stream->codecpar->codec_id);
  CodecContextPtr Dec(ff::avcodec_alloc_context3(Decoder));
  if (!Decoder || !Dec || ff::avcodec_parameters_to_context(Dec.get(), Stream->codecpar) < 0 ||
      ff::avcodec_open2(Dec.get(), Decoder, nullptr) < 0) {
    Result.Error = "no decoder";
    return Result;
  }
  PacketPtr Packet(ff::av_packet_alloc());
  FramePtr Frame(ff::av_frame_alloc());
  const int64_t Start = File->start_time == AV_NOPTS_VALUE ? 0 : File->start_time;
  auto Take = [&]() {
    while (ff::avcodec_receive_frame(Dec.get(), Frame.get()) >= 0) {
      TOutPicture P;
      P.Width = Frame->width;
      P.Height = Frame->height;
      const int64_t Ts = Frame->best_effort_timestamp;
      P.PtsUs = Ts == AV_NOPTS_VALUE ? -1 : ff::av_rescale_q(Ts, Stream->time_base, AVRational{1, 1000000}) - Start;
      if (Frame->width >= 64 && Frame->height >= 48) {
        P.TopLeft = MeanLuma(Frame.get(), 0, 0, 64, 48);
        P.TopRight = MeanLuma(Frame.get(), Frame->width - 64, 0, 64, 48);
        P.TopRightCorner = MeanLuma(Frame.get(), Frame->width - 24, 0, 24, 16);
      }
      Result.Pictures.push_back(P);
      ff::av_frame_unref(Frame.get());
    }
  };
  while (ff::av_read_frame(File.get(), Packet.get()) >= 0) {
    if (Packet->stream_index == Index && ff::avcodec_send_packet(Dec.get(), Packet.get()) >= 0) Take();
    ff::av_packet_unref(Packet.get());
  }
  ff::avcodec_send_packet(Dec.get(), nullptr);
  Take();
  return Result;
}

bool Boxed(double Luma) { return Luma > 220.0; }

// MPEG-4 at the source's rate, no sound: quick to encode, exact to decode.
TOptionList Mpeg4(TOptionList More = {}) {
  TOptionList L{{"vcodec", "mpeg4"}, {"qscale", "2"}, {"r", "25"}, {"an", ""}};
  L.insert(L.end(), More.begin(), More.end());
  return L;
}

// A run as the component drives it, with Prepare called on the engine
// before the options (to bind hook handlers or set hook ranges).
void RunWith(const TRunRequest& Request, const std::function<void(TCustomFFmpeg&)>& Prepare, TRunRecord& Record) {
  TCustomFFmpeg E;
  E.InitOptions();
  E.OnLog = [&Record](TCustomFFmpeg&, int Level, const std::string& Text) {
    std::lock_guard<std::mutex> Guard(Record.Lock);
    Record.Log.push_back({Level, Text});
  };
  E.OnTerminate = [&Record](TCustomFFmpeg& Sender) {
    Record.Finished = Sender.Finished;
    Record.ExceptionRaised = Sender.ExceptionRaised;
    Record.ErrorMessage = Sender.ErrorMessage;
    ++Record.Terminations;
  };
  if (Prepare) Prepare(E);
  try {
    for (const auto& [Name, Value] : Request.InputOptions) E.SetOption(Name, Value);
    if (!E.OpenInputFile(Request.Input)) {
      Record.OpenError = E.LastError;
      return;
    }
    for (const auto& [Name, Value] : Request.OutputOptions) E.SetOption(Name, Value);
    if (!E.OpenOutputFile(Request.Output)) {
      Record.OpenError = E.LastError;
      return;
    }
  } catch (const std::exception& Error) {
    Record.OpenError = Error.what();
    return;
  }
  Record.Opened = true;
  TFFmpegThread* Thread = E.Start(Request.Threaded);
  if (Thread) Thread->Resume();
  E.WaitForRun();
  EXPECT_EQ(E.HookImage(), nullptr) << "the hook image outlived the run";
}

TOutPictures RunAndDecode(const std::string& Input, const TOptionList& Options,
                          const std::function<void(TCustomFFmpeg&)>& Prepare, TRunRecord& R,
                          const std::string& Name = "out.avi") {
  const std::string Output = OutPath(Name);
  RunWith(Req({}, Input, Options, Output), Prepare, R);
  EXPECT_TRUE(R.Opened) << R.OpenError;
  EXPECT_TRUE(R.Finished) << R.ErrorMessage << "\n" << R.LogText();
  EXPECT_EQ(R.Terminations, 1);
  return DecodePictures(Output);
}

class RunHooksTest : public RunTest {};

TEST_F(RunHooksTest, BoxHookLibraryPaintsEveryPicture) {
  TRunRecord R;
  const TOutPictures Out = RunAndDecode(Source(), Mpeg4({{"vhook", BoxHook()}}), {}, R);
  ASSERT_EQ(Out.Error, "");
  ASSERT_EQ(Out.Pictures.size(), 50u);
  for (const TOutPicture& P : Out.Pictures) {
    EXPECT_TRUE(Boxed(P.TopLeft)) << P.PtsUs << " " << P.TopLeft;
    EXPECT_FALSE(Boxed(P.TopRight)) << P.PtsUs;
  }
}

TEST_F(RunHooksTest, WithoutHooksNoPictureHasTheBox) {
  TRunRecord R;
  const TOutPictures Out = RunAndDecode(Source(), Mpeg4(), {}, R);
  ASSERT_EQ(Out.Pictures.size(), 50u);
  for (const TOutPicture& P : Out.Pictures) EXPECT_FALSE(Boxed(P.TopLeft)) << P.PtsUs;
}

TEST_F(RunHooksTest, BeforeHookAnsweringIgnoreKeepsEveryPictureAndIsAskedOncePerPicture) {
  TRunRecord R;
  std::atomic<int> Calls{0};
  std::vector<int64_t> Times;
  const TOutPictures Out = RunAndDecode(Source(), Mpeg4({{"vhook", BoxHook()}}),
                                        [&](TCustomFFmpeg& E) {
                                          E.OnBeforeHook = [&](TCustomFFmpeg&, int64_t Pts, THookAction& A) {
                                            ++Calls;
                                            Times.push_back(Pts);
                                            A = THookAction::haIgnore;
                                          };
                                        },
                                        R);
  ASSERT_EQ(Out.Pictures.size(), 50u);
  EXPECT_EQ(Calls, 50);
  ASSERT_EQ(Times.size(), 50u);
  EXPECT_EQ(Times[1] - Times[0], 40000);
  for (const TOutPicture& P : Out.Pictures) EXPECT_FALSE(Boxed(P.TopLeft)) << P.PtsUs;
}

TEST_F(RunHooksTest, OneStopFromTheBeforeHookEndsHookingForGood) {
  TRunRecord R;
  int Calls = 0;
  const TOutPictures Out = RunAndDecode(Source(), Mpeg4({{"vhook", BoxHook()}}),
                                        [&](TCustomFFmpeg& E) {
                                          E.OnBeforeHook = [&](TCustomFFmpeg&, int64_t, THookAction& A) {
                                            ++Calls;
                                            A = Calls == 10 ? THookAction::haStop : THookAction::haContinue;
                                          };
                                        },
                                        R);
  ASSERT_EQ(Out.Pictures.size(), 50u);
  EXPECT_EQ(Calls, 10);
  for (std::size_t I = 0; I < Out.Pictures.size(); ++I)
    EXPECT_EQ(Boxed(Out.Pictures[I].TopLeft), I < 9) << I;
}

TEST_F(RunHooksTest, ThrowingBeforeHookStopsHookingButNotTheRun) {
  TRunRecord R;
  int Calls = 0;
  const TOutPictures Out = RunAndDecode(Source(), Mpeg4({{"vhook", BoxHook()}}),
                                        [&](TCustomFFmpeg& E) {
                                          E.OnBeforeHook = [&](TCustomFFmpeg&, int64_t, THookAction&) {
                                            if (++Calls == 5) throw std::runtime_error("before boom");
                                          };
                                        },
                                        R);
  ASSERT_EQ(Out.Pictures.size(), 50u);
  EXPECT_EQ(Calls, 5);
  EXPECT_TRUE(R.Logged("Error occurs OnBeforeHook: before boom")) << R.LogText();
  for (std::size_t I = 0; I < Out.Pictures.size(); ++I) EXPECT_EQ(Boxed(Out.Pictures[I].TopLeft), I < 4) << I;
}

TEST_F(RunHooksTest, RangeOneToTwoSecondsHooksExactlyThosePictures) {
  const std::string Input = Media("hooks-3s.avi", SourceMedia(320, 240, 3.0));
  TRunRecord R;
  const TOutPictures Out = RunAndDecode(Input, Mpeg4({{"vhook", BoxHook()}}),
                                        [](TCustomFFmpeg& E) { E.SetHookRanges({{1000000, 2000000}}); }, R);
  ASSERT_EQ(Out.Pictures.size(), 75u);
  int Hooked = 0;
  for (const TOutPicture& P : Out.Pictures) {
    const bool Inside = P.PtsUs >= 1000000 && P.PtsUs <= 2000000;
    EXPECT_EQ(Boxed(P.TopLeft), Inside) << P.PtsUs;
    Hooked += Boxed(P.TopLeft);
  }
  EXPECT_EQ(Hooked, 26);  // 1.00 s to 2.00 s at 25 pictures a second
}

TEST_F(RunHooksTest, RangesGivenOutOfOrderAreSortedByTheirEnds) {
  TCustomFFmpeg E;
  E.HookRangeIndex = 3;
  E.SetHookRanges({{2000000, 2400000}, {400000, 800000}, {0, 800000}});
  ASSERT_EQ(E.HookRangeList.size(), 3u);
  EXPECT_EQ(E.HookRangeList[0].Start, 400000);  // equal ends keep their order
  EXPECT_EQ(E.HookRangeList[1].Start, 0);
  EXPECT_EQ(E.HookRangeList[2].End, 2400000);
  EXPECT_EQ(E.HookRangeIndex, 0);

  const std::string Input = Media("hooks-3s.avi", SourceMedia(320, 240, 3.0));
  TRunRecord R;
  const TOutPictures Out =
      RunAndDecode(Input, Mpeg4({{"vhook", BoxHook()}}),
                   [](TCustomFFmpeg& En) { En.SetHookRanges({{2000000, 2400000}, {400000, 800000}}); }, R);
  ASSERT_EQ(Out.Pictures.size(), 75u);
  for (const TOutPicture& P : Out.Pictures) {
    const bool Inside = (P.PtsUs >= 400000 && P.PtsUs <= 800000) || (P.PtsUs >= 2000000 && P.PtsUs <= 2400000);
    EXPECT_EQ(Boxed(P.TopLeft), Inside) << P.PtsUs;
  }
}

// A custom hook painting the top-left box white.
void PaintBox(TCustomFFmpeg& E, bool Update, std::atomic<int>* Calls = nullptr) {
  E.OnCustomHook = [Update, Calls](TCustomFFmpeg&, THookBitmap& B, int FrameNumber, int64_t, bool& U, bool&) {
    EXPECT_TRUE(B.Locked());
    EXPECT_GE(FrameNumber, 1);
    B.FillRect(0, 0, 64, 48, 255, 255, 255);
    U = Update;
    if (Calls) ++*Calls;
  };
}

TEST_F(RunHooksTest, CustomHookPaintingAppearsInTheOutput) {
  TRunRecord R;
  std::atomic<int> Calls{0};
  const TOutPictures Out = RunAndDecode(Source(), Mpeg4(), [&](TCustomFFmpeg& E) { PaintBox(E, true, &Calls); }, R);
  ASSERT_EQ(Out.Pictures.size(), 50u);
  EXPECT_EQ(Calls, 50);
  for (const TOutPicture& P : Out.Pictures) {
    EXPECT_TRUE(Boxed(P.TopLeft)) << P.PtsUs << " " << P.TopLeft;
    EXPECT_FALSE(Boxed(P.TopRight));
  }
}

TEST_F(RunHooksTest, CustomHookWithoutUpdateLeavesPicturesAsDecoded) {
  TRunRecord R;
  const TOutPictures Out = RunAndDecode(Source(), Mpeg4(), [](TCustomFFmpeg& E) { PaintBox(E, false); }, R);
  ASSERT_EQ(Out.Pictures.size(), 50u);
  for (const TOutPicture& P : Out.Pictures) EXPECT_FALSE(Boxed(P.TopLeft)) << P.PtsUs;
}

TEST_F(RunHooksTest, CustomHookOnABgr24Source) {
  mediagen::MediaRequest S = SourceMedia(160, 120, 1.0);
  S.Video = mediagen::VideoCodec::Raw;
  S.RawPixelFormat = "bgr24";
  const std::string Input = Media("hooks-bgr24.avi", S);
  TRunRecord R;
  int FirstPixel = -1;
  const TOutPictures Out = RunAndDecode(Input, Mpeg4(),
                                        [&](TCustomFFmpeg& E) {
                                          E.OnCustomHook = [&](TCustomFFmpeg&, THookBitmap& B, int, int64_t, bool&,
                                                               bool&) {
                                            EXPECT_EQ(B.Width(), 160);
                                            EXPECT_EQ(B.Height(), 120);
                                            FirstPixel = B.ScanLine(0)[0];
                                            B.FillRect(0, 0, 64, 48, 255, 255, 255);
                                          };
                                        },
                                        R);
  ASSERT_EQ(Out.Pictures.size(), 25u);
  EXPECT_GE(FirstPixel, 0);
  EXPECT_LT(FirstPixel, 200);  // the dark picture itself reached the hook
  for (const TOutPicture& P : Out.Pictures) {
    EXPECT_TRUE(Boxed(P.TopLeft)) << P.PtsUs << " " << P.TopLeft;
    EXPECT_FALSE(Boxed(P.TopRight));
  }
}

TEST_F(RunHooksTest, ThrowingCustomHookDoesNotEndTheRun) {
  TRunRecord R;
  int Calls = 0;
  const TOutPictures Out = RunAndDecode(Source(), Mpeg4(),
                                        [&](TCustomFFmpeg& E) {
                                          E.OnCustomHook = [&](TCustomFFmpeg&, THookBitmap& B, int, int64_t, bool&,
                                                               bool&) {
                                            B.FillRect(0, 0, 64, 48, 255, 255, 255);
                                            if (++Calls % 2 == 0) throw std::runtime_error("custom boom");
                                          };
                                        },
                                        R);
  ASSERT_EQ(Out.Pictures.size(), 50u);
  EXPECT_EQ(Calls, 50);
  EXPECT_TRUE(R.Logged("Error occurs OnCustomHook: custom boom")) << R.LogText();
  // Each throwing call skipped the write-back of its picture only.
  for (std::size_t I = 0; I < Out.Pictures.size(); ++I) EXPECT_EQ(Boxed(Out.Pictures[I].TopLeft), I % 2 == 0) << I;
}

TEST_F(RunHooksTest, CustomHookStopHookEndsTheCalls) {
  TRunRecord R;
  int Calls = 0;
  const TOutPictures Out = RunAndDecode(Source(), Mpeg4(),
                                        [&](TCustomFFmpeg& E) {
                                          E.OnCustomHook = [&](TCustomFFmpeg&, THookBitmap& B, int, int64_t, bool&,
                                                               bool& Stop) {
                                            B.FillRect(0, 0, 64, 48, 255, 255, 255);
                                            Stop = ++Calls == 3;
                                          };
                                        },
                                        R);
  ASSERT_EQ(Out.Pictures.size(), 50u);
  EXPECT_EQ(Calls, 3);
  for (std::size_t I = 0; I < Out.Pictures.size(); ++I) EXPECT_EQ(Boxed(Out.Pictures[I].TopLeft), I < 3) << I;
}

TEST_F(RunHooksTest, CopyingVideoIsRefusedWithAHook) {
  TRunRecord R;
  RunWith(Req({}, Source(), {{"vcodec", "copy"}, {"an", ""}}, OutPath("copy.avi")),
          [](TCustomFFmpeg& E) { PaintBox(E, true); }, R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_FALSE(R.Finished);
  EXPECT_EQ(R.ErrorMessage, "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
  TRunRecord R2;
  RunWith(Req({}, Source(), {{"vhook", BoxHook()}, {"vcodec", "copy"}, {"an", ""}}, OutPath("copy2.avi")), {}, R2);
  EXPECT_EQ(R2.ErrorMessage, "-vcodec copy and -vhook are incompatible (frames are not decoded)");
}

TEST_F(RunHooksTest, HookLibraryThatDoesNotLoadGivesTheOptionsError) {
  TRunRecord R;
  RunWith(Req({}, Source(), Mpeg4({{"vhook", "/nonexistent/libnothing.so 1 2"}}), OutPath("x.avi")), {}, R);
  EXPECT_FALSE(R.Opened);
  EXPECT_EQ(R.OpenError, "Failed to add video hook function: /nonexistent/libnothing.so 1 2");
  TRunRecord R2;
  RunWith(Req({}, Source(), Mpeg4({{"vhook", std::string(BoxHookPath) + " 1 2"}}), OutPath("y.avi")), {}, R2);
  EXPECT_FALSE(R2.Opened);
  EXPECT_EQ(R2.OpenError, "Failed to add video hook function: " + std::string(BoxHookPath) + " 1 2");
}

// ---- Filter graphs ----------------------------------------------------------

TEST_F(RunHooksTest, HflipMirrorsTheHookedPicture) {
  TRunRecord R;
  const TOutPictures Out = RunAndDecode(Source(), Mpeg4({{"vhook", BoxHook()}, {"vfilters", "hflip"}}), {}, R);
  ASSERT_EQ(Out.Pictures.size(), 50u);
  for (const TOutPicture& P : Out.Pictures) {
    EXPECT_EQ(P.Width, 320);
    EXPECT_TRUE(Boxed(P.TopRight)) << P.PtsUs << " " << P.TopRight;
    EXPECT_FALSE(Boxed(P.TopLeft)) << P.PtsUs;
  }
  EXPECT_NEAR(static_cast<double>(Out.Pictures[10].PtsUs), 400000.0, 1.0);
}

TEST_F(RunHooksTest, ScaleChainGivesItsSize) {
  const std::string Input = Media("hooks-160x120.avi", SourceMedia(160, 120, 1.0));
  TRunRecord R;
  const TOutPictures Out = RunAndDecode(Input, Mpeg4({{"vfilters", "scale=320:240"}}), {}, R);
  ASSERT_EQ(Out.Pictures.size(), 25u);
  for (const TOutPicture& P : Out.Pictures) {
    EXPECT_EQ(P.Width, 320);
    EXPECT_EQ(P.Height, 240);
  }
  EXPECT_FALSE(R.LoggedContaining("Inserted filter scale")) << R.LogText();
}

TEST_F(RunHooksTest, EncoderSizeOtherThanTheDecodersInsertsAScaleFilter) {
  TRunRecord R;
  const TOutPictures Out =
      RunAndDecode(Source(), Mpeg4({{"s", "160x120"}, {"vhook", BoxHook()}, {"vfilters", "hflip"}}), {}, R);
  ASSERT_EQ(Out.Pictures.size(), 50u);
  EXPECT_TRUE(R.LoggedContaining("Inserted filter scale=160:120")) << R.LogText();
  for (const TOutPicture& P : Out.Pictures) {
    EXPECT_EQ(P.Width, 160);
    EXPECT_EQ(P.Height, 120);
    // The 64 x 48 box became 32 x 24 at the top right.
    EXPECT_TRUE(Boxed(P.TopRightCorner)) << P.PtsUs << " " << P.TopRightCorner;
    EXPECT_FALSE(Boxed(P.TopLeft)) << P.PtsUs;
  }
}

TEST_F(RunHooksTest, ResizingChainWithPaddingIsRefused) {
  TRunRecord R;
  RunWith(Req({}, Source(), Mpeg4({{"padtop", "16"}, {"vfilters", "scale=320:224"}}), OutPath("pad.avi")), {}, R);
  EXPECT_FALSE(R.Opened);
  EXPECT_EQ(R.OpenError,
            "Cannot enable pad options and the filters which resize frame at the same time. (crop, rotate, scale, "
            "transpose, etc.)");
}

TEST_F(RunHooksTest, PaddingAfterANonResizingChain) {
  TRunRecord R;
  const TOutPictures Out =
      RunAndDecode(Source(), Mpeg4({{"s", "320x240"}, {"padtop", "16"}, {"padbottom", "16"}, {"vfilters", "hflip"}}),
                   {}, R);
  ASSERT_EQ(Out.Pictures.size(), 50u);
  // The pad bands come on top of the graph's 320 x 240.
  EXPECT_EQ(Out.Pictures[0].Width, 320);
  EXPECT_EQ(Out.Pictures[0].Height, 272);
}

TEST_F(RunHooksTest, UnparsableChainFailsTheSetup) {
  TRunRecord R;
  RunWith(Req({}, Source(), Mpeg4({{"vfilters", "nosuchfilter=1"}}), OutPath("bad.avi")), {}, R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_FALSE(R.Finished);
  EXPECT_EQ(R.ErrorMessage.rfind("Error opening filters: ", 0), 0u) << R.ErrorMessage;
  EXPECT_GT(R.ErrorMessage.size(), std::string("Error opening filters: ").size());
  TRunRecord R2;
  RunWith(Req({}, Source(), Mpeg4({{"vfilters", "hflip,,["}}), OutPath("bad2.avi")), {}, R2);
  EXPECT_EQ(R2.ErrorMessage.rfind("Error opening filters: ", 0), 0u) << R2.ErrorMessage;
}

TEST_F(RunHooksTest, ThreadedRunsWithGraphAndHooksOneAfterAnother) {
  for (int I = 0; I < 2; ++I) {
    TRunRecord R;
    TRunRequest Request = Req({}, Source(), Mpeg4({{"vfilters", "hflip"}}), OutPath("t.avi"));
    Request.Threaded = true;
    RunWith(Request, [](TCustomFFmpeg& E) { PaintBox(E, true); }, R);
    EXPECT_TRUE(R.Finished) << R.ErrorMessage;
    const TOutPictures Out = DecodePictures(Request.Output);
    ASSERT_EQ(Out.Pictures.size(), 50u);
    EXPECT_TRUE(Boxed(Out.Pictures[7].TopRight));
  }
}

}  // namespace
}  // namespace vexav::test
