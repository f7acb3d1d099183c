#include "RunTestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <future>

#include "MarkFinder.h"
#include "binding/FFmpegLibs.h"
#include "binding/Owners.h"

namespace vexav::test {
namespace {

namespace fs = std::filesystem;

class FolderEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    std::error_code Ignored;
    // VEXAV_KEEP_TEST_FILES keeps the files for a look after a failure.
    if (!Folder.empty() && !std::getenv("VEXAV_KEEP_TEST_FILES")) fs::remove_all(Folder, Ignored);
  }
  static std::string Folder;
};
std::string FolderEnvironment::Folder;

[[maybe_unused]] const auto* const Environment = ::testing::AddGlobalTestEnvironment(new FolderEnvironment);

std::mutex MediaLock;
std::map<std::string, std::string> Generated;

double Seconds(int64_t Value, AVRational Base) {
  return static_cast<double>(Value) * Base.num / Base.den;
}

}  // namespace

std::string TestFolder() {
  std::lock_guard<std::mutex> Guard(MediaLock);
  if (FolderEnvironment::Folder.empty()) {
    char Template[] = "/tmp/vexav-run-test-XXXXXX";
    if (::mkdtemp(Template)) FolderEnvironment::Folder = Template;
  }
  return FolderEnvironment::Folder;
}

std::string Media(const std::string& Name, const mediagen::MediaRequest& Request) {
  const std::string Folder = TestFolder();
  std::lock_guard<std::mutex> Guard(MediaLock);
  auto Found = Generated.find(Name);
  if (Found != Generated.end()) return Found->second;
  const std::string Path = Folder + "/" + Name;
  const std::string Error = mediagen::Generate(Path, Request);
  EXPECT_EQ(Error, "") << Path;
  Generated[Name] = Path;
  return Path;
}

std::string OutPath(const std::string& Name) {
  const auto* Info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string Folder = TestFolder() + "/" + Info->test_suite_name() + "." + Info->name();
  fs::create_directories(Folder);
  return Folder + "/" + Name;
}

bool TRunRecord::Logged(const std::string& Text) const {
  for (const TLogRecord& Line : Log)
    if (Line.Text == Text) return true;
  return false;
}

bool TRunRecord::LoggedContaining(const std::string& Part) const {
  for (const TLogRecord& Line : Log)
    if (Line.Text.find(Part) != std::string::npos) return true;
  return false;
}

std::string TRunRecord::LogText() const {
  std::string All;
  for (const TLogRecord& Line : Log) All += std::to_string(Line.Level) + ": " + Line.Text + "\n";
  return All;
}

