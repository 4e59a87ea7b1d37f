#include "scan/professional_recovery.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "engine/file_type_lists.h"
#include "engine/volume_recovery_base.h"
#include "formats/carving_context.h"
#include "platform/clock.h"
#include "platform/drives.h"
#include "platform/file_handle.h"
#include "platform/geometry.h"
#include "platform/text.h"
#include "scan/engine_factory.h"

namespace rexmoor {

namespace {

// The resume values: five unsigned 64-bit numbers, stored as ten 32-bit halves, low half first.
enum ResumeSlot : std::size_t { kRangeStart, kRangeLength, kPositionInRange, kSectorsDone, kFilesFound };

ResumeValues PackResume(const SweepPosition& position, std::uint64_t filesFound) {
  const std::uint64_t values[] = {position.rangeStart, position.rangeLength, position.positionInRange,
                                  position.sectorsDone, filesFound};
  ResumeValues packed{};
  for (std::size_t k = 0; k < 5; ++k) {
    packed[2 * k] = static_cast<std::int32_t>(static_cast<std::uint32_t>(values[k]));
    packed[2 * k + 1] = static_cast<std::int32_t>(static_cast<std::uint32_t>(values[k] >> 32));
  }
  return packed;
}

// The carver's state where the sweep stopped, kept beside the logs: a continued scan must carve
// on as the stopped one would have (text inside a carved container is not text of its own, a
// transport stream's packets are not new streams). The index holds the position only.
constexpr const char* kSweepStateName = "Sweep_State";
constexpr const char* kSweepStateHeader = "rexmoor sweep state 1";
// More stream extents than this are not kept: the continued scan then starts with none.
constexpr std::size_t kMaxSavedExtents = 65536;

std::string SweepStateText(const SweepPosition& at, const CarvingContext& carving, std::uint64_t containerEnd,
                           std::uint64_t fromSector) {
  std::vector<TsExtentList::Extent> reaching;
  for (const TsExtentList::Extent& e : carving.tsExtents.extents())
    if (e.last >= fromSector) reaching.push_back(e);
  if (reaching.size() > kMaxSavedExtents) reaching.clear();
  std::string text = std::string(kSweepStateHeader) + "\nposition " + std::to_string(at.rangeStart) + " " +
                     std::to_string(at.rangeLength) + " " + std::to_string(at.positionInRange) + " " +
                     std::to_string(at.sectorsDone) + "\ncarving " + std::to_string(containerEnd) + " " +
                     (carving.tsStreamMode ? "1" : "0") + " " + (carving.mtsInProgress ? "1" : "0") + " " +
                     std::to_string(reaching.size()) + "\n";
  for (const TsExtentList::Extent& e : reaching) text += std::to_string(e.first) + " " + std::to_string(e.last) + "\n";
  return text;
}

// Reads back what SweepStateText wrote, for the position the index gives; false (nothing
// changed) when the file is malformed or belongs to another place.
bool ApplySweepState(const std::string& text, const SweepPosition& at, CarvingContext& carving,
                     std::uint64_t& containerEnd) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kSweepStateHeader) return false;
  std::string word;
  SweepPosition saved;
  if (!(in >> word) || word != "position" ||
      !(in >> saved.rangeStart >> saved.rangeLength >> saved.positionInRange >> saved.sectorsDone))
    return false;
  if (saved.rangeStart != at.rangeStart || saved.rangeLength != at.rangeLength ||
      saved.positionInRange != at.positionInRange || saved.sectorsDone != at.sectorsDone)
    return false;
  std::uint64_t end = 0;
  int ts = 0;
  int mts = 0;
  std::size_t count = 0;
  if (!(in >> word) || word != "carving" || !(in >> end >> ts >> mts >> count) || ts < 0 || ts > 1 || mts < 0 ||
      mts > 1 || count > kMaxSavedExtents)
    return false;
  TsExtentList extents;
  for (std::size_t k = 0; k < count; ++k) {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    if (!(in >> first >> last) || last < first) return false;
    extents.Add(first, last);
  }
  containerEnd = end;
  carving.tsStreamMode = ts == 1;
  carving.mtsInProgress = mts == 1;
  carving.tsExtents = std::move(extents);
  return true;
}

// The image's path as the index remembers it: absolute, so that the same image is recognised
// whatever the working folder. Links are not resolved: a path like /proc/self/fd/N names an open
// file that its link target may not.
std::string CanonicalImagePath(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return ec ? path : absolute.lexically_normal().string();
}

// The fingerprint of a range of an image named as a drive (IMAGE@START+COUNT). Such an image is
// numbered by the order a run added it, so the drive number, start and count alone would take a
// range of another image, scanned first in an earlier run, for this one. Its fingerprint therefore
// takes in which file it is and when it was last written, beside its free bytes.
std::uint64_t AddedImageFingerprint(std::int32_t driveNumber, std::uint64_t freeBytes) {
  std::string path;
  if (DrivePath(driveNumber, path) != kSuccess) return freeBytes;
  std::uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
  const auto mix = [&hash](std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) hash = (hash ^ ((value >> (8 * i)) & 0xFF)) * 0x100000001b3ull;
  };
  for (const unsigned char c : CanonicalImagePath(path)) mix(c, 1);
  mix(ImageWriteTime(path), 8);
  mix(freeBytes, 8);
  return hash;
}

