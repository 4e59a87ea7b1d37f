#include "platform/data_dir.h"

#include <cstdlib>
#include <filesystem>

#include "platform/result_codes.h"

namespace rexmoor {

static std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string UserDataDir() {
  if (const char* dir = std::getenv("REXMOOR_DATA_DIR"); dir != nullptr && *dir != '\0')
    return StripTrailingSlashes(dir);
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/')
    return StripTrailingSlashes(xdg);
  const char* home = std::getenv("HOME");
  std::string base = (home != nullptr && *home != '\0') ? home : "/tmp";
  return StripTrailingSlashes(base) + "/.local/share";
}

int CreateFolderTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return ResultFromErrno(ec.value());
  return kSuccess;
}

}  // namespace rexmoor
