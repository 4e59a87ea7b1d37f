// rexmoor scan, recover and tree.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <set>
#include <tuple>

#include "app/dfxml_report.h"
#include "app/message_catalog.h"
#include "app/source_resolver.h"
#include "cli/commands.h"
#include "cli/output_format.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "cli/scan_session.h"

namespace rexmoor::cli {

namespace {

const char* EngineName(std::uint16_t tag) { return EngineTagName(tag); }

// A find as one JSON object, open for the caller's fields that follow.
JsonLine RecordJson(IFileRecoveryParse& engine, const FoundFileRecord& r) {
  // Copies of the packed fields: a reference cannot bind to them.
  const std::string name(RecordName(r));
  // FAT keeps local times of the clock that wrote them; NTFS and exFAT records hold UTC.
  const bool localClock = r.engineTag == kTagFastFat || r.engineTag == kTagProFat;
  JsonLine line;
  line.Signed("engine", std::int32_t{r.engineTag});
  line.Text("engine_name", EngineName(r.engineTag));
  line.Number("id", std::uint32_t{r.recordId});
  line.Text("name", name);
  line.Text("folder", RecordFolder(engine, r));
  line.Bool("is_folder", r.isFolder != 0);
  const std::size_t dot = name.rfind('.');
  line.Text("extension",
            r.isFolder != 0 || dot == std::string::npos ? std::string() : ToLowerAscii(name.substr(dot + 1)));
  line.Text("category", r.isFolder != 0 ? std::string("folder") : CategoryFolderFor(name));
  line.Number("size", std::uint64_t{r.size});
  line.Number("location", std::uint64_t{r.locationSector});
  line.Number("object", std::uint32_t{r.objectNumber});
  line.Signed("content", std::int32_t{r.contentState});
  static constexpr const char* kHow[] = {"deleted", "formatted", "carved"};
  line.Text("found", kHow[static_cast<int>(FoundHowOf(r))]);
  line.Text("condition", ConditionText(ConditionOf(r)));
  line.Time("created", r.createdTime, localClock);
  line.Time("modified", r.modifiedTime, localClock);
  line.Time("accessed", r.accessedTime, localClock);
  if (const char* source = DataSourceText(r)) line.Text("data_source", source);
  if (const char* source = NameSourceText(r)) line.Text("name_source", source);
  if (const std::optional<FileOwnership> owner = OwnershipOf(engine, r)) {
    line.Text("mode", Format("%04o", owner->mode & 07777u));
    line.Number("uid", owner->uid);
    line.Number("gid", owner->gid);
  }
  return line;
}

// One line of The Sleuth Kit's 3.x bodyfile, MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime,
// for `mactime -b`: the path as the listing shows it after a "/", " (deleted)" as fls -m writes it
// for entries of a live volume, the engine's object number (MFT record, first cluster) as the
// inode, times in Unix seconds (FAT's local times taken as UTC, as the JSON gives them), 0 where
// a time is not known. A '|' in a name would split the line: it is written as '_'.
std::string BodyfileLine(IFileRecoveryParse& engine, const FoundFileRecord& r) {
  std::string path = "/" + RecordFolder(engine, r) + std::string(RecordName(r));
  std::replace(path.begin(), path.end(), '|', '_');
  if (FoundHowOf(r) == FoundHow::Deleted) path += " (deleted)";
  auto seconds = [](std::uint64_t fileTime) {
    return fileTime == 0 ? std::string("0") : std::to_string(std::max<std::int64_t>(0, FileTimeToUnix(fileTime)));
  };
  const bool folder = r.isFolder != 0;
  // The permissions and owner where the file system kept them (ext), as fls -m writes them.
  std::string mode = folder ? "d/drwxrwxrwx" : "r/rrwxrwxrwx";
  std::string owners = "0|0";
  if (const std::optional<FileOwnership> owner = OwnershipOf(engine, r)) {
    mode = std::string(folder ? "d/d" : "r/r") + PermissionText(owner->mode);
    owners = std::to_string(owner->uid) + "|" + std::to_string(owner->gid);
  }
  return "0|" + path + "|" + std::to_string(std::uint32_t{r.objectNumber}) + "|" + mode + "|" + owners + "|" +
         std::to_string(folder ? 0 : std::uint64_t{r.size}) + "|" + seconds(r.accessedTime) + "|" +
         seconds(r.modifiedTime) + "|0|" + seconds(r.createdTime);
}

// Ctrl-C wins; a scan that ended in an error fails a run that would otherwise have succeeded.
int Finish(const ScanSession& session, int code) {
  if (session.Interrupted()) return kExitCancelled;
  return code == kExitDone && session.ScanFailed() ? kExitFailure : code;
}

// Shows recovery per file as it happens.
class RecoveryPrinter : public IRecoveryProgressView {
 public:
  RecoveryPrinter(TerminalProgress& bar, bool json, std::string target)
      : bar_(bar), json_(json), targetPath_(std::move(target)) {
    // The job names files below the target without its trailing separator.
    if (targetPath_.size() > 1 && (targetPath_.back() == '/' || targetPath_.back() == '\\')) targetPath_.pop_back();
  }
  void SetCurrent(const std::string& path) override { bar_.SetCurrent(path); }
  void SetPercent(const std::string&) override {}
  void SetProgressBar(std::int32_t percent) override { bar_.SetProgressBar(percent); }
  void SetCounts(const std::string& text) override { bar_.SetCounts(text); }
  void AddDetail(const std::string& path, Result code, const std::string& status) override {
    bar_.Finish();
    const bool incomplete = code == kErrIncomplete;
    if (json_) {
      Json line;
      line["name"] = BaseName(path);
      line["path"] = path;
      line["size"] = FileSize(path);
      line["status"] = code == 0 ? std::string("ok") : incomplete ? std::string("incomplete") : status;
      if (digestsOf_) {
        const FileDigests digests = digestsOf_(path);
        if (!digests.sha256.empty()) line["sha256"] = digests.sha256;
        if (!digests.md5.empty()) line["md5"] = digests.md5;
      }
      std::printf("%s\n", JsonText(line).c_str());
    } else {
      std::printf("%-10s %s\n", code == 0 ? "ok" : incomplete ? "INCOMPLETE" : "FAILED", path.c_str());
      if (code != 0) std::printf("           %s\n", status.c_str());
    }
    std::fflush(stdout);
  }
  void JobEnded() override {}
  // Where the digests of a written file come from (recover --hash).
  void SetDigestSource(std::function<FileDigests(const std::string&)> digestsOf) { digestsOf_ = std::move(digestsOf); }

