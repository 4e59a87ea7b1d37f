#include "cli/scan_session.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/message_catalog.h"
#include "app/search_job.h"
#include "app/source_resolver.h"
#include "cli/commands.h"

namespace rexmoor::cli {

std::atomic<bool> g_interrupted{false};

namespace {

extern "C" void OnInterrupt(int) { g_interrupted.store(true); }

TextLookup CatalogTexts() {
  return [](const std::string& key) { return GetMessageCatalog().Msg(key); };
}

struct EndWatcher : IScanJobObserver {
  std::int32_t closed = 0;
  bool ended = false;
  void OnScanEnded() override { ended = true; }
  void OnJobClosed(std::int32_t result) override { closed = result; }
};

}  // namespace

ScanSession::ScanSession(const ScanOptions& options) : options_(options), progress_(false) {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

ScanSession::~ScanSession() {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
}

bool ScanSession::Interrupted() const { return g_interrupted.load(); }

int ScanSession::Scan() {
  ResolvedSource resolved;
  std::string error;
  if (ResolveSource(options_.source, resolved, error) != kSuccess) {
    std::fprintf(stderr, "rexmoor: %s\n", error.c_str());
    return kExitFailure;
  }
  if (DetectSourceKind(resolved) == VolumeKind::Ext)
    std::fprintf(stderr, "rexmoor: %s holds an ext2/3/4 volume; the quick scan searches FAT and NTFS volumes only\n",
                 options_.source.c_str());
  sources_.clear();
  sources_.push_back(MakeScanSource(resolved, 1));
  EndWatcher watcher;
  {
    ScanJob job(sources_, options_.deep, &progress_, nullptr, &watcher, CatalogTexts());
    InterruptWatch<ScanJob> watch(job);
    job.Run();
  }
  progress_.Finish();
  if (watcher.closed == kJobFailedToStart || !sources_.front().engine) {
    std::fprintf(stderr, "rexmoor: %s: no FAT or NTFS volume found there for a quick scan\n",
                 options_.source.c_str());
    return kExitFailure;
  }
  return 0;
}

int ScanSession::Search(RecordList& results) {
  const std::string pattern = BuildSearchPattern(options_.groups, options_.extensions);
  EndWatcher watcher;
  SearchJob job(sources_, pattern, &progress_, nullptr, &watcher, CatalogTexts());
  {
    InterruptWatch<SearchJob> watch(job);
    job.Run();
  }
  progress_.Finish();
  results = std::move(job.Results());
  return 0;
}

std::string RecordFolder(IFileRecoveryParse& engine, const FoundFileRecord& record) {
  std::string folder;
  if (engine.GetFolderPath(&record, folder) != kSuccess) folder.clear();
  return folder;
}

}  // namespace rexmoor::cli
