// The desktop program's windows driven as a person would: the sample card image is loaded, scanned
// through the scan window, searched, browsed in the type tree and recovered, and the recovered
// files are compared byte for byte (by sha256) with what was put on the card. Runs on the
// offscreen platform.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTableView>
#include <QTextEdit>
#include <QToolButton>
#include <QTreeView>
#include <QElapsedTimer>
#include <QImageReader>
#include <QMediaPlayer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "app/catalog_format.h"
#include "app/device_listing.h"
#include "app/message_catalog.h"
#include "app/result_model.h"
#include "app/scan_job.h"
#include "engine/scan_log_index.h"
#include "gui/device_watch.h"
#include "gui/main_window.h"
#include "gui/preview_panel.h"
#include "gui/progress_windows.h"
#include "gui/thumbnail_grid.h"

using namespace rexmoor;
using namespace rexmoor::gui;

namespace {

// Acts on modal windows as they come up, inside the nested event loops of the window under test.
class ModalDriver : public QObject {
 public:
  using Rule = std::function<bool(QWidget* modal)>;  // true: handled, drop the rule
  ModalDriver() {
    connect(&timer_, &QTimer::timeout, this, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr || !modal->isVisible()) return;
      for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if ((*it)(modal)) {
          rules_.erase(it);
          return;
        }
      }
    });
    timer_.start(5);
  }
  void Add(Rule rule) { rules_.push_back(std::move(rule)); }
  void Clear() { rules_.clear(); }
  std::size_t Pending() const { return rules_.size(); }

 private:
  QTimer timer_;
  std::vector<Rule> rules_;
};

bool IsBoxWith(QWidget* modal, const QString& text) {
  auto* box = qobject_cast<QMessageBox*>(modal);
  return box != nullptr && box->text().startsWith(text);
}

void ClickChild(QWidget* root, const char* name) {
  auto* button = root->findChild<QAbstractButton*>(QString::fromLatin1(name));
  QVERIFY2(button != nullptr, name);
  button->click();
}

// For rules: a click can open a window of its own (a question) whose event loop must not run
// inside the driver's timer, which Qt does not fire again while its slot is running.
void ClickLater(QWidget* root, const char* name) {
  auto* button = root->findChild<QAbstractButton*>(QString::fromLatin1(name));
  QVERIFY2(button != nullptr, name);
  QTimer::singleShot(0, button, &QAbstractButton::click);
}

// A rule that keeps the text of the next message box and closes it.
std::function<bool(QWidget*)> TakeBoxText(QString& told) {
  return [&told](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (box == nullptr) return false;
    told = box->text();
    ClickLater(modal, "okbtn");
    return true;
  };
}

QString Sha256(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  QCryptographicHash hash(QCryptographicHash::Sha256);
  hash.addData(&file);
  return QString::fromLatin1(hash.result().toHex());
}

QString Catalog(const char* key) { return QString::fromStdString(GetMessageCatalog().Msg(key)); }

// "JPG/JPEG (4)" -> ("JPG/JPEG", 4)
// Unpacks a committed .gz image to `to`; false when gunzip failed.
bool Gunzip(const QString& gz, const QString& to) {
  QProcess gunzip;
  gunzip.setStandardOutputFile(to);
  gunzip.start(QStringLiteral("gunzip"), {QStringLiteral("-c"), gz});
  return gunzip.waitForFinished(60000) && gunzip.exitStatus() == QProcess::NormalExit && gunzip.exitCode() == 0;
}

// Every node of a tree model, parents before their children.
std::vector<QModelIndex> AllNodes(const QAbstractItemModel* model) {
  std::vector<QModelIndex> nodes;
  std::function<void(const QModelIndex&)> add = [&](const QModelIndex& parent) {
    for (int row = 0; row < model->rowCount(parent); ++row) {
      const QModelIndex node = model->index(row, 0, parent);
      nodes.push_back(node);
      add(node);
    }
  };
  add({});
  return nodes;
}

std::pair<QString, int> SplitCount(const QString& text) {
  static const QRegularExpression pattern(QStringLiteral("^(.*) \\((\\d+)\\)$"));
  const auto match = pattern.match(text);
  if (!match.hasMatch()) return {text, -1};
  return {match.captured(1), match.captured(2).toInt()};
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void deepScanFillsTheTreeAndRecoveryGivesBackTheFiles();
  void secondRecoveryIntoTheSameFolderNumbersTheNames();
  void cancelQuestionAnsweredNoLetsTheScanFinish();
  void languageSwitchChangesTheTexts();
  void deviceArrivalAndRemovalRefreshTheDiskList();
  void startNeedsAtLeastOneType();
  void quickScanListsTheDeletedFilesAndDropsItsLogAfterwards();
  void diskImageOfADriveIsCopiedAndOfferedForScanning();
  void cancelQuestionAnsweredYesShowsWhatWasFound();
  void selectingARowShowsItsPreview();
  void thumbnailGridLoadsWhileTheWindowKeepsRunning();
  void audioAndVideoPlayInThePanel();
  void scanThatCannotKeepItsFindsSaysWhy();
  void quickScanOfADiskPassesOverAreasWithoutAVolume();
  void exfatPartitionGivesBackItsDeletedFilesByName();
  void phonePicturesAndRawFilesShowInThePanelAndTheGrid();
  void searchAndFiltersNarrowTheResultsAndKeptFoldersComeBack();
  void folderViewCountsAgreeWithTheCommandLine();

 private:
  void ScanCard(std::function<void()> duringScan = {});
  // Scans the card again, taking up its earlier, finished deep scan.
  void RescanCard();
  bool ScanAndInterrupt(bool stop);
  std::map<QString, int> TreeCounts() const;
  int TreeTotal() const;
  void RecoverPhotosInto(const QString& folder);
  // Recovers what is ticked through the recovery window, into folder.
  void RecoverTickedInto(const QString& folder);
  // Opens the tree node whose text starts with the label; false when there is none.
  bool OpenNode(const QString& label);
  void SelectListRow(int row);

  QTemporaryDir work_;
  QString image_;
  QString recoverTo_;
  QList<QJsonObject> expected_;                 // the command line's deep scan of the card
  std::map<QString, QString> cardFiles_;        // sha256 -> state (live, deleted)
  std::unique_ptr<MainWindow> window_;
  ModalDriver driver_;
};

void MainWindowTest::initTestCase() {
  QVERIFY(work_.isValid());
  image_ = work_.filePath(QStringLiteral("card.img"));
  recoverTo_ = work_.filePath(QStringLiteral("recovered"));
  QVERIFY(Gunzip(QStringLiteral(REXMOOR_SOURCE_DIR "/samples/card.img.gz"), image_));

  QFile sums(QStringLiteral(REXMOOR_SOURCE_DIR "/samples/card.sha256"));
  QVERIFY(sums.open(QIODevice::ReadOnly));
  while (!sums.atEnd()) {
    const QStringList parts = QString::fromUtf8(sums.readLine()).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() >= 2) cardFiles_[parts[0]] = parts[1];
  }
  QVERIFY(cardFiles_.size() >= 5);

  // What the command line finds in a deep scan of the same image, in a data folder of its own.
  QProcess cli;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("REXMOOR_DATA_DIR"), work_.filePath(QStringLiteral("cli-data")));
  cli.setProcessEnvironment(env);
  cli.start(QStringLiteral(REXMOOR_CLI_PATH), {QStringLiteral("scan"), image_, QStringLiteral("--format"),
                                                QStringLiteral("json"), QStringLiteral("--resume"), QStringLiteral("no")});
  QVERIFY(cli.waitForFinished(300000));
  QCOMPARE(cli.exitCode(), 0);
  for (const QByteArray& line : cli.readAllStandardOutput().split('\n'))
    if (!line.trimmed().isEmpty()) {
      const QJsonObject object = QJsonDocument::fromJson(line).object();
      if (!object.contains(QStringLiteral("summary"))) expected_.push_back(object);
    }
  QVERIFY(expected_.size() >= 5);

  // Window size and options another run remembered would change what these tests see.
  QFile::remove(QString::fromUtf8(qgetenv("XDG_CONFIG_HOME")) + QStringLiteral("/rexmoor/gui.ini"));
  window_ = std::make_unique<MainWindow>();
  FileChoosers choosers;
  choosers.recoveryFolder = [this](QWidget*) { return recoverTo_; };
  window_->SetChoosers(choosers);
  window_->show();
  QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
}