 private:
  static std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  }
  // Size of what was written, looked up below the target without following links: a path that
  // failed because of a planted link says nothing about what the link points to.
  std::uint64_t FileSize(const std::string& path) {
    // Opened at the first file: the job creates the target when it starts.
    if (!target_.IsOpen()) (void)TargetFolder::Open(targetPath_, false, target_);
    std::string_view relative;
    if (!target_.IsOpen() || !target_.RelativeOf(path, relative)) return 0;
    return target_.FileSize(relative);
  }
  TerminalProgress& bar_;
  bool json_;
  std::function<FileDigests(const std::string&)> digestsOf_;
  std::string targetPath_;
  TargetFolder target_;
};

}  // namespace

// Drops what the --name/--size/--since/--until/--state filters leave out.
void ApplyFilter(const RecordFilter& filter, RecordList& results) {
  if (filter.Empty()) return;
  std::erase_if(results, [&filter](const FoundFileRecord& r) { return !filter.Matches(r); });
}

int RunScan(const ScanOptions& options) {
  ScanSession session(options);
  if (int rc = session.Scan(); rc != 0) return Finish(session, rc);
  RecordList results;
  session.Search(results);
  ApplyFilter(options.filter, results);
  if (options.dfxml) {
    // What a scan knows of each file, without reading any file's data: no runs and no digests.
    DfxmlReport report;
    report.commandLine = options.commandLine;
    report.startTime = options.startTime;
    report.endTime = static_cast<std::int64_t>(std::time(nullptr));
    report.volumes = DfxmlVolumesOf(session.Sources(), session.SourceTexts());
    for (const FoundFileRecord& r : results) {
      IFileRecoveryParse* engine = session.EngineOf(r);
      if (engine == nullptr) continue;
      DfxmlFile file;
      file.known = true;
      file.record = r;
      file.folder = RecordFolder(*engine, r);
      file.owner = OwnershipOf(*engine, r);
      for (std::size_t v = 0; v < report.volumes.size(); ++v)
        if (report.volumes[v].sourceTag == r.sourceTag) file.volume = v;
      AddCarvedRun(file, report.volumes[file.volume]);
      report.files.push_back(std::move(file));
    }
    const std::string text = DfxmlText(report);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return Finish(session, kExitDone);
  }
  if (options.bodyfile) {
    for (const FoundFileRecord& r : results)
      if (IFileRecoveryParse* engine = session.EngineOf(r)) std::printf("%s\n", BodyfileLine(*engine, r).c_str());
    return Finish(session, kExitDone);
  }
  const bool partitioned = session.SourceTexts().size() > 1;
  if (!options.json && !partitioned) {
    std::printf("%12s  %-19s  %s\n", "SIZE", "MODIFIED", "PATH");
  }
  // A partitioned source is listed partition by partition, in the order they lie on the disk.
  const auto bySource = [](const FoundFileRecord& a, const FoundFileRecord& b) { return a.sourceTag < b.sourceTag; };
  if (!std::is_sorted(results.begin(), results.end(), bySource))
    std::stable_sort(results.begin(), results.end(), bySource);
  std::uint16_t lastSource = 0;
  for (const FoundFileRecord& r : results) {
    IFileRecoveryParse* engine = session.EngineOf(r);
    if (engine == nullptr) continue;
    if (options.json) {
      std::printf("%s\n", RecordJson(*engine, r).Text("source", session.SourceTextOf(r)).Done().c_str());
      continue;
    }
    if (partitioned && r.sourceTag != lastSource) {
      std::printf("%s%s\n%12s  %-19s  %s\n", lastSource == 0 ? "" : "\n", session.SourceTextOf(r).c_str(), "SIZE",
                  "MODIFIED", "PATH");
      lastSource = r.sourceTag;
    }
    std::printf("%12llu  %-19s  %s%s%s\n", static_cast<unsigned long long>(r.size), TextTime(r.modifiedTime).c_str(),
                RecordFolder(*engine, r).c_str(), std::string(RecordName(r)).c_str(),
                r.contentState == 0   ? "  (content does not match its type; likely overwritten)"
                : r.contentState == 2 ? "  (end estimated; the file's own structure did not say)"
                                      : "");
  }
  if (options.json) {
    Json summary;
    summary["summary"] = true;
    summary["files"] = results.size();
    summary["complete"] = !session.Interrupted() && !session.ScanFailed();
    summary["cancelled"] = session.Interrupted();
    summary["error"] = session.FailureText().empty() ? Json(nullptr) : Json(session.FailureText());
    std::printf("%s\n", JsonText(summary).c_str());
  } else {
    std::printf("%zu file(s) found%s.\n", results.size(),
                session.Interrupted() ? " before the scan was stopped"
                : session.ScanFailed() ? " before the scan ended in an error" : "");
  }
  return Finish(session, kExitDone);
}

