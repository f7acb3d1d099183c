// The handlers behind the option table's names. Each converts and checks
// its value before it writes a field, so a bad value leaves the engine as it
// was (the frame size is the one exception: its size is stored before the
// multiple-of-2 check).
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <ctime>

#include "binding/FFmpegLibs.h"
#include "binding/Text.h"
#include "engine/Convert.h"
#include "engine/FFmpeg.h"
#include "engine/OptionText.h"

namespace vexav {
namespace {

// The folder of the running program, with its trailing "/".
std::string ProgramFolder() {
  char Path[PATH_MAX];
  ssize_t Length = ::readlink("/proc/self/exe", Path, sizeof Path - 1);
  if (Length <= 0) return "./";
  std::string Text(Path, static_cast<std::size_t>(Length));
  auto Slash = Text.rfind('/');
  return Slash == std::string::npos ? std::string("./") : Text.substr(0, Slash + 1);
}

}  // namespace

void TCustomFFmpeg::RequireLibraries() const {
  if (!FFmpegLibsLoaded()) throw FFMpegException("The media libraries are not loaded");
}

void TCustomFFmpeg::OptVerbose(const std::string&, const std::string& Value) {
  SetVerbose(StrToInt(Value));
}

// ---- Formats -------------------------------------------------------------

void TCustomFFmpeg::ApplyPgmyuvRule(std::string& Name) {
  if (Name != "pgmyuv") return;
  // There is no pgmyuv format of its own: the image formats read and write
  // these files, and the input side forces the pgmyuv decoder.
  PgmyuvCompat = 1;
  Name = "image2";
  Log(1, "pgmyuv format is deprecated, use image2");
}

void TCustomFFmpeg::OptFormat(const std::string&, const std::string& Value) {
  if (Value.empty()) return;
  RequireLibraries();
  std::string Name = Value;
  ApplyPgmyuvRule(Name);
  const AVInputFormat* In = ff::av_find_input_format(Name.c_str());
  const AVOutputFormat* Out = ff::av_guess_format(Name.c_str(), nullptr, nullptr);
  if (!In && !Out) throw FFMpegException(Format("Unknown input or output format: %s", Name.c_str()));
  InputFormat = In;
  OutputFormat = Out;
}

// ---- Maps ----------------------------------------------------------------

void TCustomFFmpeg::OptMap(const std::string&, const std::string& Value) {
  AddStreamMap(ParseStreamMap(Value));
}

void TCustomFFmpeg::OptMapMetaData(const std::string&, const std::string& Value) {
  AddMetaDataMap(ParseMetaDataMap(Value));
}

void TCustomFFmpeg::OptInputTsScale(const std::string&, const std::string& Value) {
  int64_t Stream = 0;
  double Scale = 0;
  ParseTsScale(Value, Stream, Scale);
  if (Stream < 0 || Stream >= MAX_STREAMS)
    throw FFMpegException(Format("stream index over MAX_STREAMS(%d)", MAX_STREAMS));
  // An infinite or undefined factor would turn every time stamp of the
  // stream into an undefined number.
  if (!std::isfinite(Scale))
    throw EConvertError(Format("'%s' is not a valid floating point value", Value.c_str()));
  // The scale belongs to the input file that is opened next.
  CheckInputFileRoom();
  InputTsScales[InputFileCount][Stream] = Scale;
}

// ---- Times ---------------------------------------------------------------

int64_t TCustomFFmpeg::ParseTimeOrFail(const std::string& OptionName, const std::string& Text,
                                       bool IsDuration) {
  RequireLibraries();
  int64_t Result = INT64_MIN;
  int Code = ff::av_parse_time(&Result, Text.c_str(), IsDuration ? 1 : 0);
  if (Code < 0 || Result == INT64_MIN)
    throw FFMpegException(Format("Invalid %s specification for %s: %s",
                                 IsDuration ? "duration" : "date", OptionName.c_str(), Text.c_str()));
  return Result;
}

void TCustomFFmpeg::OptRecordingTime(const std::string& Name, const std::string& Value) {
  SetRecordingTimeMs(ParseTimeOrFail(Name, Value, true) / 1000);
}

void TCustomFFmpeg::OptStartTime(const std::string& Name, const std::string& Value) {
  StartTime = ParseTimeOrFail(Name, Value, true);
}

void TCustomFFmpeg::OptInputTsOffset(const std::string& Name, const std::string& Value) {
  InputTsOffset = ParseTimeOrFail(Name, Value, true);
}

void TCustomFFmpeg::OptTimestamp(const std::string& Name, const std::string& Value) {
  RecTimestamp = RoundDivHalfEven(ParseTimeOrFail(Name, Value, false), 1000000);
}

// ---- Texts and plain numbers -----------------------------------------------

void TCustomFFmpeg::OptTitle(const std::string&, const std::string& Value) { SetTitle(Value); }
void TCustomFFmpeg::OptAuthor(const std::string&, const std::string& Value) { SetAuthor(Value); }
void TCustomFFmpeg::OptCopyright(const std::string&, const std::string& Value) { SetCopyright(Value); }
void TCustomFFmpeg::OptComment(const std::string&, const std::string& Value) { SetComment(Value); }
void TCustomFFmpeg::OptGenre(const std::string&, const std::string& Value) { SetGenre(Value); }
void TCustomFFmpeg::OptAlbum(const std::string&, const std::string& Value) { SetAlbum(Value); }
void TCustomFFmpeg::OptVideoFilters(const std::string&, const std::string& Value) {
  SetVideoFilters(Value);
}

void TCustomFFmpeg::OptVideoFrames(const std::string&, const std::string& Value) {
  MaxFrames[AVMEDIA_TYPE_VIDEO] = StrToInt(Value);
}
// A comma-separated list of output times; the encoder starts a key frame at
// the first picture at or after each. Pieces of a long file converted apart
// are cut there.
void TCustomFFmpeg::OptForceKeyFrames(const std::string& Name, const std::string& Value) {
  std::vector<int64_t> Times;
  size_t Begin = 0;
  for (;;) {
    const size_t End = Value.find(',', Begin);
    Times.push_back(ParseTimeOrFail(Name, Value.substr(Begin, End - Begin), true));
    if (End == std::string::npos) break;
    Begin = End + 1;
  }
  std::sort(Times.begin(), Times.end());
  ForcedKeyFrames = std::move(Times);
}
// The frame of a longer conversion at which this output starts: a frame
// count, 0 or more.
void TCustomFFmpeg::OptVideoSyncStart(const std::string& Name, const std::string& Value) {
  const int64_t Frame = StrToInt64(Value);
  if (Frame < 0) throw FFMpegException(Format("Invalid frame number for %s: %s", Name.c_str(), Value.c_str()));
  VideoSyncStart = Frame;
}
void TCustomFFmpeg::OptAudioFrames(const std::string&, const std::string& Value) {
  MaxFrames[AVMEDIA_TYPE_AUDIO] = StrToInt(Value);
}
void TCustomFFmpeg::OptDataFrames(const std::string&, const std::string& Value) {
  MaxFrames[AVMEDIA_TYPE_DATA] = StrToInt(Value);
}

void TCustomFFmpeg::OptSampleRate(const std::string&, const std::string& Value) {
  SetAudioSampleRate(StrToInt(Value));
}
void TCustomFFmpeg::OptChannels(const std::string&, const std::string& Value) {
  SetAudioChannels(StrToInt(Value));
}

void TCustomFFmpeg::OptPass(const std::string&, const std::string& Value) {
  int Pass = StrToInt(Value);
  if (Pass != 1 && Pass != 2) throw FFMpegException("pass number can be only 1 or 2");
  DoPass = Pass;
}

void TCustomFFmpeg::OptTarget(const std::string&, const std::string& Value) {
  std::string Type, Norm;
  ParseTargetValue(Value, Type, Norm);
  SetTarget(Type, Norm, "ntsc");
}

// ---- Picture -------------------------------------------------------------

void TCustomFFmpeg::OptBitRate(const std::string& Name, const std::string& Value) {
  SetBitRate(Name, Value);
}
void TCustomFFmpeg::OptFrameRate(const std::string&, const std::string& Value) {
  SetFrameRate(Value);
}
void TCustomFFmpeg::OptFrameSize(const std::string&, const std::string& Value) {
  SetFrameSize(Value);
}
void TCustomFFmpeg::OptAspect(const std::string&, const std::string& Value) {
  SetAspectRatio(Value);
}
void TCustomFFmpeg::OptPixFmt(const std::string&, const std::string& Value) {
  SetPixelFormat(Value);
}
void TCustomFFmpeg::OptSampleFmt(const std::string&, const std::string& Value) {
  SetSampleFormat(Value);
}
void TCustomFFmpeg::OptPadColor(const std::string&, const std::string& Value) {
  SetPadColor(StrToInt(Value));
}
void TCustomFFmpeg::OptQScale(const std::string&, const std::string& Value) {
  SetVideoQScale(StrToSingle(Value));
}

void TCustomFFmpeg::OptCrop(const std::string& Name, const std::string& Value) {
  const int Band = StrToInt(Value);
  if (Name == "croptop")
    SetCropTop(Band);
  else if (Name == "cropbottom")
    SetCropBottom(Band);
  else if (Name == "cropleft")
    SetCropLeft(Band);
  else
    SetCropRight(Band);
}

void TCustomFFmpeg::OptPad(const std::string& Name, const std::string& Value) {
  const int Band = StrToInt(Value);
  if (Name == "padtop")
    SetPadTop(Band);
  else if (Name == "padbottom")
    SetPadBottom(Band);
  else if (Name == "padleft")
    SetPadLeft(Band);
  else
    SetPadRight(Band);
}

void TCustomFFmpeg::OptMatrix(const std::string& Name, const std::string& Value) {
  // The matrix is read completely before it replaces the current one: a
  // partly read matrix (zeros after the error) must never reach an encoder.
  std::array<uint16_t, 64> Matrix{};
  int Failed = ParseMatrixCoeffs(Value, Matrix);
  if (Failed >= 0)
    throw FFMpegException(Format("Syntax error in matrix \"%s\" at coeff %d", Value.c_str(), Failed));
  if (Name == "intra_matrix")
    IntraMatrix = Matrix;
  else
    InterMatrix = Matrix;
}

// ---- Codecs and streams ----------------------------------------------------

void TCustomFFmpeg::OptCodec(const std::string& Name, const std::string& Value) {
  if (Name == "vcodec")
    SetVideoCodec(Value);
  else if (Name == "acodec")
    SetAudioCodec(Value);
  else
    SetSubtitleCodec(Value);
}

void TCustomFFmpeg::OptTag(const std::string& Name, const std::string& Value) {
  if (Name == "vtag")
    SetVideoTag(Value);
  else
    SetAudioTag(Value);
}

void TCustomFFmpeg::OptNewStream(const std::string& Name, const std::string&) {
  if (OutputFileCount == 0) throw FFMpegException("At least one output file must be specified");
  AVFormatContext* Context = OutputFiles[OutputFileCount - 1].get();
  if (Name == "newvideo")
    NewVideoStream(Context);
  else if (Name == "newaudio")
    NewAudioStream(Context);
  else
    NewSubtitleStream(Context);
}

void TCustomFFmpeg::OptBitstreamFilter(const std::string& Name, const std::string& Value) {
  AddBitstreamFilter(Name, Value);
}

// ---- Statistics file and hooks ---------------------------------------------

void TCustomFFmpeg::OptVstats(const std::string&, const std::string&) {
  std::time_t Now = std::time(nullptr);
  std::tm Local{};
  localtime_r(&Now, &Local);
  VstatsFileName = Format("%svstats_%02d%02d%02d.log", ProgramFolder().c_str(), Local.tm_hour,
                          Local.tm_min, Local.tm_sec);
}

void TCustomFFmpeg::OptVstatsFile(const std::string&, const std::string& Value) {
  VstatsFileName = Value;
}

void TCustomFFmpeg::OptVhook(const std::string&, const std::string& Value) { AddVideoHook(Value); }

}  // namespace vexav