void MainWindowTest::ScanCard(std::function<void()> duringScan) {
  ClickChild(window_.get(), "BtnStart");
  QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageDisk));
  QVERIFY(window_->AddImageFile(image_));
  auto* disks = window_->findChild<QTreeView*>(QStringLiteral("DiskList"));
  QVERIFY(disks->currentIndex().isValid());
  // An image of one volume shows its label and file system as a drive's partition does.
  QCOMPARE(disks->currentIndex().siblingAtColumn(0).data().toString(), QStringLiteral("card.img (CARD)"));
  QVERIFY(disks->currentIndex().siblingAtColumn(1).data().toString().startsWith(QStringLiteral("FAT")));
  if (duringScan) duringScan();
  // The click returns once the scan and search windows have come and gone.
  ClickChild(window_.get(), "BtnScan");
}

void MainWindowTest::RescanCard() {
  driver_.Add([](QWidget* modal) {
    if (!IsBoxWith(modal, Catalog("MSG1206"))) return false;
    ClickLater(modal, "okbtn");  // the card was scanned to the end before: take that scan up
    return true;
  });
  ScanCard();
  driver_.Clear();
}

std::map<QString, int> MainWindowTest::TreeCounts() const {
  std::map<QString, int> counts;
  const QAbstractItemModel* tree = window_->findChild<QTreeView*>(QStringLiteral("TypeTree"))->model();
  for (const QModelIndex& node : AllNodes(tree)) {
    if (!node.parent().isValid()) continue;  // the categories
    const auto [label, count] = SplitCount(node.data().toString());
    counts[label] = count;
  }
  return counts;
}

int MainWindowTest::TreeTotal() const {
  int total = 0;
  for (const auto& [label, count] : TreeCounts()) total += count;
  return total;
}

void MainWindowTest::RecoverPhotosInto(const QString& folder) {
  window_->CheckTypeNode(NodeRef{TypeCategory::Photo, std::nullopt}, true);
  RecoverTickedInto(folder);
}

void MainWindowTest::RecoverTickedInto(const QString& folder) {
  recoverTo_ = folder;
  auto* recover = window_->findChild<QPushButton*>(QStringLiteral("BtnRecover"));
  QVERIFY(recover->isEnabled());
  bool finished = false;
  const QString saved = work_.filePath(QStringLiteral("saved-report.xml"));
  QFile::remove(saved);
  bool reportSaved = false;
  driver_.Add([&finished, &reportSaved, saved](QWidget* modal) {
    if (modal->objectName() != QLatin1String("RecoverProcessWnd")) return false;
    auto* finish = modal->findChild<QPushButton*>(QStringLiteral("FinishBtn"));
    if (finish == nullptr || !finish->isVisible()) return false;
    // What "Save report" writes where the user picks (the dialog is the platform's).
    auto* window = qobject_cast<RecoverProcessWnd*>(modal);
    reportSaved = window != nullptr && window->findChild<QPushButton*>(QStringLiteral("ReportBtn"))->isEnabled() &&
                  window->SaveReport(saved);
    finished = true;
    QTimer::singleShot(0, finish, &QAbstractButton::click);
    return true;
  });
  recover->click();
  QVERIFY(finished);
  QVERIFY(reportSaved);
}

void MainWindowTest::deepScanFillsTheTreeAndRecoveryGivesBackTheFiles() {
  bool scanWindowSeen = false;
  QStringList lastFigures;  // files found, elapsed time, speed, as the scan window closed
  driver_.Add([&scanWindowSeen, &lastFigures](QWidget* modal) {
    if (modal->objectName() != QLatin1String("ScanProcessWnd")) return false;
    scanWindowSeen = true;
    connect(qobject_cast<QDialog*>(modal), &QDialog::finished, modal, [modal, &lastFigures] {
      for (const char* name : {"totalfile", "elapsed", "speed"}) {
        auto* label = modal->findChild<QLabel*>(QString::fromLatin1(name));
        lastFigures << (label != nullptr && !label->isHidden() ? label->text() : QString());
      }
    });
    return true;
  });
  ScanCard();
  QVERIFY(scanWindowSeen);
  QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageResults));
  // The count the scan window showed last is the number of files the results list.
  QCOMPARE(lastFigures.size(), 3);
  QCOMPARE(lastFigures[0], Catalog("MSG0707") + QLatin1Char(' ') + QString::number(expected_.size()));
  QVERIFY2(lastFigures[1].startsWith(Catalog("MSG0710")) && lastFigures[1].endsWith(QLatin1String("Sec")),
           qPrintable(lastFigures[1]));
  QVERIFY2(lastFigures[2].startsWith(Catalog("MSG0711")), qPrintable(lastFigures[2]));

  // Every node's count is the number of files the command line found with the node's extensions.
  const std::map<QString, int> counts = TreeCounts();
  QVERIFY(!counts.empty());
  int matched = 0;
  for (const FileTypeGroup& group : ShippedFileTypeGroups()) {
    for (const FileTypeOption& option : group.options) {
      const QString label = QString::fromStdString(OptionLabel(option.text));
      const QStringList extensions = QString::fromStdString(option.extensions).split(QLatin1Char('|'));
      int found = 0;
      for (const QJsonObject& file : expected_) {
        const QString name = file.value(QStringLiteral("name")).toString().toLower();
        for (const QString& extension : extensions)
          if (name.endsWith(QLatin1Char('.') + extension)) ++found;
      }
      const auto it = counts.find(label);
      if (found == 0) {
        QVERIFY2(it == counts.end(), qPrintable(label));
        continue;
      }
      QVERIFY2(it != counts.end(), qPrintable(label));
      QCOMPARE(it->second, found);
      matched += found;
    }
  }
  QCOMPARE(TreeTotal(), int(expected_.size()));
  QVERIFY(matched > 0);

  // The category line carries the sum; the heading the number of files.
  const QAbstractItemModel* tree = window_->findChild<QTreeView*>(QStringLiteral("TypeTree"))->model();
  const QModelIndex photo = tree->index(0, 0);
  const auto [photoText, photoCount] = SplitCount(photo.data().toString());
  QCOMPARE(photoText, QString::fromStdString(GetMessageCatalog().Text("MainWnd", "MSG0807")));
  int photoChildren = 0;
  for (int n = 0; n < tree->rowCount(photo); ++n) photoChildren += SplitCount(tree->index(n, 0, photo).data().toString()).second;
  QCOMPARE(photoCount, photoChildren);
  QVERIFY(window_->findChild<QLabel*>(QStringLiteral("Txt2"))->text().contains(QString::number(expected_.size())));

  // Nothing is selected yet; ticking the photo category selects exactly its files.
  auto* info = window_->findChild<QLabel*>(QStringLiteral("SelectedFileInfo"));
  QCOMPARE(info->text(), Catalog("MSG0803"));
  RecoverPhotosInto(work_.filePath(QStringLiteral("recovered")));
  QCOMPARE(int(window_->Results().Selection().size()), photoCount);
  QVERIFY(info->text().contains(QString::number(photoCount)));

  // Every file written is one that was put on the card, unchanged, and every deleted photo of
  // the card came back.
  QSet<QString> written;
  QDirIterator it(recoverTo_, QDir::Files, QDirIterator::Subdirectories);
  int files = 0;
  while (it.hasNext()) {
    const QString path = it.next();
    if (path == recoverTo_ + QStringLiteral("/report.xml")) continue;  // the report beside the files
    QVERIFY2(path.startsWith(recoverTo_ + QStringLiteral("/photo/")), qPrintable(path));
    const QString sum = Sha256(path);
    QVERIFY2(cardFiles_.count(sum) == 1, qPrintable(path + QStringLiteral(" is not a file of the card")));
    written.insert(sum);
    ++files;
  }
  QCOMPARE(files, photoCount);
  QFile sums(QStringLiteral(REXMOOR_SOURCE_DIR "/samples/card.sha256"));
  QVERIFY(sums.open(QIODevice::ReadOnly));
  while (!sums.atEnd()) {
    const QStringList parts = QString::fromUtf8(sums.readLine()).trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() < 3 || parts[1] != QLatin1String("deleted")) continue;
    const QString name = parts.mid(2).join(QLatin1Char(' ')).toLower();
    if (name.endsWith(QLatin1String(".jpg")) || name.endsWith(QLatin1String(".png")))
      QVERIFY2(written.contains(parts[0]), qPrintable(name));
  }
}

