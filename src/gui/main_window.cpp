#include "gui/main_window.h"

#include <QActionGroup>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSplitter>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTableView>
#include <QTextEdit>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <sys/stat.h>
#include <unistd.h>

#include "app/catalog_format.h"
#include "app/image_job.h"
#include "app/message_catalog.h"
#include "gui/device_watch.h"
#include "gui/disk_page.h"
#include "gui/file_type_page.h"
#include "gui/gui_support.h"
#include "gui/preview_panel.h"
#include "gui/progress_windows.h"
#include "gui/results_page.h"
#include "gui/start_page.h"
#include "gui/thumbnail_grid.h"
#include "platform/target_folder.h"
#include "platform/text.h"

namespace rexmoor::gui {

namespace {

QString MainText(const char* key) { return SectionText("MainWnd", key); }

QLabel* HeadingLabel(const char* name, int pointDelta, bool bold) {
  auto* label = new QLabel;
  label->setObjectName(QString::fromLatin1(name));
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() + pointDelta);
  font.setBold(bold);
  label->setFont(font);
  label->setWordWrap(true);
  return label;
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("FileRecoveryWnd"));
  setWindowTitle(QStringLiteral("Rexmoor"));
  setWindowIcon(AppIcon());
  setMinimumSize(760, 480);
  RestoreWindowSize();

  auto* central = new QWidget;
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(BuildTopBar());

  auto* heading = new QWidget;
  heading->setObjectName(QStringLiteral("Heading"));
  auto* headingLayout = new QVBoxLayout(heading);
  headingLayout->setContentsMargins(16, 10, 16, 6);
  headingLayout->setSpacing(2);
  txt1_ = HeadingLabel("Txt1", 3, true);
  txt2_ = HeadingLabel("Txt2", 0, false);
  // Two lines for the explanation, so that a longer translation is never cut.
  txt2_->setMinimumHeight(2 * txt2_->fontMetrics().lineSpacing());
  txt2_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  headingLayout->addWidget(txt1_);
  headingLayout->addWidget(txt2_);
  layout->addWidget(heading);

  pages_ = new QStackedWidget;
  pages_->setObjectName(QStringLiteral("TabPage"));
  startPage_ = new StartPage(types_);
  pages_->addWidget(startPage_);
  diskPage_ = new DiskPage;
  pages_->addWidget(diskPage_);
  fileTypePage_ = new FileTypePage(types_);
  pages_->addWidget(fileTypePage_);
  resultsPage_ = new ResultsPage(model_, types_, sources_);
  pages_->addWidget(resultsPage_);
  layout->addWidget(pages_, 1);
  layout->addWidget(BuildBottomBar());
  setCentralWidget(central);

  connect(startPage_, &StartPage::typesChanged, this, &MainWindow::OnTypesChanged);
  connect(startPage_, &StartPage::scanChosen, this, &MainWindow::StartFromPage0);
  connect(startPage_, &StartPage::imageModeChosen, this, &MainWindow::StartImageMode);
  connect(startPage_, &StartPage::continueImage, this, &MainWindow::ContinueEarlierImageScan);
  connect(fileTypePage_, &FileTypePage::typesChanged, this, &MainWindow::OnTypesChanged);
  connect(resultsPage_, &ResultsPage::selectionChanged, this, &MainWindow::UpdateSelectionInfo);
  connect(resultsPage_, &ResultsPage::previewWanted, this, &MainWindow::PreviewRow);

  connect(diskPage_, &DiskPage::currentChanged, this, &MainWindow::UpdateDiskButtons);
  connect(diskPage_, &DiskPage::rowActivated, this, [this] {
    if (mode_ == WindowMode::Recovery) StartScan();
  });

  Retranslate();
  OnTypesChanged();
  RefreshDiskList(DiskListChange::Start);
  ShowPage(kPageStart);
}

MainWindow::~MainWindow() {
  resultsPage_->Thumbnails()->Stop();  // its thread reads through the engines
  resultsPage_->Preview()->Clear();
  sources_.clear();
  DeleteScanLogFolder(lastQuickScanLog_);
}

