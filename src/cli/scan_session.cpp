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


std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    if (comma > pos) items.push_back(text.substr(pos, comma - pos));
    pos = comma + 1;
  }
  return items;
}

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

int ParseScanOptions(const std::vector<std::string>& args, bool wantsTarget, const char* usage, ScanOptions& out) {
  auto fail = [usage](const std::string& message) {
    std::fprintf(stderr, "rexmoor: %s\n%s", message.c_str(), usage);
    return kExitUsage;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) -> bool {
      const std::size_t eq = a.find('=');
      if (eq != std::string::npos) {
        into = a.substr(eq + 1);
        return true;
      }
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    auto is = [&a](const char* name) {
      const std::size_t n = std::char_traits<char>::length(name);
      return a.compare(0, n, name) == 0 && (a.size() == n || a[n] == '=');
    };
    if (a == "--quick") {
      out.deep = false;
    } else if (a == "--deep") {
      out.deep = true;
    } else if (is("--types")) {
      std::string list;
      if (!value(list)) return fail("--types needs a list");
      for (const std::string& word : SplitList(list)) {
        TypeGroup group;
        if (!ParseTypeGroup(word, group)) return fail("unknown type group '" + word + "'");
        out.groups.push_back(group);
      }
    } else if (is("--ext")) {
      std::string list;
      if (!value(list)) return fail("--ext needs a list");
      for (const std::string& word : SplitList(list)) out.extensions.push_back(word);
    } else if (is("--format")) {
      std::string format;
      if (!value(format) || (format != "text" && format != "json")) return fail("--format is text or json");
      out.json = format == "json";
    } else if (is("--data-dir")) {
      if (!value(out.dataDir) || out.dataDir.empty()) return fail("--data-dir needs a folder");
    } else if (is("--resume")) {
      if (!value(out.resume) || (out.resume != "yes" && out.resume != "no")) return fail("--resume is yes or no");
    } else if (wantsTarget && a == "--allow-same-device") {
      out.allowSameDevice = true;
    } else if (wantsTarget && is("--to")) {
      if (!value(out.target) || out.target.empty()) return fail("--to needs a folder");
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return fail("unknown option '" + a + "'");
    } else if (out.source.empty()) {
      out.source = a;
    } else {
      return fail("more than one SOURCE given");
    }
  }
  if (out.source.empty()) return fail("no SOURCE given");
  if (wantsTarget && out.target.empty()) return fail("recover needs --to DIR");
  if (out.deep) {
    std::fputs("rexmoor: only the quick scan (--quick) is available so far; the deep scan is not built yet\n", stderr);
    return kExitUsage;
  }
  if (!out.dataDir.empty()) setenv("REXMOOR_DATA_DIR", out.dataDir.c_str(), 1);
  return 0;
}

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
