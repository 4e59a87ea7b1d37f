// The disk-image job: copies a source's sectors into an image file on a worker thread, reports
// through a progress view and answers the cancel handshake. The checks of the target that come
// before any copy (same medium, file system limits, free space) are here too, for every front end.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "app/job_control.h"
#include "app/scan_job.h"
#include "device/image_copy.h"

namespace rexmoor {

class IImageProgressView : public IProgressBarView {
 public:
  virtual void SetStage(const std::string& text) = 0;
  virtual void SetTime(const std::string& text) = 0;
  virtual void SetSectors(const std::string& text) = 0;
};

// What to copy: a path (a drive's device, a partition's drive, or an image file) and a range of
// its sectors (count 0: to the end), and where to.
struct ImageRequest {
  std::string sourcePath;
  std::uint64_t firstSector = 0;
  std::uint64_t sectorCount = 0;
  std::string targetPath;
  bool skipBad = false;
  bool resume = false;
  std::uint32_t retries = 0;  // passes over the unreadable areas after the first
};

// The file systems whose limits decide the largest image they can take.
enum class TargetFileSystem { Other, Fat16, Fat32 };

// The rule of the target's file system and free space for an image of imageBytes: "" when it
// fits, else the message key (MSG0219 FAT12/16 over 2 GiB, MSG0220 FAT32 at 4 GiB or more, MSG0221
// not enough room). reusableBytes is what an overwritten or continued image already takes.
std::string ImageSizeRule(TargetFileSystem fileSystem, std::uint64_t imageBytes, std::uint64_t freeBytes,
                          std::uint64_t reusableBytes);

// The bytes the request's image takes (its range resolved against the source).
Result MeasureImage(const ImageRequest& request, std::uint64_t& imageBytes, std::string& error);

struct ImageTargetCheck {
  std::string messageKey;  // "" when the target is fine
  std::string detail;      // what the check found, for the user
  bool Passed() const { return messageKey.empty(); }
};

// The file system the folder lies on (FAT from mountinfo and, where readable, its boot sector),
// and its free bytes. False when the folder cannot be examined.
bool TargetFolderFacts(const std::string& folder, TargetFileSystem& fileSystem, std::uint64_t& freeBytes);

// Every check before a copy: the target on the medium being copied (MSG0218), then the size rules.
ImageTargetCheck CheckImageTarget(const ImageRequest& request, std::uint64_t imageBytes);

inline constexpr std::int32_t kImageJobSucceeded = 1;
inline constexpr std::int32_t kImageJobCancelled = 2;
inline constexpr std::int32_t kImageJobFailed = 3;

class ImageJob : public JobControl {
 public:
  ImageJob(ImageRequest request, IImageProgressView* view, IQuestionAsker* asker, TextLookup texts);
  ~ImageJob();
  ImageJob(const ImageJob&) = delete;
  ImageJob& operator=(const ImageJob&) = delete;

  // For tests: a clock and a reader of the source.
  void SetCopyOptions(ImageCopyOptions options) { options_ = std::move(options); }

  void Run() override;

  // After the job ended: 1 success, 2 cancelled, 3 any other failure.
  std::int32_t WindowResult() const { return windowResult_.load(); }
  Result CopyResult() const { return copyResult_; }
  const ImageCopyJob& Copy() const { return copy_; }
  const ImageRequest& Request() const { return request_; }

  static std::int32_t OnImageProgress(void* userData, std::int32_t percent, std::uint64_t sectorsDone,
                                      std::uint64_t sectorsTotal, std::int32_t secondsLeft);

 private:
  void BeforeStart() override;

  ImageRequest request_;
  IImageProgressView* view_;
  TextLookup texts_;
  ImageCopyOptions options_;
  ImageCopyJob copy_;
  Result copyResult_ = kSuccess;
  std::atomic<std::int32_t> windowResult_{0};
};

}  // namespace rexmoor
