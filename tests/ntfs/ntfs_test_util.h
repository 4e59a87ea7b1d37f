// Shared by the NTFS tests: the committed volumes (tests/fixtures/ntfs/*.img.gz, made by
// make_ntfs_volumes.sh) unpacked once per test run, their manifest and hashes, and edits of single
// MFT records of an image copy with the update sequence redone, as a damaged volume would hold them.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fat/fat_engine_test_util.h"
#include "fat/fat_volume_builder.h"
#include "platform/byte_view.h"
#include "platform/file_handle.h"
#include "test_support.h"

namespace rexmoor::test {

inline std::string NtfsFixtureSource(const std::string& name) {
  return std::string(REXMOOR_TEST_SOURCE_DIR) + "/fixtures/ntfs/" + name;
}

// The unpacked image, made once per process in a folder that lives as long as the process.
inline std::string NtfsFixture(const std::string& image) { return UnpackedImage(NtfsFixtureSource(image + ".gz")); }

// A private, writable copy of an unpacked image.
inline std::string NtfsFixtureCopy(const std::string& image, const TempDir& dir, const std::string& name) {
  const std::string path = dir / name;
  std::filesystem::copy_file(NtfsFixture(image), path, std::filesystem::copy_options::overwrite_existing);
  return path;
}

// "<sha256>  <volume>:<path>" from the committed list (or another one of that form).
inline std::string NtfsSha256(const std::string& volumeAndPath, const std::string& list = "sha256.txt") {
  std::ifstream in(NtfsFixtureSource(list));
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() > 66 && line.compare(66, std::string::npos, volumeAndPath) == 0) return line.substr(0, 64);
  }
  return {};
}

struct NtfsManifestFile {
  std::string state;      // live or deleted
  bool stream = false;    // a named stream: "<path>:<name>", with its file's times
  bool resident = false;  // data=resident: held in the record itself
  std::uint64_t size = 0;
  std::uint32_t record = 0;
  std::uint64_t created = 0, modified = 0, accessed = 0;  // of the record's $STANDARD_INFORMATION
};

// "file <state> size= record= created= modified= accessed= <volume>:<path>" lines of one volume
// (and "stream" lines of the same form, as streams_MANIFEST.txt has them).
inline std::map<std::string, NtfsManifestFile> NtfsManifest(const std::string& volume,
                                                           const std::string& manifest = "MANIFEST.txt") {
  std::map<std::string, NtfsManifestFile> files;
  std::ifstream in(NtfsFixtureSource(manifest));
  std::string line;
  const std::string marker = " " + volume + ":";
  while (std::getline(in, line)) {
    const bool stream = line.rfind("stream ", 0) == 0;
    if (!stream && line.rfind("file ", 0) != 0) continue;
    const std::size_t at = line.find(marker);
    if (at == std::string::npos) continue;
    std::istringstream fields(line.substr(0, at));
    std::string word;
    NtfsManifestFile f;
    f.stream = stream;
    fields >> word >> f.state;
    while (fields >> word) {
      const std::size_t eq = word.find('=');
      const std::string key = word.substr(0, eq);
      if (key == "data") {
        f.resident = word.substr(eq + 1) == "resident";
        continue;
      }
      const std::uint64_t value = std::stoull(word.substr(eq + 1));
      if (key == "size") f.size = value;
      if (key == "record") f.record = static_cast<std::uint32_t>(value);
      if (key == "created") f.created = value;
      if (key == "modified") f.modified = value;
      if (key == "accessed") f.accessed = value;
    }
    files[line.substr(at + marker.size())] = f;
  }
  return files;
}

// One MFT record of an image whose MFT starts contiguously at the boot sector's MFT cluster (true
// of every fixture), read with its update sequence undone (Load) and written back with it redone
// (Store), so that tests can change fields as a damaged volume would hold them.
class MftRecordEditor {
 public:
  explicit MftRecordEditor(std::string image) : image_(std::move(image)) {
    std::vector<std::uint8_t> boot(512);
    FileHandle file;
    if (FileHandle::OpenReadOnly(image_, file) != kSuccess || file.Pread(boot.data(), 512, 0) != 512) return;
    bps_ = LoadU16LE(boot.data() + 11);
    const std::uint64_t cluster = std::uint64_t{bps_} * boot[13];
    mftOffset_ = LoadU64LE(boot.data() + 48) * cluster;
    recordSize_ = bps_ == 512 ? 1024 : bps_;
  }
  std::uint32_t recordSize() const { return recordSize_; }
  std::uint64_t Offset(std::uint32_t number) const { return mftOffset_ + std::uint64_t{number} * recordSize_; }

  std::vector<std::uint8_t> Load(std::uint32_t number) const {
    std::vector<std::uint8_t> rec(recordSize_);
    FileHandle file;
    if (FileHandle::OpenReadOnly(image_, file) != kSuccess) return {};
    if (file.Pread(rec.data(), rec.size(), Offset(number)) != static_cast<ssize_t>(rec.size())) return {};
    const std::uint16_t usa = LoadU16LE(rec.data() + 4);
    const std::uint16_t count = LoadU16LE(rec.data() + 6);
    for (std::uint16_t i = 1; i < count && std::size_t{i} * 512 <= rec.size(); ++i) {
      rec[i * 512 - 2] = rec[usa + 2 * i];
      rec[i * 512 - 1] = rec[usa + 2 * i + 1];
    }
    return rec;
  }

  void Store(std::uint32_t number, std::vector<std::uint8_t> rec) const {
    const std::uint16_t usa = LoadU16LE(rec.data() + 4);
    const std::uint16_t count = LoadU16LE(rec.data() + 6);
    for (std::uint16_t i = 1; i < count && std::size_t{i} * 512 <= rec.size(); ++i) {
      rec[usa + 2 * i] = rec[i * 512 - 2];
      rec[usa + 2 * i + 1] = rec[i * 512 - 1];
      rec[i * 512 - 2] = rec[usa];
      rec[i * 512 - 1] = rec[usa + 1];
    }
    FileHandle file;
    ASSERT_EQ(FileHandle::OpenReadWrite(image_, file), kSuccess);
    ASSERT_EQ(WriteAll(file, rec.data(), rec.size(), Offset(number)), kSuccess);
  }

  // Offset in the record of the n-th attribute of a type (walking an unfixed record).
  static std::optional<std::size_t> FindAttr(const std::vector<std::uint8_t>& rec, std::uint32_t type, int nth = 0) {
    std::size_t at = LoadU16LE(rec.data() + 20);
    while (at + 8 <= rec.size()) {
      const std::uint32_t t = LoadU32LE(rec.data() + at);
      const std::uint32_t len = LoadU32LE(rec.data() + at + 4);
      if (t == 0xFFFFFFFF || len == 0) break;
      if (t == type && nth-- == 0) return at;
      at += len;
    }
    return std::nullopt;
  }

 private:
  std::string image_;
  std::uint32_t bps_ = 512;
  std::uint32_t recordSize_ = 1024;
  std::uint64_t mftOffset_ = 0;
};

inline void PutU16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutU32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutU64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace rexmoor::test
