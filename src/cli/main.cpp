// The rexmoor command: argument parsing and terminal output only; the work is done below.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "platform/memory.h"
#include "platform/udisks_open.h"

namespace rexmoor::cli {
namespace {

constexpr const char* kSourceText =
    "SOURCE is an image file, a block device (/dev/sdb for a whole drive, /dev/sdb1 for one of\n"
    "its partitions), drive:N / drive:N@START+COUNT (drive number N, optionally a range of its\n"
    "sectors), or IMAGE@START+COUNT (a range of an image file). rexmoor devices lists them.\n"
    "An image may be a raw file, an EWF evidence file (.E01, with its further segments beside it),\n"
    "a VHD, VHDX, VMDK or QCOW2 virtual disk (with its parent or backing file beside it), or a raw\n"
    "image split into pieces (name.001, name.002, ... or name.aa, name.ab, ...: name the first).\n"
    "REXMOOR_DRIVES, a ':'-separated list of image files, stands in for the drives.";
constexpr const char* kTargetText =
    "The --to folder may not lie on the medium being scanned, where new files would overwrite\n"
    "lost ones; --allow-same-device writes there all the same, with a warning. It must be a folder\n"
    "this user can write to (or one that can be made), checked before the scan, and hold the files\n"
    "found, checked before any is written (--ignore-free-space writes all the same).";
constexpr const char* kExitText = "Exit codes: 0 done, 1 failure, 2 usage, 130 cancelled.";
constexpr const char* kUdisksText =
    "A block device this user may not read is opened through udisks2 when it is there: polkit\n"
    "asks for the administrator's password (a desktop session's agent, or run pkttyagent).";
constexpr const char* kReportText =
    "recover writes DIR/report.xml, a Digital Forensics XML (DFXML 1.1) report: per file its name and\n"
    "folder as found, how it was found, its times, where it was written, its status, its digests and\n"
    "its byte runs (where each piece of its data lies, as byte offsets from the start of the image or\n"
    "drive, also for a partition of it). --no-report leaves it out; --hash-source adds the SHA-256 of\n"
    "the source (one more full read of it). scan --format dfxml prints the same without written\n"
    "paths and digests, with the byte runs of carved files only.";
constexpr const char* kImageUsage =
    "Usage: rexmoor image SOURCE OUTPUT [--skip-bad] [--retries N] [--resume] [--force]\n";
constexpr const char* kImageText =
    "The copy is kept in step with OUTPUT.map, a mapfile in GNU ddrescue's format (positions in bytes\n"
    "from the first copied sector): Ctrl-C or a read fault leaves the partial image and the mapfile,\n"
    "and --resume copies only what is still to be tried. Without --skip-bad the first unreadable\n"
    "sector ends the copy. --retries N goes back over the unreadable areas N more times, sector by\n"
    "sector, and keeps what reads. A source that goes away (a card pulled, a drive that no longer\n"
    "answers, even for sectors it gave before) stops the copy with exit 1 whatever --skip-bad says;\n"
    "what it did not give stays to be tried, so --resume continues once it is back. The mapfile is\n"
    "removed once a copy is complete without unreadable sectors. OUTPUT, OUTPUT.map and\n"
    "OUTPUT.map.tmp must be plain files or missing: a link, pipe or device at those names is\n"
    "refused. OUTPUT may not lie on the medium being copied nor exceed what its file system holds\n"
    "(FAT32: less than 4 GiB) or has free; an existing OUTPUT needs --force or --resume.";

constexpr const char* kDetectUsage = "Usage: rexmoor detect SOURCE\n";
constexpr const char* kVerifyUsage = "Usage: rexmoor verify IMAGE\n";
constexpr const char* kVerifyText =
    "Reads all the media of an EWF image (IMAGE.E01 and its further segments) and compares its MD5\n"
    "and SHA1 with the digests stored at acquisition. Exit 0 when they match, 1 when they differ,\n"
    "a stretch cannot be read (a corrupt chunk), or the image stores no digest.";
constexpr const char* kScanUsage =
    "Usage: rexmoor scan SOURCE [--quick|--deep] [--types LIST] [--ext LIST] [--name PATTERN] [--min-size SIZE] "
    "[--max-size SIZE] [--since DATE] [--until DATE] [--state LIST] [--format text|json|bodyfile|dfxml] [--data-dir DIR] "
    "[--resume yes|no] [--jobs N]\n";
constexpr const char* kRecoverUsage =
    "Usage: rexmoor recover SOURCE --to DIR [--keep-folders] [--hash LIST] [--hash-source] [--no-report] [--quick|--deep] [--types LIST] [--ext LIST] "
    "[--name PATTERN] [--min-size SIZE] [--max-size SIZE] [--since DATE] [--until DATE] [--state LIST] "
    "[--format text|json] [--data-dir DIR] [--resume yes|no] [--jobs N] [--allow-same-device] [--ignore-free-space]\n";
constexpr const char* kTreeUsage =
    "Usage: rexmoor tree SOURCE [--quick|--deep] [--format text|json] [--data-dir DIR] [--resume yes|no]\n";
constexpr const char* kDeepText =
    "The deep scan (the default) also sweeps the free sectors for folders and file records left by a\n"
    "format and for files known by their content; Ctrl-C stops it, keeps what it found, and a later\n"
    "run with --resume yes continues where it stopped.";
constexpr const char* kPreviewUsage =
    "Usage: rexmoor preview SOURCE --id ENGINE:ID [--to FILE] [--quick|--deep] [--data-dir DIR] [--resume yes|no]\n";
constexpr const char* kPreviewText =
    "ENGINE:ID are the engine and id keys of the file in rexmoor scan SOURCE --format json. The scan\n"
    "is not repeated: a deep scan continues from the earlier scan's log in the same data folder\n"
    "(--quick finds files of an earlier quick scan). A document's text, an archive's listing or a\n"
    "character dump are printed (or written to FILE); a picture, the first page of a PDF (PNG), audio\n"
    "or video are written to FILE, which must not exist yet nor lie on the scanned medium.";
constexpr const char* kIdentifyUsage = "Usage: rexmoor identify [--format text|json] FILE...\n";
constexpr const char* kTypesUsage = "Usage: rexmoor types [--format text|json]\n";
constexpr const char* kDevicesUsage = "Usage: rexmoor devices [--format text|json] [IMAGE...]\n";
constexpr const char* kDevicesText =
    "Each row's SOURCE is what scan, recover and image accept for it: drive:N@START+COUNT for a\n"
    "partition or unallocated area of drive N, IMAGE@START+COUNT inside an image file named here.\n"
    "Drives this user may not read are listed from the kernel's view and marked as needing root.";

// Lists each command with the arguments it takes, as a user types it.
class HelpFormatter : public CLI::Formatter {
 public:
  HelpFormatter() {
    label("SUBCOMMAND", "COMMAND");
  }
  std::string make_subcommand(const CLI::App* command) const override {
    std::string synopsis = command->get_name();
    for (const CLI::Option* arg : command->get_options([](const CLI::Option* o) { return o->get_positional(); }))
      synopsis += " " + arg->get_name() + (arg->get_expected_max() > 1 ? "..." : "");
    std::stringstream out;
    CLI::detail::format_help(out, synopsis, command->get_description(), get_column_width());
    return out.str();
  }
};

// A command line that went wrong gets one line saying what, then how the command is called.
int UsageError(const std::string& message, const char* usage) {
  std::fprintf(stderr, "rexmoor: %s\n%s", message.c_str(), usage);
  return kExitUsage;
}

// An option given without its value is told in the words the commands have always used.
std::string UsageMessage(const CLI::ParseError& e) {
  static constexpr std::pair<const char*, const char*> kMissingValue[] = {
      {"--types: ", "--types needs a list"},   {"--ext: ", "--ext needs a list"},
      {"--data-dir: ", "--data-dir needs a folder"}, {"--to: ", "--to needs a folder"},
      {"--format: ", "--format is text or json"},     {"--resume: ", "--resume is yes or no"},
      {"--retries: ", "--retries needs a number"}};
  const std::string what = e.what();
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
    for (const auto& [prefix, message] : kMissingValue)
      if (what.rfind(prefix, 0) == 0) return message;
  }
  return what;
}

std::string Joined(std::initializer_list<const char*> paragraphs) {
  std::string text;
  for (const char* p : paragraphs) text += (text.empty() ? "" : "\n\n") + std::string(p);
  return text;
}

// "photo, document" and "photo,document" are the same list.
std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    std::size_t begin = pos;
    std::size_t end = comma;
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])) != 0) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])) != 0) --end;
    if (end > begin) items.push_back(text.substr(begin, end - begin));
    pos = comma + 1;
  }
  return items;
}

