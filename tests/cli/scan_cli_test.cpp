// scan, recover and tree run as a user runs them, on FAT volumes made by mkfs.fat and mtools.
#include <gtest/gtest.h>

#include <fnmatch.h>

#include <filesystem>
#include <map>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <functional>
#include <regex>
#include <set>
#include <utility>

#include "cli/cli_json.h"
#include "engine/found_file_record.h"
#include "fixtures/fixture_paths.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;
using test::FixturePath;
using test::FixtureSha256;
using test::JsonLines;
using test::Keys;
using test::OrderedJson;

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

class ScanCommand : public ::testing::Test {
 protected:
  test::TempDir work;
  std::string dataDir = work / "data";
  std::string Image() { return FixturePath("fat32.img"); }
  std::string Common() { return " --quick --data-dir '" + dataDir + "'"; }
};

// The record with this name and folder, or null.
const OrderedJson* Find(const std::vector<OrderedJson>& records, const std::string& name, const std::string& folder) {
  for (const OrderedJson& r : records)
    if (r.at("name") == name && r.at("folder") == folder) return &r;
  return nullptr;
}

TEST_F(ScanCommand, JsonLinesListTheDeletedFilesWithTheirFolders) {
  REQUIRE_FIXTURE("fat32.img");
  Outcome r = Rexmoor("scan '" + Image() + "'" + Common() + " --format json");
  ASSERT_EQ(r.status, 0);
  auto records = JsonLines(r.out, true);
  ASSERT_EQ(records.size(), 8u);
  // The closing summary says how many and whether the scan was whole.
  EXPECT_EQ(records.back(), OrderedJson::parse(R"({"summary":true,"files":7,"complete":true,"cancelled":false,"error":null})"));
  records.pop_back();
  const std::vector<std::string> keys = {"engine",  "engine_name", "id",       "name",   "folder",
                                         "is_folder", "extension", "category", "size",   "location",
                                         "object",  "content",     "found",    "condition", "created", "modified",
                                         "accessed", "source"};
  // FAT keeps the local time of the camera or computer that wrote the file: no "Z".
  const std::regex iso(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2})");
  for (const OrderedJson& record : records) {
    EXPECT_EQ(Keys(record), keys) << record;
    EXPECT_EQ(record["engine"], 1);
    EXPECT_EQ(record["engine_name"], "fat");
    EXPECT_EQ(record["source"], Image());
    EXPECT_TRUE(record["is_folder"].is_boolean());
    for (const char* key : {"id", "size", "location", "object", "content"})
      EXPECT_TRUE(record[key].is_number_integer()) << key << " in " << record;
    for (const char* key : {"created", "modified", "accessed"})
      EXPECT_TRUE(record[key].is_null() || std::regex_match(record[key].get<std::string>(), iso)) << record;
    EXPECT_NE(record["name"], "holiday.jpg") << "live files in live folders are not listed";
  }
  const OrderedJson* notes = Find(records, "old notes.txt", "");
  ASSERT_NE(notes, nullptr) << r.out;
  EXPECT_EQ((*notes)["is_folder"], false);
  EXPECT_EQ((*notes)["size"], 2500);
  const OrderedJson* photo = Find(records, "deleted photo.jpg", "Pictures/");
  ASSERT_NE(photo, nullptr) << r.out;
  EXPECT_EQ((*photo)["modified"], "2011-08-09T10:11:12");
  EXPECT_EQ((*photo)["extension"], "jpg");
  EXPECT_EQ((*photo)["category"], "photo");
  // A deleted folder's short name lost its first letter.
  EXPECT_TRUE(std::any_of(records.begin(), records.end(),
                          [](const OrderedJson& rec) { return rec["folder"] == "Trash Folder/!ub/"; }));

  Outcome photos = Rexmoor("scan '" + Image() + "'" + Common() + " --types photo --format json");
  const auto onlyPhotos = JsonLines(photos.out);
  ASSERT_EQ(onlyPhotos.size(), 1u);
  EXPECT_EQ(onlyPhotos[0], *photo) << "a narrower search finds the same record";
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
  const auto lines = JsonLines(again.out);
  ASSERT_EQ(lines.size(), 2u) << again.out;
  EXPECT_EQ(Keys(lines[0]), (std::vector<std::string>{"name", "path", "size", "status"}));
  EXPECT_EQ(lines[0]["name"], "deleted photo(1).jpg");
  EXPECT_EQ(lines[0]["path"], target + "/photo/deleted photo(1).jpg");
  EXPECT_EQ(lines[0]["size"], fs::file_size(target + "/photo/deleted photo(1).jpg"));
  EXPECT_EQ(lines[0]["status"], "ok");
  EXPECT_EQ(Keys(lines[1]), (std::vector<std::string>{"summary", "target", "total", "done", "recovered", "incomplete",
                                                      "failed", "cancelled"}));
  EXPECT_EQ(lines[1], OrderedJson::parse(R"({"summary":true,"target":")" + target +
                                         R"(","total":1,"done":1,"recovered":1,"incomplete":0,"failed":0,"cancelled":false})"));
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

  // In JSON each record carries its depth last; a deeper record always follows its folder.
  Outcome treeJson = Rexmoor("tree '" + Image() + "'" + Common() + " --format json");
  ASSERT_EQ(treeJson.status, 0);
  const auto nodes = JsonLines(treeJson.out);
  ASSERT_FALSE(nodes.empty());
  EXPECT_EQ(nodes.front()["depth"], 0);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_EQ(Keys(nodes[i]).back(), "depth");
    if (i == 0) continue;
    const int depth = nodes[i]["depth"];
    const int before = nodes[i - 1]["depth"];
    EXPECT_LE(depth, before + 1) << nodes[i];
    if (depth == before + 1) {
      EXPECT_EQ(nodes[i - 1]["is_folder"], true) << nodes[i];
    }
  }
  const bool hasNested = std::any_of(nodes.begin(), nodes.end(), [](const OrderedJson& n) {
    return n["name"] == "!.bin" && n["depth"] == 2 && n["folder"] == "Trash Folder/!ub/";
  });
  EXPECT_TRUE(hasNested) << treeJson.out;
}

