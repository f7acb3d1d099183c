// Library error codes to the system's message templates.
#include <gtest/gtest.h>

#include <cerrno>

#include "binding/ErrorText.h"

extern "C" {
#include <libavutil/error.h>
}

using vexav::ErrorRow;
using vexav::LibraryErrorText;

TEST(ErrorText, EachMeaningHasItsTemplate) {
  EXPECT_EQ(LibraryErrorText("a.avi", AVERROR(ENOENT)), "a.avi: no such file or directory");
  EXPECT_EQ(LibraryErrorText("a.avi", AVERROR(ENOMEM)), "a.avi: memory allocation error occurred");
  EXPECT_EQ(LibraryErrorText("a.avi", AVERROR_INVALIDDATA), "a.avi: Error while parsing header");
  EXPECT_EQ(LibraryErrorText("a.avi", AVERROR_DEMUXER_NOT_FOUND), "a.avi: Unknown format");
  EXPECT_EQ(LibraryErrorText("a.avi", AVERROR(ENOSPC)), "a.avi: Error while opening file");
  EXPECT_EQ(LibraryErrorText("a.avi", AVERROR(EIO)),
            "a.avi: I/O error occurred\r\n"
            "Usually that means that input file is truncated and/or corrupted.");
}

TEST(ErrorText, ImageNumberTextHasSinglePercentSigns) {
  const std::string Text = LibraryErrorText("img.jpg", AVERROR(EDOM));
  EXPECT_EQ(Text.rfind("img.jpg: Incorrect image filename syntax.\r\n", 0), 0u);
  EXPECT_NE(Text.find("Use '%d' to specify the image number:"), std::string::npos);
  EXPECT_NE(Text.find("use 'img%03d.jpg'."), std::string::npos);
  EXPECT_EQ(Text.find("%%"), std::string::npos);
}

TEST(ErrorText, TodaysCodesMapOntoTheRowsByMeaning) {
  EXPECT_EQ(ErrorRow(AVERROR(ENOENT)), -2);
  EXPECT_EQ(ErrorRow(AVERROR(EIO)), -5);
  EXPECT_EQ(ErrorRow(AVERROR_EOF), -5);  // data ended early: a truncated file
  EXPECT_EQ(ErrorRow(AVERROR(ENOMEM)), -12);
  EXPECT_EQ(ErrorRow(AVERROR(EINVAL)), -22);
  EXPECT_EQ(ErrorRow(AVERROR_INVALIDDATA), -22);
  EXPECT_EQ(ErrorRow(AVERROR(EDOM)), -33);
  EXPECT_EQ(ErrorRow(AVERROR(EILSEQ)), -42);
  EXPECT_EQ(ErrorRow(AVERROR_DEMUXER_NOT_FOUND), -42);
  EXPECT_EQ(ErrorRow(AVERROR_PROTOCOL_NOT_FOUND), -42);
  EXPECT_EQ(ErrorRow(AVERROR(EACCES)), 0);
  EXPECT_EQ(ErrorRow(0), 0);
}

TEST(ErrorText, SubjectWithPercentSignsIsNotAFormat) {
  EXPECT_EQ(LibraryErrorText("100%s.avi", AVERROR(ENOENT)),
            "100%s.avi: no such file or directory");
}
