#include "app/search_job.h"

#include <cctype>
#include <chrono>

#include "app/catalog_format.h"
#include "app/type_patterns.h"
#include "platform/text.h"

namespace rexmoor {

SearchJob::SearchJob(std::vector<ScanSourceEntry>& sources, const std::string& pattern, ISearchProgressView* view,
                     IQuestionAsker* asker, IScanJobObserver* observer, TextLookup texts)
    : JobControl(asker, [this] { return texts_("MSG1205"); }),
      sources_(sources),
      converted_(ConvertSearchPattern(pattern)),
      view_(view),
      asker_(asker),
      observer_(observer),
      texts_(std::move(texts)) {
  if (!texts_) texts_ = [](const std::string&) { return std::string(); };
}

SearchJob::~SearchJob() { Wait(); }

std::string SearchJob::StageText(const ScanSourceEntry& source) {
  if (source.kind == ScanSourceEntry::Kind::Image) {
    const std::string& path = source.imagePath;
    std::size_t slash = path.find_last_of("/\\");
    return FillCatalogText(texts_("MSG1203"), {slash == std::string::npos ? path : path.substr(slash + 1)});
  }
  const std::uint16_t letter = source.driveLetter;
  if (letter < 0x80 && std::isalpha(static_cast<unsigned char>(letter)))
    return FillCatalogText(texts_("MSG1201"), {std::string(1, static_cast<char>(letter))});
  return FillCatalogText(texts_("MSG1202"), {std::to_string(letter)});
}

void SearchJob::Run() {
  for (ScanSourceEntry& source : sources_) {
    if (!source.engine) {
      // A source without an engine ends the search without the end notice.
      MarkDone();
      if (observer_ != nullptr) observer_->OnJobClosed(kJobFinished);
      return;
    }
    if (view_ != nullptr) view_->SetStage(StageText(source));
    source.engine->SetFilterCallback(&SearchJob::OnFilterProgress, this);
    source.engine->FilterByType(converted_, results_);
    if (Cancelled()) break;
  }
  MarkDone();
  if (observer_ != nullptr) {
    observer_->OnScanEnded();
    observer_->OnJobClosed(kJobFinished);
  }
}

std::int32_t SearchJob::OnFilterProgress(void* userData, std::int32_t percent, std::int32_t) {
  auto* job = static_cast<SearchJob*>(userData);
  if (job == nullptr) return 0;
  {
    std::lock_guard<std::mutex> lock(job->Mutex());
    if (job->CancelRequestedLocked()) return kCancelled;
    if (job->view_ != nullptr) {
      job->view_->SetPercent(Format("%s %d%%", job->texts_("MSG1204").c_str(), percent));
      job->view_->SetProgressBar(percent);
    }
  }
  if (job->reportHook_) job->reportHook_(percent);
  return 0;
}

}  // namespace rexmoor
