#include "app/dfxml_report.h"

#include <sys/utsname.h>

#include <algorithm>
#include <ctime>
#include <mutex>

#include "app/record_filter.h"
#include "device/sector_source.h"
#include "engine/file_recovery_parse.h"
#include "platform/clock.h"
#include "platform/drives.h"
#include "platform/file_handle.h"
#include "platform/target_folder.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

constexpr const char* kDfxmlNamespace = "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML";
constexpr const char* kDublinCore = "http://purl.org/dc/elements/1.1/";
constexpr const char* kOwnNamespace = "urn:rexmoor:dfxml:1";

// One UTF-8 sequence at text[i]: the code point and its length, or nothing when the bytes are not
// a shortest-form encoding of a scalar value.
bool DecodeUtf8(std::string_view text, std::size_t i, char32_t& out, std::size_t& length) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    out = lead;
    length = 1;
    return true;
  }
  std::size_t need = 0;
  char32_t value = 0;
  char32_t least = 0;
  if ((lead & 0xE0) == 0xC0) { need = 1; value = lead & 0x1F; least = 0x80; }
  else if ((lead & 0xF0) == 0xE0) { need = 2; value = lead & 0x0F; least = 0x800; }
  else if ((lead & 0xF8) == 0xF0) { need = 3; value = lead & 0x07; least = 0x10000; }
  else return false;
  if (need > text.size() - i - 1) return false;
  for (std::size_t k = 1; k <= need; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return false;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  out = value;
  length = need + 1;
  return true;
}

std::string Iso(std::uint64_t fileTime, bool localClock) {
  const CivilTime t = FileTimeToCivil(fileTime);
  return Format(localClock ? "%04d-%02d-%02dT%02d:%02d:%02d" : "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month,
                t.day, t.hour, t.minute, t.second);
}

std::string IsoUnix(std::int64_t seconds) { return Iso(UnixToFileTime(seconds), false); }

// Appends <name>text</name> on a line of its own.
void Element(std::string& out, int depth, std::string_view name, std::string_view text) {
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
  out += '<';
  out += name;
  out += '>';
  out += XmlEscape(text);
  out += "</";
  out += name;
  out += ">\n";
}

void Element(std::string& out, int depth, std::string_view name, std::uint64_t value) {
  Element(out, depth, name, std::to_string(value));
}

void Open(std::string& out, int depth, std::string_view tag) {
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
  out += '<';
  out += tag;
  out += ">\n";
}

void Close(std::string& out, int depth, std::string_view name) {
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
  out += "</";
  out += name;
  out += ">\n";
}

std::string StatusWord(Result code) {
  if (code == kSuccess) return "ok";
  if (code == kErrIncomplete) return "incomplete";
  return "failed";
}

void WriteRuns(std::string& out, const DfxmlFile& file, std::uint64_t partitionOffset) {
  Open(out, 3, "byte_runs");
  for (const ByteRun& run : file.runs) {
    std::string line(8, ' ');
    line += "<byte_run file_offset='" + std::to_string(run.fileOffset) + "'";
    if (run.kind == ByteRun::Kind::Fill) {
      line += " fill='0'";
    } else {
      // fs_offset counts from the volume's first byte, img_offset from the image's.
      if (run.imageOffset >= partitionOffset) line += " fs_offset='" + std::to_string(run.imageOffset - partitionOffset) + "'";
      line += " img_offset='" + std::to_string(run.imageOffset) + "'";
    }
    line += " len='" + std::to_string(run.length) + "'";
    if (run.kind == ByteRun::Kind::Compressed) line += " uncompressed_len='" + std::to_string(run.uncompressedLength) + "'";
    if (run.kind == ByteRun::Kind::Resident) line += " type='resident'";
    out += line + "/>\n";
  }
  Close(out, 3, "byte_runs");
}

