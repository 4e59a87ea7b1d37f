// How the command line is read: usage errors, help, and the forms an option can take.
#include <gtest/gtest.h>

#include "cli/cli_json.h"
#include "fat/fat_volume_builder.h"  // ShellQuote
#include "fixtures/fixture_paths.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::JsonLines;

struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
};

class CommandLine : public ::testing::Test {
 protected:
  Outcome Rexmoor(const std::string& args) {
    Outcome r;
    const std::string errFile = work / "stderr.txt";
    r.status = test::RunCommand(REXMOOR_CLI_PATH " " + args + " 2>" + test::ShellQuote(errFile), &r.out);
    const auto bytes = test::ReadFileBytes(errFile);
    r.err.assign(bytes.begin(), bytes.end());
    return r;
  }
  test::TempDir work;
  std::string dataDir = " --data-dir " + test::ShellQuote(work / "data");
};

// Nothing is opened before the command line is found wrong, so the sources need not exist.
TEST_F(CommandLine, UsageErrorsSayWhatIsWrongInOneLineThenHowTheCommandIsCalled) {
  const struct {
    const char* args;
    const char* message;
  } cases[] = {
      {"detect", "no SOURCE given"},
      {"detect a.img b.img", "more than one SOURCE given"},
      {"detect --fast a.img", "unknown option '--fast'"},
      {"scan", "no SOURCE given"},
      {"scan a.img --quick --bogus", "unknown option '--bogus'"},
      {"scan a.img --quick --bogus=3", "unknown option '--bogus=3'"},
      {"scan a.img --quick --types", "--types needs a list"},
      {"scan a.img --quick --types photo,pictures",
       "unknown type group 'pictures' (the groups: photo, audio, video, document, archive, other)"},
      {"scan a.img --quick --ext", "--ext needs a list"},
      {"scan a.img --quick --format=xml", "--format is text, json, bodyfile or dfxml"},
      {"scan a.img --quick --data-dir=", "--data-dir needs a folder"},
      {"scan a.img --quick --resume maybe", "--resume is yes or no"},
      {"scan a.img --quick --to out", "unknown option '--to'"},
      {"tree a.img b.img --quick", "more than one SOURCE given"},
      {"recover a.img --quick", "recover needs --to DIR"},
      {"recover a.img --quick --to", "--to needs a folder"},
      {"recover a.img --quick --to ''", "--to needs a folder"},
      {"identify", "no FILE given"},
      {"identify --format xml a.jpg", "--format is text or json"},
      {"identify -v a.jpg", "unknown option '-v'"},
  };
  for (const auto& c : cases) {
    const Outcome r = Rexmoor(c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_EQ(r.out, "") << c.args;
    const std::string command = std::string(c.args).substr(0, std::string(c.args).find(' '));
    const std::string first = "rexmoor: " + std::string(c.message) + "\n";
    EXPECT_EQ(r.err.substr(0, first.size()), first) << c.args << ": " << r.err;
    const std::string hint = r.err.substr(std::min(first.size(), r.err.size()));
    EXPECT_EQ(hint.rfind("Usage: rexmoor " + command + " ", 0), 0u) << c.args << ": " << r.err;
    EXPECT_EQ(std::count(hint.begin(), hint.end(), '\n'), 1) << c.args << ": " << r.err;
  }

  // An unknown extension is answered with the known ones, group by group; "jp" is no "jpg".
  const Outcome ext = Rexmoor("scan a.img --quick --ext 'png, jp'");
  EXPECT_EQ(ext.status, 2);
  EXPECT_EQ(ext.err.rfind("rexmoor: unknown extension 'jp'; the known ones:\n  photo: bmp gif jpg jpeg png ", 0), 0u)
      << ext.err;
  for (const char* line : {"\n  audio: mp3 ", "\n  video: ", "\n  document: doc ", "\n  archive: zip ", "--types other"})
    EXPECT_NE(ext.err.find(line), std::string::npos) << line << " in " << ext.err;

  const Outcome unknown = Rexmoor("frobnicate --quick");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err, "rexmoor: unknown command 'frobnicate' (see rexmoor --help)\n");
  const Outcome bare = Rexmoor("");
  EXPECT_EQ(bare.status, 2);
  EXPECT_EQ(bare.out, "");
  EXPECT_NE(bare.err.find("Usage: rexmoor"), std::string::npos) << "the help goes to stderr: " << bare.err;
}

TEST_F(CommandLine, TheDeepScanIsTheDefaultAndTheLastOfQuickAndDeepWins) {
  // 64 KiB of zeros hold no file system: the quick scan has nothing to walk, the deep scan sweeps
  // it and finds nothing.
  test::WriteFileBytes(work / "zeros.img", std::vector<std::uint8_t>(65536, 0));
  const std::string image = test::ShellQuote(work / "zeros.img");
  for (const char* mode : {"", " --deep", " --deep --quick --deep"}) {
    const Outcome deep = Rexmoor("scan " + image + mode + dataDir);
    EXPECT_EQ(deep.status, 0) << mode << ": " << deep.err;
    EXPECT_NE(deep.out.find("0 file(s) found."), std::string::npos) << mode << ": " << deep.out;
  }
  for (const char* mode : {" --quick", " --deep --quick"}) {
    const Outcome quick = Rexmoor("scan " + image + mode + dataDir);
    EXPECT_EQ(quick.status, 1) << mode;
    EXPECT_NE(quick.err.find("no FAT, exFAT or NTFS volume"), std::string::npos) << mode << ": " << quick.err;
  }
  // Past the command line, a source that does not exist is a failure, not a usage error.
  const Outcome quick = Rexmoor("scan /nonexistent/a.img --deep --quick" + dataDir);
  EXPECT_EQ(quick.status, 1) << quick.err;
  EXPECT_NE(quick.err.find("/nonexistent/a.img"), std::string::npos) << quick.err;
}

