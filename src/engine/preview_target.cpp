#include "engine/preview_target.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

std::string PreviewFolder() { return UserDataDir() + "/Rexmoor Pro/ScanLog/"; }

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
    CreateFolderTree(PreviewFolder());  // a failure shows up as the open's error
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
  if (result != kSuccess && !path_.empty()) ::unlink(path_.c_str());
  if (byteCount_ != nullptr) *byteCount_ = toFile ? 0 : static_cast<std::uint32_t>(done_);
  return result;
}

}  // namespace rexmoor
