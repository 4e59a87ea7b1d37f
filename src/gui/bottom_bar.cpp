#include "gui/bottom_bar.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

#include "gui/gui_support.h"

namespace rexmoor::gui {

BottomBar::BottomBar(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("SubBar2"));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(12, 6, 12, 8);
  prev_ = NamedButton("BtnPrev");
  prev_->setIcon(style()->standardIcon(QStyle::SP_ArrowBack));
  layout->addWidget(prev_);
  selectedInfo_ = new QLabel;
  selectedInfo_->setObjectName(QStringLiteral("SelectedFileInfo"));
  selectedInfo_->setTextFormat(Qt::PlainText);
  layout->addWidget(selectedInfo_, 1);
  loadImage_ = NamedButton("BtnLoadImage");
  loadImage_->setIcon(ThemeIcon("media-optical"));
  createImage_ = NamedButton("BtnCreateImage");
  scan_ = NamedButton("BtnScan");
  recover_ = NamedButton("BtnRecover");
  recover_->setIcon(ThemeIcon("folder"));
  keepFolders_ = new QCheckBox;
  keepFolders_->setObjectName(QStringLiteral("ChkKeepFolders"));
  keepFolders_->setChecked(GuiSetting(QStringLiteral("recovery/keepFolders"), false).toBool());
  connect(keepFolders_, &QCheckBox::toggled, this,
          [](bool on) { SetGuiSetting(QStringLiteral("recovery/keepFolders"), on); });
  layout->addWidget(keepFolders_);
  writeReport_ = new QCheckBox;
  writeReport_->setObjectName(QStringLiteral("ChkWriteReport"));
  writeReport_->setChecked(GuiSetting(QStringLiteral("recovery/writeReport"), true).toBool());
  connect(writeReport_, &QCheckBox::toggled, this,
          [](bool on) { SetGuiSetting(QStringLiteral("recovery/writeReport"), on); });
  layout->addWidget(writeReport_);
  continue_ = NamedButton("BtnContinueScan");
  continue_->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
  for (QPushButton* button : {loadImage_, createImage_, scan_, continue_, recover_}) layout->addWidget(button);
  for (QPushButton* button : {prev_, loadImage_, createImage_, scan_, continue_, recover_}) button->setMinimumHeight(32);
  QFont bold = scan_->font();
  bold.setBold(true);
  scan_->setFont(bold);
  recover_->setFont(bold);

  connect(prev_, &QPushButton::clicked, this, &BottomBar::back);
  connect(loadImage_, &QPushButton::clicked, this, &BottomBar::loadImage);
  connect(createImage_, &QPushButton::clicked, this, &BottomBar::createImage);
  connect(scan_, &QPushButton::clicked, this, &BottomBar::scan);
  connect(recover_, &QPushButton::clicked, this, &BottomBar::recover);
  connect(continue_, &QPushButton::clicked, this, &BottomBar::continueScan);
}

void BottomBar::Show(Page page, WindowMode mode, bool canContinue) {
  prev_->setVisible(page != kPageStart);
  const bool disk = page == kPageDisk;
  const bool recovery = mode == WindowMode::Recovery;
  loadImage_->setVisible(disk && recovery);
  createImage_->setVisible(disk && !recovery);
  scan_->setVisible((disk || page == kPageFileType) && recovery);
  recover_->setVisible(page == kPageResults);
  keepFolders_->setVisible(page == kPageResults);
  writeReport_->setVisible(page == kPageResults);
  continue_->setVisible(page == kPageResults && canContinue);
  selectedInfo_->setVisible(page == kPageResults);
}

void BottomBar::EnableDiskButtons(bool scan, bool createImage) {
  scan_->setEnabled(scan);
  createImage_->setEnabled(createImage);
}

void BottomBar::ShowSelection(bool any, const QString& info) {
  recover_->setEnabled(any);
  selectedInfo_->setText(info);
}

bool BottomBar::KeepFolders() const { return keepFolders_->isChecked(); }

bool BottomBar::WriteReport() const { return writeReport_->isChecked(); }

QString BottomBar::LoadImageText() const { return loadImage_->text(); }

QString BottomBar::CreateImageText() const { return createImage_->text(); }

}  // namespace rexmoor::gui