// Engines that keep a map of the volume's clusters: the quick engines built on the volume frame
// (FAT, NTFS, exFAT, ext).
CVolumeRecoveryBase* MappingEngine(IFileRecoveryParse* engine) {
  return engine == nullptr ? nullptr : dynamic_cast<CVolumeRecoveryBase*>(engine);
}

bool IsQuickTag(std::int32_t tag) {
  return tag == kTagFastFat || tag == kTagFastNtfs || tag == kTagFastExfat || tag == kTagFastExt;
}
bool IsFormattedTag(std::int32_t tag) { return tag == kTagProFat || tag == kTagProNtfs || tag == kTagProExfat; }

}  // namespace

CProfessionalRecovery::CProfessionalRecovery() { carvingEngine_.SetCallbacks(nullptr, nullptr, nullptr, kSweepWeight); }

CProfessionalRecovery::~CProfessionalRecovery() { quickEngine_.reset(); }

// --- opening ----------------------------------------------------------------------------------------

Result CProfessionalRecovery::OpenImageFile(const std::string& imagePath, std::uint16_t sourceTag) {
  SectorSource image;
  if (Result r = OpenImageSource(imagePath, image); r != kSuccess) return r;
  const std::uint64_t bytes = image.totalSectors * 512;
  CloseSource(image);
  sourceTag_ = sourceTag;
  sectorSize_ = 512;
  driveNumber_ = kImageDriveNumber;
  partitionStartSector_ = 0;
  partitionSectors_ = bytes / 512;
  imagePath_ = CanonicalImagePath(imagePath);
  open_ = true;

  resumeFound_ = GetScanLogIndex().FindImageScan(imagePath_, resumeEntry_);
  resumeFolder_ = resumeFound_ ? resumeEntry_.FolderPath() : std::string();
  (void)fatEngine_.OpenImageFile(imagePath_, sourceTag);
  (void)exfatEngine_.OpenImageFile(imagePath_, sourceTag);
  const Result ntfs = ntfsEngine_.OpenImageFile(imagePath_, sourceTag);
  quickEngine_ = CreateEngineForImage(imagePath_, sourceTag, false);
  return ntfs;
}

Result CProfessionalRecovery::OpenDisk(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                                       std::uint16_t sourceTag) {
  sourceTag_ = sourceTag;
  driveNumber_ = driveNumber;
  partitionStartSector_ = startSector;
  partitionSectors_ = sectorCount;
  imagePath_.clear();
  {
    SectorSource drive;
    if (OpenDriveSource(drive, driveNumber) == kSuccess) {
      sectorSize_ = SourceSectorSize(drive);
      // A range passing the drive's end is swept only as far as the drive goes.
      if (startSector >= drive.totalSectors) partitionSectors_ = 0;
      else partitionSectors_ = std::min(sectorCount, drive.totalSectors - startSector);
      CloseSource(drive);
    }
  }
  open_ = true;
  (void)fatEngine_.OpenDisk(driveNumber, startSector, sectorCount, sourceTag);
  (void)exfatEngine_.OpenDisk(driveNumber, startSector, sectorCount, sourceTag);
  const Result ntfs = ntfsEngine_.OpenDisk(driveNumber, startSector, sectorCount, sourceTag);
  quickEngine_ = CreateEngineForDisk(driveNumber, startSector, sectorCount, sourceTag, false);

  // The partition's fingerprint: its free bytes, as the live file system's map counts them, so
  // that a volume written to since is not taken for the one scanned before.
  freeBytes_ = UsesFreeRanges() ? FreeRangeSectors() * static_cast<std::uint64_t>(sectorSize_) : 0;
  if (driveNumber >= kFirstAddedImageDrive) freeBytes_ = AddedImageFingerprint(driveNumber, freeBytes_);
  resumeFound_ = GetScanLogIndex().FindDiskScan(driveNumber, startSector, sectorCount, freeBytes_, resumeEntry_);
  resumeFolder_ = resumeFound_ ? resumeEntry_.FolderPath() : std::string();
  return ntfs;
}

Result CProfessionalRecovery::SetCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback,
                                           void* userData, std::int32_t) {
  callbacks_.Set(scanCallback, fileCallback, userData, kSweepWeight);
  if (quickEngine_) quickEngine_->SetCallbacks(scanCallback, fileCallback, userData, kQuickPhaseWeight);
  fatEngine_.SetCallbacks(scanCallback, fileCallback, userData, kSweepWeight);
  exfatEngine_.SetCallbacks(scanCallback, fileCallback, userData, kSweepWeight);
  ntfsEngine_.SetCallbacks(scanCallback, fileCallback, userData, kSweepWeight);
  carvingEngine_.SetCallbacks(scanCallback, fileCallback, userData, kSweepWeight);
  return kSuccess;
}

