// Everything the main window asks of the desktop, behind one interface:
// file and folder dialogs, message boxes, opening addresses and folders, and
// the exit banner. The window holds a reference to one; TDesktopDialogs is
// the real one, tests put a scripted one in its place.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

class QWidget;

namespace vexav {

class TWindowDialogs {
 public:
  virtual ~TWindowDialogs() = default;

  // The open dialog: the files chosen (several allowed), empty when it was
  // cancelled. filter is in Qt's "Name (*.a *.b);;Other (*)" form.
  virtual QStringList ChooseFiles(QWidget* parent, const QString& filter) = 0;
  // The folder dialog, opening at startFolder when that exists: the folder
  // chosen, empty when it was cancelled.
  virtual QString ChooseFolder(QWidget* parent, const QString& title,
                               const QString& startFolder) = 0;
  // A message box with the information icon and an OK button.
  virtual void Information(QWidget* parent, const QString& caption, const QString& text) = 0;
  // A Yes/No question with the information icon: true for Yes. No is the
  // default button, so that Enter never starts or ends anything by mistake.
  virtual bool AskYesNo(QWidget* parent, const QString& caption, const QString& text) = 0;
  // A message about something that went wrong, with the warning icon and an
  // OK button.
  virtual void Warning(QWidget* parent, const QString& text) = 0;
  // Opens an address (web page, or a file or folder as a file URL) with the
  // desktop's handler; false when nothing could open it.
  virtual bool OpenUrl(const QUrl& url) = 0;
  // The end-of-run summary with an OK button and, when canOpenFolder, one
  // that opens the output folder: true when that one was pressed. It has
  // the warning icon when a file failed, else the information icon.
  virtual bool Summary(QWidget* parent, const QString& text, bool canOpenFolder, bool failed) = 0;
  // A desktop notification (freedesktop notifications over the session
  // bus); nothing happens when no notification service is there.
  virtual void Notify(const QString& title, const QString& text) = 0;
  // Shows the exit banner modally, returning once it is closed.
  virtual void ShowExitBanner(QWidget* parent) = 0;
};

// The desktop's own: Qt's file dialogs and message boxes, the desktop's URL
// handler, and TExitBanner.
class TDesktopDialogs : public TWindowDialogs {
 public:
  QStringList ChooseFiles(QWidget* parent, const QString& filter) override;
  QString ChooseFolder(QWidget* parent, const QString& title, const QString& startFolder) override;
  void Information(QWidget* parent, const QString& caption, const QString& text) override;
  bool AskYesNo(QWidget* parent, const QString& caption, const QString& text) override;
  void Warning(QWidget* parent, const QString& text) override;
  bool OpenUrl(const QUrl& url) override;
  bool Summary(QWidget* parent, const QString& text, bool canOpenFolder, bool failed) override;
  void Notify(const QString& title, const QString& text) override;
  void ShowExitBanner(QWidget* parent) override;
};

}  // namespace vexav
