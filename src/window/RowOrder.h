// New orders of the job list's rows: moving the selected rows one place up
// or down, moving dragged rows to where they were dropped, and sorting by a
// column's texts. An order lists the old row numbers in their new places:
// order[i] is the old row that row i shows afterwards.
#pragma once

#include <QString>
#include <QStringList>
#include <Qt>
#include <vector>

namespace vexav {

// The rows as they are: 0, 1, ... rowCount - 1.
std::vector<int> SameOrder(int rowCount);

// Whether order leaves every row where it is.
bool IsSameOrder(const std::vector<int>& order);

// The selected rows one place up (step -1) or down (step +1), each block of
// adjacent rows as a whole; a block at the top (or the bottom) stays. Rows
// out of range are ignored.
std::vector<int> MoveRowsBy(int rowCount, const std::vector<int>& selected, int step);

// The given rows, in their order, taken out and put back before the row
// that was at before (rowCount or more: at the end).
std::vector<int> MoveRowsBefore(int rowCount, const std::vector<int>& rows, int before);

// The rows sorted by their keys: numbers inside the texts compare by value
// ("clip 9" before "clip 10"), letter case is ignored, and rows with equal
// keys keep their order.
std::vector<int> SortedOrder(const QStringList& keys, Qt::SortOrder sortOrder);

// Where each old row went: the inverse of order.
std::vector<int> NewPlaces(const std::vector<int>& order);

}  // namespace vexav
