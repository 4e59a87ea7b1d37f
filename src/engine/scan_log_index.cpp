#include "engine/scan_log_index.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <memory>
#include <optional>
#include <utility>
#include <system_error>
#include <vector>

#include "device/container_source.h"
#include "platform/byte_view.h"
#include "platform/clock.h"
#include "platform/data_dir.h"
#include "platform/file_handle.h"
#include "platform/text.h"

namespace rexmoor {

namespace fs = std::filesystem;

namespace {

// Far more than any real index (about 60,000 scans); a larger file is read only this far.
constexpr std::uint64_t kMaxIndexBytes = 64ull << 20;

void StoreU32LE(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void StoreU64LE(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::string ReadPathField(const std::uint8_t* field) {
  std::u16string text;
  for (std::size_t i = 0; i < kScanIndexPathChars; ++i) {
    char16_t unit = static_cast<char16_t>(LoadU16LE(field + 2 * i));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return Utf16ToUtf8(text);
}

void WritePathField(std::uint8_t* field, std::string_view utf8) {
  std::u16string text = Utf8ToUtf16(utf8);
  std::size_t length = std::min(text.size(), kScanIndexPathChars - 1);
  // Never leave half of a surrogate pair at the cut.
  if (length < text.size() && length > 0 && text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF) --length;
  std::fill(field, field + 2 * kScanIndexPathChars, std::uint8_t{0});
  for (std::size_t i = 0; i < length; ++i) {
    field[2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
    field[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
  }
}


bool PathExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

std::string StripOneTrailingSlash(std::string path) {
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A scan folder in use is marked by an exclusive lock on its ".lock" file, held for as long as
// the process works in the folder. The system drops the lock when the process ends, so a folder
// whose lock can be taken belongs to no running scan.
constexpr const char* kLockFileName = ".lock";
// Numbered folders tried before a new scan gives up looking for a free one.
constexpr int kMaxFolderTries = 1000;

enum class LockState { Taken, Busy, Unavailable };

LockState TryLockFolder(const std::string& folder, FileHandle& out) {
  out.Close();
  CreateFolderTree(folder);
  FileHandle file;
  if (FileHandle::OpenStateFile(StripOneTrailingSlash(folder) + "/" + kLockFileName, file) != kSuccess)
    return LockState::Unavailable;
  if (::flock(file.fd(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? LockState::Busy : LockState::Unavailable;
  out = std::move(file);
  return LockState::Taken;
}

// Removes what the folder holds, apart from its lock file.
void ClearFolderKeepingLock(const std::string& folder) {
  std::error_code ec;
  fs::directory_iterator it(StripOneTrailingSlash(folder), ec);
  if (ec) return;
  std::vector<fs::path> doomed;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (it->path().filename() != kLockFileName) doomed.push_back(it->path());
  }
  for (const fs::path& path : doomed) fs::remove_all(path, ec);
}

std::unique_ptr<ScanLogIndex>& GlobalIndexSlot() {
  static std::unique_ptr<ScanLogIndex> slot;
  return slot;
}

}  // namespace

// --- ScanLogEntry ---------------------------------------------------------------------------

std::uint32_t ScanLogEntry::DriveNumber() const { return LoadU32LE(bytes.data() + kDriveNumberOffset); }
void ScanLogEntry::SetDriveNumber(std::uint32_t value) { StoreU32LE(bytes.data() + kDriveNumberOffset, value); }
std::uint64_t ScanLogEntry::StartSector() const { return LoadU64LE(bytes.data() + kStartOffset); }
void ScanLogEntry::SetStartSector(std::uint64_t value) { StoreU64LE(bytes.data() + kStartOffset, value); }
std::uint64_t ScanLogEntry::SectorCount() const { return LoadU64LE(bytes.data() + kLengthOffset); }
void ScanLogEntry::SetSectorCount(std::uint64_t value) { StoreU64LE(bytes.data() + kLengthOffset, value); }

std::int32_t ScanLogEntry::ResumeValue(std::size_t index) const {
  if (index >= kResumeValueCount) return 0;
  return static_cast<std::int32_t>(LoadU32LE(bytes.data() + kResumeOffset + 4 * index));
}

ResumeValues ScanLogEntry::Resume() const {
  ResumeValues values{};
  for (std::size_t i = 0; i < kResumeValueCount; ++i) values[i] = ResumeValue(i);
  return values;
}

void ScanLogEntry::SetResume(const ResumeValues& values) {
  for (std::size_t i = 0; i < kResumeValueCount; ++i)
    StoreU32LE(bytes.data() + kResumeOffset + 4 * i, static_cast<std::uint32_t>(values[i]));
}

std::uint64_t ScanLogEntry::ResumeU64(std::size_t index) const {
  if (index >= kResumeValueCount / 2) return 0;
  return LoadU64LE(bytes.data() + kResumeOffset + 8 * index);
}

std::uint64_t ScanLogEntry::FreeBytes() const { return LoadU64LE(bytes.data() + kFreeBytesOffset); }
void ScanLogEntry::SetFreeBytes(std::uint64_t value) { StoreU64LE(bytes.data() + kFreeBytesOffset, value); }
std::uint64_t ScanLogEntry::ImageWriteTime() const { return LoadU64LE(bytes.data() + kImageTimeOffset); }
void ScanLogEntry::SetImageWriteTime(std::uint64_t value) { StoreU64LE(bytes.data() + kImageTimeOffset, value); }
std::string ScanLogEntry::ImagePath() const { return ReadPathField(bytes.data() + kImagePathOffset); }
void ScanLogEntry::SetImagePath(std::string_view utf8) { WritePathField(bytes.data() + kImagePathOffset, utf8); }
std::string ScanLogEntry::FolderPath() const { return ReadPathField(bytes.data() + kFolderPathOffset); }
void ScanLogEntry::SetFolderPath(std::string_view utf8) { WritePathField(bytes.data() + kFolderPathOffset, utf8); }

// --- index file -------------------------------------------------------------------------------

ScanIndexContents ParseScanIndex(std::span<const std::uint8_t> bytes) {
  ScanIndexContents contents;
  ByteView view(bytes);
  auto counter = view.U64LE(0);
  if (!counter) return contents;
  contents.scanCounter = *counter;
  std::span<const std::uint8_t> rest = view.From(kScanIndexHeaderSize);
  std::size_t count = rest.size() / kScanIndexEntrySize;
  contents.entries.resize(count);
  for (std::size_t i = 0; i < count; ++i)
    std::copy_n(rest.data() + i * kScanIndexEntrySize, kScanIndexEntrySize, contents.entries[i].bytes.data());
  return contents;
}

std::vector<std::uint8_t> FormatScanIndex(std::uint64_t scanCounter, const std::vector<ScanLogEntry>& entries) {
  std::vector<std::uint8_t> out(kScanIndexHeaderSize + entries.size() * kScanIndexEntrySize);
  StoreU64LE(out.data(), scanCounter);
  for (std::size_t i = 0; i < entries.size(); ++i)
    std::copy(entries[i].bytes.begin(), entries[i].bytes.end(),
              out.begin() + static_cast<std::ptrdiff_t>(kScanIndexHeaderSize + i * kScanIndexEntrySize));
  return out;
}

std::uint64_t FileWriteTime(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return UnixToFileTime(st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec));
}

std::uint64_t ImageWriteTime(const std::string& path) {
  const std::vector<std::string> files = ContainerFiles(path);
  std::uint64_t stamp = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::uint64_t written = FileWriteTime(files[i]);
    if (written == 0) return 0;
    // One file: its own time, as always. More: every time mixed in, so that any file's time
    // changing (backwards too, as a copy that keeps times does) changes the stamp.
    stamp = i == 0 ? written : (stamp ^ written) * 0x100000001b3ull + i;
  }
  return stamp == 0 ? 1 : stamp;
}

// --- ScanLogIndex -----------------------------------------------------------------------------

ScanLogIndex::ScanLogIndex(std::string basePath) : basePath_(StripOneTrailingSlash(std::move(basePath))) {
  Reload();
}

std::string ScanLogIndex::DefaultBasePath() { return UserDataDir() + "/Rexmoor Pro/ScanLog"; }

void ScanLogIndex::ResetForTesting() { GlobalIndexSlot().reset(); }

ScanLogIndex& GetScanLogIndex() {
  auto& slot = GlobalIndexSlot();
  if (!slot) slot = std::make_unique<ScanLogIndex>(ScanLogIndex::DefaultBasePath());
  return *slot;
}

void ScanLogIndex::Reload() {
  scanCounter_ = 0;
  entries_.clear();
  reusing_ = false;
  reusePath_.clear();
  const std::string config = basePath_ + "/config";
  const std::string temp = basePath_ + "/config.tmp";
  // A rewrite interrupted between removing "config" and renaming its replacement.
  if (!PathExists(config) && PathExists(temp)) std::rename(temp.c_str(), config.c_str());
  FileHandle file;
  std::string bytes;
  if (FileHandle::OpenStateFile(config, file, /*readOnly=*/true) != kSuccess ||
      ReadPrefix(file, kMaxIndexBytes, bytes) != kSuccess)
    return;
  ScanIndexContents contents =
      ParseScanIndex(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  scanCounter_ = contents.scanCounter;
  // The index is read back from disk, where anyone may have changed it or copied it elsewhere:
  // an entry whose folder is not one of our numbered folders here is dropped, never followed.
  for (ScanLogEntry& entry : contents.entries) {
    const std::string stored = entry.FolderPath();
    if (std::optional<std::string> folder = LogFolderFor(stored)) {
      entry.SetFolderPath(*folder);
      entries_.push_back(entry);
    } else {
      notices_.push_back("the scan-log index names a folder that is not one of its own (" + stored +
                         "); that scan is started afresh");
    }
  }
}

std::optional<std::string> ScanLogIndex::LogFolderFor(std::string_view stored) const {
  // Stored relative to the index's folder ("12/"); older indexes hold the whole path, accepted
  // only when it is that same folder under this very base.
  std::string_view name = stored;
  const std::string prefix = basePath_ + "/";
  if (name.rfind(prefix, 0) == 0) name.remove_prefix(prefix.size());
  if (!name.empty() && name.back() == '/') name.remove_suffix(1);
  if (name.empty() || name.size() > 19) return std::nullopt;
  for (char c : name)
    if (c < '0' || c > '9') return std::nullopt;
  const std::string folder = prefix + std::string(name);
  // A link or a file in its place is not our folder either.
  struct stat st {};
  if (::lstat(folder.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return std::nullopt;
  return folder + "/";
}

std::vector<std::string> ScanLogIndex::TakeNotices() { return std::exchange(notices_, {}); }

std::string ScanLogIndex::CurrentScanFolder() const {
  if (reusing_) return reusePath_;
  return basePath_ + "/" + std::to_string(scanCounter_) + "/";
}

Result ScanLogIndex::CheckWritable() const {
  if (Result r = CreateFolderTree(basePath_); r != kSuccess) return r;
  struct stat st {};
  if (::stat(basePath_.c_str(), &st) != 0) return ResultFromErrno(errno);
  if (!S_ISDIR(st.st_mode)) return kErrDirectory;
  const std::string probe = basePath_ + "/.write-check-" + std::to_string(::getpid());
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return ResultFromErrno(errno);
  const char byte = 0;
  const ssize_t written = ::write(fd, &byte, 1);
  const int error = written < 0 ? errno : ENOSPC;
  ::close(fd);
  ::unlink(probe.c_str());
  return written == 1 ? kSuccess : ResultFromErrno(error);
}

void ScanLogIndex::BeginScanFolder() {
  reusing_ = false;
  reusePath_.clear();
  folderLock_.Close();
  lockedFolder_.clear();
  for (int tries = 0; tries < kMaxFolderTries; ++tries) {
    ++scanCounter_;
    const std::string folder = CurrentScanFolder();
    // A number that holds another source's indexed log, or a scan still running in another
    // process, is passed over: a new scan never deletes a log that is not its own.
    const bool indexed = std::any_of(entries_.begin(), entries_.end(),
                                     [&](const ScanLogEntry& e) { return e.FolderPath() == folder; });
    if (indexed) continue;
    FileHandle lock;
    const LockState state = TryLockFolder(folder, lock);
    if (state == LockState::Busy) continue;
    // Whatever an earlier, finished run left under this number goes.
    ClearFolderKeepingLock(folder);
    folderLock_ = std::move(lock);
    lockedFolder_ = folder;
    return;
  }
}

void ScanLogIndex::DecrementScanCounter() { --scanCounter_; }

void ScanLogIndex::StopReusing() {
  reusing_ = false;
  reusePath_.clear();
}

bool ScanLogIndex::IsInsideBase(const std::string& path) const {
  std::error_code ec;
  fs::path base = fs::weakly_canonical(fs::path(basePath_), ec);
  if (ec) return false;
  fs::path target = fs::weakly_canonical(fs::path(path), ec);
  if (ec) return false;
  auto b = base.begin();
  auto t = target.begin();
  for (; b != base.end(); ++b, ++t) {
    if (b->empty()) continue;  // a trailing separator of the base
    if (t == target.end() || *b != *t) return false;
  }
  // Strictly below the base: the base folder itself is never removed.
  for (; t != target.end(); ++t)
    if (!t->empty() && *t != ".") return true;
  return false;
}

Result ScanLogIndex::DeleteScanLog(const std::string& folderPath) {
  const std::string target = StripOneTrailingSlash(folderPath);
  const bool exists = !folderPath.empty() && PathExists(target);
  const bool ours = folderLock_.IsValid() && StripOneTrailingSlash(lockedFolder_) == target;
  FileHandle lock;
  if (exists && !ours && IsInsideBase(target) && TryLockFolder(target, lock) == LockState::Busy)
    return kErrSharingViolation;  // another running scan works there
  std::erase_if(entries_, [&](const ScanLogEntry& entry) {
    return StripOneTrailingSlash(entry.FolderPath()) == target;
  });
  if (!exists) return kSuccess;
  if (!IsInsideBase(target)) return kErrAccessDenied;
  if (ours) {
    ClearFolderKeepingLock(target);  // our own folder stays ours
    return kSuccess;
  }
  std::error_code ec;
  fs::remove_all(target, ec);
  if (ec) return ResultFromErrno(ec.value());
  return kSuccess;
}

bool ScanLogIndex::FindDiskScan(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                                std::uint64_t currentFreeBytes, ScanLogEntry& outEntry) {
  reusing_ = false;
  reusePath_.clear();
  for (const ScanLogEntry& entry : entries_) {
    if (entry.DriveNumber() != static_cast<std::uint32_t>(driveNumber) || entry.StartSector() != startSector ||
        entry.SectorCount() != sectorCount)
      continue;
    if (entry.FreeBytes() == currentFreeBytes) {
      outEntry = entry;
      reusing_ = true;
      reusePath_ = entry.FolderPath();
      return true;
    }
    std::string folder = entry.FolderPath();  // DeleteScanLog erases the entry itself
    DeleteScanLog(folder);
    return false;
  }
  return false;
}

bool ScanLogIndex::FindImageScan(const std::string& imagePath, ScanLogEntry& outEntry) {
  reusing_ = false;
  reusePath_.clear();
  for (const ScanLogEntry& entry : entries_) {
    if (!SameImage(entry.ImagePath(), imagePath)) continue;
    const std::uint64_t writeTime = ImageWriteTime(imagePath);
    // Without a time to compare, the earlier log is neither trusted nor thrown away.
    if (writeTime == 0) return false;
    if (entry.ImageWriteTime() == writeTime) {
      outEntry = entry;
      reusing_ = true;
      reusePath_ = entry.FolderPath();
      return true;
    }
    std::string folder = entry.FolderPath();
    DeleteScanLog(folder);
    return false;
  }
  return false;
}

Result ScanLogIndex::SaveScan(const ScanSourceIdentity& source, const ResumeValues& resume,
                              const std::string& folderPath) {
  const bool isImage = !source.imagePath.empty();
  ScanLogEntry* match = nullptr;
  for (ScanLogEntry& entry : entries_) {
    const bool same = isImage ? SameImage(entry.ImagePath(), source.imagePath)
                              : entry.DriveNumber() == static_cast<std::uint32_t>(source.driveNumber) &&
                                    entry.StartSector() == source.startSector &&
                                    entry.SectorCount() == source.sectorCount;
    if (same) {
      match = &entry;
      break;
    }
  }
  // A path the index cannot hold whole could never be matched again: such a scan is not offered
  // for continuing rather than offered and then lost.
  if (isImage && Utf8ToUtf16(source.imagePath).size() >= kScanIndexPathChars) return kErrFilenameTooLong;
  if (match != nullptr) {
    match->SetResume(resume);
  } else {
    ScanLogEntry entry;
    entry.SetDriveNumber(static_cast<std::uint32_t>(source.driveNumber));
    entry.SetStartSector(source.startSector);
    entry.SetSectorCount(source.sectorCount);
    entry.SetResume(resume);
    if (isImage) {
      entry.SetImageWriteTime(ImageWriteTime(source.imagePath));
      entry.SetImagePath(source.imagePath);
    } else {
      entry.SetFreeBytes(source.freeBytes);
    }
    entry.SetFolderPath(folderPath);
    entries_.push_back(entry);
  }
  return WriteIndex();
}

Result ScanLogIndex::WriteIndex() {
  if (Result r = CreateFolderTree(basePath_); r != kSuccess) return r;
  const std::string config = basePath_ + "/config";
  const std::string temp = basePath_ + "/config.tmp";
  // Folders are written relative to the index, so that a copied data folder names its own logs.
  std::vector<ScanLogEntry> stored = entries_;
  for (ScanLogEntry& entry : stored) {
    std::string folder = entry.FolderPath();
    if (folder.rfind(basePath_ + "/", 0) == 0) entry.SetFolderPath(folder.substr(basePath_.size() + 1));
  }
  std::vector<std::uint8_t> bytes = FormatScanIndex(scanCounter_, stored);
  {
    // Made new each time, never through whatever was planted at its name.
    (void)::unlink(temp.c_str());
    FileHandle file;
    if (Result r = FileHandle::CreatePrivate(temp, file); r != kSuccess) return r;
    if (Result r = WriteAll(file, bytes.data(), bytes.size(), 0); r != kSuccess) return r;
    file.Sync();
  }
  // rename() replaces "config" in one step, so a crash leaves either the old or the new index.
  if (std::rename(temp.c_str(), config.c_str()) != 0) return ResultFromErrno(errno);
  return kSuccess;
}

bool ScanLogIndex::SameImage(const std::string& stored, const std::string& imagePath) {
  if (stored == imagePath) return true;
  // Two names of one file (a link, a bind mount) are the same image; two files whose names
  // differ only in case are not.
  struct stat a {};
  struct stat b {};
  return !stored.empty() && ::stat(stored.c_str(), &a) == 0 && ::stat(imagePath.c_str(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool ScanLogIndex::FindLogFile(const std::string& folderPath, std::string_view namePart, std::string& outName) {
  std::error_code ec;
  fs::directory_iterator it(folderPath, ec);
  if (ec) return false;
  std::vector<std::string> names;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.') continue;
    if (name.find(namePart) != std::string::npos) names.push_back(std::move(name));
  }
  if (names.empty()) return false;
  // Directory order is arbitrary here; name order puts a main file before its "_DirInfo" and
  // "_Relation" companions, whose names it begins.
  outName = *std::min_element(names.begin(), names.end());
  return true;
}

}  // namespace rexmoor
