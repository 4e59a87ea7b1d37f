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

Result SaveMap(const ImageCopyJob& job, std::uint64_t currentPos, char currentStatus) {
  if (job.mapPath.empty()) return kSuccess;
  const std::string text = FormatImageMap(job.map, currentPos, currentStatus);
  const std::string temp = job.mapPath + ".tmp";
  FileHandle file;
  if (Result r = FileHandle::OpenReadWrite(temp, file, true); r != kSuccess) return r;
  if (Result r = WriteAll(file, text.data(), text.size(), 0); r != kSuccess) return r;
  if (Result r = file.Sync(); r != kSuccess) return r;
  file.Close();
  if (::rename(temp.c_str(), job.mapPath.c_str()) != 0) return ResultFromErrno(errno);
  return kSuccess;
}

Result ReadMapFile(const std::string& path, std::uint64_t totalBytes, std::int32_t sectorSize, ImageMap& map,
                   std::string& error) {
  FileHandle file;
  if (Result r = FileHandle::OpenReadOnly(path, file); r != kSuccess) {
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
Result ResolveRange(const FileHandle& source, const std::string& sourcePath, std::uint64_t firstSector,
                    std::uint64_t& sectorCount, std::int32_t& sectorSize, std::string& error) {
  sectorSize = 512;
  DiskGeometry geometry;
  if (Result r = GetDriveGeometry(source, geometry); r != kSuccess) {
    error = "cannot read the geometry of " + sourcePath + ": " + ResultMessage(r);
    return r;
  }
  if (geometry.bytesPerSector != 0 && geometry.bytesPerSector <= (1u << 16))
    sectorSize = static_cast<std::int32_t>(geometry.bytesPerSector);
  std::uint64_t length = 0;
  (void)GetLengthBytes(source, length);
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
  std::int32_t sectorSize = 512;
  if (Result r = ResolveRange(source, sourcePath, firstSector, sectorCount, sectorSize, error); r != kSuccess)
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
  if (Result r = ResolveRange(job.source, sourcePath, firstSector, job.sectorCount, job.sectorSize, job.error);
      r != kSuccess)
    return r;
  job.options.blockBytes = std::max<std::uint32_t>(
      static_cast<std::uint32_t>(job.sectorSize),
      job.options.blockBytes / static_cast<std::uint32_t>(job.sectorSize) * static_cast<std::uint32_t>(job.sectorSize));
  // The source is read front to back once.
  (void)::posix_fadvise(job.source.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);

  // Opening the image truncates it: it must not be the source under another name.
  struct stat sourceStat {};
  struct stat imageStat {};
  const bool imageExists = ::stat(imagePath.c_str(), &imageStat) == 0;
  if (imageExists && ::fstat(job.source.fd(), &sourceStat) == 0 && SameFile(sourceStat, imageStat)) {
    job.error = imagePath + " is the source itself";
    return kErrInvalidParameter;
  }
  if (imageExists && !S_ISREG(imageStat.st_mode)) {
    job.error = imagePath + " is not a regular file";
    return kErrInvalidParameter;
  }

  if (job.options.resume) {
    if (Result r = ReadMapFile(job.mapPath, job.TotalBytes(), job.sectorSize, job.map, job.error); r != kSuccess)
      return r;
    if (!imageExists) {
      job.error = "there is no image " + imagePath + " to continue";
      return kErrFileNotFound;
    }
    // The image must hold everything the mapfile says was handled.
    std::uint64_t handledEnd = 0;
    for (const ImageMapRange& r : job.map.Ranges())
      if (r.status != '?') handledEnd = r.pos + r.size;
    if (static_cast<std::uint64_t>(imageStat.st_size) < handledEnd) {
      job.error = imagePath + " is shorter than its mapfile says was copied";
      return kErrInvalidParameter;
    }
    if (Result r = FileHandle::OpenReadWrite(imagePath, job.target, false); r != kSuccess) {
      job.error = "cannot open " + imagePath + ": " + ResultMessage(r);
      return r;
    }
    return kSuccess;
  }
  job.map.Reset(job.TotalBytes());
  if (Result r = FileHandle::OpenReadWrite(imagePath, job.target, true); r != kSuccess) {
    job.error = "cannot create " + imagePath + ": " + ResultMessage(r);
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
  job.source.Close();
  job.target.Close();
}

namespace {

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
};

// Reads the areas still to copy, in order, into a small ring of blocks that the writer empties.
// Reading the next blocks while the last one is written keeps both the source and the target busy.
class BlockReader {
 public:
  static constexpr std::size_t kRing = 4;

  BlockReader(const ImageCopyJob& job, std::vector<std::pair<std::uint64_t, std::uint64_t>> areas)
      : job_(job), areas_(std::move(areas)), ring_(kRing) {
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
  Result ReadAt(std::uint64_t pos, std::uint8_t* out, std::size_t length) const {
    const std::uint64_t offset = job_.firstSector * static_cast<std::uint64_t>(job_.sectorSize) + pos;
    if (job_.options.reader) return job_.options.reader(offset, out, length);
    return job_.source.ReadFully(out, length, offset);
  }

  // A block that failed as a whole, sector by sector: with skipBad the unreadable ones become
  // zeros; without, the block ends at the first of them.
  void ReadBySector(Block& b) const {
    const auto sector = static_cast<std::size_t>(job_.sectorSize);
    b.goodLength = 0;
    b.result = kSuccess;
    for (std::size_t at = 0; at < b.length; at += sector) {
      const std::size_t n = std::min(sector, b.length - at);
      const Result r = ReadAt(b.pos + at, b.data.data() + at, n);
      if (r != kSuccess) {
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
        b.result = ReadAt(b.pos, b.data.data(), b.length);
        b.goodLength = b.length;
        if (b.result != kSuccess) ReadBySector(b);
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

Result RunImageCopy(ImageCopyJob& job) {
  if (!job.source.IsValid() || !job.target.IsValid()) return kErrInvalidHandle;
  const std::function<std::uint32_t()> clock = job.options.clock ? job.options.clock : [] { return TickCountMs(); };
  const std::uint64_t total = job.TotalBytes();
  const auto sector = static_cast<std::uint64_t>(job.sectorSize);
  const std::uint32_t start = clock();
  std::uint32_t lastSave = start;
  TimeEstimate estimate(start);
  job.bytesCopiedThisRun = 0;
  job.failedSector = UINT64_MAX;

  std::vector<std::pair<std::uint64_t, std::uint64_t>> areas;
  std::uint64_t done = 0;  // bytes handled, by this run or an earlier one
  for (const ImageMapRange& r : job.map.Ranges()) {
    if (r.status == '?') {
      areas.emplace_back(r.pos, r.size);
    } else {
      done += r.size;
    }
  }

  Result result = kSuccess;
  std::uint64_t position = 0;
  {
    BlockReader reader(job, std::move(areas));
    while (Block* b = reader.Next()) {
      const std::size_t keep = b->result == kSuccess ? b->length : b->goodLength;
      if (keep > 0) {
        if (Result w = WriteAll(job.target, b->data.data(), keep, b->pos); w != kSuccess) {
          job.error = "cannot write " + job.imagePath + ": " + ResultMessage(w);
          result = w;
          break;
        }
        job.map.Mark(b->pos, keep, '+');
        for (const auto& [pos, size] : b->bad) job.map.Mark(pos, size, '-');
        done += keep;
        job.bytesCopiedThisRun += keep;
        position = b->pos + keep;
      }
      if (b->result != kSuccess) {
        job.failedSector = job.firstSector + (b->pos + b->goodLength) / sector;
        job.error = "read fault at sector " + std::to_string(job.failedSector) + " of " + job.sourcePath;
        result = b->result;
        break;
      }
      reader.Release();
      const std::uint32_t now = clock();
      const std::int32_t secondsLeft = estimate.Update(now, job.bytesCopiedThisRun, total - done);
      if (job.progress != nullptr) {
        const auto percent = static_cast<std::int32_t>(total == 0 ? 100 : done * 100 / total);
        if (std::int32_t stop = job.progress(job.userData, percent, done / sector, total / sector, secondsLeft);
            stop != 0) {
          result = stop;
          break;
        }
      }
      if (now - lastSave >= job.options.mapSaveIntervalMs) {
        // The image's data reaches the disk before a mapfile that says it is there.
        (void)::fdatasync(job.target.fd());
        (void)SaveMap(job, position, '?');
        lastSave = now;
      }
    }
  }
  job.elapsedMs = clock() - start;

  if (result == kSuccess) {
    // A resumed image that was longer than the range ends with it.
    if (::ftruncate(job.target.fd(), static_cast<off_t>(total)) != 0) {
      job.error = "cannot set the length of " + job.imagePath + ": " + ResultMessage(ResultFromErrno(errno));
      result = ResultFromErrno(errno);
    }
  }
  if (result == kSuccess && job.map.BytesWith('-') == 0) {
    // Nothing to continue and nothing to report.
    (void)::unlink(job.mapPath.c_str());
    job.mapKept = false;
    return kSuccess;
  }
  (void)::fdatasync(job.target.fd());
  const Result saved = SaveMap(job, result == kSuccess ? total : position, result == kSuccess ? '+' : '?');
  job.mapKept = saved == kSuccess;
  if (saved != kSuccess && result == kSuccess) {
    job.error = "cannot write " + job.mapPath + ": " + ResultMessage(saved);
    return saved;
  }
  return result;
}

}  // namespace rexmoor