// Words CLI11 could not place: the first one that looks like an option is unknown, anything else
// is a second positional argument.
bool CheckLeftovers(const CLI::App& command, const char* positional, const char* usage, int& rc) {
  for (const std::string& word : command.remaining()) {
    if (word == "--") continue;
    if (word.size() > 1 && word[0] == '-') {
      rc = UsageError("unknown option '" + word + "'", usage);
    } else {
      rc = UsageError(std::string("more than one ") + positional + " given", usage);
    }
    return false;
  }
  return true;
}

// The shared options of scan, recover and tree, held as typed until checked.
struct ScanCommand {
  CLI::App* app = nullptr;
  const char* usage = "";
  bool recover = false;
  std::string source;
  std::vector<std::string> types;
  std::vector<std::string> extensions;
  CLI::Option* format = nullptr;
  std::string formatValue;
  CLI::Option* dataDir = nullptr;
  CLI::Option* resume = nullptr;
  CLI::Option* target = nullptr;
  std::string name, minSize, maxSize, since, until;
  std::vector<std::string> states;
  std::vector<std::string> hashes;
  bool noReport = false;
  ScanOptions options;
};

// --udisks: every block device through udisks2, not only one this user may not open.
void AddUdisksFlag(CLI::App& app) {
  app.add_flag_callback("--udisks", [] { SetUdisksUse(UdisksUse::Always); },
                        "open block devices through udisks2 (polkit may ask for the password)");
}

