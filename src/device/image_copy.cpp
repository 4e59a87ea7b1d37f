#include "device/image_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "device/container_source.h"
#include "platform/clock.h"
#include "platform/drives.h"
#include "platform/geometry.h"

namespace rexmoor {

// ---- The map ---------------------------------------------------------------------------------

void ImageMap::Reset(std::uint64_t totalBytes) {
  total_ = totalBytes;
  ranges_.clear();
  if (totalBytes != 0) ranges_.push_back({0, totalBytes, '?'});
}

void ImageMap::Assign(std::vector<ImageMapRange> ranges, std::uint64_t totalBytes) {
  ranges_ = std::move(ranges);
  total_ = totalBytes;
}

std::uint64_t ImageMap::BytesWith(char status) const {
  std::uint64_t n = 0;
  for (const ImageMapRange& r : ranges_)
    if (r.status == status) n += r.size;
  return n;
}

void ImageMap::SplitAt(std::uint64_t at) {
  // The range holding at, when at falls inside it rather than on its start.
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), at,
                             [](std::uint64_t x, const ImageMapRange& r) { return x < r.pos; });
  if (it == ranges_.begin()) return;
  --it;
  if (at <= it->pos || at >= it->pos + it->size) return;
  const ImageMapRange tail{at, it->pos + it->size - at, it->status};
  it->size = at - it->pos;
  ranges_.insert(it + 1, tail);
}

void ImageMap::Mark(std::uint64_t pos, std::uint64_t size, char status) {
  if (size == 0 || pos >= total_ || size > total_ - pos) return;
  SplitAt(pos);
  SplitAt(pos + size);
  auto first = std::lower_bound(ranges_.begin(), ranges_.end(), pos,
                                [](const ImageMapRange& r, std::uint64_t x) { return r.pos < x; });
  auto last = first;
  while (last != ranges_.end() && last->pos < pos + size) ++last;
  first->size = size;
  first->status = status;
  std::size_t index = static_cast<std::size_t>(first - ranges_.begin());
  ranges_.erase(first + 1, last);
  // Neighbours of the same status become one range.
  if (index + 1 < ranges_.size() && ranges_[index + 1].status == status) {
    ranges_[index].size += ranges_[index + 1].size;
    ranges_.erase(ranges_.begin() + static_cast<std::ptrdiff_t>(index) + 1);
  }
  if (index > 0 && ranges_[index - 1].status == status) {
    ranges_[index - 1].size += ranges_[index].size;
    ranges_.erase(ranges_.begin() + static_cast<std::ptrdiff_t>(index));
  }
}

std::string ImageMapPath(const std::string& imagePath) { return imagePath + ".map"; }

std::string FormatImageMap(const ImageMap& map, std::uint64_t currentPos, char currentStatus) {
  std::string out =
      "# Mapfile. Created by rexmoor\n"
      "# current_pos  current_status  current_pass\n";
  char line[96];
  std::snprintf(line, sizeof line, "0x%08llX     %c               1\n", static_cast<unsigned long long>(currentPos),
                currentStatus);
  out += line;
  out += "#      pos        size  status\n";
  for (const ImageMapRange& r : map.Ranges()) {
    std::snprintf(line, sizeof line, "0x%08llX  0x%08llX  %c\n", static_cast<unsigned long long>(r.pos),
                  static_cast<unsigned long long>(r.size), r.status);
    out += line;
  }
  return out;
}

namespace {

// "0x" and 1 to 16 hex digits, or 1 to 20 decimal digits, without overflow.
bool ParseMapNumber(std::string_view text, std::uint64_t& out) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty() || text.size() > 20) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return ec == std::errc() && ptr == text.data() + text.size();
}

// Splits a line at blanks (spaces and tabs), at most maxFields + 1 fields.
std::vector<std::string_view> Fields(std::string_view line, std::size_t maxFields) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size() && out.size() <= maxFields) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::size_t end = i;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
    out.push_back(line.substr(i, end - i));
    i = end;
  }
  return out;
}

}  // namespace