void WriteFile(std::string& out, const DfxmlFile& file, std::size_t id, std::uint64_t partitionOffset) {
  const FoundFileRecord& r = file.record;
  Open(out, 2, "fileobject");
  std::string name;
  if (file.known) {
    name = file.folder + std::string(RecordName(r));
  } else {
    const std::size_t slash = file.writtenPath.rfind('/');
    name = slash == std::string::npos ? file.writtenPath : file.writtenPath.substr(slash + 1);
  }
  Element(out, 3, "filename", name);
  Element(out, 3, "partition", file.volume + 1);
  Element(out, 3, "id", id);
  Element(out, 3, "name_type", file.known && r.isFolder != 0 ? "d" : "r");
  if (file.known) {
    Element(out, 3, "filesize", std::uint64_t{r.size});
    const bool compressed = std::any_of(file.runs.begin(), file.runs.end(),
                                        [](const ByteRun& run) { return run.kind == ByteRun::Kind::Compressed; });
    if (compressed) Element(out, 3, "compressed", "1");
    const std::uint16_t engine = r.engineTag;
    // NTFS names a file by its MFT record; the FAT family's nearest thing is the first cluster.
    if (engine == kTagFastNtfs || engine == kTagProNtfs || engine == kTagFastExt)
      Element(out, 3, "inode", std::uint64_t{r.objectNumber});
    if (file.owner) {
      Element(out, 3, "mode", std::uint64_t{file.owner->mode & 07777u});
      Element(out, 3, "uid", std::uint64_t{file.owner->uid});
      Element(out, 3, "gid", std::uint64_t{file.owner->gid});
    }
    const bool localClock = engine == kTagFastFat || engine == kTagProFat;
    if (r.modifiedTime != 0) Element(out, 3, "mtime", Iso(r.modifiedTime, localClock));
    if (r.accessedTime != 0) Element(out, 3, "atime", Iso(r.accessedTime, localClock));
    if (r.createdTime != 0) Element(out, 3, "crtime", Iso(r.createdTime, localClock));
  }
  if (file.runsKnown && !file.runs.empty()) WriteRuns(out, file, partitionOffset);
  if (!file.digests.sha256.empty())
    out += "      <hashdigest type='sha256'>" + XmlEscape(file.digests.sha256) + "</hashdigest>\n";
  if (!file.digests.md5.empty()) out += "      <hashdigest type='md5'>" + XmlEscape(file.digests.md5) + "</hashdigest>\n";
  // What DFXML has no element for, in this program's own namespace.
  if (file.known) {
    static constexpr const char* kHow[] = {"deleted", "formatted", "carved"};
    Element(out, 3, "rexmoor:state", kHow[static_cast<int>(FoundHowOf(r))]);
    Element(out, 3, "rexmoor:content", ConditionText(ConditionOf(r)));
    Element(out, 3, "rexmoor:engine", EngineTagName(r.engineTag));
    Element(out, 3, "rexmoor:record_id", std::uint64_t{r.recordId});
    if (r.engineTag != kTagFastNtfs && r.engineTag != kTagProNtfs && r.engineTag != kTagFastExt &&
        r.engineTag != kTagFileType && r.objectNumber != 0)
      Element(out, 3, "rexmoor:first_cluster", std::uint64_t{r.objectNumber});
    Element(out, 3, "rexmoor:location_sector", std::uint64_t{r.locationSector});
  }
  if (file.runsCut) Element(out, 3, "rexmoor:byte_runs_cut", "1");
  if (!file.writtenPath.empty()) Element(out, 3, "rexmoor:written_path", file.writtenPath);
  if (file.hasStatus) {
    Element(out, 3, "rexmoor:status", StatusWord(file.code));
    if (file.code != kSuccess && file.code != kErrIncomplete) Element(out, 3, "rexmoor:reason", ResultMessage(file.code));
  }
  Close(out, 2, "fileobject");
}

}  // namespace

const char* EngineTagName(std::uint16_t tag) {
  switch (tag) {
    case kTagFastNtfs: return "ntfs";
    case kTagFastFat: return "fat";
    case kTagProNtfs: return "ntfs-formatted";
    case kTagProFat: return "fat-formatted";
    case kTagFileType: return "carved";
    case kTagFastExfat: return "exfat";
    case kTagProExfat: return "exfat-formatted";
    case kTagFastExt: return "ext";
    default: return "unknown";
  }
}

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = 0;
    std::size_t length = 0;
    if (!DecodeUtf8(text, i, c, length)) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      case '\t': out += "&#9;"; break;
      case '\n': out += "&#10;"; break;
      case '\r': out += "&#13;"; break;
      default:
        if (c < 0x20 || c == 0xFFFE || c == 0xFFFF) {
          out += "\xEF\xBF\xBD";
        } else {
          out.append(text.substr(i, length));
        }
    }
    i += length;
  }
  return out;
}