void AddScanCommand(CLI::App& parent, ScanCommand& c, const char* name, const char* description, const char* usage,
                    bool recover) {
  c.usage = usage;
  c.recover = recover;
  c.app = parent.add_subcommand(name, description);
  CLI::App& app = *c.app;
  app.allow_extras();
  app.footer(recover ? Joined({kSourceText, kUdisksText, kDeepText, kTargetText, kReportText, kExitText})
                     : Joined({kSourceText, kUdisksText, kDeepText, kExitText}));
  AddUdisksFlag(app);
  app.add_option("SOURCE", c.source, "the drive, partition or image to scan")->type_name("");
  app.add_flag("--quick")->description("only walk the live file system for deleted entries");
  app.add_flag("--deep")->description("also sweep the free sectors (the default)");
  app.add_option("--types", c.types, "photo,audio,video,document,archive,other (default: all)")
      ->type_name("LIST")
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("--ext", c.extensions, "single extensions, e.g. jpg,png")
      ->type_name("LIST")
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("--name", c.name, "only files whose name matches (case-insensitive; * and ? are wildcards, "
                 "else a part of the name)")
      ->type_name("PATTERN");
  app.add_option("--min-size", c.minSize, "only files of at least this size (1500, 10K, 2.5M, 1G)")->type_name("SIZE");
  app.add_option("--max-size", c.maxSize, "only files of at most this size")->type_name("SIZE");
  app.add_option("--since", c.since, "only files modified on or after (2024-06-30 or 2024-06-30 14:05)")
      ->type_name("DATE");
  app.add_option("--until", c.until, "only files modified on or before (a date alone: to its end)")->type_name("DATE");
  app.add_option("--state", c.states,
                 "only files found so (deleted,formatted,carved) or in this condition (intact,overwritten,incomplete)")
      ->type_name("LIST")
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  c.format = app.add_option("--format", c.formatValue,
                            std::string(name) == "scan" ? "json: one object per line; bodyfile: a timeline's input; "
                                                          "dfxml: a DFXML report"
                                                        : "json: one object per line")
                 ->type_name(std::string(name) == "scan" ? "text|json|bodyfile|dfxml" : "text|json");
  app.add_option("--jobs", c.options.jobs, "threads the deep scan classifies sectors on (default: one per core)")
      ->type_name("N")
      ->check(CLI::Range(1u, 64u));
  c.dataDir = app.add_option("--data-dir", c.options.dataDir, "where scan logs are kept")->type_name("DIR");
  c.resume = app.add_option("--resume", c.options.resume,
                            "continue an earlier deep scan of the same, unchanged source (default: ask, or yes "
                            "without a terminal)")
                 ->type_name("yes|no");
  if (recover) {
    c.target = app.add_option("--to", c.options.target,
                              "the folder to write into; it may not lie on the medium being scanned")
                   ->type_name("DIR");
    app.add_option("--hash", c.hashes, "sha256 and/or md5: each file's digests, made while it is written, in the "
                   "JSON lines")
        ->type_name("LIST")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_flag("--hash-source", c.options.hashSource,
                 "also the SHA-256 of the source as named (the image, drive or partition), in report.xml");
    app.add_flag("--no-report", c.noReport, "write no report.xml into the target");
    app.add_flag("--keep-folders", c.options.keepFolders,
                 "write each file into TARGET/<source>/<its folder>/ instead of a folder per type");
    app.add_flag("--allow-same-device", c.options.allowSameDevice, "write there all the same (with a warning)");
    app.add_flag("--ignore-free-space", c.options.ignoreFreeSpace,
                 "write even when the files found need more room than the target has free");
  }
}

