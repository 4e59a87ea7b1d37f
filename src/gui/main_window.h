// The main window: four pages in one stack (what to look for; which disk, partition or image;
// the detailed file types; the results with the type tree, the file list and the preview panel)
// under the top bar and the page's heading, with the buttons that go on below them. The window
// owns what the pages share (the type selection, the scanned sources, the results) and runs the
// scan, search, preview, recovery and image jobs in their modal progress windows.
#pragma once

#include <QMainWindow>

#include <functional>
#include <string>
#include <vector>

#include "app/device_listing.h"
#include "app/result_model.h"
#include "app/scan_job.h"
#include "app/search_job.h"
#include "app/source_resolver.h"
#include "gui/pages.h"
#include "preview/preview_job.h"

class QStackedWidget;

namespace rexmoor::gui {

class BottomBar;
class DeviceEventSource;
class DiskPage;
class FileTypePage;
class PageHeading;
class PreviewPanel;
class ResultsPage;
class StartPage;
class ThumbnailGrid;
class TopBar;

// The file and folder choosers, replaceable so that tests need no dialog.
struct FileChoosers {
  std::function<QString(QWidget* parent)> recoveryFolder;
  std::function<QString(QWidget* parent)> imageToLoad;
  std::function<QString(QWidget* parent, const QString& proposedName)> imageTarget;
};

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  using Page = gui::Page;
  static constexpr Page kPageStart = gui::kPageStart;
  static constexpr Page kPageDisk = gui::kPageDisk;
  static constexpr Page kPageFileType = gui::kPageFileType;
  static constexpr Page kPageResults = gui::kPageResults;

  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  void SetChoosers(FileChoosers choosers);
  // Where the disk list comes from (ListDevices by default).
  void SetDeviceLister(std::function<std::vector<DeviceDrive>()> lister);
  void SetDeviceSource(DeviceEventSource* source);
  // The delay between a device event and the refresh of the list (5 s).
  void SetRefreshDelay(int milliseconds);
  void SetEngineMaker(EngineMaker maker) { engineMaker_ = std::move(maker); }
  // Called with each scan or search job before it starts (tests and the screenshot tour hook into
  // its reports with them).
  void SetScanJobSetup(std::function<void(ScanJob&)> setup) { scanJobSetup_ = std::move(setup); }
  void SetSearchJobSetup(std::function<void(SearchJob&)> setup) { searchJobSetup_ = std::move(setup); }

  // Adds an image file to the disk list and selects its row; false when it cannot be read.
  bool AddImageFile(const QString& path);
  // Lists the drives again.
  void RefreshDiskList(DiskListChange reason);

  int CurrentPage() const;
  const ResultModel& Results() const { return model_; }
  PreviewPanel* Preview() const;
  ThumbnailGrid* Thumbnails() const;
  bool ScanRunning() const { return scanRunning_; }

  // Ticks a node of the type tree as a click on its check box does.
  void CheckTypeNode(const NodeRef& ref, bool checked);

  // Texts of every control again, after a language change.
  void Retranslate();

 protected:
  // Remembers the window size for the next start.
  void closeEvent(QCloseEvent* event) override;

 private:
  void ShowPage(Page page);
  void UpdateHeading();
  void SetMode(WindowMode mode);
  // The type selection changed on the start page or the file-type page.
  void OnTypesChanged();
  void UpdateDiskButtons();
  void UpdateSelectionInfo();

  void StartFromPage0(bool deep);
  void StartImageMode();
  void StartScan();
  // Scans the sources with a new scan window; continuing takes up the stopped deep scan of them.
  void RunScan(std::vector<ResolvedSource> resolved, bool continuing);
  void ContinueScan();
  void RunSearch();
  // The start page's Continue: the image's earlier deep scan taken up where it stopped.
  void ContinueEarlierImageScan(const QString& path);
  // Shows the file of a list row in the preview panel.
  void PreviewRow(std::size_t row);
  void StartRecovery();
  void CreateImage();
  void LoadImage();

  ResultModel model_;
  FileTypeSelection types_;
  FileChoosers choosers_;
  EngineMaker engineMaker_;
  std::function<void(ScanJob&)> scanJobSetup_;
  std::function<void(SearchJob&)> searchJobSetup_;
  DeviceEventSource* deviceSource_ = nullptr;

  WindowMode mode_ = WindowMode::Recovery;
  bool deep_ = true;
  bool scanRunning_ = false;
  bool scanFromFileTypePage_ = false;
  // The user stopped the last scan: at which percent, and whether a deep scan saved its place.
  bool scanStopped_ = false;
  int stoppedPercent_ = 0;
  bool canContinue_ = false;
  std::string lastQuickScanLog_;

  std::vector<ScanSourceEntry> sources_;        // the last scan's, with its engines
  std::vector<ResolvedSource> scannedSources_;  // the same sources, for the target guard
  PreviewSession previewSession_;

  // widgets
  TopBar* topBar_ = nullptr;
  PageHeading* heading_ = nullptr;
  QStackedWidget* pages_ = nullptr;
  StartPage* startPage_ = nullptr;
  DiskPage* diskPage_ = nullptr;
  FileTypePage* fileTypePage_ = nullptr;
  ResultsPage* resultsPage_ = nullptr;
  BottomBar* bottomBar_ = nullptr;
};

}  // namespace rexmoor::gui
