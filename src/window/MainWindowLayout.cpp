// The main window's controls, their places and their keyboard order.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "window/Banner.h"
#include "window/ConfigFile.h"
#include "window/Controls.h"
#include "window/MainWindow.h"
#include "window/Product.h"
#include "window/StatusDelegate.h"

namespace vexav {

namespace {

constexpr int kStatusWidth = 150;
constexpr int kTimeWidth = 110;
constexpr int kOutputWidth = 150;
constexpr int kPathWidth = 110;

}  // namespace

void TfrmMain::BuildControls() {
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);

  Image1 = new TBannerImage(&PaintMainBanner, this);
  Image1->setObjectName(QStringLiteral("Image1"));
  Image1->setFixedHeight(kBannerHeight);
  Image1->setToolTip(QString::fromUtf8(kHomePage));
  connect(Image1, &TBannerImage::clicked, this, &TfrmMain::Image1Click);
  root->addWidget(Image1);

  auto* body = new QVBoxLayout;
  body->setContentsMargins(10, 10, 10, 10);
  body->setSpacing(10);
  root->addLayout(body, 1);

  BuildList();
  body->addWidget(lvFiles, 1);

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(8);
  grid->setVerticalSpacing(8);
  grid->setColumnStretch(1, 1);
  body->addLayout(grid);

  auto makeButton = [this](const char* name, const char* caption) {
    auto* button = new QPushButton(QString::fromUtf8(caption), this);
    button->setObjectName(QString::fromUtf8(name));
    button->setMinimumWidth(100);
    // Enter presses the button that has the focus, as Space does.
    button->setAutoDefault(true);
    return button;
  };

  lblOutput = new QLabel(QStringLiteral("Output Folder:"), this);
  lblOutput->setObjectName(QStringLiteral("lblOutput"));
  txtOutput = new TOutputEdit(this);
  txtOutput->setObjectName(QStringLiteral("txtOutput"));
  // A folder may be typed or pasted (checked, and made, at Convert).
  txtOutput->setToolTip(
      QStringLiteral("Type or paste a folder, or double-click to choose another one"));
  connect(txtOutput, &TOutputEdit::textEdited, this, [this] {
    FOutputForRun = false;  // the user's own choice is kept
  });
  lblOutput->setBuddy(txtOutput);
  connect(txtOutput, &TOutputEdit::doubleClicked, this, &TfrmMain::btnFolderChangeClick);
  btnFolderChange = makeButton("btnFolderChange", "Change");
  connect(btnFolderChange, &QPushButton::clicked, this, &TfrmMain::btnFolderChangeClick);
  btnBrowse = makeButton("btnBrowse", "Browse");
  connect(btnBrowse, &QPushButton::clicked, this, &TfrmMain::btnBrowseClick);
  grid->addWidget(lblOutput, 0, 0);
  grid->addWidget(txtOutput, 0, 1, 1, 2);
  grid->addWidget(btnFolderChange, 0, 3);
  grid->addWidget(btnBrowse, 0, 4);

  chkSameFolder = new QCheckBox(QStringLiteral("Save beside the source files"), this);
  chkSameFolder->setObjectName(QStringLiteral("chkSameFolder"));
  connect(chkSameFolder, &QCheckBox::clicked, this, &TfrmMain::chkSameFolderClick);
  lblJobs = new QLabel(QStringLiteral("Parallel conversions:"), this);
  lblJobs->setObjectName(QStringLiteral("lblJobs"));
  spinJobs = new QSpinBox(this);
  spinJobs->setObjectName(QStringLiteral("spinJobs"));
  spinJobs->setRange(kMinJobs, kMaxJobs);
  spinJobs->setToolTip(QStringLiteral("How many files convert at once"));
  lblJobs->setBuddy(spinJobs);
  connect(spinJobs, &QSpinBox::valueChanged, this, [this](int jobs) {
    SetJobs(jobs);
    FJobsForRun = false;  // the user's own choice is kept
  });
  grid->addWidget(chkSameFolder, 1, 1);
  grid->addWidget(lblJobs, 1, 2, 1, 2, Qt::AlignRight);
  grid->addWidget(spinJobs, 1, 4);