std::int32_t CProfessionalRecovery::ForwardReport(void* self, std::int32_t progress, std::int32_t weight,
                                                  std::int32_t secondsLeft, std::uint64_t sectorsDone,
                                                  std::uint64_t sectorsTotal, std::uint64_t filesFound,
                                                  std::int32_t reserved) {
  auto* engine = static_cast<CProfessionalRecovery*>(self);
  if (engine == nullptr || engine->callbacks_.scan == nullptr) return 0;
  engine->highProgress_ = std::max(engine->highProgress_, std::min(progress, 100));
  engine->highSectorsDone_ = std::min(std::max(engine->highSectorsDone_, sectorsDone), sectorsTotal);
  // The carver's walks report its own counter; every report carries the merged figure instead.
  (void)filesFound;
  return engine->callbacks_.scan(engine->callbacks_.userData, engine->highProgress_, weight, secondsLeft,
                                 engine->highSectorsDone_, sectorsTotal, engine->ShownFileCount(false), reserved);
}

std::uint64_t CProfessionalRecovery::ShownFileCount(bool force) {
  const std::uint64_t raw = GetFoundCount();
  const std::uint32_t now = TickCountMs();
  // At most a tenth of the scan's time goes to counting, and never more than once a second.
  const std::uint32_t interval = std::max<std::uint32_t>(1000, countCostMs_ * 10);
  if (!force && shownCounted_ && (raw == shownAtRaw_ || now - shownAtMs_ < interval)) return shownFiles_;
  shownFiles_ = CountResultFiles();
  shownAtRaw_ = raw;
  shownAtMs_ = TickCountMs();
  countCostMs_ = shownAtMs_ - now;
  shownCounted_ = true;
  return shownFiles_;
}

void CProfessionalRecovery::ClearPreviousScan() {
  resumeFound_ = false;
  GetScanLogIndex().StopReusing();
}

std::string CProfessionalRecovery::PreviousScanFolder() const { return resumeFolder_; }

// --- the deep scan ------------------------------------------------------------------------------------

std::string CProfessionalRecovery::EarlierLog(const char* prefix) const {
  std::string name;
  if (!ScanLogIndex::FindLogFile(resumeFolder_, prefix, name)) name.clear();
  return name;
}

Result CProfessionalRecovery::CatalogueError() const {
  for (Result r : {fatEngine_.CatalogueError(), ntfsEngine_.CatalogueError(), exfatEngine_.CatalogueError(),
                   carvingEngine_.CatalogueError()})
    if (r != kSuccess) return r;
  if (const auto* quick = MappingEngine(quickEngine_.get()); quick != nullptr) return quick->CatalogueError();
  return kSuccess;
}

Result CProfessionalRecovery::BeginCatalogues() {
  if (report_.resumed) {
    const std::string carved = EarlierLog("File_Type_");
    if (imagePath_.empty()) {
      (void)carvingEngine_.ResumeOpenDisk(sectorSize_, driveNumber_, carved, sourceTag_);
    } else {
      (void)carvingEngine_.ResumeOpenImage(sectorSize_, carved, sourceTag_, imagePath_);
    }
    const std::string fat = EarlierLog("Pro_Fat_");
    const std::string ntfs = EarlierLog("Pro_Ntfs_");
    const std::string exfat = EarlierLog("Pro_Exfat_");
    (void)fatEngine_.BeginFormattedCatalogue(fat.empty() ? nullptr : fat.c_str());
    (void)ntfsEngine_.BeginNtfsCatalogue(ntfs.empty() ? nullptr : ntfs.c_str());
    (void)exfatEngine_.BeginFormattedCatalogue(exfat.empty() ? nullptr : exfat.c_str());
    return CatalogueError();
  }
  if (imagePath_.empty()) {
    (void)carvingEngine_.OpenDisk(driveNumber_, partitionStartSector_, partitionSectors_, sourceTag_);
  } else {
    (void)carvingEngine_.OpenImageFile(imagePath_, sourceTag_);
  }
  (void)fatEngine_.BeginFormattedCatalogue(nullptr);
  (void)ntfsEngine_.BeginNtfsCatalogue(nullptr);
  (void)exfatEngine_.BeginFormattedCatalogue(nullptr);
  return CatalogueError();
}

bool CProfessionalRecovery::UsesFreeRanges() {
  CVolumeRecoveryBase* mapping = MappingEngine(quickEngine_.get());
  if (mapping == nullptr || mapping->BuildFreeSpaceMap() != kSuccess) return false;
  // Free ranges count in the volume's sectors; the sweep reads the medium's.
  const auto volume = static_cast<std::uint64_t>(mapping->VolumeSectorSize());
  const auto medium = static_cast<std::uint64_t>(sectorSize_);
  if (volume < medium || volume % medium != 0) return false;
  volumeSectorFactor_ = volume / medium;
  return true;
}

void CProfessionalRecovery::NextFreeRange(std::uint64_t from, std::uint64_t& start, std::uint64_t& length) {
  start = 0;
  length = 0;
  auto* mapping = MappingEngine(quickEngine_.get());
  if (mapping == nullptr) return;
  const std::uint64_t f = volumeSectorFactor_;
  // A range that starts inside a volume sector would be swept twice; the medium's ranges always
  // begin on volume-sector boundaries.
  std::uint64_t volumeStart = (from + f - 1) / f;
  std::uint64_t volumeLength = 0;
  if (mapping->GetNextFreeRange(&volumeStart, &volumeLength) == 0 || volumeLength == 0) return;
  if (volumeStart > UINT64_MAX / f || volumeLength > UINT64_MAX / f) return;
  start = volumeStart * f;
  length = volumeLength * f;
}