// What scan lists, tree shows in the same folder, in both modes: the deep scan's engines number
// their records alike, and a folder two of them found is two folders in the tree.
TEST_F(ScanCommand, TreeShowsEveryFileTheScanLists) {
  for (const char* volume : {"fat32_lost.img", "fat12_moved.img"}) {
    REQUIRE_FIXTURE(volume);
    const std::string image = FixturePath(volume);
    for (const char* mode : {" --quick", " --deep --resume no"}) {
      SCOPED_TRACE(std::string(volume) + mode);
      const std::string options = std::string(mode) + " --data-dir '" + dataDir + "' --format json";
      Outcome scan = Rexmoor("scan '" + image + "'" + options);
      Outcome tree = Rexmoor("tree '" + image + "'" + options);
      ASSERT_EQ(scan.status, 0);
      ASSERT_EQ(tree.status, 0);
      std::multiset<std::pair<std::string, std::string>> shown;
      for (const OrderedJson& node : JsonLines(tree.out))
        if (node["is_folder"] == false) shown.emplace(node["folder"], node["name"]);
      const auto listed = JsonLines(scan.out);
      EXPECT_FALSE(listed.empty());
      for (const OrderedJson& record : listed) {
        if (record["engine"] == static_cast<int>(kTagFileType)) continue;  // carved files have no folder
        EXPECT_GE(shown.count({record["folder"], record["name"]}), 1u) << record;
      }
    }
  }
}

