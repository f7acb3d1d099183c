#include "window/WindowDialogs.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QVariantMap>

#include "window/ExitBanner.h"
#include "window/Product.h"

namespace vexav {

QStringList TDesktopDialogs::ChooseFiles(QWidget* parent, const QString& filter) {
  QFileDialog dialog(parent, QStringLiteral("Open"), QString(), filter);
  dialog.setFileMode(QFileDialog::ExistingFiles);
  // Name patterns match in any letter case: "*.avi" takes CLIP.AVI too.
  dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
  if (dialog.exec() != QDialog::Accepted) return {};
  return dialog.selectedFiles();
}

QString TDesktopDialogs::ChooseFolder(QWidget* parent, const QString& title,
                                      const QString& startFolder) {
  // Folders only, starting at the given one when it is there.
  const QString start = QFileInfo(startFolder).isDir() ? startFolder : QString();
  return QFileDialog::getExistingDirectory(parent, title, start, QFileDialog::ShowDirsOnly);
}

void TDesktopDialogs::Information(QWidget* parent, const QString& caption, const QString& text) {
  QMessageBox::information(parent, caption, text);
}

bool TDesktopDialogs::AskYesNo(QWidget* parent, const QString& caption, const QString& text) {
  QMessageBox box(QMessageBox::Information, caption, text, QMessageBox::Yes | QMessageBox::No,
                  parent);
  // The safe answer: both questions (quit during a run, convert again)
  // leave things as they are on No.
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

void TDesktopDialogs::Warning(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kProductTitle), text, QMessageBox::Ok,
                  parent);
  box.setDefaultButton(QMessageBox::Ok);
  box.exec();
}

bool TDesktopDialogs::OpenUrl(const QUrl& url) {
  return QDesktopServices::openUrl(url);
}

bool TDesktopDialogs::Summary(QWidget* parent, const QString& text, bool canOpenFolder,
                              bool failed) {
  QMessageBox box(failed ? QMessageBox::Warning : QMessageBox::Information,
                  QString::fromLatin1(kProductTitle), text, QMessageBox::Ok, parent);
  QPushButton* open = nullptr;
  if (canOpenFolder)
    open = box.addButton(QStringLiteral("Open Output Folder"), QMessageBox::ActionRole);
  box.setDefaultButton(QMessageBox::Ok);
  box.exec();
  return open && box.clickedButton() == open;
}

void TDesktopDialogs::Notify(const QString& title, const QString& text) {
  // org.freedesktop.Notifications, sent without waiting for an answer; a
  // desktop without the service (or without a session bus) shows nothing.
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || !bus.interface() ||
      !bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.Notifications")))
    return;
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"),
      QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  call << QString::fromLatin1(kProductTitle) << 0u << QString() << title << text << QStringList()
       << QVariantMap() << -1;
  bus.call(call, QDBus::NoBlock);
}

void TDesktopDialogs::ShowExitBanner(QWidget*) {
  // The main window is hidden by now, so the banner stands alone.
  TExitBanner banner(*this);
  banner.exec();
}

}  // namespace vexav