void MainWindowTest::secondRecoveryIntoTheSameFolderNumbersTheNames() {
  const QString folder = work_.filePath(QStringLiteral("recovered"));
  QStringList before = QDir(folder + QStringLiteral("/photo")).entryList(QDir::Files);
  QVERIFY(!before.isEmpty());
  RecoverPhotosInto(folder);
  const QStringList after = QDir(folder + QStringLiteral("/photo")).entryList(QDir::Files);
  QCOMPARE(after.size(), before.size() * 2);
  for (const QString& name : before) {
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString numbered = name.left(dot) + QStringLiteral("(1)") + name.mid(dot);
    QVERIFY2(after.contains(numbered), qPrintable(numbered));
    QCOMPARE(Sha256(folder + QStringLiteral("/photo/") + numbered), Sha256(folder + QStringLiteral("/photo/") + name));
  }
}

// Scans the card again and interrupts the sweep: the card was scanned to the end before, so the
// job first asks whether to take that scan up; it starts afresh, and once the sweep reports, the
// cancel question is asked and answered. Returns whether the question came.
bool MainWindowTest::ScanAndInterrupt(bool stop) {
  // The card is swept faster than a click lands, so the sweep is held once it has reported a tenth
  // of the way until the question is up; from then on the question itself holds it at its next
  // report.
  struct Hold {
    std::mutex lock;
    std::condition_variable changed;
    bool asked = false;
  };
  auto hold = std::make_shared<Hold>();
  constexpr int kHeldAt = 10;
  window_->SetScanJobSetup([hold](ScanJob& job) {
    job.SetReportHook([hold](std::int32_t percent, bool withFigures) {
      if (!withFigures || percent < kHeldAt) return;
      std::unique_lock<std::mutex> lock(hold->lock);
      hold->changed.wait_for(lock, std::chrono::seconds(30), [&] { return hold->asked; });
    });
  });
  ScanCard([&] {
    auto fresh = std::make_shared<bool>(false);
    driver_.Add([fresh](QWidget* modal) {
      if (!IsBoxWith(modal, Catalog("MSG1206"))) return false;
      *fresh = true;
      ClickLater(modal, "cancelbtn");
      return true;
    });
    driver_.Add([fresh](QWidget* modal) {
      if (!*fresh || modal->objectName() != QLatin1String("ScanProcessWnd")) return false;
      // Once the sweep reports (its figures are on show), the job no longer waits for the answer
      // above, and a stop leaves a place to continue from.
      auto* bar = modal->findChild<QProgressBar*>(QStringLiteral("progress"));
      auto* files = modal->findChild<QLabel*>(QStringLiteral("totalfile"));
      if (bar == nullptr || bar->value() < kHeldAt || files == nullptr || !files->isVisible()) return false;
      ClickLater(modal, "cancelbtn");
      return true;
    });
    driver_.Add([hold, stop](QWidget* modal) {
      if (!IsBoxWith(modal, Catalog("MSG0709"))) return false;
      {
        std::lock_guard<std::mutex> lock(hold->lock);
        hold->asked = true;
      }
      hold->changed.notify_all();
      ClickLater(modal, stop ? "okbtn" : "cancelbtn");
      return true;
    });
  });
  driver_.Clear();
  window_->SetScanJobSetup({});
  std::lock_guard<std::mutex> lock(hold->lock);
  return hold->asked;
}

void MainWindowTest::cancelQuestionAnsweredNoLetsTheScanFinish() {
  QVERIFY(ScanAndInterrupt(false));  // No: go on where it was
  QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageResults));
  QCOMPARE(TreeTotal(), int(expected_.size()));
  // A new scan empties the selection.
  QVERIFY(window_->Results().Selection().empty());
}

void MainWindowTest::languageSwitchChangesTheTexts() {
  auto* start = window_->findChild<QCheckBox*>(QStringLiteral("ChkPhoto"));
  const QString english = start->text();
  QVERIFY(!english.isEmpty());
  bool offered = false;
  for (const auto& [name, value] : GetMessageCatalog().Languages()) offered = offered || name == "Deutsch";
  QVERIFY(offered);
  QMenu* menu = window_->findChild<QMenu*>(QStringLiteral("item_language"));
  QVERIFY(menu != nullptr);
  emit menu->aboutToShow();
  QAction* german = menu->findChild<QAction*>(QStringLiteral("Deutsch"));
  QVERIFY(german != nullptr);
  german->trigger();
  QCOMPARE(QString::fromStdString(GetMessageCatalog().CurrentLanguage()), QStringLiteral("Deutsch"));
  QVERIFY(start->text() != english);
  QCOMPARE(start->text(), QString::fromStdString(GetMessageCatalog().Text("MainWnd", "ChkPhoto")));
  // The tree's category texts and the file list's header follow.
  auto* tree = window_->findChild<QTreeView*>(QStringLiteral("TypeTree"));
  QVERIFY(tree->model()->index(0, 0).data().toString().startsWith(
      QString::fromStdString(GetMessageCatalog().Text("MainWnd", "MSG0807"))));

  emit menu->aboutToShow();
  menu->findChild<QAction*>(QStringLiteral("English"))->trigger();
  QCOMPARE(start->text(), english);
}

void MainWindowTest::deviceArrivalAndRemovalRefreshTheDiskList() {
  // A stand-in for the machine's drives: one fixed disk, and a card that is plugged in later.
  auto makeDrive = [](int number, bool removable, const char* label) {
    DeviceDrive drive;
    drive.number = number;
    drive.facts.path = "/dev/fake" + std::to_string(number);
    drive.facts.totalBytes = 1ull << 30;
    drive.facts.removable = removable;
    drive.source = "drive:" + std::to_string(number);
    DeviceRow row;
    row.entry.letter = static_cast<char16_t>(number * 10 + 1);
    row.entry.driveNumber = number;
    row.entry.start = 2048;
    row.entry.length = (1u << 21) - 2048;
    row.entry.totalBytes = row.entry.length * 512;
    row.entry.fileSystemName = "FAT32";
    row.entry.label = label;
    row.source = drive.source + "@2048+" + std::to_string(row.entry.length);
    drive.rows.push_back(row);
    return drive;
  };
  std::vector<DeviceDrive> drives{makeDrive(0, false, "SYSTEM")};
  window_->SetDeviceLister([&drives] { return drives; });
  DeviceEventSource events;
  window_->SetDeviceSource(&events);
  window_->SetRefreshDelay(100);
  auto* list = window_->findChild<QTreeView*>(QStringLiteral("DiskList"));
  auto hasLabel = [list](const QString& label) {
    for (const QModelIndex& row : AllNodes(list->model()))
      if (row.data().toString().contains(label)) return true;
    return false;
  };
  QVERIFY(hasLabel(QStringLiteral("SYSTEM")));
  QVERIFY(!hasLabel(QStringLiteral("CAMERA")));

  drives.push_back(makeDrive(1, true, "CAMERA"));
  emit events.deviceChanged(true);
  // Not at once: the list waits for the device to settle.
  QVERIFY(!hasLabel(QStringLiteral("CAMERA")));
  QTRY_VERIFY_WITH_TIMEOUT(hasLabel(QStringLiteral("CAMERA")), 5000);
  // The card that came is selected, ready to scan.
  QVERIFY(list->currentIndex().isValid());
  QVERIFY(list->currentIndex().siblingAtColumn(0).data().toString().contains(QStringLiteral("CAMERA")));
  // Image files stay listed across refreshes.
  QVERIFY(hasLabel(QStringLiteral("card.img")));

  drives.pop_back();
  emit events.deviceChanged(false);
  QTRY_VERIFY_WITH_TIMEOUT(!hasLabel(QStringLiteral("CAMERA")), 5000);
  QVERIFY(hasLabel(QStringLiteral("SYSTEM")));
  window_->SetDeviceSource(nullptr);
  window_->SetDeviceLister([] { return std::vector<DeviceDrive>{}; });
}