void RunConversion(const TRunRequest& Request, TRunRecord& Record) {
  TCustomFFmpeg E;
  E.InitOptions();
  E.OnLog = [&Record](TCustomFFmpeg&, int Level, const std::string& Text) {
    std::lock_guard<std::mutex> Guard(Record.Lock);
    Record.Log.push_back({Level, Text});
  };
  if (!Request.NoProgressHandler) {
    E.OnProgress = [&Record, &Request](TCustomFFmpeg& Sender, const TRunProgress& Report) {
      const TProgressRecord P{Report.FrameNumber,
                              Report.Fps,
                              static_cast<int>(Report.CurrentDurationMs),
                              Report.Quality,
                              Report.BitRate,
                              Report.CurrentSize,
                              static_cast<int>(Report.TotalOutputDurationMs)};
      {
        std::lock_guard<std::mutex> Guard(Record.Lock);
        Record.Progress.push_back(P);
      }
      if (Request.OnProgress) Request.OnProgress(Sender, P);
    };
  }
  E.OnTerminate = [&Record](TCustomFFmpeg& Sender) {
    Record.Finished = Sender.Finished;
    Record.ExceptionRaised = Sender.ExceptionRaised;
    Record.ErrorMessage = Sender.ErrorMessage;
    ++Record.Terminations;
  };
  E.ProgressInterval = Request.ProgressIntervalUs;
  try {
    for (const auto& [Name, Value] : Request.InputOptions) E.SetOption(Name, Value);
    if (!Request.Input.empty() && !E.OpenInputFile(Request.Input)) {
      Record.OpenError = E.LastError;
      return;
    }
    for (const auto& [Name, Value] : Request.OutputOptions) E.SetOption(Name, Value);
    if (!Request.Output.empty() && !E.OpenOutputFile(Request.Output)) {
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
}

int TProbedFile::CountOf(AVMediaType Type) const {
  int N = 0;
  for (const TProbedStream& S : Streams) N += S.Type == Type;
  return N;
}

const TProbedStream* TProbedFile::First(AVMediaType Type) const {
  for (const TProbedStream& S : Streams)
    if (S.Type == Type) return &S;
  return nullptr;
}

InputFormatPtr OpenMediaFile(const std::string& Path, std::string& Error) {
  AVFormatContext* Raw = nullptr;
  if (ff::avformat_open_input(&Raw, Path.c_str(), nullptr, nullptr) < 0) {
    Error = "cannot open " + Path;
    return nullptr;
  }
  InputFormatPtr File(Raw);
  if (ff::avformat_find_stream_info(File.get(), nullptr) < 0) {
    Error = "no stream info";
    return nullptr;
  }
  return File;
}

TProbedFile ProbeFile(const std::string& Path) {
  TProbedFile Result;
  InputFormatPtr File = OpenMediaFile(Path, Result.Error);
  if (!File) return Result;
  Result.Format = File->iformat->name;
  Result.Duration = File->duration != AV_NOPTS_VALUE ? File->duration / 1e6 : 0;
  for (unsigned I = 0; I < File->nb_streams; ++I) {
    const AVStream* S = File->streams[I];
    TProbedStream P;
    P.Type = S->codecpar->codec_type;
    P.Codec = ff::avcodec_get_name(S->codecpar->codec_id);
    P.TimeBase = S->time_base;
    P.RFrameRate = S->r_frame_rate;
    P.AvgFrameRate = S->avg_frame_rate;
    P.Width = S->codecpar->width;
    P.Height = S->codecpar->height;
    P.SampleRate = S->codecpar->sample_rate;
    P.Channels = S->codecpar->ch_layout.nb_channels;
    P.SampleAspect = S->sample_aspect_ratio.num ? S->sample_aspect_ratio : S->codecpar->sample_aspect_ratio;
    P.BitRate = S->codecpar->bit_rate;
    Result.Streams.push_back(P);
  }
  PacketPtr Packet(ff::av_packet_alloc());
  std::vector<bool> Seen(File->nb_streams, false);
  for (;;) {
    const int Ret = ff::av_read_frame(File.get(), Packet.get());
    if (Ret == AVERROR_EOF) break;
    if (Ret < 0) {
      Result.Error = "read error " + std::to_string(Ret);
      break;
    }
    if (Packet->stream_index >= 0 && static_cast<unsigned>(Packet->stream_index) < Result.Streams.size()) {
      TProbedStream& P = Result.Streams[Packet->stream_index];
      const AVRational Base = File->streams[Packet->stream_index]->time_base;
      ++P.Packets;
      if (Packet->flags & AV_PKT_FLAG_KEY) ++P.KeyPackets;
      const int64_t Stamp = Packet->pts != AV_NOPTS_VALUE ? Packet->pts : Packet->dts;
      if (Stamp != AV_NOPTS_VALUE) {
        const double T = Seconds(Stamp, Base);
        const double End = Seconds(Stamp + Packet->duration, Base);
        if (!Seen[Packet->stream_index] || T < P.Start) P.Start = T;
        if (!Seen[Packet->stream_index] || End > P.End) P.End = End;
        Seen[Packet->stream_index] = true;
        P.Times.push_back(T);
      }
    }
    ff::av_packet_unref(Packet.get());
  }
  return Result;
}

namespace {

// Drop >= 0: the first Drop packets of Type are left out. Drop < 0: packet
// number -Drop - 1 of Type is written empty.
std::string CutStart(const std::string& Source, const std::string& Target, AVMediaType Type, int Drop) {
  AVFormatContext* Raw = nullptr;
  if (ff::avformat_open_input(&Raw, Source.c_str(), nullptr, nullptr) < 0) return "cannot open source";
  InputFormatPtr In(Raw);
  if (ff::avformat_find_stream_info(In.get(), nullptr) < 0) return "no stream info";
  AVFormatContext* OutRaw = nullptr;
  if (ff::avformat_alloc_output_context2(&OutRaw, nullptr, nullptr, Target.c_str()) < 0) return "no muxer";
  OutputFormatPtr Out(OutRaw);
  for (unsigned I = 0; I < In->nb_streams; ++I) {
    AVStream* S = ff::avformat_new_stream(Out.get(), nullptr);
    if (!S || ff::avcodec_parameters_copy(S->codecpar, In->streams[I]->codecpar) < 0) return "no stream";
    S->time_base = In->streams[I]->time_base;
  }
  if (ff::avio_open(&Out->pb, Target.c_str(), AVIO_FLAG_WRITE) < 0) return "cannot create target";
  if (ff::avformat_write_header(Out.get(), nullptr) < 0) return "no header";
  PacketPtr Packet(ff::av_packet_alloc());
  int VideoSeen = 0;
  while (ff::av_read_frame(In.get(), Packet.get()) >= 0) {
    const AVStream* S = In->streams[Packet->stream_index];
    const bool Cut = S->codecpar->codec_type == Type;
    if (Cut && Drop < 0 && VideoSeen++ == -Drop - 1) {
      const int64_t Pts = Packet->pts, Dts = Packet->dts, Duration = Packet->duration;
      const int Stream = Packet->stream_index;
      ff::av_packet_unref(Packet.get());
      Packet->pts = Pts;
      Packet->dts = Dts;
      Packet->duration = Duration;
      Packet->stream_index = Stream;
    } else if (Cut && Drop >= 0 && VideoSeen++ < Drop) {
      ff::av_packet_unref(Packet.get());
      continue;
    }
    ff::av_packet_rescale_ts(Packet.get(), S->time_base, Out->streams[Packet->stream_index]->time_base);
    Packet->pos = -1;
    if (ff::av_interleaved_write_frame(Out.get(), Packet.get()) < 0) return "write failed";
  }
  if (ff::av_write_trailer(Out.get()) < 0) return "no trailer";
  return "";
}

}  // namespace

std::string CutVideoStart(const std::string& Source, const std::string& Target, int DropVideoPackets) {
  return CutStart(Source, Target, AVMEDIA_TYPE_VIDEO, DropVideoPackets);
}

std::string EmptyVideoPacket(const std::string& Source, const std::string& Target, int Index) {
  return CutStart(Source, Target, AVMEDIA_TYPE_VIDEO, -Index - 1);
}

std::string CutAudioStart(const std::string& Source, const std::string& Target, int DropAudioPackets) {
  return CutStart(Source, Target, AVMEDIA_TYPE_AUDIO, DropAudioPackets);
}

double AudioRms(const std::string& Path, double FromSeconds, double ToSeconds) {
  AVFormatContext* Raw = nullptr;
  if (ff::avformat_open_input(&Raw, Path.c_str(), nullptr, nullptr) < 0) return -1;
  InputFormatPtr File(Raw);
  if (ff::avformat_find_stream_info(File.get(), nullptr) < 0) return -1;
  int Index = -1;
  for (unsigned I = 0; I < File->nb_streams; ++I)
    if (File->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      Index = static_cast<int>(I);
      break;
    }
  if (Index < 0) return -1;
  const AVCodec* Codec = ff::avcodec_find_decoder(File->streams[Index]->codecpar->codec_id);
  CodecContextPtr Dec(ff::avcodec_alloc_context3(Codec));
  if (!Codec || !Dec || ff::avcodec_parameters_to_context(Dec.get(), File->streams[Index]->codecpar) < 0 ||
      ff::avcodec_open2(Dec.get(), Codec, nullptr) < 0)
    return -1;
  PacketPtr Packet(ff::av_packet_alloc());
  FramePtr Frame(ff::av_frame_alloc());
  double Sum = 0;
  int64_t Count = 0, Position = 0;
  auto Take = [&]() {
    while (ff::avcodec_receive_frame(Dec.get(), Frame.get()) >= 0) {
      const int Rate = Frame->sample_rate;
      const int Channels = Frame->ch_layout.nb_channels;
      const auto Format = static_cast<AVSampleFormat>(Frame->format);
      for (int N = 0; N < Frame->nb_samples; ++N, ++Position) {
        const double T = static_cast<double>(Position) / Rate;
        if (T < FromSeconds || T >= ToSeconds) continue;
        for (int C = 0; C < Channels; ++C) {
          double V = 0;
          if (Format == AV_SAMPLE_FMT_S16)
            V = reinterpret_cast<const int16_t*>(Frame->data[0])[N * Channels + C] / 32768.0;
          else if (Format == AV_SAMPLE_FMT_S16P)
            V = reinterpret_cast<const int16_t*>(Frame->extended_data[C])[N] / 32768.0;
          else if (Format == AV_SAMPLE_FMT_FLTP)
            V = reinterpret_cast<const float*>(Frame->extended_data[C])[N];
          else if (Format == AV_SAMPLE_FMT_FLT)
            V = reinterpret_cast<const float*>(Frame->data[0])[N * Channels + C];
          Sum += V * V;
          ++Count;
        }
      }
      ff::av_frame_unref(Frame.get());
    }
  };
  while (ff::av_read_frame(File.get(), Packet.get()) >= 0) {
    if (Packet->stream_index == Index && ff::avcodec_send_packet(Dec.get(), Packet.get()) >= 0) Take();
    ff::av_packet_unref(Packet.get());
  }
  ff::avcodec_send_packet(Dec.get(), nullptr);
  Take();
  return Count > 0 ? std::sqrt(Sum / static_cast<double>(Count)) : -1;
}

std::vector<int64_t> ClickTimesUs(const std::string& Path) {
  return mediagen::ReadClickTimesUs(Path);
}

int64_t FileSize(const std::string& Path) {
  struct stat Info;
  if (::stat(Path.c_str(), &Info) != 0) return -1;
  return Info.st_size;
}

void RunTest::SetUp() {
  ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
}

}  // namespace vexav::test
