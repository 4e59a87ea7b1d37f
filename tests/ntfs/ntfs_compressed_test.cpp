// Deleted NTFS-compressed files (tests/fixtures/make_ntfs_compressed_volume.sh, written by ntfs-3g
// into a compressed folder): units that decompress, units stored as they are, a unit shorter than
// the file's last, a file inside one unit and wholly sparse units all come back byte for byte; a
// stream that lies about its data gives an error, never a crash or a huge allocation.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "engine/scan_log_index.h"
#include "fat/fat_engine_test_util.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/ntfs_test_util.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kImage = "ntfs_compressed.img";

struct CompressedFile {
  std::string sha256;
  std::uint64_t size = 0;
  std::uint32_t record = 0;
  std::vector<std::uint64_t> clusters;  // as istat lists them, 0 for sparse
};

// The build's ground truth, keyed by the path on the volume ("/Packed/report.txt").
std::map<std::string, CompressedFile> CompressedFiles() {
  std::map<std::string, CompressedFile> files;
  const std::string volume = std::string(kImage) + ":";
  std::ifstream sums(test::NtfsFixtureSource("compressed_sha256.txt"));
  std::string line;
  while (std::getline(sums, line)) {
    const std::size_t at = line.find(volume);
    if (line.size() > 66 && at != std::string::npos) files[line.substr(at + volume.size())].sha256 = line.substr(0, 64);
  }
  std::ifstream manifest(test::NtfsFixtureSource("compressed_MANIFEST.txt"));
  while (std::getline(manifest, line)) {
    const std::size_t at = line.find(volume);
    if (at == std::string::npos) continue;
    if (line.rfind("file ", 0) == 0) {
      CompressedFile& f = files[line.substr(at + volume.size())];
      std::istringstream fields(line.substr(0, at));
      std::string word;
      while (fields >> word) {
        if (word.rfind("size=", 0) == 0) f.size = std::stoull(word.substr(5));
        if (word.rfind("record=", 0) == 0) f.record = static_cast<std::uint32_t>(std::stoul(word.substr(7)));
      }
    } else if (line.rfind("runs ", 0) == 0) {
      const std::string rest = line.substr(at + volume.size());
      const std::size_t colon = rest.find(':');
      std::istringstream numbers(rest.substr(colon + 1));
      std::uint64_t c = 0;
      while (numbers >> c) files[rest.substr(0, colon)].clusters.push_back(c);
    }
  }
  return files;
}

class NtfsCompressed : public ::testing::Test {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }

  // The data stream of a record of an opened volume, read the way recovery reads it.
  static Result ReadData(const CFastNtfsRecovery& engine, std::uint32_t record, Bytes& out,
                         NtfsDataStream* streamOut = nullptr) {
    out.clear();
    const NtfsVolumeReader* reader = engine.Volume();
    if (reader == nullptr) return kErrInvalidHandle;
    std::vector<std::uint8_t> buffer(reader->Geometry().recordSize);
    RecordHeader header;
    if (Result r = reader->ReadRecord(record, buffer, header); r != kSuccess) return r;
    NtfsDataStream stream;
    if (Result r = reader->FindStream(buffer, header, kAttrData, stream); r != kSuccess) return r;
    if (streamOut != nullptr) *streamOut = stream;
    return reader->ReadFileData(stream, stream.realSize, [&out](const std::uint8_t* data, std::size_t length) {
      out.insert(out.end(), data, data + length);
      return kSuccess;
    });
  }

  test::ScopedDataDir data_;
  test::TempDir temp_;
};

TEST_F(NtfsCompressed, RecoversEveryDeletedCompressedFile) {
  const std::string image = test::NtfsFixture(kImage);
  const std::string before = test::Sha256Hex(image);
  const auto files = CompressedFiles();
  ASSERT_EQ(files.size(), 5u);

  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 'N'), kSuccess);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const auto tree = test::BrowseTree(engine);
  for (const auto& [path, expected] : files) {
    SCOPED_TRACE(path);
    ASSERT_EQ(expected.sha256.size(), 64u);
    const auto item = tree.find(path.substr(1));
    ASSERT_NE(item, tree.end());
    const FoundFileRecord& r = item->second.record;
    // Copies: the record is packed.
    const std::int32_t deletedMark = r.deletedMark, contentState = r.contentState;
    const std::uint64_t size = r.size;
    EXPECT_EQ(deletedMark, 1);
    EXPECT_EQ(size, expected.size);
    EXPECT_EQ(contentState, 1);

    // Compressed in units of 16 clusters, as the build meant.
    Bytes data;
    NtfsDataStream stream;
    ASSERT_EQ(ReadData(engine, expected.record, data, &stream), kSuccess);
    EXPECT_TRUE(stream.Compressed());
    EXPECT_EQ(stream.compressionShift, 4);
    EXPECT_EQ(data.size(), expected.size);

    const std::string out = temp_ / "out.bin";
    ASSERT_EQ(engine.RecoverItem(&r, out, 0), kSuccess);
    EXPECT_EQ(test::Sha256Hex(out), expected.sha256);
    EXPECT_EQ(test::ReadFileBytes(out), data);
  }
  EXPECT_EQ(test::Sha256Hex(image), before);
}

