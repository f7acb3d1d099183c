#include "window/WindowDialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>

#include "window/ExitBanner.h"
#include "window/Product.h"

namespace vexav {

QStringList TDesktopDialogs::ChooseFiles(QWidget* parent, const QString& filter) {
  return QFileDialog::getOpenFileNames(parent, QStringLiteral("Open"), QString(), filter);
}

QString TDesktopDialogs::ChooseFolder(QWidget* parent, const QString& title) {
  // Folders only; no folder preselected.
  return QFileDialog::getExistingDirectory(parent, title, QString(), QFileDialog::ShowDirsOnly);
}

void TDesktopDialogs::Information(QWidget* parent, const QString& caption, const QString& text) {
  QMessageBox::information(parent, caption, text);
}

bool TDesktopDialogs::AskYesNo(QWidget* parent, const QString& caption, const QString& text) {
  QMessageBox box(QMessageBox::Information, caption, text, QMessageBox::Yes | QMessageBox::No,
                  parent);
  box.setDefaultButton(QMessageBox::Yes);
  return box.exec() == QMessageBox::Yes;
}

void TDesktopDialogs::Message(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kProductTitle), text, QMessageBox::Ok,
                  parent);
  box.exec();
}

void TDesktopDialogs::OpenUrl(const QUrl& url) {
  QDesktopServices::openUrl(url);
}

void TDesktopDialogs::ShowExitBanner(QWidget*) {
  // The main window is hidden by now, so the banner stands alone.
  TExitBanner banner(*this);
  banner.exec();
}

}  // namespace vexav
