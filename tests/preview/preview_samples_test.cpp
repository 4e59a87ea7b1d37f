// Previews of real files found on real volumes: the sample files put on a FAT volume with mtools
// and deleted, and the same files laid one after another on a medium without a file system (found
// by the carver), come out of the preview as their text, listing, page or dump.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <set>

#include "fat/fat_volume_builder.h"
#include "preview/office_builders.h"
#include "preview/preview_job.h"
#include "scan/deep_scan_test_util.h"
#include "scan/engine_factory.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::ShellQuote;

const std::string kSamples = REXMOOR_TEST_SOURCE_DIR "/samples/files/";

std::vector<std::uint8_t> Sample(const std::string& name) { return test::ReadFileBytes(kSamples + name); }

// What each previewed file must show, by extension.
void ExpectPreview(const std::string& name, const PreviewData& data, const std::vector<std::uint8_t>* randomBytes) {
  const std::string extension = name.substr(name.rfind('.') + 1);
  auto shows = [&](const char* word) {
    EXPECT_NE(data.text.find(word), std::string::npos) << name << " lacks \"" << word << "\":\n" << data.text;
  };
  if (extension == "pdf") {
    EXPECT_EQ(data.show, PreviewShow::PdfPage) << name;
    return;
  }
  if (extension == "heic" || extension == "cr2" || extension == "jxl" || extension == "avif") {
    // Drawn by the picture program (the session removes the drawing at the next preview).
    EXPECT_EQ(data.show, PreviewShow::Picture) << name;
    EXPECT_EQ(data.picturePath, PreviewSession::DrawnPicturePath()) << name;
    return;
  }
  if (extension == "bin") {
    ASSERT_EQ(data.show, PreviewShow::Dump) << name;
    if (randomBytes != nullptr) EXPECT_EQ(data.text, CharacterDump(*randomBytes));
    return;
  }
  ASSERT_EQ(data.show, PreviewShow::Text) << name << " (" << static_cast<int>(data.show) << ")";
  if (extension == "docx") shows("Paragraph 1 of the Rexmoor sample document.");
  if (extension == "xlsx") shows("item");
  if (extension == "xls") shows("row 0");
  if (extension == "pptx") EXPECT_GT(data.text.size(), 5u) << name;
  if (extension == "odt") shows("Found on a card");
  if (extension == "zip") {
    for (const char* entry : {"readme.txt", "notes1.txt", "notes2.txt", "picture.png"}) shows(entry);
  }
  if (extension == "gz" && name.find("tar") != std::string::npos) {
    shows("holiday/day1.txt");
    shows("holiday/day2.txt");
  }
  if (extension == "7z" || extension == "cab" || extension == "gz") EXPECT_GE(data.text.size(), 14u) << name;
}

std::map<std::string, PreviewData> PreviewAll(std::vector<ScanSourceEntry>& sources) {
  std::map<std::string, PreviewData> shown;
  PreviewSession session;
  for (const FoundFileRecord& record : deeptest::FilterAll(*sources[0].engine)) {
    if (record.isFolder != 0) continue;
    PreviewJob job(sources, record, session, nullptr, nullptr, nullptr);
    job.Run();
    EXPECT_EQ(job.Outcome(), kSuccess) << RecordName(record);
    shown[std::string(RecordName(record))] = job.Data();
  }
  return shown;
}

TEST(PreviewSamples, DeletedFilesOfAFatVolumeShowTheirContent) {
  test::ScopedDataDir data;
  test::TempDir dir;
  // A tar.gz and an OpenDocument text made here; the rest are the committed samples.
  ASSERT_EQ(test::RunCommand("mkdir -p " + ShellQuote(dir / "holiday") + " && echo first > " +
                             ShellQuote(dir / "holiday/day1.txt") + " && echo second > " +
                             ShellQuote(dir / "holiday/day2.txt") + " && tar -C " + ShellQuote(dir.path()) +
                             " -czf " + ShellQuote(dir / "trip.tar.gz") + " holiday"),
            0);
  test::WriteZip(dir / "letter.odt",
                 test::OdfPackage("application/vnd.oasis.opendocument.text",
                                  "<office:text><text:p>Found on a card</text:p></office:text>"));
  const std::vector<std::uint8_t> random = test::RandomBytes(3000, 99);

  test::FatVolumeBuilder volume(dir);
  ASSERT_TRUE(volume.Format(16384, 16)) << volume.lastError();
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> files;
  for (const char* name : {"sample.docx", "sample.xlsx", "sample.pptx", "sample.xls", "sample.pdf", "sample.zip",
                           "sample.7z", "sample.cab", "sample.gz"})
    files.emplace_back(name, Sample(name));
  files.emplace_back("trip.tar.gz", test::ReadFileBytes(dir / "trip.tar.gz"));
  files.emplace_back("letter.odt", test::ReadFileBytes(dir / "letter.odt"));
  files.emplace_back("random.bin", random);
  ASSERT_TRUE(volume.MakeFolder("/DOCS")) << volume.lastError();
  ASSERT_TRUE(volume.PutMany("/DOCS", files, "2024-05-01 10:00:00")) << volume.lastError();
  for (const auto& [name, bytes] : files) ASSERT_TRUE(volume.Delete("/DOCS/" + name)) << volume.lastError();

  std::vector<ScanSourceEntry> sources(1);
  sources[0].imagePath = volume.image();
  sources[0].sourceTag = 'D';
  sources[0].engine = CreateEngineForImage(volume.image(), 'D', false);
  ASSERT_TRUE(sources[0].engine);
  ASSERT_EQ(sources[0].engine->Scan(nullptr), kSuccess);
  const std::map<std::string, PreviewData> shown = PreviewAll(sources);
  std::size_t checked = 0;
  for (const auto& [name, data] : shown) {
    // Deleted names lose their first letter.
    for (const auto& [original, bytes] : files) {
      if (name.substr(1) != original.substr(1)) continue;
      ExpectPreview(original, data, &random);
      ++checked;
    }
  }
  EXPECT_EQ(checked, files.size());
}

