// Small helpers shared by the tests: temporary folders and whole-file I/O.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace rexmoor::test {

// A fresh folder under /tmp, removed with everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Points REXMOOR_DATA_DIR at a fresh temporary folder for the object's lifetime.
class ScopedDataDir {
 public:
  ScopedDataDir();
  ~ScopedDataDir();
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::string previous_;
  bool hadPrevious_ = false;
};

void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> ReadFileBytes(const std::string& path);
// At most the first maxBytes bytes of a file.
std::vector<std::uint8_t> ReadFileHead(const std::string& path, std::size_t maxBytes);
// Deterministic pseudo-random bytes.
std::vector<std::uint8_t> RandomBytes(std::size_t count, std::uint32_t seed);

// Held by every test that attaches loop devices, for as long as they are attached: the drive
// list numbers loop devices by their place, so one test's attach would renumber another's.
class LoopDeviceLock {
 public:
  LoopDeviceLock();
  ~LoopDeviceLock();
  LoopDeviceLock(const LoopDeviceLock&) = delete;
  LoopDeviceLock& operator=(const LoopDeviceLock&) = delete;

 private:
  int fd_ = -1;
};

// The bundled sample card (samples/card.img.gz) unpacked into dir as card.img; its path, or an
// empty string (and a test failure) when it could not be unpacked.
std::string SampleCardImage(const TempDir& dir);

// Runs a shell command; returns its exit status and fills out with its standard output.
int RunCommand(const std::string& command, std::string* out = nullptr);

// text in single quotes, safe as one word of a shell command.
inline std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// A committed, gzip-compressed image (tests/fixtures/*/NAME.gz) unpacked once per process, as NAME,
// into a folder that lives as long as the process; its path, or an empty string (and a test
// failure) when it cannot be unpacked. Images are told apart by file name alone.
std::string UnpackedImage(const std::string& gzPath);

// An XML document read with expat, element by element (names as written, prefixes kept).
struct XmlNode {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;  // the character data directly inside
  std::vector<std::unique_ptr<XmlNode>> children;
  // The first child of that name, or null.
  const XmlNode* Child(const std::string& childName) const;
  // The text of the first child of that name; fallback when there is none.
  std::string ChildText(const std::string& childName, const std::string& fallback = "") const;
  std::vector<const XmlNode*> Children(const std::string& childName) const;
};
// The document element, or null with expat's error (and the line) in error.
std::unique_ptr<XmlNode> ParseXml(const std::string& text, std::string& error);

}  // namespace rexmoor::test