std::string DfxmlText(const DfxmlReport& report) {
  std::string out;
  out += "<?xml version='1.0' encoding='UTF-8'?>\n";
  out += std::string("<dfxml xmloutputversion='1.0' version='1.1.0' xmlns='") + kDfxmlNamespace + "' xmlns:dc='" +
         kDublinCore + "' xmlns:dfxml='" + kDfxmlNamespace + "' xmlns:rexmoor='" + kOwnNamespace + "'>\n";
  Open(out, 1, "metadata");
  Element(out, 2, "dc:type", report.files.empty() || report.files.front().hasStatus ? "Recovery Report" : "Scan Report");
  Close(out, 1, "metadata");

  Open(out, 1, "creator version='1.0'");
  Element(out, 2, "program", "rexmoor");
  Element(out, 2, "version", REXMOOR_VERSION);
  Open(out, 2, "execution_environment");
  utsname host{};
  if (uname(&host) == 0) {
    Element(out, 3, "os_sysname", host.sysname);
    Element(out, 3, "os_release", host.release);
    Element(out, 3, "os_version", host.version);
    Element(out, 3, "host", host.nodename);
    Element(out, 3, "arch", host.machine);
  }
  Element(out, 3, "command_line", report.commandLine);
  Element(out, 3, "start_time", IsoUnix(report.startTime));
  if (report.endTime != 0) {
    Element(out, 3, "rexmoor:end_time", IsoUnix(report.endTime));
    Element(out, 3, "rexmoor:elapsed_seconds", static_cast<std::uint64_t>(std::max<std::int64_t>(0, report.endTime - report.startTime)));
  }
  Close(out, 2, "execution_environment");
  Close(out, 1, "creator");

  Open(out, 1, "source");
  // Partitions of one image share its file: each file is named once.
  std::vector<std::string> named;
  for (const DfxmlVolume& v : report.volumes) {
    if (std::find(named.begin(), named.end(), v.imageFilename) != named.end()) continue;
    named.push_back(v.imageFilename);
    Element(out, 2, "image_filename", v.imageFilename);
    Element(out, 2, "imagesize", v.imageSize);
    Element(out, 2, "sector_size", v.sectorSize);
  }
  if (report.volumes.size() == 1 && report.volumes.front().partitionLength != 0) {
    Element(out, 2, "rexmoor:partition_offset", report.volumes.front().partitionOffset);
    Element(out, 2, "rexmoor:partition_length", report.volumes.front().partitionLength);
  }
  if (!report.sourceSha256.empty())
    out += "    <hashdigest type='sha256'>" + XmlEscape(report.sourceSha256) + "</hashdigest>\n";
  Close(out, 1, "source");

  std::size_t id = 0;
  for (std::size_t v = 0; v < report.volumes.size(); ++v) {
    const DfxmlVolume& volume = report.volumes[v];
    Open(out, 1, "volume offset='" + std::to_string(volume.partitionOffset) + "'");
    Element(out, 2, "partition_offset", volume.partitionOffset);
    Element(out, 2, "sector_size", volume.sectorSize);
    Element(out, 2, "rexmoor:source", volume.sourceText);
    if (volume.partitionLength != 0) Element(out, 2, "rexmoor:partition_length", volume.partitionLength);
    for (const DfxmlFile& file : report.files)
      if (file.volume == v) WriteFile(out, file, ++id, volume.partitionOffset);
    Close(out, 1, "volume");
  }
  out += "</dfxml>\n";
  return out;
}

std::vector<DfxmlVolume> DfxmlVolumesOf(const std::vector<ScanSourceEntry>& sources,
                                        const std::vector<std::string>& sourceTexts) {
  std::vector<DfxmlVolume> volumes;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const ScanSourceEntry& s = sources[i];
    DfxmlVolume v;
    v.sourceText = i < sourceTexts.size() ? sourceTexts[i] : s.displayName;
    if (s.kind == ScanSourceEntry::Kind::Image) {
      v.sourceTag = s.sourceTag;
      v.imageFilename = s.imagePath;
    } else {
      v.sourceTag = s.driveLetter;
      if (DrivePath(s.driveNumber, v.imageFilename) != kSuccess) v.imageFilename = "drive:" + std::to_string(s.driveNumber);
      // Drive ranges count the drive's own sectors.
      SectorSource drive;
      if (OpenDriveSource(drive, s.driveNumber) == kSuccess) v.sectorSize = static_cast<std::uint32_t>(SourceSectorSize(drive));
      CloseSource(drive);
      v.partitionOffset = s.startSector * v.sectorSize;
      v.partitionLength = s.sectorCount * v.sectorSize;
    }
    FileHandle handle;
    std::uint64_t size = 0;
    if (FileHandle::OpenReadOnly(v.imageFilename, handle) == kSuccess && handle.Size(size) == kSuccess)
      v.imageSize = size;
    if (v.sourceText.empty()) v.sourceText = v.imageFilename;
    volumes.push_back(std::move(v));
  }
  return volumes;
}

