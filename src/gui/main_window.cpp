#include "gui/main_window.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "app/image_job.h"
#include "app/message_catalog.h"
#include "gui/bottom_bar.h"
#include "gui/device_watch.h"
#include "gui/disk_page.h"
#include "gui/file_type_page.h"
#include "gui/gui_support.h"
#include "gui/page_heading.h"
#include "gui/preview_panel.h"
#include "gui/progress_windows.h"
#include "gui/results_page.h"
#include "gui/start_page.h"
#include "gui/thumbnail_grid.h"
#include "gui/top_bar.h"
#include "gui/write_targets.h"

namespace rexmoor::gui {

namespace {

QString MainText(const char* key) { return SectionText("MainWnd", key); }

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("FileRecoveryWnd"));
  setWindowTitle(QStringLiteral("Rexmoor"));
  setWindowIcon(AppIcon());
  setMinimumSize(760, 480);
  RestoreWindowSize(this);

  auto* central = new QWidget;
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  topBar_ = new TopBar;
  layout->addWidget(topBar_);
  heading_ = new PageHeading;
  layout->addWidget(heading_);
  startPage_ = new StartPage(types_);
  diskPage_ = new DiskPage;
  fileTypePage_ = new FileTypePage(types_);
  resultsPage_ = new ResultsPage(model_, types_, sources_);
  pages_ = new QStackedWidget;
  pages_->setObjectName(QStringLiteral("TabPage"));
  for (QWidget* page : std::initializer_list<QWidget*>{startPage_, diskPage_, fileTypePage_, resultsPage_})
    pages_->addWidget(page);
  layout->addWidget(pages_, 1);
  bottomBar_ = new BottomBar;
  layout->addWidget(bottomBar_);
  setCentralWidget(central);

