// The deep scan from the command line: the default of scan and recover, old files of a
// quick-formatted card back with their names and folders, and a scan stopped with Ctrl-C and
// continued with --resume.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "cli/cli_json.h"
#include "fat/fat_engine_test_util.h"  // Folded
#include "fat/fat_volume_builder.h"      // ShellQuote
#include "fixtures/fixture_paths.h"
#include "scan/deep_scan_test_util.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;
using test::FixturePath;
using test::JsonLines;
using test::ShellQuote;


std::string Sha256(const std::string& path) {
  std::string out;
  test::RunCommand("sha256sum " + ShellQuote(path), &out);
  return out.substr(0, 64);
}

class DeepCommand : public ::testing::Test {
 protected:
  int Run(const std::string& args, std::string* out = nullptr) {
    return test::RunCommand(REXMOOR_CLI_PATH " " + args + " --data-dir " + ShellQuote(work / "data") + " 2>" +
                                ShellQuote(work / "stderr.txt"),
                            out);
  }
  std::string Err() {
    const auto bytes = test::ReadFileBytes(work / "stderr.txt");
    return std::string(bytes.begin(), bytes.end());
  }
  test::TempDir work;
};

// recover without --quick sweeps the formatted card: every file that lay in a sub-folder and
// whose clusters follow one another comes back byte for byte, and scan lists it under its name
// in its folder. The image is not changed.
TEST_F(DeepCommand, QuickFormattedCardGivesBackItsOldFilesInTheirFolders) {
  REQUIRE_FIXTURE("fmt_fat32.img");
  const std::string image = FixturePath("fmt_fat32.img");
  const std::string before = Sha256(image);
  std::string listing;
  ASSERT_EQ(Run("scan " + ShellQuote(image) + " --format json", &listing), 0) << Err();
  const auto records = JsonLines(listing);
  const std::string target = work / "out";
  std::string written;
  ASSERT_EQ(Run("recover " + ShellQuote(image) + " --resume no --to " + ShellQuote(target) + " --format json", &written),
            0)
      << Err();
  std::set<std::string> sums;
  for (const auto& entry : fs::recursive_directory_iterator(target))
    if (entry.is_regular_file()) sums.insert(Sha256(entry.path().string()));

  int checked = 0;
  for (const test::WrittenEntry& f : test::WrittenEntries("fmt_fat32.img")) {
    if (f.deleted || f.inRoot || !f.contiguous || f.path.back() == '/') continue;
    ++checked;
    const std::size_t slash = f.path.rfind('/');
    // Short names read back in lower case. The format emptied the root: a top folder keeps its
    // contents but its long name is gone with its entry (its short alias, or "LostFolder<cluster>"
    // where nothing names it, stands in).
    const std::string name = test::Folded(f.path.substr(slash + 1));
    const std::string folder = test::Folded(f.path.substr(1, slash));  // "documents/letters/"
    const std::string below = folder.substr(folder.find('/') + 1);
    const bool listed = std::any_of(records.begin(), records.end(), [&](const auto& r) {
      const std::string at = test::Folded(r["folder"].template get<std::string>());
      const bool lost = at.size() > below.size() && at.compare(at.size() - below.size(), below.size(), below) == 0 &&
                        at.find('/') == at.size() - below.size() - 1;
      return r["engine"] == 3 && test::Folded(r["name"].template get<std::string>()) == name &&
             (at == folder || lost);
    });
    EXPECT_TRUE(listed) << f.path;
    EXPECT_TRUE(sums.count(f.sha256) == 1) << f.path << " did not come back intact";
  }
  EXPECT_GE(checked, 10);
  EXPECT_EQ(Sha256(image), before) << "the source is only ever read";
}

// Ctrl-C stops a deep scan, keeps its place and says how to go on; --resume yes then ends with
// the files an uninterrupted scan finds, --resume no starts again.
TEST_F(DeepCommand, InterruptedScanContinuesWithResume) {
  carvetest::ImageBuilder builder;
  (void)deeptest::BuildRawImage(builder, 31, 60);
  const std::string image = work / "card.img";
  test::WriteFileBytes(image, builder.bytes());

  auto fileSet = [](const std::string& json) {
    std::set<std::pair<std::string, std::uint64_t>> out;
    for (const auto& r : JsonLines(json)) out.emplace(r["name"].get<std::string>(), r["size"].get<std::uint64_t>());
    return out;
  };
  std::string whole;
  ASSERT_EQ(test::RunCommand(REXMOOR_CLI_PATH " scan " + ShellQuote(image) + " --format json --data-dir " +
                                 ShellQuote(work / "other") + " 2>/dev/null",
                             &whole),
            0);
  ASSERT_GT(fileSet(whole).size(), 100u);

  // Interrupted at the first progress line of the sweep (the quick phase reports no sectors).
  const std::string script =
      REXMOOR_CLI_PATH " scan " + ShellQuote(image) + " --format json --data-dir " + ShellQuote(work / "data") +
      " >" + ShellQuote(work / "part.json") + " 2>" + ShellQuote(work / "stderr.txt") +
      " & pid=$!; while kill -0 $pid 2>/dev/null && ! grep -q 'Sectors:' " + ShellQuote(work / "stderr.txt") +
      "; do sleep 0.02; done; kill -INT $pid 2>/dev/null; wait $pid; echo $?";
  std::string status;
  test::RunCommand("bash -c " + ShellQuote(script), &status);
  ASSERT_EQ(status, "130\n") << Err();
  EXPECT_NE(Err().find("--resume yes"), std::string::npos) << Err();
  const auto partBytes = test::ReadFileBytes(work / "part.json");
  const auto part = fileSet(std::string(partBytes.begin(), partBytes.end()));
  EXPECT_LT(part.size(), fileSet(whole).size()) << "the scan was stopped before its end";

  std::string resumed;
  ASSERT_EQ(Run("scan " + ShellQuote(image) + " --format json --resume yes", &resumed), 0) << Err();
  EXPECT_EQ(fileSet(resumed), fileSet(whole));
  // Without a terminal and without --resume the earlier scan is continued too (it is complete).
  std::string again;
  ASSERT_EQ(Run("scan " + ShellQuote(image) + " --format json", &again), 0) << Err();
  EXPECT_NE(Err().find("continuing the earlier deep scan"), std::string::npos) << Err();
  EXPECT_EQ(fileSet(again), fileSet(whole));
  std::string fresh;
  ASSERT_EQ(Run("scan " + ShellQuote(image) + " --format json --resume no", &fresh), 0) << Err();
  EXPECT_EQ(fileSet(fresh), fileSet(whole));
  EXPECT_EQ(Err().find("continuing"), std::string::npos) << Err();
}

}  // namespace
}  // namespace rexmoor
