// rexmoor preview on the sample card: the files of an earlier scan, named by their engine and id,
// come out as text, dumps, pictures and pages, byte for byte where they are written out.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "cli/cli_json.h"
#include "fat/fat_volume_builder.h"  // ShellQuote, Sha256Hex
#include "preview/office_builders.h"  // DashPatternPdf
#include "test_support.h"

namespace rexmoor {
namespace {

using test::JsonLines;
using test::ShellQuote;

class PreviewCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    image = test::SampleCardImage(work);
    ASSERT_FALSE(image.empty());
    std::string out;
    ASSERT_EQ(Run("scan " + ShellQuote(image) + " --format json", &out), 0);
    for (const auto& line : JsonLines(out))
      ids[line["name"].get<std::string>()] =
          std::to_string(line["engine"].get<int>()) + ":" + std::to_string(line["id"].get<unsigned>());
    ASSERT_GE(ids.size(), 5u);
  }
  int Run(const std::string& args, std::string* out = nullptr) {
    return test::RunCommand(REXMOOR_CLI_PATH " " + args + " --data-dir " + ShellQuote(work / "data") + " 2>" +
                                ShellQuote(work / "stderr.txt"),
                            out);
  }
  std::string Err() {
    const auto bytes = test::ReadFileBytes(work / "stderr.txt");
    return std::string(bytes.begin(), bytes.end());
  }
  std::string Id(const std::string& suffix) {
    for (const auto& [name, id] : ids)
      if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) return id;
    ADD_FAILURE() << "no file ending in " << suffix;
    return "0:0";
  }
  test::TempDir work;
  std::string image;
  std::map<std::string, std::string> ids;  // name -> ENGINE:ID
};

TEST_F(PreviewCommand, TextIsPrintedAndPicturesAndPagesAreWrittenOut) {
  // The note has no converter: its character dump, one line.
  std::string out;
  ASSERT_EQ(Run("preview " + ShellQuote(image) + " --id " + Id("otes.txt"), &out), 0) << Err();
  EXPECT_EQ(out.rfind("Ferry at 9:40", 0), 0u) << out;

  // A deleted photo, byte for byte as it was put on the card.
  const std::string photo = work / "photo.jpg";
  ASSERT_EQ(Run("preview " + ShellQuote(image) + " --id " + Id("mg_0002.jpg") + " --to " + ShellQuote(photo)), 0) << Err();
  EXPECT_EQ(test::Sha256Hex(photo), "cf33aa6b7351e0f99b8a444e4fbdc04eba9dbaf045203937555c516f69e81234");

  // Without --to a picture is only named.
  ASSERT_EQ(Run("preview " + ShellQuote(image) + " --id " + Id("mg_0002.jpg"), &out), 0);
  EXPECT_NE(out.find("is a picture; give --to FILE"), std::string::npos) << out;

  // The PDF's first page as PNG.
  const std::string page = work / "page.png";
  ASSERT_EQ(Run("preview " + ShellQuote(image) + " --id " + Id("eport.pdf") + " --to " + ShellQuote(page)), 0) << Err();
  const std::vector<std::uint8_t> head = test::ReadFileHead(page, 8);
  ASSERT_EQ(head.size(), 8u);
  EXPECT_EQ(std::string(head.begin() + 1, head.begin() + 4), "PNG");

  // An existing FILE is never overwritten.
  EXPECT_EQ(Run("preview " + ShellQuote(image) + " --id " + Id("mg_0003.jpg") + " --to " + ShellQuote(photo)), 1);
  EXPECT_NE(Err().find("exists already"), std::string::npos) << Err();
  EXPECT_EQ(test::Sha256Hex(photo), "cf33aa6b7351e0f99b8a444e4fbdc04eba9dbaf045203937555c516f69e81234");

  // The earlier scan's temporary preview files are gone once the command ends.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(work / "data")) {
    const std::string name = entry.path().filename().string();
    EXPECT_NE(name, "tmp.jpg");
    EXPECT_NE(name, "page.png");
  }
}

