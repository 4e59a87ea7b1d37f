#include "preview/preview_job.h"

#include <unistd.h>

#include <mutex>

#include "engine/preview_target.h"
#include "platform/file_handle.h"
#include "preview/pdf_page.h"
#include "preview/picture_draw.h"

namespace rexmoor {

PreviewSession::PreviewSession() { RemoveStalePreviewFolders(); }

PreviewSession::~PreviewSession() {
  Clear();
  ::rmdir(PreviewFolder().c_str());  // only when empty: another session of this process may use it
}

void PreviewSession::Clear() {
  for (const std::string& path : files_) ::unlink(path.c_str());
  files_.clear();
}

void PreviewSession::Keep(const std::string& path) {
  if (!path.empty()) files_.push_back(path);
}

std::string PreviewSession::PdfPagePath() { return PreviewFolder() + "page.png"; }

std::string PreviewSession::DrawnPicturePath() { return PreviewFolder() + "picture.drawn"; }

namespace {

std::vector<std::uint8_t> FilePrefix(const std::string& path, std::size_t maxBytes) {
  std::vector<std::uint8_t> bytes;
  FileHandle file;
  if (FileHandle::OpenReadOnly(path, file) != kSuccess) return bytes;
  std::string prefix;
  if (ReadPrefix(file, maxBytes, prefix) != kSuccess) return bytes;
  bytes.assign(prefix.begin(), prefix.end());
  return bytes;
}

}  // namespace

void PresentPreview(PreviewData& data, PreviewSession& session, const std::function<bool()>& cancelled) {
  data.text.clear();
  data.picturePath.clear();
  if (data.dataPath.empty()) {
    data.show = PreviewShow::Dump;
    data.text = CharacterDump(data.bytes);
    return;
  }
  if (data.plan.media) {
    data.show = PreviewShow::Media;
    return;
  }
  if (data.plan.converter == ConverterKind::None) {
    data.show = PreviewShow::Picture;
    data.picturePath = data.dataPath;
    if (!NeedsPictureDrawing(RecordName(data.record), FilePrefix(data.dataPath, 64))) return;
    // Drawn by the picture program; when it cannot, the file itself goes to the reader, which
    // then says that it cannot show it.
    std::string failure;
    const Result drawn =
        DrawPicture(data.dataPath, PreviewSession::DrawnPicturePath(), kPreviewPictureMaxSide, cancelled, failure);
    if (drawn == kCancelled) {
      data.show = PreviewShow::Nothing;
      data.picturePath.clear();
    } else if (drawn == kSuccess) {
      data.picturePath = PreviewSession::DrawnPicturePath();
      session.Keep(data.picturePath);
    }
    return;
  }
  std::unique_ptr<IDocumentView> view =
      MakeDocumentView(data.plan.converter, PreviewSession::PdfPagePath(), cancelled);
  std::string out;
  const Result converted = view != nullptr ? view->Convert(data.dataPath, out) : kErrInvalidParameter;
  if (converted == kCancelled) {
    data.show = PreviewShow::Nothing;
    return;
  }
  if (converted == kSuccess) {
    if (data.plan.converter == ConverterKind::Pdf) {
      data.show = PreviewShow::PdfPage;
      data.picturePath = out;
      session.Keep(out);
    } else {
      data.show = PreviewShow::Text;
      data.text = std::move(out);
    }
    return;
  }
  data.show = PreviewShow::Dump;
  data.text = CharacterDump(FilePrefix(data.dataPath, kDumpFallbackBytes));
  if (const auto* pdf = dynamic_cast<const PdfFirstPage*>(view.get()); pdf != nullptr && !pdf->Failure().empty())
    data.text = pdf->Failure() + "\r\n" + data.text;
}

PreviewJob::PreviewJob(std::vector<ScanSourceEntry>& sources, const FoundFileRecord& record,
                       PreviewSession& session, IProgressBarView* view, IQuestionAsker* asker, TextLookup texts)
    : JobControl(asker, [this] { return texts_("MSG0903"); }),
      sources_(sources),
      session_(session),
      view_(view),
      texts_(std::move(texts)) {
  if (!texts_) texts_ = [](const std::string&) { return std::string(); };
  data_.record = record;
}

PreviewJob::~PreviewJob() { Wait(); }

std::int32_t PreviewJob::OnProgress(void* userData, std::int32_t percent, std::int32_t) {
  auto* job = static_cast<PreviewJob*>(userData);
  std::lock_guard<std::mutex> lock(job->Mutex());
  if (job->CancelRequestedLocked()) return kCancelled;
  if (job->view_ != nullptr) {
    job->view_->SetPercent(job->texts_("MSG0901") + " " + std::to_string(percent) + "%");
    job->view_->SetProgressBar(percent);
  }
  return kSuccess;
}

void PreviewJob::Run() {
  const FoundFileRecord record = data_.record;
  data_.plan = PlanPreview(RecordName(record));
  data_.dataPath.clear();
  data_.bytes.assign(kPreviewBufferBytes, 0);
  // The files of the last preview go before this one is written.
  session_.Clear();

  IFileRecoveryParse* engine = EngineForRecord(sources_, record);
  if (engine == nullptr) {
    outcome_ = kErrInvalidParameter;
    data_.bytes.clear();
    MarkDone();
    return;
  }
  std::uint32_t length = kPreviewBufferBytes;
  Result result;
  {
    std::lock_guard<std::mutex> lock(EngineUseLock());
    result = engine->ExtractForPreview(&record, data_.dataPath, data_.bytes.data(), &length, &PreviewJob::OnProgress,
                                       this);
  }
  session_.Keep(data_.dataPath);
  data_.bytes.resize(data_.dataPath.empty() ? std::min(length, kPreviewBufferBytes) : 0);
  data_.bytes.shrink_to_fit();
  if (CancelRequested() && result == kSuccess) result = kCancelled;
  outcome_ = result;
  if (result == kCancelled) {
    data_.show = PreviewShow::Nothing;
  } else if (result != kSuccess && !data_.dataPath.empty() && ::access(data_.dataPath.c_str(), F_OK) != 0) {
    data_.show = PreviewShow::Nothing;  // a failed copy removes its file: there is nothing to show
  } else {
    PresentPreview(data_, session_, [this] { return CancelRequested(); });
    if (data_.show == PreviewShow::Nothing && CancelRequested()) outcome_ = kCancelled;
  }
  MarkDone();
}

}  // namespace rexmoor
