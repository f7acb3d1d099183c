#include "window/ConfigFile.h"

#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "window/ConfigLocation.h"

namespace vexav {

namespace {

// The name of the section a line opens, if it opens one.
std::optional<QString> SectionOf(const QString& line) {
  const QString text = line.trimmed();
  if (!text.startsWith(u'[')) return std::nullopt;
  const qsizetype close = text.indexOf(u']');
  if (close < 0) return std::nullopt;
  return text.mid(1, close - 1).trimmed();
}

struct TEntry {
  QString Key;
  QString Value;  // as written, blanks trimmed, quotes kept
};

// The key and value of an entry line; comments, section lines and lines
// without "=" or without a key are none.
std::optional<TEntry> EntryOf(const QString& line) {
  const QString text = line.trimmed();
  if (text.isEmpty() || text.startsWith(u';') || text.startsWith(u'#') || text.startsWith(u'['))
    return std::nullopt;
  const qsizetype eq = text.indexOf(u'=');
  if (eq <= 0) return std::nullopt;
  TEntry entry{text.left(eq).trimmed(), text.mid(eq + 1).trimmed()};
  if (entry.Key.isEmpty()) return std::nullopt;
  return entry;
}

bool IsQuoted(const QString& value) {
  return value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
         value.back() == value.front();
}

QString Unquote(const QString& value) {
  return IsQuoted(value) ? value.mid(1, value.size() - 2) : value;
}

QString Quote(const QString& value) {
  const bool blankEnd = !value.isEmpty() && (value.front().isSpace() || value.back().isSpace());
  return blankEnd || IsQuoted(value) ? u'"' + value + u'"' : value;
}

bool SameName(const QString& a, const QString& b) {
  return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Integers as the Windows profile functions read them: non-zero is true.
// "true"/"false" are accepted too, as QSettings would have written them.
bool ReadBool(const std::optional<QString>& text, bool fallback) {
  if (!text) return fallback;
  bool isNumber = false;
  const qlonglong number = text->toLongLong(&isNumber);
  if (isNumber) return number != 0;
  if (SameName(*text, QStringLiteral("true"))) return true;
  if (SameName(*text, QStringLiteral("false"))) return false;
  return fallback;
}

QString SystemText(int code) {
  return QString::fromLocal8Bit(std::strerror(code));
}

// Makes folder and its missing parents, each readable by the user alone (as
// the XDG rules ask of the folders they make): "" when it is there, else why
// it cannot be made.
QString MakeFolder(const QString& folder) {
  const QByteArray name = QFile::encodeName(folder);
  struct stat info;
  if (::stat(name.constData(), &info) == 0)
    return S_ISDIR(info.st_mode) ? QString() : folder + QStringLiteral(": ") + SystemText(ENOTDIR);
  // ENOTDIR: a file stands where a parent folder should; the parent names it.
  if (errno != ENOENT && errno != ENOTDIR) return folder + QStringLiteral(": ") + SystemText(errno);
  const QString parent = QFileInfo(folder).path();
  if (parent != folder)
    if (QString problem = MakeFolder(parent); !problem.isEmpty()) return problem;
  if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST)
    return folder + QStringLiteral(": ") + SystemText(errno);
  return QString();
}

int ReadJobs(const std::optional<QString>& text) {
  if (!text) return kDefaultJobs;
  bool isNumber = false;
  const qlonglong number = text->toLongLong(&isNumber);
  if (!isNumber) return kDefaultJobs;
  return static_cast<int>(std::clamp<qlonglong>(number, kMinJobs, kMaxJobs));
}

// The label of the table's row that text names, as the table writes it; the
// default format's for anything else.
QString ReadFormat(const std::optional<QString>& text) {
  const TFormatPreset* format = text ? FindFormatByLabel(*text) : nullptr;
  return format ? FormatLabel(QString::fromUtf8(format->ItemText)) : DefaultFormatLabel();
}

int ReadMaxHeight(const std::optional<QString>& text) {
  if (!text) return 0;
  bool isNumber = false;
  const int lines = text->toInt(&isNumber);
  return isNumber && IsSizeLimit(lines) ? lines : 0;
}

}  // namespace

int ClampJobs(int jobs) {
  return std::clamp(jobs, kMinJobs, kMaxJobs);
}

TIniText TIniText::Parse(const QByteArray& bytes) {
  QByteArray data = bytes;
  if (data.startsWith("\xEF\xBB\xBF")) data.remove(0, 3);
  TIniText ini;
  if (data.isEmpty()) return ini;
  ini.Lines = QString::fromUtf8(data).split(u'\n');
  if (data.endsWith('\n')) ini.Lines.removeLast();  // the empty piece after the last "\n"
  for (QString& line : ini.Lines)
    if (line.endsWith(u'\r')) line.chop(1);
  return ini;
}

std::optional<QString> TIniText::Value(const QString& section, const QString& key) const {
  bool inSection = false;
  for (const QString& line : Lines) {
    if (const auto name = SectionOf(line)) {
      inSection = SameName(*name, section);
      continue;
    }
    if (!inSection) continue;
    if (const auto entry = EntryOf(line); entry && SameName(entry->Key, key))
      return Unquote(entry->Value);
  }
  return std::nullopt;
}

bool TIniText::SetValue(const QString& section, const QString& key, const QString& value) {
  if (value.contains(u'\n') || value.contains(u'\r')) return false;
  const QString newLine = key + u'=' + Quote(value);

  qsizetype header = -1;
  for (qsizetype i = 0; i < Lines.size() && header < 0; ++i)
    if (const auto name = SectionOf(Lines[i]); name && SameName(*name, section)) header = i;
  if (header < 0) {
    if (!Lines.isEmpty() && !Lines.back().trimmed().isEmpty()) Lines.append(QString());
    Lines.append(u'[' + section + u']');
    Lines.append(newLine);
    return true;
  }

  // The section runs to the next section line; a new key goes after its last
  // non-blank line, so blank lines separating sections stay where they are.
  qsizetype lastFilled = header;
  qsizetype i = header + 1;
  for (; i < Lines.size() && !SectionOf(Lines[i]); ++i) {
    if (const auto entry = EntryOf(Lines[i]); entry && SameName(entry->Key, key)) {
      Lines[i] = newLine;
      return true;
    }
    if (!Lines[i].trimmed().isEmpty()) lastFilled = i;
  }
  Lines.insert(lastFilled + 1, newLine);
  return true;
}

QByteArray TIniText::ToBytes() const {
  QByteArray bytes;
  for (const QString& line : Lines) {
    bytes += line.toUtf8();
    bytes += '\n';
  }
  return bytes;
}

QString DefaultOutputFolder(const QString& homeFolder) {
  QString home = homeFolder;
  while (home.endsWith(u'/')) home.chop(1);  // "/" itself becomes "", giving "/KorvelVideo"
  return home + QStringLiteral("/KorvelVideo");
}

TWindowConfig DefaultConfig(const QString& homeFolder) {
  TWindowConfig config;
  config.OutputFolder = DefaultOutputFolder(homeFolder);
  return config;
}

QString ConfigFilePath(const QString& appFolder) {
  QString path = appFolder;
  if (!path.endsWith(u'/')) path += u'/';
  return path + QLatin1String(kConfigFileName);
}

TWindowConfig ReadConfig(const QString& path, const QString& homeFolder) {
  TWindowConfig config = DefaultConfig(homeFolder);
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return config;
  const TIniText ini = TIniText::Parse(file.readAll());
  const QString section = QLatin1String(kConfigSection);

  // An empty folder would leave the window without an output folder; the
  // default is what a user expects then.
  if (const auto folder = ini.Value(section, QLatin1String(kConfigKeyOutput));
      folder && !folder->isEmpty())
    config.OutputFolder = *folder;
  config.SameFolder =
      ReadBool(ini.Value(section, QLatin1String(kConfigKeySameFolder)), config.SameFolder);
  config.Jobs = ReadJobs(ini.Value(section, QLatin1String(kConfigKeyJobs)));
  config.Format = ReadFormat(ini.Value(section, QLatin1String(kConfigKeyFormat)));
  config.MaxHeight = ReadMaxHeight(ini.Value(section, QLatin1String(kConfigKeyMaxHeight)));
  return config;
}

TWindowConfig ReadConfig(const QString& path) {
  return ReadConfig(path, UserHomeFolder());
}

bool WriteConfig(const QString& path, const TWindowConfig& config, QString* problem) {
  const auto fail = [problem](const QString& reason) {
    if (problem) *problem = reason;
    return false;
  };
  TIniText ini;
  {
    QFile existing(path);
    if (existing.open(QIODevice::ReadOnly)) ini = TIniText::Parse(existing.readAll());
  }
  const QString section = QLatin1String(kConfigSection);
  if (!ini.SetValue(section, QLatin1String(kConfigKeyOutput), config.OutputFolder))
    return fail(QStringLiteral("the output folder's name holds a line break"));
  ini.SetValue(section, QLatin1String(kConfigKeySameFolder),
               config.SameFolder ? QStringLiteral("1") : QStringLiteral("0"));
  ini.SetValue(section, QLatin1String(kConfigKeyJobs), QString::number(ClampJobs(config.Jobs)));
  if (!ini.SetValue(section, QLatin1String(kConfigKeyFormat), config.Format))
    return fail(QStringLiteral("the format's name holds a line break"));
  ini.SetValue(section, QLatin1String(kConfigKeyMaxHeight),
               QString::number(IsSizeLimit(config.MaxHeight) ? config.MaxHeight : 0));

  if (const QString reason = MakeFolder(QFileInfo(path).absolutePath()); !reason.isEmpty())
    return fail(reason);
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return fail(file.errorString());
  const QByteArray bytes = ini.ToBytes();
  if (file.write(bytes) != bytes.size()) {
    const QString reason = file.errorString();
    file.cancelWriting();
    return fail(reason);
  }
  if (!file.commit()) return fail(file.errorString());
  return true;
}

}  // namespace vexav
