// Writing out a found folder with everything below it, shared by the engines that catalogue
// folders. The walk is breadth-first over (folder record, parent path) pairs; a folder's level,
// which with its objectNumber keys its children in the catalogue, is read off its destination
// path: the separators in the path minus the caller's base. Children come from the engine's own
// GetChildren; files are written by the engine through a callback. Names become path components
// only through SanitizeName, so nothing is ever created outside the destination.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/file_recovery_parse.h"
#include "platform/file_handle.h"
#include "engine/found_file_record.h"
#include "platform/result_codes.h"

namespace rexmoor {

// Writes one file record to a path (the parent folder exists); returns a result code, kCancelled
// when its progress callback asked to stop.
using RecoveredFileWriter = std::function<Result(const FoundFileRecord& record, const std::string& path)>;

// Folders deeper than this below the folder being recovered are not descended into: only a
// damaged catalogue nests that deep.
inline constexpr std::int32_t kMaxRecoveryDepth = 1024;

// Number of '/' and '\' in the path, not counting its last character.
std::int32_t SeparatorLevel(std::string_view path);
// folder + "/" + the sanitised name (no doubled separator after a folder ending in '/').
std::string JoinRecoveryPath(std::string_view folder, std::string_view name);
// Creates the folder and its missing parents; one that exists already is fine.
Result EnsureFolder(const std::string& path);
// The same for the folder that will hold a file.
Result EnsureParentFolder(const std::string& filePath);

// Recreates the folder at destination and every descendant below it. levelBase is the caller's
// separator count of destination minus the folder's level. The result is that of the last child
// written (or of creating the destination); kCancelled from a child ends the walk at once.
Result RecoverFolderTree(IFileRecoveryParse& engine, const FoundFileRecord& folder, const std::string& destination,
                         std::int32_t levelBase, const RecoveredFileWriter& writeFile);

// One file being written out: the destination is created (an existing file is truncated), data is
// appended as it arrives with a progress report after each piece, and Finish sends the last
// report: 100 with the error code, or 100 with 0 when the data ended before the size did.
class RecoveredFileSink {
 public:
  RecoveredFileSink(FileProgressCallback callback, void* userData, const std::string& destination,
                    std::uint64_t size)
      : callback_(callback), userData_(userData), destination_(destination), size_(size) {}

  Result Open() { return FileHandle::OpenReadWrite(destination_, out_, true); }
  // Writes the piece and reports; returns a write error or the callback's verdict.
  Result Put(const std::uint8_t* data, std::size_t length, Result readResult = kSuccess);
  Result Finish(Result result);

 private:
  Result Report(std::int32_t percent, Result code) const {
    return callback_ == nullptr ? kSuccess : callback_(userData_, percent, 100, code, destination_.c_str());
  }

  FileProgressCallback callback_;
  void* userData_;
  const std::string& destination_;
  std::uint64_t size_;
  FileHandle out_;
  std::uint64_t written_ = 0;
  std::int32_t lastPercent_ = -1;
};

}  // namespace rexmoor
