// The files of data/ against what the programs really do: the manual page
// and the bash completion name every option of vexav-convert's table, the
// desktop entry claims the media types of every extension a folder scan
// picks, and the desktop id, icon and AppStream data agree.
#include <gtest/gtest.h>

#include <QFile>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QSet>
#include <QString>
#include <QStringList>
#include <string>

#include "cli/CommandLine.h"
#include "component/Presets.h"

namespace vexav {
namespace {

QString ReadText(const QString& path) {
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
  return QString::fromUtf8(file.readAll());
}

QString DataFile(const char* name) {
  return QStringLiteral(VEXAV_DATA_DIR "/") + QLatin1String(name);
}

// An option as roff writes it: every "-" as "\-".
QString Roff(const std::string& option) {
  return QString::fromStdString(option).replace(u'-', QStringLiteral("\\-"));
}

// The value of a key of the desktop entry, split at ";".
QStringList DesktopList(const QString& entry, const QString& key) {
  const QRegularExpression line(QStringLiteral("^") + key + QStringLiteral("=(.*)$"),
                                QRegularExpression::MultilineOption);
  const QRegularExpressionMatch match = line.match(entry);
  EXPECT_TRUE(match.hasMatch()) << key.toStdString();
  return match.captured(1).split(u';', Qt::SkipEmptyParts);
}

// The words of a blank-separated extension list.
QStringList Extensions(const char* list) {
  return QString::fromLatin1(list).split(u' ', Qt::SkipEmptyParts);
}

TEST(DataManualPage, NamesEveryOptionOfTheTable) {
  const QString page = ReadText(DataFile("man/vexav-convert.1"));
  ASSERT_FALSE(page.isEmpty());
  const qsizetype options = page.indexOf(QStringLiteral("\n.SH OPTIONS\n"));
  const qsizetype end = page.indexOf(QStringLiteral("\n.SH \"EXIT STATUS\"\n"));
  ASSERT_GE(options, 0);
  ASSERT_GT(end, options);
  const QString section = page.mid(options, end - options);
  for (const cli::OptionDef& option : cli::Options()) {
    // Each option is the head of an entry in OPTIONS, its short name with it.
    const QString name = Roff(std::string("--") + option.LongName);
    EXPECT_TRUE(section.contains(name)) << option.LongName;
    if (option.ShortName) {
      EXPECT_TRUE(section.contains(Roff(std::string("-") + option.ShortName) +
                                   QStringLiteral(" \", \" ") + name))
          << option.LongName;
    }
  }
  for (const char* heading :
       {".SH \"EXIT STATUS\"", ".SH ENVIRONMENT", ".SH FILES", ".SH EXAMPLES", ".SH SYNOPSIS"})
    EXPECT_TRUE(page.contains(QLatin1String(heading))) << heading;
  for (const char* status : {"\n.B 0\n", "\n.B 1\n", "\n.B 2\n", "\n.B 130\n"})
    EXPECT_TRUE(page.contains(QLatin1String(status))) << status;
}

TEST(DataBashCompletion, OffersEveryOptionOfTheTableAndNoOther) {
  const QString script = ReadText(DataFile("completion/vexav-convert"));
  const QRegularExpression list(QStringLiteral("local options=\\(([^)]*)\\)"));
  const QRegularExpressionMatch match = list.match(script);
  ASSERT_TRUE(match.hasMatch());
  const QStringList offered =
      match.captured(1).split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
  QStringList table;
  for (const cli::OptionDef& option : cli::Options())
    table.append(QStringLiteral("--") + QLatin1String(option.LongName));
  EXPECT_EQ(QSet<QString>(offered.begin(), offered.end()),
            QSet<QString>(table.begin(), table.end()));
  EXPECT_EQ(offered.size(), table.size());
  // Every option that takes a value is named where values are completed,
  // so that its value is never offered options or files by mistake.
  const qsizetype values = script.indexOf(QStringLiteral("case \"$option\" in"));
  const qsizetype valuesEnd = script.indexOf(QStringLiteral("esac"), values);
  ASSERT_GE(values, 0);
  ASSERT_GT(valuesEnd, values);
  const QString cases = script.mid(values, valuesEnd - values);
  for (const cli::OptionDef& option : cli::Options()) {
    if (!option.ValueName) continue;
    const QRegularExpression named(QStringLiteral("--") +
                                   QRegularExpression::escape(QLatin1String(option.LongName)) +
                                   QStringLiteral("[ |)]"));
    EXPECT_TRUE(named.match(cases).hasMatch()) << option.LongName;
  }
}

TEST(DataDesktopEntry, ClaimsTheTypesOfEveryExtensionAFolderScanPicks) {
  const QString entry = ReadText(DataFile("org.vexav.Converter.desktop"));
  const QStringList claimed = DesktopList(entry, QStringLiteral("MimeType"));
  ASSERT_FALSE(claimed.isEmpty());
  const QMimeDatabase types;
  QStringList unregistered;
  for (const QString& extension :
       Extensions(output::kVideoExtensions) + Extensions(output::kAudioExtensions)) {
    // The types the system's database gives the extension (shared-mime-info);
    // one of them, or a type they derive from, must be claimed.
    const QList<QMimeType> found = types.mimeTypesForFileName(QStringLiteral("x") + extension);
    if (found.isEmpty()) {
      unregistered.append(extension);
      continue;
    }
    bool covered = false;
    for (const QMimeType& type : found)
      for (const QString& name : QStringList{type.name()} + type.aliases() + type.allAncestors())
        covered = covered || claimed.contains(name);
    EXPECT_TRUE(covered) << extension.toStdString() << " is " << found.front().name().toStdString();
  }
  // Extensions that no media type is registered for; a new registration
  // would show here and the entry should then claim it.
  EXPECT_EQ(unregistered, QStringList({".m2v", ".nut", ".y4m"}));
  // Every claimed type is a known one, not a typing error.
  for (const QString& name : claimed)
    EXPECT_TRUE(types.mimeTypeForName(name).isValid()) << name.toStdString();
}

TEST(DataDesktopEntry, OpensTheFilesGivenAndAgreesWithTheAppStreamData) {
  const QString entry = ReadText(DataFile("org.vexav.Converter.desktop"));
  EXPECT_EQ(DesktopList(entry, QStringLiteral("Exec")), QStringList({"vexav-window %F"}));
  EXPECT_EQ(DesktopList(entry, QStringLiteral("Categories")), QStringList({"AudioVideo", "Video"}));
  EXPECT_EQ(DesktopList(entry, QStringLiteral("Icon")), QStringList({"org.vexav.Converter"}));
  EXPECT_TRUE(QFile::exists(DataFile("icons/hicolor/scalable/apps/org.vexav.Converter.svg")));

  const QString metainfo = ReadText(QStringLiteral(VEXAV_METAINFO));
  EXPECT_TRUE(metainfo.contains("<id>org.vexav.Converter</id>"));
  EXPECT_TRUE(metainfo.contains(
      "<launchable type=\"desktop-id\">org.vexav.Converter.desktop</launchable>"));
  EXPECT_TRUE(metainfo.contains("<release version=\"" VEXAV_PROJECT_VERSION "\""))
      << metainfo.toStdString();
  EXPECT_FALSE(metainfo.contains(u'@')) << "a template value was left unfilled";
}

}  // namespace
}  // namespace vexav
