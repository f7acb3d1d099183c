#include "batch/segments/StreamJoin.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "batch/segments/PieceFile.h"
#include "batch/segments/SoundPieces.h"
#include "binding/Api.h"
#include "binding/Owners.h"

namespace vexav::batch::segments {
namespace {

constexpr AVRational Microseconds{1, 1000000};

// A new empty file beside Path: ".vexav-join-XXXXXX-<name of Path>".
bool MakeTemporary(const std::string& Path, std::string& Made, std::string& Error) {
  const std::filesystem::path Target(Path);
  std::string Suffix(1, '-');
  Suffix += Target.filename().string();
  const std::filesystem::path Parent = Target.parent_path();
  std::string Buffer = (Parent.empty() ? std::string(".") : Parent.string()) + "/" +
                       JoinTemporaryPrefix + "XXXXXX" + Suffix;
  const int Fd = ::mkstemps(Buffer.data(), static_cast<int>(Suffix.size()));
  if (Fd < 0) {
    Error = Path + ": cannot make the join's temporary file: " + std::strerror(errno);
    return false;
  }
  // The mode the output's own file has (the reserved name, made as the
  // user's mask says), not the private one of a temporary file.
  struct stat Info;
  if (::stat(Path.c_str(), &Info) == 0) ::fchmod(Fd, Info.st_mode & 07777);
  ::close(Fd);
  Made = Buffer;
  return true;
}

// An output stream as a copy of In (its parameters Par, as they come out of
// any filter of its packets), as the engine's stream copy makes it.
AVStream* CopyStream(AVFormatContext* Out, const AVStream* In, const AVCodecParameters* Par,
                     std::string& Error) {
  AVStream* Stream = ff::avformat_new_stream(Out, nullptr);
  if (!Stream) {
    Error = "out of memory";
    return nullptr;
  }
  const int Ret = ff::avcodec_parameters_copy(Stream->codecpar, Par);
  if (Ret < 0) {
    Error = LibraryWords(Ret);
    return nullptr;
  }
  // The input's tag is kept where the muxer has no tag table, where the
  // table maps it to this very codec, or where the table has none for the
  // codec (HEVC's hvc1 in MPEG-4 is kept so).
  const AVCodecTag* const* Tags = Out->oformat->codec_tag;
  if (Tags && ff::av_codec_get_id(Tags, Par->codec_tag) != Par->codec_id &&
      ff::av_codec_get_tag(Tags, Par->codec_id) != 0)
    Stream->codecpar->codec_tag = 0;
  Stream->time_base = In->time_base;
  if (const AVDictionaryEntry* Language = ff::av_dict_get(In->metadata, "language", nullptr, 0))
    ff::av_dict_set(&Stream->metadata, "language", Language->value, 0);
  if (Par->codec_type == AVMEDIA_TYPE_VIDEO) {
    if (In->sample_aspect_ratio.num > 0)
      Stream->codecpar->sample_aspect_ratio = In->sample_aspect_ratio;
    Stream->sample_aspect_ratio = Stream->codecpar->sample_aspect_ratio;
    if (In->avg_frame_rate.num > 0 && In->avg_frame_rate.den > 0)
      Stream->avg_frame_rate = In->avg_frame_rate;
    if (In->r_frame_rate.num > 0 && In->r_frame_rate.den > 0)
      Stream->r_frame_rate = In->r_frame_rate;
  }
  return Stream;
}

// H.264 whose parameter sets are out of band (MPEG-4's form) goes through
// the filter that puts them before each key frame, as the concatenating
// demuxer does: each segment's pictures then carry their own. Null for
// other pictures.
std::string PictureFilter(const AVStream* In, BsfPtr& Filter) {
  const AVCodecParameters* Par = In->codecpar;
  const bool AnnexB = Par->extradata_size >= 4 && Par->extradata[0] == 0 &&
                      Par->extradata[1] == 0 && Par->extradata[2] == 0 && Par->extradata[3] == 1;
  if (Par->codec_id != AV_CODEC_ID_H264 || AnnexB) return std::string();
  const AVBitStreamFilter* Kind = ff::av_bsf_get_by_name("h264_mp4toannexb");
  if (!Kind) return "the libraries lack the h264_mp4toannexb filter";
  AVBSFContext* Raw = nullptr;
  int Ret = ff::av_bsf_alloc(Kind, &Raw);
  if (Ret < 0) return LibraryWords(Ret);
  Filter.reset(Raw);
  Ret = ff::avcodec_parameters_copy(Raw->par_in, Par);
  if (Ret < 0) return LibraryWords(Ret);
  Raw->time_base_in = In->time_base;
  Ret = ff::av_bsf_init(Raw);
  return Ret < 0 ? LibraryWords(Ret) : std::string();
}

}  // namespace

void RemoveStaleJoins(const std::string& Output) {
  const std::filesystem::path Target(Output);
  const std::string Name = Target.filename().string();
  const std::string Prefix = JoinTemporaryPrefix;
  const size_t Length = Prefix.size() + 6 + 1 + Name.size();
  std::error_code Code;
  const std::filesystem::path Parent = Target.parent_path().empty() ? "." : Target.parent_path();
  for (const auto& Entry : std::filesystem::directory_iterator(Parent, Code)) {
    const std::string Found = Entry.path().filename().string();
    if (Found.size() == Length && Found.compare(0, Prefix.size(), Prefix) == 0 &&
        Found.compare(Found.size() - Name.size() - 1, std::string::npos, "-" + Name) == 0) {
      std::error_code Ignored;
      std::filesystem::remove(Entry.path(), Ignored);
    }
  }
}

namespace {

// The kept pictures of one segment in the order they are coded: from the
// key frame forced at its first kept frame, their times shifted so that the
// segment starts at that frame's time in the whole (a segment without a
// lead-in keeps its own start time there), as the concatenating demuxer
// gives them with the segment's inpoint.
class SegmentPictures {
 public:
  std::string Open(const SegmentPlan& Plan, int K, const std::string& Folder) {
    const Piece& P = Plan.Pieces[K];
    Path = Folder + "/" + P.FileName;
    if (std::string Error = OpenPieceInput(Path, AVMEDIA_TYPE_VIDEO, Video); !Error.empty())
      return Error;
    if (Video.Stream < 0) return Path + ": no pictures";
    const AVStream* In = Video.Get();
    if (P.Frames >= 0) {
      const int64_t Count = In->nb_frames > 0 ? In->nb_frames : -1;
      if (Count != P.LeadFrames + P.Frames)
        return PieceName(Plan, K) + " holds " + std::to_string(Count - P.LeadFrames) +
               " pictures instead of " + std::to_string(P.Frames) +
               ": the source ends before its stated duration";
    }
    if (std::string Error = PictureFilter(In, Filter); !Error.empty()) return Path + ": " + Error;
    InpointUs = P.LeadFrames > 0 ? Plan.Rate.FrameTimeUs(P.LeadFrames) : -1;
    const int64_t FileStartUs =
        Video.File->start_time == AV_NOPTS_VALUE ? 0 : Video.File->start_time;
    const int64_t OffsetUs =
        Plan.Rate.FrameTimeUs(P.FirstFrame) - (InpointUs >= 0 ? InpointUs : FileStartUs);
    Offset = ff::av_rescale_q(OffsetUs, Microseconds, In->time_base);
    HalfFrameUs = Plan.Rate.FrameTimeUs(1) / 2;
    Started = InpointUs < 0;
    return std::string();
  }
  const AVStream* Stream() const { return Video.Get(); }
  // The pictures' parameters as they come out of the filter.
  const AVCodecParameters* Parameters() const {
    return Filter ? Filter->par_out : Video.Get()->codecpar;
  }

