// rexmoor preview on the sample card: the files of an earlier scan, named by their engine and id,
// come out as text, dumps, pictures and pages, byte for byte where they are written out.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "cli/cli_json.h"
#include "fat/fat_volume_builder.h"  // ShellQuote, Sha256Hex
#include "test_support.h"

namespace rexmoor {
namespace {

using test::JsonLines;
using test::ShellQuote;

class PreviewCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    image = work / "card.img";
    ASSERT_EQ(test::RunCommand("gunzip -c " + ShellQuote(REXMOOR_TEST_SOURCE_DIR "/../samples/card.img.gz") + " > " +
                               ShellQuote(image)),
              0);
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

}  // namespace
}  // namespace rexmoor
