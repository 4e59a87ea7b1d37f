#include "gui/thumbnail_grid.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QPainter>
#include <QPixmap>

#include "app/recovery_job.h"
#include "gui/file_list_model.h"
#include "gui/gui_support.h"
#include "gui/preview_panel.h"
#include "platform/data_dir.h"
#include "platform/file_handle.h"
#include "preview/picture_draw.h"

namespace rexmoor::gui {

ThumbnailLoader::ThumbnailLoader(QObject* parent) : QObject(parent) {
  folder_ = UserDataDir() + "/Rexmoor Pro/Thumbnails." + std::to_string(::getpid()) + "/";
  thread_ = std::thread([this] { Work(); });
}

ThumbnailLoader::~ThumbnailLoader() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    quit_ = true;
    queue_.clear();
  }
  abandon_ = true;
  wake_.notify_all();
  thread_.join();
  ::rmdir(folder_.c_str());
}

void ThumbnailLoader::Request(const std::vector<FoundFileRecord>& records) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    queue_.assign(records.begin(), records.end());
  }
  wake_.notify_all();
}

void ThumbnailLoader::Stop() {
  std::unique_lock<std::mutex> lock(lock_);
  queue_.clear();
  abandon_ = true;  // a picture being drawn is given up
  wake_.wait(lock, [this] { return !working_; });
  abandon_ = false;
}

void ThumbnailLoader::Work() {
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    wake_.wait(lock, [this] { return quit_ || !queue_.empty(); });
    if (quit_) return;
    const FoundFileRecord record = queue_.front();
    queue_.pop_front();
    working_ = true;
    lock.unlock();
    const QImage image = Make(record);
    emit thumbnailReady(SelectionKey(record), image);
    lock.lock();
    working_ = false;
    wake_.notify_all();
  }
}

QImage ThumbnailLoader::Make(const FoundFileRecord& record) {
  const std::uint64_t size = record.size;
  if (sources_ == nullptr || record.isFolder != 0 || size == 0 || size > kMaxPictureBytes) return {};
  if (CreateFolderTree(folder_) != kSuccess) return {};
  ::chmod(folder_.c_str(), 0700);
  const std::string extension(RecordExtension(record));
  const std::string path = folder_ + "t" + std::to_string(SelectionKey(record)) + (extension.empty() ? "" : "." + extension);
  ::unlink(path.c_str());
  {
    std::lock_guard<std::mutex> engineLock(EngineUseLock());
    IFileRecoveryParse* engine = EngineForRecord(*sources_, record);
    if (engine == nullptr) return {};
    if (engine->SetCallbacks(nullptr, nullptr, nullptr, 100) != kSuccess) return {};
    (void)engine->RecoverItem(&record, path, SeparatorCount(folder_));
  }
  QImage image;
  std::string head;
  FileHandle file;
  if (FileHandle::OpenReadOnly(path, file) == kSuccess) (void)ReadPrefix(file, 64, head);
  file = FileHandle();
  const auto* headBytes = reinterpret_cast<const std::uint8_t*>(head.data());
  if (NeedsPictureDrawing(RecordName(record), {headBytes, head.size()})) {
    const std::string drawn = path + ".drawn";
    std::string failure;
    if (DrawPicture(path, drawn, kThumbnailSide * 2, [this] { return abandon_.load(); }, failure) == kSuccess)
      image = ReadPicture(QString::fromStdString(drawn), kThumbnailSide * 2);
    ::unlink(drawn.c_str());
  }
  // What the picture program could not draw may still be one the readers know (a DNG that is a
  // plain RGB TIFF).
  if (image.isNull() && !abandon_) image = ReadPicture(QString::fromStdString(path), kThumbnailSide * 2);
  ::unlink(path.c_str());
  if (image.isNull()) return {};
  return image.scaled(kThumbnailSide, kThumbnailSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

ThumbnailModel::ThumbnailModel(FileListModel* files, ResultModel& results, QObject* parent)
    : QIdentityProxyModel(parent), results_(results) {
  setSourceModel(files);
}

quint64 ThumbnailModel::KeyOfRow(int row) const {
  if (row < 0 || static_cast<std::size_t>(row) >= results_.RowCount()) return 0;
  return SelectionKey(results_.RowRecord(static_cast<std::size_t>(row)));
}

QVariant ThumbnailModel::data(const QModelIndex& index, int role) const {
  if (role == Qt::DecorationRole && index.column() == 0) {
    const auto it = cache_.constFind(KeyOfRow(index.row()));
    if (it != cache_.constEnd() && !it->isNull()) return *it;
    // Waiting, or no reader could decode it: the type's icon, drawn at the grid's size.
    const QVariant icon = QIdentityProxyModel::data(index, role);
    if (icon.canConvert<QIcon>()) return icon.value<QIcon>().pixmap(kThumbnailSide / 2, kThumbnailSide / 2);
    return icon;
  }
  if (role == Qt::ToolTipRole && index.column() == 0) return QIdentityProxyModel::data(index, Qt::DisplayRole);
  return QIdentityProxyModel::data(index, role);
}

void ThumbnailModel::Store(quint64 key, const QImage& image) {
  cache_.insert(key, image.isNull() ? QPixmap() : QPixmap::fromImage(image));
  for (int row = 0; row < rowCount(); ++row) {
    if (KeyOfRow(row) != key) continue;
    const QModelIndex at = index(row, 0);
    emit dataChanged(at, at, {Qt::DecorationRole});
  }
}

int ThumbnailModel::Ready() const {
  int ready = 0;
  for (int row = 0; row < rowCount(); ++row) ready += cache_.contains(KeyOfRow(row)) ? 1 : 0;
  return ready;
}

ThumbnailGrid::ThumbnailGrid(FileListModel* files, ResultModel& results, QWidget* parent)
    : QListView(parent), results_(results), thumbs_(new ThumbnailModel(files, results, this)) {
  setObjectName(QStringLiteral("ThumbnailGrid"));
  setModel(thumbs_);
  setModelColumn(0);
  setViewMode(QListView::IconMode);
  setResizeMode(QListView::Adjust);
  setMovement(QListView::Static);
  setWordWrap(false);
  setTextElideMode(Qt::ElideMiddle);
  setIconSize(QSize(kThumbnailSide, kThumbnailSide));
  setGridSize(QSize(kThumbnailSide + 32, kThumbnailSide + fontMetrics().height() * 2 + 16));
  setSpacing(4);
  setSelectionMode(QAbstractItemView::SingleSelection);
  connect(&loader_, &ThumbnailLoader::thumbnailReady, this,
          [this](quint64 key, const QImage& image) { thumbs_->Store(key, image); }, Qt::QueuedConnection);
}

void ThumbnailGrid::LoadAll() {
  std::vector<FoundFileRecord> wanted;
  for (std::size_t row = 0; row < results_.RowCount(); ++row) {
    const FoundFileRecord& record = results_.RowRecord(row);
    if (!thumbs_->Has(SelectionKey(record))) wanted.push_back(record);
  }
  loader_.Request(wanted);
}

}  // namespace rexmoor::gui
