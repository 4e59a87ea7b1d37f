// The index of earlier deep scans and the numbered folders that hold every scan's catalogue.
// A deep scan of a source whose fingerprint (free bytes of the volume, or the image file's
// last-write time) has not changed can continue from the catalogue the index points to.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_handle.h"
#include "platform/result_codes.h"

namespace rexmoor {

inline constexpr std::size_t kScanIndexHeaderSize = 8;     // u64 scanCounter
inline constexpr std::size_t kScanIndexEntrySize = 1120;
inline constexpr std::size_t kScanIndexPathChars = 260;    // UTF-16 units, NUL included
inline constexpr std::size_t kResumeValueCount = 10;

using ResumeValues = std::array<std::int32_t, kResumeValueCount>;

// One 1,120-byte index entry, kept as its stored bytes so that an entry read from disk is written
// back unchanged apart from the fields we update.
struct ScanLogEntry {
  static constexpr std::size_t kDriveNumberOffset = 0;   // u32, disk sources
  static constexpr std::size_t kReservedOffset = 4;      // u32, always 0
  static constexpr std::size_t kStartOffset = 8;         // u64 partition start sector
  static constexpr std::size_t kLengthOffset = 16;       // u64 partition length in sectors
  static constexpr std::size_t kResumeOffset = 24;       // ten i32 owned by the deep scan
  static constexpr std::size_t kFreeBytesOffset = 64;    // u64, disk sources
  static constexpr std::size_t kImageTimeOffset = 72;    // u64 FILETIME, image sources
  static constexpr std::size_t kImagePathOffset = 80;    // UTF-16LE, 260 units
  static constexpr std::size_t kFolderPathOffset = 600;  // UTF-16LE, 260 units

  std::array<std::uint8_t, kScanIndexEntrySize> bytes{};