void MainWindow::SetChoosers(FileChoosers choosers) { choosers_ = std::move(choosers); }

void MainWindow::SetDeviceLister(std::function<std::vector<DeviceDrive>()> lister) {
  diskPage_->SetLister(std::move(lister));
  RefreshDiskList(DiskListChange::Start);
}

void MainWindow::SetDeviceSource(DeviceEventSource* source) {
  if (deviceSource_ != nullptr) disconnect(deviceSource_, nullptr, diskPage_, nullptr);
  deviceSource_ = source;
  if (source != nullptr) connect(source, &DeviceEventSource::deviceChanged, diskPage_, &DiskPage::OnDeviceChanged);
}

void MainWindow::SetRefreshDelay(int milliseconds) { diskPage_->SetRefreshDelay(milliseconds); }

void MainWindow::RefreshDiskList(DiskListChange reason) { diskPage_->Refresh(reason); }

bool MainWindow::AddImageFile(const QString& path) { return diskPage_->AddImage(path); }

PreviewPanel* MainWindow::Preview() const { return resultsPage_->Preview(); }

ThumbnailGrid* MainWindow::Thumbnails() const { return resultsPage_->Thumbnails(); }

void MainWindow::CheckTypeNode(const NodeRef& ref, bool checked) { resultsPage_->CheckTypeNode(ref, checked); }

// ---- building the window ----

QWidget* MainWindow::BuildTopBar() {
  auto* bar = new QWidget;
  bar->setObjectName(QStringLiteral("ToolBar"));
  bar->setAutoFillBackground(true);
  QPalette palette = bar->palette();
  palette.setColor(QPalette::Window, palette.color(QPalette::Window).darker(108));
  bar->setPalette(palette);
  auto* layout = new QHBoxLayout(bar);
  layout->setContentsMargins(12, 6, 8, 6);
  auto* logo = new QLabel;
  logo->setPixmap(AppIcon().pixmap(32, 32));
  layout->addWidget(logo);
  productName_ = HeadingLabel("LblProductName", 2, true);
  productName_->setWordWrap(false);
  layout->addWidget(productName_);
  layout->addSpacing(18);

  auto* group = new QButtonGroup(bar);
  auto makeTab = [&](const char* name, const char* icon, Page page) {
    auto* tab = new QToolButton;
    tab->setObjectName(QString::fromLatin1(name));
    tab->setCheckable(true);
    tab->setAutoRaise(true);
    tab->setIcon(ThemeIcon(icon));
    tab->setIconSize(QSize(22, 22));
    tab->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    group->addButton(tab);
    layout->addWidget(tab);
    connect(tab, &QToolButton::clicked, this, [this, page] { ShowPage(page); });
    return tab;
  };
  tabScan_ = makeTab("TabScan", "drive-harddisk", kPageDisk);
  tabFileType_ = makeTab("TabFileType", "x-office-document", kPageFileType);
  tabRecover_ = makeTab("TabRecover", "folder", kPageResults);
  tabRecover_->setEnabled(false);
  layout->addStretch();

  assist_ = new QToolButton;
  assist_->setObjectName(QStringLiteral("BtnAssist"));
  assist_->setPopupMode(QToolButton::InstantPopup);
  assist_->setAutoRaise(true);
  assist_->setToolButtonStyle(Qt::ToolButtonTextOnly);
  BuildAssistMenu();
  assist_->setMenu(assistMenu_);
  layout->addWidget(assist_);
  return bar;
}

