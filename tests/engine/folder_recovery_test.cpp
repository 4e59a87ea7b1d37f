#include "engine/folder_recovery.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace rexmoor {
namespace {

FoundFileRecord Item(const std::string& name, std::uint32_t object, bool folder) {
  FoundFileRecord r = MakeEmptyRecord();
  SetRecordName(r, name);
  r.objectNumber = object;
  r.isFolder = folder ? 1 : 0;
  return r;
}

// An engine whose catalogue is a plain map from (objectNumber, level) to children; it records the
// keys it was asked for.
class MapEngine final : public IFileRecoveryParse {
 public:
  std::map<std::pair<std::uint32_t, std::int32_t>, RecordList> children;
  std::vector<std::pair<std::uint32_t, std::int32_t>> asked;

  Result GetChildren(const FoundFileRecord* folder, std::int32_t level, RecordList& out) override {
    const std::uint32_t object = folder != nullptr ? folder->objectNumber : 0;
    asked.emplace_back(object, level);
    auto it = children.find({object, level});
    if (it != children.end()) out.insert(out.end(), it->second.begin(), it->second.end());
    SortRecords(out);
    return kSuccess;
  }
  Result OpenImageFile(const std::string&, std::uint16_t) override { return kSuccess; }
  Result OpenDisk(std::int32_t, std::uint64_t, std::uint64_t, std::uint16_t) override { return kSuccess; }
  Result SetCallbacks(ScanProgressCallback, FileProgressCallback, void*, std::int32_t) override { return kSuccess; }
  Result Scan(const char*) override { return kSuccess; }
  Result CountFiles(const FoundFileRecord*, std::int32_t, std::int32_t*) override { return kSuccess; }
  std::uint64_t GetFoundCount() override { return 0; }
  Result GetFolderPath(const FoundFileRecord*, std::string&) override { return kSuccess; }
  Result RecoverItem(const FoundFileRecord*, const std::string&, std::int32_t) override { return kSuccess; }
  std::int32_t GetNextFreeRange(std::uint64_t*, std::uint64_t*) override { return 0; }
  Result SetFilterCallback(FilterProgressCallback, void*) override { return kSuccess; }
  std::int32_t FilterByType(const std::string&, RecordList&) override { return 0; }
  Result BuildFreeSpaceMap() override { return kSuccess; }
  Result ExtractForPreview(const FoundFileRecord*, std::string&, std::uint8_t*, std::uint32_t*,
                           PreviewProgressCallback, void*) override {
    return kSuccess;
  }
};

// Every path below root, relative to it.
std::set<std::string> TreeBelow(const std::string& root) {
  std::set<std::string> out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
    out.insert(std::filesystem::relative(entry.path(), root).string() + (entry.is_directory() ? "/" : ""));
  return out;
}

TEST(FolderRecovery, PathHelpers) {
  EXPECT_EQ(SeparatorLevel(""), 0);
  EXPECT_EQ(SeparatorLevel("/out/Trash"), 2);
  EXPECT_EQ(SeparatorLevel("/out/Trash/"), 2);  // the last character does not count
  EXPECT_EQ(SeparatorLevel("C:\\out\\a/b"), 3);
  EXPECT_EQ(JoinRecoveryPath("/out", "a.txt"), "/out/a.txt");
  EXPECT_EQ(JoinRecoveryPath("/out/", "a.txt"), "/out/a.txt");
  EXPECT_EQ(JoinRecoveryPath("/out", ".."), "/out/_");
  EXPECT_EQ(JoinRecoveryPath("/out", "../../etc/passwd"), "/out/.._.._etc_passwd");
  EXPECT_EQ(JoinRecoveryPath("/out", std::string("a\0b", 3)), "/out/a_b");
  EXPECT_EQ(JoinRecoveryPath("/out", "tab\there"), "/out/tab_here");
}

TEST(FolderRecovery, WalksBreadthFirstWithLevelsFromThePath) {
  test::TempDir dir;
  MapEngine engine;
  // Folder 10 at level 2 (say /A/Trash on the volume) holds a file and folder 11, which holds a
  // file and an empty folder 12.
  engine.children[{10, 2}] = {Item("x.txt", 100, false), Item("sub", 11, true)};
  engine.children[{11, 3}] = {Item("y.bin", 101, false), Item("empty", 12, true)};
  const std::string destination = dir / "out/Trash";
  const std::int32_t levelBase = SeparatorLevel(destination) - 2;
  std::vector<std::string> written;
  auto writer = [&](const FoundFileRecord& record, const std::string& path) -> Result {
    written.push_back(path);
    test::WriteFileBytes(path, {static_cast<std::uint8_t>(record.objectNumber)});
    return kSuccess;
  };
  EXPECT_EQ(RecoverFolderTree(engine, Item("Trash", 10, true), destination, levelBase, FileReporter{}, writer), kSuccess);
  EXPECT_EQ(written, (std::vector<std::string>{destination + "/x.txt", destination + "/sub/y.bin"}));
  EXPECT_EQ(TreeBelow(destination), (std::set<std::string>{"x.txt", "sub/", "sub/y.bin", "sub/empty/"}));
  EXPECT_EQ(engine.asked, (std::vector<std::pair<std::uint32_t, std::int32_t>>{{10, 2}, {11, 3}, {12, 4}}));
}

TEST(FolderRecovery, HostileNamesStayInside) {
  test::TempDir dir;
  MapEngine engine;
  engine.children[{1, 1}] = {Item("..", 2, true), Item("../../escape.txt", 100, false), Item(".", 3, true),
                             Item("a/b", 101, false)};
  engine.children[{2, 2}] = {Item("../../deeper.txt", 102, false)};
  const std::string destination = dir / "out/f";
  auto writer = [&](const FoundFileRecord&, const std::string& path) -> Result {
    test::WriteFileBytes(path, {1});
    return kSuccess;
  };
  EXPECT_EQ(RecoverFolderTree(engine, Item("f", 1, true), destination, SeparatorLevel(destination) - 1, FileReporter{}, writer),
            kSuccess);
  // Everything under the temporary folder sits inside the destination.
  EXPECT_EQ(TreeBelow(dir.path()), (std::set<std::string>{"out/", "out/f/", "out/f/_/", "out/f/.._.._escape.txt",
                                                          "out/f/a_b", "out/f/_/.._.._deeper.txt"}));
}

TEST(FolderRecovery, CancelStopsAndOtherErrorsDoNot) {
  test::TempDir dir;
  MapEngine engine;
  engine.children[{1, 0}] = {Item("a", 10, false), Item("b", 11, false), Item("c", 12, false)};
  std::vector<std::string> names;
  auto failing = [&](const FoundFileRecord& record, const std::string&) -> Result {
    names.emplace_back(RecordName(record));
    return record.objectNumber == 10 ? kErrReadFault : kSuccess;
  };
  // Other errors: the walk goes on and the last child's result is the answer.
  EXPECT_EQ(RecoverFolderTree(engine, Item("r", 1, true), dir / "r", SeparatorLevel(dir / "r"), FileReporter{}, failing), kSuccess);
  EXPECT_EQ(names.size(), 3u);
  names.clear();
  auto cancelling = [&](const FoundFileRecord& record, const std::string&) -> Result {
    names.emplace_back(RecordName(record));
    return record.objectNumber == 11 ? kCancelled : kSuccess;
  };
  EXPECT_EQ(RecoverFolderTree(engine, Item("r", 1, true), dir / "r", SeparatorLevel(dir / "r"), FileReporter{}, cancelling),
            kCancelled);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
  // A destination that cannot be a folder.
  test::WriteFileBytes(dir / "file", {1});
  EXPECT_NE(RecoverFolderTree(engine, Item("r", 1, true), dir / "file", 0, FileReporter{}, failing), kSuccess);
}

// A link planted where a rebuilt folder goes: nothing is written through it, and every file that
// would have gone below it is reported failed with the reason.
TEST(FolderRecovery, LinkWhereARebuiltFolderGoesFailsTheFilesBelowIt) {
  test::TempDir dir;
  std::filesystem::create_directories(dir / "outside");
  MapEngine engine;
  engine.children[{1, 2}] = {Item("ok.txt", 100, false), Item("sub", 2, true), Item("plain", 4, true)};
  engine.children[{2, 3}] = {Item("a.txt", 101, false), Item("deeper", 3, true)};
  engine.children[{3, 4}] = {Item("b.txt", 102, false)};
  engine.children[{4, 3}] = {Item("c.txt", 103, false)};
  const std::string target = dir / "out";
  const std::string destination = target + "/others/Trash";
  std::filesystem::create_directories(destination);
  ASSERT_EQ(::symlink((dir / "outside").c_str(), (destination + "/sub").c_str()), 0);
  test::WriteFileBytes(destination + "/plain", {1});  // a plain file where a folder goes

  struct Reports {
    std::map<std::string, Result> finals;
    static std::int32_t Callback(void* user, std::int32_t percent, std::int32_t, std::int32_t code, const char* path) {
      if (percent == 100) static_cast<Reports*>(user)->finals[path] = code;
      return 0;
    }
  } reports;
  const FileReporter reporter{&Reports::Callback, &reports};
  const std::int32_t levelBase = SeparatorLevel(target);
  auto writer = [&](const FoundFileRecord& record, const std::string& path) -> Result {
    RecoveredFileSink sink(reporter, path, levelBase, 1);
    Result r = sink.Open();
    if (r == kSuccess) {
      const std::uint8_t byte = static_cast<std::uint8_t>(record.objectNumber);
      r = sink.Put(&byte, 1);
    }
    return sink.Finish(r);
  };
  EXPECT_NE(RecoverFolderTree(engine, Item("Trash", 1, true), destination, levelBase, reporter, writer), kSuccess);
  EXPECT_TRUE(std::filesystem::is_empty(dir / "outside"));
  EXPECT_EQ(reports.finals, (std::map<std::string, Result>{{destination + "/ok.txt", kSuccess},
                                                            {destination + "/sub/a.txt", kErrStoppedOnSymlink},
                                                            {destination + "/sub/deeper/b.txt", kErrStoppedOnSymlink},
                                                            {destination + "/plain/c.txt", kErrDirectory}}));
  EXPECT_EQ(test::ReadFileBytes(destination + "/ok.txt"), (std::vector<std::uint8_t>{100}));
}

// A damaged catalogue in which a folder contains itself at every level ends at the depth limit.
TEST(FolderRecovery, SelfContainingCatalogueEnds) {
  test::TempDir dir;
  MapEngine engine;
  for (std::int32_t level = 0; level < 5000; ++level) engine.children[{7, level}] = {Item("d", 7, true)};
  int files = 0;
  auto writer = [&](const FoundFileRecord&, const std::string&) -> Result {
    ++files;
    return kSuccess;
  };
  RecoverFolderTree(engine, Item("d", 7, true), dir / "d", SeparatorLevel(dir / "d"), FileReporter{}, writer);
  EXPECT_LE(engine.asked.size(), static_cast<std::size_t>(kMaxRecoveryDepth) + 1);
  EXPECT_EQ(files, 0);
}

}  // namespace
}  // namespace rexmoor