// Recovering onto the scanned medium overwrites what is still to be recovered: refused unless the
// user insists, and then still warned about.
int CheckTargetMedium(const ScanOptions& options) {
  ResolvedSource resolved;
  std::string error;
  if (ResolveSource(options.source, resolved, error) != kSuccess) return 0;  // the scan says why
  const SameMediumAnswer answer = TargetOnSource(resolved, options.target);
  if (!answer.same) return 0;
  if (options.allowSameDevice) {
    std::fprintf(stderr,
                 "rexmoor: warning: %s is on the medium being scanned (%s); the recovered files may overwrite "
                 "files still to be recovered\n",
                 options.target.c_str(), answer.reason.c_str());
    return 0;
  }
  std::fprintf(stderr,
               "rexmoor: refusing to recover into %s: it is on the medium being scanned (%s), where new files "
               "would overwrite the files still to be recovered; choose a folder on another drive, or pass "
               "--allow-same-device\n",
               options.target.c_str(), answer.reason.c_str());
  return kExitFailure;
}

// A target that cannot take the files is told before the scan, not after hours of it.
int CheckTargetFolder(const ScanOptions& options) {
  std::uint64_t freeBytes = 0;
  std::string failedPath;
  const Result r = CheckTargetWritable(options.target, freeBytes, failedPath);
  if (r == kSuccess) return 0;
  if (r == kErrDirectory && failedPath == options.target)
    std::fprintf(stderr, "rexmoor: cannot recover into %s: it is a file, not a folder\n", options.target.c_str());
  else
    std::fprintf(stderr, "rexmoor: cannot recover into %s: %s: %s\n", options.target.c_str(), failedPath.c_str(),
                 ResultMessage(r).c_str());
  return kExitFailure;
}

