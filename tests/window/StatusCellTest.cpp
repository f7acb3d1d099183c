#include <gtest/gtest.h>

#include <limits>

#include "QtPrinters.h"
#include "window/StatusCell.h"

namespace vexav {
namespace {

using TKind = TStatusCell::TKind;

TEST(WindowStatusCell, CellTexts) {
  EXPECT_EQ(ProgressCellText(37), "{|37");
  EXPECT_EQ(ProgressCellText(0), "{|0");
  EXPECT_EQ(ProgressCellText(140), "{|100");
  EXPECT_EQ(ProgressCellText(-3), "{|0");
  EXPECT_EQ(ConvertingCellText(), "{|");
}

TEST(WindowStatusCell, Parsing) {
  EXPECT_EQ(ParseStatusCell("{|37"), (TStatusCell{TKind::Progress, 37, {}}));
  EXPECT_EQ(ParseStatusCell("{|100"), (TStatusCell{TKind::Progress, 100, {}}));
  EXPECT_EQ(ParseStatusCell("{|250"), (TStatusCell{TKind::Progress, 100, {}}));
  EXPECT_EQ(ParseStatusCell("{|99999999999999999999999"), (TStatusCell{TKind::Progress, 100, {}}));
  EXPECT_EQ(ParseStatusCell("{|"), (TStatusCell{TKind::Converting, 0, {}}));
  for (const char* text : {"Ready", "Done", "Canceled", "Failed", "", "{|x", "{|-5", "{|3 "})
    EXPECT_EQ(ParseStatusCell(text), (TStatusCell{TKind::Text, 0, text})) << text;
  EXPECT_EQ(ParseStatusCell(kStatusReady).Text, "Ready");
  EXPECT_EQ(ParseStatusCell(kStatusFailed).Text, "Failed");
}

TEST(WindowStatusCell, ProgressPercent) {
  EXPECT_EQ(ProgressPercent(0, 1000), 0);
  EXPECT_EQ(ProgressPercent(379, 1000), 37);  // integer division, not rounding
  EXPECT_EQ(ProgressPercent(999, 1000), 99);
  EXPECT_EQ(ProgressPercent(1000, 1000), 100);
  EXPECT_EQ(ProgressPercent(1500, 1000), 100);
  EXPECT_EQ(ProgressPercent(-5, 1000), 0);
  const qint64 big = std::numeric_limits<qint64>::max();
  EXPECT_EQ(ProgressPercent(big / 2, big), 49);
  EXPECT_EQ(ProgressPercent(10, 0), std::nullopt);
  EXPECT_EQ(ProgressPercent(10, -1), std::nullopt);
}

TEST(WindowStatusCell, DonePartWidthRoundsHalvesToEven) {
  EXPECT_EQ(DonePartWidth(195, 0), 0);
  EXPECT_EQ(DonePartWidth(195, 100), 195);
  EXPECT_EQ(DonePartWidth(195, 37), 72);  // 72.15
  EXPECT_EQ(DonePartWidth(10, 25), 2);    // 2.5 -> 2
  EXPECT_EQ(DonePartWidth(10, 35), 4);    // 3.5 -> 4
  EXPECT_EQ(DonePartWidth(10, 37), 4);    // 3.7 -> 4
  EXPECT_EQ(DonePartWidth(10, 150), 10);
  EXPECT_EQ(DonePartWidth(-4, 50), 0);
}

}  // namespace
}  // namespace vexav
