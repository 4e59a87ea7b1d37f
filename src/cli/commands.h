// The commands of rexmoor, called by main once the command line is parsed and checked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/record_filter.h"
#include "app/type_patterns.h"

namespace rexmoor::cli {

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCancelled = 130;

// What scan, recover and tree were asked for.
struct ScanOptions {
  std::string source;
  bool deep = true;
  std::vector<TypeGroup> groups;
  std::vector<std::string> extensions;
  bool json = false;
  bool bodyfile = false;  // scan --format bodyfile: The Sleuth Kit's timeline input
  std::string dataDir;
  std::string resume;  // "", "yes" or "no"
  std::string target;  // recover --to
  bool allowSameDevice = false;  // recover onto the scanned medium all the same
  bool ignoreFreeSpace = false;  // recover even when the files found need more room than the target has
  RecordFilter filter;           // --name, --min-size, --max-size, --since, --until, --state
  bool keepFolders = false;      // recover into TARGET/<source>/<folder>/ instead of the category folders
  bool hashSha256 = false;       // recover --hash sha256,md5: digests in the JSON lines
  bool hashMd5 = false;
  bool dfxml = false;       // scan --format dfxml
  bool report = true;       // recover: report.xml in the target (--no-report leaves it out)
  bool hashSource = false;  // recover --hash-source: the source's SHA-256 in the report
  std::string commandLine;  // as run, for the report
  std::int64_t startTime = 0;  // Unix seconds
  unsigned jobs = 0;             // --jobs: threads of the deep scan's sweep (0: one per core)
};

// What image was asked for.
struct ImageOptions {
  std::string source;
  std::string output;
  bool skipBad = false;  // unreadable sectors become zeros, listed in the mapfile
  bool resume = false;   // continue the copy its mapfile describes
  std::uint32_t retries = 0;  // passes over the unreadable areas after the first
  bool force = false;    // overwrite an existing output file
};

int RunImage(const ImageOptions& options);

// What preview was asked for: the scan options of the earlier scan, the file, where to write it.
struct PreviewOptions {
  ScanOptions scan;
  std::string id;      // ENGINE:ID
  std::string output;  // --to FILE
};
int RunPreview(const PreviewOptions& options);
// Refuses (exit code 1) a --to folder on the medium being scanned, unless allowSameDevice.
int CheckTargetMedium(const ScanOptions& options);

int RunDetect(const std::string& source);
// Reads an EWF image whole and compares it with the digests stored in it: 0 when they match.
int RunVerify(const std::string& image);
int RunScan(const ScanOptions& options);
int RunRecover(const ScanOptions& options);
int RunTree(const ScanOptions& options);
int RunIdentify(const std::vector<std::string>& files, bool json);
// Lists every known file type: its group, whether it is carved, its option on the file-type page.
int RunTypes(bool json);
// Lists the machine's drives, or the partitions inside the given image files.
int RunDevices(const std::vector<std::string>& images, bool json);

}  // namespace rexmoor::cli
