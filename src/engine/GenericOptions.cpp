// The generic option path: every name the option table does not hold goes
// to the libraries' own option objects (the codec defaults of each media
// type, the format defaults, the scaler defaults), which keep the values
// until the inputs and outputs are built and copy them across
// (SetContextOptions). Names the libraries now keep only among the private
// options of particular muxers or codecs wait in PrivateOptions.
#include <cstring>

#include "binding/Text.h"
#include "engine/Convert.h"
#include "engine/FFmpeg.h"

namespace vexav {
namespace {

// Option names and flag words that the libraries' generic tables no longer
// hold under their old spelling. A row without Word renames an option; a
// row with Word moves that word of a flags option to a private option of
// the codecs that still have it (set to 1 for "+word", 0 for "-word").
struct TLegacyOption {
  const char* Name;
  const char* Word;
  const char* Current;
};
constexpr TLegacyOption LegacyOptions[] = {
    {"gop", nullptr, "g"},                    // group-of-pictures size
    {"flags", "scan_offset", "scan_offset"},  // SVCD scan offset (mpeg2video)
};

// Codec options that today's libraries flag for sound as well as pictures
// but that the engine treats as picture options, as its option names were
// made for: "b" is the video bit rate ("ab" the audio one), and the rate
// control and trellis settings are the video encoder's. Set for sound they
// would override what the sound encoder was given ("ab") or chose itself.
constexpr const char* VideoOnlyCodecOptions[] = {"b", "maxrate", "minrate", "bufsize", "trellis"};

bool VideoOnlyCodecOption(const char* Name) {
  for (const char* Listed : VideoOnlyCodecOptions)
    if (std::strcmp(Name, Listed) == 0) return true;
  return false;
}

// The media-type flags tried on the codec defaults, in the order of the
// media types video, audio, data, subtitle, attachment.
constexpr int MediaTypeFlags[MEDIA_TYPE_COUNT] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM,
                                                  0, AV_OPT_FLAG_SUBTITLE_PARAM, 0};

std::string CurrentName(const std::string& Name) {
  for (const TLegacyOption& Row : LegacyOptions)
    if (!Row.Word && Name == Row.Name) return Row.Current;
  return Name;
}

const TLegacyOption* LegacyFlagWord(const std::string& Name, const std::string& Word) {
  for (const TLegacyOption& Row : LegacyOptions)
    if (Row.Word && Name == Row.Name && Word == Row.Word) return &Row;
  return nullptr;
}

// Sets Name on one option object when the object has it. Found tells
// whether it has it.
const AVOption* TrySet(void* Object, const char* Name, const char* Value, bool& Known) {
  if (!Object) return nullptr;
  const AVOption* Option = ff::av_opt_find(Object, Name, nullptr, 0, 0);
  if (!Option) return nullptr;
  Known = true;
  return ff::av_opt_set(Object, Name, Value, 0) >= 0 ? Option : nullptr;
}

}  // namespace

bool TCustomFFmpeg::SetGenericOptionInt(const std::string& Name, int64_t Number) {
  return SetGenericOption(Name, std::to_string(Number));
}

bool TCustomFFmpeg::SetGenericOption(const std::string& Name, const std::string& Value) {
  // Blank names and values are not options; the untrimmed texts are what
  // the libraries get.
  if (Trim(Name).empty() || Trim(Value).empty()) return false;
  RequireLibraries();
  if (!CodecDefaults[AVMEDIA_TYPE_VIDEO])
    throw FFMpegException("The engine's option objects do not exist: InitOptions creates them");

  const std::string OptionName = CurrentName(Name);
  std::string OptionValue = Value;
  const bool Moved = SplitLegacyFlagWords(OptionName, OptionValue);
  if (Moved && Trim(OptionValue).empty()) return true;

  switch (SetGenericOptionRaw(OptionName, OptionValue)) {
    case TGenericResult::Set:
      return true;
    case TGenericResult::Rejected:
      return Moved;
    case TGenericResult::Unknown:
      break;
  }
  return RecordPrivateOption(OptionName, OptionValue) || Moved;
}

bool TCustomFFmpeg::SplitLegacyFlagWords(const std::string& Name, std::string& Value) {
  bool HasLegacyWords = false;
  for (const TLegacyOption& Row : LegacyOptions)
    if (Row.Word && Name == Row.Name) HasLegacyWords = true;
  if (!HasLegacyWords) return false;

  // A flags value is a run of words, each after "+" (set) or "-" (clear);
  // the first may come without a sign.
  std::string Kept;
  bool Moved = false;
  std::size_t I = 0;
  while (I < Value.size()) {
    char Sign = '+';
    if (Value[I] == '+' || Value[I] == '-') Sign = Value[I++];
    std::size_t End = Value.find_first_of("+-", I);
    if (End == std::string::npos) End = Value.size();
    const std::string Word = Value.substr(I, End - I);
    if (const TLegacyOption* Row = LegacyFlagWord(Name, Trim(Word))) {
      PrivateOptions.push_back({Row->Current, Sign == '-' ? "0" : "1"});
      Moved = true;
    } else {
      Kept += Sign;
      Kept += Word;
    }
    I = End;
  }
  if (Moved) Value = Kept;
  return Moved;
}

