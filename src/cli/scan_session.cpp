#include "cli/scan_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

// Written by the signal handler, read by whoever waits for Ctrl-C.
int g_interruptPipe[2] = {-1, -1};

extern "C" void OnInterrupt(int) {
  g_interrupted.store(true);
  const int saved = errno;
  const char byte = 1;
  if (g_interruptPipe[1] >= 0) (void)!::write(g_interruptPipe[1], &byte, 1);
  errno = saved;
}

// The continue question of a deep scan: --resume answers it; else a person at a terminal is
// asked, and a run without one continues.
class ResumeAsker : public IQuestionAsker {
 public:
  ResumeAsker(const std::string& option, TerminalProgress& progress) : option_(option), progress_(progress) {}
  bool AskYesNo(const std::string& question) override {
    if (option_ == "yes") return true;
    if (option_ == "no") return false;
    progress_.Finish();
    if (::isatty(STDIN_FILENO) != 1 || ::isatty(STDERR_FILENO) != 1) {
      std::fputs("rexmoor: continuing the earlier deep scan of this source (--resume no starts afresh)\n", stderr);
      return true;
    }
    std::fprintf(stderr, "%s [Y/n] ", question.c_str());
    std::fflush(stderr);
    char line[64] = {};
    if (std::fgets(line, sizeof line, stdin) == nullptr) return true;
    return line[0] != 'n' && line[0] != 'N';
  }

 private:
  std::string option_;
  TerminalProgress& progress_;
};

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

InterruptWaiter::InterruptWaiter() {
  // Without the pipe the waiter cannot be woken early; stop_ stays -1 and it only times out.
  if (::pipe2(stop_, O_CLOEXEC) != 0) stop_[0] = stop_[1] = -1;
}

InterruptWaiter::~InterruptWaiter() {
  for (int fd : stop_)
    if (fd >= 0) ::close(fd);
}

