// The report's XML: names from a hostile volume come out well-formed and read back as what they
// were (bytes XML cannot carry as U+FFFD), and byte runs are joined only where they continue.
#include <gtest/gtest.h>

#include "app/dfxml_report.h"
#include "test_support.h"

namespace rexmoor {
namespace {

TEST(DfxmlReport, HostileNamesAndPathsGiveWellFormedXml) {
  const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
  // name written -> name read back by an XML parser
  const std::vector<std::pair<std::string, std::string>> names = {
      {"a&b<c>\"d'e]]>.txt", "a&b<c>\"d'e]]>.txt"},
      {"tab\there\nline\rcr", "tab\there\nline\rcr"},
      {"soh\x01" "bel\x07" "esc\x1b" "del\x7f.bin", "soh" + bad + "bel" + bad + "esc" + bad + "del\x7f.bin"},
      {"latin1 \xE9t\xE9.jpg", "latin1 " + bad + "t" + bad + ".jpg"},
      {"overlong \xC0\xAF surrogate \xED\xA0\x80 end", "overlong " + bad + bad + " surrogate " + bad + bad + bad + " end"},
      {"nonchar \xEF\xBF\xBF cut \xE6\x97", "nonchar " + bad + " cut " + bad + bad},
      {"\xC3\x91" "and\xC3\xBA \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\xB7.png", "\xC3\x91" "and\xC3\xBA \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\xB7.png"},
  };
  DfxmlReport report;
  report.commandLine = "rexmoor recover '<x>' --to \"&\"";
  report.startTime = 1700000000;
  report.endTime = 1700000042;
  DfxmlVolume volume;
  volume.imageFilename = "/tmp/we\x01ird & <image>.img";
  volume.sourceText = volume.imageFilename + "@2048+100";
  volume.partitionOffset = 2048 * 512;
  volume.partitionLength = 100 * 512;
  report.volumes.push_back(volume);
  for (const auto& [name, _] : names) {
    DfxmlFile file;
    file.known = true;
    file.record = MakeEmptyRecord();
    file.record.engineTag = kTagFastFat;
    file.record.size = 3;
    file.record.modifiedTime = 129'000'000'000'000'000ull;
    SetRecordName(file.record, name);
    file.folder = "dir <&>/";
    file.writtenPath = "/out/" + name;
    file.hasStatus = true;
    file.code = kErrReadFault;
    file.runsKnown = true;
    file.runs = {ByteRun{0, 512, 3, 0, ByteRun::Kind::Data}};
    report.files.push_back(file);
  }
  const std::string text = DfxmlText(report);
  std::string error;
  const auto root = test::ParseXml(text, error);
  ASSERT_NE(root, nullptr) << error << "\n" << text;
  EXPECT_EQ(root->name, "dfxml");
  EXPECT_EQ(root->Child("creator")->Child("execution_environment")->ChildText("command_line"), report.commandLine);
  EXPECT_EQ(root->Child("creator")->Child("execution_environment")->ChildText("start_time"), "2023-11-14T22:13:20Z");
  EXPECT_EQ(root->Child("creator")->Child("execution_environment")->ChildText("rexmoor:elapsed_seconds"), "42");
  EXPECT_EQ(root->Child("source")->ChildText("image_filename"), "/tmp/we" + bad + "ird & <image>.img");
  EXPECT_EQ(root->Child("source")->ChildText("rexmoor:partition_offset"), "1048576");
  const auto objects = root->Child("volume")->Children("fileobject");
  ASSERT_EQ(objects.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    ASSERT_EQ(RecordName(report.files[i].record), names[i].first);
    EXPECT_EQ(objects[i]->ChildText("filename"), "dir <&>/" + names[i].second) << i;
    EXPECT_EQ(objects[i]->ChildText("rexmoor:written_path"), "/out/" + names[i].second) << i;
    EXPECT_EQ(objects[i]->ChildText("rexmoor:status"), "failed");
    EXPECT_EQ(objects[i]->ChildText("rexmoor:reason"), ResultMessage(kErrReadFault));
    EXPECT_EQ(objects[i]->ChildText("mtime"), "2009-10-14T13:20:00");  // FAT's local clock: no zone
  }
}

TEST(DfxmlReport, RunsJoinOnlyWhereTheyContinueInTheFileAndOnTheMedium) {
  using K = ByteRun::Kind;
  struct Step {
    ByteRun run;
    std::size_t countAfter;
  };
  const std::vector<Step> steps = {
      {{0, 1000, 512, 0, K::Data}, 1},
      {{512, 1512, 512, 0, K::Data}, 1},        // continues both: joined
      {{1024, 9000, 100, 0, K::Data}, 2},       // elsewhere on the medium
      {{1124, 0, 4000, 0, K::Fill}, 3},         // zeros
      {{5124, 0, 876, 0, K::Fill}, 3},          // more zeros: joined
      {{6000, 9100, 300, 0, K::Data}, 4},       // after a fill, even where the medium continues
      {{6300, 20000, 700, 4096, K::Compressed}, 5},
      {{6300, 20700, 300, 4096, K::Compressed}, 6},  // the same unit's next extent stays apart
      {{10396, 0, 0, 0, K::Fill}, 6},           // empty: nothing
  };
  std::vector<ByteRun> runs;
  for (const Step& step : steps) {
    EXPECT_TRUE(AppendByteRun(runs, step.run));
    EXPECT_EQ(runs.size(), step.countAfter);
  }
  EXPECT_EQ(runs[0], (ByteRun{0, 1000, 1024, 0, K::Data}));
  EXPECT_EQ(runs[2], (ByteRun{1124, 0, 4876, 0, K::Fill}));
  // A chain that hops cluster by cluster ends in a bounded list.
  std::vector<ByteRun> hops;
  bool kept = true;
  for (std::uint64_t i = 0; i <= kMaxByteRunsPerFile; ++i) kept = AppendByteRun(hops, {i * 512, i * 1024, 512, 0, K::Data});
  EXPECT_FALSE(kept);
  EXPECT_EQ(hops.size(), kMaxByteRunsPerFile);
}

}  // namespace
}  // namespace rexmoor