Result ParseImageMap(std::string_view text, std::uint64_t totalBytes, std::int32_t sectorSize, ImageMap& out,
                     std::string& error) {
  if (sectorSize <= 0) sectorSize = 512;
  const auto sector = static_cast<std::uint64_t>(sectorSize);
  auto fail = [&](std::size_t lineNumber, const std::string& why) {
    error = "mapfile line " + std::to_string(lineNumber) + ": " + why;
    return kErrInvalidParameter;
  };
  std::vector<ImageMapRange> ranges;
  bool statusLineSeen = false;
  std::uint64_t end = 0;
  std::size_t lineNumber = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t newline = text.find('\n', at);
    if (newline == std::string_view::npos) newline = text.size();
    std::string_view line = text.substr(at, newline - at);
    at = newline + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::vector<std::string_view> fields = Fields(line, 3);
    if (fields.empty() || fields[0][0] == '#') continue;
    if (!statusLineSeen) {
      // current_pos, current_status and (optional) current_pass.
      std::uint64_t pos = 0;
      std::uint64_t pass = 0;
      if (fields.size() < 2 || fields.size() > 3 || !ParseMapNumber(fields[0], pos) || fields[1].size() != 1 ||
          std::string_view("?*/-FG+").find(fields[1][0]) == std::string_view::npos ||
          (fields.size() == 3 && !ParseMapNumber(fields[2], pass)))
        return fail(lineNumber, "not a status line (expected \"0xPOS  STATUS  PASS\")");
      statusLineSeen = true;
      continue;
    }
    std::uint64_t pos = 0;
    std::uint64_t size = 0;
    if (fields.size() != 3 || !ParseMapNumber(fields[0], pos) || !ParseMapNumber(fields[1], size) ||
        fields[2].size() != 1)
      return fail(lineNumber, "not a range (expected \"0xPOS  0xSIZE  STATUS\")");
    char status = fields[2][0];
    if (status == '*' || status == '/') status = '?';
    if (status != '+' && status != '-' && status != '?') return fail(lineNumber, "unknown status '" + std::string(fields[2]) + "'");
    if (size == 0) return fail(lineNumber, "a range of size 0");
    if (pos != end) return fail(lineNumber, "ranges overlap or leave a gap (expected position " + std::to_string(end) + ")");
    if (size > totalBytes - end) return fail(lineNumber, "the range passes the end of the image (" + std::to_string(totalBytes) + " bytes)");
    if (pos % sector != 0 || size % sector != 0)
      return fail(lineNumber, "the range does not lie on " + std::to_string(sector) + "-byte sectors");
    if (ranges.size() >= kMaxMapRanges) return fail(lineNumber, "more than " + std::to_string(kMaxMapRanges) + " ranges");
    if (!ranges.empty() && ranges.back().status == status) {
      ranges.back().size += size;
    } else {
      ranges.push_back({pos, size, status});
    }
    end += size;
  }
  if (!statusLineSeen) {
    error = "the mapfile holds no status line";
    return kErrInvalidParameter;
  }
  if (end != totalBytes) {
    error = "the mapfile describes " + std::to_string(end) + " bytes, the copied range has " +
            std::to_string(totalBytes);
    return kErrInvalidParameter;
  }
  out.Assign(std::move(ranges), totalBytes);
  return kSuccess;
}

// ---- The job ---------------------------------------------------------------------------------

std::vector<std::pair<std::uint64_t, std::uint64_t>> ImageCopyJob::BadSectorRanges() const {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
  const auto sector = static_cast<std::uint64_t>(sectorSize);
  for (const ImageMapRange& r : map.Ranges())
    if (r.status == '-') out.emplace_back(firstSector + r.pos / sector, r.size / sector);
  return out;
}

std::uint64_t ImageCopyJob::BadSectorCount() const {
  return map.BytesWith('-') / static_cast<std::uint64_t>(sectorSize);
}

