#include "window/RowOrder.h"

#include <algorithm>
#include <numeric>

namespace vexav {

namespace {

// The length of the run of digits (or of other characters) at from.
qsizetype RunLength(const QString& text, qsizetype from) {
  const bool digits = text[from].isDigit();
  qsizetype end = from;
  while (end < text.size() && text[end].isDigit() == digits) ++end;
  return end - from;
}

// Compares texts run by run: runs of digits by their value, other runs
// without regard to letter case. The same rule in every locale (the
// system's collation may ignore numbers, as it does in the C locale).
int CompareNatural(const QString& a, const QString& b) {
  qsizetype i = 0;
  qsizetype j = 0;
  while (i < a.size() && j < b.size()) {
    const qsizetype lengthA = RunLength(a, i);
    const qsizetype lengthB = RunLength(b, j);
    QStringView runA = QStringView(a).mid(i, lengthA);
    QStringView runB = QStringView(b).mid(j, lengthB);
    int compared = 0;
    if (a[i].isDigit() && b[j].isDigit()) {
      // By value: without leading zeros, the longer number is the larger.
      while (runA.size() > 1 && runA.front() == u'0') runA = runA.mid(1);
      while (runB.size() > 1 && runB.front() == u'0') runB = runB.mid(1);
      compared =
          runA.size() == runB.size() ? runA.compare(runB) : (runA.size() < runB.size() ? -1 : 1);
    } else {
      compared = runA.compare(runB, Qt::CaseInsensitive);
    }
    if (compared != 0) return compared;
    i += lengthA;
    j += lengthB;
  }
  return (i < a.size()) - (j < b.size());
}

}  // namespace

std::vector<int> SameOrder(int rowCount) {
  std::vector<int> order(static_cast<size_t>(std::max(0, rowCount)));
  std::iota(order.begin(), order.end(), 0);
  return order;
}

bool IsSameOrder(const std::vector<int>& order) {
  for (size_t i = 0; i < order.size(); ++i)
    if (order[i] != static_cast<int>(i)) return false;
  return true;
}

std::vector<int> MoveRowsBy(int rowCount, const std::vector<int>& selected, int step) {
  std::vector<int> order = SameOrder(rowCount);
  if (step == 0) return order;
  std::vector<char> chosen(order.size(), 0);
  for (const int row : selected)
    if (row >= 0 && row < rowCount) chosen[static_cast<size_t>(row)] = 1;
  // Each chosen row swaps with the unchosen neighbour on its side, walking
  // from that side, so that a block moves as a whole and a block already at
  // the end stays.
  const int dir = step < 0 ? -1 : 1;
  const int first = dir < 0 ? 0 : rowCount - 1;
  for (int place = first; place >= 0 && place < rowCount; place -= dir) {
    const int next = place + dir;
    if (!chosen[static_cast<size_t>(place)] || next < 0 || next >= rowCount ||
        chosen[static_cast<size_t>(next)])
      continue;
    std::swap(order[static_cast<size_t>(place)], order[static_cast<size_t>(next)]);
    std::swap(chosen[static_cast<size_t>(place)], chosen[static_cast<size_t>(next)]);
  }
  return order;
}

std::vector<int> MoveRowsBefore(int rowCount, const std::vector<int>& rows, int before) {
  std::vector<bool> moving(static_cast<size_t>(std::max(0, rowCount)), false);
  std::vector<int> moved;
  for (const int row : rows) {
    if (row < 0 || row >= rowCount || moving[static_cast<size_t>(row)]) continue;
    moving[static_cast<size_t>(row)] = true;
    moved.push_back(row);
  }
  std::sort(moved.begin(), moved.end());
  std::vector<int> order;
  order.reserve(moving.size());
  for (int row = 0; row <= rowCount; ++row) {
    if (row == std::clamp(before, 0, rowCount))
      order.insert(order.end(), moved.begin(), moved.end());
    if (row < rowCount && !moving[static_cast<size_t>(row)]) order.push_back(row);
  }
  return order;
}

std::vector<int> SortedOrder(const QStringList& keys, Qt::SortOrder sortOrder) {
  std::vector<int> order = SameOrder(static_cast<int>(keys.size()));
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    const int compared = CompareNatural(keys[a], keys[b]);
    return sortOrder == Qt::AscendingOrder ? compared < 0 : compared > 0;
  });
  return order;
}

std::vector<int> NewPlaces(const std::vector<int>& order) {
  std::vector<int> places(order.size(), -1);
  for (size_t i = 0; i < order.size(); ++i)
    if (order[i] >= 0 && order[i] < static_cast<int>(order.size()))
      places[static_cast<size_t>(order[i])] = static_cast<int>(i);
  return places;
}

}  // namespace vexav
