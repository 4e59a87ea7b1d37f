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

#include "engine/file_digest.h"
#include "engine/file_recovery_parse.h"
#include "platform/file_handle.h"
#include "engine/found_file_record.h"
#include "platform/result_codes.h"
#include "platform/target_folder.h"

namespace rexmoor {

// Where a file's progress goes: the engine's FileProgressCallback and its user value.
struct FileReporter {
  FileProgressCallback callback = nullptr;
  void* userData = nullptr;
  // Passes percent (scale 100), code and path on; kSuccess when nobody listens.
  Result Report(const std::string& path, std::int32_t percent, Result code) const {
    return callback == nullptr ? kSuccess : callback(userData, percent, 100, code, path.c_str());
  }
};

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

// Destinations are handed to the engines with levelBase, the separator count of the folder the
// user chose: that prefix of the path is the target, and everything below it is created through
// TargetFolder, so a link planted below the target is never followed.
//
// Creates the folder at path and every missing folder between it and the target.
Result EnsureRecoveryFolder(const std::string& path, std::int32_t levelBase);

// Recreates the folder at destination and every descendant below it. levelBase is the caller's
// separator count of destination minus the folder's level. The result is that of the last child
// written (or of creating the destination); kCancelled from a child ends the walk at once. A
// folder that cannot be created (a link or a plain file has its name) is an error for every file
// below it: each is reported to the reporter as failed with that error.
Result RecoverFolderTree(IFileRecoveryParse& engine, const FoundFileRecord& folder, const std::string& destination,
                         std::int32_t levelBase, const FileReporter& reporter, const RecoveredFileWriter& writeFile);

// While one lives, the sinks on this thread write below target, open already, instead of opening
// it again for every file: for destinations whose target it is.
class ScopedRecoveryTarget {
 public:
  explicit ScopedRecoveryTarget(const TargetFolder* target);
  ~ScopedRecoveryTarget();
  ScopedRecoveryTarget(const ScopedRecoveryTarget&) = delete;
  ScopedRecoveryTarget& operator=(const ScopedRecoveryTarget&) = delete;

 private:
  const TargetFolder* previous_;
};

// One file being written out: the destination (and its missing folders below the target) is
// created, an existing file emptied, data appended as it arrives with a progress report after
// each piece, and Finish sends the last report: 100 with the error code, or 100 with
// kErrIncomplete when the data ended before the recorded size did (what was written is kept). A
// file that fails before any data arrived is removed again.
class RecoveredFileSink {
 public:
  // record (when given) is the found file being written, for whoever observes the recovery.
  RecoveredFileSink(const FileReporter& reporter, const std::string& destination, std::int32_t levelBase,
                    std::uint64_t size, const FoundFileRecord* record = nullptr)
      : reporter_(reporter), destination_(destination), record_(record), levelBase_(levelBase), size_(size) {}

  Result Open();
  // Writes the piece and reports; returns a write error or the callback's verdict.
  Result Put(const std::uint8_t* data, std::size_t length, Result readResult = kSuccess);
  // Ends the file with the result of reading it and returns the file's final code.
  Result Finish(Result result);
  std::uint64_t Written() const { return written_; }

 private:
  Result Report(std::int32_t percent, Result code) const { return reporter_.Report(destination_, percent, code); }

  FileReporter reporter_;
  const std::string& destination_;
  const FoundFileRecord* record_;
  IFileObserver* observer_ = CurrentFileObserver();
  StreamDigest digest_;
  std::int32_t levelBase_;
  std::uint64_t size_;
  TargetFolder ownTarget_;
  const TargetFolder* target_ = &ownTarget_;  // this thread's shared one when it is the target
  std::string relative_;                      // of the destination, below the target
  FileHandle out_;
  std::uint64_t written_ = 0;
  std::int32_t lastPercent_ = -1;
};

}  // namespace rexmoor