namespace {

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Writes the mapfile through a new file beside it, renamed over it. The temporary name is created
// new and never through a link: something planted there (a link to a file elsewhere, a pipe) is
// refused, and a plain file an interrupted run left behind is replaced. failedPath names the file
// that could not be written.
Result SaveMap(const ImageCopyJob& job, std::uint64_t currentPos, char currentStatus, std::string& failedPath) {
  if (job.mapPath.empty()) return kSuccess;
  const std::string text = FormatImageMap(job.map, currentPos, currentStatus);
  const std::string temp = job.mapPath + ".tmp";
  failedPath = temp;
  FileHandle file;
  Result r = FileHandle::CreatePrivate(temp, file);
  if (r == kErrFileExists) {
    struct stat st {};
    if (::lstat(temp.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      return S_ISLNK(st.st_mode) ? kErrStoppedOnSymlink : kErrAccessDenied;
    (void)::unlink(temp.c_str());
    r = FileHandle::CreatePrivate(temp, file);
  }
  if (r != kSuccess) return r;
  if (r = WriteAll(file, text.data(), text.size(), 0); r == kSuccess) r = file.Sync();
  file.Close();
  if (r == kSuccess && ::rename(temp.c_str(), job.mapPath.c_str()) != 0) {
    r = ResultFromErrno(errno);
    failedPath = job.mapPath;
  }
  if (r != kSuccess) (void)::unlink(temp.c_str());
  return r;
}

Result ReadMapFile(const std::string& path, std::uint64_t totalBytes, std::int32_t sectorSize, ImageMap& map,
                   std::string& error) {
  FileHandle file;
  if (Result r = FileHandle::OpenStateFile(path, file, true); r != kSuccess) {
    error = r == kErrFileNotFound ? "there is no mapfile " + path + " to continue from"
                                  : "cannot open " + path + ": " + ResultMessage(r);
    return r;
  }
  std::uint64_t size = 0;
  if (file.Size(size) == kSuccess && size > kMaxMapFileBytes) {
    error = path + " is too large to be a mapfile";
    return kErrInvalidParameter;
  }
  std::string text;
  if (Result r = ReadPrefix(file, kMaxMapFileBytes + 1, text); r != kSuccess) {
    error = "cannot read " + path + ": " + ResultMessage(r);
    return r;
  }
  if (text.size() > kMaxMapFileBytes) {
    error = path + " is too large to be a mapfile";
    return kErrInvalidParameter;
  }
  if (Result r = ParseImageMap(text, totalBytes, sectorSize, map, error); r != kSuccess) {
    error = path + ": " + error;
    return r;
  }
  return kSuccess;
}

}  // namespace

namespace {

// The sector size from the geometry and the range's length (count 0: to the end of the medium).
Result ResolveRange(const FileHandle& source, const MediumReader* container, const std::string& sourcePath,
                    std::uint64_t firstSector, std::uint64_t& sectorCount, std::int32_t& sectorSize,
                    std::string& error) {
  sectorSize = 512;
  DiskGeometry geometry;
  if (Result r = GetDriveGeometry(source, geometry); r != kSuccess) {
    error = "cannot read the geometry of " + sourcePath + ": " + ResultMessage(r);
    return r;
  }
  if (geometry.bytesPerSector != 0 && geometry.bytesPerSector <= (1u << 16))
    sectorSize = static_cast<std::int32_t>(geometry.bytesPerSector);
  std::uint64_t length = 0;
  if (container != nullptr) length = container->Size();
  else (void)GetLengthBytes(source, length);
  std::uint64_t mediumSectors = length / static_cast<std::uint64_t>(sectorSize);
  if (mediumSectors == 0) mediumSectors = geometry.cylinders * geometry.tracksPerCylinder * geometry.sectorsPerTrack;
  if (firstSector >= mediumSectors) {
    error = "sector " + std::to_string(firstSector) + " lies past the end of " + sourcePath + " (" +
            std::to_string(mediumSectors) + " sectors)";
    return kErrInvalidParameter;
  }
  if (sectorCount == 0) sectorCount = mediumSectors - firstSector;
  if (sectorCount > mediumSectors - firstSector) {
    error = "the range passes the end of " + sourcePath + " (" + std::to_string(mediumSectors) + " sectors)";
    return kErrInvalidParameter;
  }
  return kSuccess;
}

}  // namespace

Result MeasureImageSource(const std::string& sourcePath, std::uint64_t firstSector, std::uint64_t sectorCount,
                          std::uint64_t& imageBytes, std::string& error) {
  imageBytes = 0;
  FileHandle source;
  if (Result r = FileHandle::OpenReadOnly(sourcePath, source); r != kSuccess) {
    error = "cannot open " + sourcePath + ": " + ResultMessage(r);
    return r;
  }
  std::shared_ptr<MediumReader> container;
  if (Result r = OpenContainer(sourcePath, container, error); r != kSuccess) return r;
  std::int32_t sectorSize = 512;
  if (Result r = ResolveRange(source, container.get(), sourcePath, firstSector, sectorCount, sectorSize, error);
      r != kSuccess)
    return r;
  imageBytes = sectorCount * static_cast<std::uint64_t>(sectorSize);
  return kSuccess;
}

Result OpenImageCopy(ImageCopyJob& job, const std::string& imagePath, const std::string& sourcePath,
                     std::uint64_t firstSector, std::uint64_t sectorCount, ImageProgressCallback progress,
                     void* userData, ImageCopyOptions options) {
  CloseImageCopy(job);
  job.sourcePath = sourcePath;
  job.imagePath = imagePath;
  job.mapPath = ImageMapPath(imagePath);
  job.firstSector = firstSector;
  job.sectorCount = sectorCount;
  job.progress = progress;
  job.userData = userData;
  job.options = std::move(options);
  job.error.clear();
  job.failedSector = UINT64_MAX;
  job.bytesCopiedThisRun = 0;
  job.mapKept = false;
  job.sectorSize = 512;

  if (Result r = FileHandle::OpenReadOnly(sourcePath, job.source); r != kSuccess) {
    job.error = "cannot open " + sourcePath + ": " + ResultMessage(r);
    return r;
  }
  if (Result r = OpenContainer(sourcePath, job.container, job.error); r != kSuccess) return r;
  if (Result r = ResolveRange(job.source, job.container.get(), sourcePath, firstSector, job.sectorCount,
                              job.sectorSize, job.error);
      r != kSuccess)
    return r;
  job.options.blockBytes = std::max<std::uint32_t>(
      static_cast<std::uint32_t>(job.sectorSize),
      job.options.blockBytes / static_cast<std::uint32_t>(job.sectorSize) * static_cast<std::uint32_t>(job.sectorSize));
  // The source is read front to back once.
  (void)::posix_fadvise(job.source.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);

  // The image, under whatever name, must not be the source: a new copy empties it.
  struct stat sourceStat {};
  struct stat imageStat {};
  if (::stat(imagePath.c_str(), &imageStat) == 0 && ::fstat(job.source.fd(), &sourceStat) == 0 &&
      SameFile(sourceStat, imageStat)) {
    job.error = imagePath + " is the source itself";
    return kErrInvalidParameter;
  }
  // The names the copy writes are checked before it starts rather than when each is first used:
  // anything but a plain file there is someone else's (a link to a file elsewhere, a pipe that
  // would make us wait for ever), and a copy of hours should not end without its mapfile.
  struct stat imageName {};
  const bool imageExists = ::lstat(imagePath.c_str(), &imageName) == 0;
  for (const std::string& name : {imagePath, job.mapPath, job.mapPath + ".tmp"}) {
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0 || S_ISREG(st.st_mode)) continue;
    const bool link = S_ISLNK(st.st_mode);
    job.error = name + " is in the way: " +
                (link ? ResultMessage(kErrStoppedOnSymlink) : std::string("not a plain file (a pipe, device or folder)"));
    return link ? kErrStoppedOnSymlink : kErrAccessDenied;
  }
  if (job.options.resume) {
    if (Result r = ReadMapFile(job.mapPath, job.TotalBytes(), job.sectorSize, job.map, job.error); r != kSuccess)
      return r;
  } else {
    job.map.Reset(job.TotalBytes());
  }
  if (job.options.resume && !imageExists) {
    job.error = "there is no image " + imagePath + " to continue";
    return kErrFileNotFound;
  }
  // Opened as a plain file only: a link, pipe or device planted at the name since that look is
  // refused, never written through or waited on.
  if (Result r = FileHandle::OpenStateFile(imagePath, job.target); r != kSuccess) {
    job.error = "cannot open " + imagePath + ": " + ResultMessage(r);
    return r;
  }
  // Checked again on what was opened: the name may have changed hands since.
  if (::fstat(job.target.fd(), &imageStat) != 0 || ::fstat(job.source.fd(), &sourceStat) != 0) {
    const Result r = ResultFromErrno(errno);
    job.error = "cannot examine " + imagePath + ": " + ResultMessage(r);
    job.target.Close();
    return r;
  }
  if (SameFile(sourceStat, imageStat)) {
    job.error = imagePath + " is the source itself";
    job.target.Close();
    return kErrInvalidParameter;
  }
  // A file with other names could be anyone's (a hard link to a file elsewhere on the volume).
  if (imageStat.st_nlink > 1) {
    job.error = imagePath + " has other names (hard links); it is not written";
    job.target.Close();
    return kErrAccessDenied;
  }

  if (job.options.resume) {
    // The image must hold everything the mapfile says was handled.
    std::uint64_t handledEnd = 0;
    for (const ImageMapRange& r : job.map.Ranges())
      if (r.status != '?') handledEnd = r.pos + r.size;
    if (static_cast<std::uint64_t>(imageStat.st_size) < handledEnd) {
      job.error = imagePath + " is shorter than its mapfile says was copied";
      job.target.Close();
      return kErrInvalidParameter;
    }
    return kSuccess;
  }
  if (::ftruncate(job.target.fd(), 0) != 0) {
    const Result r = ResultFromErrno(errno);
    job.error = "cannot empty " + imagePath + ": " + ResultMessage(r);
    job.target.Close();
    return r;
  }
  // A mapfile of an earlier copy no longer describes this image.
  (void)::unlink(job.mapPath.c_str());
  return kSuccess;
}

Result OpenImageCopy(ImageCopyJob& job, const std::string& imagePath, std::int32_t driveNumber,
                     std::uint64_t firstSector, std::uint64_t sectorCount, ImageProgressCallback progress,
                     void* userData, ImageCopyOptions options) {
  std::string path;
  if (Result r = DrivePath(driveNumber, path); r != kSuccess) {
    job.error = "no drive number " + std::to_string(driveNumber);
    return r;
  }
  return OpenImageCopy(job, imagePath, path, firstSector, sectorCount, progress, userData, std::move(options));
}

void CloseImageCopy(ImageCopyJob& job) {
  job.container.reset();
  job.source.Close();
  job.target.Close();
}

namespace {

// Reads length bytes at pos (bytes from the first copied sector) of the source.
Result ReadSource(const ImageCopyJob& job, std::uint64_t pos, std::uint8_t* out, std::size_t length) {
  const std::uint64_t offset = job.firstSector * static_cast<std::uint64_t>(job.sectorSize) + pos;
  if (job.options.reader) return job.options.reader(offset, out, length);
  if (job.container) {
    for (std::size_t done = 0; done < length;) {
      const ssize_t n = job.container->ReadAt(offset + done, out + done, length - done);
      if (n <= 0) return kErrReadFault;
      done += static_cast<std::size_t>(n);
    }
    return kSuccess;
  }
  return job.source.ReadFully(out, length, offset);
}

// After a long run of failed reads: a bad area, or a source that is no longer there? A medium
// that was pulled shrinks to nothing; one that stopped answering fails a sector it read before
// (probe, bytes from the first copied sector; UINT64_MAX when none is known).
bool SourceGone(const ImageCopyJob& job, std::uint64_t probe) {
  std::uint64_t length = 0;
  const std::uint64_t end = (job.firstSector + job.sectorCount) * static_cast<std::uint64_t>(job.sectorSize);
  if (!job.container && GetLengthBytes(job.source, length) == kSuccess && length != 0 && length < end) return true;
  if (probe == UINT64_MAX) return false;
  std::vector<std::uint8_t> sector(static_cast<std::size_t>(job.sectorSize));
  return ReadSource(job, probe, sector.data(), sector.size()) != kSuccess;
}

// One block on its way from the reader thread to the writer.
struct Block {
  std::vector<std::uint8_t> data;
  std::uint64_t pos = 0;  // bytes from the first copied sector
  std::size_t length = 0;
  // Bytes from pos on that were read (or zero-filled for bad sectors with skipBad); less than
  // length when a sector stopped the copy.
  std::size_t goodLength = 0;
  Result result = kSuccess;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> bad;  // (pos, size) of unreadable stretches
  // With kErrNotReady: where the source went away (the start of the run of failures that ended
  // with it, which may lie in an earlier block).
  std::uint64_t goneAt = UINT64_MAX;
};

// Reads the areas still to copy, in order, into a small ring of blocks that the writer empties.
// Reading the next blocks while the last one is written keeps both the source and the target busy.
class BlockReader {
 public:
  static constexpr std::size_t kRing = 4;

