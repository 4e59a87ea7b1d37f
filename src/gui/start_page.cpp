#include "gui/start_page.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/earlier_scans.h"
#include "gui/gui_support.h"
#include "gui/pages.h"

namespace rexmoor::gui {

StartPage::StartPage(FileTypeSelection& types, QWidget* parent) : QWidget(parent), types_(types) {
  setObjectName(QStringLiteral("ControlPanel"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 12, 24, 12);
  recoverAll_ = new QCheckBox;
  recoverAll_->setObjectName(QStringLiteral("ChkRecoverAll"));
  recoverAll_->setTristate(true);
  layout->addWidget(recoverAll_);
  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(24);
  grid->setVerticalSpacing(10);
  int index = 0;
  for (TypeCategory category : kCategories) {
    auto* box = new QCheckBox;
    box->setObjectName(QString::fromLatin1(CategoryCheckName(category)));
    box->setIcon(ThemeIcon(CategoryIconName(category)));
    box->setIconSize(QSize(32, 32));
    box->setChecked(true);
    categoryBoxes_[category] = box;
    grid->addWidget(box, index / 3, index % 3);
    ++index;
    connect(box, &QCheckBox::clicked, this, [this, category](bool checked) {
      types_.SetCategory(category, checked);
      emit typesChanged();
    });
  }
  layout->addLayout(grid);
  connect(recoverAll_, &QCheckBox::clicked, this, [this] {
    // A click on a partial box checks everything.
    const bool all = recoverAll_->checkState() != Qt::Unchecked;
    for (TypeCategory category : kCategories) types_.SetCategory(category, all);
    emit typesChanged();
  });
  layout->addSpacing(12);
  start_ = NamedButton("BtnStart");
  start_->setDefault(true);
  start_->setMinimumHeight(40);
  start_->setIcon(ThemeIcon("drive-harddisk"));
  QFont bold = start_->font();
  bold.setBold(true);
  start_->setFont(bold);
  quick_ = NamedButton("BtnDeletedRecovery");
  quick_->setMinimumHeight(40);
  imageMode_ = NamedButton("BtnCreateImageMode");
  imageMode_->setMinimumHeight(40);
  imageMode_->setIcon(ThemeIcon("media-optical"));
  // Each button with one line on what it does, below it.
  auto* hints = new QGridLayout;
  hints->setHorizontalSpacing(8);
  hints->setVerticalSpacing(4);
  int column = 0;
  for (auto [button, hint] : {std::pair<QPushButton*, const char*>{start_, "StartHint"}, {quick_, "QuickHint"},
                              {imageMode_, "ImageModeHint"}}) {
    auto* label = new QLabel;
    label->setObjectName(QString::fromLatin1(hint));
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setForegroundRole(QPalette::PlaceholderText);
    hints->addWidget(button, 0, column);
    hints->addWidget(label, 1, column);
    hints->setColumnStretch(column, column == 0 ? 2 : 1);
    ++column;
  }
  layout->addLayout(hints);
  layout->addSpacing(12);
  earlierScans_ = new EarlierScans;
  layout->addWidget(earlierScans_);
  layout->addStretch();
  connect(earlierScans_, &EarlierScans::continueImage, this, &StartPage::continueImage);
  connect(start_, &QPushButton::clicked, this, [this] { emit scanChosen(true); });
  connect(quick_, &QPushButton::clicked, this, [this] { emit scanChosen(false); });
  connect(imageMode_, &QPushButton::clicked, this, &StartPage::imageModeChosen);
}

void StartPage::SyncBoxes() {
  int checked = 0;
  for (TypeCategory category : kCategories) {
    const bool any = types_.CategoryAnySelected(category);
    QCheckBox* box = categoryBoxes_[category];
    box->setTristate(false);
    box->setChecked(any);
    if (any) ++checked;
  }
  recoverAll_->setCheckState(checked == 0 ? Qt::Unchecked
                             : checked == static_cast<int>(kTypeCategoryCount) ? Qt::Checked
                                                                                : Qt::PartiallyChecked);
  const bool any = types_.AnySelected();
  start_->setEnabled(any);
  quick_->setEnabled(any);
}

void StartPage::Refresh() { earlierScans_->Refresh(); }

void StartPage::Retranslate() { earlierScans_->Retranslate(); }

}  // namespace rexmoor::gui