// Each filter narrows the listing to exactly the records that the unfiltered listing's own fields
// say match (worked out here independently: fnmatch, the JSON sizes, dates and states), in the
// deep scan too (deleted, formatted and carved finds); the bodyfile gives each listed file with its
// size and times; and a keep-folders recovery writes every listed file at <source>/<folder>/<name>,
// with the content of the flat recovery and the digests of what it wrote.
TEST_F(ScanCommand, FiltersBodyfileAndKeptFoldersAgreeWithTheListing) {
  for (const char* volume : {"fat32.img", "fat32_lost.img", "fmt_fat32.img"}) {
    REQUIRE_FIXTURE(volume);
    const std::string image = FixturePath(volume);
    const std::string options = " --deep --resume yes --data-dir '" + dataDir + "'";
    Outcome all = Rexmoor("scan '" + image + "'" + options + " --format json");
    ASSERT_EQ(all.status, 0);
    const auto listed = JsonLines(all.out);
    ASSERT_GE(listed.size(), 5u);
    using Pred = std::function<bool(const OrderedJson&)>;
    auto modifiedOn = [](const OrderedJson& r, const std::string& from, const std::string& to) {
      if (r["modified"].is_null()) return false;
      const std::string day = r["modified"].get<std::string>().substr(0, 10);
      return day >= from && day <= to;
    };
    const std::string someDay = [&] {
      for (const OrderedJson& r : listed)
        if (!r["modified"].is_null()) return r["modified"].get<std::string>().substr(0, 10);
      return std::string("2000-01-01");
    }();
    const std::vector<std::pair<std::string, Pred>> cases = {
        {"--name '*.TXT'", [](const OrderedJson& r) { return fnmatch("*.txt", r["name"].get<std::string>().c_str(), FNM_CASEFOLD) == 0; }},
        {"--name '!?.*'", [](const OrderedJson& r) { return fnmatch("!?.*", r["name"].get<std::string>().c_str(), FNM_CASEFOLD) == 0; }},
        {"--name NOTE", [](const OrderedJson& r) { return fnmatch("*note*", r["name"].get<std::string>().c_str(), FNM_CASEFOLD) == 0; }},
        {"--min-size 2K --max-size 0.5M", [](const OrderedJson& r) { return r["size"] >= 2048 && r["size"] <= 524288; }},
        {"--max-size 1500", [](const OrderedJson& r) { return r["size"] <= 1500; }},
        {"--since " + someDay + " --until " + someDay, [&](const OrderedJson& r) { return modifiedOn(r, someDay, someDay); }},
        {"--until 2009-12-31", [&](const OrderedJson& r) { return modifiedOn(r, "0000", "2009-12-31"); }},
        {"--state carved", [](const OrderedJson& r) { return r["found"] == "carved"; }},
        {"--state deleted,formatted --state intact",
         [](const OrderedJson& r) { return r["found"] != "carved" && r["condition"] == "intact"; }},
    };
    for (const auto& [args, matches] : cases) {
      SCOPED_TRACE(std::string(volume) + " " + args);
      Outcome narrowed = Rexmoor("scan '" + image + "'" + options + " --format json " + args);
      ASSERT_EQ(narrowed.status, 0);
      std::multiset<std::pair<std::string, std::string>> got, want;
      for (const OrderedJson& r : JsonLines(narrowed.out)) got.emplace(r["folder"], r["name"]);
      for (const OrderedJson& r : listed)
        if (matches(r)) want.emplace(r["folder"], r["name"]);
      EXPECT_EQ(got, want);
    }

    // The bodyfile: one line per listed file, its path, size and times those of the listing (in
    // Unix seconds, as mactime reads them).
    Outcome body = Rexmoor("scan '" + image + "'" + options + " --format bodyfile");
    ASSERT_EQ(body.status, 0);
    std::map<std::string, std::vector<std::string>> lines;  // path -> fields
    std::istringstream in(body.out);
    for (std::string line; std::getline(in, line);) {
      std::vector<std::string> fields;
      std::istringstream split(line);
      for (std::string field; std::getline(split, field, '|');) fields.push_back(field);
      ASSERT_EQ(fields.size(), 11u) << line;
      lines[fields[1]] = fields;
    }
    ASSERT_EQ(lines.size(), listed.size());
    auto unixTime = [](const OrderedJson& value) {
      if (value.is_null()) return std::string("0");
      std::tm t{};
      std::istringstream(value.get<std::string>()) >> std::get_time(&t, "%Y-%m-%dT%H:%M:%S");
      return std::to_string(timegm(&t));
    };
    for (const OrderedJson& r : listed) {
      std::string path = "/" + r["folder"].get<std::string>() + r["name"].get<std::string>();
      if (r["found"] == "deleted") path += " (deleted)";
      ASSERT_EQ(lines.count(path), 1u) << path;
      const std::vector<std::string>& f = lines[path];
      EXPECT_EQ(f[6], std::to_string(r["size"].get<std::uint64_t>())) << path;
      EXPECT_EQ(f[7], unixTime(r["accessed"])) << path;
      EXPECT_EQ(f[8], unixTime(r["modified"])) << path;
      EXPECT_EQ(f[10], unixTime(r["created"])) << path;
    }

    // Kept folders: every listed file at <source>/<folder>/<name>, as many files as the flat
    // recovery wrote, the same contents.
    const std::string flat = work / (std::string(volume) + "-flat"), kept = work / (std::string(volume) + "-kept");
    ASSERT_EQ(Rexmoor("recover '" + image + "'" + options + " --to '" + flat + "'").status, 0);
    // Kept with digests: each file's JSON line carries the SHA-256 and MD5 of what was written.
    Outcome keptRun = Rexmoor("recover '" + image + "'" + options + " --keep-folders --hash sha256,md5 --format json --to '" + kept + "'");
    ASSERT_EQ(keptRun.status, 0);
    int hashed = 0;
    for (const OrderedJson& line : JsonLines(keptRun.out)) {
      if (!line.contains("path")) continue;  // the summary
      const std::string written = line["path"];
      EXPECT_EQ(line["sha256"], Sha256(written)) << written;
      std::string md5;
      test::RunCommand("md5sum '" + written + "'", &md5);
      EXPECT_EQ(line["md5"], md5.substr(0, 32)) << written;
      ++hashed;
    }
    EXPECT_EQ(hashed, static_cast<int>(listed.size()));
    std::multiset<std::string> flatHashes, keptHashes;
    // The reports name different paths; the files are compared.
    for (const auto& e : fs::recursive_directory_iterator(flat))
      if (e.is_regular_file() && e.path() != fs::path(flat) / "report.xml") flatHashes.insert(Sha256(e.path()));
    for (const auto& e : fs::recursive_directory_iterator(kept))
      if (e.is_regular_file() && e.path() != fs::path(kept) / "report.xml") keptHashes.insert(Sha256(e.path()));
    EXPECT_EQ(keptHashes, flatHashes);
    for (const OrderedJson& r : listed) {
      const std::string path = kept + "/" + volume + "/" + r["folder"].get<std::string>() + r["name"].get<std::string>();
      EXPECT_TRUE(fs::exists(path) || r["engine"] == static_cast<int>(kTagFileType)) << path;
      if (r["engine"] == static_cast<int>(kTagFileType))  // carved finds have no folder: the source's own
        EXPECT_TRUE(fs::exists(kept + "/" + volume + "/" + r["name"].get<std::string>())) << r;
    }
  }
  // The filters refuse what they cannot read, and tree, which shows everything, takes none.
  for (const char* bad : {"--min-size 3X", "--since 2024-13-01", "--until yesterday", "--state gone", "--format csv"})
    EXPECT_EQ(Rexmoor("scan x.img " + std::string(bad)).status, 2) << bad;
  EXPECT_EQ(Rexmoor("tree x.img --name '*.jpg'").status, 2);
  EXPECT_EQ(Rexmoor("recover x.img --to y --format bodyfile").status, 2);  // a listing, not a recovery
}

TEST_F(ScanCommand, UsageAndUnsupportedSources) {
  REQUIRE_FIXTURE("fat32.img");
  EXPECT_EQ(Rexmoor("scan '" + Image() + "' --resume maybe").status, 2);
  EXPECT_EQ(Rexmoor("recover '" + Image() + "' --quick").status, 2) << "recover needs --to";
  EXPECT_EQ(Rexmoor("scan '" + Image() + "' --quick --types pictures").status, 2);
  EXPECT_EQ(Rexmoor("scan '" + Image() + "' --quick --format xml").status, 2);
  EXPECT_EQ(Rexmoor("scan /nonexistent.img" + Common()).status, 1);
  // An empty exFAT volume is read and holds nothing deleted.
  REQUIRE_FIXTURE("exfat.img");
  const Outcome exfat = Rexmoor("scan '" + FixturePath("exfat.img") + "'" + Common());
  EXPECT_EQ(exfat.status, 0);
  EXPECT_NE(exfat.out.find("0 file(s) found."), std::string::npos) << exfat.out;
}

}  // namespace
}  // namespace rexmoor
