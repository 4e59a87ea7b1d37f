#include "platform/target_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/data_dir.h"

namespace rexmoor {

namespace {

// Path components of a relative path; empty and "." components are dropped.
Result Components(std::string_view relative, std::vector<std::string_view>& out) {
  out.clear();
  std::size_t pos = 0;
  while (pos <= relative.size()) {
    std::size_t slash = relative.find('/', pos);
    if (slash == std::string_view::npos) slash = relative.size();
    const std::string_view part = relative.substr(pos, slash - pos);
    if (part == "..") return kErrInvalidName;
    if (!part.empty() && part != ".") out.push_back(part);
    pos = slash + 1;
  }
  return kSuccess;
}

int OpenAt(int dirFd, const std::string& name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(dirFd, name.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Why a component could not be opened as a folder: a link, something else, or the system's error.
Result FolderError(int dirFd, const std::string& name, int openErrno) {
  struct stat st {};
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(st.st_mode)) return kErrStoppedOnSymlink;
    if (!S_ISDIR(st.st_mode)) return kErrDirectory;
  }
  return ResultFromErrno(openErrno);
}

// Opens (creating when asked) one folder below dirFd without following a link. A folder that is
// there already, as it is for all but a category's first file, costs one system call.
Result StepInto(int dirFd, const std::string& name, bool create, FileHandle& out) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW;
  int fd = OpenAt(dirFd, name, kFlags);
  if (fd < 0 && errno == ENOENT && create) {
    if (::mkdirat(dirFd, name.c_str(), 0755) != 0 && errno != EEXIST) return FolderError(dirFd, name, errno);
    fd = OpenAt(dirFd, name, kFlags);
  }
  if (fd < 0) return FolderError(dirFd, name, errno);
  out = FileHandle(fd);
  return kSuccess;
}

}  // namespace

Result CheckTargetWritable(const std::string& path, std::uint64_t& freeBytes, std::string& failedPath) {
  freeBytes = 0;
  failedPath.clear();
  std::string at = path.empty() ? std::string(".") : path;
  // Up to the nearest part of the path that exists; every step drops one component, so the walk
  // ends at "/" or "." at the latest.
  for (int steps = 0; steps < 4096; ++steps) {
    struct stat st {};
    if (::stat(at.c_str(), &st) == 0) {
      failedPath = at;
      if (!S_ISDIR(st.st_mode)) return kErrDirectory;
      if (::access(at.c_str(), W_OK | X_OK) != 0) return ResultFromErrno(errno);
      struct statvfs space {};
      if (::statvfs(at.c_str(), &space) != 0) return ResultFromErrno(errno);
      if ((space.f_flag & ST_RDONLY) != 0) return kErrWriteProtect;
      freeBytes = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
      failedPath.clear();
      return kSuccess;
    }
    // A plain file on the way is found as such one step up.
    if (errno != ENOENT && errno != ENOTDIR) {
      failedPath = at;
      return ResultFromErrno(errno);
    }
    while (at.size() > 1 && at.back() == '/') at.pop_back();
    const std::size_t slash = at.rfind('/');
    if (slash == std::string::npos) at = ".";
    else at = slash == 0 ? std::string("/") : at.substr(0, slash);
  }
  failedPath = path;
  return kErrPathNotFound;
}

