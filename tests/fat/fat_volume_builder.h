// Builds small FAT volumes with deletions for the engine tests, with the stock tools: mkfs.fat
// makes the volume, mtools writes, makes folders and deletes, without mounting anything. Clocks,
// zone and volume ids are pinned so the images repeat from run to run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace rexmoor::test {

// "2011-07-08 09:10:12" and the like: even seconds, since FAT keeps two-second steps.
struct VolumeFile {
  std::vector<std::uint8_t> bytes;
  std::string mtime;
};

class FatVolumeBuilder {
 public:
  explicit FatVolumeBuilder(const TempDir& dir, const std::string& name = "volume.img")
      : dir_(dir.path()), image_(dir / name) {}

  const std::string& image() const { return image_; }
  const std::map<std::string, VolumeFile>& files() const { return files_; }
  const std::string& lastError() const { return lastError_; }

  // mkfs.fat -C of the given size in KiB and FAT width, plus extra options ("-s 4", "-S 4096").
  bool Format(int kib, int fatBits, const std::string& options = "") {
    return Run("mkfs.fat -C --invariant -F " + std::to_string(fatBits) + " -i 5EED0001 -n RXTEST " + options + " " +
               ShellQuote(image_) + " " + std::to_string(kib));
  }
  bool MakeFolder(const std::string& path) { return Mtools("mmd", "::" + path); }
  // Writes a file (its folders must exist) and remembers its content.
  bool Put(const std::string& path, std::vector<std::uint8_t> bytes, const std::string& mtime) {
    const std::string source = dir_ + "/src" + std::to_string(++counter_);
    WriteFileBytes(source, bytes);
    if (!Run("touch -d " + ShellQuote(mtime + " UTC") + " " + ShellQuote(source))) return false;
    files_[path] = VolumeFile{std::move(bytes), mtime};
    return Run("mcopy -m -i " + ShellQuote(image_) + " " + ShellQuote(source) + " " + ShellQuote("::" + path));
  }
  // Writes many files into one folder with a single mcopy (names become the files' names there).
  bool PutMany(const std::string& folder, const std::vector<std::pair<std::string, std::vector<std::uint8_t>>>& items,
               const std::string& mtime) {
    const std::string stage = dir_ + "/stage" + std::to_string(++counter_);
    if (!Run("mkdir -p " + ShellQuote(stage))) return false;
    for (const auto& [name, bytes] : items) {
      WriteFileBytes(stage + "/" + name, bytes);
      files_[folder + "/" + name] = VolumeFile{bytes, mtime};
    }
    if (!Run("touch -d " + ShellQuote(mtime + " UTC") + " " + ShellQuote(stage) + "/*")) return false;
    return Run("mcopy -m -i " + ShellQuote(image_) + " " + ShellQuote(stage) + "/* " + ShellQuote("::" + folder + "/"));
  }
  bool Delete(const std::string& path) { return Mtools("mdel", "::" + path); }
  bool DeleteTree(const std::string& path) { return Mtools("mdeltree", "::" + path); }
  bool Check() { return Run("fsck.fat -n " + ShellQuote(image_)); }

  // Runs a shell command with the pinned environment; false (and lastError) when it fails.
  bool Run(const std::string& command) {
    std::string out;
    const int status = RunCommand(Env() + command + " 2>&1", &out);
    if (status != 0) lastError_ = command + ": " + out;
    return status == 0;
  }

 private:
  static std::string Env() {
    return "PATH=\"$PATH:/usr/sbin:/sbin\" MTOOLS_SKIP_CHECK=1 TZ=UTC LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH=946684800 ";
  }
  bool Mtools(const std::string& tool, const std::string& target) {
    return Run(tool + " -i " + ShellQuote(image_) + " " + ShellQuote(target));
  }

  std::string dir_;
  std::string image_;
  std::map<std::string, VolumeFile> files_;
  std::string lastError_;
  int counter_ = 0;
};

inline std::string Sha256Hex(const std::string& path) {
  std::string out;
  if (RunCommand("sha256sum " + ShellQuote(path), &out) != 0 || out.size() < 64) return {};
  return out.substr(0, 64);
}

}  // namespace rexmoor::test