  // knownGood: a sector that was copied before (UINT64_MAX: none), to tell a gone source by.
  BlockReader(const ImageCopyJob& job, std::vector<std::pair<std::uint64_t, std::uint64_t>> areas,
              std::uint64_t knownGood)
      : job_(job), areas_(std::move(areas)), ring_(kRing), lastGood_(knownGood) {
    for (Block& b : ring_) b.data.resize(job.options.blockBytes);
    thread_ = std::thread([this] { Loop(); });
  }
  ~BlockReader() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  // The next block in order, or nullptr when everything was read. Valid until Release.
  Block* Next() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return filled_ > 0 || finished_; });
    if (filled_ == 0) return nullptr;
    return &ring_[head_];
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      head_ = (head_ + 1) % kRing;
      --filled_;
    }
    changed_.notify_all();
  }

 private:
  // A block that failed as a whole, sector by sector: with skipBad the unreadable ones become
  // zeros; without, the block ends at the first of them. A source that went away ends it too.
  void ReadBySector(Block& b) {
    const auto sector = static_cast<std::size_t>(job_.sectorSize);
    b.goodLength = 0;
    b.result = kSuccess;
    for (std::size_t at = 0; at < b.length; at += sector) {
      const std::size_t n = std::min(sector, b.length - at);
      const Result r = ReadSource(job_, b.pos + at, b.data.data() + at, n);
      if (r == kSuccess) {
        runBytes_ = 0;
        lastGood_ = b.pos + at;
        b.goodLength = at + n;
        continue;
      }
      if (runBytes_ == 0) runStart_ = b.pos + at;
      runBytes_ += n;
      bool gone = r == kErrNotReady;
      if (!gone && job_.options.skipBad && job_.options.suspectRunBytes != 0 &&
          runBytes_ % job_.options.suspectRunBytes < n)
        gone = SourceGone(job_, lastGood_);
      if (gone) {
        b.result = kErrNotReady;
        b.goneAt = runStart_;
        return;
      }
      if (!job_.options.skipBad) {
        b.result = kErrReadFault;
        return;
      }
      std::fill_n(b.data.begin() + static_cast<std::ptrdiff_t>(at), n, std::uint8_t{0});
      if (!b.bad.empty() && b.bad.back().first + b.bad.back().second == b.pos + at) {
        b.bad.back().second += n;
      } else {
        b.bad.emplace_back(b.pos + at, n);
      }
      b.goodLength = at + n;
    }
  }

  void Loop() {
    const std::uint64_t blockBytes = job_.options.blockBytes;
    for (const auto& [areaPos, areaSize] : areas_) {
      for (std::uint64_t done = 0; done < areaSize;) {
        std::size_t slot = 0;
        {
          std::unique_lock<std::mutex> lock(mutex_);
          changed_.wait(lock, [this] { return filled_ < kRing || stop_; });
          if (stop_) {
            // Stopped by the writer: nobody waits for more blocks.
            finished_ = true;
            return;
          }
          slot = (head_ + filled_) % kRing;
        }
        Block& b = ring_[slot];
        b.pos = areaPos + done;
        b.length = static_cast<std::size_t>(std::min(blockBytes, areaSize - done));
        b.bad.clear();
        b.goneAt = UINT64_MAX;
        b.result = ReadSource(job_, b.pos, b.data.data(), b.length);
        b.goodLength = b.length;
        if (b.result == kSuccess) {
          runBytes_ = 0;
          lastGood_ = b.pos;
        } else {
          ReadBySector(b);
        }
        const bool stopHere = b.result != kSuccess;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          ++filled_;
        }
        changed_.notify_all();
        if (stopHere) return Finish();
        done += b.length;
      }
    }
    Finish();
  }

  void Finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    changed_.notify_all();
  }

  const ImageCopyJob& job_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> areas_;
  std::vector<Block> ring_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t head_ = 0;
  std::size_t filled_ = 0;
  bool stop_ = false;
  bool finished_ = false;
  // The reader thread's own: the current run of unreadable bytes and the last sector that read.
  std::uint64_t runStart_ = 0;
  std::uint64_t runBytes_ = 0;
  std::uint64_t lastGood_ = UINT64_MAX;
  std::thread thread_;
};

