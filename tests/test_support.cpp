#include "test_support.h"

#include <expat.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <sys/wait.h>

namespace rexmoor::test {

TempDir::TempDir() {
  char pattern[] = "/tmp/rexmoor-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedDataDir::ScopedDataDir() {
  if (const char* prev = std::getenv("REXMOOR_DATA_DIR")) {
    previous_ = prev;
    hadPrevious_ = true;
  }
  setenv("REXMOOR_DATA_DIR", dir_.path().c_str(), 1);
}

ScopedDataDir::~ScopedDataDir() {
  if (hadPrevious_) {
    setenv("REXMOOR_DATA_DIR", previous_.c_str(), 1);
  } else {
    unsetenv("REXMOOR_DATA_DIR");
  }
}

void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

std::vector<std::uint8_t> ReadFileHead(const std::string& path, std::size_t maxBytes) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> bytes(maxBytes);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(maxBytes));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

std::vector<std::uint8_t> RandomBytes(std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> bytes(count);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

LoopDeviceLock::LoopDeviceLock() {
  fd_ = ::open("/tmp/rexmoor-tests-loop-devices.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ >= 0) ::flock(fd_, LOCK_EX);
}

LoopDeviceLock::~LoopDeviceLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

int RunCommand(const std::string& command, std::string* out) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
    if (out != nullptr) out->append(buffer, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SampleCardImage(const TempDir& dir) {
  const std::string image = dir / "card.img";
  const int status = RunCommand("gunzip -c '" REXMOOR_TEST_SOURCE_DIR "/../samples/card.img.gz' > '" + image + "'");
  EXPECT_EQ(status, 0) << "cannot unpack the sample card";
  return status == 0 ? image : std::string();
}

std::string UnpackedImage(const std::string& gzPath) {
  static TempDir unpacked;
  std::string name = gzPath.substr(gzPath.rfind('/') + 1);
  if (name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0) name.resize(name.size() - 3);
  const std::string path = unpacked / name;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    // Unpacked beside its final name and renamed, so that a failed run leaves no half image.
    const std::string part = path + ".part";
    if (RunCommand("gzip -dc " + ShellQuote(gzPath) + " > " + ShellQuote(part)) != 0 ||
        ::rename(part.c_str(), path.c_str()) != 0) {
      ADD_FAILURE() << "cannot unpack " << gzPath;
      return {};
    }
  }
  return path;
}

const XmlNode* XmlNode::Child(const std::string& childName) const {
  for (const auto& child : children)
    if (child->name == childName) return child.get();
  return nullptr;
}

std::string XmlNode::ChildText(const std::string& childName, const std::string& fallback) const {
  const XmlNode* child = Child(childName);
  return child != nullptr ? child->text : fallback;
}

std::vector<const XmlNode*> XmlNode::Children(const std::string& childName) const {
  std::vector<const XmlNode*> found;
  for (const auto& child : children)
    if (child->name == childName) found.push_back(child.get());
  return found;
}

std::unique_ptr<XmlNode> ParseXml(const std::string& text, std::string& error) {
  struct State {
    std::unique_ptr<XmlNode> root;
    std::vector<XmlNode*> open;
  } state;
  XML_Parser parser = XML_ParserCreate("UTF-8");
  XML_SetUserData(parser, &state);
  XML_SetElementHandler(
      parser,
      [](void* data, const XML_Char* name, const XML_Char** attributes) {
        auto* s = static_cast<State*>(data);
        auto node = std::make_unique<XmlNode>();
        node->name = name;
        for (int i = 0; attributes[i] != nullptr; i += 2) node->attributes[attributes[i]] = attributes[i + 1];
        XmlNode* raw = node.get();
        if (s->open.empty()) {
          s->root = std::move(node);
        } else {
          s->open.back()->children.push_back(std::move(node));
        }
        s->open.push_back(raw);
      },
      [](void* data, const XML_Char*) { static_cast<State*>(data)->open.pop_back(); });
  XML_SetCharacterDataHandler(parser, [](void* data, const XML_Char* chars, int length) {
    auto* s = static_cast<State*>(data);
    if (!s->open.empty()) s->open.back()->text.append(chars, static_cast<std::size_t>(length));
  });
  const bool ok = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
  if (!ok)
    error = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
            std::to_string(XML_GetCurrentLineNumber(parser));
  XML_ParserFree(parser);
  if (!ok) return nullptr;
  return std::move(state.root);
}

}  // namespace rexmoor::test

// Leak checking: fontconfig, loaded by the PDF renderer, keeps its configuration until the process
// ends; that is the library's design, not a leak of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