  std::uint32_t DriveNumber() const;
  void SetDriveNumber(std::uint32_t value);
  std::uint64_t StartSector() const;
  void SetStartSector(std::uint64_t value);
  std::uint64_t SectorCount() const;
  void SetSectorCount(std::uint64_t value);
  std::int32_t ResumeValue(std::size_t index) const;  // 0 for an index out of range
  ResumeValues Resume() const;
  void SetResume(const ResumeValues& values);
  // The ten values read as five unsigned 64-bit numbers (index 0..4), as the deep scan uses them.
  std::uint64_t ResumeU64(std::size_t index) const;
  std::uint64_t FreeBytes() const;
  void SetFreeBytes(std::uint64_t value);
  std::uint64_t ImageWriteTime() const;
  void SetImageWriteTime(std::uint64_t value);
  // Paths are stored UTF-16LE and handed out as UTF-8, up to the first NUL of their field.
  std::string ImagePath() const;
  void SetImagePath(std::string_view utf8);
  std::string FolderPath() const;
  void SetFolderPath(std::string_view utf8);
};

struct ScanIndexContents {
  std::uint64_t scanCounter = 0;
  std::vector<ScanLogEntry> entries;
};

// Decodes an index file: the header, then whole entries; a trailing partial entry is ignored and
// a file shorter than the header gives an empty index.
ScanIndexContents ParseScanIndex(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> FormatScanIndex(std::uint64_t scanCounter, const std::vector<ScanLogEntry>& entries);

// What identifies a scanned source when its scan is saved.
struct ScanSourceIdentity {
  std::uint16_t sourceTag = 0;
  std::int32_t driveNumber = 0;
  std::uint64_t startSector = 0;
  std::uint64_t sectorCount = 0;
  std::string imagePath;       // empty for disk sources
  // Disk sources: the volume's fingerprint. Free space of an unmounted partition cannot be asked
  // of the system here, so the caller measures it and passes it in.
  std::uint64_t freeBytes = 0;
};

class ScanLogIndex {
 public:
  // Reads basePath + "/config" (recovering an interrupted rewrite from "config.tmp").
  explicit ScanLogIndex(std::string basePath);

  // UserDataDir() + "/Rexmoor Pro/ScanLog".
  static std::string DefaultBasePath();
  // Drops the process-wide index so that the next GetScanLogIndex() builds it again from the
  // current data folder.
  static void ResetForTesting();

  const std::string& BasePath() const { return basePath_; }
  std::uint64_t ScanCounter() const { return scanCounter_; }
  const std::vector<ScanLogEntry>& Entries() const { return entries_; }
  bool IsReusing() const { return reusing_; }
  const std::string& ReusePath() const { return reusePath_; }

  // Re-reads the index file; a missing or unreadable file gives an empty index. Entries whose
  // folder is not a numbered folder of this base are dropped, with a notice.
  void Reload();
  // What reading the index had to pass over, as lines for the user; emptied by the call.
  std::vector<std::string> TakeNotices();
  void AddNotice(std::string text) { notices_.push_back(std::move(text)); }

  // Whether a scan can keep its logs here: creates the base folder when it is missing and writes
  // a scratch file into it, so that a data folder that is a plain file, is read-only or is full
  // is found before a scan runs for hours into nothing. kSuccess, or the failure's code.
  Result CheckWritable() const;

  // reusePath while an indexed scan is continued, else basePath + "/" + scanCounter + "/".
  std::string CurrentScanFolder() const;
  // Takes the next numbered folder and removes whatever an earlier run left in it. Numbers whose
  // folder holds another source's indexed log, or is in use by a scan running in another process,
  // are passed over; the folder taken stays locked for this index until the next call. The
  // counter reaches the disk only with the next SaveScan.
  void BeginScanFolder();
  // A fresh deep scan that ended before its sweep gives its folder number back.
  void DecrementScanCounter();
  void StopReusing();

  // Forgets every entry of the folder (names compared case-insensitively) and deletes the folder
  // with its contents. 0 when it did not exist; folders outside the base folder are never deleted
  // (the path may come from a damaged index) and give kErrAccessDenied; a folder another running
  // scan works in is left alone with kErrSharingViolation.
  Result DeleteScanLog(const std::string& folderPath);

  // An earlier deep scan of this disk partition: unchanged fingerprint -> true, outEntry filled
  // and the scan's folder becomes the current one; changed -> its log is deleted, false.
  bool FindDiskScan(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                    std::uint64_t currentFreeBytes, ScanLogEntry& outEntry);
  // The same for an image file, matched by its exact path (or the same file under another name)
  // and compared by its current last-write time.
  bool FindImageScan(const std::string& imagePath, ScanLogEntry& outEntry);

  // Updates the resume values of the source's entry or adds a new entry, then rewrites the index
  // through "config.tmp". An image path longer than the index holds is not saved
  // (kErrFilenameTooLong): its scan could never be found again.
  Result SaveScan(const ScanSourceIdentity& source, const ResumeValues& resume, const std::string& folderPath);

  // First name (in name order, skipping names starting with '.') in the folder containing namePart.
  static bool FindLogFile(const std::string& folderPath, std::string_view namePart, std::string& outName);

 private:
  bool IsInsideBase(const std::string& path) const;
  // The numbered folder a stored folder field names, as a whole path; nothing for anything else.
  std::optional<std::string> LogFolderFor(std::string_view stored) const;
  static bool SameImage(const std::string& stored, const std::string& imagePath);
  Result WriteIndex();

  std::string basePath_;
  std::uint64_t scanCounter_ = 0;
  std::vector<ScanLogEntry> entries_;
  bool reusing_ = false;
  std::string reusePath_;
  FileHandle folderLock_;
  std::string lockedFolder_;
  std::vector<std::string> notices_;
};

// The process-wide index, built on first use from the per-user data folder.
ScanLogIndex& GetScanLogIndex();

// Last-write time of a file as FILETIME, or 0 when it cannot be read.
std::uint64_t FileWriteTime(const std::string& path);
// The same for an image; for one kept in several files (the segments of an EWF image, the pieces
// of a split one, a virtual disk's parents) a stamp of all their times, so that a change to any
// is seen. 0 when one cannot be read.
std::uint64_t ImageWriteTime(const std::string& path);

}  // namespace rexmoor
