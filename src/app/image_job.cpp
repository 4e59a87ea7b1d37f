#include "app/image_job.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "device/mount_table.h"
#include "device/same_medium.h"
#include "platform/file_handle.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

constexpr std::uint64_t kTwoGiB = 1ull << 31;
constexpr std::uint64_t kFourGiB = 1ull << 32;
constexpr long kFatMagic = 0x4d44;  // MSDOS_SUPER_MAGIC: vfat and msdos

std::string FolderOf(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

// The source of the mount whose file system has this device number ("" when none is listed).
std::string MountSourceOf(dev_t device) {
  for (const MountRecord& mount : ReadMountTable())
    if (mount.device == device) return mount.source;
  return {};
}

// FAT12/16 keep their FAT size in the boot sector's 16-bit field; FAT32 leaves it zero. vfat
// itself does not tell them apart, so a boot sector that cannot be read counts as FAT32.
TargetFileSystem FatWidthOf(const std::string& device) {
  FileHandle medium;
  if (device.empty() || device[0] != '/' || FileHandle::OpenReadOnly(device, medium) != kSuccess)
    return TargetFileSystem::Fat32;
  std::uint8_t boot[512] = {};
  if (medium.ReadFully(boot, sizeof boot, 0) != kSuccess || boot[510] != 0x55 || boot[511] != 0xAA)
    return TargetFileSystem::Fat32;
  const unsigned fatSize16 = boot[22] | (boot[23] << 8);
  return fatSize16 == 0 ? TargetFileSystem::Fat32 : TargetFileSystem::Fat16;
}

}  // namespace

std::string ImageSizeRule(TargetFileSystem fileSystem, std::uint64_t imageBytes, std::uint64_t freeBytes,
                          std::uint64_t reusableBytes) {
  // A FAT file's size is a 32-bit field: 4 GiB itself does not fit. FAT12/16 volumes end at 2 GiB.
  if (fileSystem == TargetFileSystem::Fat16 && imageBytes >= kTwoGiB) return "MSG0219";
  if (fileSystem == TargetFileSystem::Fat32 && imageBytes >= kFourGiB) return "MSG0220";
  const std::uint64_t room = freeBytes + std::min(reusableBytes, UINT64_MAX - freeBytes);
  if (room < imageBytes) return "MSG0221";
  return {};
}

Result MeasureImage(const ImageRequest& request, std::uint64_t& imageBytes, std::string& error) {
  return MeasureImageSource(request.sourcePath, request.firstSector, request.sectorCount, imageBytes, error);
}

bool TargetFolderFacts(const std::string& folder, TargetFileSystem& fileSystem, std::uint64_t& freeBytes) {
  fileSystem = TargetFileSystem::Other;
  freeBytes = 0;
  struct statvfs space {};
  struct statfs kind {};
  struct stat st {};
  if (::statvfs(folder.c_str(), &space) != 0 || ::statfs(folder.c_str(), &kind) != 0 ||
      ::stat(folder.c_str(), &st) != 0)
    return false;
  freeBytes = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
  if (kind.f_type == kFatMagic) fileSystem = FatWidthOf(MountSourceOf(st.st_dev));
  return true;
}

ImageTargetCheck CheckImageTarget(const ImageRequest& request, std::uint64_t imageBytes) {
  ImageTargetCheck check;
  const std::string folder = FolderOf(request.targetPath);
  const SameMediumAnswer same = TargetOnSourceMedium(request.sourcePath, folder);
  if (same.same) {
    check.messageKey = "MSG0218";
    check.detail = same.reason;
    return check;
  }
  // The image file itself may be the source, or the file a loop device being copied reads.
  struct stat target {};
  struct stat source {};
  const bool targetExists = ::stat(request.targetPath.c_str(), &target) == 0;
  if (targetExists && ::stat(request.sourcePath.c_str(), &source) == 0) {
    bool isSource = S_ISREG(source.st_mode) && source.st_dev == target.st_dev && source.st_ino == target.st_ino;
    if (!isSource && S_ISBLK(source.st_mode)) {
      struct stat backing {};
      const std::string file = LoopBackingFile(source.st_rdev);
      isSource = !file.empty() && ::stat(file.c_str(), &backing) == 0 && backing.st_dev == target.st_dev &&
                 backing.st_ino == target.st_ino;
    }
    if (isSource) {
      check.messageKey = "MSG0218";
      check.detail = request.targetPath + " holds the source itself";
      return check;
    }
  }
  TargetFileSystem fileSystem = TargetFileSystem::Other;
  std::uint64_t freeBytes = 0;
  if (!TargetFolderFacts(folder, fileSystem, freeBytes)) return check;  // the open will say why
  const std::uint64_t reusable = targetExists && S_ISREG(target.st_mode) ? static_cast<std::uint64_t>(target.st_size) : 0;
  check.messageKey = ImageSizeRule(fileSystem, imageBytes, freeBytes, reusable);
  if (!check.messageKey.empty())
    check.detail = Format("%llu bytes to write, %llu free", static_cast<unsigned long long>(imageBytes),
                          static_cast<unsigned long long>(freeBytes + reusable));
  return check;
}

ImageJob::ImageJob(ImageRequest request, IImageProgressView* view, IQuestionAsker* asker, TextLookup texts)
    : JobControl(asker, [this] { return texts_("MSG0306"); }),
      request_(std::move(request)),
      view_(view),
      texts_(std::move(texts)) {
  if (!texts_) texts_ = [](const std::string&) { return std::string(); };
}

ImageJob::~ImageJob() { Wait(); }

void ImageJob::BeforeStart() {
  ClearCancel();
  windowResult_ = 0;
}

void ImageJob::Run() {
  if (view_ != nullptr) view_->SetStage(Format("%s %s", texts_("MSG0302").c_str(), request_.targetPath.c_str()));
  ImageCopyOptions options = options_;
  options.skipBad = request_.skipBad;
  options.resume = request_.resume;
  options.retries = request_.retries;
  copyResult_ = OpenImageCopy(copy_, request_.targetPath, request_.sourcePath, request_.firstSector,
                              request_.sectorCount, &ImageJob::OnImageProgress, this, std::move(options));
  if (copyResult_ == kSuccess) copyResult_ = RunImageCopy(copy_);
  CloseImageCopy(copy_);
  windowResult_ = copyResult_ == kSuccess   ? kImageJobSucceeded
                  : copyResult_ == kCancelled ? kImageJobCancelled
                                              : kImageJobFailed;
  MarkDone();
}

std::int32_t ImageJob::OnImageProgress(void* userData, std::int32_t percent, std::uint64_t sectorsDone,
                                       std::uint64_t sectorsTotal, std::int32_t secondsLeft) {
  auto* job = static_cast<ImageJob*>(userData);
  if (job == nullptr) return 0;
  // Held while the cancel question is asked: a "no" goes on from this very block.
  std::lock_guard<std::mutex> lock(job->Mutex());
  if (job->CancelRequestedLocked()) return kCancelled;
  IImageProgressView* view = job->view_;
  if (view == nullptr) return 0;
  view->SetProgressBar(percent);
  view->SetPercent(Format("%s %d%%", job->texts_("MSG0301").c_str(), percent));
  view->SetTime(secondsLeft == -1 ? job->texts_("MSG0304")
                                  : Format("%s %s", job->texts_("MSG0305").c_str(), DurationText(secondsLeft).c_str()));
  view->SetSectors(Format("%s %llu / %llu", job->texts_("MSG0303").c_str(), static_cast<unsigned long long>(sectorsDone),
                          static_cast<unsigned long long>(sectorsTotal)));
  return 0;
}

}  // namespace rexmoor
