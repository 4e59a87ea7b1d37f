// rexmoor identify: what each file's content is recognised as, and how long the format's own rule
// measures it, reading the file as a medium whose last partial sector is padded with zeros.
#include <cstdio>
#include <string>
#include <vector>

#include "app/file_identity.h"
#include "cli/commands.h"
#include "cli/output_format.h"

namespace rexmoor::cli {

int RunIdentify(const std::vector<std::string>& files, bool json) {
  int exitCode = kExitDone;
  for (const std::string& file : files) {
    FileIdentity id;
    if (Result r = IdentifyFile(file, id); r != kSuccess) {
      std::fprintf(stderr, "rexmoor: cannot read %s: %s\n", file.c_str(), ResultMessage(r).c_str());
      exitCode = kExitFailure;
      continue;
    }
    const bool known = id.known;
    const std::string& ext = id.extension;
    if (json) {
      Json line;
      line["file"] = file;
      line["type"] = known ? Json(ext) : Json(nullptr);
      line["type_id"] = known ? Json(id.typeId) : Json(nullptr);
      line["length"] = id.measured ? Json(id.length) : Json(nullptr);
      std::printf("%s\n", JsonText(line).c_str());
    } else if (!known) {
      std::printf("%s: unknown\n", file.c_str());
    } else if (!id.measured) {
      std::printf("%s: %s (recognised, not carved)\n", file.c_str(), ext.c_str());
    } else {
      std::printf("%s: %s, %llu bytes\n", file.c_str(), ext.c_str(), static_cast<unsigned long long>(id.length));
    }
  }
  return exitCode;
}

}  // namespace rexmoor::cli
