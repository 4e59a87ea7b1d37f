// The main window: four pages in one stack (what to look for; which disk, partition or image;
// the detailed file types; the results with the type tree, the file list and the preview panel),
// the disk list kept up to date as devices come and go, and the modal progress windows.
#pragma once

#include <QMainWindow>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/device_listing.h"
#include "app/result_model.h"
#include "app/scan_job.h"
#include "app/source_resolver.h"
#include "gui/pages.h"
#include "preview/preview_job.h"

class QCheckBox;
class QLabel;
class QMenu;
class QPushButton;
class QStackedWidget;
class QToolButton;

namespace rexmoor::gui {

class DeviceEventSource;
class DiskPage;
class FileTypePage;
class PreviewPanel;
class ResultsPage;
class StartPage;
class ThumbnailGrid;

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
  QWidget* BuildTopBar();
  QWidget* BuildBottomBar();
  void BuildAssistMenu();
  void FillLanguageMenu();

  void ShowPage(Page page);
  void UpdateHeading();
  void SetMode(WindowMode mode);
  // The type selection changed on the start page or the file-type page.
  void OnTypesChanged();

  void StartFromPage0(bool deep);
  void StartImageMode();
  void UpdateDiskButtons();

  void StartScan();
  // Scans the sources with a new scan window; continuing takes up the stopped deep scan of them.
  void RunScan(std::vector<ResolvedSource> resolved, bool continuing);
  void ContinueScan();
  void RunSearch();
  // The start page's Continue: the image's earlier deep scan taken up where it stopped.
  void ContinueEarlierImageScan(const QString& path);
  // Shows the file of a list row in the preview panel.
  void PreviewRow(std::size_t row);
  void UpdateSelectionInfo();
  void StartRecovery();
  // The size the window had when it was last closed, or one that fits the screen.
  void RestoreWindowSize();
  void CreateImage();
  void LoadImage();
  void ChangeLanguage(const std::string& name);
  void ShowAbout();

  ResultModel model_;
  FileTypeSelection types_;
  FileChoosers choosers_;
  EngineMaker engineMaker_;
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
  QStackedWidget* pages_ = nullptr;
  QLabel* productName_ = nullptr;
  QLabel* txt1_ = nullptr;
  QLabel* txt2_ = nullptr;
  QToolButton* tabScan_ = nullptr;
  QToolButton* tabFileType_ = nullptr;
  QToolButton* tabRecover_ = nullptr;
  QToolButton* assist_ = nullptr;
  QMenu* assistMenu_ = nullptr;
  QMenu* languageMenu_ = nullptr;
  StartPage* startPage_ = nullptr;
  FileTypePage* fileTypePage_ = nullptr;
  DiskPage* diskPage_ = nullptr;
  ResultsPage* resultsPage_ = nullptr;
  QPushButton* prev_ = nullptr;
  QPushButton* loadImage_ = nullptr;
  QPushButton* createImage_ = nullptr;
  QPushButton* scan_ = nullptr;
  QPushButton* recover_ = nullptr;
  QPushButton* continue_ = nullptr;
  QCheckBox* keepFolders_ = nullptr;
  QLabel* selectedInfo_ = nullptr;
};

}  // namespace rexmoor::gui