std::uint64_t CProfessionalRecovery::FreeRangeSectors() {
  std::uint64_t total = 0;
  std::uint64_t from = 0;
  for (;;) {
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    NextFreeRange(from, start, length);
    if (length == 0 || start < from || length > UINT64_MAX - start) break;
    total += length;
    from = start + length;
  }
  return total;
}

Result CProfessionalRecovery::ReportSweep(const SweepPosition& position, std::int32_t secondsLeft) {
  report_.position = position;
  report_.filesFound = GetFoundCount();
  if (callbacks_.scan == nullptr) return kSuccess;
  // The sweep's share ends at 100: the finishing passes and the final report come after it.
  const std::uint64_t total = report_.sectorsTotal;
  const std::uint64_t done = std::min(position.sectorsDone, total);
  return ForwardReport(this, SweepProgressFigure(done, total), kSweepWeight, secondsLeft, done, total, 0, 0);
}

void CProfessionalRecovery::SaveResumeState() {
  ScanLogIndex& index = GetScanLogIndex();
  ScanSourceIdentity identity;
  identity.sourceTag = sourceTag_;
  identity.driveNumber = driveNumber_;
  identity.startSector = partitionStartSector_;
  identity.sectorCount = partitionSectors_;
  identity.imagePath = imagePath_;
  identity.freeBytes = freeBytes_;
  const std::string folder = report_.resumed ? resumeFolder_ : index.CurrentScanFolder();
  report_.saved = index.SaveScan(identity, PackResume(report_.position, report_.filesFound), folder) == kSuccess;
  if (!report_.resumed) resumeFolder_ = folder;
  if (report_.saved && report_.swept) SaveSweepState(folder);
}

void CProfessionalRecovery::SaveSweepState(const std::string& folder) {
  const SweepPosition& at = report_.position;
  const std::uint64_t from = partitionStartSector_ + at.rangeStart + at.positionInRange;
  const std::string text = SweepStateText(at, carvingEngine_.Carving(), carvingEngine_.ContainerEnd(), from);
  // Written whole under another name and renamed, so that a crash never leaves half a state.
  const std::string path = folder + kSweepStateName;
  const std::string temp = path + ".tmp";
  (void)::unlink(temp.c_str());
  FileHandle file;
  bool written =
      FileHandle::CreatePrivate(temp, file) == kSuccess && WriteAll(file, text.data(), text.size(), 0) == kSuccess;
  file.Close();
  written = written && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!written) {
    (void)::unlink(temp.c_str());
    // No state is better than a stale one: the continued scan then carves from a fresh state.
    (void)::unlink(path.c_str());
  }
}

void CProfessionalRecovery::RestoreSweepState(const SweepPosition& at) {
  FileHandle file;
  if (FileHandle::OpenStateFile(resumeFolder_ + kSweepStateName, file, true) != kSuccess) return;
  std::string text;
  if (ReadPrefix(file, 8u << 20, text) != kSuccess) return;
  (void)ApplySweepState(text, at, carvingEngine_.Carving(), carvingEngine_.ContainerEnd());
}