// Checks what CLI11 collected the way the commands need it. Returns 0 or the usage exit code.
int CheckScanCommand(ScanCommand& c) {
  int rc = 0;
  if (!CheckLeftovers(*c.app, "SOURCE", c.usage, rc)) return rc;
  ScanOptions& out = c.options;
  out.source = c.source;
  // The last of --quick and --deep wins.
  for (const CLI::Option* option : c.app->parse_order()) {
    if (option->check_lname("quick")) out.deep = false;
    if (option->check_lname("deep")) out.deep = true;
  }
  for (const std::string& list : c.types) {
    for (const std::string& word : SplitList(list)) {
      TypeGroup group;
      if (!ParseTypeGroup(word, group))
        return UsageError("unknown type group '" + word + "' (the groups: photo, audio, video, document, archive, other)",
                          c.usage);
      out.groups.push_back(group);
    }
  }
  for (const std::string& list : c.extensions) {
    for (const std::string& word : SplitList(list)) {
      // "jpg", ".jpg" and "*.jpg" all mean the extension jpg.
      std::string ext = word.substr(word.rfind("*.", 0) == 0 ? 2 : word.rfind('.', 0) == 0 ? 1 : 0);
      if (!IsKnownExtension(ext))
        return UsageError("unknown extension '" + word + "'; the known ones:\n" + KnownExtensionsText() +
                              "(files of other kinds: --types other)",
                          c.usage);
      out.extensions.push_back(ext);
    }
  }
  RecordFilter& filter = out.filter;
  filter.name = c.name;
  if (!c.minSize.empty() && !(filter.minSize = ParseSizeText(c.minSize)))
    return UsageError("--min-size is a number of bytes, or with K, M or G: '" + c.minSize + "'", c.usage);
  if (!c.maxSize.empty() && !(filter.maxSize = ParseSizeText(c.maxSize)))
    return UsageError("--max-size is a number of bytes, or with K, M or G: '" + c.maxSize + "'", c.usage);
  if (!c.since.empty() && !(filter.since = ParseDateText(c.since, false)))
    return UsageError("--since is a date, 2024-06-30 or 2024-06-30 14:05: '" + c.since + "'", c.usage);
  if (!c.until.empty() && !(filter.until = ParseDateText(c.until, true)))
    return UsageError("--until is a date, 2024-06-30 or 2024-06-30 14:05: '" + c.until + "'", c.usage);
  for (const std::string& list : c.states) {
    std::string unknown;
    if (!ParseStateList(list, filter, unknown))
      return UsageError("unknown state '" + unknown +
                            "' (the states: deleted, formatted, carved; intact, overwritten, incomplete)",
                        c.usage);
  }
  for (const std::string& list : c.hashes)
    for (const std::string& word : SplitList(list)) {
      if (word == "sha256") out.hashSha256 = true;
      else if (word == "md5") out.hashMd5 = true;
      else return UsageError("--hash takes sha256 and md5, not '" + word + "'", c.usage);
    }
  if (!filter.Empty() && c.app->get_name() == "tree")
    return UsageError("tree shows every folder and file found; --name, the sizes, the dates and --state belong to "
                      "scan and recover",
                      c.usage);
  const bool scanCommand = c.app->get_name() == "scan";
  if (c.format->count() > 0 && c.formatValue != "text" && c.formatValue != "json" &&
      !(scanCommand && (c.formatValue == "bodyfile" || c.formatValue == "dfxml")))
    return UsageError(scanCommand ? "--format is text, json, bodyfile or dfxml" : "--format is text or json", c.usage);
  out.json = c.formatValue == "json";
  out.bodyfile = c.formatValue == "bodyfile";
  out.dfxml = c.formatValue == "dfxml";
  out.report = !c.noReport;
  if (c.dataDir->count() > 0 && out.dataDir.empty()) return UsageError("--data-dir needs a folder", c.usage);
  if (c.resume->count() > 0 && out.resume != "yes" && out.resume != "no")
    return UsageError("--resume is yes or no", c.usage);
  if (c.recover && c.target->count() > 0 && out.target.empty()) return UsageError("--to needs a folder", c.usage);
  if (out.source.empty()) return UsageError("no SOURCE given", c.usage);
  if (c.recover && out.target.empty()) return UsageError("recover needs --to DIR", c.usage);
  if (!out.dataDir.empty()) setenv("REXMOOR_DATA_DIR", out.dataDir.c_str(), 1);
  return 0;
}

