#include "window/Formats.h"

#include <algorithm>
#include <iterator>

namespace vexav {

QString FormatExtension(const QString& itemText) {
  return QString::fromStdString(output::FormatExtension(itemText.toStdString()));
}

QString FormatLabel(const QString& itemText) {
  return QString::fromStdString(output::FormatLabel(itemText.toStdString()));
}

const TFormatPreset* FindFormat(const QString& itemText) {
  return output::FindFormat(itemText.toStdString());
}

const TFormatPreset* FindFormatByLabel(const QString& label) {
  return output::FindFormatByLabel(label.toStdString());
}

QString DefaultFormatLabel() {
  return FormatLabel(QString::fromUtf8(kFormats[kDefaultFormatIndex].ItemText));
}

QString SizeLimitCaption(int lines) {
  return lines <= 0 ? QStringLiteral("Keep source size") : QStringLiteral("%1 lines").arg(lines);
}

bool IsSizeLimit(int lines) {
  return std::find(std::begin(kSizeLimits), std::end(kSizeLimits), lines) != std::end(kSizeLimits);
}

bool IsAudioExtension(const QString& ext) {
  return output::IsAudioExtension(ext.toStdString());
}

bool IsAudioOnly(const QString& targetExt, const QString& sourcePath) {
  return output::IsAudioOnly(targetExt.toStdString(), sourcePath.toStdString());
}

}  // namespace vexav