bool CProfessionalRecovery::EarlierScanHoldsUp(std::string& why) {
  const std::string folder = resumeFolder_.size() > 1 && resumeFolder_.back() == '/'
                                 ? resumeFolder_.substr(0, resumeFolder_.size() - 1)
                                 : resumeFolder_;
  struct stat st {};
  if (folder.empty() || ::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    why = "its log folder is gone";
    return false;
  }
  // Every engine's log, each a run of whole records numbered from 1.
  std::uint64_t records = 0;
  for (const char* prefix : {"Fast_", "Pro_Fat_", "Pro_Ntfs_", "Pro_Exfat_", "File_Type_"}) {
    if (std::string_view(prefix) == "Fast_" && !quickEngine_) continue;
    const std::string name = EarlierLog(prefix);
    // Only a companion left behind is no log either.
    auto endsWith = [&name](std::string_view tail) {
      return name.size() >= tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
    };
    if (name.empty() || endsWith("_Relation") || endsWith("_DirInfo")) {
      why = std::string("its ") + prefix + " log is missing";
      return false;
    }
    FileHandle log;
    std::uint64_t bytes = 0;
    if (FileHandle::OpenStateFile(folder + "/" + name, log, /*readOnly=*/true) != kSuccess ||
        log.Size(bytes) != kSuccess) {
      why = "its log " + name + " cannot be read";
      return false;
    }
    const std::uint64_t count = bytes / kRecordSize;
    FoundFileRecord first{};
    FoundFileRecord last{};
    if (count > 0 && (log.ReadFully(&first, kRecordSize, 0) != kSuccess ||
                      log.ReadFully(&last, kRecordSize, (count - 1) * kRecordSize) != kSuccess ||
                      first.recordId != 1 || last.recordId != count)) {
      why = "its log " + name + " is damaged";
      return false;
    }
    records += count;
  }
  const std::uint64_t counted = resumeEntry_.ResumeU64(kFilesFound);
  if (records != counted) {
    why = "its logs hold " + std::to_string(records) + " records where it counted " + std::to_string(counted);
    return false;
  }

  // The place: inside the medium, in a range the sweep visits, and agreeing with what it says it swept.
  const std::uint64_t start = resumeEntry_.ResumeU64(kRangeStart);
  const std::uint64_t length = resumeEntry_.ResumeU64(kRangeLength);
  const std::uint64_t position = resumeEntry_.ResumeU64(kPositionInRange);
  const std::uint64_t done = resumeEntry_.ResumeU64(kSectorsDone);
  const std::uint64_t total = partitionSectors_;
  bool holds = start <= total && length <= total - start && position <= total - start;
  if (holds && report_.freeRangesMode) {
    // The ranges before this one are swept whole; within it, as far as the place.
    std::uint64_t before = 0;
    std::uint64_t from = 0;
    bool found = false;
    // Ranges come in ascending order, so from grows with every step and the walk ends.
    for (;;) {
      std::uint64_t s = 0;
      std::uint64_t l = 0;
      NextFreeRange(from, s, l);
      if (l == 0 || s < from || l > UINT64_MAX - s || s > start) break;
      if (s == start) {
        found = l == length;
        break;
      }
      before += l;
      from = s + l;
    }
    holds = found && done == before + std::min(position, length);
  } else if (holds) {
    holds = start == 0 && length == total && done == std::min(position, length);
  }
  if (!holds) why = "the place it saved lies outside what it sweeps";
  return holds;
}

Result CProfessionalRecovery::Scan(const char*) {
  report_ = ScanReport{};
  if (!open_) return kErrInvalidHandle;
  ScanLogIndex& index = GetScanLogIndex();
  report_.resumed = resumeFound_;
  if (quickEngine_) report_.freeRangesMode = UsesFreeRanges();
  // A damaged log never turns into fewer or doubled results: such a scan starts afresh.
  if (report_.resumed) {
    std::string why;
    if (!EarlierScanHoldsUp(why)) {
      index.AddNotice("the earlier deep scan of this source cannot be continued (" + why + "); it starts afresh");
      const std::string earlier = resumeFolder_;
      ClearPreviousScan();
      (void)index.DeleteScanLog(earlier);
      report_.resumed = false;
    }
  }
  if (!report_.resumed) {
    index.BeginScanFolder();
    resumeFolder_.clear();
  }

  // The quick phase: the live file system's finds, and which sectors are free.
  if (quickEngine_) {
    const std::string fast = report_.resumed ? EarlierLog("Fast_") : std::string();
    const Result quick = quickEngine_->Scan(fast.empty() ? nullptr : fast.c_str());
    if (quick != kSuccess) {
      if (report_.resumed) {
        report_.position = {resumeEntry_.ResumeU64(kRangeStart), resumeEntry_.ResumeU64(kRangeLength),
                            resumeEntry_.ResumeU64(kPositionInRange), resumeEntry_.ResumeU64(kSectorsDone)};
        report_.filesFound = resumeEntry_.ResumeU64(kFilesFound);
        SaveResumeState();
      } else {
        index.DecrementScanCounter();
      }
      return quick;
    }
  }

  highProgress_ = 0;
  highSectorsDone_ = 0;
  shownCounted_ = false;
  if (Result r = BeginCatalogues(); r != kSuccess) {
    // Nothing the sweep found could be kept: it does not run, and leaves the index as it was.
    if (!report_.resumed) index.DecrementScanCounter();
    return r;
  }
  (void)fatEngine_.PrepareSweep();
  (void)exfatEngine_.PrepareSweep();
  CarvingContext& carving = carvingEngine_.Carving();
  carving.tsExtents.Clear();
  carving.SetProgress(callbacks_.scan != nullptr ? &ForwardReport : nullptr, this, kSweepWeight);

  SweepPosition position;
  if (report_.freeRangesMode) {
    report_.sectorsTotal = FreeRangeSectors();
    NextFreeRange(0, position.rangeStart, position.rangeLength);
  } else {
    report_.sectorsTotal = partitionSectors_;
    position.rangeLength = partitionSectors_;
  }
  if (report_.resumed) {
    position = {resumeEntry_.ResumeU64(kRangeStart), resumeEntry_.ResumeU64(kRangeLength),
                resumeEntry_.ResumeU64(kPositionInRange), resumeEntry_.ResumeU64(kSectorsDone)};
    resumeFound_ = false;    RestoreSweepState(position);
  }
  report_.position = position;
  report_.filesFound = GetFoundCount();

  SectorSource source;
  const Result opened = imagePath_.empty() ? OpenDriveSource(source, driveNumber_) : OpenImageSource(imagePath_, source);
  Result result = kSuccess;
  if (opened == kSuccess) {
    SectorSweep sweep(source, sectorSize_, partitionStartSector_, partitionSectors_,
                      SweepEngines{&fatEngine_, &ntfsEngine_, &carvingEngine_, &exfatEngine_});
    sweep.SetJobs(sweepJobs_ != 0 ? sweepJobs_ : DefaultSweepJobs());
    if (sweepPageBytes_ != 0) sweep.SetPageBytes(sweepPageBytes_);
    NextSweepRange next;
    if (report_.freeRangesMode)
      next = [this](std::uint64_t from, std::uint64_t& start, std::uint64_t& length) {
        NextFreeRange(from, start, length);
      };
    std::uint64_t carved = 0;
    result = sweep.Run(
        position, report_.sectorsTotal, next,
        [this](const SweepPosition& at, std::int32_t secondsLeft) { return ReportSweep(at, secondsLeft); }, carved);
    report_.position = position;
    report_.sweep = sweep.Counts();
    report_.swept = true;
    CloseSource(source);
  }

  // The shared context must not keep reporting to this engine once its sweep is over.
  carving.SetProgress(callbacks_.scan, callbacks_.userData, kSweepWeight);

  // The finishing passes run after a cancelled sweep too: what was found stays browsable.
  (void)fatEngine_.FinishSweep();
  (void)ntfsEngine_.FinishNtfsSweep();
  (void)exfatEngine_.FinishSweep();
  report_.filesFound = GetFoundCount();
  if (const Result kept = CatalogueError(); kept != kSuccess && result != kCancelled) return kept;

  if (result == kSuccess && callbacks_.scan != nullptr) {
    // The last report keeps the figures on show, with what the finishing passes added: the
    // count seen at the end is the number of files the results will list.
    const std::uint64_t total = report_.sectorsTotal;
    const std::uint64_t done = std::max(highSectorsDone_, std::min(report_.position.sectorsDone, total));
    const Result last = callbacks_.scan(callbacks_.userData, 100, 100, 0, done, total, ShownFileCount(true), 0);
    if (last != kSuccess) result = last;
  }
  SaveResumeState();
  return result;
}

