#include "window/Formats.h"

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

bool IsAudioExtension(const QString& ext) {
  return output::IsAudioExtension(ext.toStdString());
}

bool IsAudioOnly(const QString& targetExt, const QString& sourcePath) {
  return output::IsAudioOnly(targetExt.toStdString(), sourcePath.toStdString());
}

}  // namespace vexav
