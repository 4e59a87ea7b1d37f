// The preview preparation over the sample card's deep scan: every found file comes out of its
// engine as the kind its name says (pictures, the PDF's first page, the document's text, dumps),
// the temporary files are private and go with the session, and a cancel leaves nothing behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "app/scan_job.h"
#include "engine/preview_target.h"
#include "fat/fat_volume_builder.h"
#include "preview/preview_job.h"
#include "scan/deep_scan_test_util.h"
#include "test_support.h"

namespace rexmoor {
namespace {



// sha256 -> path on the card, from the card's manifest.
std::map<std::string, std::string> CardSums() {
  std::map<std::string, std::string> sums;
  const std::vector<std::uint8_t> text = test::ReadFileBytes(REXMOOR_TEST_SOURCE_DIR "/../samples/card.sha256");
  std::string all(text.begin(), text.end());
  std::size_t at = 0;
  while (at < all.size()) {
    std::size_t end = all.find('\n', at);
    if (end == std::string::npos) end = all.size();
    const std::string line = all.substr(at, end - at);
    if (line.size() > 66) sums[line.substr(0, 64)] = line.substr(line.find('/'));
    at = end + 1;
  }
  return sums;
}

struct ScannedCard {
  test::ScopedDataDir data;
  test::TempDir dir;
  std::vector<ScanSourceEntry> sources;
  RecordList files;
  ScannedCard() {
    const std::string image = test::SampleCardImage(dir);
    ScanSourceEntry source;
    source.kind = ScanSourceEntry::Kind::Image;
    source.imagePath = image;
    source.sourceTag = 'D';
    source.engine = deeptest::DeepScanImage(image);
    sources.push_back(std::move(source));
    if (sources[0].engine) files = deeptest::FilterAll(*sources[0].engine);
  }
};

struct CountingView : IProgressBarView {
  std::vector<std::int32_t> bars;
  std::string lastPercent;
  void SetProgressBar(std::int32_t percent) override { bars.push_back(percent); }
  void SetPercent(const std::string& text) override { lastPercent = text; }
};

TEST(PreviewJob, EveryFileOfTheCardComesOutAsItsKindSays) {
  ScannedCard card;
  ASSERT_TRUE(card.sources[0].engine);
  ASSERT_FALSE(card.files.empty());
  const std::map<std::string, std::string> sums = CardSums();
  PreviewSession session;
  int pictures = 0, pdfs = 0, dumps = 0;
  for (const FoundFileRecord& record : card.files) {
    if (record.isFolder != 0) continue;
    CountingView view;
    PreviewJob job(card.sources, record, session, &view, nullptr,
                   [](const std::string& key) { return key == "MSG0901" ? std::string("Preparing:") : std::string(); });
    job.Run();
    ASSERT_EQ(job.Outcome(), kSuccess) << RecordName(record);
    PreviewData& data = job.Data();
    const std::string name(RecordName(record));
    const std::string extension(RecordExtension(record));
    switch (data.show) {
      case PreviewShow::Picture: {
        ++pictures;
        // The picture file is the found file itself, byte for byte, and only the user may read it.
        const std::string sum = test::Sha256Hex(data.picturePath);
        EXPECT_EQ(sums.count(sum), 1u) << name << " previews as data that was not on the card";
        struct stat info {};
        ASSERT_EQ(::stat(data.picturePath.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
        break;
      }
      case PreviewShow::PdfPage: {
        ++pdfs;
        const std::vector<std::uint8_t> head = test::ReadFileHead(data.picturePath, 8);
        ASSERT_EQ(head.size(), 8u);
        EXPECT_EQ(head[1], 'P');
        EXPECT_EQ(head[2], 'N');
        EXPECT_EQ(head[3], 'G');
        break;
      }
      case PreviewShow::Text: EXPECT_FALSE(data.text.empty()) << name; break;
      case PreviewShow::Dump: {
        ++dumps;
        // Data in memory: at most the buffer, and the dump has one character per byte.
        EXPECT_TRUE(data.dataPath.empty() || !data.plan.document);
        EXPECT_LE(data.bytes.size(), kPreviewBufferBytes);
        break;
      }
      default: ADD_FAILURE() << name << " shows as nothing"; break;
    }
    if (extension == "jpg" || extension == "JPG" || extension == "png") {
      EXPECT_EQ(data.show, PreviewShow::Picture) << name;
    }
    if (extension == "pdf") {
      EXPECT_EQ(data.show, PreviewShow::PdfPage) << name;
    }
    if (extension == "docx") {
      EXPECT_EQ(data.show, PreviewShow::Text) << name;
    }
    if (extension == "txt") {
      EXPECT_EQ(data.show, PreviewShow::Dump) << name;
      EXPECT_TRUE(data.dataPath.empty());
    }
    EXPECT_FALSE(view.bars.empty()) << name << " reported no progress";
    if (!view.bars.empty()) {
      EXPECT_EQ(view.bars.back(), 100) << name;
    }
    EXPECT_EQ(view.lastPercent, "Preparing: 100%") << name;
  }
  EXPECT_GE(pictures, 5);
  EXPECT_GE(pdfs, 1);
  EXPECT_GE(dumps, 1);
}

TEST(PreviewJob, TemporaryFilesAreReplacedByTheNextPreviewAndGoWithTheSession) {
  ScannedCard card;
  ASSERT_TRUE(card.sources[0].engine);
  std::vector<FoundFileRecord> pictures;
  for (const FoundFileRecord& record : card.files)
    if (PreviewTargetKindOf(RecordName(record)) == PreviewTargetKind::Picture) pictures.push_back(record);
  ASSERT_GE(pictures.size(), 2u);
  std::string first;
  {
    PreviewSession session;
    {
      PreviewJob job(card.sources, pictures[0], session, nullptr, nullptr, nullptr);
      job.Run();
      first = job.Data().picturePath;
      ASSERT_TRUE(std::filesystem::exists(first));
    }
    const std::string firstSum = test::Sha256Hex(first);
    PreviewJob second(card.sources, pictures[1], session, nullptr, nullptr, nullptr);
    second.Run();
    // The same temporary name, now holding the second picture.
    EXPECT_EQ(second.Data().picturePath, first);
    EXPECT_NE(test::Sha256Hex(first), firstSum);
  }
  EXPECT_FALSE(std::filesystem::exists(first)) << "the session left its preview file behind";
}

TEST(PreviewJob, CancelledPreparationShowsNothingAndLeavesNoFile) {
  ScannedCard card;
  ASSERT_TRUE(card.sources[0].engine);
  const FoundFileRecord* picture = nullptr;
  for (const FoundFileRecord& record : card.files)
    if (PreviewTargetKindOf(RecordName(record)) == PreviewTargetKind::Picture) picture = &record;
  ASSERT_NE(picture, nullptr);
  PreviewSession session;
  PreviewJob job(card.sources, *picture, session, nullptr, nullptr, nullptr);
  job.Cancel();  // before the first progress report: the engine is told to stop at once
  job.Run();
  EXPECT_EQ(job.Outcome(), kCancelled);
  EXPECT_EQ(job.Data().show, PreviewShow::Nothing);
  EXPECT_FALSE(std::filesystem::exists(PreviewFolder() + kPreviewPictureName));
}

TEST(PreviewJob, ARecordOfNoScannedSourceIsRefused) {
  ScannedCard card;
  ASSERT_FALSE(card.files.empty());
  FoundFileRecord stranger = card.files.front();
  stranger.sourceTag = 'Q';
  PreviewSession session;
  PreviewJob job(card.sources, stranger, session, nullptr, nullptr, nullptr);
  job.Run();
  EXPECT_EQ(job.Outcome(), kErrInvalidParameter);
  EXPECT_EQ(job.Data().show, PreviewShow::Nothing);
}

TEST(PreviewPresent, DataInMemoryIsDumpedAndAFailedConversionDumpsTheFileStart) {
  PreviewSession session;
  PreviewData memory;
  memory.bytes = {'a', 0, 'b'};
  PresentPreview(memory, session);
  EXPECT_EQ(memory.show, PreviewShow::Dump);
  EXPECT_EQ(memory.text, "a.b\r\n");

  // A "docx" that is no zip: the dump of its first 8192 bytes.
  test::TempDir dir;
  const std::string fake = dir / "thesis.docx";
  std::vector<std::uint8_t> bytes(10000, 'x');
  test::WriteFileBytes(fake, bytes);
  PreviewData broken;
  broken.dataPath = fake;
  broken.plan = PlanPreview("thesis.docx");
  PresentPreview(broken, session);
  EXPECT_EQ(broken.show, PreviewShow::Dump);
  EXPECT_EQ(broken.text, CharacterDump(std::span(bytes.data(), kDumpFallbackBytes)));

  // Media are played, not converted; a data path without a converter is a picture.
  PreviewData media;
  media.dataPath = fake;
  media.plan = PlanPreview("song.mp3");
  PresentPreview(media, session);
  EXPECT_EQ(media.show, PreviewShow::Media);
  EXPECT_TRUE(media.plan.audio);
  PreviewData picture;
  picture.dataPath = fake;
  picture.plan = PlanPreview("photo.jpg");
  PresentPreview(picture, session);
  EXPECT_EQ(picture.show, PreviewShow::Picture);
  EXPECT_EQ(picture.picturePath, fake);
}

}  // namespace
}  // namespace rexmoor
