// rexmoor identify on real files made by real tools.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "test_support.h"

namespace rexmoor {
namespace {

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

TEST(IdentifyCommand, FooterAndSizeFieldTypesMeasureExactlyTheirFile) {
  auto rows = ManifestRows();
  ASSERT_GT(rows.size(), 40u);
  int checked = 0;
  for (const auto& row : rows) {
    // Files whose format rule has a footer or a size field, and which carry that footer: the
    // producers of mp4, mpeg program streams and RealMedia here write no closing marker.
    if (row.kind != "footer" && row.kind != "size field" && row.kind.rfind("compound", 0) != 0) continue;
    if (row.file == "sample.mp4" || row.file == "sample_mp42.mp4" || row.file == "sample.mpg" ||
        row.file == "ffmpeg_ps.mpg" || row.file == "sample.vob" || row.file == "sample.rm" ||
        row.file == "sample_v6.swf")
      continue;
    const std::string out = Identify("--format json '" + kSamples + row.file + "'");
    EXPECT_NE(out.find("\"length\":" + std::to_string(row.size) + "}"), std::string::npos) << row.file << ": " << out;
    ++checked;
  }
  EXPECT_GE(checked, 25);
}

TEST(IdentifyCommand, ReportsTheTypeTheTableGives) {
  EXPECT_EQ(Identify("--format json '" + kSamples + "sample.docx'"),
            "{\"file\":\"" + kSamples + "sample.docx\",\"type\":\"docx\",\"type_id\":1,\"length\":2626}\n");
  EXPECT_NE(Identify("--format json '" + kSamples + "sample.xlsx'").find("\"type\":\"xlsx\""), std::string::npos);
  EXPECT_NE(Identify("--format json '" + kSamples + "sample.pptx'").find("\"type\":\"pptx\""), std::string::npos);
  EXPECT_NE(Identify("--format json '" + kSamples + "sample.zip'").find("\"type\":\"zip\""), std::string::npos);
  EXPECT_NE(Identify("--format json '" + kSamples + "sample.wma'").find("\"type\":\"wmv\""), std::string::npos);
  // Recognised but never carved, and not recognised at all.
  EXPECT_NE(Identify("--format json '" + kSamples + "sample.exe'").find("\"type\":\"exe\",\"type_id\":41,\"length\":null"),
            std::string::npos);
  EXPECT_NE(Identify("--format json '" + kSamples + "MANIFEST.txt'").find("\"type\":null,\"type_id\":null,\"length\":null"),
            std::string::npos);
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
