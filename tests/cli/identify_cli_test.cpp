// rexmoor identify on real files made by real tools.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli/cli_json.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::OrderedJson;
using Bytes = std::vector<std::uint8_t>;

const std::string kSamples = REXMOOR_TEST_SOURCE_DIR "/samples/files/";

struct Sample {
  std::string file, ext, kind;
  std::uint64_t size = 0;
  std::string check;  // OK, NO-MATCH, ...
};

// Rows of the samples' manifest: name, extension, type id, size, sha256, check, first match, rule.
std::vector<Sample> ManifestRows() {
  std::vector<Sample> rows;
  std::ifstream in(kSamples + "MANIFEST.txt");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (cols.size() < 8) continue;
    rows.push_back(Sample{cols[0], cols[1], cols[7], std::stoull(cols[3]), cols[5]});
  }
  return rows;
}

std::string Identify(const std::string& args, int* status = nullptr) {
  std::string out;
  int rc = test::RunCommand(REXMOOR_CLI_PATH " identify " + args + " 2>/dev/null", &out);
  if (status != nullptr) *status = rc;
  return out;
}

// The one JSON object identify prints for a sample.
OrderedJson IdentifyJson(const std::string& sample) {
  const auto lines = test::JsonLines(Identify("--format json '" + kSamples + sample + "'"));
  return lines.size() == 1 ? lines[0] : OrderedJson();
}

// Every carvable sample is measured to its last byte by its own structure, alone, when 1 MiB of
// random bytes follows it (where chance footers and chance headers lie), and when a second file of
// the same type follows it directly.
TEST(IdentifyCommand, EverySampleIsMeasuredToItsLastByteWhateverFollows) {
  auto rows = ManifestRows();
  ASSERT_GT(rows.size(), 40u);
  test::TempDir dir;
  const Bytes random = test::RandomBytes(1u << 20, 2612);
  std::string args;
  std::vector<std::pair<std::string, std::uint64_t>> expected;  // file, length
  for (const auto& row : rows) {
    // A bare JPEG XL codestream declares no length: its end is only estimated.
    if (row.kind == "not carved" || row.kind == "estimate" || row.check == "NO-MATCH") continue;
    const Bytes file = test::ReadFileBytes(kSamples + row.file);
    for (const char* after : {"alone", "random", "twice"}) {
      Bytes medium = file;
      if (std::string(after) == "random") medium.insert(medium.end(), random.begin(), random.end());
      if (std::string(after) == "twice") {
        // gzip members, MPEG audio and ADTS frames, mails of a mailbox and consecutive vCards that
        // follow each other are one valid file; two files of them are told apart only where the
        // first one's last sector ends.
        if (row.ext == "gz" || row.ext == "mp2" || row.ext == "mp3" || row.ext == "aac" || row.ext == "mbox" ||
            row.ext == "vcf")
          medium.resize((medium.size() + 511) / 512 * 512);
        medium.insert(medium.end(), file.begin(), file.end());
      }
      const std::string path = dir / (std::string(after) + "-" + row.file);
      test::WriteFileBytes(path, medium);
      args += " '" + path + "'";
      expected.emplace_back(path, row.size);
    }
  }
  const auto lines = test::JsonLines(Identify("--format json" + args));
  ASSERT_EQ(lines.size(), expected.size());
  int exact = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["file"], expected[i].first);
    EXPECT_EQ(lines[i]["length"], expected[i].second) << expected[i].first << ": " << lines[i];
    exact += lines[i]["length"] == expected[i].second;
  }
  EXPECT_GE(exact, 120);
}

TEST(IdentifyCommand, ReportsTheTypeTheTableGives) {
  EXPECT_EQ(Identify("--format json '" + kSamples + "sample.docx'"),
            "{\"file\":\"" + kSamples + "sample.docx\",\"type\":\"docx\",\"type_id\":1,\"length\":2626}\n");
  for (const auto& [sample, type] : std::vector<std::pair<std::string, std::string>>{
           {"sample.xlsx", "xlsx"}, {"sample.pptx", "pptx"}, {"sample.zip", "zip"}, {"sample.wma", "wmv"}}) {
    EXPECT_EQ(IdentifyJson(sample)["type"], type) << sample;
  }
  // Recognised but never carved, and not recognised at all.
  EXPECT_EQ(IdentifyJson("sample.exe"), OrderedJson::parse(R"({"file":")" + kSamples +
                                                           R"(sample.exe","type":"exe","type_id":41,"length":null})"));
  const auto manifestBytes = test::ReadFileBytes(kSamples + "MANIFEST.txt").size();
  EXPECT_EQ(IdentifyJson("MANIFEST.txt"), OrderedJson::parse(R"({"file":")" + kSamples +
                                                             R"(MANIFEST.txt","type":"txt","type_id":50,"length":)" +
                                                             std::to_string(manifestBytes) + "}"));
  test::TempDir dir;
  test::WriteFileBytes(dir / "noise.bin", test::RandomBytes(4096, 1));
  EXPECT_EQ(Identify("'" + (dir / "noise.bin") + "'"), dir / "noise.bin" + ": unknown\n");
  // A camera photo is measured to its own end, not to the end of the thumbnail in its header.
  EXPECT_EQ(Identify("'" + kSamples + "camera_exif.jpg'"), kSamples + "camera_exif.jpg: jpg, 21510 bytes\n");
}

TEST(IdentifyCommand, UnreadableFilesFailWithoutStoppingTheOthers) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "empty.bin", {});
  int status = 0;
  const std::string out = Identify("'" + (dir / "missing.jpg") + "' '" + (dir / "empty.bin") + "' '" + kSamples +
                                       "tiny.jpg'",
                                   &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(out, dir / "empty.bin" + ": unknown\n" + kSamples + "tiny.jpg: jpg, 287 bytes\n");
  Identify("", &status);
  EXPECT_EQ(status, 2);
}

}  // namespace
}  // namespace rexmoor
