// config.ini, the file that keeps the output folder and the other settings
// from one run of the window to the next (where it lies: ConfigLocation.h):
//
//   [Main]
//   strOutput=/home/user/KorvelVideo
//   booSameFolder=0
//   intJobs=1
//   strFormat=MPEG-4 Video
//   intMaxHeight=0
//
// A small INI reader and writer of our own rather than QSettings: QSettings
// writes booleans as "true"/"false", escapes backslashes and non-ASCII text,
// quotes values with commas and drops comments and key order, while this file
// stays a plain text anyone can edit. Writing changes only the keys written:
// other sections, keys, comments and their order are kept.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

#include "window/Formats.h"

namespace vexav {

// The lines of an INI text with lookup and in-place update. Section and key
// names compare without regard to case; blanks around names and values are
// ignored; a value enclosed in a pair of double or single quotes is read
// without them (so that blanks at its ends survive). Lines starting with ";"
// or "#" are comments. The first occurrence of a section or key counts.
class TIniText {
 public:
  // From file contents, UTF-8 (a byte order mark is skipped; bytes that are
  // not UTF-8 are replaced, never rejected).
  static TIniText Parse(const QByteArray& bytes);

  std::optional<QString> Value(const QString& section, const QString& key) const;

  // Replaces the key's line, or adds it after the last entry of the section,
  // or adds the section at the end. Values that start or end with a blank, or
  // that are enclosed in quotes themselves, are written in double quotes so
  // that Value gives them back unchanged. Returns false, changing nothing,
  // for a value holding a line break, which a line-based file cannot keep.
  bool SetValue(const QString& section, const QString& key, const QString& value);

  // UTF-8, lines ended by "\n".
  QByteArray ToBytes() const;

 private:
  QStringList Lines;
};

// How many files may convert at once ("intJobs"): the default, and the range
// a value read from the file is held to.
inline constexpr int kDefaultJobs = 1;
inline constexpr int kMinJobs = 1;
inline constexpr int kMaxJobs = 16;

// The window's settings kept in config.ini.
struct TWindowConfig {
  QString OutputFolder;     // "strOutput"
  bool SameFolder = false;  // "booSameFolder", stored as 1 or 0
  int Jobs = kDefaultJobs;  // "intJobs": parallel conversions, kMinJobs..kMaxJobs
  // "strFormat": the label of the format box's row, "MPEG-4 Video".
  QString Format = DefaultFormatLabel();
  // "intMaxHeight": the size box's limit in lines, one of kSizeLimits; 0
  // keeps the source's size.
  int MaxHeight = 0;

  bool operator==(const TWindowConfig&) const = default;
};

inline constexpr char kConfigFileName[] = "config.ini";
inline constexpr char kConfigSection[] = "Main";
inline constexpr char kConfigKeyOutput[] = "strOutput";
inline constexpr char kConfigKeySameFolder[] = "booSameFolder";
inline constexpr char kConfigKeyJobs[] = "intJobs";
inline constexpr char kConfigKeyFormat[] = "strFormat";
inline constexpr char kConfigKeyMaxHeight[] = "intMaxHeight";

// jobs held to kMinJobs..kMaxJobs.
int ClampJobs(int jobs);

// homeFolder + "/KorvelVideo".
QString DefaultOutputFolder(const QString& homeFolder);

// The settings used when config.ini is missing or says nothing usable: the
// default output folder, outputs not beside their sources.
TWindowConfig DefaultConfig(const QString& homeFolder);

// appFolder + "/config.ini": the file beside an executable in appFolder.
QString ConfigFilePath(const QString& appFolder);

// The settings in the file at path. Every key that is missing, empty or
// unreadable takes its default, and so does everything when the file cannot
// be read. "booSameFolder" is true for a non-zero integer (or "true"), false
// for 0 (or "false") and anything else. "intJobs" is an integer held to
// kMinJobs..kMaxJobs; anything else gives kDefaultJobs. "strFormat" is the
// label of a row of the format table, in any letter case (read back as the
// table writes it); any other text gives the default format. "intMaxHeight"
// is one of kSizeLimits; any other value gives 0.
TWindowConfig ReadConfig(const QString& path, const QString& homeFolder);

// The same with the user's home folder.
TWindowConfig ReadConfig(const QString& path);

// Writes the five keys into section "Main" of the file at path, creating it
// (and its folder, with its parents, readable by the user alone) when missing
// and keeping whatever else it holds. The file is replaced whole (written
// aside, then renamed), so a failure never leaves half a file. Returns false
// when it cannot be written or the folder holds a line break, with the reason
// in *problem when one is given.
bool WriteConfig(const QString& path, const TWindowConfig& config, QString* problem = nullptr);

}  // namespace vexav