// The remaining-time estimate: -1 for the first five seconds, then recomputed every five.
class TimeEstimate {
 public:
  explicit TimeEstimate(std::uint32_t start) : start_(start), last_(start) {}
  std::int32_t Update(std::uint32_t now, std::uint64_t doneThisRun, std::uint64_t remaining) {
    if (now - last_ <= 4999) return secondsLeft_;
    last_ = now;
    const std::uint64_t elapsedSeconds = (now - start_) / 1000;
    std::uint64_t bytesPerSecond = elapsedSeconds == 0 ? 0 : doneThisRun / elapsedSeconds;
    if (bytesPerSecond == 0) bytesPerSecond = 1;
    secondsLeft_ = static_cast<std::int32_t>(std::min<std::uint64_t>(remaining / bytesPerSecond, INT32_MAX));
    return secondsLeft_;
  }

 private:
  std::uint32_t start_;
  std::uint32_t last_;
  std::int32_t secondsLeft_ = -1;
};

}  // namespace

namespace {

// Reports progress and saves the mapfile when it is time; the callback's value (non-zero stops).
class CopyPacer {
 public:
  CopyPacer(ImageCopyJob& job, std::function<std::uint32_t()> clock)
      : job_(job), clock_(std::move(clock)), start_(clock_()), lastSave_(start_), estimate_(start_) {}

