// The rexmoor command: argument parsing and terminal output only; the work is done below.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace {

void PrintUsage(std::FILE* out) {
  std::fputs(
      "Usage: rexmoor COMMAND [ARGS]\n"
      "\n"
      "Recovers lost files from drives, partitions and disk images. Media are only ever read.\n"
      "\n"
      "Commands:\n"
      "  detect SOURCE               print the kind of volume at SOURCE: FAT, NTFS, EXT or NONE\n"
      "  scan SOURCE --quick         list the deleted files found at SOURCE\n"
      "  recover SOURCE --quick --to DIR\n"
      "                              write every found file into DIR, by type\n"
      "  tree SOURCE --quick         show the folder tree of what was found\n"
      "  identify FILE...            the type each file's content is recognised as, and its length\n"
      "                              as the format's own rule measures it (--format text|json)\n"
      "\n"
      "SOURCE is an image file, a block device (/dev/sdb for a whole drive, /dev/sdb1 for one of\n"
      "its partitions), or drive:N / drive:N@START+COUNT (drive number N, optionally a range of\n"
      "its sectors). REXMOOR_DRIVES, a ':'-separated list of image files, stands in for the drives.\n"
      "\n"
      "Scan options:\n"
      "  --quick                     walk the live file system for deleted entries\n"
      "  --deep                      sweep the whole volume (not available yet)\n"
      "  --types LIST                photo,audio,video,document,archive,other (default: all)\n"
      "  --ext LIST                  single extensions, e.g. jpg,png\n"
      "  --format text|json          json: one object per line\n"
      "  --data-dir DIR              where scan logs are kept\n"
      "\n"
      "Recover options:\n"
      "  --to DIR                    the folder to write into; it may not lie on the medium\n"
      "                              being scanned, where new files would overwrite lost ones\n"
      "  --allow-same-device         write there all the same (with a warning)\n"
      "\n"
      "Options:\n"
      "  -h, --help        show this help\n"
      "  --version         show the version\n"
      "\n"
      "Exit codes: 0 done, 1 failure, 2 usage, 130 cancelled.\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    PrintUsage(stderr);
    return rexmoor::cli::kExitUsage;
  }
  const std::string& command = args[0];
  if (command == "-h" || command == "--help" || command == "help") {
    PrintUsage(stdout);
    return rexmoor::cli::kExitDone;
  }
  if (command == "--version") {
    std::printf("rexmoor %s\n", REXMOOR_VERSION);
    return rexmoor::cli::kExitDone;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "detect") return rexmoor::cli::RunDetect(rest);
  if (command == "scan") return rexmoor::cli::RunScan(rest);
  if (command == "recover") return rexmoor::cli::RunRecover(rest);
  if (command == "tree") return rexmoor::cli::RunTree(rest);
  if (command == "identify") return rexmoor::cli::RunIdentify(rest);
  std::fprintf(stderr, "rexmoor: unknown command '%s' (see rexmoor --help)\n", command.c_str());
  return rexmoor::cli::kExitUsage;
}