CLI::App* preview_app(CLI::App& parent, PreviewOptions& preview, std::string& source) {
  CLI::App* app = parent.add_subcommand("preview", "show one found file: its text, listing or dump, or write it to --to");
  app->allow_extras();
  app->footer(Joined({kSourceText, kPreviewText, kExitText}));
  app->add_option("SOURCE", source, "the drive, partition or image that was scanned")->type_name("");
  AddUdisksFlag(*app);
  app->add_option("--id", preview.id, "the file, as ENGINE:ID from scan --format json")->type_name("ENGINE:ID");
  app->add_option("--to", preview.output, "write the file's preview here")->type_name("FILE");
  app->add_flag("--quick")->description("the file came from a quick scan");
  app->add_flag("--deep")->description("the file came from a deep scan (the default)");
  app->add_option("--data-dir", preview.scan.dataDir, "where scan logs are kept")->type_name("DIR");
  app->add_option("--resume", preview.scan.resume, "yes (the default): continue from the earlier deep scan")
      ->type_name("yes|no");
  return app;
}

int Main(int argc, char** argv) {
  // The report names the command as it was run, and when.
  std::string commandLine;
  for (int i = 0; i < argc; ++i) commandLine += (i == 0 ? "" : " ") + std::string(argv[i]);
  const std::int64_t startTime = static_cast<std::int64_t>(std::time(nullptr));
  CLI::App app{"Recovers lost files from drives, partitions and disk images. Media are only ever read.", "rexmoor"};
  app.formatter(std::make_shared<HelpFormatter>());
  app.footer(Joined({"Run rexmoor COMMAND --help for the options of a command.", kSourceText, kTargetText, kExitText}));
  app.set_help_flag("-h,--help", "show this help");
  app.set_version_flag("--version", std::string("rexmoor ") + REXMOOR_VERSION, "show the version");
  app.allow_extras();
  app.require_subcommand(0, 1);
  // A repeated option means its last value, as it always has.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

  std::string detectSource;
  CLI::App* detect = app.add_subcommand("detect", "print the kind of volume at SOURCE: FAT, EXFAT, NTFS, EXT or NONE");
  detect->allow_extras();
  detect->footer(Joined({kSourceText, kExitText}));
  AddUdisksFlag(*detect);
  detect->add_option("SOURCE", detectSource, "the drive, partition or image to look at")->type_name("");

  std::string verifySource;
  CLI::App* verify = app.add_subcommand("verify", "check an EWF image against the digests stored in it");
  verify->allow_extras();
  verify->footer(Joined({kVerifyText, kExitText}));
  verify->add_option("IMAGE", verifySource, "the image's first segment (.E01)")->type_name("");

  ScanCommand scan;
  ScanCommand recover;
  ScanCommand tree;
  AddScanCommand(app, scan, "scan", "list the deleted files found at SOURCE", kScanUsage, false);
  AddScanCommand(app, recover, "recover", "write every found file into the --to folder, by type", kRecoverUsage,
                 true);
  AddScanCommand(app, tree, "tree", "show the folder tree of what was found", kTreeUsage, false);

  PreviewOptions preview;
  std::string previewSource;
  CLI::App* previewCommand = preview_app(app, preview, previewSource);

  ImageOptions image;
  CLI::App* imageCommand = app.add_subcommand("image", "copy SOURCE sector by sector into the image file OUTPUT");
  imageCommand->allow_extras();
  imageCommand->footer(Joined({kSourceText, kImageText, kExitText}));
  AddUdisksFlag(*imageCommand);
  imageCommand->add_option("SOURCE", image.source, "the drive, partition or area to copy")->type_name("");
  imageCommand->add_option("OUTPUT", image.output, "the image file to write")->type_name("");
  imageCommand->add_flag("--skip-bad", image.skipBad, "write unreadable sectors as zeros and go on");
  imageCommand->add_option("--retries", image.retries, "passes over the unreadable areas after the first (0 to 1000)")
      ->type_name("N")
      ->check(CLI::Range(0, 1000).description(""));
  imageCommand->add_flag("--resume", image.resume, "continue the copy OUTPUT.map describes");
  imageCommand->add_flag("--force", image.force, "overwrite an existing OUTPUT");

  std::vector<std::string> files;
  std::string identifyFormat;
  CLI::App* identify = app.add_subcommand(
      "identify", "the type each file's content is recognised as, and its length by the format's own rule");
  identify->allow_extras();
  identify->footer(kExitText);
  identify->add_option("FILE", files, "the files to look at")->type_name("");
  CLI::Option* identifyFormatOption =
      identify->add_option("--format", identifyFormat, "json: one object per line")->type_name("text|json");

  std::string typesFormat;
  CLI::App* typesCommand = app.add_subcommand(
      "types", "list every file type: its group, whether the deep scan finds it by content or only by name");
  typesCommand->allow_extras();
  typesCommand->footer(kExitText);
  CLI::Option* typesFormatOption =
      typesCommand->add_option("--format", typesFormat, "json: one object per type")->type_name("text|json");

  std::vector<std::string> deviceImages;
  std::string devicesFormat;
  CLI::App* devices = app.add_subcommand(
      "devices", "list the drives with their partitions and unallocated areas, or the partitions inside images");
  devices->allow_extras();
  devices->footer(Joined({kDevicesText, kExitText}));
  devices->add_option("IMAGE", deviceImages, "partitioned image files to list instead of the drives")->type_name("");
  CLI::Option* devicesFormatOption =
      devices->add_option("--format", devicesFormat, "json: one object per row")->type_name("text|json");

  for (CLI::App* command : app.get_subcommands({})) command->group("Commands");

  // A bare command line gets the whole help, as a usage error.
  if (argc < 2) {
    std::fputs(app.help().c_str(), stderr);
    return kExitUsage;
  }
  if (std::string(argv[1]) == "help") {
    std::fputs(app.help().c_str(), stdout);
    return kExitDone;
  }
  const struct {
    const CLI::App* command;
    const char* usage;
  } usages[] = {{detect, kDetectUsage}, {verify, kVerifyUsage}, {scan.app, kScanUsage},       {recover.app, kRecoverUsage},
                {tree.app, kTreeUsage}, {identify, kIdentifyUsage}, {devices, kDevicesUsage},
                {previewCommand, kPreviewUsage}, {typesCommand, kTypesUsage}};
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return kExitDone;
  } catch (const CLI::CallForVersion& e) {
    std::printf("%s\n", e.what());
    return kExitDone;
  } catch (const CLI::ParseError& e) {
    if (imageCommand->parsed()) return UsageError(UsageMessage(e), kImageUsage);
    for (const auto& u : usages)
      if (u.command->parsed()) return UsageError(UsageMessage(e), u.usage);
    std::fprintf(stderr, "rexmoor: %s (see rexmoor --help)\n", e.what());
    return kExitUsage;
  }

  for (const std::string& word : app.remaining()) {
    if (word == "--") continue;
    std::fprintf(stderr, "rexmoor: unknown command '%s' (see rexmoor --help)\n", word.c_str());
    return kExitUsage;
  }
  int rc = 0;
  if (detect->parsed()) {
    if (!CheckLeftovers(*detect, "SOURCE", kDetectUsage, rc)) return rc;
    if (detectSource.empty()) return UsageError("no SOURCE given", kDetectUsage);
    return RunDetect(detectSource);
  }
  if (verify->parsed()) {
    if (!CheckLeftovers(*verify, "IMAGE", kVerifyUsage, rc)) return rc;
    if (verifySource.empty()) return UsageError("no IMAGE given", kVerifyUsage);
    return RunVerify(verifySource);
  }
  if (identify->parsed()) {
    if (!CheckLeftovers(*identify, "FILE", kIdentifyUsage, rc)) return rc;
    if (identifyFormatOption->count() > 0 && identifyFormat != "text" && identifyFormat != "json")
      return UsageError("--format is text or json", kIdentifyUsage);
    if (files.empty()) return UsageError("no FILE given", kIdentifyUsage);
    return RunIdentify(files, identifyFormat == "json");
  }
  if (typesCommand->parsed()) {
    for (const std::string& word : typesCommand->remaining())
      if (word != "--") return UsageError("unexpected '" + word + "'", kTypesUsage);
    if (typesFormatOption->count() > 0 && typesFormat != "text" && typesFormat != "json")
      return UsageError("--format is text or json", kTypesUsage);
    return RunTypes(typesFormat == "json");
  }
  if (devices->parsed()) {
    if (!CheckLeftovers(*devices, "IMAGE list", kDevicesUsage, rc)) return rc;
    if (devicesFormatOption->count() > 0 && devicesFormat != "text" && devicesFormat != "json")
      return UsageError("--format is text or json", kDevicesUsage);
    return RunDevices(deviceImages, devicesFormat == "json");
  }
  if (imageCommand->parsed()) {
    if (!CheckLeftovers(*imageCommand, "OUTPUT", kImageUsage, rc)) return rc;
    if (image.source.empty()) return UsageError("no SOURCE given", kImageUsage);
    if (image.output.empty()) return UsageError("no OUTPUT given", kImageUsage);
    if (image.resume && image.force) return UsageError("--resume and --force exclude each other", kImageUsage);
    return RunImage(image);
  }
  if (previewCommand->parsed()) {
    if (!CheckLeftovers(*previewCommand, "SOURCE", kPreviewUsage, rc)) return rc;
    ScanOptions& out = preview.scan;
    out.source = previewSource;
    for (const CLI::Option* option : previewCommand->parse_order()) {
      if (option->check_lname("quick")) out.deep = false;
      if (option->check_lname("deep")) out.deep = true;
    }
    if (out.source.empty()) return UsageError("no SOURCE given", kPreviewUsage);
    if (preview.id.empty()) return UsageError("preview needs --id ENGINE:ID", kPreviewUsage);
    if (previewCommand->get_option("--to")->count() > 0 && preview.output.empty())
      return UsageError("--to needs a file", kPreviewUsage);
    if (!out.resume.empty() && out.resume != "yes" && out.resume != "no")
      return UsageError("--resume is yes or no", kPreviewUsage);
    if (!out.dataDir.empty()) setenv("REXMOOR_DATA_DIR", out.dataDir.c_str(), 1);
    return RunPreview(preview);
  }
  for (ScanCommand* c : {&scan, &recover, &tree}) {
    if (!c->app->parsed()) continue;
    if (int usage = CheckScanCommand(*c); usage != 0) return usage;
    c->options.commandLine = commandLine;
    c->options.startTime = startTime;
    if (c == &scan) return RunScan(c->options);
    if (c == &recover) return RunRecover(c->options);
    return RunTree(c->options);
  }
  std::fputs(app.help().c_str(), stderr);
  return kExitUsage;
}

}  // namespace
}  // namespace rexmoor::cli

int main(int argc, char** argv) {
  rexmoor::KeepFreedMemoryForReuse();
  int rc = rexmoor::cli::Main(argc, argv);
  // Results that never reached their file (a full disk, a closed pipe) are a failure, not a
  // quiet success.
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    const int error = errno != 0 ? errno : EIO;
    std::fprintf(stderr, "rexmoor: cannot write the output: %s\n", ::strerrordesc_np(error));
    if (rc == rexmoor::cli::kExitDone) rc = rexmoor::cli::kExitFailure;
  }
  return rc;
}

// Leak checking in sanitizer builds: fontconfig, loaded by the PDF renderer, keeps its
// configuration until the process ends by design. Never called otherwise.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
