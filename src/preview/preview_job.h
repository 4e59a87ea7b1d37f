// Getting a found file ready to be looked at: the engine that found it copies its data into a
// temporary file (pictures, media, documents, archives) or into a 20 MiB buffer (anything else),
// with progress and the cancel handshake of every job. The session remembers the temporary file
// of the last preview, removes it before the next one and when it ends.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/job_control.h"
#include "app/scan_job.h"
#include "engine/found_file_record.h"
#include "preview/document_view.h"

namespace rexmoor {

// How a prepared preview is shown.
enum class PreviewShow {
  Nothing,  // cancelled, or the engine gave nothing
  Picture,  // picturePath: a picture file for an image reader (unreadable ones show MSG0905): the
            // found file, or what the picture program drew of it (then not dataPath)
  PdfPage,  // picturePath: the first page, drawn as PNG
  Text,     // text: a document's text or an archive's listing
  Dump,     // text: the character dump
  Media,    // dataPath: audio (plan.audio) or video to play
};

class PreviewSession;

// What one preview got from the engine, and what it is shown as.
struct PreviewData {
  FoundFileRecord record{};
  std::string dataPath;              // the temporary file; empty when the data came back in memory
  std::vector<std::uint8_t> bytes;   // the leading bytes, when they came back in memory
  PreviewPlan plan;
  PreviewShow show = PreviewShow::Nothing;
  std::string text;
  std::string picturePath;
};

// Turns extracted data into what is shown: media are played, documents converted (a failed
// conversion shows the dump of the file's first 8192 bytes, after a line saying which limit it
// hit where it hit one), other files with a data path are pictures, and data in memory is dumped.
// cancelled, when given, may end a conversion early: then nothing is shown.
void PresentPreview(PreviewData& data, PreviewSession& session, const std::function<bool()>& cancelled = {});

inline constexpr std::uint32_t kPreviewBufferBytes = 0x1400000;  // 20 MiB

// The temporary files of the previews of one program run.
class PreviewSession {
 public:
  // Removes what previews of processes that no longer run left behind (a preview killed half-way
  // leaves its copy of the found file).
  PreviewSession();
  // Removes the files of the last preview and this process's preview folder.
  ~PreviewSession();
  PreviewSession(const PreviewSession&) = delete;
  PreviewSession& operator=(const PreviewSession&) = delete;

  // Removes the files of the last preview.
  void Clear();
  // Takes a file of the current preview into care (removed by the next Clear).
  void Keep(const std::string& path);
  // Where a PDF's first page is drawn.
  static std::string PdfPagePath();
  // Where a picture the image readers cannot read is drawn (picture_draw.h).
  static std::string DrawnPicturePath();

 private:
  std::vector<std::string> files_;
};

class PreviewJob : public JobControl {
 public:
  // The percent text is texts("MSG0901") + " " + percent + "%"; the cancel question MSG0903.
  PreviewJob(std::vector<ScanSourceEntry>& sources, const FoundFileRecord& record, PreviewSession& session,
             IProgressBarView* view, IQuestionAsker* asker, TextLookup texts);
  ~PreviewJob() override;
  PreviewJob(const PreviewJob&) = delete;
  PreviewJob& operator=(const PreviewJob&) = delete;

  void Run() override;

  // After the work: 0, kCancelled, or why the engine could not extract the file.
  Result Outcome() const { return outcome_; }
  PreviewData& Data() { return data_; }

  static std::int32_t OnProgress(void* userData, std::int32_t percent, std::int32_t resultCode);

 private:
  std::vector<ScanSourceEntry>& sources_;
  PreviewSession& session_;
  IProgressBarView* view_;
  TextLookup texts_;
  PreviewData data_;
  Result outcome_ = kErrGenFailure;
};

}  // namespace rexmoor
