// FAT volumes holding what damaged real volumes hold (fixtures fat32_lost.img, fat12_moved.img):
// files without the archive bit, empty files of a deleted folder, deleted folders whose cluster a
// second deleted entry names, and a folder whose cluster chain was cleared while its entry stayed.
// The quick scan, the deep scan and the formatted sweep alone must each list every file they can
// reach once, in its own folder, with its own stamp and contents, and show it in the tree there.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "engine/folder_recovery.h"
#include "engine/scan_log_index.h"
#include "fat/fat_engine_test_util.h"
#include "fat/fat_volume_builder.h"
#include "fixtures/fixture_paths.h"
#include "scan/deep_scan_test_util.h"
#include "scan/engine_factory.h"
#include "scan/formatted_sweep_harness.h"
#include "test_support.h"

namespace rexmoor {
namespace {


// The name a scan lists for a path of the volume, capitals folded: the short-name-only parts of a
// deleted file or folder lose their first letter to the deletion mark ("!"); long names keep it.
std::string ListedPath(const std::string& path, const std::map<std::string, test::ManifestFile>& manifest) {
  std::string listed;
  std::string sofar;
  std::size_t at = 1;
  while (at <= path.size()) {
    const std::size_t slash = std::min(path.find('/', at), path.size());
    const std::string part = path.substr(at, slash - at);
    sofar += "/" + part;
    // A part is deleted when a deleted file lies at or below it and no live one does.
    bool deleted = true;
    for (const auto& [p, f] : manifest)
      if ((p == sofar || p.rfind(sofar + "/", 0) == 0) && f.state == "live") deleted = false;
    const bool shortOnly = part.size() <= 12 && test::Folded(part) == part;
    listed += (deleted && shortOnly ? "!" + part.substr(1) : part) + (slash < path.size() ? "/" : "");
    at = slash + 1;
  }
  return test::Folded(listed);
}

class LostFatVolumes : public ::testing::Test {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }
  test::ScopedDataDir data_;
  test::TempDir temp_;

  void CheckVolume(const std::string& volume);
};

void LostFatVolumes::CheckVolume(const std::string& volume) {
  const std::string image = test::FixturePath(volume.c_str());
  const auto manifest = test::ManifestFiles(volume);
  ASSERT_FALSE(manifest.empty());

  struct Scan {
    const char* name;
    std::function<std::unique_ptr<IFileRecoveryParse>()> run;
    bool listsLiveFiles;  // the formatted sweep alone lists every entry it reads
  };
  const Scan scans[] = {
      {"quick",
       [&]() -> std::unique_ptr<IFileRecoveryParse> {
         EnginePtr engine = CreateEngineForImage(image, 'Q', false);
         if (engine == nullptr || engine->Scan(nullptr) != kSuccess) return nullptr;
         return std::unique_ptr<IFileRecoveryParse>(engine.release());
       },
       false},
      {"deep", [&]() -> std::unique_ptr<IFileRecoveryParse> { return deeptest::DeepScanImage(image); }, false},
      {"formatted sweep",
       [&]() -> std::unique_ptr<IFileRecoveryParse> {
         auto engine = std::make_unique<CProfessionalFatRecovery>();
         if (fattest::SweepFormattedFat(*engine, image).finish != kSuccess) return nullptr;
         return engine;
       },
       true},
  };
  for (const Scan& scan : scans) {
    SCOPED_TRACE(scan.name);
    std::unique_ptr<IFileRecoveryParse> engine = scan.run();
    ASSERT_NE(engine, nullptr);
    const auto tree = test::BrowseTree(*engine);

    std::map<std::string, std::vector<FoundFileRecord>> listed;
    for (const FoundFileRecord& r : deeptest::FilterAll(*engine)) {
      if (r.engineTag == kTagFileType) continue;  // carved: no folder, judged elsewhere
      std::string folder;
      ASSERT_EQ(engine->GetFolderPath(&r, folder), kSuccess);
      const std::string key = folder + std::string(RecordName(r));
      // What the search lists, the tree shows, at the same place.
      EXPECT_EQ(tree.count(key), 1u) << key;
      listed[test::Folded(key)].push_back(r);
    }

    for (const auto& [path, file] : manifest) {
      const std::string key = ListedPath(path, manifest);
      SCOPED_TRACE(path + " listed as " + key);
      // A file whose cluster chain was cleared is lost with its folder, however its entry reads.
      const bool lost = file.state != "live" || path.rfind("/Cleared/", 0) == 0;
      const bool reachable = file.state != "deleted-overwritten" && (lost || scan.listsLiveFiles);
      const auto it = listed.find(key);
      if (!reachable) {
        EXPECT_EQ(it, listed.end());
        continue;
      }
      if (it == listed.end()) {
        ADD_FAILURE() << "not listed";
        continue;
      }
      EXPECT_EQ(it->second.size(), 1u);
      const FoundFileRecord record = it->second.front();
      listed.erase(it);
      EXPECT_EQ(std::uint64_t{record.size}, file.size);
      EXPECT_EQ(std::uint64_t{record.modifiedTime}, test::FileTimeOf(file.mtime));
      const std::string out = temp_ / (volume + "/" + scan.name + path);
      ASSERT_EQ(engine->RecoverItem(&record, out, SeparatorLevel(temp_ / "x") - 1), kSuccess);
      EXPECT_EQ(test::Sha256Hex(out), test::FixtureSha256(volume + ":" + path));
    }
    // Nothing listed that the volume does not hold, nor anything twice.
    for (const auto& [key, records] : listed) ADD_FAILURE() << "unexpected: " << key << " x" << records.size();
  }
}

TEST_F(LostFatVolumes, EveryScanListsEachReachableFileOnceWhereItLies) {
  for (const char* volume : {"fat32_lost.img", "fat12_moved.img"}) {
    SCOPED_TRACE(volume);
    REQUIRE_FIXTURE(volume);
    CheckVolume(volume);
  }
}

}  // namespace
}  // namespace rexmoor