void MainWindow::BuildAssistMenu() {
  assistMenu_ = new QMenu(this);
  assistMenu_->setObjectName(QStringLiteral("menu_assist"));
  auto addItem = [this](const char* name, auto slot) {
    QAction* action = assistMenu_->addAction(QString());
    action->setObjectName(QString::fromLatin1(name));
    connect(action, &QAction::triggered, this, slot);
    return action;
  };
  QAction* help = addItem("item_help", [] {
    // The user guide installed with the program, or the one of the source tree beside a build.
    const QString folder = FromUtf8(ProgramFolder());
    for (const QString& candidate : {folder + QStringLiteral("../share/doc/Rexmoor/guide/index.html"),
                                     folder + QStringLiteral("../docs/guide/index.html")}) {
      if (QFileInfo::exists(candidate)) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(candidate).absoluteFilePath()));
        return;
      }
    }
  });
  help->setShortcut(QKeySequence::HelpContents);
  addAction(help);
  languageMenu_ = assistMenu_->addMenu(QString());
  languageMenu_->setObjectName(QStringLiteral("item_language"));
  connect(languageMenu_, &QMenu::aboutToShow, this, &MainWindow::FillLanguageMenu);
  addItem("item_about", [this] { ShowAbout(); });
  assistMenu_->addSeparator();
  QAction* exit = addItem("item_exit", [this] { close(); });
  exit->setShortcut(QKeySequence::Quit);
  addAction(exit);
}

void MainWindow::FillLanguageMenu() {
  languageMenu_->clear();
  auto* group = new QActionGroup(languageMenu_);
  const std::string current = GetMessageCatalog().CurrentLanguage();
  for (const auto& [name, value] : GetMessageCatalog().Languages()) {
    QAction* action = languageMenu_->addAction(FromUtf8(value.empty() ? name : value));
    action->setObjectName(FromUtf8(name));
    action->setCheckable(true);
    action->setChecked(name == current);
    group->addAction(action);
    connect(action, &QAction::triggered, this, [this, name = name] { ChangeLanguage(name); });
  }
  if (languageMenu_->isEmpty()) languageMenu_->addAction(FromUtf8(current))->setEnabled(false);
}

void MainWindow::RestoreWindowSize() {
  const QRect screen = this->screen() != nullptr ? this->screen()->availableGeometry() : QRect(0, 0, 1280, 800);
  const QSize fits(screen.width() * 95 / 100, screen.height() * 95 / 100);
  QSize size = GuiSetting(QStringLiteral("window/size")).toSize();
  if (!size.isValid() || size.width() > fits.width() || size.height() > fits.height()) {
    // Three quarters of the screen, at least 1024 x 640 where the screen has the room.
    size = QSize(std::max(1024, screen.width() * 3 / 4), std::max(640, screen.height() * 3 / 4)).boundedTo(fits);
  }
  resize(size.expandedTo(minimumSize()));
  if (GuiSetting(QStringLiteral("window/maximised"), false).toBool()) setWindowState(windowState() | Qt::WindowMaximized);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  SetGuiSetting(QStringLiteral("window/maximised"), isMaximized());
  if (!isMaximized() && !isFullScreen()) SetGuiSetting(QStringLiteral("window/size"), size());
  QMainWindow::closeEvent(event);
}

QWidget* MainWindow::BuildBottomBar() {
  auto* bar = new QWidget;
  bar->setObjectName(QStringLiteral("SubBar2"));
  auto* layout = new QHBoxLayout(bar);
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
  continue_ = NamedButton("BtnContinueScan");
  continue_->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
  for (QPushButton* button : {loadImage_, createImage_, scan_, continue_, recover_}) layout->addWidget(button);
  for (QPushButton* button : {prev_, loadImage_, createImage_, scan_, continue_, recover_}) button->setMinimumHeight(32);
  QFont bold = scan_->font();
  bold.setBold(true);
  scan_->setFont(bold);
  recover_->setFont(bold);

  connect(prev_, &QPushButton::clicked, this, [this] {
    switch (CurrentPage()) {
      case kPageDisk: ShowPage(kPageStart); break;
      case kPageFileType: ShowPage(kPageDisk); break;
      case kPageResults: ShowPage(scanFromFileTypePage_ ? kPageFileType : kPageDisk); break;
      default: break;
    }
  });
  connect(loadImage_, &QPushButton::clicked, this, &MainWindow::LoadImage);
  connect(createImage_, &QPushButton::clicked, this, &MainWindow::CreateImage);
  connect(scan_, &QPushButton::clicked, this, &MainWindow::StartScan);
  connect(recover_, &QPushButton::clicked, this, &MainWindow::StartRecovery);
  connect(continue_, &QPushButton::clicked, this, &MainWindow::ContinueScan);
  return bar;
}

