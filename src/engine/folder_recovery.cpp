#include "engine/folder_recovery.h"

#include <sys/stat.h>

#include <deque>
#include <utility>

#include "engine/name_sanitize.h"
#include "platform/data_dir.h"

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

Result EnsureFolder(const std::string& path) {
  if (path.empty()) return kSuccess;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? kSuccess : kErrAlreadyExists;
  const Result r = CreateFolderTree(path);
  return r == kErrFileExists || r == kErrAlreadyExists ? kSuccess : r;
}

Result EnsureParentFolder(const std::string& filePath) {
  const std::size_t slash = filePath.rfind('/');
  if (slash == std::string::npos || slash == 0) return kSuccess;
  return EnsureFolder(filePath.substr(0, slash));
}

Result RecoverFolderTree(IFileRecoveryParse& engine, const FoundFileRecord& folder, const std::string& destination,
                         std::int32_t levelBase, const RecoveredFileWriter& writeFile) {
  if (Result r = EnsureFolder(destination); r != kSuccess) return r;

  struct Pending {
    FoundFileRecord record;
    std::string path;  // where the folder itself has been created
  };
  std::deque<Pending> queue;
  queue.push_back({folder, destination});
  const std::int32_t startLevel = SeparatorLevel(destination) - levelBase;
  Result result = kSuccess;
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
        result = EnsureFolder(path);
        if (result == kSuccess && mayDescend) queue.push_back({child, path});
        continue;
      }
      result = writeFile(child, path);
      if (result == kCancelled) return kCancelled;
    }
  }
  return result;
}

Result RecoveredFileSink::Put(const std::uint8_t* data, std::size_t length, Result readResult) {
  if (Result r = WriteAll(out_, data, length, written_); r != kSuccess) return r;
  written_ += length;
  lastPercent_ = size_ == 0 ? 100 : static_cast<std::int32_t>(written_ * 100 / size_);
  return Report(lastPercent_, readResult);
}

Result RecoveredFileSink::Finish(Result result) {
  if (result > 0) {
    Report(100, result);
  } else if (result == kSuccess && lastPercent_ != 100) {
    Report(100, kSuccess);  // an empty file, or data that ended before the size did
  }
  return result;
}

}  // namespace rexmoor