  // The next kept picture into Packet; false at the segment's end, or with
  // Error.
  bool Next(AVPacket* Packet) {
    for (;;) {
      if (Filter) {
        const int Ret = ff::av_bsf_receive_packet(Filter.get(), Packet);
        if (Ret >= 0) return true;
        if (Ret != AVERROR(EAGAIN)) {
          if (Ret != AVERROR_EOF) Error = Path + ": " + LibraryWords(Ret);
          return false;
        }
      }
      if (Flushed) return false;
      if (ff::av_read_frame(Video.File.get(), Packet) < 0) {
        if (!Filter) return false;
        Flushed = true;
        ff::av_bsf_send_packet(Filter.get(), nullptr);
        continue;
      }
      if (!Keep(Packet)) {
        ff::av_packet_unref(Packet);
        continue;
      }
      if (Packet->pts != AV_NOPTS_VALUE) Packet->pts += Offset;
      if (Packet->dts != AV_NOPTS_VALUE) Packet->dts += Offset;
      if (!Filter) return true;
      const int Ret = ff::av_bsf_send_packet(Filter.get(), Packet);
      if (Ret < 0) {
        ff::av_packet_unref(Packet);
        Error = Path + ": " + LibraryWords(Ret);
        return false;
      }
    }
  }

  // Once Next has given all: "" when the kept part was found.
  std::string End() const {
    if (!Error.empty()) return Error;
    return Started ? std::string() : Path + ": no key frame where its kept pictures begin";
  }
  std::string Error;

