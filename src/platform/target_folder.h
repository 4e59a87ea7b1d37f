// The folder the user chose for recovered files, opened once. Every folder and file below it is
// created and opened relative to it, one path component at a time with O_NOFOLLOW, so a symbolic
// link planted anywhere below the target (where a category folder, a rebuilt folder or a file
// goes) is never followed: it is an error for whatever would have been written through it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_handle.h"
#include "platform/result_codes.h"

namespace rexmoor {

class TargetFolder {
 public:
  TargetFolder() = default;

  // Opens the target itself, creating it and its missing parents when create is set. The target
  // is the user's own choice, so a link naming it is followed; nothing below it ever is.
  static Result Open(const std::string& path, bool create, TargetFolder& out);

  bool IsOpen() const { return dir_.IsValid(); }
  const std::string& Path() const { return path_; }
  // The part of a path below the target ("photo/a.jpg" of Path() + "/photo/a.jpg"); false when
  // the path does not lie below it.
  bool RelativeOf(std::string_view path, std::string_view& relative) const;

  // Creates every missing folder of the relative path below the target and, when out is given,
  // opens the last one. A component that is a link gives kErrStoppedOnSymlink, one that is not a
  // folder kErrDirectory, a ".." component kErrInvalidName.
  Result MakeFolders(std::string_view relative, FileHandle* out = nullptr) const;

  // Opens a file below the target for writing, creating it when missing and emptying it when
  // present. Its folders must exist already, or are made as MakeFolders makes them when
  // makeFolders is set. A link, anything but a plain file, or a plain file with other names (a
  // hard link could reach outside) is refused.
  Result CreateFile(std::string_view relative, FileHandle& out, bool makeFolders = false) const;

  // Whether anything (a dangling link too) has this name below the target. A folder on the way
  // that is missing or a link makes the answer no: nothing can be written there anyway.
  bool Exists(std::string_view relative) const;

  // Removes a file below the target (never through a link).
  Result RemoveFile(std::string_view relative) const;

  // Size of a plain file below the target, looked up without following links; 0 for anything else.
  std::uint64_t FileSize(std::string_view relative) const;

  // Sets the access and modification times of a file below the target (never through a link).
  Result SetTimes(std::string_view relative, const timespec times[2]) const;

 private:
  // The folder that holds a path's last component: opened for one call, or one of the folders
  // kept open, which stays held for the call.
  struct Parent {
    FileHandle owned;
    std::unique_lock<std::mutex> hold;
    int fd = -1;
  };
  // Folders right below the target (the category folders), kept open: a recovery looks up,
  // creates and dates file after file in the same few. Each use first checks that the name still
  // leads to the same folder, so one renamed away or swapped for a link meanwhile is let go.
  struct KeptFolder {
    std::string name;
    FileHandle handle;
    dev_t device = 0;
    ino_t inode = 0;
  };
  struct Kept {
    std::mutex lock;
    std::vector<KeptFolder> folders;  // the most recently used last
  };

  // Opens each folder of parts in turn below the target (creating missing ones when asked).
  Result Walk(const std::vector<std::string_view>& parts, bool create, FileHandle& out) const;
  // Opens the folder that holds the last component of relative; leaf receives that component.
  Result OpenParent(std::string_view relative, bool create, Parent& parent, std::string& leaf) const;

  FileHandle dir_;
  std::string path_;
  std::unique_ptr<Kept> kept_ = std::make_unique<Kept>();
};

// Whether files can be written into the folder at path before any work is done for them: it is a
// folder this user may write to, or does not exist yet and the nearest folder above it that does
// is one (the target is made when the first file is written). On success freeBytes is the room
// left there for this user; otherwise failedPath names the path that is in the way.
Result CheckTargetWritable(const std::string& path, std::uint64_t& freeBytes, std::string& failedPath);

// Splits a destination path into the folder the user chose and the part below it, where the
// target is the prefix holding levelBase separators ('/' or '\', as recovery counts them). The
// split never goes past the last '/', so a file's folder is always on the target side or below.
void SplitAtTarget(std::string_view destination, std::int32_t levelBase, std::string& target, std::string& relative);

}  // namespace rexmoor