void MainWindowTest::startNeedsAtLeastOneType() {
  ClickChild(window_.get(), "BtnPrev");
  while (window_->CurrentPage() != MainWindow::kPageStart) ClickChild(window_.get(), "BtnPrev");
  auto* start = window_->findChild<QPushButton*>(QStringLiteral("BtnStart"));
  auto* all = window_->findChild<QCheckBox*>(QStringLiteral("ChkRecoverAll"));
  QVERIFY(start->isEnabled());
  QCOMPARE(all->checkState(), Qt::Checked);
  for (const char* name : {"ChkPhoto", "ChkMusic", "ChkVideo", "ChkOffice", "ChkArchive", "ChkOther"}) {
    QVERIFY(start->isEnabled());
    auto* box = window_->findChild<QCheckBox*>(QString::fromLatin1(name));
    QVERIFY(box->isChecked());
    box->click();
    QCOMPARE(all->checkState(), std::string_view(name) == "ChkOther" ? Qt::Unchecked : Qt::PartiallyChecked);
  }
  QVERIFY(!start->isEnabled());
  all->click();
  QCOMPARE(all->checkState(), Qt::Checked);
  QVERIFY(start->isEnabled());
  // The file-type page's options follow the start page's boxes.
  QVERIFY(window_->findChild<QCheckBox*>(QStringLiteral("OptOtherFileItem"))->isChecked());
}

// A disk of one FAT partition and unallocated space after it: the quick scan of the whole disk
// scans the partition and passes over the space, where no volume is to be found.
void MainWindowTest::quickScanOfADiskPassesOverAreasWithoutAVolume() {
  const QString disk = work_.filePath(QStringLiteral("disk.img"));
  const QString note = work_.filePath(QStringLiteral("note.txt"));
  QFile text(note);
  QVERIFY(text.open(QIODevice::WriteOnly));
  text.write(QByteArray(3000, 'n'));
  text.close();
  const QString script = QStringLiteral(
      "set -e; export PATH=$PATH:/usr/sbin:/sbin MTOOLS_SKIP_CHECK=1; truncate -s 48M '%1'; "
      "echo 'start=2048, size=40960, type=c' | sfdisk -q '%1'; "
      "mkfs.fat -F 16 --offset=2048 '%1' 20480 >/dev/null; "
      "mcopy -i '%1'@@1048576 '%2' ::/NOTE.TXT; mdel -i '%1'@@1048576 ::/NOTE.TXT").arg(disk, note);
  QProcess make;
  make.start(QStringLiteral("bash"), {QStringLiteral("-c"), script});
  QVERIFY(make.waitForFinished(60000));
  QVERIFY2(make.exitCode() == 0, make.readAllStandardError().constData());

  qputenv("REXMOOR_DRIVES", disk.toUtf8());
  window_->SetDeviceLister(ListDevices);
  while (window_->CurrentPage() != MainWindow::kPageStart) ClickChild(window_.get(), "BtnPrev");
  ClickChild(window_.get(), "BtnDeletedRecovery");
  QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageDisk));
  auto* list = window_->findChild<QTreeView*>(QStringLiteral("DiskList"));
  const QModelIndex drive = list->model()->index(0, 0);
  QVERIFY(drive.isValid());
  QCOMPARE(list->model()->rowCount(drive), 2);  // the partition and the space after it
  list->setCurrentIndex(drive);
  QString told;
  driver_.Add(TakeBoxText(told));
  ClickChild(window_.get(), "BtnScan");
  driver_.Clear();
  qunsetenv("REXMOOR_DRIVES");
  window_->SetDeviceLister([] { return std::vector<DeviceDrive>{}; });
  QVERIFY2(told.isEmpty(), qPrintable(told));
  QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageResults));
  QCOMPARE(TreeTotal(), 1);
}

// A disk whose one partition is exFAT (made by mkfs.exfat and written through exfat-fuse): the
// quick scan of the partition lists the deleted files, a deleted folder's included, and recovery
// through the real windows writes each of them back unchanged.
void MainWindowTest::exfatPartitionGivesBackItsDeletedFilesByName() {
  const QString disk = work_.filePath(QStringLiteral("exfat_mbr.img"));
  QVERIFY(Gunzip(QStringLiteral(REXMOOR_SOURCE_DIR "/tests/fixtures/exfat/exfat_mbr.img.gz"), disk));
  // The deleted files the manifest lists for the disk: name -> sha256.
  std::map<QString, QString> deleted;
  QFile manifest(QStringLiteral(REXMOOR_SOURCE_DIR "/tests/fixtures/exfat/MANIFEST.txt"));
  QVERIFY(manifest.open(QIODevice::ReadOnly));
  while (!manifest.atEnd()) {
    const QStringList f = QString::fromUtf8(manifest.readLine()).split(QLatin1Char('\t'));
    if (f.size() >= 6 && f[0] == QLatin1String("exfat_mbr.img") && f[2] == QLatin1String("file") &&
        f[3] == QLatin1String("deleted"))
      deleted[f[1].section(QLatin1Char('/'), -1)] = f[5];
  }
  QVERIFY(deleted.size() >= 4);

  qputenv("REXMOOR_DRIVES", disk.toUtf8());
  window_->SetDeviceLister(ListDevices);
  while (window_->CurrentPage() != MainWindow::kPageStart) ClickChild(window_.get(), "BtnPrev");
  ClickChild(window_.get(), "BtnDeletedRecovery");
  auto* list = window_->findChild<QTreeView*>(QStringLiteral("DiskList"));
  const QModelIndex drive = list->model()->index(0, 0);
  QVERIFY(drive.isValid() && list->model()->rowCount(drive) >= 1);
  const QModelIndex partition = list->model()->index(0, 0, drive);
  QCOMPARE(partition.siblingAtColumn(1).data().toString(), QStringLiteral("exFAT"));
  list->setCurrentIndex(partition);
  QString told;
  driver_.Add(TakeBoxText(told));
  ClickChild(window_.get(), "BtnScan");
  driver_.Clear();
  QVERIFY2(told.isEmpty(), qPrintable(told));
  QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageResults));
  QCOMPARE(TreeTotal(), int(deleted.size()));

  for (std::size_t c = 0; c < kTypeCategoryCount; ++c)
    window_->CheckTypeNode(NodeRef{static_cast<TypeCategory>(c), std::nullopt}, true);
  RecoverTickedInto(work_.filePath(QStringLiteral("recovered-exfat")));
  driver_.Clear();
  std::map<QString, QString> written;
  QDirIterator it(recoverTo_, QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    if (path == recoverTo_ + QStringLiteral("/report.xml")) continue;
    written[QFileInfo(path).fileName()] = Sha256(path);
  }
  QCOMPARE(written, deleted);
  qunsetenv("REXMOOR_DRIVES");
  window_->SetDeviceLister([] { return std::vector<DeviceDrive>{}; });
}

