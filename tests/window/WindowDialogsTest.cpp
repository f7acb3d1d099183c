// The desktop's own dialogs (TDesktopDialogs), shown for real on Qt's
// offscreen platform and answered from a timer, the way a person would
// answer them: the open dialog's listing, the message boxes' icons and their
// default buttons.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>

#include "QtPrinters.h"
#include "window/MainWindow.h"
#include "window/WindowDialogs.h"

namespace vexav::test {
namespace {

// Once a modal dialog is up, act is called with it (again and again, from a
// timer) until it returns true; act ends the dialog. A dialog still open
// after a minute is rejected, so that a failing test does not hang.
void WhenModal(std::function<bool(QWidget*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(20);
  const QDeadlineTimer deadline(60000);
  QObject::connect(timer, &QTimer::timeout, [timer, act, deadline] {
    QWidget* modal = QApplication::activeModalWidget();
    bool done = modal && act(modal);
    if (!done && deadline.hasExpired()) {
      ADD_FAILURE() << "the dialog was not answered in time";
      if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
      done = true;
    }
    if (!done) return;
    timer->stop();
    timer->deleteLater();
  });
  timer->start();
}

// What a message box showed, and its default button, which it is answered
// with (as Enter would).
struct TShownBox {
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
  QString Text;
  QMessageBox::StandardButton Default = QMessageBox::NoButton;
  QMessageBox::StandardButton Escape = QMessageBox::NoButton;
  QStringList Buttons;
};

void AnswerWithDefault(TShownBox& shown) {
  WhenModal([&shown](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (!box) return false;
    shown.Icon = box->icon();
    shown.Text = box->text();
    for (QAbstractButton* button : box->buttons()) shown.Buttons.append(button->text());
    shown.Default = box->standardButton(box->defaultButton());
    shown.Escape = box->standardButton(box->escapeButton());
    if (QPushButton* button = box->defaultButton())
      button->click();
    else
      box->reject();
    return true;
  });
}

TEST(WindowDialogs, QuestionsTakeNoAsTheirDefault) {
  TDesktopDialogs dialogs;
  TShownBox shown;
  AnswerWithDefault(shown);
  EXPECT_FALSE(dialogs.AskYesNo(nullptr, QStringLiteral("Information"),
                                QString::fromLatin1(kStopAndQuitQuestion)));
  EXPECT_EQ(shown.Text, kStopAndQuitQuestion);
  EXPECT_EQ(shown.Default, QMessageBox::No);
  EXPECT_EQ(shown.Escape, QMessageBox::No);
  EXPECT_EQ(shown.Buttons.size(), 2);
}

TEST(WindowDialogs, ErrorsAndFailedRunsShowTheWarningIcon) {
  TDesktopDialogs dialogs;
  TShownBox warning;
  AnswerWithDefault(warning);
  dialogs.Warning(nullptr, QStringLiteral("Error found\n\n/a.avi: no longer exists"));
  EXPECT_EQ(warning.Icon, QMessageBox::Warning);
  EXPECT_EQ(warning.Text, "Error found\n\n/a.avi: no longer exists");
  EXPECT_EQ(warning.Default, QMessageBox::Ok);

  TShownBox failed;
  AnswerWithDefault(failed);
  EXPECT_FALSE(
      dialogs.Summary(nullptr, QStringLiteral("1 converted, 1 failed in 2 s"), true, true));
  EXPECT_EQ(failed.Icon, QMessageBox::Warning);
  EXPECT_EQ(failed.Default, QMessageBox::Ok);
  EXPECT_TRUE(failed.Buttons.contains("Open Output Folder"));

  TShownBox fine;
  AnswerWithDefault(fine);
  EXPECT_FALSE(dialogs.Summary(nullptr, QStringLiteral("2 converted in 2 s"), false, false));
  EXPECT_EQ(fine.Icon, QMessageBox::Information);
  EXPECT_EQ(fine.Buttons.size(), 1);
}

// The open dialog's one *.avi pattern lists AVI files whatever the letter
// case of their names, and hides other files.
TEST(WindowDialogs, OpenDialogListsAviFilesInAnyLetterCase) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  for (const QString name : {"CLIP.AVI", "lower.avi", "notes.txt"}) {
    QFile file(dir.path() + u'/' + name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  QStringList listed;
  WhenModal([&](QWidget* modal) {
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    if (!dialog) return false;
    if (dialog->directory().absolutePath() != dir.path()) dialog->setDirectory(dir.path());
    const auto* view = dialog->findChild<QListView*>(QStringLiteral("listView"));
    if (!view || !view->model()) return false;
    const QAbstractItemModel* model = view->model();
    QStringList names;
    QModelIndex clip;
    for (int row = 0; row < model->rowCount(view->rootIndex()); ++row) {
      const QModelIndex index = model->index(row, 0, view->rootIndex());
      if (!(model->flags(index) & Qt::ItemIsEnabled)) continue;
      names.append(index.data().toString());
      if (names.back() == QStringLiteral("CLIP.AVI")) clip = index;
    }
    // The folder is read in the background: wait for the file that any
    // pattern lists.
    if (!names.contains(QStringLiteral("lower.avi"))) return false;
    listed = names;
    // Its name typed into the name box, then opened.
    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (name && clip.isValid()) name->setText(clip.data().toString());
    static_cast<QDialog*>(dialog)->accept();  // as the Open button does
    if (dialog->isVisible()) dialog->reject();
    return true;
  });
  TDesktopDialogs dialogs;
  const QStringList chosen = dialogs.ChooseFiles(nullptr, TfrmMain::OpenFilter());
  listed.sort();
  EXPECT_EQ(listed, QStringList({"CLIP.AVI", "lower.avi"}));
  EXPECT_EQ(chosen, QStringList({dir.path() + "/CLIP.AVI"}));
}

}  // namespace
}  // namespace vexav::test
