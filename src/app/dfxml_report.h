// The report of a recovery (or a scan) in Digital Forensics XML 1.1: where each found file lay on
// the medium (byte runs with image offsets from the first byte of the image or device), what it
// was found as, where it was written and its digests. Every string that reaches the XML (names
// from a volume, paths, the command line) is escaped on the way, so a hostile volume still gives a
// well-formed document.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/record_filter.h"
#include "app/recovery_job.h"
#include "app/scan_job.h"
#include "engine/file_digest.h"
#include "engine/found_file_record.h"
#include "platform/result_codes.h"

namespace rexmoor {

// The engine tags as words ("fat", "ntfs-formatted", "carved", ...).
const char* EngineTagName(std::uint16_t tag);

// One scanned volume: a partition of an image or drive, or a whole image.
struct DfxmlVolume {
  std::uint16_t sourceTag = 0;   // the records' sourceTag
  std::string sourceText;        // as the user named it
  std::string imageFilename;     // the image file or device the volume lies on
  std::uint64_t imageSize = 0;   // bytes of that file or device
  std::uint32_t sectorSize = 512;
  std::uint64_t partitionOffset = 0;  // bytes from the image's first byte
  std::uint64_t partitionLength = 0;  // bytes; the rest of the image when 0
};

struct DfxmlFile {
  std::size_t volume = 0;        // index into DfxmlReport::volumes
  bool known = false;            // record holds the found file
  FoundFileRecord record{};
  std::string folder;            // where it was found, '/'-separated with a trailing '/'
  std::string writtenPath;       // where recover wrote it; empty for a scan
  bool runsKnown = false;        // runs say where the data lay (none when it was not read)
  std::vector<ByteRun> runs;
  bool runsCut = false;
  FileDigests digests;
  bool hasStatus = false;        // recover: code is the verdict
  Result code = kSuccess;
  std::optional<FileOwnership> owner;  // permissions and owner, where the file system kept them
};

struct DfxmlReport {
  std::string commandLine;
  std::int64_t startTime = 0;  // Unix seconds
  std::int64_t endTime = 0;
  std::string sourceSha256;    // of the whole source, when asked for
  std::vector<DfxmlVolume> volumes;
  std::vector<DfxmlFile> files;
};

// The text for XML character data or an attribute value: markup characters as references, bytes
// that are not UTF-8 and characters XML 1.0 does not allow (control bytes, U+FFFE, U+FFFF) as
// U+FFFD; tab, line feed and carriage return as character references, so they survive parsing.
std::string XmlEscape(std::string_view text);

// The whole document.
std::string DfxmlText(const DfxmlReport& report);

// The volumes of a job's sources, as a report names them.
std::vector<DfxmlVolume> DfxmlVolumesOf(const std::vector<ScanSourceEntry>& sources,
                                        const std::vector<std::string>& sourceTexts);
// A carved file's one run, known without reading it: its bytes from its first sector on, as far
// as the image reaches (nothing for other files).
void AddCarvedRun(DfxmlFile& file, const DfxmlVolume& volume);
// The report's entry for each file a recovery handled.
void AddRecoveredFiles(DfxmlReport& report, const std::vector<RecoveredFile>& files);
// The report of a finished recovery job over these sources (sourceTexts as the user named them,
// or empty), with the source's digest when hashSource.
DfxmlReport RecoveryReport(const RecoveryJob& job, const std::vector<ScanSourceEntry>& sources,
                           const std::vector<std::string>& sourceTexts, const std::string& commandLine,
                           std::int64_t startTime, bool hashSource);

// The SHA-256 of the source as the user named it: the partition's bytes when the volumes are one
// partition, else the whole image or drive; read once from start to end. Empty when it cannot be.
std::string SourceSha256(const std::vector<DfxmlVolume>& volumes);

// The name a recovery gives its report below the target.
inline constexpr const char* kReportFileName = "report.xml";
// Writes the report to path (replacing a file there).
Result SaveDfxml(const DfxmlReport& report, const std::string& path);
// Writes the report as report.xml right below a recovery's target, through the target folder, so
// that no link planted there is followed.
Result SaveDfxmlInTarget(const DfxmlReport& report, const std::string& targetFolder);

}  // namespace rexmoor
