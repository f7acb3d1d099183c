// The banner shown when the window closes: a 500 x 100 borderless picture,
// modal, centred on the screen. A click on the picture opens the product's
// home page; the small button in its corner (or Escape) closes it.
#pragma once

#include <QDialog>

class QToolButton;

namespace vexav {

class TBannerImage;
class TWindowDialogs;

class TExitBanner : public QDialog {
  Q_OBJECT
 public:
  explicit TExitBanner(TWindowDialogs& dialogs, QWidget* parent = nullptr);

  TBannerImage* imgBanner;
  QToolButton* btnClose;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  TWindowDialogs& Dialogs;
};

}  // namespace vexav
