// rexmoor identify: what each file's content is recognised as, and how long the format's own rule
// measures it, reading the file as a medium whose last partial sector is padded with zeros.
#include <cstdio>
#include <string>
#include <vector>

#include "app/file_identity.h"
#include "cli/commands.h"
#include "cli/output_format.h"

namespace rexmoor::cli {

int RunIdentify(const std::vector<std::string>& args) {
  bool json = false;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--format" && i + 1 < args.size()) {
      const std::string& f = args[++i];
      if (f != "text" && f != "json") {
        std::fputs("rexmoor: --format is text or json\n", stderr);
        return kExitUsage;
      }
      json = f == "json";
    } else if (a == "--format=json" || a == "--format=text") {
      json = a == "--format=json";
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      std::fprintf(stderr, "rexmoor: unknown option '%s'\nUsage: rexmoor identify [--format text|json] FILE...\n",
                   a.c_str());
      return kExitUsage;
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) {
    std::fputs("Usage: rexmoor identify [--format text|json] FILE...\n", stderr);
    return kExitUsage;
  }
  IdentifySession session;  // one walk buffer for all files
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
      std::printf("{\"file\":%s,\"type\":%s,\"type_id\":%s,\"length\":%s}\n", JsonString(file).c_str(),
                  known ? JsonString(ext).c_str() : "null", known ? std::to_string(id.typeId).c_str() : "null",
                  id.measured ? std::to_string(id.length).c_str() : "null");
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