// ---- texts ----

void MainWindow::Retranslate() {
  ApplySection(this, "MainWnd");
  GetMessageCatalog().ApplySection("MenuWnd", [this](const std::string& name, const std::string& text) {
    if (text.empty()) return;
    for (QAction* action : assistMenu_->findChildren<QAction*>(FromUtf8(name))) action->setText(FromUtf8(text));
    if (name == "item_language") languageMenu_->setTitle(FromUtf8(text));
  });
  productName_->setText(Msg("MSG1209"));
  fileTypePage_->Retranslate();
  startPage_->Retranslate();
  resultsPage_->Retranslate();
  UpdateHeading();
  UpdateSelectionInfo();
  diskPage_->Retranslate();
}
void MainWindow::ChangeLanguage(const std::string& name) {
  if (!GetMessageCatalog().SetLanguage(name))
    ShowMessageBox(BoxKind::Warning, this, Msg("MSG1210"));
  Retranslate();
}

void MainWindow::ShowAbout() {
  QMessageBox::about(this, MainText("item_about_title").isEmpty() ? QStringLiteral("Rexmoor") : MainText("item_about_title"),
                     FromUtf8(FillCatalogText(GetMessageCatalog().Msg("MSG1211"), {REXMOOR_VERSION})));
}

void MainWindow::UpdateHeading() {
  const int page = CurrentPage();
  const bool image = mode_ == WindowMode::DiskImage;
  tabScan_->setText(image ? Msg("MSG0211") : Msg("MSG0503"));
  tabScan_->setIcon(ThemeIcon(image ? "media-optical" : "drive-harddisk"));
  switch (page) {
    case kPageStart:
      txt1_->setText(MainText("StartTitle"));
      txt2_->setText(MainText("StartText"));
      break;
    case kPageDisk:
      txt1_->setText(Msg(image ? "MSG0212" : "MSG0501"));
      txt2_->setText(Msg(image ? "MSG0213" : "MSG0502"));
      break;
    case kPageFileType:
      txt1_->setText(Msg("MSG0601"));
      txt2_->setText(Msg("MSG0602") + QLatin1Char(' ') + MainText("ByNameOnlyLegend"));
      break;
    case kPageResults:
      txt1_->setText(Msg("MSG0801"));
      // A stopped scan is not an empty medium: say where it stopped and what it found until then.
      if (scanStopped_)
        txt2_->setText(FromUtf8(FillCatalogText(GetMessageCatalog().Msg(canContinue_ ? "MSG0813" : "MSG0814"),
                                                {std::to_string(stoppedPercent_), std::to_string(model_.Results().size())})));
      else
        txt2_->setText(FromUtf8(FillCatalogText(GetMessageCatalog().Msg("MSG0802"), {std::to_string(model_.Results().size())})));
      break;
    default:
      break;
  }
}

// ---- pages ----

int MainWindow::CurrentPage() const { return pages_->currentIndex(); }

void MainWindow::ShowPage(Page page) {
  if (page == kPageResults && !tabRecover_->isEnabled()) return;
  if (page == kPageFileType && mode_ == WindowMode::DiskImage) page = kPageDisk;
  pages_->setCurrentIndex(page);
  if (page == kPageStart) startPage_->Refresh();
  tabScan_->setChecked(page == kPageDisk);
  tabFileType_->setChecked(page == kPageFileType);
  tabRecover_->setChecked(page == kPageResults);
  for (QToolButton* tab : {tabScan_, tabFileType_, tabRecover_}) tab->setVisible(page != kPageStart);
  const bool recovery = mode_ == WindowMode::Recovery;
  tabFileType_->setVisible(page != kPageStart && recovery);
  prev_->setVisible(page != kPageStart);
  const bool disk = page == kPageDisk;
  loadImage_->setVisible(disk && recovery);
  createImage_->setVisible(disk && !recovery);
  scan_->setVisible((disk || page == kPageFileType) && recovery);
  recover_->setVisible(page == kPageResults);
  keepFolders_->setVisible(page == kPageResults);
  continue_->setVisible(page == kPageResults && canContinue_);
  selectedInfo_->setVisible(page == kPageResults);
  if (disk) diskPage_->SelectDefaultRow();
  UpdateDiskButtons();
  UpdateHeading();
}

