// Folders and files below a recovery target are created without ever following a link.
#include "platform/target_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;

class TargetFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(outside());
    ASSERT_EQ(TargetFolder::Open(dir_ / "out", true, target_), kSuccess);
  }
  std::string outside() const { return dir_ / "outside"; }
  // Nothing may ever appear in the folder the links point to.
  void ExpectOutsideUntouched() const { EXPECT_TRUE(fs::is_empty(outside())); }

  test::TempDir dir_;
  TargetFolder target_;
};

TEST_F(TargetFolderTest, CreatesFoldersAndFilesBelowTheTarget) {
  FileHandle file;
  ASSERT_EQ(target_.MakeFolders("photo/Holiday/2024"), kSuccess);
  ASSERT_EQ(target_.CreateFile("photo/Holiday/2024/a.jpg", file), kSuccess);
  ASSERT_EQ(WriteAll(file, "abc", 3, 0), kSuccess);
  file.Close();
  EXPECT_EQ(test::ReadFileBytes(dir_ / "out/photo/Holiday/2024/a.jpg"), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  EXPECT_TRUE(target_.Exists("photo/Holiday/2024/a.jpg"));
  EXPECT_FALSE(target_.Exists("photo/Holiday/2024/b.jpg"));
  // An existing file is emptied, so a shorter file keeps no stale tail.
  ASSERT_EQ(target_.CreateFile("photo/Holiday/2024/a.jpg", file), kSuccess);
  file.Close();
  EXPECT_TRUE(test::ReadFileBytes(dir_ / "out/photo/Holiday/2024/a.jpg").empty());
  // Folders must exist for a file; ".." never climbs out.
  EXPECT_NE(target_.CreateFile("missing/a.jpg", file), kSuccess);
  EXPECT_EQ(target_.MakeFolders("photo/../../escape"), kErrInvalidName);
  EXPECT_EQ(target_.CreateFile("../escape.jpg", file), kErrInvalidName);
  EXPECT_FALSE(fs::exists(dir_ / "escape"));
  EXPECT_FALSE(fs::exists(dir_ / "escape.jpg"));
}

TEST_F(TargetFolderTest, LinksWhereFoldersOrFilesGoAreRefused) {
  ASSERT_EQ(::symlink(outside().c_str(), (dir_ / "out/photo").c_str()), 0);  // a category folder
  ASSERT_EQ(target_.MakeFolders("document/Trash"), kSuccess);
  ASSERT_EQ(::symlink(outside().c_str(), (dir_ / "out/document/Trash/sub").c_str()), 0);  // a rebuilt folder
  test::WriteFileBytes(dir_ / "victim", {1, 2, 3});
  ASSERT_EQ(::symlink((dir_ / "victim").c_str(), (dir_ / "out/document/x.txt").c_str()), 0);  // a file's name

  FileHandle file;
  EXPECT_EQ(target_.MakeFolders("photo"), kErrStoppedOnSymlink);
  EXPECT_EQ(target_.MakeFolders("photo/deeper"), kErrStoppedOnSymlink);
  EXPECT_EQ(target_.CreateFile("photo/a.jpg", file), kErrStoppedOnSymlink);
  EXPECT_EQ(target_.MakeFolders("document/Trash/sub/more"), kErrStoppedOnSymlink);
  EXPECT_EQ(target_.CreateFile("document/Trash/sub/y.txt", file), kErrStoppedOnSymlink);
  EXPECT_EQ(target_.CreateFile("document/x.txt", file), kErrStoppedOnSymlink);
  EXPECT_FALSE(file.IsValid());
  timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
  EXPECT_NE(target_.SetTimes("photo/a.jpg", times), kSuccess);
  // A link takes its name; a name behind a link is not looked at.
  EXPECT_TRUE(target_.Exists("document/x.txt"));
  EXPECT_FALSE(target_.Exists("photo/anything"));
  ExpectOutsideUntouched();
  EXPECT_EQ(test::ReadFileBytes(dir_ / "victim"), (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(TargetFolderTest, OtherThingsWhereFoldersOrFilesGo) {
  test::WriteFileBytes(dir_ / "out/photo", {1});  // a plain file where a category folder goes
  FileHandle file;
  EXPECT_EQ(target_.MakeFolders("photo"), kErrDirectory);
  EXPECT_EQ(target_.CreateFile("photo/a.jpg", file), kErrDirectory);
  // A hard link could name a file outside the target: it is not emptied or written.
  test::WriteFileBytes(dir_ / "victim", {7, 7});
  ASSERT_EQ(target_.MakeFolders("others"), kSuccess);
  ASSERT_EQ(::link((dir_ / "victim").c_str(), (dir_ / "out/others/v.bin").c_str()), 0);
  EXPECT_EQ(target_.CreateFile("others/v.bin", file), kErrAccessDenied);
  EXPECT_EQ(test::ReadFileBytes(dir_ / "victim"), (std::vector<std::uint8_t>{7, 7}));
  // A pipe at the name neither blocks nor is written.
  ASSERT_EQ(::mkfifo((dir_ / "out/others/pipe").c_str(), 0600), 0);
  EXPECT_EQ(target_.CreateFile("others/pipe", file), kErrAccessDenied);
  // A target that is a plain file cannot be opened.
  TargetFolder bad;
  EXPECT_EQ(TargetFolder::Open(dir_ / "out/photo", true, bad), kErrDirectory);
}

// The folders right below the target are kept open between calls; a name that has come to lead
// elsewhere meanwhile must not be written through the folder it used to name.
TEST_F(TargetFolderTest, AFolderKeptOpenIsLetGoWhenItsNameLeadsElsewhere) {
  FileHandle file;
  ASSERT_EQ(target_.CreateFile("photo/a.jpg", file, true), kSuccess);
  ASSERT_EQ(WriteAll(file, "abc", 3, 0), kSuccess);
  file.Close();
  EXPECT_EQ(target_.FileSize("photo/a.jpg"), 3u);
  // Renamed out of the target: the name is free again, and the next file gets a new folder.
  fs::create_directories(dir_ / "elsewhere");
  fs::rename(dir_ / "out/photo", dir_ / "elsewhere/photo");
  EXPECT_FALSE(target_.Exists("photo/a.jpg"));
  EXPECT_EQ(target_.FileSize("photo/a.jpg"), 0u);
  ASSERT_EQ(target_.CreateFile("photo/b.jpg", file, true), kSuccess);
  file.Close();
  EXPECT_TRUE(fs::exists(dir_ / "out/photo/b.jpg"));
  EXPECT_FALSE(fs::exists(dir_ / "elsewhere/photo/b.jpg"));
  // Swapped for a link: refused.
  fs::rename(dir_ / "out/photo", dir_ / "elsewhere/photo2");
  ASSERT_EQ(::symlink(outside().c_str(), (dir_ / "out/photo").c_str()), 0);
  EXPECT_EQ(target_.CreateFile("photo/c.jpg", file, true), kErrStoppedOnSymlink);
  EXPECT_FALSE(target_.Exists("photo/b.jpg"));
  timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
  EXPECT_NE(target_.SetTimes("photo/b.jpg", times), kSuccess);
  EXPECT_NE(target_.RemoveFile("photo/b.jpg"), kSuccess);
  EXPECT_TRUE(fs::exists(dir_ / "elsewhere/photo2/b.jpg"));
  ExpectOutsideUntouched();
  // More folders than are kept: each is found again after the others pushed it out.
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 40; ++i) {
      const std::string name = "f" + std::to_string(i) + "/n" + std::to_string(round);
      ASSERT_EQ(target_.CreateFile(name, file, true), kSuccess) << name;
      file.Close();
      EXPECT_TRUE(target_.Exists(name));
    }
  }
  for (int i = 0; i < 40; ++i) EXPECT_TRUE(fs::exists(dir_ / ("out/f" + std::to_string(i) + "/n0")));
}

TEST(SplitAtTarget, TheTargetIsThePrefixWithLevelBaseSeparators) {
  std::string target, relative;
  SplitAtTarget("/tmp/out/photo/a.jpg", 2, target, relative);
  EXPECT_EQ(target, "/tmp/out");
  EXPECT_EQ(relative, "photo/a.jpg");
  SplitAtTarget("out/photo/a.jpg", 0, target, relative);
  EXPECT_EQ(target, "out");
  EXPECT_EQ(relative, "photo/a.jpg");
  SplitAtTarget("//photo/a.jpg", 0, target, relative);  // the target "/"
  EXPECT_EQ(target, "/");
  EXPECT_EQ(relative, "/photo/a.jpg");
  // Never past a file's own folder, whatever the caller's base.
  SplitAtTarget("/tmp/out/photo/a.jpg", 40, target, relative);
  EXPECT_EQ(target, "/tmp/out/photo");
  EXPECT_EQ(relative, "a.jpg");
  SplitAtTarget("a.jpg", 3, target, relative);
  EXPECT_EQ(target, ".");
  EXPECT_EQ(relative, "a.jpg");
  // A '\' is counted as recovery counts it, but only a '/' divides.
  SplitAtTarget("/tmp/a\\b/photo/x.jpg", 3, target, relative);
  EXPECT_EQ(target, "/tmp/a\\b");
  EXPECT_EQ(relative, "photo/x.jpg");
}

}  // namespace
}  // namespace rexmoor