namespace rexmoor::test {

// Contents with the signatures the content check looks for.
inline std::vector<std::uint8_t> JpegBytes(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01,
                                 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
  const std::vector<std::uint8_t> body = RandomBytes(size, seed);
  for (std::size_t i = 0; b.size() + 2 < size; ++i) b.push_back(body[i] == 0xFF ? 0x7F : body[i]);
  b.push_back(0xFF);
  b.push_back(0xD9);
  return b;
}

inline std::vector<std::uint8_t> TextBytes(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> b = RandomBytes(size, seed);
  for (auto& c : b) c = static_cast<std::uint8_t>(c % 5 == 0 ? '\n' : 'a' + c % 26);
  return b;
}

inline std::vector<std::uint8_t> PdfBytes(std::size_t size, std::uint32_t seed) {
  const std::string head = "%PDF-1.4\n";
  const std::string tail = "\n%%EOF\n";
  std::vector<std::uint8_t> b(head.begin(), head.end());
  const std::vector<std::uint8_t> body = TextBytes(size - head.size() - tail.size(), seed);
  b.insert(b.end(), body.begin(), body.end());
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

// A 1.44 MB FAT12 floppy (512-byte clusters, 224 root entries) with deletions of every kind. The
// names the engine gives each deleted file are in Fat12DeletedNames below.
inline bool BuildFat12WithDeletions(FatVolumeBuilder& v) {
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> many;
  for (int i = 1; i <= 20; ++i) {
    char name[64];
    std::snprintf(name, sizeof(name), "entry number %02d with a long name.txt", i);
    many.emplace_back(name, TextBytes(300 + 7 * i, 1100 + i));
  }
  return v.Format(1440, 12) && v.Put("/KEEP.TXT", TextBytes(1000, 1001), "2004-01-02 03:04:06") &&
         v.Put("/gone.txt", TextBytes(700, 1002), "2005-02-03 04:05:06") &&
         v.Put("/A deleted long name.bin", RandomBytes(1500, 1003), "2006-03-04 05:06:08") &&
         v.MakeFolder("/Docs") && v.Put("/Docs/report.pdf", PdfBytes(3000, 1004), "2007-04-05 06:07:08") &&
         v.Put("/Docs/old draft.pdf", PdfBytes(2600, 1005), "2007-05-06 07:08:10") && v.MakeFolder("/Big") &&
         v.PutMany("/Big", many, "2008-01-02 03:04:06") && v.MakeFolder("/Trash") && v.MakeFolder("/Trash/Inner") &&
         v.Put("/Trash/T1.TXT", TextBytes(800, 1006), "2009-01-02 03:04:06") &&
         v.Put("/Trash/Inner/t2 long.bin", RandomBytes(1200, 1007), "2009-02-03 04:05:06") &&
         v.MakeFolder("/KEEPDIR") && v.Put("/KEEPDIR/ALIVE.TXT", TextBytes(600, 1008), "2010-01-02 03:04:06") &&
         v.MakeFolder("/F") && v.Put("/F/a.bin", RandomBytes(2048, 1009), "2011-01-02 03:04:06") &&
         v.Put("/F/b.bin", RandomBytes(2048, 1010), "2011-01-02 03:04:08") &&
         v.Put("/F/c.bin", RandomBytes(2048, 1011), "2011-01-02 03:04:10") &&
         // d.bin fills b.bin's freed hole (four clusters) and goes on after c.bin.
         v.Delete("/F/b.bin") && v.Put("/F/d.bin", RandomBytes(5120, 1012), "2011-01-02 03:04:12") &&
         // Deletions last, so that nothing reuses the freed clusters.
         v.Delete("/gone.txt") && v.Delete("/A deleted long name.bin") && v.Delete("/Docs/old draft.pdf") &&
         v.Delete("/Big/entry number 20 with a long name.txt") && v.DeleteTree("/Trash") && v.Delete("/F/d.bin") &&
         v.Check();
}

// Engine name -> volume path of every file the engine should find on that volume (before the
// KEEPDIR entry is marked deleted by hand).
inline std::map<std::string, std::string> Fat12DeletedNames() {
  return {
      {"!one.txt", "/gone.txt"},
      {"A deleted long name.bin", "/A deleted long name.bin"},
      {"Docs/old draft.pdf", "/Docs/old draft.pdf"},
      {"Big/entry number 20 with a long name.txt", "/Big/entry number 20 with a long name.txt"},
      {"Trash/!1.txt", "/Trash/T1.TXT"},
      {"Trash/Inner/t2 long.bin", "/Trash/Inner/t2 long.bin"},
      {"f/!.bin", "/F/d.bin"},
  };
}

}  // namespace rexmoor::test