void MainWindow::OnTypesChanged() {
  startPage_->SyncBoxes();
  fileTypePage_->SyncBoxes();
  UpdateDiskButtons();
}

void MainWindow::SetMode(WindowMode mode) {
  mode_ = mode;
  diskPage_->SetMode(mode);
}

void MainWindow::StartFromPage0(bool deep) {
  SetMode(WindowMode::Recovery);
  deep_ = deep;
  ShowPage(kPageDisk);
}

void MainWindow::ContinueEarlierImageScan(const QString& path) {
  if (scanRunning_) return;
  StartFromPage0(true);
  if (!AddImageFile(path)) return;
  ResolvedSource source;
  std::string error;
  if (ResolveSource(ToUtf8(path), source, error) != kSuccess) {
    ShowMessageBox(BoxKind::Error, this, FromUtf8(error));
    return;
  }
  RunScan({source}, true);
}

void MainWindow::StartImageMode() {
  SetMode(WindowMode::DiskImage);
  ShowPage(kPageDisk);
}

// ---- disks and images ----

void MainWindow::UpdateDiskButtons() {
  const DiskRow* row = diskPage_->CurrentRow();
  const bool scannable = row != nullptr && row->kind != DiskRow::Kind::ImageGroup;
  scan_->setEnabled(scannable && !scanRunning_ && types_.AnySelected());
  createImage_->setEnabled(scannable && row->kind != DiskRow::Kind::Image);
}

void MainWindow::LoadImage() {
  QString path;
  if (choosers_.imageToLoad) {
    path = choosers_.imageToLoad(this);
  } else {
    path = QFileDialog::getOpenFileName(
        this, loadImage_->text(), QDir::homePath(),
        MainText("ImageFilter") + QStringLiteral(" (*.img *.dd *.raw *.bin *.iso *.dmg *.IMG *.DD *.RAW *.BIN *.ISO);;") +
            MainText("AllFilesFilter") + QStringLiteral(" (*)"));
  }
  if (!path.isEmpty()) AddImageFile(path);
}

// ---- scan and search ----

void MainWindow::StartScan() {
  if (scanRunning_) return;
  std::vector<ResolvedSource> resolved;
  if (!diskPage_->CollectSources(deep_, resolved)) return;
  scanFromFileTypePage_ = CurrentPage() == kPageFileType;
  RunScan(std::move(resolved), false);
}

void MainWindow::ContinueScan() {
  if (scanRunning_ || !canContinue_ || scannedSources_.empty()) return;
  deep_ = true;
  RunScan(scannedSources_, true);
}

