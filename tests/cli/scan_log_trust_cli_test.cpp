// The scan-log store is read back from disk, where it may have been damaged, tampered with or
// copied: a resumed deep scan never writes outside the data folder, never lists fewer or doubled
// files, and never takes another image's log for its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <set>

#include "cli/cli_json.h"
#include "fat/fat_volume_builder.h"  // ShellQuote
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;
using test::JsonLines;
using test::ShellQuote;

using Listing = std::multiset<std::pair<std::string, std::uint64_t>>;

// Offsets in the index file: an 8-byte header, then 1,120-byte entries.
constexpr std::size_t kEntry = 8;
constexpr std::size_t kResume = kEntry + 24;  // five u64: range start, range length, place, swept, files
constexpr std::size_t kFolderField = kEntry + 600;

class ScanLogTrust : public ::testing::Test {
 protected:
  void SetUp() override {
    image = test::SampleCardImage(work);
    ASSERT_FALSE(image.empty());
  }
  // A deep scan's listing of the image, and what it said on stderr.
  Listing Scan(const std::string& dataDir, const std::string& resume, std::string* err = nullptr,
               const std::string& which = "") {
    std::string out;
    const std::string errFile = work / "stderr.txt";
    EXPECT_EQ(test::RunCommand("timeout 300 " REXMOOR_CLI_PATH " scan " + ShellQuote(which.empty() ? image : which) +
                                   " --format json --resume " + resume + " --data-dir " + ShellQuote(dataDir) + " 2>" +
                                   ShellQuote(errFile),
                               &out),
              0);
    if (err != nullptr) {
      const auto bytes = test::ReadFileBytes(errFile);
      err->assign(bytes.begin(), bytes.end());
    }
    Listing listing;
    for (const auto& r : JsonLines(out)) listing.emplace(r["name"].get<std::string>(), r["size"].get<std::uint64_t>());
    return listing;
  }
  static std::string Base(const std::string& dataDir) { return dataDir + "/Rexmoor Pro/ScanLog"; }
  static void PutU64(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  static std::uint64_t GetU64(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= std::uint64_t{bytes[at + i]} << (8 * i);
    return value;
  }
  static void PutFolder(std::vector<std::uint8_t>& bytes, const std::string& folder) {
    std::fill(bytes.begin() + kFolderField, bytes.begin() + kFolderField + 520, 0);
    for (std::size_t i = 0; i < folder.size(); ++i) bytes[kFolderField + 2 * i] = static_cast<std::uint8_t>(folder[i]);
  }
  // The one log of this prefix in the scan's folder.
  static std::string Log(const std::string& folder, const std::string& prefix) {
    for (const auto& e : fs::directory_iterator(folder)) {
      const std::string name = e.path().filename().string();
      if (name.rfind(prefix, 0) == 0 && name.find("_Relation") == std::string::npos &&
          name.find("_DirInfo") == std::string::npos)
        return e.path().string();
    }
    return {};
  }
  test::TempDir work;
  std::string image;
};

// Every kind of damage to the index or the logs gives the listing of a fresh scan, and says so;
// none of them writes outside the data folder.
TEST_F(ScanLogTrust, EveryKindOfDamageGivesTheFreshResultAndSaysSo) {
  const std::string pristine = work / "pristine";
  const Listing fresh = Scan(pristine, "no");
  ASSERT_GE(fresh.size(), 5u);
  const std::string outside = work / "outside";
  using Damage = std::function<void(const std::string& base, std::vector<std::uint8_t>& index)>;
  const struct {
    const char* what;
    Damage damage;
    const char* said;
  } cases[] = {
      {"a folder outside the data folder",
       [&](const std::string&, std::vector<std::uint8_t>& index) { PutFolder(index, outside + "/"); },
       "not one of its own"},
      {"a folder climbing out", [](const std::string&, std::vector<std::uint8_t>& index) { PutFolder(index, "../../"); },
       "not one of its own"},
      {"the system's folder", [](const std::string&, std::vector<std::uint8_t>& index) { PutFolder(index, "/etc/"); },
       "not one of its own"},
      {"the original data folder after a copy",
       [&](const std::string&, std::vector<std::uint8_t>& index) { PutFolder(index, Base(pristine) + "/1/"); },
       "not one of its own"},
      {"a place ahead of the range",
       [](const std::string&, std::vector<std::uint8_t>& index) {
         PutU64(index, kResume + 16, GetU64(index, kResume + 8) + 4096);
       },
       "outside what it sweeps"},
      {"a place behind the one reached",
       [](const std::string&, std::vector<std::uint8_t>& index) { PutU64(index, kResume + 16, 0); },
       "outside what it sweeps"},
      {"a range that is not free",
       [](const std::string&, std::vector<std::uint8_t>& index) { PutU64(index, kResume, 1); },
       "outside what it sweeps"},
      {"a log folder gone", [](const std::string& base, std::vector<std::uint8_t>&) { fs::remove_all(base + "/1"); },
       "log folder is gone"},
      {"a carver's log gone",
       [this](const std::string& base, std::vector<std::uint8_t>&) { fs::remove(Log(base + "/1", "File_Type_")); },
       "File_Type_ log is missing"},
      {"a log of random bytes",
       [this](const std::string& base, std::vector<std::uint8_t>&) {
         const std::string log = Log(base + "/1", "Fast_");
         test::WriteFileBytes(log, test::RandomBytes(fs::file_size(log), 5));
       },
       "is damaged"},
      {"a log cut short",
       [this](const std::string& base, std::vector<std::uint8_t>&) {
         const std::string log = Log(base + "/1", "File_Type_");
         fs::resize_file(log, fs::file_size(log) - 346);
       },
       "records where it counted"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string data = work / "copy";
    fs::remove_all(data);
    fs::copy(pristine, data, fs::copy_options::recursive);
    fs::remove_all(outside);
    const std::string config = Base(data) + "/config";
    std::vector<std::uint8_t> index = test::ReadFileBytes(config);
    ASSERT_EQ(index.size(), kEntry + 1120u);
    c.damage(Base(data), index);
    test::WriteFileBytes(config, index);
    const auto before = fs::last_write_time(Base(pristine) + "/1");

    std::string err;
    EXPECT_EQ(Scan(data, "yes", &err), fresh);
    EXPECT_NE(err.find(c.said), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(outside));
    EXPECT_EQ(fs::last_write_time(Base(pristine) + "/1"), before) << "the original's logs are not touched";
    // The index is whole again: the next run continues the fresh scan.
    EXPECT_EQ(Scan(data, "yes", &err), fresh);
    EXPECT_EQ(err.find("afresh"), std::string::npos) << err;
  }

  // A pipe planted at the index and a link at its scratch name: neither blocks the scan nor is
  // written through.
  const std::string planted = work / "planted";
  fs::create_directories(Base(planted));
  ASSERT_EQ(::mkfifo((Base(planted) + "/config").c_str(), 0644), 0);
  const std::string victim = work / "victim";
  test::WriteFileBytes(victim, {'v'});
  fs::create_symlink(victim, Base(planted) + "/config.tmp");
  EXPECT_EQ(Scan(planted, "yes"), fresh);
  EXPECT_EQ(test::ReadFileBytes(victim), std::vector<std::uint8_t>{'v'});
  EXPECT_TRUE(fs::is_regular_file(Base(planted) + "/config"));
}

// Two images whose names differ only in case keep their own logs; the index keeps folders
// relative to itself, so a copied data folder continues its own scans.
TEST_F(ScanLogTrust, NamesThatDifferOnlyInCaseAreTwoImages) {
  const std::string other = work / "Card.img";
  fs::copy_file(image, other);
  // A byte of a sector the FAT marks free: the same card with one more carvable file would do,
  // but any change to the content makes it another image.
  ASSERT_EQ(test::RunCommand("cp " + ShellQuote(REXMOOR_TEST_SOURCE_DIR "/samples/files/sample.png") + " " +
                             ShellQuote(work / "x.png") + " && dd if=" + ShellQuote(work / "x.png") + " of=" +
                             ShellQuote(other) + " bs=512 seek=60000 conv=notrunc status=none"),
            0);
  ASSERT_EQ(test::RunCommand("touch -r " + ShellQuote(image) + " " + ShellQuote(other)), 0);
  const std::string data = work / "data";
  const Listing upper = Scan(data, "no", nullptr, other);
  const Listing lower = Scan(work / "solo", "no");
  ASSERT_NE(upper, lower);
  EXPECT_EQ(Scan(data, "yes"), lower) << "card.img is not Card.img";
  EXPECT_EQ(Scan(data, "yes", nullptr, other), upper);

  const std::string copy = work / "copied";
  fs::copy(data, copy, fs::copy_options::recursive);
  std::string err;
  EXPECT_EQ(Scan(copy, "yes", &err, other), upper);
  EXPECT_EQ(err.find("afresh"), std::string::npos) << err;
}

// A range of an image (IMAGE@START+COUNT) is read as a drive numbered by the order a run adds it:
// the same range of another image, scanned first in an earlier run, is not this one's log, however
// alike the two are (same size, same times, same free space); the same image's log still serves.
TEST_F(ScanLogTrust, RangesOfTwoImagesAreTwoScans) {
  const std::string other = work / "other.img";
  fs::copy_file(image, other);
  ASSERT_EQ(test::RunCommand("dd if=" + ShellQuote(REXMOOR_TEST_SOURCE_DIR "/samples/files/sample.png") + " of=" +
                             ShellQuote(other) + " bs=512 seek=60000 conv=notrunc status=none && touch -r " +
                             ShellQuote(image) + " " + ShellQuote(other)),
            0);
  const std::string range = "@0+" + std::to_string(fs::file_size(image) / 512);
  const std::string data = work / "data";
  const Listing withPicture = Scan(data, "no", nullptr, other + range);
  const Listing fresh = Scan(work / "solo", "no", nullptr, image + range);
  ASSERT_NE(withPicture, fresh);
  EXPECT_EQ(Scan(data, "yes", nullptr, image + range), fresh) << "the other image's log was taken";
  EXPECT_EQ(Scan(data, "yes", nullptr, other + range), withPicture);
  const auto folders = [&] {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(Base(data)))
      if (e.is_directory()) names.insert(e.path().filename().string());
    return names;
  };
  const std::set<std::string> before = folders();
  EXPECT_EQ(Scan(data, "yes", nullptr, other + range), withPicture);
  EXPECT_EQ(folders(), before) << "the image's own log was not used again";
}

}  // namespace
}  // namespace rexmoor
