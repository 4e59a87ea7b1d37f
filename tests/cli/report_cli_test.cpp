// recover's report.xml read back as a user's tools would: every file object against the scan's and
// the recovery's JSON lines, and every recovered file rebuilt from the image at its byte runs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <set>
#include <span>

#include "cli/cli_json.h"
#include "engine/file_digest.h"
#include "fixtures/fixture_paths.h"
#include "formats/lznt1.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::FixturePath;
using test::JsonLines;
using test::OrderedJson;
using test::XmlNode;

std::string Run(const std::string& args, int* status = nullptr) {
  std::string out;
  const int rc = test::RunCommand(REXMOOR_CLI_PATH " " + args + " 2>/dev/null", &out);
  if (status != nullptr) *status = rc;
  return out;
}

std::vector<std::uint8_t> ReadAt(int fd, std::uint64_t offset, std::uint64_t length) {
  std::vector<std::uint8_t> bytes(length);
  const ssize_t got = ::pread(fd, bytes.data(), length, static_cast<off_t>(offset));
  bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  return bytes;
}

std::uint64_t Number(const XmlNode& run, const char* attribute) {
  const auto it = run.attributes.find(attribute);
  return it == run.attributes.end() ? 0 : std::stoull(it->second);
}

// The file as its byte runs describe it: data and resident runs read from the image as they are,
// fill runs as zeros, and the extents of one compression unit (compressed runs of one
// file_offset) joined and decompressed to uncompressed_len bytes.
std::vector<std::uint8_t> Rebuild(int image, const std::vector<const XmlNode*>& runs, std::string& kinds) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < runs.size();) {
    const XmlNode& run = *runs[i];
    EXPECT_EQ(Number(run, "file_offset"), out.size()) << "runs leave a gap or overlap";
    if (run.attributes.count("uncompressed_len") != 0) {
      std::vector<std::uint8_t> packed;
      const std::uint64_t unit = Number(run, "uncompressed_len");
      for (; i < runs.size() && Number(*runs[i], "file_offset") == Number(run, "file_offset"); ++i) {
        const auto piece = ReadAt(image, Number(*runs[i], "img_offset"), Number(*runs[i], "len"));
        packed.insert(packed.end(), piece.begin(), piece.end());
      }
      // A unit is at most 1 MiB; the file takes its first uncompressed_len bytes.
      std::vector<std::uint8_t> plain(std::max<std::uint64_t>(unit, 1u << 20), 0);
      std::size_t produced = 0;
      (void)DecompressLznt1(packed, plain, produced);
      out.insert(out.end(), plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(unit, plain.size())));
      kinds += 'c';
      continue;
    }
    if (run.attributes.count("fill") != 0) {
      EXPECT_EQ(run.attributes.at("fill"), "0");
      out.resize(out.size() + Number(run, "len"), 0);
      kinds += 'f';
    } else {
      const auto piece = ReadAt(image, Number(run, "img_offset"), Number(run, "len"));
      EXPECT_EQ(piece.size(), Number(run, "len"));
      out.insert(out.end(), piece.begin(), piece.end());
      kinds += run.attributes.count("type") != 0 && run.attributes.at("type") == "resident" ? 'r' : 'd';
    }
    ++i;
  }
  return out;
}

std::string Sha256Of(const std::vector<std::uint8_t>& bytes) {
  StreamDigest digest;
  digest.Begin(true, false);
  digest.Update(bytes.data(), bytes.size());
  return digest.Finish().sha256;
}

// What the volumes' reports showed across the table.
struct Seen {
  int files = 0;
  int fragmented = 0;  // files in more than one data run
  int resident = 0;
  int compressed = 0;
  int filled = 0;
  int carved = 0;
  int inPartition = 0;  // files of a volume that starts past the image's first byte
};

