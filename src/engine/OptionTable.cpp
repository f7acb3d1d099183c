// The option table: every name the engine handles itself, with its kind and
// the field or handler behind it, in table order. SetOption dispatches from
// here; every other name goes to the generic path.
#include <cstring>

#include "engine/Convert.h"
#include "engine/FFmpeg.h"

namespace vexav {
namespace {

using T = TCustomFFmpeg;
using K = TOptionKind;

constexpr T::TOptionDef Entry(const char* Name, K Kind, T::TTarget Target = std::monostate{}) {
  return T::TOptionDef{Name, Kind, Target};
}

}  // namespace

std::span<const T::TOptionDef> TCustomFFmpeg::OptionTable() {
  static const TOptionDef Table[] = {
      Entry("L", K::Ignored),
      Entry("h", K::Ignored),
      Entry("version", K::Ignored),
      Entry("formats", K::Ignored),
      Entry("f", K::Special, &T::OptFormat),
      Entry("i", K::Ignored),
      Entry("y", K::Ignored),
      Entry("map", K::Special, &T::OptMap),
      Entry("map_meta_data", K::Special, &T::OptMapMetaData),
      Entry("t", K::Time, &T::OptRecordingTime),
      Entry("fs", K::Int64, &T::LimitFileSize),
      Entry("ss", K::Time, &T::OptStartTime),
      Entry("itsoffset", K::Time, &T::OptInputTsOffset),
      Entry("itsscale", K::Special, &T::OptInputTsScale),
      Entry("title", K::Text, &T::OptTitle),
      Entry("timestamp", K::Time, &T::OptTimestamp),
      Entry("author", K::Text, &T::OptAuthor),
      Entry("copyright", K::Text, &T::OptCopyright),
      Entry("comment", K::Text, &T::OptComment),
      Entry("genre", K::Text, &T::OptGenre),
      Entry("album", K::Text, &T::OptAlbum),
      Entry("dframes", K::Integer, &T::OptDataFrames),
      Entry("benchmark", K::Ignored),
      Entry("dump", K::Flag, &T::DoPktDump),
      Entry("hex", K::Flag, &T::DoHexDump),
      Entry("re", K::Flag, &T::RateEmu),
      Entry("loop_input", K::Flag, &T::LoopInput),
      Entry("loop_output", K::Integer, &T::LoopOutput),
      Entry("v", K::Integer, &T::OptVerbose),
      Entry("target", K::Special, &T::OptTarget),
      Entry("threads", K::Rejected),
      Entry("vsync", K::Integer, &T::VideoSyncMethod),
      Entry("async", K::Integer, &T::AudioSyncMethod),
      Entry("adrift_threshold", K::Decimal, &T::AudioDriftThreshold),
      Entry("vglobal", K::Integer, &T::VideoGlobalHeader),
      Entry("copyts", K::Flag, &T::CopyTs),
      Entry("shortest", K::Flag, &T::Shortest),
      Entry("dts_delta_threshold", K::Decimal, &T::DtsDeltaThreshold),
      Entry("programid", K::Integer, &T::ProgramId),
      Entry("xerror", K::Flag, &T::ExitOnError),
      Entry("b", K::Special, &T::OptBitRate),
      Entry("vb", K::Special, &T::OptBitRate),
      Entry("vframes", K::Integer, &T::OptVideoFrames),
      Entry("force_key_frames", K::Special, &T::OptForceKeyFrames),
      Entry("vsync_start", K::Special, &T::OptVideoSyncStart),
      Entry("r", K::Special, &T::OptFrameRate),
      Entry("s", K::Special, &T::OptFrameSize),
      Entry("aspect", K::Special, &T::OptAspect),
      Entry("pix_fmt", K::Special, &T::OptPixFmt),
      Entry("croptop", K::GuardedInteger, &T::OptCrop),
      Entry("cropbottom", K::GuardedInteger, &T::OptCrop),
      Entry("cropleft", K::GuardedInteger, &T::OptCrop),
      Entry("cropright", K::GuardedInteger, &T::OptCrop),
      Entry("padtop", K::GuardedInteger, &T::OptPad),
      Entry("padbottom", K::GuardedInteger, &T::OptPad),
      Entry("padleft", K::GuardedInteger, &T::OptPad),
      Entry("padright", K::GuardedInteger, &T::OptPad),
      Entry("padcolor", K::Special, &T::OptPadColor),
      Entry("intra", K::Flag, &T::IntraOnly),
      Entry("vn", K::Flag, &T::VideoDisable),
      Entry("vdt", K::Integer, &T::VideoDiscard),
      Entry("qscale", K::Decimal, &T::OptQScale),
      Entry("rc_override", K::LibraryText, &T::VideoRcOverride),
      Entry("vcodec", K::Special, &T::OptCodec),
      Entry("me_threshold", K::Integer, &T::MeThreshold),
      Entry("sameq", K::Flag, &T::SameQuality),
      Entry("pass", K::GuardedInteger, &T::OptPass),
      Entry("passlogfile", K::Text, &T::PassLogFilePrefix),
      Entry("deinterlace", K::Flag, &T::DoDeinterlace),
      Entry("psnr", K::Flag, &T::DoPsnr),
      Entry("vstats", K::Special, &T::OptVstats),
      Entry("vstats_file", K::LibraryText, &T::OptVstatsFile),
      Entry("vhook", K::Special, &T::OptVhook),
      Entry("vfilters", K::Text, &T::OptVideoFilters),
      Entry("intra_matrix", K::Special, &T::OptMatrix),
      Entry("inter_matrix", K::Special, &T::OptMatrix),
      Entry("top", K::Integer, &T::TopFieldFirst),
      Entry("dc", K::Integer, &T::IntraDcPrecision),
      Entry("vtag", K::Special, &T::OptTag),
      Entry("newvideo", K::Special, &T::OptNewStream),
      Entry("qphist", K::Flag, &T::QpHist),
      Entry("ab", K::Special, &T::OptBitRate),
      Entry("aframes", K::Integer, &T::OptAudioFrames),
      Entry("aq", K::Decimal, &T::AudioQScale),
      Entry("ar", K::GuardedInteger, &T::OptSampleRate),
      Entry("ac", K::GuardedInteger, &T::OptChannels),
      Entry("an", K::Flag, &T::AudioDisable),
      Entry("acodec", K::Special, &T::OptCodec),
      Entry("atag", K::Special, &T::OptTag),
      Entry("vol", K::Integer, &T::AudioVolume),
      Entry("newaudio", K::Special, &T::OptNewStream),
      Entry("alang", K::Text, &T::AudioLanguage),
      Entry("sample_fmt", K::Special, &T::OptSampleFmt),
      Entry("sn", K::Flag, &T::SubtitleDisable),
      Entry("scodec", K::Special, &T::OptCodec),
      Entry("newsubtitle", K::Special, &T::OptNewStream),
      Entry("slang", K::Text, &T::SubtitleLanguage),
      Entry("vc", K::Integer, &T::VideoChannel),
      Entry("tvstd", K::LibraryText, &T::VideoStandard),
      Entry("isync", K::Flag, &T::InputSync),
      Entry("muxdelay", K::Decimal, &T::MuxMaxDelay),
      Entry("muxpreload", K::Decimal, &T::MuxPreload),
      Entry("absf", K::Special, &T::OptBitstreamFilter),
      Entry("vbsf", K::Special, &T::OptBitstreamFilter),
      Entry("sbsf", K::Special, &T::OptBitstreamFilter),
      Entry("apre", K::Ignored),
      Entry("vpre", K::Ignored),
      Entry("spre", K::Ignored),
  };
  return Table;
}

const TCustomFFmpeg::TOptionDef* TCustomFFmpeg::FindOption(const std::string& Name) {
  for (const TOptionDef& Def : OptionTable())
    if (Name == Def.Name) return &Def;
  return nullptr;
}

void TCustomFFmpeg::SetOption(const std::string& Name, const std::string& Value) {
  const TOptionDef* Def = FindOption(Name);
  if (!Def) {
    (void)SetGenericOption(Name, Value);
    return;
  }
  switch (Def->Kind) {
    case K::Ignored:
      Log(1, "Do nothing: option - " + Name);
      return;
    case K::Rejected:
      throw FFMpegException("TODO: option - " + Name);
    default:
      break;
  }
  // Every value is converted before its field is written, so a bad value
  // leaves the field as it was.
  const TTarget& Target = Def->Target;
  if (auto* Handler = std::get_if<THandler>(&Target)) {
    (this->*(*Handler))(Name, Value);
  } else if (auto* IntField = std::get_if<int T::*>(&Target)) {
    this->*(*IntField) = Def->Kind == K::Flag ? 1 : StrToInt(Value);
  } else if (auto* BoolField = std::get_if<bool T::*>(&Target)) {
    this->*(*BoolField) = true;
  } else if (auto* SingleField = std::get_if<float T::*>(&Target)) {
    this->*(*SingleField) = StrToSingle(Value);
  } else if (auto* UInt64Field = std::get_if<uint64_t T::*>(&Target)) {
    this->*(*UInt64Field) = static_cast<uint64_t>(StrToInt64(Value));
  } else if (auto* TextField = std::get_if<std::string T::*>(&Target)) {
    this->*(*TextField) = Value;
  } else if (auto* LibraryTextField = std::get_if<std::optional<std::string> T::*>(&Target)) {
    this->*(*LibraryTextField) = Value;
  }
}

}  // namespace vexav
