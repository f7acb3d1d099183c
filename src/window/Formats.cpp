#include "window/Formats.h"

#include "window/OutputName.h"

namespace vexav {

QString FormatExtension(const QString& itemText) {
  const qsizetype open = itemText.indexOf(u'(');
  if (open < 0) return {};
  const qsizetype close = itemText.indexOf(u')', open);
  const qsizetype start = open + 2;  // skip "(" and the "*" of "*.mp4"
  if (close < start) return {};
  return itemText.mid(start, close - start);
}

QString FormatLabel(const QString& itemText) {
  const qsizetype end = itemText.indexOf(u" (");
  QString label = end < 0 ? itemText : itemText.left(end);
  label.replace(u'*', u'x');
  return label;
}

const TFormatPreset* FindFormat(const QString& itemText) {
  for (const TFormatPreset& format : kFormats)
    if (itemText == QLatin1String(format.ItemText)) return &format;
  return nullptr;
}

bool IsAudioExtension(const QString& ext) {
  if (ext.size() < 2) return false;
  return QLatin1String(kAudioExtensions).contains(ext, Qt::CaseSensitive);
}

bool IsAudioOnly(const QString& targetExt, const QString& sourcePath) {
  return IsAudioExtension(targetExt) || IsAudioExtension(FileExtension(sourcePath));
}

}  // namespace vexav
