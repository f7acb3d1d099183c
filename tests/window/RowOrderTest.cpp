// New orders of the job list's rows, and the folder a typed output folder
// text names.
#include <gtest/gtest.h>

#include <vector>

#include "QtPrinters.h"
#include "window/OutputFolderText.h"
#include "window/RowOrder.h"

namespace vexav::test {
namespace {

using Order = std::vector<int>;

TEST(WindowRowOrder, MovesTheSelectedRowsOnePlaceAsBlocks) {
  EXPECT_EQ(MoveRowsBy(4, {0}, 1), Order({1, 0, 2, 3}));
  EXPECT_EQ(MoveRowsBy(4, {2}, -1), Order({0, 2, 1, 3}));
  // A block moves as a whole; rows apart move each.
  EXPECT_EQ(MoveRowsBy(5, {1, 2}, -1), Order({1, 2, 0, 3, 4}));
  EXPECT_EQ(MoveRowsBy(5, {1, 2}, 1), Order({0, 3, 1, 2, 4}));
  EXPECT_EQ(MoveRowsBy(5, {1, 3}, 1), Order({0, 2, 1, 4, 3}));
  // A block at the end it moves to stays; the others still move.
  EXPECT_EQ(MoveRowsBy(4, {0, 1}, -1), Order({0, 1, 2, 3}));
  EXPECT_EQ(MoveRowsBy(4, {0, 2}, -1), Order({0, 2, 1, 3}));
  EXPECT_EQ(MoveRowsBy(4, {3}, 1), Order({0, 1, 2, 3}));
  EXPECT_TRUE(IsSameOrder(MoveRowsBy(3, {}, 1)));
  EXPECT_TRUE(IsSameOrder(MoveRowsBy(3, {-1, 7}, -1)));
  EXPECT_TRUE(IsSameOrder(MoveRowsBy(0, {0}, 1)));
}

TEST(WindowRowOrder, DroppedRowsGoBeforeTheRowDroppedOn) {
  EXPECT_EQ(MoveRowsBefore(4, {3}, 0), Order({3, 0, 1, 2}));
  EXPECT_EQ(MoveRowsBefore(4, {0}, 4), Order({1, 2, 3, 0}));
  EXPECT_EQ(MoveRowsBefore(4, {0}, 99), Order({1, 2, 3, 0}));
  // The dragged rows keep their own order, wherever they were.
  EXPECT_EQ(MoveRowsBefore(5, {3, 0}, 2), Order({1, 0, 3, 2, 4}));
  // Dropped onto themselves or next to themselves: nothing moves.
  EXPECT_TRUE(IsSameOrder(MoveRowsBefore(4, {1, 2}, 2)));
  EXPECT_TRUE(IsSameOrder(MoveRowsBefore(4, {1, 2}, 3)));
  EXPECT_TRUE(IsSameOrder(MoveRowsBefore(4, {1}, 1)));
  EXPECT_TRUE(IsSameOrder(MoveRowsBefore(4, {9, -2}, 0)));
}

TEST(WindowRowOrder, SortsByTextWithNumbersByValueAndKeepsTies) {
  const QStringList names = {"clip 10.avi", "Clip 9.avi", "apple.avi", "clip 9.avi", "b.avi"};
  EXPECT_EQ(SortedOrder(names, Qt::AscendingOrder), Order({2, 4, 1, 3, 0}));
  EXPECT_EQ(SortedOrder(names, Qt::DescendingOrder), Order({0, 1, 3, 4, 2}));
  // Times as the Time column shows them.
  EXPECT_EQ(SortedOrder({"1:05", "12:00", "0:59", ""}, Qt::AscendingOrder), Order({3, 2, 0, 1}));
  EXPECT_EQ(SortedOrder({}, Qt::AscendingOrder), Order());
}

TEST(WindowRowOrder, NewPlacesInvertAnOrder) {
  EXPECT_EQ(NewPlaces({2, 0, 1}), Order({1, 2, 0}));
  EXPECT_EQ(NewPlaces(SameOrder(3)), Order({0, 1, 2}));
  EXPECT_EQ(SameOrder(0), Order());
}

TEST(WindowTypedOutputFolder, TakesHomeForTildeAndRelativeNames) {
  const QString home = "/home/user";
  EXPECT_EQ(TypedOutputFolder("/srv/videos", home), "/srv/videos");
  EXPECT_EQ(TypedOutputFolder("  /srv/videos/  ", home), "/srv/videos");
  EXPECT_EQ(TypedOutputFolder("/srv//a/./b/../c", home), "/srv/a/c");
  EXPECT_EQ(TypedOutputFolder("~", home), "/home/user");
  EXPECT_EQ(TypedOutputFolder("~/Videos/out", home), "/home/user/Videos/out");
  EXPECT_EQ(TypedOutputFolder("Videos/out", home), "/home/user/Videos/out");
  EXPECT_EQ(TypedOutputFolder("~bob/x", home), "/home/user/~bob/x");
  EXPECT_EQ(TypedOutputFolder("/", home), "/");
  EXPECT_EQ(TypedOutputFolder("", home), "");
  EXPECT_EQ(TypedOutputFolder("   ", home), "");
}

}  // namespace
}  // namespace vexav::test