void AddCarvedRun(DfxmlFile& file, const DfxmlVolume& volume) {
  if (!file.known || file.record.engineTag != kTagFileType || file.record.size == 0) return;
  std::uint64_t start = 0;
  if (__builtin_mul_overflow(std::uint64_t{file.record.locationSector}, std::uint64_t{volume.sectorSize}, &start) ||
      start >= volume.imageSize)
    return;
  file.runsKnown = true;
  const std::uint64_t size = file.record.size;  // a packed field: copied, not bound
  file.runs = {ByteRun{0, start, std::min(size, volume.imageSize - start), 0, ByteRun::Kind::Data}};
}

void AddRecoveredFiles(DfxmlReport& report, const std::vector<RecoveredFile>& files) {
  for (const RecoveredFile& f : files) {
    DfxmlFile file;
    file.known = f.known;
    file.record = f.record;
    file.folder = f.folder;
    file.writtenPath = f.path;
    file.runsKnown = true;
    file.runs = f.runs;
    file.runsCut = f.runsCut;
    file.digests = f.digests;
    file.hasStatus = true;
    file.code = f.code;
    if (f.known) {
      const std::uint16_t tag = f.record.sourceTag;
      for (std::size_t v = 0; v < report.volumes.size(); ++v)
        if (report.volumes[v].sourceTag == tag) file.volume = v;
    }
    report.files.push_back(std::move(file));
  }
}

// The SHA-256 of the source as the user named it: the partition's bytes when one was named,
// else the whole image or drive; read once, start to end.
std::string SourceSha256(const std::vector<DfxmlVolume>& volumes) {
  if (volumes.empty()) return {};
  const DfxmlVolume& v = volumes.front();
  const bool onePartition = volumes.size() == 1 && v.partitionLength != 0;
  FileHandle in;
  if (FileHandle::OpenReadOnly(v.imageFilename, in) != kSuccess) return {};
  std::uint64_t at = onePartition ? v.partitionOffset : 0;
  std::uint64_t left = onePartition ? v.partitionLength : v.imageSize;
  StreamDigest digest;
  digest.Begin(true, false);
  std::vector<std::uint8_t> buffer(1 << 20);
  while (left > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
    std::size_t got = 0;
    if (in.ReadFully(buffer.data(), want, at, &got) != kSuccess || got == 0) return {};
    digest.Update(buffer.data(), got);
    at += got;
    left -= got;
  }
  return digest.Finish().sha256;
}

DfxmlReport RecoveryReport(const RecoveryJob& job, const std::vector<ScanSourceEntry>& sources,
                           const std::vector<std::string>& sourceTexts, const std::string& commandLine,
                           std::int64_t startTime, bool hashSource) {
  DfxmlReport report;
  report.commandLine = commandLine;
  report.startTime = startTime != 0 ? startTime : job.StartTime();
  report.endTime = job.EndTime();
  report.volumes = DfxmlVolumesOf(sources, sourceTexts);
  if (hashSource) report.sourceSha256 = SourceSha256(report.volumes);
  AddRecoveredFiles(report, job.Files());
  // The engines answer one caller at a time (a preview may be reading through them).
  std::lock_guard<std::mutex> guard(EngineUseLock());
  for (DfxmlFile& file : report.files) {
    if (!file.known) continue;
    for (const ScanSourceEntry& s : sources) {
      const std::uint16_t tag = s.kind == ScanSourceEntry::Kind::Image ? s.sourceTag : s.driveLetter;
      if (s.engine && tag == file.record.sourceTag) file.owner = OwnershipOf(*s.engine, file.record);
    }
  }
  return report;
}

Result SaveDfxml(const DfxmlReport& report, const std::string& path) {
  FileHandle out;
  if (Result r = FileHandle::OpenReadWrite(path, out, true); r != kSuccess) return r;
  const std::string text = DfxmlText(report);
  return out.WriteAll(text.data(), text.size());
}

Result SaveDfxmlInTarget(const DfxmlReport& report, const std::string& targetFolder) {
  TargetFolder target;
  if (Result r = TargetFolder::Open(targetFolder, true, target); r != kSuccess) return r;
  FileHandle out;
  if (Result r = target.CreateFile(kReportFileName, out); r != kSuccess) return r;
  const std::string text = DfxmlText(report);
  return out.WriteAll(text.data(), text.size());
}

}  // namespace rexmoor