// The selected files must fit: a target that fills up half-way leaves a half-written recovery.
int CheckFreeSpace(const ScanOptions& options, ScanSession& session, const RecordList& results) {
  if (options.ignoreFreeSpace) return 0;
  // No file is written larger than the medium it was found on, whatever size a damaged entry claims.
  std::uint64_t needed = 0;
  for (const FoundFileRecord& r : results)
    if (r.isFolder == 0) needed += std::min(std::uint64_t{r.size}, session.SourceBytesOf(r));
  std::uint64_t freeBytes = 0;
  std::string failedPath;
  if (CheckTargetWritable(options.target, freeBytes, failedPath) != kSuccess || needed <= freeBytes) return 0;
  std::fprintf(stderr,
               "rexmoor: the %zu file(s) found need %llu bytes (%s), but %s has only %llu bytes (%s) free; "
               "choose a folder with more room, narrow the files with --types or --ext, or pass "
               "--ignore-free-space\n",
               results.size(), static_cast<unsigned long long>(needed),
               FormatSize(static_cast<std::int64_t>(needed)).c_str(), options.target.c_str(),
               static_cast<unsigned long long>(freeBytes), FormatSize(static_cast<std::int64_t>(freeBytes)).c_str());
  return kExitFailure;
}

// Digests that were asked for and cannot be made are told before the scan, not missed after it.
int CheckHashing(const ScanOptions& options) {
  if (!options.hashSha256 && !options.hashMd5 && !options.hashSource) return 0;
  std::string why;
  if (RecoveryJob::CanHash(&why)) return 0;
  std::fprintf(stderr, "rexmoor: cannot hash what is recovered: %s\n", why.c_str());
  return kExitFailure;
}

