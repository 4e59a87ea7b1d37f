// rexmoor preview: shows one found file the way the desktop program's preview panel does. The
// file is found again through the scan of its source (a deep scan continues from the scan log of
// the earlier scan in the same data folder, so nothing is swept twice).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "app/source_resolver.h"
#include "cli/commands.h"
#include "cli/scan_session.h"
#include "platform/file_handle.h"
#include "preview/preview_job.h"

namespace rexmoor::cli {

namespace {

bool ParseId(const std::string& text, std::uint32_t& engine, std::uint32_t& id) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  try {
    std::size_t used = 0;
    const unsigned long e = std::stoul(text.substr(0, colon), &used);
    if (used != colon) return false;
    const unsigned long long i = std::stoull(text.substr(colon + 1), &used);
    if (used != text.size() - colon - 1 || e > 0xFFFF || i > 0xFFFFFFFFull) return false;
    engine = static_cast<std::uint32_t>(e);
    id = static_cast<std::uint32_t>(i);
    return true;
  } catch (...) {
    return false;
  }
}

// The user's FILE, which must not exist yet.
bool CreateOutput(const std::string& to, FileHandle& out) {
  const Result r = FileHandle::CreateNew(to, out);
  if (r == kSuccess) return true;
  std::fprintf(stderr, "rexmoor: %s: %s\n", to.c_str(),
               r == kErrFileExists ? "exists already (choose another FILE)" : ResultMessage(r).c_str());
  return false;
}

// Copies a preview file to the user's FILE.
int WriteCopy(const std::string& from, const std::string& to) {
  FileHandle in;
  if (Result r = FileHandle::OpenReadOnly(from, in); r != kSuccess) {
    std::fprintf(stderr, "rexmoor: the preview file could not be read: %s\n", ResultMessage(r).c_str());
    return kExitFailure;
  }
  FileHandle out;
  if (!CreateOutput(to, out)) return kExitFailure;
  std::vector<std::uint8_t> buffer(1 << 20);
  for (;;) {
    const ssize_t n = in.Read(buffer.data(), buffer.size());
    if (n < 0) {
      std::fprintf(stderr, "rexmoor: the preview file could not be read: %s\n", ResultMessage(ResultFromErrno(errno)).c_str());
      return kExitFailure;
    }
    if (n == 0) break;
    if (Result r = out.WriteAll(buffer.data(), static_cast<std::size_t>(n)); r != kSuccess) {
      std::fprintf(stderr, "rexmoor: %s: %s\n", to.c_str(), ResultMessage(r).c_str());
      ::unlink(to.c_str());
      return kExitFailure;
    }
  }
  return kExitDone;
}

int WriteText(const std::string& text, const std::string& to) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) shown += text[i];
  if (to.empty()) {
    std::fwrite(shown.data(), 1, shown.size(), stdout);
    if (!shown.empty() && shown.back() != '\n') std::fputc('\n', stdout);
    return kExitDone;
  }
  FileHandle out;
  if (!CreateOutput(to, out)) return kExitFailure;
  if (Result r = out.WriteAll(shown.data(), shown.size()); r != kSuccess) {
    std::fprintf(stderr, "rexmoor: %s: %s\n", to.c_str(), ResultMessage(r).c_str());
    return kExitFailure;
  }
  return kExitDone;
}

// The extraction's progress on the terminal's bar.
class PreviewBar : public IProgressBarView {
 public:
  explicit PreviewBar(TerminalProgress& bar) : bar_(bar) {}
  void SetProgressBar(std::int32_t percent) override { bar_.SetProgressBar(percent); }
  void SetPercent(const std::string&) override {}

 private:
  TerminalProgress& bar_;
};

const char* KindText(const PreviewData& data) {
  switch (data.show) {
    case PreviewShow::Picture:
      return data.picturePath == data.dataPath ? "a picture" : "a picture, drawn as JPEG or PPM for viewing";
    case PreviewShow::PdfPage: return "the first page of a PDF, drawn as PNG";
    case PreviewShow::Media: return data.plan.audio ? "audio" : "a video";
    default: return "data";
  }
}

}  // namespace

int RunPreview(const PreviewOptions& options) {
  std::uint32_t engineTag = 0;
  std::uint32_t recordId = 0;
  if (!ParseId(options.id, engineTag, recordId)) {
    std::fprintf(stderr, "rexmoor: --id is ENGINE:ID, the engine and id of a file in scan --format json\n");
    return kExitUsage;
  }
  ScanOptions scan = options.scan;
  if (scan.resume.empty()) scan.resume = "yes";  // the earlier scan's log, not a new sweep
  if (!options.output.empty()) {
    // FILE's folder is checked like recover's target: writing onto the scanned medium is refused.
    const std::size_t slash = options.output.rfind('/');
    scan.target = slash == std::string::npos ? std::string(".") : options.output.substr(0, slash + 1);
    if (int rc = CheckTargetMedium(scan); rc != 0) return rc;
  }
  ScanSession session(scan);
  session.RefusePartitionedSource();
  if (int rc = session.Scan(); rc != 0) return session.Interrupted() ? kExitCancelled : rc;
  RecordList results;
  session.Search(results);
  const FoundFileRecord* found = nullptr;
  for (const FoundFileRecord& r : results)
    if (static_cast<std::uint32_t>(r.engineTag) == engineTag && r.recordId == recordId) found = &r;
  if (found == nullptr) {
    session.Progress().Finish();
    std::fprintf(stderr, "rexmoor: no file %s in what the scan of %s found (the ids are those of rexmoor scan --format json)\n",
                 options.id.c_str(), options.scan.source.c_str());
    return kExitFailure;
  }
  if (found->isFolder != 0) {
    std::fprintf(stderr, "rexmoor: %s is a folder; a preview shows files\n", options.id.c_str());
    return kExitFailure;
  }

  PreviewSession files;
  PreviewBar bar(session.Progress());
  session.Progress().SetStage("Preparing the preview of " + std::string(RecordName(*found)));
  PreviewJob job(session.Sources(), *found, files, &bar, nullptr, nullptr);
  {
    InterruptWatch<PreviewJob> watch(job);
    job.Run();
  }
  session.Progress().Finish();
  if (job.Outcome() == kCancelled) return kExitCancelled;
  PreviewData& data = job.Data();
  if (data.show == PreviewShow::Nothing) {
    std::fprintf(stderr, "rexmoor: the file could not be read: %s\n", ResultMessage(job.Outcome()).c_str());
    return kExitFailure;
  }
  if (job.Outcome() != kSuccess)
    std::fprintf(stderr, "rexmoor: the file could only be read in part: %s\n", ResultMessage(job.Outcome()).c_str());
  switch (data.show) {
    case PreviewShow::Text:
    case PreviewShow::Dump: return WriteText(data.text, options.output);
    case PreviewShow::Picture:
    case PreviewShow::PdfPage:
    case PreviewShow::Media: {
      const std::string& from = data.show == PreviewShow::Media ? data.dataPath : data.picturePath;
      if (options.output.empty()) {
        std::printf("%s is %s; give --to FILE to write it.\n", std::string(RecordName(data.record)).c_str(),
                    KindText(data));
        return kExitDone;
      }
      return WriteCopy(from, options.output);
    }
    case PreviewShow::Nothing: break;
  }
  return kExitFailure;
}

}  // namespace rexmoor::cli