// HEIC, AVIF, JPEG XL and camera raw files, found by their content on a medium without a file
// system: Qt's readers know none of them; the picture program draws them for the panel and the
// thumbnail grid.
void MainWindowTest::phonePicturesAndRawFilesShowInThePanelAndTheGrid() {
  const QString medium = work_.filePath(QStringLiteral("phone.img"));
  {
    QFile out(medium);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(QByteArray(65536, '\0'));
    for (const char* name : {"sample.heic", "sample.avif", "sample.jxl", "canon.cr2", "nikon.nef", "fujifilm.raf"}) {
      QFile sample(QStringLiteral(REXMOOR_SOURCE_DIR "/tests/samples/files/") + QString::fromLatin1(name));
      QVERIFY(sample.open(QIODevice::ReadOnly));
      out.write(sample.readAll());
      out.write(QByteArray(static_cast<int>(4096 - out.size() % 4096 + 4096), '\0'));
    }
    out.write(QByteArray(65536, '\0'));
  }
  while (window_->CurrentPage() != MainWindow::kPageStart) ClickChild(window_.get(), "BtnPrev");
  ClickChild(window_.get(), "BtnStart");
  QVERIFY(window_->AddImageFile(medium));
  ClickChild(window_.get(), "BtnScan");
  QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageResults));

  PreviewPanel* panel = window_->Preview();
  auto* edit = window_->findChild<QTextEdit*>(QStringLiteral("PreviewEdit"));
  auto* list = window_->findChild<QTableView*>(QStringLiteral("FileList"));
  auto* toggle = window_->findChild<QToolButton*>(QStringLiteral("ThumbnailsBtn"));
  for (const char* node : {"HEIF/HEIC Pictures", "AVIF Pictures", "JPEG XL Pictures", "Canon Raw CR2", "Nikon Raw",
                           "Fujifilm Raw"}) {
    QVERIFY2(OpenNode(QString::fromLatin1(node)), node);
    QCOMPARE(list->model()->rowCount(), 1);
    SelectListRow(0);
    QVERIFY2(panel->Current() == PreviewPanel::Showing::Picture, node);
    QVERIFY(edit->toHtml().contains(QStringLiteral("<img")));

    // The grid shows the same picture, not the type's icon.
    toggle->click();
    ThumbnailGrid* grid = window_->Thumbnails();
    QVERIFY(grid->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(grid->Thumbnails()->Ready(), 1, 20000);
    const QPixmap pixmap = grid->model()->data(grid->model()->index(0, 0), Qt::DecorationRole).value<QPixmap>();
    QVERIFY2(!pixmap.isNull() && (pixmap.width() > kThumbnailSide / 2 || pixmap.height() > kThumbnailSide / 2), node);
    toggle->click();
  }
}

