#include "batch/segments/PictureTimes.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "binding/Api.h"
#include "binding/ErrorText.h"
#include "binding/OpenInput.h"
#include "binding/Owners.h"
#include "engine/CodecLock.h"

namespace vexav::batch::segments {
namespace {

constexpr AVRational Microseconds{1, 1000000};
// Pictures come out in presentation order, packets in decode order: a
// packet this far past the limit has no picture before it left to come.
constexpr int64_t ReorderMarginUs = 2 * 1000000;

// The engine moves every time stamp of an input by the file's start time
// (in the stream's time base) before it turns it into microseconds.
struct Clock {
  AVRational Base{1, 1};
  int64_t Offset = 0;
  int64_t Us(int64_t Stamp) const { return ff::av_rescale_q(Stamp + Offset, Base, Microseconds); }
};

// An AVI file's index holds every chunk of the stream with its size and
// decode time, which is the presentation time of its picture too (the
// format has no other); an empty chunk is a dropped frame.
bool FromAviIndex(const AVFormatContext& File, AVStream& Stream, const Clock& Time,
                  std::vector<int64_t>& Times) {
  if (std::strcmp(File.iformat->name, "avi") != 0) return false;
  const int Count = ff::avformat_index_get_entries_count(&Stream);
  if (Count <= 0) return false;
  for (int I = 0; I < Count; ++I) {
    const AVIndexEntry* Entry = ff::avformat_index_get_entry(&Stream, I);
    if (!Entry) return false;
    if (Entry->size > 0) Times.push_back(Time.Us(Entry->timestamp));
  }
  return true;
}

void FromPackets(AVFormatContext& File, int Index, const Clock& Time, int64_t UntilUs,
                 std::vector<int64_t>& Times) {
  for (unsigned I = 0; I < File.nb_streams; ++I)
    if (static_cast<int>(I) != Index) File.streams[I]->discard = AVDISCARD_ALL;
  PacketPtr Packet(ff::av_packet_alloc());
  if (!Packet) return;
  while (ff::av_read_frame(&File, Packet.get()) >= 0) {
    const AVPacket& P = *Packet;
    const int64_t Stamp = P.pts != AV_NOPTS_VALUE ? P.pts : P.dts;
    const bool Ours = P.stream_index == Index;
    if (Ours && P.size > 0 && Stamp != AV_NOPTS_VALUE) Times.push_back(Time.Us(Stamp));
    const int64_t Decoded = P.dts != AV_NOPTS_VALUE ? P.dts : Stamp;
    const bool Past = Ours && UntilUs >= 0 && Decoded != AV_NOPTS_VALUE &&
                      Time.Us(Decoded) > UntilUs + ReorderMarginUs;
    ff::av_packet_unref(Packet.get());
    if (Past) break;
  }
}

// Opens Path as the engine opens an input, and finds its first video
// stream and the clock of its time stamps.
bool OpenSource(const std::string& Path, InputFormatPtr& File, int& Index, Clock& Time,
                std::string& Error) {
  AVFormatContext* Raw = nullptr;
  const InputOpenResult Opened = OpenInputFile(&Raw, Path, nullptr, nullptr);
  if (!Opened.Ok()) {
    Error = LibraryErrorText(Path, Opened.TextCode);
    return false;
  }
  File.reset(Raw);
  int Found = 0;
  {
    std::lock_guard<std::recursive_mutex> Guard(CodecLock());
    Found = ff::avformat_find_stream_info(File.get(), nullptr);
  }
  if (Found < 0) {
    Error = LibraryErrorText(Path, Found);
    return false;
  }
  Index = -1;
  for (unsigned I = 0; I < File->nb_streams && Index < 0; ++I)
    if (File->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) Index = static_cast<int>(I);
  if (Index < 0) {
    Error = Path + ": no picture";
    return false;
  }
  Time.Base = File->streams[Index]->time_base;
  Time.Offset = File->start_time != AV_NOPTS_VALUE
                    ? ff::av_rescale_q(-File->start_time, Microseconds, Time.Base)
                    : 0;
  return true;
}

}  // namespace

bool ReadPictureTimes(const std::string& Path, int64_t UntilUs, std::vector<int64_t>& Times,
                      std::string& Error) {
  Times.clear();
  InputFormatPtr File;
  int Index = -1;
  Clock Time;
  if (!OpenSource(Path, File, Index, Time, Error)) return false;
  if (!FromAviIndex(*File, *File->streams[Index], Time, Times)) {
    Times.clear();
    FromPackets(*File, Index, Time, UntilUs, Times);
  }
  std::sort(Times.begin(), Times.end());
  if (Times.empty()) {
    Error = Path + ": no picture";
    return false;
  }
  return true;
}

bool SeekCheck::Open(const std::string& Path, std::string& Error) {
  Clock Unused;
  if (!OpenSource(Path, File, Index, Unused, Error)) return false;
  for (unsigned I = 0; I < File->nb_streams; ++I)
    if (static_cast<int>(I) != Index) File->streams[I]->discard = AVDISCARD_ALL;
  Packet.reset(ff::av_packet_alloc());
  if (!Packet) Error = "out of memory";
  return static_cast<bool>(Packet);
}

bool SeekCheck::Faithful(int64_t SeekUs, int64_t UntilUs, const std::vector<int64_t>& Times) {
  if (!File || !Packet) return false;
  // As the engine seeks: from the file's own start, and then reads with the
  // time stamps moved back by the seek and forward by "itsoffset" alike.
  const int64_t Start = File->start_time != AV_NOPTS_VALUE ? File->start_time : 0;
  if (ff::av_seek_frame(File.get(), -1, SeekUs + Start, AVSEEK_FLAG_BACKWARD) < 0) return false;
  Clock Time;
  Time.Base = File->streams[Index]->time_base;
  Time.Offset = ff::av_rescale_q(-Start, Microseconds, Time.Base);
  std::vector<int64_t> Met;
  while (ff::av_read_frame(File.get(), Packet.get()) >= 0) {
    const AVPacket& P = *Packet;
    const int64_t Stamp = P.pts != AV_NOPTS_VALUE ? P.pts : P.dts;
    const bool Ours = P.stream_index == Index && P.size > 0 && Stamp != AV_NOPTS_VALUE;
    const int64_t Us = Ours ? Time.Us(Stamp) : 0;
    const int64_t Decoded = Ours && P.dts != AV_NOPTS_VALUE ? Time.Us(P.dts) : Us;
    ff::av_packet_unref(Packet.get());
    if (!Ours) continue;
    Met.push_back(Us);
    if (Decoded > UntilUs + ReorderMarginUs) break;
  }
  std::sort(Met.begin(), Met.end());
  if (Met.empty()) return false;
  // Every picture met is one of the whole run's, and from the first met on
  // the run meets them all, up to UntilUs.
  auto From = std::lower_bound(Times.begin(), Times.end(), Met.front());
  for (const int64_t Us : Met) {
    if (Us > UntilUs) break;
    if (From == Times.end() || *From != Us) return false;
    ++From;
  }
  return true;
}

}  // namespace vexav::batch::segments
