// Creating output files: the muxer, the streams, the metadata, the muxer's
// options and the file itself.
//
// How the steps map onto today's libraries:
// - The context comes from avformat_alloc_output_context2, which also sets
//   the muxer and the file name (url, the whole name: there is no fixed
//   1024-byte field any more).
// - There is no "ffm" feed muxer in today's libraries, so an output never
//   copies its streams from a feed server.
// - The muxer parameters record of old (av_set_parameters) is gone; its
//   place is taken by the muxer's options, set on the context itself, whose
//   muxer-private options the library allocated with the context. So no
//   option dictionary needs to wait for the header.
// - Metadata, the creation time and the languages are dictionary entries.
// - The preload is the private option "preload" of the MPEG program stream
//   muxers (mpeg, vcd, svcd, dvd), the output loop the private option
//   "loop" of the GIF muxer; other muxers have neither.
//
// Files on disk: an existing file is replaced without any question (the
// layers above decide the names). Every step that can fail runs before the
// file is opened for writing, so a failed call never truncates a file that
// was there before, and a file that the call itself created is removed
// again if the open fails half-way.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cmath>
#include <ctime>

#include "binding/ErrorText.h"
#include "binding/FFmpegLibs.h"
#include "binding/Text.h"
#include "engine/FFmpeg.h"