// The search field and the filters narrow the tree (its counts with it) to what the command line's
// listing says matches; the Path column shows each file's folder; a keep-folders recovery writes
// the ticked files below the card's name, in the folders they were found in.
void MainWindowTest::searchAndFiltersNarrowTheResultsAndKeptFoldersComeBack() {
  RescanCard();
  const int total = TreeTotal();
  QCOMPARE(total, int(expected_.size()));
  auto count = [this](const std::function<bool(const QJsonObject&)>& matches) {
    return static_cast<int>(std::count_if(expected_.begin(), expected_.end(), matches));
  };
  auto* search = window_->findChild<QLineEdit*>(QStringLiteral("SearchEdit"));
  QVERIFY(search != nullptr);
  search->setText(QStringLiteral("*.JPG"));
  QTest::keyClick(search, Qt::Key_Return);
  QCOMPARE(TreeTotal(), count([](const QJsonObject& r) { return r[QStringLiteral("name")].toString().endsWith(QStringLiteral(".jpg"), Qt::CaseInsensitive); }));
  QCOMPARE(TreeCounts().size(), std::size_t{1});  // JPG/JPEG alone
  // Checking the whole folder tree under the filter checks only the files that pass it, and the
  // type tree and the folder tree show the same state, partial once the filter is gone.
  const int jpegs = TreeTotal();
  const QAbstractItemModel* types = window_->findChild<QTreeView*>(QStringLiteral("TypeTree"))->model();
  ClickChild(window_.get(), "ByFolderBtn");
  QAbstractItemModel* folderTree = window_->findChild<QTreeView*>(QStringLiteral("FolderTree"))->model();
  QVERIFY(folderTree->setData(folderTree->index(0, 0), Qt::Checked, Qt::CheckStateRole));
  QCOMPARE(int(window_->Results().Selection().size()), jpegs);
  QCOMPARE(types->index(0, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
  search->clear();
  QTest::keyClick(search, Qt::Key_Return);
  QCOMPARE(TreeTotal(), total);
  QVERIFY(total > jpegs);
  QCOMPARE(folderTree->index(0, 0).data(Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));
  const int photos = SplitCount(types->index(0, 0).data().toString()).second;
  QCOMPARE(types->index(0, 0).data(Qt::CheckStateRole).toInt(), int(photos > jpegs ? Qt::PartiallyChecked : Qt::Checked));
  for (int c = 1; c < types->rowCount(); ++c) QCOMPARE(types->index(c, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
  // Checking the partial root takes in every file, unchecking it lets them all go.
  for (const Qt::CheckState state : {Qt::Checked, Qt::Unchecked}) {
    QVERIFY(folderTree->setData(folderTree->index(0, 0), state, Qt::CheckStateRole));
    QCOMPARE(int(window_->Results().Selection().size()), state == Qt::Checked ? total : 0);
    for (int c = 0; c < types->rowCount(); ++c)
      if (types->rowCount(types->index(c, 0)) > 0) QCOMPARE(types->index(c, 0).data(Qt::CheckStateRole).toInt(), int(state));
  }
  ClickChild(window_.get(), "ByTypeBtn");

  for (const char* box : {"FoundCarved", "FoundDeleted"}) {
    auto* check = window_->findChild<QCheckBox*>(QString::fromLatin1(box));
    QVERIFY(check != nullptr);
    check->setChecked(true);
    const QString found = QString::fromLatin1(box) == QLatin1String("FoundCarved") ? QStringLiteral("carved") : QStringLiteral("deleted");
    QCOMPARE(TreeTotal(), count([&](const QJsonObject& r) { return r[QStringLiteral("found")].toString() == found; }));
    check->setChecked(false);
  }
  auto* minSize = window_->findChild<QLineEdit*>(QStringLiteral("MinSizeEdit"));
  minSize->setText(QStringLiteral("15K"));
  emit minSize->editingFinished();
  QCOMPARE(TreeTotal(), count([](const QJsonObject& r) { return r[QStringLiteral("size")].toDouble() >= 15360; }));
  auto* filterButton = window_->findChild<QToolButton*>(QStringLiteral("FilterBtn"));
  QVERIFY(filterButton->text().endsWith(QStringLiteral("(1)")));
  ClickChild(window_.get(), "ClearFiltersBtn");
  QCOMPARE(TreeTotal(), total);

  // The Path column: the folder each JPEG was found in.
  QVERIFY(OpenNode(QStringLiteral("JPG/JPEG")));
  auto* list = window_->findChild<QTableView*>(QStringLiteral("FileList"));
  QVERIFY(!list->isColumnHidden(static_cast<int>(FileColumn::Path)));
  QSet<QString> shown, listed;
  for (int row = 0; row < list->model()->rowCount(); ++row)
    shown.insert(list->model()->index(row, static_cast<int>(FileColumn::Path)).data().toString() +
                 list->model()->index(row, 0).data().toString());
  for (const QJsonObject& r : expected_)
    if (r[QStringLiteral("extension")].toString() == QLatin1String("jpg"))
      listed.insert(r[QStringLiteral("folder")].toString() + r[QStringLiteral("name")].toString());
  QCOMPARE(shown, listed);

  // The folder view: the root counts every find, each folder the files in and below it (as the
  // listing's folder fields say), a selected folder lists its own files, and checking it checks
  // them all.
  ClickChild(window_.get(), "ByFolderBtn");
  auto* folders = window_->findChild<QTreeView*>(QStringLiteral("FolderTree"));
  QVERIFY(folders != nullptr && folders->isVisible());
  QAbstractItemModel* folderModel = folders->model();
  QCOMPARE(folderModel->rowCount(), 1);
  QCOMPARE(SplitCount(folderModel->index(0, 0).data().toString()).second, total);
  QModelIndex holiday;
  for (const QModelIndex& node : AllNodes(folderModel))
    if (SplitCount(node.data().toString()).first == QLatin1String("Holiday")) holiday = node;
  QVERIFY(holiday.isValid());
  const int inHoliday = count([](const QJsonObject& r) { return r[QStringLiteral("folder")].toString().startsWith(QStringLiteral("Holiday/")); });
  QVERIFY(inHoliday >= 3);
  QCOMPARE(SplitCount(holiday.data().toString()).second, inHoliday);
  folders->setCurrentIndex(holiday);
  QCOMPARE(list->model()->rowCount(), count([](const QJsonObject& r) { return r[QStringLiteral("folder")].toString() == QLatin1String("Holiday/"); }));
  QVERIFY(folderModel->setData(holiday, Qt::Checked, Qt::CheckStateRole));
  QCOMPARE(int(window_->Results().Selection().size()), inHoliday);
  QCOMPARE(list->model()->index(0, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
  QVERIFY(folderModel->setData(holiday, Qt::Unchecked, Qt::CheckStateRole));
  QVERIFY(window_->Results().Selection().empty());
  ClickChild(window_.get(), "ByTypeBtn");
  QVERIFY(window_->findChild<QTreeView*>(QStringLiteral("TypeTree"))->isVisible());
  QVERIFY(list->model()->rowCount() > 0);

  // Keep the folders: every deleted file at card.img/<folder>/<name>.
  auto* keep = window_->findChild<QCheckBox*>(QStringLiteral("ChkKeepFolders"));
  QVERIFY(keep != nullptr && keep->isVisible());
  keep->setChecked(true);
  for (std::size_t c = 0; c < kTypeCategoryCount; ++c)
    window_->CheckTypeNode(NodeRef{static_cast<TypeCategory>(c), std::nullopt}, true);
  const QString folder = work_.filePath(QStringLiteral("recovered-kept"));
  RecoverTickedInto(folder);
  keep->setChecked(false);
  for (std::size_t c = 0; c < kTypeCategoryCount; ++c)
    window_->CheckTypeNode(NodeRef{static_cast<TypeCategory>(c), std::nullopt}, false);
  int deleted = 0;
  for (const QJsonObject& r : expected_) {
    if (r[QStringLiteral("found")].toString() != QLatin1String("deleted")) continue;
    const QString path = folder + QStringLiteral("/card.img/") + r[QStringLiteral("folder")].toString() +
                         r[QStringLiteral("name")].toString();
    QVERIFY2(QFileInfo::exists(path), qPrintable(path));
    ++deleted;
  }
  QVERIFY(deleted >= 5);
  QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/photo")));  // no category folders
  // The report beside the files (on unless the user turned it off): one file object per file.
  QFile report(folder + QStringLiteral("/report.xml"));
  QVERIFY(report.open(QIODevice::ReadOnly));
  const QByteArray xml = report.readAll();
  QVERIFY(xml.startsWith("<?xml") && xml.contains("<dfxml xmloutputversion='1.0'"));
  QVERIFY(xml.count("<fileobject>") >= deleted);
  QFile saved(work_.filePath(QStringLiteral("saved-report.xml")));
  QVERIFY(saved.open(QIODevice::ReadOnly));
  QCOMPARE(saved.readAll(), xml);
}

// A quick-formatted FAT32 volume and an NTFS volume with deleted folders: the folder view shows
// every folder the command line's listing names (lost parents as LostFolder<n>), each with the
// number of files in it and below, and the files found by content apart.
void MainWindowTest::folderViewCountsAgreeWithTheCommandLine() {
  const QString ntfs = work_.filePath(QStringLiteral("ntfs_deleted.img"));
  QVERIFY(Gunzip(QStringLiteral(REXMOOR_SOURCE_DIR "/tests/fixtures/ntfs/ntfs_deleted.img.gz"), ntfs));
  const QString fat = QStringLiteral(REXMOOR_FIXTURE_DIR "/fmt_fat32.img");
  if (!QFileInfo::exists(fat)) QSKIP("fmt_fat32.img is missing; run the build_fixture_volumes test first");
  for (const QString& image : {fat, ntfs}) {
    // What the command line lists: files per folder, counted into every folder above.
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("REXMOOR_DATA_DIR"), work_.filePath(QStringLiteral("cli-folders")));
    cli.setProcessEnvironment(env);
    cli.start(QStringLiteral(REXMOOR_CLI_PATH), {QStringLiteral("scan"), image, QStringLiteral("--format"),
                                                  QStringLiteral("json"), QStringLiteral("--resume"), QStringLiteral("no")});
    QVERIFY(cli.waitForFinished(300000));
    QCOMPARE(cli.exitCode(), 0);
    std::map<QString, int> below;  // "Trash/Sub/" -> files in it and below; "" the whole volume
    int carved = 0;
    for (const QByteArray& line : cli.readAllStandardOutput().split('\n')) {
      const QJsonObject r = QJsonDocument::fromJson(line).object();
      if (r.isEmpty() || r.contains(QStringLiteral("summary")) || r[QStringLiteral("is_folder")].toBool()) continue;
      const QString folder = r[QStringLiteral("folder")].toString();
      if (r[QStringLiteral("found")].toString() == QLatin1String("carved") && folder.isEmpty()) ++carved;
      ++below[QString()];
      for (int slash = folder.indexOf(QLatin1Char('/')); slash >= 0; slash = folder.indexOf(QLatin1Char('/'), slash + 1))
        ++below[folder.left(slash + 1)];
    }
    QVERIFY2(below.size() >= 3, qPrintable(image));

    while (window_->CurrentPage() != MainWindow::kPageStart) ClickChild(window_.get(), "BtnPrev");
    ClickChild(window_.get(), "BtnStart");
    QVERIFY(window_->AddImageFile(image));
    ClickChild(window_.get(), "BtnScan");
    QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageResults));
    ClickChild(window_.get(), "ByFolderBtn");
    auto* folders = window_->findChild<QTreeView*>(QStringLiteral("FolderTree"));
    std::map<QString, int> shown;
    int shownCarved = 0;
    for (const QModelIndex& node : AllNodes(folders->model())) {
      const auto [label, count] = SplitCount(node.data().toString());
      if (!node.parent().isValid()) {
        shown[QString()] = count;
        continue;
      }
      if (label == QString::fromStdString(GetMessageCatalog().Text("MainWnd", "FolderCarved")) &&
          !node.parent().parent().isValid() && !node.data(Qt::ToolTipRole).toString().isEmpty()) {
        shownCarved = count;
        continue;
      }
      QString path;
      for (QModelIndex at = node; at.parent().isValid(); at = at.parent())
        path = SplitCount(at.data().toString()).first + QLatin1Char('/') + path;
      shown[path] = count;
    }
    QCOMPARE(shown, below);
    QCOMPARE(shownCarved, carved);
    ClickChild(window_.get(), "ByTypeBtn");
  }
}

// A data folder that is a plain file: the scan says where its finds cannot go, and why, instead
// of ending in an empty result.
void MainWindowTest::scanThatCannotKeepItsFindsSaysWhy() {
  while (window_->CurrentPage() != MainWindow::kPageStart) ClickChild(window_.get(), "BtnPrev");
  const QByteArray data = qgetenv("REXMOOR_DATA_DIR");
  const QString plain = work_.filePath(QStringLiteral("plain-file"));
  QFile file(plain);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.close();
  qputenv("REXMOOR_DATA_DIR", plain.toUtf8());
  ScanLogIndex::ResetForTesting();
  QString told;
  driver_.Add(TakeBoxText(told));
  ScanCard();
  driver_.Clear();
  qputenv("REXMOOR_DATA_DIR", data);
  ScanLogIndex::ResetForTesting();
  QVERIFY2(told.contains(plain + QStringLiteral("/Rexmoor Pro/ScanLog")) && told.contains(QStringLiteral("Not a directory")),
           qPrintable(told));
  QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageDisk));
}

void MainWindowTest::quickScanListsTheDeletedFilesAndDropsItsLogAfterwards() {
  ClickChild(window_.get(), "BtnPrev");
  ClickChild(window_.get(), "BtnDeletedRecovery");
  QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageDisk));
  QVERIFY(window_->AddImageFile(image_));
  ClickChild(window_.get(), "BtnScan");
  QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageResults));
  int deleted = 0;
  for (const auto& [sum, state] : cardFiles_) deleted += state == QLatin1String("deleted") ? 1 : 0;
  QCOMPARE(TreeTotal(), deleted);
  const QString log = QString::fromStdString(LastScanLogFolder());
  QVERIFY(!log.isEmpty());
  QVERIFY(QFileInfo::exists(log));

  // The next scan (a deep one) removes the quick scan's log.
  ClickChild(window_.get(), "BtnPrev");
  ClickChild(window_.get(), "BtnPrev");
  RescanCard();
  QCOMPARE(TreeTotal(), int(expected_.size()));
  QVERIFY(!QFileInfo::exists(log) || QDir(log).isEmpty());
}