TCustomFFmpeg::TGenericResult TCustomFFmpeg::SetGenericOptionRaw(const std::string& Name,
                                                                 const std::string& Value) {
  const char* N = Name.c_str();
  const char* V = Value.c_str();
  void* VideoDefaults = CodecDefaults[AVMEDIA_TYPE_VIDEO].get();
  bool Known = false;

  // The codec defaults of every media type whose flag the option carries
  // (a flag of 0 matches every codec option); the last setting counts.
  const AVOption* Found = nullptr;
  for (int I = 0; I < MEDIA_TYPE_COUNT; ++I) {
    const AVOption* Option = ff::av_opt_find(VideoDefaults, N, nullptr, MediaTypeFlags[I], 0);
    if (!Option) continue;
    if (I != AVMEDIA_TYPE_VIDEO && VideoOnlyCodecOption(Option->name)) continue;
    Known = true;
    Found =
        CodecDefaults[I] && ff::av_opt_set(CodecDefaults[I].get(), N, V, 0) >= 0 ? Option : nullptr;
  }
  if (!Found) Found = TrySet(FormatDefaults.get(), N, V, Known);
  if (!Found) Found = TrySet(ScalerDefaults.get(), N, V, Known);
  // "a", "v" or "s" in front of a codec option names it for that media type.
  if (!Found && N[1] && (N[0] == 'a' || N[0] == 'v' || N[0] == 's')) {
    const int Type = N[0] == 'a'   ? AVMEDIA_TYPE_AUDIO
                     : N[0] == 'v' ? AVMEDIA_TYPE_VIDEO
                                   : AVMEDIA_TYPE_SUBTITLE;
    Found = TrySet(CodecDefaults[Type].get(), N + 1, V, Known);
  }
  if (!Found) {
    if (Known) Log(0, Format("Invalid value '%s' for option %s", V, N));
    return Known ? TGenericResult::Rejected : TGenericResult::Unknown;
  }

  OptionNames.emplace_back(Found->name);
  ApplyDebugRule();
  return TGenericResult::Set;
}

void TCustomFFmpeg::ApplyDebugRule() {
  int64_t CodecDebug = 0, FormatDebug = 0;
  if (CodecDefaults[AVMEDIA_TYPE_VIDEO])
    ff::av_opt_get_int(CodecDefaults[AVMEDIA_TYPE_VIDEO].get(), "debug", 0, &CodecDebug);
  if (FormatDefaults) ff::av_opt_get_int(FormatDefaults.get(), "fdebug", 0, &FormatDebug);
  if (CodecDebug != 0 || FormatDebug != 0) SetVerbose(2);
}

bool TCustomFFmpeg::RecordPrivateOption(const std::string& Name, const std::string& Value) {
  // The generic format and codec classes list the private option classes
  // of every muxer, demuxer and codec as their children.
  const AVClass* Classes[] = {ff::avformat_get_class(), ff::avcodec_get_class()};
  for (const AVClass* Class : Classes) {
    const AVClass* FakeObject = Class;
    if (ff::av_opt_find(&FakeObject, Name.c_str(), nullptr, 0,
                        AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ)) {
      PrivateOptions.push_back({Name, Value});
      return true;
    }
  }
  return false;
}

void TCustomFFmpeg::SetContextOptions(void* Context, void* Defaults, int Flags) const {
  if (!Context || !Defaults) return;
  for (const std::string& Name : OptionNames) {
    const AVOption* Option = ff::av_opt_find(Defaults, Name.c_str(), nullptr, 0, 0);
    if (!Option || (Option->flags & Flags) != Flags) continue;
    // A picture option set for pictures only; a sound encoder keeps its
    // own value (the audio rate arrives under "ab").
    if ((Flags & (AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_SUBTITLE_PARAM)) != 0 &&
        VideoOnlyCodecOption(Option->name))
      continue;
    uint8_t* Text = nullptr;
    if (ff::av_opt_get(Defaults, Name.c_str(), 0, &Text) >= 0 && Text)
      ff::av_opt_set(Context, Name.c_str(), reinterpret_cast<const char*>(Text), 0);
    ff::av_free(Text);
  }
}

int TCustomFFmpeg::ApplyPrivateOptions(void* Context, int Flags) const {
  if (!Context) return 0;
  int Count = 0;
  for (const TPrivateOption& Option : PrivateOptions) {
    if (!ff::av_opt_find(Context, Option.Name.c_str(), nullptr, Flags, AV_OPT_SEARCH_CHILDREN))
      continue;
    if (ff::av_opt_set(Context, Option.Name.c_str(), Option.Value.c_str(),
                       AV_OPT_SEARCH_CHILDREN) >= 0)
      ++Count;
  }
  return Count;
}

void TCustomFFmpeg::CollectPrivateOptions(AVDictionary** Dict) const {
  for (const TPrivateOption& Option : PrivateOptions)
    ff::av_dict_set(Dict, Option.Name.c_str(), Option.Value.c_str(), 0);
}

}  // namespace vexav