namespace vexav {
namespace {

// The old fixed metadata fields held 512 bytes (genre 32) with their
// terminating zero.
constexpr std::size_t MetadataTextLimit = 511;
constexpr std::size_t GenreLimit = 31;

// At most MaxBytes bytes of Text, never ending inside a UTF-8 sequence.
std::string CutUtf8(const std::string& Text, std::size_t MaxBytes) {
  if (Text.size() <= MaxBytes) return Text;
  std::size_t End = MaxBytes;
  while (End > 0 && (static_cast<unsigned char>(Text[End]) & 0xC0) == 0x80) --End;
  return Text.substr(0, End);
}

// Seconds as whole microseconds, truncated toward zero from the 32-bit
// float computed in double precision (0.7 gives 699999, 0.44 gives 439999,
// 0.5 gives 500000). The muxers take 0 .. INT_MAX: a negative or undefined
// value is 0, a larger one INT_MAX.
int SecondsToMicroseconds(float Seconds) {
  const double Value = static_cast<double>(Seconds) * 1000000.0;
  if (!(Value > 0)) return 0;
  if (Value >= static_cast<double>(INT_MAX)) return INT_MAX;
  return static_cast<int>(Value);
}

// Sets a private option of the muxer when the muxer has it; a value the
// option refuses is reported and left out, like a generic option's.
void SetMuxerOption(TCustomFFmpeg& Engine, AVFormatContext* Context, const char* Name,
                    const std::string& Value) {
  if (!ff::av_opt_find(Context, Name, nullptr, AV_OPT_FLAG_ENCODING_PARAM, AV_OPT_SEARCH_CHILDREN))
    return;
  if (ff::av_opt_set(Context, Name, Value.c_str(), AV_OPT_SEARCH_CHILDREN) < 0)
    Engine.Log(0, Format("Invalid value '%s' for option %s", Value.c_str(), Name));
}

void SetMetadata(AVFormatContext* Context, const char* Key, const std::string& Value,
                 std::size_t Limit = MetadataTextLimit) {
  if (Value.empty()) return;
  ff::av_dict_set(&Context->metadata, Key, CutUtf8(Value, Limit).c_str(), 0);
}

// Seconds since 1970 as an ISO 8601 UTC time, the form the muxers read
// "creation_time" in; empty when the time cannot be expressed.
std::string IsoTime(int64_t Seconds) {
  const std::time_t Time = static_cast<std::time_t>(Seconds);
  std::tm Utc{};
  if (!gmtime_r(&Time, &Utc)) return {};
  char Text[64];
  if (std::strftime(Text, sizeof Text, "%Y-%m-%dT%H:%M:%S.000000Z", &Utc) == 0) return {};
  return Text;
}

// Whether anything, even a dangling link, is at Path.
bool PathExists(const std::string& Path) {
  struct stat Info;
  return ::lstat(Path.c_str(), &Info) == 0;
}

}  // namespace

bool TCustomFFmpeg::HasResizingFilter(const std::string& Filters) {
  static const std::string Resizing = ",crop,rotate,scale,transpose,";
  std::string Lower = Filters;
  for (char& C : Lower) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  std::size_t Start = 0;
  while (true) {
    const std::size_t Comma = Lower.find(',', Start);
    const std::string Part =
        Lower.substr(Start, Comma == std::string::npos ? std::string::npos : Comma - Start);
    const std::string Name = Part.substr(0, Part.find('='));
    if (Resizing.find("," + Name + ",") != std::string::npos) return true;
    if (Comma == std::string::npos) return false;
    Start = Comma + 1;
  }
}

void TCustomFFmpeg::CheckInputStreams(bool& HasVideo, bool& HasAudio, bool& HasSubtitle) const {
  HasVideo = HasAudio = HasSubtitle = false;
  for (int File = 0; File < InputFileCount && File < MAX_FILES; ++File) {
    const AVFormatContext* Input = InputFiles[File].get();
    if (!Input) continue;
    for (unsigned I = 0; I < Input->nb_streams; ++I) {
      const int Type = Input->streams[I]->codecpar->codec_type;
      if (Type < AVMEDIA_TYPE_UNKNOWN || Type > AVMEDIA_TYPE_ATTACHMENT)
        throw FFMpegException("invalid codec_type of input file");
      if (Type == AVMEDIA_TYPE_VIDEO) HasVideo = true;
      if (Type == AVMEDIA_TYPE_AUDIO) HasAudio = true;
      if (Type == AVMEDIA_TYPE_SUBTITLE) HasSubtitle = true;
    }
  }
}

bool TCustomFFmpeg::OpenOutputFile(const std::string& FileName) {
  const int Slot = OutputFileCount;
  OutputFormatPtr Context;
  // The file this call opened for writing, and whether it created it.
  bool Opened = false;
  bool Created = false;
  // What the stream builders entered for this file's position.
  auto ReleaseSlot = [this, Slot] {
    if (Slot < 0 || Slot >= MAX_FILES) return;
    for (TOutputStreamCodec& Stream : OutputCodecs[Slot]) {
      Stream.Context.reset();
      Stream.StreamCopy = false;
    }
    for (TBitstreamFilterChain& Chain : BitstreamFilters[Slot]) Chain.clear();
  };

  bool Done = false;
  try {
    if (!FFmpegLibsLoaded()) throw FFMpegException("The media libraries are not loaded");
    // A 21st file is refused before anything is built.
    CheckOutputFileRoom();
    // Left over from a job whose tables were reset without ReleaseFiles.
    ReleaseSlot();

    // 1. Crop and pad bands against the filter chain.
    if (!VideoFilters.empty() && CropTop + CropBottom + CropLeft + CropRight != 0)
      throw FFMpegException("Cannot enable crop options and filters at the same time.");
    if (HasResizingFilter(VideoFilters) && PadTop + PadBottom + PadLeft + PadRight != 0)
      throw FFMpegException(
          "Cannot enable pad options and the filters which resize frame at the same time. (crop, "
          "rotate, scale, transpose, etc.)");
    // 2.
    FiltersInUse = !VideoFilters.empty();

    // 3. The muxer: the one given, else the one the name suggests.
    if (!OutputFormat) OutputFormat = ff::av_guess_format(nullptr, FileName.c_str(), nullptr);
    if (!OutputFormat)
      throw FFMpegException(
          Format("Unable to find a suitable output format for '%s'", FileName.c_str()));
    const AVOutputFormat* Muxer = OutputFormat;
    {
      AVFormatContext* Raw = nullptr;
      const int Result = ff::avformat_alloc_output_context2(&Raw, Muxer, nullptr, FileName.c_str());
      Context.reset(Raw);
      if (Result < 0 || !Context)
        throw FFMpegException(LibraryErrorText(FileName, Result < 0 ? Result : AVERROR(ENOMEM)));
    }

    // 4. (The "ffm" feed output does not exist any more.)

    // 5. Media types: what the muxer or the options ask for, among what the
    // inputs have, minus what is disabled.
    bool UseVideo =
        Muxer->video_codec != AV_CODEC_ID_NONE || VideoStreamCopy || !VideoCodecName.empty();
    bool UseAudio =
        Muxer->audio_codec != AV_CODEC_ID_NONE || AudioStreamCopy || !AudioCodecName.empty();
    bool UseSubtitle = SubtitleStreamCopy || Muxer->subtitle_codec != AV_CODEC_ID_NONE ||
                       !SubtitleCodecName.empty();
    if (InputFileCount > 0) {
      bool HasVideo = false, HasAudio = false, HasSubtitle = false;
      try {
        CheckInputStreams(HasVideo, HasAudio, HasSubtitle);
      } catch (const std::exception& Error) {
        throw FFMpegException(Format("check_audio_video_sub_inputs fail: %s", Error.what()));
      }
      UseVideo = UseVideo && HasVideo;
      UseAudio = UseAudio && HasAudio;
      UseSubtitle = UseSubtitle && HasSubtitle;
    }
    if (VideoDisable) UseVideo = false;
    if (AudioDisable) UseAudio = false;
    if (SubtitleDisable) UseSubtitle = false;

    // 6. The streams, video first.
    if (UseVideo) {
      try {
        NewVideoStream(Context.get());
      } catch (const std::exception& Error) {
        throw FFMpegException(Format("new_video_stream fail: %s", Error.what()));
      }
    }
    if (UseAudio) {
      try {
        NewAudioStream(Context.get());
      } catch (const std::exception& Error) {
        throw FFMpegException(Format("new_audio_stream fail: %s", Error.what()));
      }
    }
    if (UseSubtitle) {
      try {
        NewSubtitleStream(Context.get());
      } catch (const std::exception& Error) {
        throw FFMpegException(Format("new_subtitle_stream fail: %s", Error.what()));
      }
    }

    // 7. The recording time stamp.
    if (RecTimestamp != 0) SetMetadata(Context.get(), "creation_time", IsoTime(RecTimestamp));
    // 8. Metadata, each only when set, within the old fields' lengths. The
    // author goes under "author" and under "artist", the key that most of
    // today's muxers (mp4, avi, mp3, ogg) store for the person; muxers that
    // keep any key (matroska) keep both.
    SetMetadata(Context.get(), "title", Title);
    SetMetadata(Context.get(), "author", Author);
    SetMetadata(Context.get(), "artist", Author);
    SetMetadata(Context.get(), "copyright", Copyright);
    SetMetadata(Context.get(), "comment", Comment);
    SetMetadata(Context.get(), "album", Album);
    if (Year > 0) SetMetadata(Context.get(), "date", std::to_string(Year));
    if (Track > 0) SetMetadata(Context.get(), "track", std::to_string(Track));
    SetMetadata(Context.get(), "genre", Genre, GenreLimit);

    // 10. A muxer that numbers its files needs a number pattern in the name.
    if ((Muxer->flags & AVFMT_NEEDNUMBER) && !ff::av_filename_number_test(Context->url))
      throw FFMpegException(LibraryErrorText(Context->url, AVERROR(EDOM)));

    // 13. Preload, maximum delay and output loop; set before the file is
    // opened, so that nothing that can fail comes after the open.
    SetMuxerOption(*this, Context.get(), "preload",
                   std::to_string(SecondsToMicroseconds(MuxPreload)));
    Context->max_delay = SecondsToMicroseconds(MuxMaxDelay);
    SetMuxerOption(*this, Context.get(), "loop", std::to_string(LoopOutput));
    // 14. The recorded format options for writing, then the muxer-private
    // options that waited for a muxer ("muxrate", ...).
    SetContextOptions(Context.get(), FormatDefaults.get(), AV_OPT_FLAG_ENCODING_PARAM);
    ApplyPrivateOptions(Context.get(), AV_OPT_FLAG_ENCODING_PARAM);

    // 11. The file itself, last: an existing file is replaced (truncated by
    // the open), which happens only when everything else has succeeded.
    if (!(Muxer->flags & AVFMT_NOFILE)) {
      const bool Existed = PathExists(FileName);
      if (ff::avio_open(&Context->pb, FileName.c_str(), AVIO_FLAG_WRITE) < 0) {
        // The open may have created the file before it failed.
        if (!Existed && PathExists(FileName)) ::unlink(FileName.c_str());
        throw FFMpegException(Format("Could not open '%s'", FileName.c_str()));
      }
      Opened = true;
      Created = !Existed;
    }
    // What was opened, so that the end of a run can tell its own file.
    TOutputFileIdentity Identity;
    if (Opened) {
      struct stat Info;
      if (::stat(FileName.c_str(), &Info) == 0 && S_ISREG(Info.st_mode)) {
        Identity.Name = FileName;
        Identity.Device = static_cast<uint64_t>(Info.st_dev);
        Identity.Inode = static_cast<uint64_t>(Info.st_ino);
        Identity.Regular = true;
        Identity.Created = Created;
      }
    }

    // 9. Entered in the table; cannot fail, the room was checked first.
    OutputFiles[Slot] = std::move(Context);
    OutputIdentities[Slot] = std::move(Identity);
    OutputFileCount = Slot + 1;
    Done = true;
  } catch (const std::exception& Error) {
    LastError = Error.what();
  } catch (...) {
    LastError = "Unknown error while creating the output file";
  }

  if (!Done) {
    ReleaseSlot();
    if (Context) {
      // A file opened here and then abandoned is closed, and removed when
      // this call created it. (Nothing that can fail follows the open
      // today; this keeps the promise for any step added after it.)
      if (Opened) {
        ff::avio_closep(&Context->pb);
        if (Created) ::unlink(FileName.c_str());
      }
      Context.reset();
    }
  }
  // 15. The forced formats belong to this file, whatever happened.
  OutputFormat = nullptr;
  InputFormat = nullptr;
  return Done;
}

bool TCustomFFmpeg::SameOutputFile(const TOutputFileIdentity& Identity) {
  struct stat Info;
  return Identity.Regular && ::stat(Identity.Name.c_str(), &Info) == 0 &&
         static_cast<uint64_t>(Info.st_dev) == Identity.Device &&
         static_cast<uint64_t>(Info.st_ino) == Identity.Inode;
}

void TCustomFFmpeg::RemoveIncompleteOutputs() {
  for (int O = 0; O < MAX_FILES; ++O)
    RemoveCreatedOutput(O, "Removed incomplete output file '%s'.");
}

void TCustomFFmpeg::RemoveCreatedOutput(int O, const char* Message, int Level) {
  TOutputFileIdentity& Identity = OutputIdentities[O];
  if (!Identity.Created) return;
  // Closed first, so that nothing is written to the name afterwards.
  AVFormatContext* File = OutputFiles[O].get();
  if (File && File->pb && File->oformat && !(File->oformat->flags & AVFMT_NOFILE))
    ff::avio_closep(&File->pb);
  // Only the file this engine created: not one that took its name since.
  if (SameOutputFile(Identity) && ::unlink(Identity.Name.c_str()) == 0) {
    try {
      Log(Level, Format(Message, Identity.Name.c_str()));
    } catch (...) {
      // A log handler's failure must not keep the run from ending.
    }
  }
  Identity = TOutputFileIdentity();
}

void TCustomFFmpeg::CheckOutputsPresent() const {
  for (int O = 0; O < OutputFileCount && O < MAX_FILES; ++O) {
    const TOutputFileIdentity& Identity = OutputIdentities[O];
    // On Linux a file whose name was removed still takes every write: the
    // run would seem to succeed with nothing left on disk.
    if (Identity.Regular && !SameOutputFile(Identity))
      throw FFMpegException(
          Format("Output file '%s' disappeared during the conversion.", Identity.Name.c_str()));
  }
}

}  // namespace vexav