 private:
  bool Keep(const AVPacket* Packet) {
    if (Packet->stream_index != Video.Stream) return false;
    if (!Started && (Packet->flags & AV_PKT_FLAG_KEY) && Packet->pts != AV_NOPTS_VALUE &&
        ff::av_rescale_q(Packet->pts, Video.Get()->time_base, Microseconds) >=
            InpointUs - HalfFrameUs)
      Started = true;
    return Started;
  }

  std::string Path;
  PieceInput Video;
  BsfPtr Filter;
  int64_t InpointUs = -1;
  int64_t Offset = 0;
  int64_t HalfFrameUs = 0;
  bool Started = false;
  bool Flushed = false;
};

int64_t TimeUs(const AVPacket* Packet, AVRational Base) {
  const int64_t T = Packet->dts != AV_NOPTS_VALUE ? Packet->dts : Packet->pts;
  return ff::av_rescale_q(T, Base, Microseconds);
}

}  // namespace

// The open join: the output, and where the sound has got to.
struct StreamJoin::State {
  OutputFormatPtr File;
  int VideoOut = -1;
  int SoundOut = -1;
  // The sound pieces opened so far, the one being read, and a packet read
  // but kept for a later segment (its time past the one appended).
  int NextSoundPiece = 0;
  PieceInput Sound;
  AVRational SoundBase{1, 1};  // of the packets the sound gives
  PacketPtr Pending;
  bool AnySound = false;
  int64_t NextStamp = 0;  // sound in pieces: the stamp the next frame must have
  // What the sound written holds: bytes, and samples (in pieces).
  int64_t SoundBytes = 0;
  int64_t SoundDuration = 0;

