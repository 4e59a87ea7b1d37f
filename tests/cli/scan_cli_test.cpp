// scan, recover and tree run as a user runs them, on FAT volumes made by mkfs.fat and mtools.
#include <gtest/gtest.h>

#include <filesystem>

#include "fixtures/fixture_paths.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;
using test::FixturePath;
using test::FixtureSha256;

struct Outcome {
  int status = 0;
  std::string out;
};

Outcome Rexmoor(const std::string& args, const std::string& env = "") {
  Outcome r;
  r.status = test::RunCommand(env + " " REXMOOR_CLI_PATH " " + args + " 2>/dev/null", &r.out);
  return r;
}

std::string Sha256(const std::string& path) {
  std::string out;
  test::RunCommand("sha256sum '" + path + "'", &out);
  return out.substr(0, 64);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return lines;
}

class ScanCommand : public ::testing::Test {
 protected:
  test::TempDir work;
  std::string dataDir = work / "data";
  std::string Image() { return FixturePath("fat32.img"); }
  std::string Common() { return " --quick --data-dir '" + dataDir + "'"; }
};

TEST_F(ScanCommand, JsonLinesListTheDeletedFilesWithTheirFolders) {
  REQUIRE_FIXTURE("fat32.img");
  Outcome r = Rexmoor("scan '" + Image() + "'" + Common() + " --format json");
  ASSERT_EQ(r.status, 0);
  auto lines = Lines(r.out);
  EXPECT_EQ(lines.size(), 7u);
  auto has = [&](const std::string& fragment) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(fragment) != std::string::npos; });
  };
  EXPECT_TRUE(has("\"name\":\"old notes.txt\",\"folder\":\"\",\"is_folder\":false,\"size\":2500"));
  EXPECT_TRUE(has("\"name\":\"deleted photo.jpg\",\"folder\":\"Pictures/\""));
  EXPECT_TRUE(has("\"modified\":\"2011-08-09T10:11:12Z\""));
  EXPECT_TRUE(has("\"folder\":\"Trash Folder/!ub/\""));  // a deleted folder's short name lost its first letter
  EXPECT_FALSE(has("holiday.jpg")) << "live files in live folders are not listed";
  for (const auto& l : lines) {
    for (const char* key : {"\"engine\":1", "\"id\":", "\"location\":", "\"object\":", "\"content\":", "\"created\":",
                            "\"accessed\":"})
      EXPECT_NE(l.find(key), std::string::npos) << key << " in " << l;
  }

  Outcome photos = Rexmoor("scan '" + Image() + "'" + Common() + " --types photo --format json");
  EXPECT_EQ(Lines(photos.out).size(), 1u);
  Outcome pdfs = Rexmoor("scan '" + Image() + "'" + Common() + " --ext pdf");
  EXPECT_NE(pdfs.out.find("Trash Folder/!ub/!.pdf"), std::string::npos);
  EXPECT_NE(pdfs.out.find("1 file(s) found."), std::string::npos);
}

TEST_F(ScanCommand, RecoverWritesByteIdenticalFilesByCategoryAndNumbersCollisions) {
  REQUIRE_FIXTURE("fat32.img");
  const std::string before = Sha256(Image());
  const std::string target = work / "out";
  Outcome r = Rexmoor("recover '" + Image() + "'" + Common() + " --to '" + target + "'");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(Sha256(target + "/photo/deleted photo.jpg"), FixtureSha256("fat32.img:/Pictures/deleted photo.jpg"));
  EXPECT_EQ(Sha256(target + "/document/old notes.txt"), FixtureSha256("fat32.img:/old notes.txt"));
  EXPECT_EQ(Sha256(target + "/document/!.txt"), FixtureSha256("fat32.img:/Trash Folder/x.txt"));
  EXPECT_EQ(Sha256(target + "/document/!.pdf"), FixtureSha256("fat32.img:/Trash Folder/sub/z.pdf"));
  EXPECT_EQ(Sha256(target + "/others/!one.bin"), FixtureSha256("fat32.img:/Projects/gone.bin"));
  // Two deleted files named "!.bin": the second gets a number.
  EXPECT_TRUE(fs::exists(target + "/others/!.bin"));
  EXPECT_TRUE(fs::exists(target + "/others/!(1).bin"));
  // The volume's write time comes back with the file.
  std::string stamp;
  test::RunCommand("TZ=UTC date -r '" + target + "/photo/deleted photo.jpg' +%FT%T", &stamp);
  EXPECT_EQ(stamp, "2011-08-09T10:11:12\n");

  Outcome again = Rexmoor("recover '" + Image() + "'" + Common() + " --to '" + target + "' --types photo --format json");
  ASSERT_EQ(again.status, 0);
  EXPECT_NE(again.out.find("\"name\":\"deleted photo(1).jpg\""), std::string::npos) << again.out;
  EXPECT_NE(again.out.find("\"status\":\"ok\""), std::string::npos);
  EXPECT_NE(again.out.find("\"summary\":true"), std::string::npos);
  EXPECT_EQ(Sha256(target + "/photo/deleted photo(1).jpg"), FixtureSha256("fat32.img:/Pictures/deleted photo.jpg"));
  EXPECT_EQ(Sha256(Image()), before) << "the source is only ever read";
}

TEST_F(ScanCommand, PartitionOfAStandInDriveAndTheTree) {
  REQUIRE_FIXTURE("mbr.img");
  const std::string env = "REXMOOR_DRIVES='" + FixturePath("mbr.img") + "'";
  Outcome r = Rexmoor("scan drive:0@2048+81920" + Common() + " --format json", env);
  ASSERT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\"name\":\"!emoved.txt\""), std::string::npos) << r.out;
  const std::string target = work / "out";
  ASSERT_EQ(Rexmoor("recover drive:0@2048+81920" + Common() + " --to '" + target + "'", env).status, 0);
  EXPECT_EQ(Sha256(target + "/document/!emoved.txt"), FixtureSha256("mbr.img#p1:/removed.txt"));

  REQUIRE_FIXTURE("fat32.img");
  Outcome tree = Rexmoor("tree '" + Image() + "'" + Common());
  EXPECT_NE(tree.out.find("Trash Folder/\n  !.txt  (1.17 KB)\n  !ub/\n    !.bin  (2.93 KB)\n"), std::string::npos)
      << tree.out;
}

TEST_F(ScanCommand, UsageAndUnsupportedSources) {
  REQUIRE_FIXTURE("fat32.img");
  EXPECT_EQ(Rexmoor("scan '" + Image() + "'").status, 2) << "the deep scan is not available yet";
  EXPECT_EQ(Rexmoor("scan '" + Image() + "' --deep").status, 2);
  EXPECT_EQ(Rexmoor("recover '" + Image() + "' --quick").status, 2) << "recover needs --to";
  EXPECT_EQ(Rexmoor("scan '" + Image() + "' --quick --types pictures").status, 2);
  EXPECT_EQ(Rexmoor("scan '" + Image() + "' --quick --format xml").status, 2);
  EXPECT_EQ(Rexmoor("scan /nonexistent.img" + Common()).status, 1);
  REQUIRE_FIXTURE("exfat.img");
  EXPECT_EQ(Rexmoor("scan '" + FixturePath("exfat.img") + "'" + Common()).status, 1);
}

}  // namespace
}  // namespace rexmoor