// --- routing -----------------------------------------------------------------------------------------

IFileRecoveryParse* CProfessionalRecovery::Route(const FoundFileRecord& record) {
  switch (record.engineTag) {
    case kTagFastNtfs:
    case kTagFastFat:
    case kTagFastExfat:
    case kTagFastExt: return quickEngine_.get();
    case kTagProNtfs: return &ntfsEngine_;
    case kTagProFat: return &fatEngine_;
    case kTagProExfat: return &exfatEngine_;
    case kTagFileType: return &carvingEngine_;
    default: return nullptr;
  }
}

Result CProfessionalRecovery::GetChildren(const FoundFileRecord* folder, std::int32_t level, RecordList& out) {
  if (folder != nullptr) {
    if (folder->engineTag == kTagFileType) return kSuccess;
    IFileRecoveryParse* engine = Route(*folder);
    return engine == nullptr ? kSuccess : engine->GetChildren(folder, level, out);
  }
  if (level != 0) return kErrInvalidParameter;
  if (quickEngine_) (void)quickEngine_->GetChildren(nullptr, 0, out);
  (void)fatEngine_.GetChildren(nullptr, 0, out);
  (void)ntfsEngine_.GetChildren(nullptr, 0, out);
  (void)exfatEngine_.GetChildren(nullptr, 0, out);
  (void)carvingEngine_.GetChildren(nullptr, 0, out);
  SortRecords(out);
  return kSuccess;
}

Result CProfessionalRecovery::CountFiles(const FoundFileRecord* folder, std::int32_t level, std::int32_t* count) {
  if (count == nullptr) return kErrInvalidParameter;
  if (folder != nullptr) {
    if (folder->engineTag == kTagFileType) {
      *count = 0;
      return kSuccess;
    }
    IFileRecoveryParse* engine = Route(*folder);
    if (engine == nullptr) {
      *count = 0;
      return kSuccess;
    }
    return engine->CountFiles(folder, level, count);
  }
  if (level != 0) return kErrInvalidParameter;
  std::int64_t total = 0;
  IFileRecoveryParse* engines[] = {quickEngine_.get(), &fatEngine_, &ntfsEngine_, &exfatEngine_, &carvingEngine_};
  for (IFileRecoveryParse* engine : engines) {
    if (engine == nullptr) continue;
    std::int32_t n = 0;
    if (engine->CountFiles(nullptr, 0, &n) == kSuccess && n > 0) total += n;
  }
  *count = static_cast<std::int32_t>(std::min<std::int64_t>(total, INT32_MAX));
  return kSuccess;
}

std::uint64_t CProfessionalRecovery::GetFoundCount() {
  std::uint64_t total = fatEngine_.GetFoundCount() + ntfsEngine_.GetFoundCount() + exfatEngine_.GetFoundCount() +
                        carvingEngine_.GetFoundCount();
  if (quickEngine_) total += quickEngine_->GetFoundCount();
  return total;
}

