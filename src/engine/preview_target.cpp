#include "engine/preview_target.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/name_sanitize.h"
#include "platform/data_dir.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

bool ListHas(std::string_view list, std::string_view dottedExtension) {
  return list.find(dottedExtension) != std::string_view::npos;
}

}  // namespace

PreviewTargetKind PreviewTargetKindOf(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 >= name.size()) return PreviewTargetKind::Memory;
  const std::string extension = ToLowerAscii(name.substr(dot));
  PreviewTargetKind kind = PreviewTargetKind::Memory;
  if (ListHas(kPreviewDocumentList, extension)) kind = PreviewTargetKind::Document;
  if (ListHas(kPreviewAudioList, extension) || ListHas(kPreviewVideoList, extension)) kind = PreviewTargetKind::Media;
  if (ListHas(kPreviewPictureList, extension)) kind = PreviewTargetKind::Picture;
  return kind;
}

namespace {

constexpr std::string_view kPreviewFolderPrefix = "Preview.";

std::string ScanLogFolder() { return UserDataDir() + "/Rexmoor Pro/ScanLog/"; }

}  // namespace

std::string PreviewFolder() {
  return ScanLogFolder() + std::string(kPreviewFolderPrefix) + std::to_string(::getpid()) + "/";
}

Result MakePreviewFolder() {
  const std::string folder = PreviewFolder();
  if (Result r = CreateFolderTree(folder); r != kSuccess) return r;
  // Found files may be private: the copies are for this user's eyes only.
  if (::chmod(folder.c_str(), 0700) != 0) return ResultFromErrno(errno);
  return kSuccess;
}

void RemoveStalePreviewFolders() {
  std::error_code ec;
  std::filesystem::directory_iterator it(ScanLogFolder(), ec);
  if (ec) return;
  std::vector<std::filesystem::path> stale;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    if (name.rfind(kPreviewFolderPrefix, 0) != 0) continue;
    const std::string digits = name.substr(kPreviewFolderPrefix.size());
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto pid = static_cast<pid_t>(std::stol(digits));
    // A process that still runs keeps its folder; one that is gone cannot be signalled.
    if (pid <= 0 || pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) continue;
    if (it->is_directory(ec) && !it->is_symlink(ec)) stale.push_back(it->path());
  }
  for (const auto& path : stale) std::filesystem::remove_all(path, ec);
}

std::string PreviewTargetPath(std::string_view recordName) {
  std::string path;
  switch (PreviewTargetKindOf(recordName)) {
    case PreviewTargetKind::Memory: return path;
    case PreviewTargetKind::Document: path = PreviewFolder() + SanitizeName(recordName); break;
    case PreviewTargetKind::Media: path = PreviewFolder() + kPreviewMediaName; break;
    case PreviewTargetKind::Picture: path = PreviewFolder() + kPreviewPictureName; break;
  }
  if (Utf8ToUtf16(path).size() >= kPreviewMaxPathUnits) path.clear();
  return path;
}

PreviewSink::~PreviewSink() {
  if (!finished_) Finish(kCancelled);
}

Result PreviewSink::Begin(const FoundFileRecord& record, std::string& outPath, std::uint8_t* buffer,
                          std::uint32_t* byteCount, PreviewProgressCallback callback, void* userData) {
  callback_ = callback;
  userData_ = userData;
  buffer_ = buffer;
  byteCount_ = byteCount;
  done_ = 0;
  path_ = PreviewTargetPath(RecordName(record));
  outPath = path_;
  if (byteCount == nullptr) return kErrInvalidParameter;
  finished_ = false;
  if (!path_.empty()) {
    (void)MakePreviewFolder();  // a failure shows up as the open's error
    ::unlink(path_.c_str());
    // Found files may be private: the copy is for this user's eyes only.
    if (Result r = FileHandle::CreatePrivate(path_, file_); r != kSuccess) {
      path_.clear();  // nothing of ours to remove
      return r;
    }
    wanted_ = record.size;
  } else {
    const std::uint64_t size = record.size;  // a copy: the record is packed
    wanted_ = std::min<std::uint64_t>(size, *byteCount);
    if (buffer_ == nullptr && wanted_ != 0) return kErrInvalidParameter;
  }
  return kSuccess;
}

Result PreviewSink::Put(const std::uint8_t* data, std::size_t length) {
  const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(length, wanted_ - done_));
  Result result = kSuccess;
  if (take != 0) {
    if (file_.IsValid()) {
      result = WriteAll(file_, data, take, done_);
    } else {
      std::memcpy(buffer_ + done_, data, take);
    }
    if (result == kSuccess) done_ += take;
  }
  if (callback_ != nullptr) {
    const auto percent = static_cast<std::int32_t>(wanted_ == 0 ? 100 : done_ * 100 / wanted_);
    if (Result verdict = callback_(userData_, percent, result); verdict != 0 && result == kSuccess) return verdict;
  }
  return result;
}

Result PreviewSink::ReportEmpty() {
  if (callback_ != nullptr) return callback_(userData_, 100, 0);
  return kSuccess;
}

Result PreviewSink::Finish(Result result) {
  finished_ = true;
  const bool toFile = file_.IsValid() || !path_.empty();
  file_.Close();
  // What an incomplete file has is still worth seeing; anything else that failed goes.
  if (result != kSuccess && result != kErrIncomplete && !path_.empty()) ::unlink(path_.c_str());
  if (byteCount_ != nullptr) *byteCount_ = toFile ? 0 : static_cast<std::uint32_t>(done_);
  return result;
}

}  // namespace rexmoor
