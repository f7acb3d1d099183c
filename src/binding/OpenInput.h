// Opening an input file for demuxing, together with the error-text row its
// failure is reported under. The probe and the engine's input opening share
// this rule.
#pragma once

#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

namespace vexav {

struct InputOpenResult {
  // avformat_open_input's own result: >= 0 on success.
  int Code = 0;
  // The code the failure is reported under (for LibraryErrorText): Code
  // itself, or AVERROR_DEMUXER_NOT_FOUND for data no demuxer recognises.
  int TextCode = 0;
  // ErrorRow(TextCode); 0 on success.
  int Row = 0;
  bool Ok() const { return Code >= 0; }
};

// Opens Url into *Context as avformat_open_input does: *Context may hold a
// context allocated beforehand or nullptr; on failure the context is freed
// and *Context is nullptr. Format forces a demuxer (nullptr: detect it).
//
// The library picks a demuxer by the file name's extension alone when the
// data matches none, and that demuxer then fails with "invalid data". So
// when detection was left to the library and it answers with invalid data,
// the file's content is probed once more, without its name: when no demuxer
// recognises it, the failure is reported as an unknown format (row -42)
// instead of a header that could not be parsed (row -22).
InputOpenResult OpenInputFile(AVFormatContext** Context, const std::string& Url,
                              const AVInputFormat* Format, AVDictionary** Options);

// Whether some demuxer recognises the data behind Url by its content alone
// (its name is not looked at) with more than a guess's score. A source that
// cannot be read counts as recognised, so that its own error is what gets
// reported.
bool InputDataRecognised(const std::string& Url);

}  // namespace vexav
