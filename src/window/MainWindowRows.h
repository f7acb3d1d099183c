// What the main window's code files share about the list's rows: the data a
// row keeps on its Source item.
#pragma once

#include <Qt>

namespace vexav::rows {

// The output its task was given (QString).
inline constexpr int kOutputRole = Qt::UserRole + 1;
// When its first progress came, in milliseconds of the run's clock (qint64).
inline constexpr int kStartedRole = Qt::UserRole + 2;
// The last progress: output time converted and the total, milliseconds.
inline constexpr int kCurrentRole = Qt::UserRole + 3;
inline constexpr int kTotalRole = Qt::UserRole + 4;
// The output is a file that may be opened (finished or kept in part).
inline constexpr int kOpenableRole = Qt::UserRole + 5;
// What the format changed about its picture, for its "Done" (QString, empty
// when nothing).
inline constexpr int kNoteRole = Qt::UserRole + 6;

}  // namespace vexav::rows