TEST_F(PreviewCommand, UnknownIdsAndBadArgumentsAreRefused) {
  EXPECT_EQ(Run("preview " + ShellQuote(image) + " --id 99:12345"), 1);
  EXPECT_NE(Err().find("no file 99:12345"), std::string::npos) << Err();
  EXPECT_EQ(Run("preview " + ShellQuote(image)), 2);
  EXPECT_NE(Err().find("preview needs --id"), std::string::npos) << Err();
  for (const char* bad : {"7", "a:b", ":3", "3:", "1:2:3", "70000:1"}) {
    EXPECT_EQ(Run("preview " + ShellQuote(image) + " --id " + bad), 2) << bad;
    EXPECT_NE(Err().find("--id is ENGINE:ID"), std::string::npos) << bad << ": " << Err();
  }
}

// Ctrl-C while a PDF that draws for ever is drawn ends the preview at once (exit 130, not
// the time limit's dump) and takes its page program along; what killed previews left behind is
// cleared by the next one.
TEST(PreviewInterrupt, CtrlCEndsTheDrawingAndNoCopyIsLeftBehind) {
  test::TempDir work;
  test::FatVolumeBuilder volume(work, "pdf.img");
  ASSERT_TRUE(volume.Format(1440, 12)) << volume.lastError();
  const std::string pdf = test::TilingPatternPdf();
  ASSERT_TRUE(volume.Put("/TILES.PDF", std::vector<std::uint8_t>(pdf.begin(), pdf.end()), "2020-01-02 03:04:06"));
  ASSERT_TRUE(volume.Delete("/TILES.PDF"));
  const std::string data = work / "data";
  const std::string common = " --quick --data-dir " + ShellQuote(data);
  std::string out;
  ASSERT_EQ(test::RunCommand(REXMOOR_CLI_PATH " scan " + ShellQuote(volume.image()) + common + " --format json 2>/dev/null",
                             &out),
            0);
  const auto lines = JsonLines(out);
  ASSERT_EQ(lines.size(), 1u) << out;
  const std::string id =
      std::to_string(lines[0]["engine"].get<int>()) + ":" + std::to_string(lines[0]["id"].get<unsigned>());

  // The folder of a preview whose process was killed: a process that has ended.
  std::string dead;
  ASSERT_EQ(test::RunCommand("sh -c 'echo $$'", &dead), 0);
  const std::string stale = data + "/Rexmoor Pro/ScanLog/Preview." + dead.substr(0, dead.find('\n'));
  std::filesystem::create_directories(stale);
  test::WriteFileBytes(stale + "/secret.pdf", {1, 2, 3});

  // Ctrl-C once the page program runs.
  // "[r]" keeps the shell that runs pgrep from matching its own command line.
  const std::string drawing = "pgrep -f " + ShellQuote("[r]exmoor-pdf-page " + data);
  const std::string script = REXMOOR_CLI_PATH " preview " + ShellQuote(volume.image()) + common + " --id " + id +
                             " > " + ShellQuote(work / "out.txt") + " 2>/dev/null & p=$!; for i in $(seq 600); do " +
                             drawing + " >/dev/null && break; sleep 0.05; done; kill -INT $p; wait $p; echo $?";
  out.clear();
  ASSERT_EQ(test::RunCommand("bash -c " + ShellQuote(script), &out), 0);
  EXPECT_EQ(out, "130\n");
  const auto printed = test::ReadFileBytes(work / "out.txt");
  EXPECT_EQ(std::string(printed.begin(), printed.end()).find("could not be drawn"), std::string::npos);
  std::string running;
  test::RunCommand(drawing, &running);
  EXPECT_EQ(running, "") << "the page program is gone with the preview";
  EXPECT_FALSE(std::filesystem::exists(stale));
  for (const auto& e : std::filesystem::directory_iterator(data + "/Rexmoor Pro/ScanLog"))
    EXPECT_NE(e.path().filename().string().rfind("Preview.", 0), 0u) << e.path();
}

}  // namespace
}  // namespace rexmoor