Result TargetFolder::Open(const std::string& path, bool create, TargetFolder& out) {
  out.dir_.Close();
  out.kept_ = std::make_unique<Kept>();
  out.path_ = path.empty() ? std::string(".") : path;
  auto open = [&out] {
    int fd;
    do {
      fd = ::open(out.path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
  };
  int fd = open();
  if (fd < 0 && errno == ENOENT && create) {
    if (Result r = CreateFolderTree(out.path_); r != kSuccess && r != kErrAlreadyExists) return r;
    fd = open();
  }
  if (fd < 0) return errno == ENOTDIR ? kErrDirectory : ResultFromErrno(errno);
  out.dir_ = FileHandle(fd);
  return kSuccess;
}

Result TargetFolder::Walk(const std::vector<std::string_view>& parts, bool create, FileHandle& out) const {
  FileHandle current;
  int at = dir_.fd();
  for (std::string_view part : parts) {
    FileHandle next;
    if (Result r = StepInto(at, std::string(part), create, next); r != kSuccess) return r;
    current = std::move(next);
    at = current.fd();
  }
  if (!current.IsValid()) {
    // No folder below the target: the target itself, on a descriptor of its own.
    const int fd = ::fcntl(dir_.fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return ResultFromErrno(errno);
    current = FileHandle(fd);
  }
  out = std::move(current);
  return kSuccess;
}

bool TargetFolder::RelativeOf(std::string_view path, std::string_view& relative) const {
  if (path.size() <= path_.size() + 1 || path.substr(0, path_.size()) != path_ || path[path_.size()] != '/')
    return false;
  relative = path.substr(path_.size() + 1);
  return true;
}

Result TargetFolder::MakeFolders(std::string_view relative, FileHandle* out) const {
  if (!dir_.IsValid()) return kErrInvalidHandle;
  std::vector<std::string_view> parts;
  if (Result r = Components(relative, parts); r != kSuccess) return r;
  FileHandle last;
  if (Result r = Walk(parts, true, last); r != kSuccess) return r;
  if (out != nullptr) *out = std::move(last);
  return kSuccess;
}

Result TargetFolder::OpenParent(std::string_view relative, bool create, Parent& parent, std::string& leaf) const {
  if (!dir_.IsValid()) return kErrInvalidHandle;
  std::vector<std::string_view> parts;
  if (Result r = Components(relative, parts); r != kSuccess) return r;
  if (parts.empty()) return kErrInvalidName;
  leaf.assign(parts.back());
  parts.pop_back();
  if (parts.size() != 1 || kept_ == nullptr) {
    if (Result r = Walk(parts, create, parent.owned); r != kSuccess) return r;
    parent.fd = parent.owned.fd();
    return kSuccess;
  }
  constexpr std::size_t kMaxKept = 16;
  const std::string name(parts.front());
  std::unique_lock<std::mutex> hold(kept_->lock);
  std::vector<KeptFolder>& folders = kept_->folders;
  auto found = std::find_if(folders.begin(), folders.end(), [&name](const KeptFolder& f) { return f.name == name; });
  if (found != folders.end()) {
    // The kept descriptor holds its folder's inode, so no other folder can have that number:
    // the same one means the name still leads there.
    struct stat now {};
    if (::fstatat(dir_.fd(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(now.st_mode) &&
        now.st_dev == found->device && now.st_ino == found->inode) {
      std::rotate(found, found + 1, folders.end());
      parent.fd = folders.back().handle.fd();
      parent.hold = std::move(hold);
      return kSuccess;
    }
    folders.erase(found);
  }
  FileHandle opened;
  if (Result r = StepInto(dir_.fd(), name, create, opened); r != kSuccess) return r;
  struct stat st {};
  if (::fstat(opened.fd(), &st) != 0) {
    parent.owned = std::move(opened);
    parent.fd = parent.owned.fd();
    return kSuccess;
  }
  if (folders.size() == kMaxKept) folders.erase(folders.begin());
  folders.push_back(KeptFolder{name, std::move(opened), st.st_dev, st.st_ino});
  parent.fd = folders.back().handle.fd();
  parent.hold = std::move(hold);
  return kSuccess;
}

Result TargetFolder::CreateFile(std::string_view relative, FileHandle& out, bool makeFolders) const {
  Parent parent;
  std::string leaf;
  if (Result r = OpenParent(relative, makeFolders, parent, leaf); r != kSuccess) return r;
  // Non-blocking so that a pipe planted at the name cannot stall the open.
  const int fd = OpenAt(parent.fd, leaf, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) {
    const int e = errno;
    struct stat st {};
    if (::fstatat(parent.fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
      return kErrStoppedOnSymlink;
    return e == EISDIR ? kErrAlreadyExists : ResultFromErrno(e);
  }
  FileHandle file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return ResultFromErrno(errno);
  if (!S_ISREG(st.st_mode) || st.st_nlink > 1) return kErrAccessDenied;
  if (st.st_size != 0 && ::ftruncate(fd, 0) != 0) return ResultFromErrno(errno);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  out = std::move(file);
  return kSuccess;
}

bool TargetFolder::Exists(std::string_view relative) const {
  Parent parent;
  std::string leaf;
  if (OpenParent(relative, false, parent, leaf) != kSuccess) return false;
  struct stat st {};
  return ::fstatat(parent.fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

Result TargetFolder::RemoveFile(std::string_view relative) const {
  Parent parent;
  std::string leaf;
  if (Result r = OpenParent(relative, false, parent, leaf); r != kSuccess) return r;
  if (::unlinkat(parent.fd, leaf.c_str(), 0) != 0) return ResultFromErrno(errno);
  return kSuccess;
}

std::uint64_t TargetFolder::FileSize(std::string_view relative) const {
  Parent parent;
  std::string leaf;
  if (OpenParent(relative, false, parent, leaf) != kSuccess) return 0;
  struct stat st {};
  if (::fstatat(parent.fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

Result TargetFolder::SetTimes(std::string_view relative, const timespec times[2]) const {
  Parent parent;
  std::string leaf;
  if (Result r = OpenParent(relative, false, parent, leaf); r != kSuccess) return r;
  if (::utimensat(parent.fd, leaf.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) return ResultFromErrno(errno);
  return kSuccess;
}

void SplitAtTarget(std::string_view destination, std::int32_t levelBase, std::string& target, std::string& relative) {
  const std::size_t lastSlash = destination.rfind('/');
  if (lastSlash == std::string_view::npos) {
    target = ".";
    relative.assign(destination);
    return;
  }
  // The separator that ends the target: the one after levelBase others.
  std::size_t cut = lastSlash;
  std::int32_t seen = 0;
  for (std::size_t i = 0; i < lastSlash; ++i) {
    if (destination[i] != '/' && destination[i] != '\\') continue;
    if (seen == levelBase) {
      cut = destination.find('/', i);  // a '\' is an ordinary character here: go on to a real one
      break;
    }
    ++seen;
  }
  if (levelBase < 0) cut = destination.find('/');
  target.assign(destination.substr(0, cut));
  if (target.empty()) target = "/";
  relative.assign(destination.substr(cut + 1));
}

}  // namespace rexmoor