int RunRecover(const ScanOptions& options) {
  if (int rc = CheckTargetMedium(options); rc != 0) return rc;
  if (int rc = CheckTargetFolder(options); rc != 0) return rc;
  if (int rc = CheckHashing(options); rc != 0) return rc;
  ScanSession session(options);
  if (int rc = session.Scan(); rc != 0) return Finish(session, rc);
  if (session.ScanInterrupted()) {
    std::fputs("rexmoor: nothing was written; the files are recovered once the scan has run to its end.\n", stderr);
    return kExitCancelled;
  }
  RecordList results;
  session.Search(results);
  if (session.Interrupted()) return kExitCancelled;
  ApplyFilter(options.filter, results);
  if (int rc = CheckFreeSpace(options, session, results); rc != 0) return rc;
  SelectionMap selection;
  for (const FoundFileRecord& r : results) selection.emplace(SelectionKey(r), r);
  RecoveryPrinter printer(session.Progress(), options.json, options.target);
  RecoveryJob job(session.Sources(), selection, options.target, &printer, nullptr,
                  [](const std::string& key) { return GetMessageCatalog().Msg(key); });
  if (options.hashSha256 || options.hashMd5) {
    job.HashFiles(options.hashSha256, options.hashMd5);
    printer.SetDigestSource([&job](const std::string& path) { return job.DigestsOf(path); });
  }
  if (options.keepFolders)
    job.KeepFolders([&session](const FoundFileRecord& r) {
      // The source as the command line named it, without the folders it lies in.
      const std::string& text = session.SourceTextOf(r);
      return text.substr(text.rfind('/') == std::string::npos ? 0 : text.rfind('/') + 1);
    });
  {
    InterruptWatch<RecoveryJob> watch(job);
    job.Run();
  }
  session.Progress().Finish();
  if (options.report && !job.Files().empty()) {
    const DfxmlReport report = RecoveryReport(job, session.Sources(), session.SourceTexts(), options.commandLine,
                                              options.startTime, options.hashSource);
    if (Result r = SaveDfxmlInTarget(report, options.target); r != kSuccess)
      std::fprintf(stderr, "rexmoor: could not write %s/%s: %s\n", job.TargetFolder().c_str(), kReportFileName,
                   ResultMessage(r).c_str());
  }
  const int ok = job.DoneCount() - job.FailedCount() - job.IncompleteCount();
  if (options.json) {
    Json summary;
    summary["summary"] = true;
    summary["target"] = job.TargetFolder();
    summary["total"] = job.Total();
    summary["done"] = job.DoneCount();
    summary["recovered"] = ok;
    summary["incomplete"] = job.IncompleteCount();
    summary["failed"] = job.FailedCount();
    summary["cancelled"] = job.Cancelled();
    std::printf("%s\n", JsonText(summary).c_str());
  } else {
    std::string tail;
    if (job.IncompleteCount() > 0) tail += ", " + std::to_string(job.IncompleteCount()) + " incomplete";
    if (job.FailedCount() > 0) tail += ", " + std::to_string(job.FailedCount()) + " failed";
    if (job.Cancelled() || session.Interrupted()) tail += " (cancelled)";
    std::printf("%d of %d file(s) recovered into %s%s\n", ok, job.Total(), job.TargetFolder().c_str(), tail.c_str());
  }
  if (job.Cancelled() || session.Interrupted()) return kExitCancelled;
  return job.FailedCount() > 0 || job.IncompleteCount() > 0 ? kExitFailure : Finish(session, kExitDone);
}

int RunTree(const ScanOptions& options) {
  ScanSession session(options);
  if (int rc = session.Scan(); rc != 0) return Finish(session, rc);
  // Depth-first over the catalogue; a folder met twice (a damaged log) is shown once. A folder is
  // known by the engine that found it as well: the deep scan's engines number their records
  // alike.
  std::set<std::tuple<std::int32_t, std::uint32_t, std::uint32_t>> seen;
  IFileRecoveryParse* current = nullptr;
  std::string currentSource;
  std::function<void(const FoundFileRecord*, int)> walk = [&](const FoundFileRecord* folder, int level) {
    IFileRecoveryParse& engine = *current;
    if (level > 256) return;
    RecordList children;
    engine.GetChildren(folder, level, children);
    for (const FoundFileRecord& child : children) {
      if (options.json) {
        std::printf("%s\n",
                    RecordJson(engine, child).Text("source", currentSource).Signed("depth", level).Done().c_str());
      } else if (child.isFolder != 0) {
        std::printf("%*s%s/\n", level * 2, "", std::string(RecordName(child)).c_str());
      } else {
        std::printf("%*s%s  (%s)\n", level * 2, "", std::string(RecordName(child)).c_str(), FormatSize(static_cast<std::int64_t>(child.size)).c_str());
      }
      if (child.isFolder != 0 && seen.emplace(std::int32_t{child.engineTag}, std::uint32_t{child.objectNumber},
                                              std::uint32_t{child.recordId}).second)
        walk(&child, level + 1);
    }
  };
  const bool partitioned = session.SourceTexts().size() > 1;
  for (std::size_t i = 0; i < session.Sources().size(); ++i) {
    current = session.Sources()[i].engine.get();
    if (current == nullptr) continue;
    currentSource = session.SourceTexts()[i];
    seen.clear();
    if (partitioned && !options.json) std::printf("%s%s\n", i == 0 ? "" : "\n", currentSource.c_str());
    walk(nullptr, 0);
  }
  return Finish(session, kExitDone);
}

}  // namespace rexmoor::cli