// The $DATA attribute of a record in a private copy of the image, changed by edit.
void EditData(const std::string& image, std::uint32_t record, const std::function<void(Bytes&, std::size_t)>& edit) {
  test::MftRecordEditor editor(image);
  Bytes rec = editor.Load(record);
  ASSERT_FALSE(rec.empty());
  auto data = test::MftRecordEditor::FindAttr(rec, kAttrData);
  ASSERT_TRUE(data.has_value());
  edit(rec, *data);
  editor.Store(record, rec);
}

// Bytes past the initialised size read as zeros, inside a compressed unit as well as in the
// units after it.
TEST_F(NtfsCompressed, BytesPastTheInitializedSizeAreZeros) {
  const auto files = CompressedFiles();
  const CompressedFile& report = files.at("/Packed/report.txt");
  const CompressedFile& mixed = files.at("/Packed/mixed.bin");
  const std::string image = test::NtfsFixtureCopy(kImage, temp_, "init.img");
  Bytes whole;
  Bytes whole2;
  {
    CFastNtfsRecovery engine;
    ASSERT_EQ(engine.OpenImageFile(image, 'N'), kSuccess);
    ASSERT_EQ(ReadData(engine, report.record, whole), kSuccess);
    ASSERT_EQ(ReadData(engine, mixed.record, whole2), kSuccess);
  }
  EditData(image, report.record, [](Bytes& rec, std::size_t at) { test::PutU64(rec, at + kAttrInitializedSize, 70000); });
  // mixed.bin's third unit is stored as it is: cut inside it.
  EditData(image, mixed.record,
           [](Bytes& rec, std::size_t at) { test::PutU64(rec, at + kAttrInitializedSize, 140000); });
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 'N'), kSuccess);
  for (const auto& [file, good, cut] : {std::tuple{&report, &whole, 70000u}, std::tuple{&mixed, &whole2, 140000u}}) {
    Bytes data;
    ASSERT_EQ(ReadData(engine, file->record, data), kSuccess);
    ASSERT_EQ(data.size(), file->size);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + cut, good->begin()));
    EXPECT_TRUE(std::all_of(data.begin() + cut, data.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_FALSE(std::all_of(good->begin() + cut, good->end(), [](std::uint8_t b) { return b == 0; }));
  }
}

// Damage to a compressed file: data that does not decompress, and a compression unit no volume
// has. Each gives an error after at most what it could decode, and recovery says so.
TEST_F(NtfsCompressed, DamagedCompressedDataGivesAnError) {
  const auto files = CompressedFiles();
  const CompressedFile& report = files.at("/Packed/report.txt");
  const CompressedFile& holey = files.at("/Packed/holey.bin");
  const std::string image = test::NtfsFixtureCopy(kImage, temp_, "damaged.img");
  // The first token of report.txt's first unit made a back-reference: there is nothing before it.
  ASSERT_NE(report.clusters.at(0), 0u);
  test::PatchBytes(image, report.clusters[0] * 4096 + 2, {0xFF});
  // holey.bin claims units of 2^30 clusters.
  EditData(image, holey.record, [](Bytes& rec, std::size_t at) { rec[at + kAttrCompressionUnit] = 30; });

  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 'N'), kSuccess);
  Bytes data;
  EXPECT_EQ(ReadData(engine, report.record, data), kErrCrc);
  EXPECT_LE(data.size(), 65536u);
  EXPECT_EQ(ReadData(engine, holey.record, data), kErrInvalidParameter);
  EXPECT_TRUE(data.empty());

  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const auto tree = test::BrowseTree(engine);
  ASSERT_EQ(tree.count("Packed/report.txt"), 1u);
  EXPECT_EQ(engine.RecoverItem(&tree.at("Packed/report.txt").record, temp_ / "report.txt", 0), kErrCrc);
  // The other files are untouched by the damage.
  const CompressedFile& small = files.at("/Packed/small.txt");
  ASSERT_EQ(engine.RecoverItem(&tree.at("Packed/small.txt").record, temp_ / "small.txt", 0), kSuccess);
  EXPECT_EQ(test::Sha256Hex(temp_ / "small.txt"), small.sha256);
}

}  // namespace
}  // namespace rexmoor