std::uint64_t CProfessionalRecovery::CountResultFiles() {
  // Every listed type, and ".other" for the names no list knows: what choosing all types searches.
  static const std::string everyType = KnownExtensions() + "|*.other";
  // The count must not drive a search window's progress.
  const EngineCallbacks saved = callbacks_;
  (void)SetFilterCallback(nullptr, nullptr);
  RecordList files;
  (void)FilterByType(everyType, files);
  (void)SetFilterCallback(saved.filter, saved.filterUserData);
  return files.size();
}

Result CProfessionalRecovery::GetFolderPath(const FoundFileRecord* record, std::string& out) {
  if (record == nullptr) return kErrInvalidParameter;
  out.clear();
  if (record->engineTag == kTagFileType) return kSuccess;
  IFileRecoveryParse* engine = Route(*record);
  return engine == nullptr ? kSuccess : engine->GetFolderPath(record, out);
}

Result CProfessionalRecovery::RecoverItem(const FoundFileRecord* record, const std::string& destination,
                                          std::int32_t levelBase) {
  if (record == nullptr) return kErrInvalidParameter;
  // A record no engine owns cannot be written: say so rather than report a file that is not there.
  IFileRecoveryParse* engine = Route(*record);
  return engine == nullptr ? kErrInvalidParameter : engine->RecoverItem(record, destination, levelBase);
}

Result CProfessionalRecovery::ExtractForPreview(const FoundFileRecord* record, std::string& outPath,
                                                std::uint8_t* buffer, std::uint32_t* byteCount,
                                                PreviewProgressCallback callback, void* userData) {
  if (record == nullptr) return kErrInvalidParameter;
  IFileRecoveryParse* engine = Route(*record);
  if (engine == nullptr) return kErrInvalidParameter;
  return engine->ExtractForPreview(record, outPath, buffer, byteCount, callback, userData);
}

Result CProfessionalRecovery::SetFilterCallback(FilterProgressCallback callback, void* userData) {
  callbacks_.SetFilter(callback, userData);
  if (quickEngine_) quickEngine_->SetFilterCallback(callback, userData);
  fatEngine_.SetFilterCallback(callback, userData);
  ntfsEngine_.SetFilterCallback(callback, userData);
  exfatEngine_.SetFilterCallback(callback, userData);
  carvingEngine_.SetFilterCallback(callback, userData);
  return kSuccess;
}

// --- filtering ---------------------------------------------------------------------------------------

std::optional<std::uint64_t> CProfessionalRecovery::FirstDataSector(const FoundFileRecord& record) {
  CVolumeRecoveryBase* engine = nullptr;
  switch (record.engineTag) {
    case kTagFastNtfs:
    case kTagFastFat:
    case kTagFastExfat:
    case kTagFastExt: engine = dynamic_cast<CVolumeRecoveryBase*>(quickEngine_.get()); break;
    case kTagProNtfs: engine = &ntfsEngine_; break;
    case kTagProFat: engine = &fatEngine_; break;
    case kTagProExfat: engine = &exfatEngine_; break;
    default: break;
  }
  if (engine == nullptr) return std::nullopt;
  const std::optional<std::uint64_t> byte = engine->FirstDataByte(record);
  if (!byte || *byte % static_cast<std::uint64_t>(sectorSize_) != 0) return std::nullopt;
  return *byte / static_cast<std::uint64_t>(sectorSize_);
}

std::optional<CProfessionalRecovery::FatEntryKey> CProfessionalRecovery::EntryKeyOf(const FoundFileRecord& record) {
  CVolumeRecoveryBase* engine = nullptr;
  if (record.engineTag == kTagFastFat) engine = dynamic_cast<CVolumeRecoveryBase*>(quickEngine_.get());
  if (record.engineTag == kTagProFat) engine = &fatEngine_;
  if (engine == nullptr) return std::nullopt;
  const std::optional<std::uint64_t> parent = engine->ParentKeyOf(record);
  if (!parent) return std::nullopt;
  // The root is level 0 in both engines, whichever cluster names it.
  const std::uint32_t folder = KeyLevel(*parent) == 0 ? UINT32_MAX : KeyObjectNumber(*parent);
  // Packed fields: copied, not bound.
  const std::uint64_t size = record.size;
  const std::uint64_t created = record.createdTime;
  const std::uint64_t modified = record.modifiedTime;
  return FatEntryKey{folder, std::string(RecordName(record)), size, created, modified};
}

