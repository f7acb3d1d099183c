#include "window/OutputName.h"

#include "component/OutputNaming.h"

namespace vexav {

// Each function hands its text to the component's naming as UTF-8 and takes
// the answer back, so that the window and the command line name outputs the
// same way.
namespace {

std::string Utf8(const QString& Text) {
  return Text.toStdString();
}

QString FromUtf8(const std::string& Text) {
  return QString::fromStdString(Text);
}

}  // namespace

QString FileExtension(const QString& path) {
  return FromUtf8(output::FileExtension(Utf8(path)));
}

QString RemoveExtension(const QString& path) {
  return FromUtf8(output::RemoveExtension(Utf8(path)));
}

QString FileNamePart(const QString& path) {
  return FromUtf8(output::FileNamePart(Utf8(path)));
}

QString PathInFolder(const QString& folder, const QString& sourcePath) {
  // The window's folder is never empty; "/" keeps the old behaviour for one
  // that is.
  if (folder.isEmpty()) return u'/' + FileNamePart(sourcePath);
  return FromUtf8(output::PathInFolder(Utf8(folder), Utf8(sourcePath)));
}

}  // namespace vexav
