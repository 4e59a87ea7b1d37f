// rexmoor types: every file type the program knows, with the category its files are sorted into
// and whether the carver finds it by content or only a file system finds it by name.
#include <cstdio>
#include <string>

#include "app/result_model.h"
#include "cli/commands.h"
#include "cli/output_format.h"

namespace rexmoor::cli {

namespace {

const char* CategoryWord(TypeCategory category) {
  switch (category) {
    case TypeCategory::Photo: return "photo";
    case TypeCategory::Audio: return "audio";
    case TypeCategory::Video: return "video";
    case TypeCategory::Office: return "document";
    case TypeCategory::Zip: return "archive";
    case TypeCategory::Other: break;
  }
  return "other";
}

}  // namespace

int RunTypes(bool json) {
  const std::vector<KnownFileType> types = ListKnownFileTypes();
  if (!json) std::printf("%-8s  %-8s  %-12s  %s\n", "TYPE", "GROUP", "FOUND", "OPTION");
  for (const KnownFileType& type : types) {
    if (json) {
      Json line;
      line["extension"] = type.extension;
      line["group"] = CategoryWord(type.category);
      line["carved"] = type.carved;
      line["option"] = type.option;
      std::printf("%s\n", JsonText(line).c_str());
      continue;
    }
    std::printf("%-8s  %-8s  %-12s  %s\n", type.extension.c_str(), CategoryWord(type.category),
                type.carved ? "by content" : "by name only", type.option.c_str());
  }
  if (!json)
    std::printf("\n\"by content\": the deep scan carves it from raw sectors; \"by name only\": it comes back from a\n"
                "file system's folders (deleted files, formatted volumes) but is not recognised in raw sectors.\n");
  return kExitDone;
}

}  // namespace rexmoor::cli