void MainWindowTest::diskImageOfADriveIsCopiedAndOfferedForScanning() {
  // The card image stands in for a drive of the machine.
  qputenv("REXMOOR_DRIVES", image_.toUtf8());
  window_->SetDeviceLister(ListDevices);
  const QString target = work_.filePath(QStringLiteral("copy/card-copy.img"));
  QVERIFY(QDir().mkpath(work_.filePath(QStringLiteral("copy"))));
  QString proposed;
  FileChoosers choosers;
  choosers.recoveryFolder = [this](QWidget*) { return recoverTo_; };
  choosers.imageTarget = [&](QWidget*, const QString& name) {
    proposed = name;
    return target;
  };
  window_->SetChoosers(choosers);

  ClickChild(window_.get(), "BtnCreateImageMode");
  QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageDisk));
  auto* list = window_->findChild<QTreeView*>(QStringLiteral("DiskList"));
  // Image files are not offered for copying, and the drive's row is.
  const QModelIndex drive = list->model()->index(0, 0);
  QVERIFY(drive.isValid());
  for (int i = 0; i < list->model()->rowCount(); ++i)
    if (list->model()->index(i, 0).data().toString() == Catalog("MSG0209")) QVERIFY(list->isRowHidden(i, {}));
  list->setCurrentIndex(drive);
  bool windowSeen = false;
  bool offered = false;
  driver_.Add([&windowSeen](QWidget* modal) {
    if (modal->objectName() != QLatin1String("CreateImageProcessWnd")) return false;
    windowSeen = true;  // it closes itself when the copy is done
    return true;
  });
  driver_.Add([&offered](QWidget* modal) {
    if (!IsBoxWith(modal, Catalog("MSG0214"))) return false;
    offered = true;
    ClickLater(modal, "okbtn");
    return true;
  });
  ClickChild(window_.get(), "BtnCreateImage");
  driver_.Clear();
  QVERIFY(windowSeen);
  QVERIFY(offered);
  QCOMPARE(proposed, QStringLiteral("Physical Disk 1.img"));
  QCOMPARE(Sha256(target), Sha256(image_));
  // Yes: the copy is listed and selected, ready for a deep scan.
  QVERIFY(list->currentIndex().isValid());
  QCOMPARE(list->currentIndex().siblingAtColumn(0).data().toString(), QStringLiteral("card-copy.img (CARD)"));
  QVERIFY(window_->findChild<QPushButton*>(QStringLiteral("BtnScan"))->isVisible());

  qunsetenv("REXMOOR_DRIVES");
  window_->SetDeviceLister([] { return std::vector<DeviceDrive>{}; });
  window_->SetChoosers(choosers);
}

void MainWindowTest::cancelQuestionAnsweredYesShowsWhatWasFound() {
  QVERIFY(ScanAndInterrupt(true));  // Yes: stop, keep what was found
  // The scan window closed itself after the cancel; the search ran over what was found.
  QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageResults));
  QVERIFY(QApplication::activeModalWidget() == nullptr);
  const int soFar = TreeTotal();
  QVERIFY(soFar <= int(expected_.size()));
  QCOMPARE(soFar, int(window_->Results().Results().size()));

  // The heading says where the scan stopped and how many files it found until then, and the
  // scan can be continued from there.
  const QString heading = window_->findChild<QLabel*>(QStringLiteral("Txt2"))->text();
  int stoppedAt = -1;
  for (int percent = 0; percent <= 100; ++percent)
    if (heading == QString::fromStdString(FillCatalogText(GetMessageCatalog().Msg("MSG0813"),
                                                          {std::to_string(percent), std::to_string(soFar)})))
      stoppedAt = percent;
  QVERIFY2(stoppedAt >= 9 && stoppedAt < 100, qPrintable(heading));
  auto* resume = window_->findChild<QPushButton*>(QStringLiteral("BtnContinueScan"));
  QVERIFY(resume != nullptr && resume->isVisible());
  QCOMPARE(resume->text(), QString::fromStdString(GetMessageCatalog().Text("MainWnd", "BtnContinueScan")));

  // The start page offers the stopped scan of the image too.
  while (window_->CurrentPage() != MainWindow::kPageStart) ClickChild(window_.get(), "BtnPrev");
  auto* earlier = window_->findChild<QListWidget*>(QStringLiteral("EarlierScanList"));
  QVERIFY(earlier != nullptr && earlier->isVisible());
  QVERIFY(!earlier->findItems(QStringLiteral("card.img"), Qt::MatchStartsWith).isEmpty());
  ClickChild(window_.get(), "TabRecover");
  QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageResults));

  // Continuing asks nothing more and ends with what an uninterrupted scan finds.
  bool askedAgain = false;
  driver_.Add([&askedAgain](QWidget* modal) {
    if (!IsBoxWith(modal, Catalog("MSG1206"))) return false;
    askedAgain = true;
    ClickLater(modal, "okbtn");
    return true;
  });
  resume->click();
  driver_.Clear();
  QVERIFY(!askedAgain);
  QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageResults));
  QCOMPARE(TreeTotal(), int(expected_.size()));
  QVERIFY(!resume->isVisible());
  QCOMPARE(window_->findChild<QLabel*>(QStringLiteral("Txt2"))->text(),
           QString::fromStdString(
               FillCatalogText(GetMessageCatalog().Msg("MSG0802"), {std::to_string(expected_.size())})));

  // Continue on the start page takes the finished scan up from its log, asking nothing.
  while (window_->CurrentPage() != MainWindow::kPageStart) ClickChild(window_.get(), "BtnPrev");
  QVERIFY(!earlier->findItems(QStringLiteral("card.img"), Qt::MatchStartsWith).isEmpty());
  earlier->setCurrentItem(earlier->findItems(QStringLiteral("card.img"), Qt::MatchStartsWith).front());
  driver_.Add([&askedAgain](QWidget* modal) {
    if (!IsBoxWith(modal, Catalog("MSG1206"))) return false;
    askedAgain = true;
    ClickLater(modal, "okbtn");
    return true;
  });
  ClickChild(window_.get(), "BtnContinueEarlier");
  driver_.Clear();
  QVERIFY(!askedAgain);
  QCOMPARE(window_->CurrentPage(), int(MainWindow::kPageResults));
  QCOMPARE(TreeTotal(), int(expected_.size()));
}

bool MainWindowTest::OpenNode(const QString& label) {
  auto* tree = window_->findChild<QTreeView*>(QStringLiteral("TypeTree"));
  for (const QModelIndex& node : AllNodes(tree->model())) {
    if (!node.parent().isValid() || !node.data().toString().startsWith(label)) continue;
    tree->setCurrentIndex(node);
    return true;
  }
  return false;
}

// As a click on the row: the list's current row changes to it.
void MainWindowTest::SelectListRow(int row) {
  auto* list = window_->findChild<QTableView*>(QStringLiteral("FileList"));
  list->selectionModel()->clearCurrentIndex();
  list->selectRow(row);
}