void MainWindow::RunScan(std::vector<ResolvedSource> resolved, bool continuing) {
  // The previous scan's engines go before the next scan starts, and a quick scan's log with them.
  resultsPage_->ReleaseSources();
  previewSession_.Clear();
  sources_.clear();
  DeleteScanLogFolder(lastQuickScanLog_);
  lastQuickScanLog_.clear();
  scannedSources_ = std::move(resolved);
  std::uint16_t tag = 1;
  for (const ResolvedSource& source : scannedSources_) {
    ScanSourceEntry entry = MakeScanSource(source, tag++);
    if (entry.kind == ScanSourceEntry::Kind::Image) entry.displayName = FileNameOf(source.path);
    sources_.push_back(std::move(entry));
  }
  // The title names what the results are of.
  if (!scannedSources_.empty()) {
    const ResolvedSource& first = scannedSources_.front();
    QString name = FromUtf8(FileNameOf(first.path.empty() ? first.text : first.path));
    if (scannedSources_.size() > 1) name += QStringLiteral(" (+%1)").arg(scannedSources_.size() - 1);
    setWindowTitle(QStringLiteral("%1 — %2").arg(Msg("MSG1209"), name));
  }
  model_.ClearSelection();
  int result = 0;
  bool ended = false;
  std::string failure;
  {
    scanRunning_ = true;
    diskPage_->SetScanRunning(true);
    UpdateDiskButtons();
    ScanProcessWnd window(this, sources_, deep_, engineMaker_);
    window.Job().SetContinueEarlierScan(continuing);
    result = window.exec();
    ended = window.ScanEnded();
    failure = window.Job().FailureText();
    scanStopped_ = window.Job().Stopped();
    stoppedPercent_ = window.Job().LastPercent();
    scanRunning_ = false;
    diskPage_->SetScanRunning(false);
    UpdateDiskButtons();
  }
  // Only a deep scan that saved where its sweep stood can be taken up again.
  canContinue_ = false;
  if (scanStopped_ && deep_)
    for (ScanSourceEntry& source : sources_)
      canContinue_ = canContinue_ || (source.engine && ScanSavedItsPlace(*source.engine));
  if (!deep_) lastQuickScanLog_ = LastScanLogFolder();
  // A scan that could not keep its finds, or ended in an error, says so before any result.
  if (!failure.empty()) ShowMessageBox(BoxKind::Error, this, FromUtf8(failure));
  if (result == kJobFailedToStart) {
    if (failure.empty()) ShowMessageBox(BoxKind::Warning, this, Msg("MSG0504"));
    return;
  }
  if (ended) RunSearch();
}

void MainWindow::RunSearch() {
  bool anyEngine = false;
  for (const ScanSourceEntry& source : sources_) anyEngine = anyEngine || source.engine != nullptr;
  if (!anyEngine) return;
  RecordList results;
  {
    SearchProcessWnd window(this, sources_, types_.SearchPattern());
    window.exec();
    results = window.TakeResults();
  }
  resultsPage_->ShowNewResults(std::move(results));
  tabRecover_->setEnabled(true);
  ShowPage(kPageResults);
  UpdateSelectionInfo();
}

void MainWindow::PreviewRow(std::size_t row) {
  if (row >= model_.RowCount()) return;
  const FoundFileRecord record = model_.RowRecord(row);
  if (record.isFolder != 0) {
    Preview()->ShowMessage(Msg("MSG0904"));
    return;
  }
  Preview()->Clear();
  PreviewProcessWnd window(this, sources_, record, previewSession_);
  if (window.Prepare() != 1) return;
  Preview()->Show(window.Job().Data());
}

void MainWindow::UpdateSelectionInfo() {
  recover_->setEnabled(!model_.Selection().empty());
  selectedInfo_->setText(FromUtf8(model_.SelectionInfo([](const std::string& key) { return GetMessageCatalog().Msg(key); })));
}

// ---- recovery ----

