// The Status column of the job list. A cell holds one of the plain texts
// below, or a progress cell: "{|" followed by the decimal percentage, drawn as
// a bar. "{|" with no number is a row that is converting while the length of
// its output is unknown, so that no percentage can be computed; it is drawn
// as the same frame with the text "Converting..." and no bar.
#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

namespace vexav {

inline constexpr char kStatusReady[] = "Ready";
inline constexpr char kStatusDone[] = "Done";
inline constexpr char kStatusCanceled[] = "Canceled";
// A task that ended with an error; the window shows the error as the tooltip.
inline constexpr char kStatusFailed[] = "Failed";
// A task stopped part way whose output was kept under a "(partial)" name.
inline constexpr char kStatusStoppedPrefix[] = "Stopped: ";

// "Stopped: 42% kept", or "Stopped: part kept" when the share is not known.
QString StoppedStatusText(std::optional<int> percent);

// What a Status cell shows.
struct TStatusCell {
  enum class TKind {
    Text,        // a plain text: Ready, Done, Canceled, Failed, or anything else
    Progress,    // a bar at Percent
    Converting,  // converting, no percentage known
  };
  TKind Kind = TKind::Text;
  int Percent = 0;  // Progress: 0 to 100
  QString Text;     // Text: the text itself

  bool operator==(const TStatusCell&) const = default;
};

// "{|" + percent, with percent held to 0..100.
QString ProgressCellText(int percent);

// "{|": converting with no known total.
QString ConvertingCellText();

// Reads a cell text back. "{|" followed by digits is a progress cell (its
// number held to 0..100), "{|" alone is converting; every other text,
// including "{|" followed by anything but digits, is plain text.
TStatusCell ParseStatusCell(const QString& cellText);

// The percentage a progress report shows: current × 100 div total (integer
// division) held to 0..100, or nothing when the total is not known (0 or
// less).
std::optional<int> ProgressPercent(qint64 current, qint64 total);

// Width of the done part of a bar of the given width: width × percent / 100,
// rounded to the nearest integer with halves to the even neighbour. percent
// is held to 0..100 and a negative width gives 0.
int DonePartWidth(int width, int percent);

}  // namespace vexav