void MainWindowTest::selectingARowShowsItsPreview() {
  RescanCard();
  PreviewPanel* panel = window_->Preview();
  auto* edit = window_->findChild<QTextEdit*>(QStringLiteral("PreviewEdit"));
  QVERIFY(edit != nullptr);
  auto* list = window_->findChild<QTableView*>(QStringLiteral("FileList"));

  // Every photo of the card shows as a picture.
  int pictures = 0;
  for (const char* node : {"JPG/JPEG", "PNG"}) {
    QVERIFY2(OpenNode(QString::fromLatin1(node)), node);
    for (int row = 0; row < list->model()->rowCount(); ++row) {
      SelectListRow(row);
      QCOMPARE(panel->Current(), PreviewPanel::Showing::Picture);
      QVERIFY(edit->toHtml().contains(QStringLiteral("<img")));
      ++pictures;
    }
  }
  QVERIFY(pictures >= 5);

  // The PDF shows its first page, drawn as a picture.
  QVERIFY(OpenNode(QStringLiteral("Adobe PDF")));
  SelectListRow(0);
  QCOMPARE(panel->Current(), PreviewPanel::Showing::Picture);
  if (qEnvironmentVariableIsSet("PREVIEW_GRAB")) panel->grab().save(qEnvironmentVariable("PREVIEW_GRAB"));

  // The text note has no converter: the character dump, in a fixed-width font.
  bool dumped = false;
  for (const char* node : {"Text Files"}) {
    if (!OpenNode(QString::fromLatin1(node))) continue;
    for (int row = 0; row < list->model()->rowCount(); ++row) {
      SelectListRow(row);
      if (panel->Current() == PreviewPanel::Showing::Dump && edit->toPlainText().startsWith(QStringLiteral("Ferry at 9:40")))
        dumped = true;
    }
  }
  QVERIFY2(dumped, "the card's notes.txt was not shown as a dump");

  // Every picture type of the samples that a reader here supports decodes (the panel shows a
  // found picture from the very bytes the engine copied out).
  const QList<QByteArray> formats = QImageReader::supportedImageFormats();
  for (const char* name : {"sample.jpg", "camera_exif.jpg", "sample.png", "sample.gif", "sample.bmp", "sample.tif",
                           "sample_be.tif", "sample.ico", "sample.psd"}) {
    const QString path = QStringLiteral(REXMOOR_SOURCE_DIR "/tests/samples/files/") + QString::fromLatin1(name);
    const QByteArray suffix = QFileInfo(path).suffix().toLatin1();
    if (!formats.contains(suffix)) {
      QVERIFY2(suffix == "psd", name);  // the others all have readers (qt6-image-formats-plugins for TIFF)
      continue;
    }
    QVERIFY2(panel->ShowPicture(path), name);
    QCOMPARE(panel->Current(), PreviewPanel::Showing::Picture);
  }

  // A picture no reader can decode says so.
  QTemporaryDir dir;
  QFile junk(dir.filePath(QStringLiteral("broken.jpg")));
  QVERIFY(junk.open(QIODevice::WriteOnly));
  QByteArray bytes(5000, '\0');
  for (int i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) & 0xFF);
  bytes[0] = '\xFF';
  bytes[1] = '\xD8';
  junk.write(bytes);
  junk.close();
  QVERIFY(!panel->ShowPicture(junk.fileName()));
  QCOMPARE(panel->Current(), PreviewPanel::Showing::Message);
  QCOMPARE(edit->toPlainText(), Catalog("MSG0905"));
}

void MainWindowTest::thumbnailGridLoadsWhileTheWindowKeepsRunning() {
  RescanCard();
  auto* toggle = window_->findChild<QToolButton*>(QStringLiteral("ThumbnailsBtn"));
  QVERIFY(toggle != nullptr);
  QVERIFY(OpenNode(QStringLiteral("JPG/JPEG")));
  QVERIFY(toggle->isEnabled());
  ThumbnailGrid* grid = window_->Thumbnails();
  // The event loop is timed while the thumbnails load: a blocked window would show as a long gap.
  QElapsedTimer clock;
  clock.start();
  qint64 last = 0, longestGap = 0;
  int ticks = 0;
  QTimer ticker;
  connect(&ticker, &QTimer::timeout, this, [&] {
    longestGap = std::max(longestGap, clock.elapsed() - last);
    last = clock.elapsed();
    ++ticks;
  });
  ticker.start(5);
  toggle->click();
  QVERIFY(grid->isVisible());
  const int rows = grid->model()->rowCount();
  QVERIFY(rows >= 3);
  QTRY_COMPARE_WITH_TIMEOUT(grid->Thumbnails()->Ready(), rows, 20000);
  ticker.stop();
  QVERIFY(ticks > 0);
  QVERIFY2(longestGap < 500, qPrintable(QStringLiteral("the window stood still for %1 ms").arg(longestGap)));
  for (int row = 0; row < rows; ++row) {
    const QVariant decoration = grid->model()->data(grid->model()->index(row, 0), Qt::DecorationRole);
    const QPixmap pixmap = decoration.value<QPixmap>();
    QVERIFY(!pixmap.isNull());
    QVERIFY(pixmap.width() <= kThumbnailSide && pixmap.height() <= kThumbnailSide);
    QVERIFY(pixmap.width() > kThumbnailSide / 2 || pixmap.height() > kThumbnailSide / 2);  // a picture, not the icon
  }
  // Checking in the grid is checking the file.
  const QModelIndex first = grid->model()->index(0, 0);
  QVERIFY(grid->model()->setData(first, Qt::Checked, Qt::CheckStateRole));
  QVERIFY(window_->Results().RowChecked(0));
  QVERIFY(window_->findChild<QTableView*>(QStringLiteral("FileList"))->model()->index(0, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked);
  toggle->click();
  QVERIFY(!grid->isVisible());
}

void MainWindowTest::audioAndVideoPlayInThePanel() {
  PreviewPanel panel;
  panel.resize(400, 300);
  panel.show();
  // The older formats, and the newer audio the carver finds (FLAC, Vorbis and Opus in Ogg, AAC in MP4).
  for (const char* name : {"sample.wav", "sample.mp3", "sample.mp4", "sample.flac", "sample.ogg", "sample.opus",
                           "sample.m4a"}) {
    const QString path = QStringLiteral(REXMOOR_SOURCE_DIR "/tests/samples/files/") + QString::fromLatin1(name);
    QVERIFY(QFileInfo::exists(path));
    // The positions the player reports while it plays (the samples last about a second).
    std::vector<qint64> positions;
    QMetaObject::Connection watch =
        connect(panel.Player(), &QMediaPlayer::positionChanged, this, [&](qint64 at) { positions.push_back(at); });
    panel.Play(path, QString::fromLatin1(name).endsWith(QStringLiteral(".mp4")) == false);
    QCOMPARE(panel.Current(), PreviewPanel::Showing::Media);
    QTRY_VERIFY2_WITH_TIMEOUT(positions.size() >= 2 && *std::max_element(positions.begin(), positions.end()) > 0, name,
                              15000);
    QVERIFY2(std::is_sorted(positions.begin(), positions.end() - (positions.back() == 0 ? 1 : 0)), name);
    QCOMPARE(panel.Current(), PreviewPanel::Showing::Media);  // no failure was reported
    disconnect(watch);
    panel.Clear();
  }
  // Data no player can decode says so.
  QTemporaryDir dir;
  QFile junk(dir.filePath(QStringLiteral("broken.avi")));
  QVERIFY(junk.open(QIODevice::WriteOnly));
  junk.write(QByteArray(20000, '\x5A'));
  junk.close();
  panel.Play(junk.fileName(), false);
  QTRY_COMPARE_WITH_TIMEOUT(panel.Current(), PreviewPanel::Showing::Message, 15000);
  QCOMPARE(panel.findChild<QTextEdit*>(QStringLiteral("PreviewEdit"))->toPlainText(), Catalog("MSG1207"));
}

int main(int argc, char** argv) {
  QTemporaryDir home;
  // Settings, scan logs and the runtime folder of this run stay in temporary folders.
  qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
  qputenv("XDG_RUNTIME_DIR", home.filePath(QStringLiteral("runtime")).toUtf8());
  qputenv("REXMOOR_DATA_DIR", home.filePath(QStringLiteral("data")).toUtf8());
  QDir().mkpath(home.filePath(QStringLiteral("runtime")));
  QFile::setPermissions(home.filePath(QStringLiteral("runtime")), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  MainWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "main_window_test.moc"