void MainWindow::StartRecovery() {
  if (model_.Selection().empty()) return;
  QString chosen;
  if (choosers_.recoveryFolder)
    chosen = choosers_.recoveryFolder(this);
  else
    chosen = QFileDialog::getExistingDirectory(this, MainText("SelectRecoveryFolder"), QDir::homePath());
  if (chosen.isEmpty()) return;
  std::string target = ToUtf8(chosen);
  while (target.size() > 1 && target.back() == '/') target.pop_back();

  // The target must not lie on a medium that was scanned: writing there can overwrite what is
  // still to be recovered. Compared by device, not by name.
  for (std::size_t i = 0; i < sources_.size() && i < scannedSources_.size(); ++i) {
    if (!sources_[i].engine) continue;
    const SameMediumAnswer answer = TargetOnSource(scannedSources_[i], target);
    if (!answer.same) continue;
    QString text = Msg("MSG0805");
    if (!answer.reason.empty()) text += QStringLiteral("\n\n(") + FromUtf8(answer.reason) + QLatin1Char(')');
    if (ShowMessageBox(BoxKind::Confirm, this, text) != 1) return;
    break;
  }
  // A folder that cannot take the files, or has too little room for them, is told before the
  // first file is written.
  std::uint64_t freeBytes = 0;
  std::string failedPath;
  if (const Result r = CheckTargetWritable(target, freeBytes, failedPath); r != kSuccess) {
    ShowMessageBox(BoxKind::Error, this,
                   FromUtf8(FillCatalogText(GetMessageCatalog().Msg("MSG0840"), {failedPath, ResultMessage(r)})));
    return;
  }
  std::uint64_t needed = 0;
  for (const auto& [key, record] : model_.Selection())
    if (record.isFolder == 0) needed += std::uint64_t{record.size};
  if (needed > freeBytes &&
      ShowMessageBox(BoxKind::Confirm, this,
                     FromUtf8(FillCatalogText(GetMessageCatalog().Msg("MSG0841"),
                                              {FormatSize(static_cast<std::int64_t>(needed)), target,
                                               FormatSize(static_cast<std::int64_t>(freeBytes))}))) != 1)
    return;
  RecoverProcessWnd window(this, sources_, model_.Selection(), target);
  if (keepFolders_->isChecked())
    window.Job().KeepFolders([this](const FoundFileRecord& record) {
      // The name the disk list shows for the source: the image file's, else the device's.
      for (std::size_t i = 0; i < sources_.size(); ++i) {
        const ScanSourceEntry& s = sources_[i];
        const std::uint16_t tag = s.kind == ScanSourceEntry::Kind::Image ? s.sourceTag : s.driveLetter;
        if (tag != record.sourceTag) continue;
        if (!s.displayName.empty()) return s.displayName;
        if (i < scannedSources_.size()) return FileNameOf(scannedSources_[i].text);
      }
      return std::string("source");
    });
  window.exec();
}

// ---- disk images ----

void MainWindow::CreateImage() {
  const DiskRow* row = diskPage_->CurrentRow();
  if (row == nullptr || row->kind == DiskRow::Kind::ImageGroup || row->kind == DiskRow::Kind::Image) {
    ShowMessageBox(BoxKind::Information, this, Msg("MSG0216"));
    return;
  }
  ResolvedSource source;
  std::string error;
  if (ResolveSource(row->sourceText, source, error) != kSuccess) {
    ShowMessageBox(BoxKind::Error, this, FromUtf8(error));
    return;
  }
  ImageRequest request;
  request.sourcePath = source.path;
  request.firstSector = source.startSector;
  request.sectorCount = source.sectorCount;
  std::uint64_t imageBytes = 0;
  if (MeasureImage(request, imageBytes, error) != kSuccess) {
    ShowMessageBox(BoxKind::Error, this, FromUtf8(error));
    return;
  }
  const QString proposed = diskPage_->ProposedImageName();
  for (;;) {
    QString path;
    if (choosers_.imageTarget)
      path = choosers_.imageTarget(this, proposed);
    else
      path = QFileDialog::getSaveFileName(this, createImage_->text(), QDir::home().filePath(proposed),
                                          MainText("ImageFilter") + QStringLiteral(" (*.img)"));
    if (path.isEmpty()) return;
    if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".img");
    request.targetPath = ToUtf8(path);
    const ImageTargetCheck check = CheckImageTarget(request, imageBytes);
    if (check.Passed()) break;
    ShowMessageBox(BoxKind::Information, this, Msg(check.messageKey));
    if (choosers_.imageTarget) return;  // a chooser that gives the same answer again would loop
  }
  int result = 0;
  std::string copyError;
  {
    CreateImageProcessWnd window(this, request);
    result = window.exec();
    copyError = window.Job().Copy().error;
  }
  if (result == kImageJobFailed) {
    QString text = Msg("MSG0217");
    if (!copyError.empty()) text += QStringLiteral("\n\n") + FromUtf8(copyError);
    ShowMessageBox(BoxKind::Information, this, text);
  }
  if (result == kImageJobSucceeded && ShowMessageBox(BoxKind::Question, this, Msg("MSG0214")) == 1) {
    SetMode(WindowMode::Recovery);
    deep_ = true;
    AddImageFile(FromUtf8(request.targetPath));
    StartFromPage0(true);
  }
}

}  // namespace rexmoor::gui
