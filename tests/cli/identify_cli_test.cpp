// rexmoor identify on real files made by real tools.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli/cli_json.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::OrderedJson;

const std::string kSamples = REXMOOR_TEST_SOURCE_DIR "/samples/files/";

struct Sample {
  std::string file, ext, kind;
  std::uint64_t size = 0;
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
    rows.push_back(Sample{cols[0], cols[1], cols[7], std::stoull(cols[3])});
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

TEST(IdentifyCommand, FooterAndSizeFieldTypesMeasureExactlyTheirFile) {
  auto rows = ManifestRows();
  ASSERT_GT(rows.size(), 40u);
  int checked = 0;
  for (const auto& row : rows) {
    // Files whose format rule has a footer or a size field, and which carry that footer: the
    // producers of mp4, mpeg program streams and RealMedia here write no closing marker, and
    // sample_vbr.mp3 has no ID3v1 tag.
    if (row.kind != "footer" && row.kind != "size field" && row.kind.rfind("compound", 0) != 0) continue;
    if (row.file == "sample.mp4" || row.file == "sample_mp42.mp4" || row.file == "sample_frag.mp4" ||
        row.file == "sample_vbr.mp3" || row.file == "sample.mpg" ||
        row.file == "ffmpeg_ps.mpg" || row.file == "sample.vob" || row.file == "sample.rm" ||
        row.file == "sample_v6.swf")
      continue;
    const OrderedJson id = IdentifyJson(row.file);
    EXPECT_EQ(id["length"], row.size) << row.file << ": " << id;
    ++checked;
  }
  EXPECT_GE(checked, 25);
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
  EXPECT_EQ(IdentifyJson("MANIFEST.txt"), OrderedJson::parse(R"({"file":")" + kSamples +
                                                             R"(MANIFEST.txt","type":null,"type_id":null,"length":null})"));
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