TEST(PreviewSamples, DeletedFilesOfAnNtfsVolumeShowTheirContent) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for an ntfs-3g mount";
  test::ScopedDataDir data;
  test::TempDir dir;
  const std::string image = dir / "ntfs.img";
  const std::string mount = dir / "mnt";
  ASSERT_EQ(test::RunCommand("truncate -s 16M " + ShellQuote(image) + " && PATH=\"$PATH:/usr/sbin:/sbin\" mkntfs -F -Q -q -L RXPREV >/dev/null 2>&1 " +
                             ShellQuote(image) + " && mkdir -p " + ShellQuote(mount)),
            0);
  if (test::RunCommand("ntfs-3g " + ShellQuote(image) + " " + ShellQuote(mount) + " 2>/dev/null") != 0)
    GTEST_SKIP() << "ntfs-3g cannot mount here (no FUSE?)";
  const std::vector<std::string> names = {"sample.docx", "sample.xlsx", "sample.xls", "sample.pdf", "sample.zip", "sample.7z"};
  std::string copy;
  for (const std::string& name : names) copy += " " + ShellQuote(kSamples + name);
  const int written = test::RunCommand("cp" + copy + " " + ShellQuote(mount) + " && sync && rm " + ShellQuote(mount) + "/* && sync");
  test::RunCommand("umount " + ShellQuote(mount));
  ASSERT_EQ(written, 0);

  std::vector<ScanSourceEntry> sources(1);
  sources[0].imagePath = image;
  sources[0].sourceTag = 'D';
  sources[0].engine = CreateEngineForImage(image, 'D', false);
  ASSERT_TRUE(sources[0].engine);
  ASSERT_EQ(sources[0].engine->Scan(nullptr), kSuccess);
  const std::map<std::string, PreviewData> shown = PreviewAll(sources);
  for (const std::string& name : names) {
    const auto it = shown.find(name);
    ASSERT_NE(it, shown.end()) << name << " was not found";
    ExpectPreview(name, it->second, nullptr);
  }
}

TEST(PreviewSamples, CarvedFilesShowTheirContent) {
  test::ScopedDataDir data;
  test::TempDir dir;
  // The files one after another on 4 KiB boundaries, with zeros between: no file system at all.
  std::vector<std::uint8_t> medium(65536, 0);
  const std::vector<const char*> names = {"sample.docx", "sample.xlsx", "sample.pptx", "sample.xls",
                                          "sample.pdf",  "sample.zip",  "sample.7z",   "sample.heic",
                                          "sample.avif", "canon.cr2",   "sample.jxl"};
  for (const char* name : names) {
    const std::vector<std::uint8_t> bytes = Sample(name);
    medium.insert(medium.end(), bytes.begin(), bytes.end());
    medium.resize((medium.size() + 4095) / 4096 * 4096 + 4096, 0);
  }
  medium.resize(medium.size() + 65536, 0);
  const std::string image = dir / "raw.img";
  test::WriteFileBytes(image, medium);

  std::vector<ScanSourceEntry> sources(1);
  sources[0].imagePath = image;
  sources[0].sourceTag = 'D';
  sources[0].engine = deeptest::DeepScanImage(image);
  ASSERT_TRUE(sources[0].engine);
  const std::map<std::string, PreviewData> shown = PreviewAll(sources);
  std::set<std::string> kinds;
  for (const auto& [name, data] : shown) {
    ExpectPreview(name, data, nullptr);
    kinds.insert(name.substr(name.rfind('.') + 1));
  }
  for (const char* kind : {"docx", "xlsx", "pptx", "xls", "pdf", "zip", "7z", "heic", "avif", "cr2", "jxl"})
    EXPECT_EQ(kinds.count(kind), 1u) << kind;
}

}  // namespace
}  // namespace rexmoor
