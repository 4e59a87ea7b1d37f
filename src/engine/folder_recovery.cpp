#include "engine/folder_recovery.h"

#include <algorithm>
#include <deque>
#include <utility>

#include "engine/name_sanitize.h"

namespace rexmoor {

std::int32_t SeparatorLevel(std::string_view path) {
  if (path.empty()) return 0;
  std::int32_t count = 0;
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    if (path[i] == '/' || path[i] == '\\') ++count;
  }
  return count;
}

std::string JoinRecoveryPath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (path.empty() || path.back() != '/') path += '/';
  path += SanitizeName(name);
  return path;
}

namespace {

// The target named by the first levelBase separators of path, opened (created when missing), and
// path's part below it.
Result OpenTargetOf(const std::string& path, std::int32_t levelBase, TargetFolder& target, std::string& relative) {
  std::string root;
  SplitAtTarget(path, levelBase, root, relative);
  return TargetFolder::Open(root, true, target);
}

thread_local const TargetFolder* t_sharedTarget = nullptr;

}  // namespace

Result EnsureRecoveryFolder(const std::string& path, std::int32_t levelBase) {
  if (path.empty()) return kSuccess;
  // The folder itself is the last component: split as if a file were inside it.
  TargetFolder target;
  std::string relative;
  if (Result r = OpenTargetOf(path + "/.", levelBase, target, relative); r != kSuccess) return r;
  return target.MakeFolders(relative);
}

Result RecoverFolderTree(IFileRecoveryParse& engine, const FoundFileRecord& folder, const std::string& destination,
                         std::int32_t levelBase, const FileReporter& reporter, const RecoveredFileWriter& writeFile) {
  struct Pending {
    FoundFileRecord record;
    std::string path;   // where the folder itself has been created
    Result blocked;     // why it could not be: every file below fails with this
  };
  Result result = EnsureRecoveryFolder(destination, levelBase);
  std::deque<Pending> queue;
  queue.push_back({folder, destination, result});
  const std::int32_t startLevel = SeparatorLevel(destination) - levelBase;
  RecordList children;
  while (!queue.empty()) {
    Pending current = std::move(queue.front());
    queue.pop_front();
    const std::int32_t level = SeparatorLevel(current.path) - levelBase;
    children.clear();
    if (level < 0 || engine.GetChildren(&current.record, level, children) != kSuccess) continue;
    const bool mayDescend = level - startLevel < kMaxRecoveryDepth;
    for (const FoundFileRecord& child : children) {
      const std::string path = JoinRecoveryPath(current.path, RecordName(child));
      if (child.isFolder != 0) {
        Result made = current.blocked;
        if (made == kSuccess) made = EnsureRecoveryFolder(path, levelBase);
        if (made != kSuccess) result = made;
        if (mayDescend) queue.push_back({child, path, made});
        continue;
      }
      if (current.blocked != kSuccess) {
        result = current.blocked;
        if (reporter.Report(path, 100, current.blocked) == kCancelled) return kCancelled;
        continue;
      }
      result = writeFile(child, path);
      if (result == kCancelled) return kCancelled;
    }
  }
  return result;
}

ScopedRecoveryTarget::ScopedRecoveryTarget(const TargetFolder* target) : previous_(t_sharedTarget) {
  t_sharedTarget = target;
}

ScopedRecoveryTarget::~ScopedRecoveryTarget() { t_sharedTarget = previous_; }

Result RecoveredFileSink::Open() {
  if (observer_ != nullptr) {
    observer_->FileStarted(destination_, record_);
    digest_.Begin(observer_->WantsSha256(), observer_->WantsMd5());
  }
  std::string root;
  SplitAtTarget(destination_, levelBase_, root, relative_);
  if (t_sharedTarget != nullptr && t_sharedTarget->IsOpen() && t_sharedTarget->Path() == root) {
    target_ = t_sharedTarget;
  } else {
    if (Result r = TargetFolder::Open(root, true, ownTarget_); r != kSuccess) return r;
    target_ = &ownTarget_;
  }
  return target_->CreateFile(relative_, out_, true);
}

Result RecoveredFileSink::Put(const std::uint8_t* data, std::size_t length, Result readResult) {
  digest_.UpdateLater(data, length);  // the bytes as written, hashed beside the writing: no second read
  if (Result r = WriteAll(out_, data, length, written_); r != kSuccess) return r;
  written_ += length;
  lastPercent_ = size_ == 0 ? 100 : static_cast<std::int32_t>(static_cast<unsigned __int128>(written_) * 100 / size_);
  // A complete file gets its 100 from Finish, so that the last report carries the verdict.
  const std::int32_t percent = std::min(lastPercent_, 99);
  return Report(percent, readResult);
}

Result RecoveredFileSink::Finish(Result result) {
  if (result == kSuccess && written_ < size_) result = kErrIncomplete;
  // A file that failed before any of its data arrived leaves no empty file behind to be taken
  // for a recovered one; what a file got before failing is kept.
  if (result > 0 && result != kErrIncomplete && written_ == 0 && out_.IsValid()) {
    out_.Close();
    (void)target_->RemoveFile(relative_);
  }
  // The observer hears of the file before its last report, with its digests still being made
  // behind the writing: whoever shows that report with them waits for them, not the next file.
  if (observer_ != nullptr) observer_->FileWritten(destination_, result, digest_.FinishLater());
  if (result != kCancelled) {
    const Result verdict = Report(100, result);
    if (verdict == kCancelled && result == kSuccess) return kCancelled;
  }
  return result;
}

}  // namespace rexmoor
