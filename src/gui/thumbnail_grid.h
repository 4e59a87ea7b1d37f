// The thumbnail grid: the pictures of the open type node at a glance, with the same check boxes as
// the file list. Thumbnails are made on a worker thread (the engine writes the file into a private
// folder, an image reader decodes it scaled down), kept for the session, and never block the window.
#pragma once

#include <QHash>
#include <QIdentityProxyModel>
#include <QImage>
#include <QListView>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/result_model.h"
#include "app/scan_job.h"

namespace rexmoor::gui {

class FileListModel;

inline constexpr int kThumbnailSide = 128;

// Makes thumbnails one after another on its own thread; results arrive through thumbnailReady,
// queued to the thread the loader lives in.
class ThumbnailLoader : public QObject {
  Q_OBJECT
 public:
  explicit ThumbnailLoader(QObject* parent = nullptr);
  ~ThumbnailLoader() override;

  // The engines of the scanned sources; Stop() before they go.
  void SetSources(std::vector<ScanSourceEntry>* sources) { sources_ = sources; }
  // Replaces what is waiting with these records (the newest request first).
  void Request(const std::vector<FoundFileRecord>& records);
  // Drops what is waiting and waits for the thumbnail in hand.
  void Stop();

  // Pictures larger than this are not read for a thumbnail.
  static constexpr std::uint64_t kMaxPictureBytes = 64ull << 20;

 signals:
  void thumbnailReady(quint64 key, const QImage& image);

 private:
  void Work();
  QImage Make(const FoundFileRecord& record);

  std::vector<ScanSourceEntry>* sources_ = nullptr;
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<FoundFileRecord> queue_;
  bool working_ = false;
  bool quit_ = false;
  std::atomic<bool> abandon_{false};
  std::string folder_;
  std::thread thread_;
};

// The file list's model seen as pictures: the name column with the thumbnail as its decoration.
class ThumbnailModel : public QIdentityProxyModel {
  Q_OBJECT
 public:
  ThumbnailModel(FileListModel* files, ResultModel& results, QObject* parent = nullptr);
  QVariant data(const QModelIndex& index, int role) const override;
  // Thumbnails of the session, by the record's selection key; failed ones are remembered as null.
  void Store(quint64 key, const QImage& image);
  bool Has(quint64 key) const { return cache_.contains(key); }
  // A new scan: the keys will name other files.
  void Forget() { cache_.clear(); }
  int Ready() const;
  quint64 KeyOfRow(int row) const;

 private:
  ResultModel& results_;
  QHash<quint64, QPixmap> cache_;
};

class ThumbnailGrid : public QListView {
  Q_OBJECT
 public:
  ThumbnailGrid(FileListModel* files, ResultModel& results, QWidget* parent = nullptr);
  void SetSources(std::vector<ScanSourceEntry>* sources) { loader_.SetSources(sources); }
  // Asks for the thumbnails of every row that has none yet.
  void LoadAll();
  void Stop() { loader_.Stop(); }
  // Stops and forgets every thumbnail (before a new scan).
  void Reset() {
    loader_.Stop();
    thumbs_->Forget();
  }
  ThumbnailModel* Thumbnails() const { return thumbs_; }
  ThumbnailLoader& Loader() { return loader_; }

 private:
  ResultModel& results_;
  ThumbnailModel* thumbs_;
  ThumbnailLoader loader_;
};

}  // namespace rexmoor::gui