bool InterruptWaiter::Wait() {
  for (;;) {
    if (g_interrupted.load()) return true;
    pollfd fds[2] = {{g_interruptPipe[0], POLLIN, 0}, {stop_[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno != EINTR) return g_interrupted.load();
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) return g_interrupted.load();
    if ((fds[0].revents & POLLIN) != 0) {
      char bytes[16];
      (void)!::read(g_interruptPipe[0], bytes, sizeof bytes);
    }
  }
}

void InterruptWaiter::Stop() {
  const char byte = 1;
  if (stop_[1] >= 0) (void)!::write(stop_[1], &byte, 1);
}

void CatchInterrupts() {
  if (g_interruptPipe[0] < 0 && ::pipe2(g_interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    g_interruptPipe[0] = g_interruptPipe[1] = -1;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

ScanSession::ScanSession(const ScanOptions& options) : options_(options), progress_(false) { CatchInterrupts(); }

ScanSession::~ScanSession() {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
}

bool ScanSession::Interrupted() const { return scanInterrupted_ || g_interrupted.load(); }

int ScanSession::Scan() {
  ResolvedSource resolved;
  std::string error;
  if (ResolveSource(options_.source, resolved, error) != kSuccess) {
    std::fprintf(stderr, "rexmoor: %s\n", error.c_str());
    return kExitFailure;
  }
  sources_.clear();
  sourceTexts_.clear();
  // A whole partitioned disk or image is scanned partition by partition (and, deep, with the
  // unallocated areas between them), as the desktop program scans a disk.
  std::size_t areas = 0;
  std::vector<ResolvedSource> parts = PartitionSources(resolved, options_.deep, &areas);
  if (!parts.empty() && !allowPartitions_) {
    std::fprintf(stderr, "rexmoor: %s holds a partition table; name one of its partitions, e.g. %s (rexmoor devices %s lists them)\n",
                 options_.source.c_str(), parts.front().text.c_str(), options_.source.c_str());
    return kExitFailure;
  }
  if (!options_.deep) {
    // A quick scan reads FAT, exFAT and NTFS volumes; the other partitions are named and passed over.
    std::vector<ResolvedSource> readable;
    for (ResolvedSource& part : parts) {
      if (HasQuickEngine(DetectSourceKind(part))) readable.push_back(std::move(part));
      else std::fprintf(stderr, "rexmoor: %s: no FAT, exFAT or NTFS volume found there for a quick scan\n", part.text.c_str());
    }
    if (!parts.empty() && readable.empty()) return kExitFailure;
    parts = std::move(readable);
  }
  if (parts.empty()) parts.push_back(resolved);
  std::uint16_t tag = 1;
  for (const ResolvedSource& part : parts) {
    sources_.push_back(MakeScanSource(part, tag++));
    sourceTexts_.push_back(part.text);
  }
  if (parts.size() > 1 || parts.front().text != resolved.text) {
    const std::size_t partitions = parts.size() - std::min(areas, parts.size());
    std::string what = std::to_string(partitions) + (partitions == 1 ? " partition" : " partitions");
    if (areas > 0 && areas <= parts.size())
      what += " and " + std::to_string(areas) + (areas == 1 ? " unallocated area" : " unallocated areas");
    std::fprintf(stderr, "rexmoor: %s holds a partition table; scanning its %s one by one\n", options_.source.c_str(),
                 what.c_str());
  }
  EndWatcher watcher;
  ResumeAsker asker(options_.resume, progress_);
  SetDeepScanJobs(options_.jobs);
  ScanJob job(sources_, options_.deep, &progress_, &asker, &watcher, CatalogTexts());
  {
    InterruptWatch<ScanJob> watch(job);
    job.Run();
  }
  progress_.Finish();
  for (const std::string& notice : TakeScanLogNotices()) std::fprintf(stderr, "rexmoor: %s\n", notice.c_str());
  if (job.Failure().code != kSuccess && job.Failure().source.empty()) {
    std::fprintf(stderr, "rexmoor: %s --data-dir chooses another folder.\n", job.FailureText().c_str());
    return kExitFailure;
  }
  if (job.Failure().code != kSuccess) {
    // The listing still follows: what was found before the failure is real.
    failureText_ = job.FailureText();
    std::fprintf(stderr, "rexmoor: %s\n", failureText_.c_str());
    scanFailed_ = true;
  }
  if (watcher.closed == kJobFailedToStart) {
    if (options_.deep)
      std::fprintf(stderr, "rexmoor: %s: cannot be read for a deep scan\n", options_.source.c_str());
    else
      std::fprintf(stderr, "rexmoor: %s: no FAT, exFAT or NTFS volume found there for a quick scan\n",
                   options_.source.c_str());
    return kExitFailure;
  }
  if (g_interrupted.load()) {
    // The scan stopped where it was; what it found is kept. The listing that follows is not
    // cancelled by the same Ctrl-C.
    scanInterrupted_ = true;
    g_interrupted.store(false);
    IFileRecoveryParse& engine = Engine();
    if (ScanSavedItsPlace(engine))
      std::fputs("rexmoor: scan stopped; what was found so far is kept. Run the same command with --resume yes "
                 "to continue where it stopped.\n",
                 stderr);
    else if (IsDeepScanEngine(engine))
      std::fputs("rexmoor: scan stopped before the sweep began; nothing to continue from.\n", stderr);
    else
      std::fputs("rexmoor: scan stopped; what was found so far is listed.\n", stderr);
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

IFileRecoveryParse& ScanSession::Engine() {
  for (ScanSourceEntry& source : sources_)
    if (source.engine) return *source.engine;
  return *sources_.front().engine;
}

std::uint64_t ScanSession::SourceBytesOf(const FoundFileRecord& record) const {
  for (const ScanSourceEntry& s : sources_) {
    if (s.kind == ScanSourceEntry::Kind::Image && s.sourceTag == record.sourceTag) {
      return ImageDiskBytes(s.imagePath);
    }
    // Drives count in their own sectors; 4 KiB is the largest a drive reports.
    if (s.kind == ScanSourceEntry::Kind::Partition && s.driveLetter == record.sourceTag)
      return s.sectorCount > UINT64_MAX / 4096 ? UINT64_MAX : s.sectorCount * 4096;
  }
  return UINT64_MAX;
}

IFileRecoveryParse* ScanSession::EngineOf(const FoundFileRecord& record) { return EngineForRecord(sources_, record); }

const std::string& ScanSession::SourceTextOf(const FoundFileRecord& record) const {
  for (std::size_t i = 0; i < sources_.size(); ++i) {
    const ScanSourceEntry& s = sources_[i];
    const std::uint16_t tag = s.kind == ScanSourceEntry::Kind::Image ? s.sourceTag : s.driveLetter;
    if (tag == record.sourceTag) return sourceTexts_[i];
  }
  return options_.source;
}

std::string RecordFolder(IFileRecoveryParse& engine, const FoundFileRecord& record) {
  std::string folder;
  if (engine.GetFolderPath(&record, folder) != kSuccess) folder.clear();
  return folder;
}

}  // namespace rexmoor::cli
