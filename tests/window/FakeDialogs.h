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
                   // "Message", "OpenUrl", "Summary", "Notify", "ShowExitBanner"
    QString Caption;
    QString Text;
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
  void Message(QWidget*, const QString& text) override {
    Calls.push_back({QStringLiteral("Message"), QString(), text});
  }
  bool OpenUrl(const QUrl& url) override {
    Calls.push_back({QStringLiteral("OpenUrl"), QString(), url.toString()});
    return OpenUrlWorks;
  }
  bool Summary(QWidget*, const QString& text, bool canOpenFolder) override {
    Calls.push_back(
        {QStringLiteral("Summary"), canOpenFolder ? QStringLiteral("folder") : QString(), text});
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