  // The next sound packet of the leading Pieces sound pieces, its times in
  // SoundBase; none when they are all read (or with Error).
  PacketPtr NextSound(const SegmentPlan& Plan, const std::string& Folder, int Pieces,
                      std::string& Error);
  // Packet is a sound piece's frame: kept with the whole run's times, or
  // not (false); Error when it does not follow the one before.
  bool KeepSound(const SegmentPlan& Plan, AVPacket* Packet, std::string& Error);
  std::string Write(AVPacket* Packet, int Stream, AVRational From) {
    Packet->stream_index = Stream;
    Packet->pos = -1;
    ff::av_packet_rescale_ts(Packet, From, File->streams[Stream]->time_base);
    const int Ret = ff::av_interleaved_write_frame(File.get(), Packet);
    return Ret < 0 ? LibraryWords(Ret) : std::string();
  }
};

PacketPtr StreamJoin::State::NextSound(const SegmentPlan& Plan, const std::string& Folder,
                                       int Pieces, std::string& Error) {
  if (Pending) return std::move(Pending);
  PacketPtr Packet(ff::av_packet_alloc());
  if (!Packet) Error = "out of memory";
  while (Packet) {
    if (!Sound.File) {
      if (NextSoundPiece >= Pieces) return nullptr;
      const Piece& P = Plan.Pieces[Plan.FirstSoundPiece() + NextSoundPiece++];
      PieceInput Next;
      Error = OpenPieceInput(Folder + "/" + P.FileName, AVMEDIA_TYPE_AUDIO, Next);
      if (!Error.empty()) return nullptr;
      // A piece past the sound's end holds none.
      if (Next.Stream < 0) continue;
      Sound = std::move(Next);
      if (!Plan.Sound.InPieces()) SoundBase = Sound.Get()->time_base;
    }
    if (ff::av_read_frame(Sound.File.get(), Packet.get()) < 0) {
      Sound = PieceInput();
      continue;
    }
    if (Packet->stream_index == Sound.Stream && Packet->pts != AV_NOPTS_VALUE &&
        (!Plan.Sound.InPieces() || KeepSound(Plan, Packet.get(), Error)))
      return Packet;
    ff::av_packet_unref(Packet.get());
    if (!Error.empty()) return nullptr;
  }
  return nullptr;
}

bool StreamJoin::State::KeepSound(const SegmentPlan& Plan, AVPacket* Packet, std::string& Error) {
  const Piece& P = Plan.Pieces[Plan.FirstSoundPiece() + NextSoundPiece - 1];
  const AVRational Base = Sound.Get()->time_base;
  const AVRational Samples{1, Plan.Sound.Rate};
  const std::optional<int64_t> Stamp = KeptSoundStamp(
      Plan.Sound, P, ff::av_rescale_q(Packet->pts, Base, Samples), NextSoundPiece == 1);
  if (!Stamp) return false;
  if (AnySound && *Stamp != NextStamp) {
    Error = P.FileName + ": the sound's frame at sample " + std::to_string(*Stamp) +
            " does not follow the one before (" + std::to_string(NextStamp) + ")";
    return false;
  }
  AnySound = true;
  Packet->duration = Packet->duration > 0 ? ff::av_rescale_q(Packet->duration, Base, Samples)
                                          : Plan.Sound.FrameSamples;
  Packet->pts = Packet->dts = *Stamp;
  NextStamp = *Stamp + Plan.Sound.FrameSamples;
  return true;
}

StreamJoin::StreamJoin(const SegmentPlan& Plan, std::string Folder, std::string Output)
    : Plan(Plan), Folder(std::move(Folder)), Output(std::move(Output)) {}

StreamJoin::~StreamJoin() {
  Abort();
}

bool StreamJoin::Complete() const {
  return Segments == Plan.Segments();
}

int StreamJoin::SoundPiecesFor(const SegmentPlan& Plan, int K) {
  if (!Plan.HasSound()) return 0;
  if (K + 1 >= Plan.Segments()) return Plan.SoundPieces();
  // Sound piece k keeps its samples up to the next one's first, which lies
  // at or after segment k + 1's first picture; a whole run is one piece.
  return std::min(K + 1, Plan.SoundPieces());
}

void StreamJoin::Abort() {
  Open.reset();
  if (!Temporary.empty()) {
    std::error_code Ignored;
    std::filesystem::remove(Temporary, Ignored);
    Temporary.clear();
  }
  Broken = true;
}

std::string StreamJoin::Append() {
  if (Broken) return "the join was abandoned";
  if (Complete()) return "every segment is joined already";
  std::string Error = AppendNext();
  if (!Error.empty()) Abort();
  return Error;
}

std::string StreamJoin::OpenOutput(const AVStream* Pictures, const AVCodecParameters* Parameters) {
  State& S = *Open;
  std::string Error;
  if (!MakeTemporary(Output, Temporary, Error)) return Error;
  const AVOutputFormat* Format = ff::av_guess_format(nullptr, Output.c_str(), nullptr);
  if (!Format) return Output + ": no container is known for its name";
  AVFormatContext* Raw = nullptr;
  int Ret = ff::avformat_alloc_output_context2(&Raw, Format, nullptr, Temporary.c_str());
  if (Ret < 0 || !Raw) return Output + ": " + LibraryWords(Ret);
  S.File.reset(Raw);
  // (The concatenating demuxer gave the pictures no disposition.)
  if (!CopyStream(Raw, Pictures, Parameters, Error)) return Output + ": " + Error;
  S.VideoOut = 0;
  PacketPtr First = S.NextSound(Plan, Folder, SoundPiecesFor(Plan, 0), Error);
  if (!Error.empty()) return Error;
  if (First) {
    const AVStream* In = S.Sound.Get();
    AVStream* Sound = CopyStream(Raw, In, In->codecpar, Error);
    if (!Sound) return Output + ": " + Error;
    const bool InPieces = Plan.Sound.InPieces();
    // The sound's disposition as its file states it: a whole run's own, or
    // that of the pieces' container (Matroska's pieces are joined with
    // none).
    if (!InPieces || Plan.Sound.FrameSamples != 960) Sound->disposition = In->disposition;
    if (InPieces) {
      Sound->codecpar->codec_tag = 0;
      Sound->time_base = AVRational{1, Plan.Sound.Rate};
      S.SoundBase = Sound->time_base;
    }
    S.SoundOut = 1;
    S.Pending = std::move(First);
  }
  Ret = ff::avio_open(&Raw->pb, Temporary.c_str(), AVIO_FLAG_WRITE);
  if (Ret < 0) return Temporary + ": " + LibraryWords(Ret);
  Ret = ff::avformat_write_header(Raw, nullptr);
  return Ret < 0 ? Output + ": " + LibraryWords(Ret) : std::string();
}

std::string StreamJoin::AppendNext() {
  const int K = Segments;
  SegmentPictures Pictures;
  if (std::string Error = Pictures.Open(Plan, K, Folder); !Error.empty()) return Error;
  if (!Open) Open = std::make_unique<State>();
  State& S = *Open;
  if (!S.File)
    if (std::string Error = OpenOutput(Pictures.Stream(), Pictures.Parameters()); !Error.empty())
      return Error;
  const int SoundPieces = SoundPiecesFor(Plan, K);
  const AVRational PictureBase = Pictures.Stream()->time_base;
  // Whole-file sound goes with the segment up to the next one's start.
  const int64_t SoundUntilUs = !Plan.Sound.InPieces() && K + 1 < Plan.Segments()
                                   ? Plan.Rate.FrameTimeUs(Plan.Pieces[K + 1].FirstFrame)
                                   : INT64_MAX;

  // The segment's pictures and the sound up to its end, interleaved by time.
  PacketPtr Picture(ff::av_packet_alloc());
  if (!Picture) return "out of memory";
  bool PicturesDone = !Pictures.Next(Picture.get());
  std::string Error;
  PacketPtr Sound;
  if (S.SoundOut >= 0) Sound = S.NextSound(Plan, Folder, SoundPieces, Error);
  while (Error.empty() && Pictures.Error.empty() && (!PicturesDone || Sound)) {
    if (Sound &&
        (PicturesDone || TimeUs(Sound.get(), S.SoundBase) < TimeUs(Picture.get(), PictureBase))) {
      if (TimeUs(Sound.get(), S.SoundBase) >= SoundUntilUs) {
        S.Pending = std::move(Sound);
        continue;
      }
      S.SoundBytes += Sound->size;
      S.SoundDuration += Sound->duration;
      if (std::string Failed = S.Write(Sound.get(), S.SoundOut, S.SoundBase); !Failed.empty())
        return Output + ": " + Failed;
      Sound = S.NextSound(Plan, Folder, SoundPieces, Error);
    } else {
      if (std::string Failed = S.Write(Picture.get(), S.VideoOut, PictureBase); !Failed.empty())
        return Output + ": " + Failed;
      PicturesDone = !Pictures.Next(Picture.get());
    }
  }
  if (!Error.empty()) return Error;
  if (std::string End = Pictures.End(); !End.empty()) return End;
  ++Segments;
  return std::string();
}

std::string StreamJoin::Close() {
  if (Broken || !Open || !Open->File) return "no segment was joined";
  // The joined sound's bit rate is that of all its frames (as a file of
  // them read back states it, rounded down), not the first piece's.
  State& S = *Open;
  if (Plan.Sound.InPieces() && S.SoundOut >= 0 && S.SoundDuration > 0)
    S.File->streams[S.SoundOut]->codecpar->bit_rate =
        S.SoundBytes * 8 * Plan.Sound.Rate / S.SoundDuration;
  const int Ret = ff::av_write_trailer(S.File.get());
  Open.reset();
  std::string Error;
  if (Ret < 0)
    Error = Output + ": " + LibraryWords(Ret);
  else if (::rename(Temporary.c_str(), Output.c_str()) != 0)
    Error = Output + ": cannot be put in place: " + std::strerror(errno);
  if (!Error.empty()) {
    Abort();
    return Error;
  }
  Temporary.clear();
  return std::string();
}

std::string StreamJoin::Finish() {
  if (!Complete()) return "not every segment is joined";
  return Close();
}

std::string StreamJoin::FinishPart() {
  if (Segments == 0) return "no segment was joined";
  return Close();
}

}  // namespace vexav::batch::segments
