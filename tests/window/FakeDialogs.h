// A scripted stand-in for the window's dialogs: it records every call and
// gives the answers a test has set.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>
#include <vector>

#include "window/WindowDialogs.h"

namespace vexav::test {

class TFakeDialogs : public TWindowDialogs {
 public:
  struct TCall {
    QString Kind;  // "ChooseFiles", "ChooseFolder", "Information", "AskYesNo",
                   // "Warning", "OpenUrl", "Summary", "Notify", "ShowExitBanner"
    QString Caption;
    QString Text;
    // Summary: shown with the warning icon (a file failed).
    bool Failed = false;
  };

  QStringList ChooseFiles(QWidget*, const QString& filter) override {
    Calls.push_back({QStringLiteral("ChooseFiles"), QString(), filter});
    return FilesToChoose;
  }
  QString ChooseFolder(QWidget*, const QString& title, const QString& startFolder) override {
    Calls.push_back({QStringLiteral("ChooseFolder"), title, startFolder});
    return FolderToChoose;
  }
  void Information(QWidget*, const QString& caption, const QString& text) override {
    Calls.push_back({QStringLiteral("Information"), caption, text});
  }
  bool AskYesNo(QWidget*, const QString& caption, const QString& text) override {
    Calls.push_back({QStringLiteral("AskYesNo"), caption, text});
    return Answer;
  }
  void Warning(QWidget*, const QString& text) override {
    Calls.push_back({QStringLiteral("Warning"), QString(), text});
  }
  bool OpenUrl(const QUrl& url) override {
    Calls.push_back({QStringLiteral("OpenUrl"), QString(), url.toString()});
    return OpenUrlWorks;
  }
  bool Summary(QWidget*, const QString& text, bool canOpenFolder, bool failed) override {
    Calls.push_back({QStringLiteral("Summary"),
                     canOpenFolder ? QStringLiteral("folder") : QString(), text, failed});
    return canOpenFolder && OpenFolderFromSummary;
  }
  void Notify(const QString& title, const QString& text) override {
    Calls.push_back({QStringLiteral("Notify"), title, text});
  }
  void ShowExitBanner(QWidget* parent) override {
    Calls.push_back({QStringLiteral("ShowExitBanner"), QString(), QString()});
    BannerWhileVisible = BannerWhileVisible || (parent && parent->isVisible());
  }

  // The texts of the calls of one kind, in order.
  QStringList Texts(const QString& kind) const {
    QStringList texts;
    for (const TCall& call : Calls)
      if (call.Kind == kind) texts.append(call.Text);
    return texts;
  }
  int Count(const QString& kind) const { return static_cast<int>(Texts(kind).size()); }
  // The last call of one kind; an empty call when there was none.
  TCall Last(const QString& kind) const {
    for (auto call = Calls.rbegin(); call != Calls.rend(); ++call)
      if (call->Kind == kind) return *call;
    return TCall();
  }

  std::vector<TCall> Calls;
  QStringList FilesToChoose;
  QString FolderToChoose;
  bool Answer = true;
  bool OpenUrlWorks = true;
  bool OpenFolderFromSummary = false;
  // The banner was asked for while its parent was still shown.
  bool BannerWhileVisible = false;
};

}  // namespace vexav::test
