#include "engine/preview_target.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/data_dir.h"
#include "test_support.h"

namespace rexmoor {
namespace {

FoundFileRecord Named(const std::string& name, std::uint64_t size) {
  FoundFileRecord r = MakeEmptyRecord();
  SetRecordName(r, name);
  r.size = size;
  return r;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

TEST(PreviewTarget, ExtensionChoosesTheTarget) {
  EXPECT_EQ(PreviewTargetKindOf("report.pdf"), PreviewTargetKind::Document);
  EXPECT_EQ(PreviewTargetKindOf("Archive.ZIP"), PreviewTargetKind::Document);
  EXPECT_EQ(PreviewTargetKindOf("song.mp3"), PreviewTargetKind::Media);
  EXPECT_EQ(PreviewTargetKindOf("clip.MKV"), PreviewTargetKind::Media);
  EXPECT_EQ(PreviewTargetKindOf("photo.jpg"), PreviewTargetKind::Picture);
  EXPECT_EQ(PreviewTargetKindOf("raw.nef"), PreviewTargetKind::Picture);
  // Substring lookup: a prefix of a listed extension matches its list.
  EXPECT_EQ(PreviewTargetKindOf("x.jp"), PreviewTargetKind::Picture);
  // Not previewable as a file: databases, text, no extension, a bare trailing dot.
  EXPECT_EQ(PreviewTargetKindOf("data.db"), PreviewTargetKind::Memory);
  EXPECT_EQ(PreviewTargetKindOf("notes.txt"), PreviewTargetKind::Memory);
  EXPECT_EQ(PreviewTargetKindOf("Makefile"), PreviewTargetKind::Memory);
  EXPECT_EQ(PreviewTargetKindOf("odd."), PreviewTargetKind::Memory);
  // The extension is what follows the last dot.
  EXPECT_EQ(PreviewTargetKindOf("photo.jpg.txt"), PreviewTargetKind::Memory);
}

TEST(PreviewTarget, PathsLiveInTheScanLogFolder) {
  test::ScopedDataDir data;
  const std::string folder = data.path() + "/Rexmoor Pro/ScanLog/Preview." + std::to_string(::getpid()) + "/";
  EXPECT_EQ(PreviewFolder(), folder);
  EXPECT_EQ(PreviewTargetPath("report.pdf"), folder + "report.pdf");
  EXPECT_EQ(PreviewTargetPath("song.wav"), folder + "tmp.avi");
  EXPECT_EQ(PreviewTargetPath("photo.png"), folder + "tmp.jpg");
  EXPECT_EQ(PreviewTargetPath("notes.txt"), "");
  // A document keeps its name, but never as a path of its own.
  EXPECT_EQ(PreviewTargetPath("../../evil.pdf"), folder + ".._.._evil.pdf");
  EXPECT_EQ(PreviewTargetPath("a/b\\c.doc"), folder + "a_b_c.doc");
  // Too long a path: the data goes to memory.
  EXPECT_EQ(PreviewTargetPath(std::string(250, 'x') + ".pdf"), "");
}

TEST(PreviewTarget, SinkWritesAFileAndReportsProgress) {
  test::ScopedDataDir data;
  std::vector<std::int32_t> percents;
  auto callback = [](void* ud, std::int32_t percent, std::int32_t code) -> std::int32_t {
    EXPECT_EQ(code, 0);
    static_cast<std::vector<std::int32_t>*>(ud)->push_back(percent);
    return 0;
  };
  const std::vector<std::uint8_t> content = test::RandomBytes(3000, 5);
  // An old file of the same name is replaced, not overwritten in place.
  CreateFolderTree(PreviewFolder());
  test::WriteFileBytes(PreviewFolder() + "tmp.jpg", std::vector<std::uint8_t>(9000, 1));

  PreviewSink sink;
  std::string path;
  std::uint32_t count = 77;
  ASSERT_EQ(sink.Begin(Named("a.jpg", content.size()), path, nullptr, &count, callback, &percents), kSuccess);
  EXPECT_EQ(path, PreviewFolder() + "tmp.jpg");
  EXPECT_EQ(sink.BytesWanted(), 3000u);
  EXPECT_EQ(sink.Put(content.data(), 1000), kSuccess);
  // More than is wanted: only the file's remaining bytes are kept.
  std::vector<std::uint8_t> tail(content.begin() + 1000, content.end());
  tail.resize(4096, 0xEE);
  EXPECT_EQ(sink.Put(tail.data(), tail.size()), kSuccess);
  EXPECT_TRUE(sink.Complete());
  EXPECT_EQ(sink.Finish(kSuccess), kSuccess);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(test::ReadFileBytes(path), content);
  EXPECT_EQ(percents, (std::vector<std::int32_t>{33, 100}));
}

TEST(PreviewTarget, SinkCopiesToMemoryWithinTheBuffer) {
  const std::vector<std::uint8_t> content = test::RandomBytes(5000, 6);
  std::vector<std::uint8_t> buffer(4096, 0);
  std::uint32_t count = static_cast<std::uint32_t>(buffer.size());
  std::string path = "stale";
  PreviewSink sink;
  ASSERT_EQ(sink.Begin(Named("blob.bin", content.size()), path, buffer.data(), &count, nullptr, nullptr), kSuccess);
  EXPECT_EQ(path, "");
  EXPECT_EQ(sink.BytesWanted(), 4096u);
  EXPECT_EQ(sink.Put(content.data(), 3000), kSuccess);
  EXPECT_EQ(sink.Put(content.data() + 3000, 2000), kSuccess);
  EXPECT_EQ(sink.Finish(kSuccess), kSuccess);
  EXPECT_EQ(count, 4096u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), content.begin()));

  // Memory wanted but no buffer given.
  PreviewSink noBuffer;
  count = 10;
  EXPECT_EQ(noBuffer.Begin(Named("blob.bin", 100), path, nullptr, &count, nullptr, nullptr), kErrInvalidParameter);
  EXPECT_EQ(noBuffer.Finish(kErrInvalidParameter), kErrInvalidParameter);
  EXPECT_EQ(count, 0u);
  PreviewSink noCount;
  EXPECT_EQ(noCount.Begin(Named("blob.bin", 100), path, buffer.data(), nullptr, nullptr, nullptr),
            kErrInvalidParameter);
}

TEST(PreviewTarget, StoppedOrFailedExtractionRemovesItsFile) {
  test::ScopedDataDir data;
  auto stop = [](void*, std::int32_t, std::int32_t) -> std::int32_t { return kCancelled; };
  PreviewSink sink;
  std::string path;
  std::uint32_t count = 0;
  ASSERT_EQ(sink.Begin(Named("r.pdf", 2000), path, nullptr, &count, stop, nullptr), kSuccess);
  ASSERT_TRUE(Exists(path));
  const std::vector<std::uint8_t> piece(1000, 7);
  EXPECT_EQ(sink.Put(piece.data(), piece.size()), kCancelled);
  EXPECT_EQ(sink.Finish(kCancelled), kCancelled);
  EXPECT_FALSE(Exists(path));

  // A sink dropped without Finish cleans up as well.
  {
    PreviewSink abandoned;
    ASSERT_EQ(abandoned.Begin(Named("s.pdf", 10), path, nullptr, &count, nullptr, nullptr), kSuccess);
    ASSERT_TRUE(Exists(path));
  }
  EXPECT_FALSE(Exists(path));
}

}  // namespace
}  // namespace rexmoor