TEST_F(CommandLine, HelpTellsWhatASourceIsWhereNotToRecoverAndTheExitCodes) {
  const Outcome help = Rexmoor("--help");
  EXPECT_EQ(help.status, 0);
  for (const char* text : {"detect SOURCE", "scan SOURCE", "recover SOURCE", "tree SOURCE", "identify FILE...",
                           "/dev/sdb1", "drive:N@START+COUNT", "REXMOOR_DRIVES", "may not lie on the medium",
                           "Exit codes: 0 done, 1 failure, 2 usage, 130 cancelled."})
    EXPECT_NE(help.out.find(text), std::string::npos) << text << " in:\n" << help.out;
  EXPECT_EQ(Rexmoor("help").out, help.out);

  const Outcome recover = Rexmoor("recover --help");
  EXPECT_EQ(recover.status, 0);
  for (const char* text : {"--to DIR", "--allow-same-device", "--types", "--ext", "--format", "--data-dir", "--quick",
                           "--resume yes", "may not lie on the medium", "REXMOOR_DRIVES"})
    EXPECT_NE(recover.out.find(text), std::string::npos) << text << " in:\n" << recover.out;
  const Outcome scan = Rexmoor("scan --help");
  EXPECT_EQ(scan.status, 0);
  EXPECT_NE(scan.out.find("--types"), std::string::npos) << scan.out;
  EXPECT_EQ(scan.out.find("--to"), std::string::npos) << "scan writes nothing: " << scan.out;
  EXPECT_NE(Rexmoor("identify --help").out.find("--format"), std::string::npos);

  EXPECT_EQ(Rexmoor("--version").out, "rexmoor " REXMOOR_VERSION "\n");
}

TEST_F(CommandLine, EveryFormOfAnOptionGivesTheSameScan) {
  REQUIRE_FIXTURE("fat32.img");
  const std::string scan = "scan " + test::ShellQuote(test::FixturePath("fat32.img")) + dataDir;
  const Outcome listed = Rexmoor(scan + " --quick --format json --types photo,document");
  ASSERT_EQ(listed.status, 0) << listed.err;
  const auto records = JsonLines(listed.out);
  ASSERT_GE(records.size(), 2u) << "a photo and some documents";
  // Repeated lists add up, '=' joins a value, empty items are passed over, the last format counts.
  for (const char* args : {" --types=photo --types document --quick --format json",
                           " --format text --types ,photo,,document, --format=json --quick",
                           " --deep --quick --types document --format json --types photo"}) {
    const Outcome r = Rexmoor(scan + args);
    EXPECT_EQ(r.status, 0) << args << ": " << r.err;
    EXPECT_EQ(JsonLines(r.out), records) << args;
  }
  const Outcome text = Rexmoor(scan + " --quick --format json --format text --ext=pdf");
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.out.rfind("        SIZE  MODIFIED", 0), 0u) << text.out;
  EXPECT_NE(text.out.find("1 file(s) found."), std::string::npos) << text.out;
  // A source named after "--" may look like an option.
  const Outcome dashed = Rexmoor("scan --quick" + dataDir + " -- -missing.img");
  EXPECT_EQ(dashed.status, 1) << dashed.err;
  EXPECT_NE(dashed.err.find("-missing.img"), std::string::npos) << dashed.err;
}

// Names come from hostile media: whatever bytes they hold, each result stays one JSON line.
TEST_F(CommandLine, JsonLinesHoldAnyNameAsValidUtf8) {
  const std::vector<std::pair<std::string, std::string>> names = {
      {"quote\" back\\slash.bin", "quote\" back\\slash.bin"},
      {"new\nline\ttab\x01\x7f.bin", "new\nline\ttab\x01\x7f.bin"},
      {"\xc3\xbc \xe2\x82\xac \xf0\x9f\x98\x80.bin", "\xc3\xbc \xe2\x82\xac \xf0\x9f\x98\x80.bin"},
      {"bad\xff.bin", "bad\xef\xbf\xbd.bin"},
      {"cut\xe2\x82.bin", "cut\xef\xbf\xbd.bin"},
  };
  std::string args = "identify --format json";
  for (const auto& [name, shown] : names) {
    test::WriteFileBytes(work / name, {'x'});
    args += " " + test::ShellQuote(work / name);
  }
  const Outcome r = Rexmoor(args);
  EXPECT_EQ(r.status, 0) << r.err;
  const auto lines = JsonLines(r.out);
  ASSERT_EQ(lines.size(), names.size()) << r.out;
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(lines[i]["file"], work / names[i].second) << r.out;
}

}  // namespace
}  // namespace rexmoor