  connect(topBar_, &TopBar::pageChosen, this, &MainWindow::ShowPage);
  connect(topBar_, &TopBar::languageChanged, this, &MainWindow::Retranslate);
  connect(startPage_, &StartPage::typesChanged, this, &MainWindow::OnTypesChanged);
  connect(startPage_, &StartPage::scanChosen, this, &MainWindow::StartFromPage0);
  connect(startPage_, &StartPage::imageModeChosen, this, &MainWindow::StartImageMode);
  connect(startPage_, &StartPage::continueImage, this, &MainWindow::ContinueEarlierImageScan);
  connect(fileTypePage_, &FileTypePage::typesChanged, this, &MainWindow::OnTypesChanged);
  connect(diskPage_, &DiskPage::currentChanged, this, &MainWindow::UpdateDiskButtons);
  connect(diskPage_, &DiskPage::rowActivated, this, [this] {
    if (mode_ == WindowMode::Recovery) StartScan();
  });
  connect(resultsPage_, &ResultsPage::selectionChanged, this, &MainWindow::UpdateSelectionInfo);
  connect(resultsPage_, &ResultsPage::previewWanted, this, &MainWindow::PreviewRow);
  connect(bottomBar_, &BottomBar::back, this, [this] {
    switch (CurrentPage()) {
      case kPageDisk: ShowPage(kPageStart); break;
      case kPageFileType: ShowPage(kPageDisk); break;
      case kPageResults: ShowPage(scanFromFileTypePage_ ? kPageFileType : kPageDisk); break;
      default: break;
    }
  });
  connect(bottomBar_, &BottomBar::loadImage, this, &MainWindow::LoadImage);
  connect(bottomBar_, &BottomBar::createImage, this, &MainWindow::CreateImage);
  connect(bottomBar_, &BottomBar::scan, this, &MainWindow::StartScan);
  connect(bottomBar_, &BottomBar::continueScan, this, &MainWindow::ContinueScan);
  connect(bottomBar_, &BottomBar::recover, this, &MainWindow::StartRecovery);

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

void MainWindow::closeEvent(QCloseEvent* event) {
  RememberWindowSize(this);
  QMainWindow::closeEvent(event);
}

// ---- texts ----

void MainWindow::Retranslate() {
  ApplySection(this, "MainWnd");
  topBar_->Retranslate();
  fileTypePage_->Retranslate();
  startPage_->Retranslate();
  resultsPage_->Retranslate();
  UpdateHeading();
  UpdateSelectionInfo();
  diskPage_->Retranslate();
}

void MainWindow::UpdateHeading() {
  heading_->Show(static_cast<Page>(CurrentPage()), mode_,
                 {scanStopped_, canContinue_, stoppedPercent_, model_.Results().size()});
}

// ---- pages ----

int MainWindow::CurrentPage() const { return pages_->currentIndex(); }

void MainWindow::ShowPage(Page page) {
  if (page == kPageResults && !topBar_->ResultsEnabled()) return;
  if (page == kPageFileType && mode_ == WindowMode::DiskImage) page = kPageDisk;
  pages_->setCurrentIndex(page);
  if (page == kPageStart) startPage_->Refresh();
  topBar_->Show(page, mode_);
  bottomBar_->Show(page, mode_, canContinue_);
  if (page == kPageDisk) diskPage_->SelectDefaultRow();
  UpdateDiskButtons();
  UpdateHeading();
}

void MainWindow::SetMode(WindowMode mode) {
  mode_ = mode;
  diskPage_->SetMode(mode);
}

void MainWindow::OnTypesChanged() {
  startPage_->SyncBoxes();
  fileTypePage_->SyncBoxes();
  UpdateDiskButtons();
}

void MainWindow::UpdateDiskButtons() {
  const DiskRow* row = diskPage_->CurrentRow();
  const bool scannable = row != nullptr && row->kind != DiskRow::Kind::ImageGroup;
  bottomBar_->EnableDiskButtons(scannable && !scanRunning_ && types_.AnySelected(),
                                scannable && row->kind != DiskRow::Kind::Image);
}

void MainWindow::UpdateSelectionInfo() {
  const auto messages = [](const std::string& key) { return GetMessageCatalog().Msg(key); };
  bottomBar_->ShowSelection(!model_.Selection().empty(), FromUtf8(model_.SelectionInfo(messages)));
}

void MainWindow::StartFromPage0(bool deep) {
  SetMode(WindowMode::Recovery);
  deep_ = deep;
  ShowPage(kPageDisk);
}

void MainWindow::StartImageMode() {
  SetMode(WindowMode::DiskImage);
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

void MainWindow::LoadImage() {
  QString path;
  if (choosers_.imageToLoad) {
    path = choosers_.imageToLoad(this);
  } else {
    path = QFileDialog::getOpenFileName(
        this, bottomBar_->LoadImageText(), QDir::homePath(),
        MainText("ImageFilter") + QStringLiteral(" (*.img *.dd *.raw *.bin *.iso *.dmg *.IMG *.DD *.RAW *.BIN *.ISO);;") +
            MainText("ContainerFilter") +
            QStringLiteral(" (*.E01 *.e01 *.vhd *.vhdx *.vmdk *.qcow2 *.qcow *.VHD *.VHDX *.VMDK *.001 *.aa);;") +
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
    if (scanJobSetup_) scanJobSetup_(window.Job());
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
    if (searchJobSetup_) searchJobSetup_(window.Job());
    window.exec();
    results = window.TakeResults();
  }
  resultsPage_->ShowNewResults(std::move(results));
  topBar_->EnableResults();
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

  if (!AcceptRecoveryFolder(this, sources_, scannedSources_, model_.Selection(), target)) return;
  RecoverProcessWnd window(this, sources_, model_.Selection(), target);
  window.WriteReportOnEnd(bottomBar_->WriteReport());
  if (bottomBar_->KeepFolders())
    window.Job().KeepFolders(
        [this](const FoundFileRecord& record) { return SourceFolderName(sources_, scannedSources_, record); });
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
  request.targetPath = ChooseImageTarget(this, request, imageBytes, diskPage_->ProposedImageName(),
                                         bottomBar_->CreateImageText(), choosers_.imageTarget);
  if (request.targetPath.empty()) return;
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