  lblFormat = new QLabel(QStringLiteral("Output Format:"), this);
  lblFormat->setObjectName(QStringLiteral("lblFormat"));
  selFormat = new QComboBox(this);
  selFormat->setObjectName(QStringLiteral("selFormat"));
  selFormat->setMinimumWidth(220);
  lblFormat->setBuddy(selFormat);
  // Each format's tooltip says what it is for (or why it cannot be used);
  // the box shows the selected one's.
  connect(selFormat, &QComboBox::currentIndexChanged, this, [this] {
    selFormat->setToolTip(selFormat->currentData(Qt::ToolTipRole).toString());
    FFormatForRun = false;  // the user's own choice is kept
  });
  lblSize = new QLabel(QStringLiteral("Picture Size:"), this);
  lblSize->setObjectName(QStringLiteral("lblSize"));
  selSize = new QComboBox(this);
  selSize->setObjectName(QStringLiteral("selSize"));
  selSize->setToolTip(
      QStringLiteral("At most this many lines, keeping the picture's shape; smaller pictures "
                     "keep their size"));
  lblSize->setBuddy(selSize);
  connect(selSize, &QComboBox::currentIndexChanged, this, [this] { FMaxHeightForRun = false; });
  btnOpen = makeButton("btnOpen", "Add...");
  btnOpen->setToolTip(QStringLiteral("Open one or more videos to the list"));
  connect(btnOpen, &QPushButton::clicked, this, &TfrmMain::btnOpenClick);
  btnAddFolder = makeButton("btnAddFolder", "Add Folder...");
  btnAddFolder->setToolTip(QStringLiteral("Add the media files of a folder and its sub-folders"));
  connect(btnAddFolder, &QPushButton::clicked, this, &TfrmMain::btnAddFolderClick);
  btnConvert = makeButton("btnConvert", "Convert!");
  btnConvert->setToolTip(QStringLiteral("Convert all the videos from the list"));
  QFont bold = btnConvert->font();
  bold.setBold(true);
  btnConvert->setFont(bold);
  connect(btnConvert, &QPushButton::clicked, this, &TfrmMain::btnConvertClick);
  grid->addWidget(lblFormat, 2, 0);
  grid->addWidget(selFormat, 2, 1, Qt::AlignLeft);
  grid->addWidget(btnOpen, 2, 2);
  grid->addWidget(btnAddFolder, 2, 3);
  grid->addWidget(btnConvert, 2, 4);
  // Under the format box: beside it, the two boxes would not fit the
  // window's width next to the three buttons.
  grid->addWidget(lblSize, 3, 0);
  grid->addWidget(selSize, 3, 1, Qt::AlignLeft);

  SetTabOrder();
  BuildRunControls(grid, root);
}

void TfrmMain::BuildList() {
  lvFiles = new TFileList(this);
  lvFiles->setObjectName(QStringLiteral("lvFiles"));
  lvFiles->setColumnCount(kColumnCount);
  lvFiles->setHorizontalHeaderLabels({QStringLiteral("Source"), QStringLiteral("Status"),
                                      QStringLiteral("Time"), QStringLiteral("Output"),
                                      QStringLiteral("Path")});
  QHeaderView* header = lvFiles->horizontalHeader();
  // Source takes whatever width the others leave, so that a wide window
  // shows long names whole.
  header->setStretchLastSection(false);
  header->setSectionResizeMode(kColumnSource, QHeaderView::Stretch);
  lvFiles->setColumnWidth(kColumnStatus, kStatusWidth);
  lvFiles->setColumnWidth(kColumnTime, kTimeWidth);
  lvFiles->setColumnWidth(kColumnOutput, kOutputWidth);
  lvFiles->setColumnWidth(kColumnPath, kPathWidth);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setHighlightSections(false);
  lvFiles->verticalHeader()->hide();
  lvFiles->verticalHeader()->setDefaultSectionSize(lvFiles->fontMetrics().height() + 10);
  lvFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lvFiles->setShowGrid(true);
  lvFiles->setWordWrap(false);
  lvFiles->setTextElideMode(Qt::ElideMiddle);
  // Tab leaves the list for the next control instead of walking its cells.
  lvFiles->setTabKeyNavigation(false);
  lvFiles->setItemDelegateForColumn(kColumnStatus, new TStatusDelegate(lvFiles));
  lvFiles->setContextMenuPolicy(Qt::ActionsContextMenu);

  auto makeAction = [this](const char* name, const char* text) {
    auto* action = new QAction(QString::fromUtf8(text), lvFiles);
    action->setObjectName(QString::fromUtf8(name));
    lvFiles->addAction(action);
    return action;
  };
  mnuAddFiles = makeAction("mnuAddFiles", "Add File(s)");
  connect(mnuAddFiles, &QAction::triggered, this, &TfrmMain::btnOpenClick);
  mnuAddFolder = makeAction("mnuAddFolder", "Add Folder...");
  connect(mnuAddFolder, &QAction::triggered, this, &TfrmMain::btnAddFolderClick);
  auto* separator = new QAction(lvFiles);
  separator->setSeparator(true);
  lvFiles->addAction(separator);
  mnuRemove = makeAction("mnuRemove", "Remove");
  mnuRemove->setShortcut(QKeySequence::Delete);
  mnuRemove->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  connect(mnuRemove, &QAction::triggered, this, &TfrmMain::RemoveSelected);
  mnuClear = makeAction("mnuClear", "Clear List");
  connect(mnuClear, &QAction::triggered, this, &TfrmMain::ClearList);
  connect(lvFiles, &TFileList::filesDropped, this, &TfrmMain::AddFiles);
  connect(lvFiles, &QTableWidget::cellDoubleClicked, this,
          [this](int row, int) { OpenRowOutput(row); });
  connect(lvFiles, &QTableWidget::itemSelectionChanged, this, &TfrmMain::UpdateListActions);
  BuildQueueActions();
}

void TfrmMain::SetTabOrder() {
  // Top to bottom, left to right, as the controls stand, except that the
  // size box follows the format box it goes with; the banner takes no
  // focus.
  const QList<QWidget*> order = {lvFiles,       txtOutput,    btnFolderChange, btnBrowse,
                                 chkSameFolder, spinJobs,     selFormat,       selSize,
                                 btnOpen,       btnAddFolder, btnConvert};
  for (int i = 0; i + 1 < order.size(); ++i) setTabOrder(order[i], order[i + 1]);
}

}  // namespace vexav