void CheckVolume(const std::string& image, const std::string& options, Seen& seen) {
  SCOPED_TRACE(image + options);
  test::TempDir work;
  const std::string common = " " + options + " --resume no --data-dir '" + work / "data" + "'";
  // The scan's lines, by engine and record id.
  std::map<std::pair<std::string, std::uint64_t>, OrderedJson> found;
  for (const OrderedJson& line : JsonLines(Run("scan '" + image + "'" + common + " --format json"), true)) {
    if (line.contains("summary")) continue;
    found[{line["engine_name"].get<std::string>(), line["id"].get<std::uint64_t>()}] = line;
  }
  ASSERT_FALSE(found.empty());
  // scan --format dfxml lists the same files, without paths, digests and runs.
  std::string error;
  const auto listing = test::ParseXml(Run("scan '" + image + "'" + common + " --format dfxml"), error);
  ASSERT_NE(listing, nullptr) << error;
  std::size_t listed = 0;
  // A scan knows the runs of carved files alone: they must be those the recovery read.
  auto runsText = [](const XmlNode* object) {
    std::string text;
    if (const XmlNode* runs = object->Child("byte_runs"))
      for (const XmlNode* run : runs->Children("byte_run"))
        for (const auto& [name, value] : run->attributes) text += name + "=" + value + " ";
    return text;
  };
  std::map<std::string, std::string> carvedRuns;  // by record id
  for (const XmlNode* volume : listing->Children("volume"))
    for (const XmlNode* object : volume->Children("fileobject")) {
      ++listed;
      EXPECT_EQ(object->Child("rexmoor:written_path"), nullptr);
      EXPECT_EQ(object->Child("hashdigest"), nullptr);
      if (object->ChildText("rexmoor:engine") == "carved") {
        carvedRuns[object->ChildText("rexmoor:record_id")] = runsText(object);
      } else {
        EXPECT_EQ(object->Child("byte_runs"), nullptr);
      }
    }
  EXPECT_EQ(listed, found.size());

  const std::string target = work / "out";
  int status = 0;
  const std::string out =
      Run("recover '" + image + "'" + common + " --hash sha256,md5 --hash-source --format json --to '" + target + "'", &status);
  EXPECT_TRUE(status == 0 || status == 1) << status;  // 1: some file came back incomplete
  std::map<std::string, OrderedJson> written;
  for (const OrderedJson& line : JsonLines(out))
    if (line.contains("path")) written[line["path"].get<std::string>()] = line;

  const std::vector<std::uint8_t> xml = test::ReadFileBytes(target + "/report.xml");
  const std::string text(xml.begin(), xml.end());
  const auto report = test::ParseXml(text, error);
  ASSERT_NE(report, nullptr) << error;
  EXPECT_EQ(report->attributes.at("xmloutputversion"), "1.0");
  EXPECT_EQ(report->Child("creator")->ChildText("program"), "rexmoor");
  EXPECT_NE(report->Child("creator")->Child("execution_environment")->ChildText("command_line").find("--hash-source"),
            std::string::npos);
  const XmlNode& source = *report->Child("source");
  EXPECT_EQ(source.ChildText("image_filename"), image);
  EXPECT_EQ(source.Child("hashdigest")->text, Sha256Of(test::ReadFileBytes(image)));

  const int fd = ::open(image.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::size_t objects = 0;
  for (const XmlNode* volume : report->Children("volume")) {
    const std::uint64_t partitionOffset = std::stoull(volume->ChildText("partition_offset"));
    for (const XmlNode* object : volume->Children("fileobject")) {
      ++objects;
      const std::string path = object->ChildText("rexmoor:written_path");
      SCOPED_TRACE(path);
      ASSERT_EQ(written.count(path), 1u);
      const OrderedJson& line = written[path];
      const std::string statusWord = object->ChildText("rexmoor:status");
      EXPECT_EQ(statusWord, line["status"] == "ok" || line["status"] == "incomplete" ? line["status"].get<std::string>()
                                                                                      : std::string("failed"));
      // The found file, as the scan listed it.
      const auto key = std::make_pair(object->ChildText("rexmoor:engine"), std::stoull(object->ChildText("rexmoor:record_id")));
      ASSERT_EQ(found.count(key), 1u);
      const OrderedJson& listedLine = found[key];
      EXPECT_EQ(object->ChildText("filename"), listedLine["folder"].get<std::string>() + listedLine["name"].get<std::string>());
      EXPECT_EQ(object->ChildText("filesize"), std::to_string(listedLine["size"].get<std::uint64_t>()));
      EXPECT_EQ(object->ChildText("rexmoor:state"), listedLine["found"].get<std::string>());
      EXPECT_EQ(object->ChildText("rexmoor:content"), listedLine["condition"].get<std::string>());
      for (const auto& [element, json] : {std::pair{"mtime", "modified"}, {"atime", "accessed"}, {"crtime", "created"}})
        EXPECT_EQ(object->ChildText(element, "null"), listedLine[json].is_null() ? "null" : listedLine[json].get<std::string>());
      if (key.first == "ntfs" || key.first == "ntfs-formatted") {
        EXPECT_EQ(object->ChildText("inode"), std::to_string(listedLine["object"].get<std::uint64_t>()));
      }
      if (statusWord == "failed") continue;
      // The digests are those of the file written, and the runs give exactly its bytes.
      const std::vector<std::uint8_t> bytes = test::ReadFileBytes(path);
      std::map<std::string, std::string> digests;
      for (const XmlNode* digest : object->Children("hashdigest")) digests[digest->attributes.at("type")] = digest->text;
      EXPECT_EQ(digests["sha256"], Sha256Of(bytes));
      EXPECT_EQ(digests["sha256"], line["sha256"]);
      EXPECT_EQ(digests["md5"], line["md5"]);
      std::string kinds;
      const XmlNode* runs = object->Child("byte_runs");
      const std::vector<std::uint8_t> rebuilt =
          runs == nullptr ? std::vector<std::uint8_t>() : Rebuild(fd, runs->Children("byte_run"), kinds);
      EXPECT_TRUE(rebuilt == bytes) << "runs " << kinds << " give " << rebuilt.size() << " bytes, " << bytes.size() << " written";
      if (runs != nullptr) {
        for (const XmlNode* run : runs->Children("byte_run")) {
          if (run->attributes.count("img_offset") != 0) {
            EXPECT_GE(Number(*run, "img_offset"), partitionOffset);
            EXPECT_EQ(Number(*run, "fs_offset"), Number(*run, "img_offset") - partitionOffset);
          }
        }
      }
      if (key.first == "carved") {
        EXPECT_EQ(runsText(object), carvedRuns[object->ChildText("rexmoor:record_id")]);
      }
      ++seen.files;
      seen.fragmented += std::count(kinds.begin(), kinds.end(), 'd') > 1;
      seen.resident += kinds.find('r') != std::string::npos;
      seen.compressed += kinds.find('c') != std::string::npos;
      seen.filled += kinds.find('f') != std::string::npos;
      seen.carved += key.first == "carved";
      seen.inPartition += partitionOffset > 0;
    }
  }
  ::close(fd);
  EXPECT_EQ(objects, written.size());
}

TEST(RecoveryReport, ByteRunsRebuildEveryRecoveredFileAndTheFieldsMatchTheListing) {
  for (const char* name : {"fmt_fat32.img", "mbr.img", "fat32.img"}) REQUIRE_FIXTURE(name);
  const std::string ntfs = REXMOOR_TEST_SOURCE_DIR "/fixtures/ntfs/";
  // image, options: formatted FAT with files found by content (deep), the partitions of an MBR
  // disk, deleted FAT files, NTFS with a fragmented deleted file and resident ones, NTFS
  // compressed (stored and sparse units too).
  const std::vector<std::pair<std::string, std::string>> volumes = {
      {FixturePath("fmt_fat32.img"), "--deep"},
      {FixturePath("mbr.img"), "--quick"},
      {FixturePath("fat32.img"), "--quick"},
      {test::UnpackedImage(ntfs + "ntfs_deleted.img.gz"), "--quick"},
      {test::UnpackedImage(ntfs + "ntfs_compressed.img.gz"), "--quick"},
  };
  Seen seen;
  for (const auto& [image, options] : volumes) CheckVolume(image, options, seen);
  EXPECT_GE(seen.files, 40);
  EXPECT_GE(seen.fragmented, 1);
  EXPECT_GE(seen.resident, 1);
  EXPECT_GE(seen.compressed, 1);
  EXPECT_GE(seen.filled, 1);
  EXPECT_GE(seen.carved, 1);
  EXPECT_GE(seen.inPartition, 1);
}

}  // namespace
}  // namespace rexmoor