std::int32_t CProfessionalRecovery::FilterByType(const std::string& extensions, RecordList& out) {
  const std::size_t firstOwn = out.size();
  // Room for every find of every engine, so that the list is not moved as each adds its own.
  out.reserve(firstOwn + static_cast<std::size_t>(std::min<std::uint64_t>(GetFoundCount(), kReserveRecords)));
  if (quickEngine_) (void)quickEngine_->FilterByType(extensions, out);
  (void)fatEngine_.FilterByType(extensions, out);
  (void)ntfsEngine_.FilterByType(extensions, out);
  (void)exfatEngine_.FilterByType(extensions, out);

  // Where each file-system find's data begins; a carved file starting there is the same file.
  std::map<std::uint64_t, std::string> starts;
  std::vector<std::optional<std::uint64_t>> firstSectors(out.size() - firstOwn);
  std::map<std::uint64_t, std::uint64_t> liveStarts;  // the quick engine's finds: start -> size
  for (std::size_t k = firstOwn; k < out.size(); ++k) {
    const std::optional<std::uint64_t> sector = FirstDataSector(out[k]);
    firstSectors[k - firstOwn] = sector;
    if (!sector) continue;
    starts[*sector] = std::string(RecordExtension(out[k]));
    if (IsQuickTag(out[k].engineTag)) liveStarts[*sector] = out[k].size;
  }
  // A FAT entry found by both engines is also the same file when it lies in the same folder with
  // the same name, size and stamps: an empty file has no data to tell it by.
  std::set<FatEntryKey> liveFatEntries;
  // An exFAT entry is the same entry when it lies in the same sector under the same name.
  std::set<std::pair<std::uint64_t, std::string>> liveExfatEntries;
  for (std::size_t k = firstOwn; k < out.size(); ++k) {
    if (out[k].engineTag == kTagFastExfat)
      liveExfatEntries.emplace(std::uint64_t{out[k].locationSector}, std::string(RecordName(out[k])));
    if (out[k].engineTag != kTagFastFat) continue;
    if (std::optional<FatEntryKey> key = EntryKeyOf(out[k])) liveFatEntries.insert(std::move(*key));
  }
  // A deleted file of the live file system lies in free space, where the formatted engines find
  // its entry or record once more: the quick engine's find, with the folders it knows, is kept.
  std::size_t kept = firstOwn;
  for (std::size_t k = firstOwn; k < out.size(); ++k) {
    const std::optional<std::uint64_t>& sector = firstSectors[k - firstOwn];
    const bool formatted = IsFormattedTag(out[k].engineTag);
    if (formatted && sector) {
      const auto live = liveStarts.find(*sector);
      if (live != liveStarts.end() && live->second == out[k].size) continue;
    }
    if (out[k].engineTag == kTagProFat && !liveFatEntries.empty()) {
      const std::optional<FatEntryKey> key = EntryKeyOf(out[k]);
      if (key && liveFatEntries.contains(*key)) continue;
    }
    if (out[k].engineTag == kTagProExfat &&
        liveExfatEntries.contains({std::uint64_t{out[k].locationSector}, std::string(RecordName(out[k]))}))
      continue;
    if (kept != k) {
      out[kept] = out[k];
      firstSectors[kept - firstOwn] = firstSectors[k - firstOwn];
    }
    ++kept;
  }
  out.resize(kept);
  // The finds that remain, by where their data begins.
  std::multimap<std::uint64_t, std::size_t> startIndex;
  for (std::size_t k = firstOwn; k < out.size(); ++k)
    if (const std::optional<std::uint64_t>& sector = firstSectors[k - firstOwn]) startIndex.emplace(*sector, k);
  std::vector<bool> superseded(out.size(), false);
  // The carved finds are added behind the others and kept, or not, where they lie.
  const std::size_t ownEnd = out.size();
  (void)carvingEngine_.FilterAppended(extensions, out);
  std::size_t keptCarved = ownEnd;
  auto keep = [&out, &keptCarved](std::size_t k) {
    if (keptCarved != k) out[keptCarved] = out[k];
    ++keptCarved;
  };
  for (std::size_t k = ownEnd; k < out.size(); ++k) {
    const FoundFileRecord& record = out[k];
    const std::uint64_t location = record.locationSector;  // a packed field: copied, not bound
    const std::uint64_t carvedSize = record.size;
    const auto found = starts.find(location);
    if (found == starts.end()) {
      keep(k);
      continue;
    }
    const std::string_view extension = RecordExtension(record);
    // A camera's thumbnail is a JPEG under another name: the same data.
    if (EqualsNoCase(found->second, "thm") && EqualsNoCase(extension, "jpg")) continue;
    if (!EqualsNoCase(found->second, extension)) {
      keep(k);
      continue;
    }
    // The same start and type: the same file, unless an entry the sweep found after a format is
    // shorter, by more than the last sector the carver may count whole, than the file measured
    // there. Such an entry is the head of a larger file written over its clusters before the
    // format: the carved file, whose structure checks out, is the better find and the truncated
    // one goes. (A live file system's deleted entry keeps its clusters free of later files.)
    const auto slack = static_cast<std::uint64_t>(sectorSize_);
    bool same = false;
    const auto [first, last] = startIndex.equal_range(location);
    for (auto it = first; it != last; ++it) {
      const FoundFileRecord& own = out[it->second];
      if (!EqualsNoCase(RecordExtension(own), extension)) continue;
      const std::uint64_t size = own.size;
      const bool formatted = IsFormattedTag(own.engineTag);
      if (formatted && size + slack < carvedSize) superseded[it->second] = true;
      else same = true;
    }
    if (!same) keep(k);
  }
  out.resize(keptCarved);
  std::size_t left = firstOwn;
  for (std::size_t k = firstOwn; k < out.size(); ++k) {
    if (k < superseded.size() && superseded[k]) continue;
    if (left != k) out[left] = out[k];
    ++left;
  }
  out.resize(left);
  SortRecords(out);
  return kSuccess;
}

}  // namespace rexmoor