  std::int32_t Report(std::uint64_t done, std::uint64_t position) {
    const std::uint64_t total = job_.TotalBytes();
    const auto sector = static_cast<std::uint64_t>(job_.sectorSize);
    const std::uint32_t now = clock_();
    const std::int32_t secondsLeft = estimate_.Update(now, job_.bytesCopiedThisRun, total - done);
    if (job_.progress != nullptr) {
      const auto percent = static_cast<std::int32_t>(total == 0 ? 100 : done * 100 / total);
      if (std::int32_t stop = job_.progress(job_.userData, percent, done / sector, total / sector, secondsLeft);
          stop != 0)
        return stop;
    }
    if (now - lastSave_ >= job_.options.mapSaveIntervalMs) {
      // The image's data reaches the disk before a mapfile that says it is there.
      (void)::fdatasync(job_.target.fd());
      std::string ignored;
      (void)SaveMap(job_, position, '?', ignored);
      lastSave_ = now;
    }
    return 0;
  }
  std::uint32_t Elapsed() const { return clock_() - start_; }

 private:
  ImageCopyJob& job_;
  std::function<std::uint32_t()> clock_;
  std::uint32_t start_;
  std::uint32_t lastSave_;
  TimeEstimate estimate_;
};

void SourceWentAway(ImageCopyJob& job, std::uint64_t at) {
  job.goneAt = at;
  job.error = job.sourcePath + " went away at byte " + std::to_string(at) + " of the copy (sector " +
              std::to_string(job.firstSector + at / static_cast<std::uint64_t>(job.sectorSize)) + ")";
}

// The first pass: every area still to try, in order, in whole blocks.
Result CopyPass(ImageCopyJob& job, CopyPacer& pacer, std::uint64_t& position) {
  const auto sector = static_cast<std::uint64_t>(job.sectorSize);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> areas;
  std::uint64_t done = 0;  // bytes handled, by this run or an earlier one
  std::uint64_t knownGood = UINT64_MAX;
  for (const ImageMapRange& r : job.map.Ranges()) {
    if (r.status == '?') {
      areas.emplace_back(r.pos, r.size);
    } else {
      done += r.size;
      if (r.status == '+') knownGood = r.pos + r.size - sector;
    }
  }
  BlockReader reader(job, std::move(areas), knownGood);
  while (Block* b = reader.Next()) {
    const std::size_t keep = b->result == kSuccess ? b->length : b->goodLength;
    if (keep > 0) {
      if (Result w = WriteAll(job.target, b->data.data(), keep, b->pos); w != kSuccess) {
        job.error = "cannot write " + job.imagePath + ": " + ResultMessage(w);
        return w;
      }
      job.map.Mark(b->pos, keep, '+');
      for (const auto& [pos, size] : b->bad) job.map.Mark(pos, size, '-');
      done += keep;
      job.bytesCopiedThisRun += keep;
      position = b->pos + keep;
    }
    if (b->result == kErrNotReady) {
      // The failures that led up to it were the source going, not bad sectors: left to try.
      if (position > b->goneAt) job.map.Mark(b->goneAt, position - b->goneAt, '?');
      position = std::min(position, b->goneAt);
      SourceWentAway(job, b->goneAt);
      return kErrNotReady;
    }
    if (b->result != kSuccess) {
      job.failedSector = job.firstSector + (b->pos + b->goodLength) / sector;
      job.error = "read fault at sector " + std::to_string(job.failedSector) + " of " + job.sourcePath;
      return b->result;
    }
    reader.Release();
    if (std::int32_t stop = pacer.Report(done, position); stop != 0) return stop;
  }
  return kSuccess;
}

// One retry pass: every sector still marked unreadable is read again; what reads is written.
Result RetryPass(ImageCopyJob& job, CopyPacer& pacer) {
  constexpr std::uint64_t kReportEvery = 128;  // sectors between reports (and cancel checks)
  const auto sector = static_cast<std::uint64_t>(job.sectorSize);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> bad;
  for (const ImageMapRange& r : job.map.Ranges())
    if (r.status == '-') bad.emplace_back(r.pos, r.size);
  std::vector<std::uint8_t> data(static_cast<std::size_t>(sector));
  std::uint64_t tried = 0;
  for (const auto& [areaPos, areaSize] : bad) {
    for (std::uint64_t pos = areaPos; pos < areaPos + areaSize; pos += sector) {
      const Result r = ReadSource(job, pos, data.data(), data.size());
      if (r == kErrNotReady) {
        SourceWentAway(job, pos);
        return r;
      }
      if (r == kSuccess) {
        if (Result w = WriteAll(job.target, data.data(), data.size(), pos); w != kSuccess) {
          job.error = "cannot write " + job.imagePath + ": " + ResultMessage(w);
          return w;
        }
        job.map.Mark(pos, sector, '+');
        job.bytesCopiedThisRun += sector;
      }
      if (++tried % kReportEvery == 0 || pos + sector == areaPos + areaSize) {
        const std::uint64_t done = job.TotalBytes() - job.map.BytesWith('?');
        if (std::int32_t stop = pacer.Report(done, pos + sector); stop != 0) return stop;
      }
    }
  }
  return kSuccess;
}

}  // namespace

