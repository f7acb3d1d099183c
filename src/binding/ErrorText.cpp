#include "binding/ErrorText.h"

#include <cerrno>

#include "binding/Text.h"

extern "C" {
#include <libavutil/error.h>
}

namespace vexav {

int ErrorRow(int Code) {
  switch (Code) {
    case AVERROR(ENOENT):
      return -2;
    case AVERROR(EIO):
    case AVERROR_EOF:
      return -5;
    case AVERROR(ENOMEM):
      return -12;
    case AVERROR(EINVAL):
    case AVERROR_INVALIDDATA:
      return -22;
    case AVERROR(EDOM):
      return -33;
    case AVERROR(EILSEQ):
    case AVERROR_DEMUXER_NOT_FOUND:
    case AVERROR_PROTOCOL_NOT_FOUND:
      return -42;
    default:
      return 0;
  }
}

std::string LibraryErrorText(const std::string& Subject, int Code) {
  const char* S = Subject.c_str();
  switch (ErrorRow(Code)) {
    case -42:
      return Format("%s: Unknown format", S);
    case -33:
      return Format(
          "%s: Incorrect image filename syntax.\r\n"
          "Use '%%d' to specify the image number:\r\n"
          "  for img1.jpg, img2.jpg, ..., use 'img%%d.jpg';\r\n"
          "  for img001.jpg, img002.jpg, ..., use 'img%%03d.jpg'.",
          S);
    case -22:
      return Format("%s: Error while parsing header", S);
    case -12:
      return Format("%s: memory allocation error occurred", S);
    case -5:
      return Format(
          "%s: I/O error occurred\r\n"
          "Usually that means that input file is truncated and/or corrupted.",
          S);
    case -2:
      return Format("%s: no such file or directory", S);
    default:
      return Format("%s: Error while opening file", S);
  }
}

}  // namespace vexav
