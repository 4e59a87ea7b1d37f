// Shared by the quick FAT engine tests: the engine's tree as the main window browses it, ground
// truth from the fixture manifest, and small byte patches of image copies.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/file_recovery_parse.h"
#include "engine/folder_recovery.h"
#include "fixtures/fixture_paths.h"
#include "platform/clock.h"
#include "platform/file_handle.h"
#include "test_support.h"

namespace rexmoor::test {

struct TreeItem {
  FoundFileRecord record;
  std::int32_t level = 0;  // the level its children are asked for with (folders)
};

// Every record reachable from the root through GetChildren, keyed "Folder/sub/" for folders and
// "Folder/sub/name" for files, exactly as a user browsing the tree would meet them.
inline std::map<std::string, TreeItem> BrowseTree(IFileRecoveryParse& engine, std::size_t limit = 100000) {
  std::map<std::string, TreeItem> tree;
  struct Pending {
    bool root;
    FoundFileRecord folder;
    std::int32_t level;
    std::string prefix;
  };
  std::deque<Pending> queue;
  queue.push_back({true, MakeEmptyRecord(), 0, ""});
  while (!queue.empty() && tree.size() < limit) {
    Pending p = queue.front();
    queue.pop_front();
    RecordList children;
    engine.GetChildren(p.root ? nullptr : &p.folder, p.level, children);
    for (const FoundFileRecord& child : children) {
      const bool folder = child.isFolder != 0;
      const std::string key = p.prefix + std::string(RecordName(child)) + (folder ? "/" : "");
      if (tree.count(key) != 0) continue;
      tree[key] = TreeItem{child, p.level + 1};
      if (folder) queue.push_back({false, child, p.level + 1, key});
    }
  }
  return tree;
}

// Writes out the first records of a browsed tree (files and whole folders) below dir, as a user
// recovering what a damaged medium gave would; the results are not judged, only that it ends.
inline void RecoverFirst(IFileRecoveryParse& engine, const std::map<std::string, TreeItem>& tree, const std::string& dir,
                         int most) {
  int written = 0;
  for (const auto& [key, item] : tree) {
    if (++written > most) break;
    const FoundFileRecord r = item.record;
    const std::string out = dir + "/" + std::to_string(written);
    (void)engine.RecoverItem(&r, out, SeparatorLevel(out) - item.level);
  }
}

struct ManifestFile {
  std::string state;  // live, deleted, deleted-overwritten
  std::uint64_t size = 0;
  std::string mtime;  // 2011-07-08T09:10:12Z
};

// "file <state> size=<n> mtime=<t> <volume>:<path>" lines of MANIFEST.txt for one volume.
inline std::map<std::string, ManifestFile> ManifestFiles(const std::string& volume) {
  std::map<std::string, ManifestFile> files;
  std::ifstream in(FixturePath("MANIFEST.txt"));
  std::string line;
  const std::string marker = " " + volume + ":";
  while (std::getline(in, line)) {
    if (line.rfind("file ", 0) != 0) continue;
    const std::size_t at = line.find(marker);
    if (at == std::string::npos) continue;
    std::istringstream fields(line.substr(0, at));
    std::string word, state, size, mtime;
    fields >> word >> state >> size >> mtime;
    files[line.substr(at + marker.size())] = ManifestFile{state, std::stoull(size.substr(5)), mtime.substr(6)};
  }
  return files;
}

// FILETIME of "YYYY-MM-DDTHH:MM:SSZ" or "YYYY-MM-DD HH:MM:SS" (FAT stores local time; tests pin UTC).
inline std::uint64_t FileTimeOf(const std::string& text) {
  CivilTime t;
  t.year = std::stoi(text.substr(0, 4));
  t.month = std::stoi(text.substr(5, 2));
  t.day = std::stoi(text.substr(8, 2));
  t.hour = std::stoi(text.substr(11, 2));
  t.minute = std::stoi(text.substr(14, 2));
  t.second = std::stoi(text.substr(17, 2));
  return CivilToFileTime(t).value_or(0);
}

// Short names come back in small letters: names compared with ASCII and Latin-1 capitals folded.
inline std::string Folded(const std::string& text) {
  std::string out = text;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (c >= 'A' && c <= 'Z') out[i] = static_cast<char>(c + 32);
    if (c == 0xC3 && i + 1 < out.size()) {
      const auto next = static_cast<unsigned char>(out[i + 1]);
      if (next >= 0x80 && next <= 0x9E && next != 0x97) out[i + 1] = static_cast<char>(next + 32);
      ++i;
    }
  }
  return out;
}

inline void PatchBytes(const std::string& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
  FileHandle file;
  ASSERT_EQ(FileHandle::OpenReadWrite(path, file), kSuccess);
  ASSERT_EQ(WriteAll(file, bytes.data(), bytes.size(), offset), kSuccess);
}

inline std::vector<std::uint8_t> ReadBytesAt(const std::string& path, std::uint64_t offset, std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  FileHandle file;
  if (FileHandle::OpenReadOnly(path, file) != kSuccess) return {};
  const ssize_t got = file.Pread(bytes.data(), length, offset);
  bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return bytes;
}

// Offset of the first occurrence of a byte pattern in a file, or -1.
inline std::int64_t FindBytes(const std::string& path, const std::vector<std::uint8_t>& pattern,
                              std::int64_t from = 0) {
  const std::vector<std::uint8_t> all = ReadFileBytes(path);
  if (pattern.empty() || all.size() < pattern.size()) return -1;
  for (std::size_t i = static_cast<std::size_t>(from); i + pattern.size() <= all.size(); ++i) {
    if (std::equal(pattern.begin(), pattern.end(), all.begin() + static_cast<std::ptrdiff_t>(i))) {
      return static_cast<std::int64_t>(i);
    }
  }
  return -1;
}

inline std::vector<std::uint8_t> Utf16Bytes(const std::string& ascii) {
  std::vector<std::uint8_t> out;
  for (char c : ascii) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(0);
  }
  return out;
}

// One line of fmt_files.txt: a file or folder of a quick-formatted volume as it was before the
// format.
struct WrittenEntry {
  std::string path;  // "/Documents/notes.txt", folders end in "/"
  std::uint64_t size = 0;
  std::string sha256;
  std::uint32_t firstCluster = 0;
  bool contiguous = false;
  bool deleted = false;
  bool inRoot = false;
};

inline std::vector<WrittenEntry> WrittenEntries(const std::string& image) {
  std::vector<WrittenEntry> entries;
  std::ifstream in(FixturePath("fmt_files.txt"));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    if (f.size() != 8 || f[0] != image) continue;
    WrittenEntry e;
    e.path = f[1];
    e.size = f[2] == "-" ? 0 : std::stoull(f[2]);
    e.sha256 = f[3];
    e.firstCluster = static_cast<std::uint32_t>(std::stoul(f[4]));
    e.contiguous = f[5] == "1";
    e.deleted = f[6] == "1";
    e.inRoot = f[7] == "1";
    entries.push_back(e);
  }
  return entries;
}

}  // namespace rexmoor::test