Result RunImageCopy(ImageCopyJob& job) {
  if (!job.source.IsValid() || !job.target.IsValid()) return kErrInvalidHandle;
  const std::uint64_t total = job.TotalBytes();
  job.bytesCopiedThisRun = 0;
  job.failedSector = UINT64_MAX;
  job.goneAt = UINT64_MAX;
  CopyPacer pacer(job, job.options.clock ? job.options.clock : [] { return TickCountMs(); });

  std::uint64_t position = 0;
  Result result = CopyPass(job, pacer, position);
  for (std::uint32_t pass = 0; result == kSuccess && pass < job.options.retries && job.map.BytesWith('-') != 0; ++pass)
    result = RetryPass(job, pacer);
  job.elapsedMs = pacer.Elapsed();

  if (result == kSuccess) {
    // A resumed image that was longer than the range ends with it.
    if (::ftruncate(job.target.fd(), static_cast<off_t>(total)) != 0) {
      result = ResultFromErrno(errno);
      job.error = "cannot set the length of " + job.imagePath + ": " + ResultMessage(result);
    }
  }
  if (result == kSuccess && job.map.BytesWith('-') == 0) {
    // Nothing to continue and nothing to report.
    (void)::unlink(job.mapPath.c_str());
    job.mapKept = false;
    return kSuccess;
  }
  (void)::fdatasync(job.target.fd());
  std::string failedPath;
  const Result saved =
      SaveMap(job, result == kSuccess ? total : position, result == kSuccess ? '+' : '?', failedPath);
  job.mapKept = saved == kSuccess;
  if (result == kErrNotReady && job.mapKept)
    job.error += "; what was copied stays in " + job.imagePath + " and " + job.mapPath + ", to continue once it is back";
  if (saved != kSuccess && result == kSuccess) {
    job.error = "cannot write " + failedPath + ": " + ResultMessage(saved);
    return saved;
  }
  return result;
}

}  // namespace rexmoor
