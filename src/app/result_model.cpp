#include "app/result_model.h"

#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <utility>

#include "app/catalog_format.h"
#include "app/type_patterns.h"
#include "formats/file_format_table.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

constexpr const char* kNoTime = "    ----    ";
constexpr const char* kOtherExtension = "other";

std::size_t Index(TypeCategory category) { return static_cast<std::size_t>(category); }

constexpr TypeCategory kCategories[kTypeCategoryCount] = {TypeCategory::Photo, TypeCategory::Audio,
                                                          TypeCategory::Video, TypeCategory::Office,
                                                          TypeCategory::Zip,   TypeCategory::Other};

// One option in the table below: the extensions first, the control name is made from them.
struct OptionRow {
  const char* text;
  const char* extensions;
  const char* name = nullptr;  // only where "Opt" + first extension would clash
};

// Whether the carver finds files of the extension by their content.
bool CarvedExtension(std::string_view extension) {
  const FileFormatEntry* row = FindFormatByExtension(extension);
  return row != nullptr && row->extentRule != nullptr;
}

FileTypeOption MakeOption(const OptionRow& row) {
  FileTypeOption option;
  option.text = row.text;
  option.extensions = row.extensions;
  // "Other Files" takes every carved type that has no option of its own.
  option.carved = option.extensions == kOtherExtension;
  std::string_view list = option.extensions;
  while (!option.carved && !list.empty()) {
    const std::size_t bar = list.find('|');
    option.carved = CarvedExtension(list.substr(0, bar));
    list = bar == std::string_view::npos ? std::string_view() : list.substr(bar + 1);
  }
  if (row.name != nullptr) {
    option.name = row.name;
  } else {
    std::string first = option.extensions.substr(0, option.extensions.find('|'));
    if (!first.empty() && first[0] >= 'a' && first[0] <= 'z') first[0] = static_cast<char>(first[0] - 'a' + 'A');
    option.name = "Opt" + first;
  }
  return option;
}

std::vector<FileTypeGroup> MakeShippedGroups() {
  // Camera raw formats follow the order of the engines' picture list.
  static const OptionRow kPhoto[] = {
      {"Bitmap (.bmp)", "bmp"},
      {"Gif Graphics Files (.gif)", "gif"},
      {"JPG/JPEG (.jpg .jpeg)", "jpg|jpeg"},
      {"PNG Graphics Files (.png)", "png"},
      {"Adobe Photoshop (.psd)", "psd"},
      {"TIFF Graphics Files (.tif .tiff)", "tif|tiff"},
      {"Paintbrush Files (.pcx .scr)", "pcx|scr"},
      {"ICON File (.ico)", "ico"},
      {"Nikon Raw (.nef)", "nef"},
      {"Nikon Raw NRW (.nrw)", "nrw"},
      {"Canon Raw CRW (.crw)", "crw"},
      {"Canon Raw CR2 (.cr2)", "cr2"},
      {"Sony Raw SR2 (.sr2)", "sr2"},
      {"Sony Raw ARW (.arw)", "arw"},
      {"Sony Raw SRF (.srf)", "srf"},
      {"DjVu Documents (.djvu)", "djvu"},
      {"Portable Graymap (.pgm)", "pgm"},
      {"Kodak (.k25)", "k25"},
      {"Kodak Raw KDC (.kdc)", "kdc"},
      {"Kodak Raw DCR (.dcr)", "dcr"},
      {"Fujifilm Raw (.raf)", "raf"},
      {"Amiga IFF Images (.iff)", "iff"},
      {"Portable Bitmap (.pbm)", "pbm"},
      {"Mamiya Raw (.mef)", "mef"},
      {"JPEG 2000 (.jp2)", "jp2"},
      {"Leaf Raw (.mos)", "mos"},
      {"Sigma Raw (.x3f)", "x3f"},
      {"Olympus Raw (.orf)", "orf"},
      {"Epson Raw (.erf)", "erf"},
      {"Adobe InDesign (.indd)", "indd"},
      {"Pentax Raw (.pef)", "pef"},
      {"Paint Shop Pro (.psp)", "psp"},
      {"Minolta (.mrw)", "mrw"},
      {"DNG Photo Files (.dng)", "dng"},
      {"Raw Image Files (.raw)", "raw"},
      {"Macintosh PICT (.pct)", "pct"},
      {"Targa Graphics (.tga)", "tga"},
      {"Thumbnail Files (.thm)", "thm"},
      {"Panasonic Raw (.rw2)", "rw2"},
      {"Samsung Raw (.srw)", "srw"},
      {"Canon Raw CR3 (.cr3)", "cr3"},
      {"WebP Pictures (.webp)", "webp"},
      {"HEIF/HEIC Pictures (.heic .heif)", "heic|heif"},
      {"AVIF Pictures (.avif)", "avif"},
      {"JPEG XL Pictures (.jxl)", "jxl"},
      {"Hasselblad Raw (.3fr)", "3fr"},
      {"Phase One Raw (.iiq)", "iiq"},
      {"SVG Drawings (.svg)", "svg"},
  };
  static const OptionRow kAudio[] = {
      {"MP3 Audio (.mp3)", "mp3"},
      {"WAVE Audio (.wav)", "wav"},
      {"AIFF Audio (.aiff)", "aiff"},
      {"RPS Files (.rps)", "rps"},
      {"MIDI Files (.mid .midi)", "mid|midi"},
      {"MPEG-4 Audio (.m4a .m4p)", "m4a|m4p"},
      {"Sun Audio (.au)", "au"},
      {"OGG Files (.ogg)", "ogg"},
      {"Windows Media Audio (.wma)", "wma"},
      {"RealMedia Audio (.rm)", "rm"},
      {"RealAudio (.ra)", "ra"},
      {"ACID Project (.acd)", "acd"},
      {"AMR Audio (.amr)", "amr"},
      {"ATRAC3 Audio (.at3)", "at3"},
      {"Core Audio Format (.caf)", "caf"},
      {"Digital Speech Standard (.dss)", "dss"},
      {"iPhone Ringtone (.m4r)", "m4r"},
      {"Nero Audio (.nra)", "nra"},
      {"Sound Files (.snd)", "snd"},
      {"FLAC Audio (.flac)", "flac"},
      {"Opus Audio (.opus)", "opus"},
      {"AAC Audio (.aac)", "aac"},
      {"WavPack Audio (.wv)", "wv"},
      {"DSD Stream Files (.dsf)", "dsf"},
  };
  static const OptionRow kVideo[] = {
      {"RealMedia Variable Bitrate (.rmvb)", "rmvb"},
      // The audio group has .rm too, and comes first: its option wins a result's extension.
      {"RealMedia Video (.rm)", "rm", "OptRmVideo"},
      {"MPEG Video (.mpeg)", "mpeg"},
      {"QuickTime Movie (.mov)", "mov"},
      {"AVI Video (.avi)", "avi"},
      {"Windows Media Video (.wmv)", "wmv"},
      {"Advanced Systems Format (.asf)", "asf"},
      {"MPEG-4 Video (.mp4)", "mp4"},
      {"iTunes Video (.m4v)", "m4v"},
      {"3GPP Multimedia (.3gp)", "3gp"},
      {"Digital Video (.dv)", "dv"},
      {"3GPP2 Multimedia (.3g2)", "3g2"},
      {"MPEG-4 Audio Book (.m4b)", "m4b"},
      {"Matroska Video (.mkv)", "mkv"},
      {"WebM Video (.webm)", "webm"},
      {"AVCHD Video (.mts)", "mts"},
      {"DivX Video (.divx)", "divx"},
      {"OGG Media (.ogm)", "ogm"},
      {"MOI Video Information (.moi)", "moi"},
      {"DVD Video Object (.vob)", "vob"},
      {"AJP Video (.ajp)", "ajp"},
      {"Flash MP4 Video (.f4v)", "f4v"},
      {"MQV Files (.mqv)", "mqv"},
      {"Samsung Video (.svi)", "svi"},
      {"VID Video Files (.vid)", "vid"},
      {"JVC Everio Video (.tod)", "tod"},
      {"HD QuickTime Movie (.hdmov)", "hdmov"},
      {"MOD Camcorder Video (.mod)", "mod"},
      {"Material Exchange Format (.mxf)", "mxf"},
      {"GoPro Low Resolution Video (.lrv)", "lrv"},
  };
  static const OptionRow kOffice[] = {
      {"Microsoft Word (.doc .docx)", "doc|docx"},
      {"Microsoft Excel (.xls .xlsx)", "xls|xlsx"},
      {"Microsoft PowerPoint (.ppt .pptx)", "ppt|pptx"},
      {"Text Files (.txt)", "txt"},
      {"Adobe PDF (.pdf)", "pdf"},
      {"XML Files (.xml)", "xml"},
      {"Web Pages (.html .htm)", "html|htm"},
      {"Compiled HTML Help (.chm)", "chm"},
      {"OpenDocument Spreadsheet (.ods)", "ods"},
      {"OLE Compound Files (.ole)", "ole"},
      {"OpenDocument Text (.odt)", "odt"},
      {"Outlook Data Files (.pst)", "pst"},
      {"Outlook Express Mail (.dbx)", "dbx"},
      {"WPS Writer Documents (.wps)", "wps"},
      {"WPS Presentation (.dps)", "dps"},
      {"WPS Spreadsheet (.et)", "et"},
      {"OneNote Notebooks (.one)", "one"},
      {"Microsoft Project (.mpp)", "mpp"},
      {"Access Database (.mdb)", "mdb"},
      {"Access 2007 Database (.accdb)", "accdb"},
      {"OpenDocument Presentation (.odp)", "odp"},
      {"OpenDocument Drawing (.odg)", "odg"},
      {"EPUB E-Books (.epub)", "epub"},
      {"Rich Text Format (.rtf)", "rtf"},
      {"Mailboxes (.mbox)", "mbox"},
      {"vCard Contacts (.vcf)", "vcf"},
      {"iCalendar Files (.ics)", "ics"},
  };
  static const OptionRow kZip[] = {
      {"ZIP Archives (.zip)", "zip"},    {"RAR Archives (.rar)", "rar"},    {"TAR Archives (.tar)", "tar"},
      {"GZIP Archives (.gzip)", "gzip"}, {"7-Zip Archives (.7z)", "7z"},    {"Cabinet Files (.cab)", "cab"},
      {"ARJ Archives (.arj)", "arj"},    {"LZH Archives (.lzh)", "lzh"},    {"ACE Archives (.ace)", "ace"},
      {"GZ Archives (.gz)", "gz"},       {"UUEncoded Files (.uue)", "uue"}, {"BZIP2 Archives (.bz2)", "bz2"},
      {"Java Archives (.jar)", "jar"},   {"ISO Disc Images (.iso)", "iso"},
  };
  static const OptionRow kOther[] = {
      {"Other Files (.*)", kOtherExtension, "OptOtherFileItem"},
  };

  std::vector<FileTypeGroup> groups;
  auto add = [&groups](TypeCategory category, const auto& rows) {
    FileTypeGroup group{category, {}};
    for (const OptionRow& row : rows) group.options.push_back(MakeOption(row));
    groups.push_back(std::move(group));
  };
  add(TypeCategory::Photo, kPhoto);
  add(TypeCategory::Audio, kAudio);
  add(TypeCategory::Video, kVideo);
  add(TypeCategory::Office, kOffice);
  add(TypeCategory::Zip, kZip);
  add(TypeCategory::Other, kOther);
  return groups;
}

const FileTypeGroup& GroupOf(TypeCategory category) { return ShippedFileTypeGroups().at(Index(category)); }

// Calls f with each extension of a "a|b|c" list.
template <typename F>
void ForEachExtension(std::string_view list, F&& f) {
  while (true) {
    const std::size_t bar = list.find('|');
    const std::string_view part = list.substr(0, bar);
    if (!part.empty()) f(part);
    if (bar == std::string_view::npos) break;
    list.remove_prefix(bar + 1);
  }
}

bool ListCarries(std::string_view list, std::string_view extension) {
  bool found = false;
  ForEachExtension(list, [&](std::string_view part) { found = found || part == extension; });
  return found;
}

// FormatSize takes a signed count; sizes past its range (a hostile record, or a saturated sum)
// are still shown in terabytes rather than as a negative number.
std::string SizeText(std::uint64_t bytes) {
  if (bytes > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return Format("%.2f TB", static_cast<double>(bytes) / static_cast<double>(std::uint64_t{1} << 40));
  return FormatSize(static_cast<std::int64_t>(bytes));
}

std::string TextOf(const ResultModel::Texts& texts, const std::string& key) {
  return texts ? texts(key) : std::string();
}

std::string WithCount(const std::string& label, std::size_t count) {
  return label + " (" + std::to_string(count) + ")";
}

std::string_view NameOf(const FoundFileRecord& record) { return FieldText(record.name, kRecordNameSize); }

std::string TypeText(const FoundFileRecord& record) {
  if (record.isFolder != 0) return "folder";
  const std::string_view name = NameOf(record);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == name.size()) return "file";
  return std::string(name.substr(dot + 1));
}

CheckState StateOf(std::size_t selected, std::size_t total) {
  if (selected == 0) return CheckState::Unchecked;
  return selected == total ? CheckState::Checked : CheckState::Partial;
}

}  // namespace

const char* CategoryNodeName(TypeCategory category) {
  static constexpr const char* kNames[] = {"NodePhoto", "NodeAudio", "NodeVideo", "NodeOffice", "NodeZip", "NodeOther"};
  return kNames[Index(category)];
}

const char* CategoryGroupName(TypeCategory category) {
  static constexpr const char* kNames[] = {"FileTypePhoto",  "FileTypeAudio", "FileTypeVideo",
                                           "FileTypeOffice", "FileTypeZip",   "FileTypeOther"};
  return kNames[Index(category)];
}

const char* CategoryTextKey(TypeCategory category) {
  static constexpr const char* kKeys[] = {"MSG0807", "MSG0808", "MSG0809", "MSG0810", "MSG0811", "MSG0812"};
  return kKeys[Index(category)];
}

const char* CategoryCheckName(TypeCategory category) {
  static constexpr const char* kNames[] = {"ChkPhoto", "ChkMusic", "ChkVideo", "ChkOffice", "ChkArchive", "ChkOther"};
  return kNames[Index(category)];
}

const std::vector<FileTypeGroup>& ShippedFileTypeGroups() {
  static const std::vector<FileTypeGroup> groups = MakeShippedGroups();
  return groups;
}

std::vector<KnownFileType> ListKnownFileTypes() {
  std::map<std::pair<std::size_t, std::string>, KnownFileType> known;
  for (const FileTypeGroup& group : ShippedFileTypeGroups()) {
    for (const FileTypeOption& option : group.options) {
      if (option.extensions == kOtherExtension) continue;
      ForEachExtension(option.extensions, [&](std::string_view extension) {
        // An extension two groups offer (rm) belongs to the first, as a found file's does.
        for (const auto& [key, type] : known)
          if (type.extension == extension) return;
        KnownFileType type{std::string(extension), group.category, CarvedExtension(extension), option.text};
        known.emplace(std::make_pair(Index(group.category), type.extension), std::move(type));
      });
    }
  }
  // Carved types without an option are listed under Other Files, whatever their folder.
  const std::string otherText = GroupOf(TypeCategory::Other).options.front().text;
  for (const FileFormatEntry& row : FileFormatTable()) {
    // A carved file is named by its type's first row; the other rows are aliases it never carries.
    if (FirstRowForType(row.typeId) != &row) continue;
    const std::string extension = row.extension;
    bool listed = false;
    for (const auto& [key, type] : known) listed = listed || type.extension == extension;
    if (listed) continue;
    KnownFileType type{extension, TypeCategory::Other, row.extentRule != nullptr, otherText};
    known.emplace(std::make_pair(Index(TypeCategory::Other), extension), std::move(type));
  }
  std::vector<KnownFileType> out;
  out.reserve(known.size());
  for (auto& [key, type] : known) out.push_back(std::move(type));
  return out;
}

std::string OptionLabel(std::string_view optionText) {
  const std::size_t open = optionText.find('(');
  if (open == std::string_view::npos) return std::string(optionText);
  if (open == 0) return std::string();
  return std::string(optionText.substr(0, open - 1));
}

std::string ResultExtension(std::string_view fileName) {
  const std::size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == fileName.size()) return "unknow";
  const std::string ext = ToLowerAscii(fileName.substr(dot + 1));
  static const std::map<std::string, std::string, std::less<>> kShownUnder = {
      {"jpeg", "jpg"}, {"tiff", "tif"}, {"scr", "pcx"},  {"midi", "mid"}, {"m4p", "m4a"},
      {"docx", "doc"}, {"xlsx", "xls"}, {"pptx", "ppt"}, {"htm", "html"}};
  const auto it = kShownUnder.find(ext);
  return it != kShownUnder.end() ? it->second : ext;
}

std::string RecordTimeText(std::uint64_t fileTime) {
  if (fileTime == 0) return kNoTime;
  // Whole seconds since 1601-01-01; every uint64 value fits the signed arithmetic below.
  const std::uint64_t seconds = fileTime / 10000000u;
  const auto secondOfDay = static_cast<int>(seconds % 86400u);
  // Days since 1970-01-01 (1601-01-01 lies 134774 days before it), then the civil date.
  const std::int64_t days = static_cast<std::int64_t>(seconds / 86400u) - 134774;
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t dayOfEra = z - era * 146097;
  const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t mp = (5 * dayOfYear + 2) / 153;
  const auto day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
  const auto month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const auto year = static_cast<long long>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
  return Format("%lld-%d-%d %02d:%02d:%02d", year, month, day, secondOfDay / 3600, secondOfDay / 60 % 60,
                secondOfDay % 60);
}

// --- the file-type page -------------------------------------------------------------------------------

FileTypeSelection::FileTypeSelection() {
  for (TypeCategory category : kCategories) selected_[Index(category)].assign(GroupOf(category).options.size(), true);
}

void FileTypeSelection::SetOption(TypeCategory category, std::size_t option, bool selected) {
  std::vector<bool>& flags = selected_[Index(category)];
  if (option < flags.size()) flags[option] = selected;
}

bool FileTypeSelection::OptionSelected(TypeCategory category, std::size_t option) const {
  const std::vector<bool>& flags = selected_[Index(category)];
  return option < flags.size() && flags[option];
}

void FileTypeSelection::SetCategory(TypeCategory category, bool selected) {
  std::vector<bool>& flags = selected_[Index(category)];
  flags.assign(flags.size(), selected);
}

bool FileTypeSelection::CategoryAnySelected(TypeCategory category) const {
  const std::vector<bool>& flags = selected_[Index(category)];
  return std::find(flags.begin(), flags.end(), true) != flags.end();
}

bool FileTypeSelection::CategoryAllSelected(TypeCategory category) const {
  const std::vector<bool>& flags = selected_[Index(category)];
  return std::find(flags.begin(), flags.end(), false) == flags.end();
}

bool FileTypeSelection::AnySelected() const {
  return std::any_of(std::begin(kCategories), std::end(kCategories),
                     [this](TypeCategory c) { return CategoryAnySelected(c); });
}

bool FileTypeSelection::OtherFilesSelected() const {
  for (TypeCategory category : kCategories) {
    const FileTypeGroup& group = GroupOf(category);
    for (std::size_t i = 0; i < group.options.size(); ++i)
      if (OptionSelected(category, i) && ListCarries(group.options[i].extensions, kOtherExtension)) return true;
  }
  return false;
}

std::optional<FileTypeSelection::Match> FileTypeSelection::OptionFor(std::string_view extension) const {
  for (TypeCategory category : kCategories) {
    const FileTypeGroup& group = GroupOf(category);
    for (std::size_t i = 0; i < group.options.size(); ++i)
      if (OptionSelected(category, i) && ListCarries(group.options[i].extensions, extension))
        return Match{category, &group.options[i]};
  }
  return std::nullopt;
}

std::string FileTypeSelection::SearchPattern() const {
  if (!AnySelected())
    return BuildSearchPattern(
        {TypeGroup::Photo, TypeGroup::Audio, TypeGroup::Video, TypeGroup::Document, TypeGroup::Archive}, {});
  std::set<std::string> extensions;
  for (TypeCategory category : kCategories) {
    const FileTypeGroup& group = GroupOf(category);
    for (std::size_t i = 0; i < group.options.size(); ++i) {
      if (!OptionSelected(category, i)) continue;
      ForEachExtension(group.options[i].extensions, [&](std::string_view e) {
        if (e != kOtherExtension) extensions.emplace(e);
      });
    }
  }
  std::vector<std::string> parts(extensions.begin(), extensions.end());
  // The engines read ".other" in the pattern as "and every extension none of their lists knows",
  // as the command line's pattern for the other group does.
  if (OtherFilesSelected()) parts.emplace_back(kOtherExtension);
  std::string pattern;
  for (const std::string& e : parts) {
    if (!pattern.empty()) pattern += '|';
    pattern += "*." + e;
  }
  return pattern;
}

// --- the type tree and the file list -------------------------------------------------------------------

std::size_t CategoryNode::FileCount() const {
  std::size_t count = 0;
  for (const TypeNode& node : children) count += node.records.size();
  return count;
}

ResultModel::ResultModel() {
  for (TypeCategory category : kCategories) categories_[Index(category)].category = category;
}

void ResultModel::Rebuild(RecordList results, const FileTypeSelection& types, const Texts& texts) {
  results_ = std::move(results);
  folders_.clear();
  opened_.reset();
  openedFolder_.reset();
  BuildTree(types, texts);
  for (const CategoryNode& category : categories_) {
    if (category.children.empty()) continue;
    OpenNode(NodeRef{category.category, 0});
    break;
  }
}

void ResultModel::SetFolders(std::vector<std::string> folders, const Texts& texts) {
  folders_ = std::move(folders);
  BuildFolders(texts);
  FillRows();
}

const std::string& ResultModel::FolderOf(std::size_t result) const {
  static const std::string kNone;
  return result < folders_.size() ? folders_[result] : kNone;
}

void ResultModel::SetFilter(const RecordFilter& filter, const FileTypeSelection& types, const Texts& texts) {
  filter_ = filter;
  // The open node is found again by what it is, not by its place, which the filter may change.
  std::optional<std::pair<TypeCategory, std::string>> was;
  if (opened_)
    if (const TypeNode* node = Node(*opened_)) was.emplace(opened_->category, node->extension);
  std::optional<std::pair<std::string, bool>> wasFolder;
  if (openedFolder_ && *openedFolder_ < folderNodes_.size())
    wasFolder.emplace(folderNodes_[*openedFolder_].path, folderNodes_[*openedFolder_].carved);
  opened_.reset();
  openedFolder_.reset();
  BuildTree(types, texts);
  BuildFolders(texts);
  if (wasFolder) {
    // The same folder, else the root: the folder view stays the folder view.
    std::size_t again = 0;
    for (std::size_t i = 0; i < folderNodes_.size(); ++i)
      if (folderNodes_[i].path == wasFolder->first && folderNodes_[i].carved == wasFolder->second) again = i;
    OpenFolder(again);
    return;
  }
  if (was) {
    const std::vector<TypeNode>& children = Category(was->first).children;
    for (std::size_t i = 0; i < children.size(); ++i)
      if (children[i].extension == was->second) {
        OpenNode(NodeRef{was->first, i});
        return;
      }
  }
  for (const CategoryNode& category : categories_) {
    if (category.children.empty()) continue;
    OpenNode(NodeRef{category.category, 0});
    return;
  }
  rows_.clear();
}

void ResultModel::BuildTree(const FileTypeSelection& types, const Texts& texts) {
  rows_.clear();
  for (TypeCategory category : kCategories) {
    CategoryNode& node = categories_[Index(category)];
    node.category = category;
    node.children.clear();
  }

  std::map<std::string, std::vector<std::size_t>> byExtension;
  for (std::size_t i = 0; i < results_.size(); ++i)
    if (filter_.Matches(results_[i])) byExtension[ResultExtension(NameOf(results_[i]))].push_back(i);

  const bool otherSelected = types.OtherFilesSelected();
  for (auto& [extension, records] : byExtension) {
    TypeNode node;
    TypeCategory category = TypeCategory::Other;
    if (const auto match = types.OptionFor(extension)) {
      category = match->category;
      node.label = OptionLabel(match->option->text);
    } else if (otherSelected) {
      std::string upper = extension;
      for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      node.label = upper + " Files";
    } else {
      continue;  // a type the user did not ask for
    }
    node.extension = extension;
    node.text = WithCount(node.label, records.size());
    node.records = std::move(records);
    categories_[Index(category)].children.push_back(std::move(node));
  }

  // Files of no type at all are the least interesting: they go last.
  std::vector<TypeNode>& others = categories_[Index(TypeCategory::Other)].children;
  std::stable_partition(others.begin(), others.end(), [](const TypeNode& n) { return n.extension != "unknow"; });

  Retranslate(texts);
}

void ResultModel::Retranslate(const Texts& texts) {
  for (CategoryNode& node : categories_) {
    const std::string text = TextOf(texts, CategoryTextKey(node.category));
    node.text = node.children.empty() ? text : WithCount(text, node.FileCount());
  }
  for (std::size_t i = 0; i < folderNodes_.size(); ++i) {
    FolderNode& node = folderNodes_[i];
    if (i == 0 || node.carved) node.name = TextOf(texts, i == 0 ? "FolderRoot" : "FolderCarved");
    node.text = WithCount(node.name, node.fileCount);
  }
}

const CategoryNode& ResultModel::Category(TypeCategory category) const { return categories_.at(Index(category)); }

const TypeNode* ResultModel::Node(const NodeRef& ref) const {
  if (!ref.child) return nullptr;
  const std::vector<TypeNode>& children = Category(ref.category).children;
  return *ref.child < children.size() ? &children[*ref.child] : nullptr;
}

void ResultModel::OpenNode(const NodeRef& ref) {
  if (Node(ref) == nullptr) return;
  opened_ = ref;
  openedFolder_.reset();
  FillRows();
}

void ResultModel::OpenFolder(std::size_t node) {
  if (node >= folderNodes_.size()) return;
  openedFolder_ = node;
  opened_.reset();
  FillRows();
}

void ResultModel::FillRows() {
  if (openedFolder_ && *openedFolder_ < folderNodes_.size()) {
    rows_ = folderNodes_[*openedFolder_].records;
  } else {
    const TypeNode* node = opened_ ? Node(*opened_) : nullptr;
    rows_ = node != nullptr ? node->records : std::vector<std::size_t>();
  }
  SortRows();
}

void ResultModel::BuildFolders(const Texts& texts) {
  folderNodes_.clear();
  folderNodes_.emplace_back();
  folderNodes_[0].name = TextOf(texts, "FolderRoot");
  // The files of the type tree, in result order, so that both views show the same.
  std::vector<std::size_t> files;
  for (const CategoryNode& category : categories_)
    for (const TypeNode& node : category.children) files.insert(files.end(), node.records.begin(), node.records.end());
  std::sort(files.begin(), files.end());
  std::map<std::string, std::size_t> byPath;  // path -> node
  std::optional<std::size_t> carvedNode;
  for (std::size_t i : files) {
    const FoundFileRecord& record = results_[i];
    if (record.isFolder != 0) continue;  // folders are the nodes themselves
    const std::string& folder = FolderOf(i);
    std::size_t at = 0;
    if (folder.empty() && record.engineTag == kTagFileType) {
      if (!carvedNode) {
        carvedNode = folderNodes_.size();
        folderNodes_.emplace_back();
        folderNodes_.back().name = TextOf(texts, "FolderCarved");
        folderNodes_.back().carved = true;
      }
      at = *carvedNode;
    } else {
      // One node per component; the path's length bounds the walk.
      std::size_t from = 0;
      while (from < folder.size()) {
        std::size_t cut = folder.find_first_of("/\\", from);
        if (cut == std::string::npos) cut = folder.size();
        if (cut > from) {
          const std::string path = folder.substr(0, cut + 1 <= folder.size() ? cut + 1 : cut);
          auto [it, added] = byPath.emplace(path, folderNodes_.size());
          if (added) {
            FolderNode node;
            node.name = folder.substr(from, cut - from);
            node.path = path;
            node.parent = at;
            folderNodes_.push_back(std::move(node));
            folderNodes_[at].children.push_back(it->second);
          }
          at = it->second;
        }
        from = cut + 1;
      }
    }
    folderNodes_[at].records.push_back(i);
  }
  if (carvedNode) folderNodes_[0].children.push_back(*carvedNode);
  // Children by name, the carved node last; counts from the leaves up (children come after
  // their parents in the vector).
  for (FolderNode& node : folderNodes_)
    std::stable_sort(node.children.begin(), node.children.end(), [this](std::size_t a, std::size_t b) {
      if (folderNodes_[a].carved != folderNodes_[b].carved) return folderNodes_[b].carved;
      return CompareNoCase(folderNodes_[a].name, folderNodes_[b].name) < 0;
    });
  for (std::size_t n = folderNodes_.size(); n-- > 0;) {
    FolderNode& node = folderNodes_[n];
    node.fileCount += node.records.size();
    if (n != 0) folderNodes_[node.parent].fileCount += node.fileCount;
  }
  for (FolderNode& node : folderNodes_) node.text = WithCount(node.name, node.fileCount);
}

std::vector<std::size_t> ResultModel::FilesBelow(std::size_t node) const {
  std::vector<std::size_t> files;
  if (node >= folderNodes_.size()) return files;
  std::vector<std::size_t> pending{node};
  // Every node is visited once: each has one parent, and children come after it.
  while (!pending.empty()) {
    const FolderNode& at = folderNodes_[pending.back()];
    pending.pop_back();
    files.insert(files.end(), at.records.begin(), at.records.end());
    pending.insert(pending.end(), at.children.begin(), at.children.end());
  }
  return files;
}


const FoundFileRecord& ResultModel::RowRecord(std::size_t row) const { return results_.at(rows_.at(row)); }

std::string ResultModel::CellText(std::size_t row, FileColumn column) const {
  const FoundFileRecord& record = RowRecord(row);
  switch (column) {
    case FileColumn::FileName: return std::string(NameOf(record));
    case FileColumn::Size: {
      if (record.isFolder != 0) return std::string();
      const std::uint64_t size = record.size;
      return SizeText(size);
    }
    case FileColumn::ModifiedTime: {
      const std::uint64_t time = record.modifiedTime;
      return RecordTimeText(time);
    }
    case FileColumn::CreatedTime: {
      const std::uint64_t time = record.createdTime;
      return RecordTimeText(time);
    }
    case FileColumn::Path: return FolderOf(rows_.at(row));
    case FileColumn::Type: return TypeText(record);
    case FileColumn::Condition: return ConditionText(ConditionOf(record));
  }
  return std::string();
}

// --- checking --------------------------------------------------------------------------------------------

namespace {

void SetChecked(SelectionMap& selection, const FoundFileRecord& record, bool checked) {
  if (checked) {
    selection.emplace(SelectionKey(record), record);
  } else {
    selection.erase(SelectionKey(record));
  }
}

std::size_t CountSelected(const SelectionMap& selection, const RecordList& results,
                          const std::vector<std::size_t>& indices) {
  std::size_t count = 0;
  for (std::size_t i : indices)
    if (selection.count(SelectionKey(results[i])) != 0) ++count;
  return count;
}

}  // namespace

void ResultModel::SetFolderChecked(std::size_t node, bool checked) {
  for (std::size_t i : FilesBelow(node)) SetChecked(selection_, results_[i], checked);
}

CheckState ResultModel::FolderCheck(std::size_t node) const {
  const std::vector<std::size_t> files = FilesBelow(node);
  return StateOf(CountSelected(selection_, results_, files), files.size());
}

void ResultModel::SetRowChecked(std::size_t row, bool checked) { SetChecked(selection_, RowRecord(row), checked); }

void ResultModel::SetNodeChecked(const NodeRef& ref, bool checked) {
  auto apply = [&](const TypeNode& node) {
    for (std::size_t i : node.records) SetChecked(selection_, results_[i], checked);
  };
  if (ref.child) {
    if (const TypeNode* node = Node(ref)) apply(*node);
    return;
  }
  for (const TypeNode& node : Category(ref.category).children) apply(node);
}

void ResultModel::SetAllRowsChecked(bool checked) {
  for (std::size_t i : rows_) SetChecked(selection_, results_[i], checked);
}

bool ResultModel::RowChecked(std::size_t row) const { return selection_.count(SelectionKey(RowRecord(row))) != 0; }

std::size_t ResultModel::CheckedRowCount() const { return CountSelected(selection_, results_, rows_); }

CheckState ResultModel::NodeCheck(const NodeRef& ref) const {
  if (ref.child) {
    const TypeNode* node = Node(ref);
    if (node == nullptr) return CheckState::Unchecked;
    return StateOf(CountSelected(selection_, results_, node->records), node->records.size());
  }
  std::size_t selected = 0;
  std::size_t total = 0;
  for (const TypeNode& node : Category(ref.category).children) {
    selected += CountSelected(selection_, results_, node.records);
    total += node.records.size();
  }
  return StateOf(selected, total);
}

CheckState ResultModel::AllRowsCheck() const { return StateOf(CheckedRowCount(), rows_.size()); }

// --- sorting ---------------------------------------------------------------------------------------------

void ResultModel::SortBy(FileColumn column) {
  int& direction = directions_[static_cast<std::size_t>(column)];
  switch (column) {
    case FileColumn::Size:
    case FileColumn::ModifiedTime:
    case FileColumn::CreatedTime: direction = direction == -1 ? 1 : -1; break;
    case FileColumn::FileName:
    case FileColumn::Path:
    case FileColumn::Type:
    case FileColumn::Condition: direction = direction == 1 ? -1 : 1; break;
  }
  sortColumn_ = column;
  // From result order again, so that equal rows keep it whatever was sorted before.
  FillRows();
}

int ResultModel::Direction(FileColumn column) const { return directions_.at(static_cast<std::size_t>(column)); }

void ResultModel::SortRows() {
  if (!sortColumn_ || rows_.size() < 2) return;
  const FileColumn column = *sortColumn_;
  // <0, 0, >0 in ascending order.
  auto compare = [this, column](std::size_t ia, std::size_t ib) -> int {
    const FoundFileRecord& a = results_[ia];
    const FoundFileRecord& b = results_[ib];
    switch (column) {
      case FileColumn::Size: {
        const bool folderA = a.isFolder != 0;
        const bool folderB = b.isFolder != 0;
        if (folderA != folderB) return folderA ? -1 : 1;
        const auto sa = static_cast<std::int64_t>(std::uint64_t{a.size});
        const auto sb = static_cast<std::int64_t>(std::uint64_t{b.size});
        return sa < sb ? -1 : (sa > sb ? 1 : 0);
      }
      // By the time itself: the shown texts do not sort by date (10 sorts before 9).
      case FileColumn::ModifiedTime: {
        const std::uint64_t ta = a.modifiedTime;
        const std::uint64_t tb = b.modifiedTime;
        return ta < tb ? -1 : (ta > tb ? 1 : 0);
      }
      case FileColumn::CreatedTime: {
        const std::uint64_t ta = a.createdTime;
        const std::uint64_t tb = b.createdTime;
        return ta < tb ? -1 : (ta > tb ? 1 : 0);
      }
      case FileColumn::FileName: return CompareNoCase(NameOf(a), NameOf(b));
      case FileColumn::Type: return CompareNoCase(TypeText(a), TypeText(b));
      case FileColumn::Path: return CompareNoCase(FolderOf(ia), FolderOf(ib));
      case FileColumn::Condition: {
        const auto ca = static_cast<int>(ConditionOf(a)), cb = static_cast<int>(ConditionOf(b));
        return ca < cb ? -1 : (ca > cb ? 1 : 0);
      }
    }
    return 0;
  };
  const bool descending = directions_[static_cast<std::size_t>(column)] < 0;
  std::stable_sort(rows_.begin(), rows_.end(),
                   [&](std::size_t a, std::size_t b) { return descending ? compare(b, a) < 0 : compare(a, b) < 0; });
}

// --- the selection line ------------------------------------------------------------------------------------

void ResultModel::ClearSelection() { selection_.clear(); }

std::uint64_t ResultModel::SelectedBytes() const {
  std::uint64_t total = 0;
  for (const auto& [key, record] : selection_) {
    const std::uint64_t size = record.size;
    total = size > std::numeric_limits<std::uint64_t>::max() - total ? std::numeric_limits<std::uint64_t>::max()
                                                                     : total + size;
  }
  return total;
}

std::string ResultModel::SelectionInfo(const Texts& messages) const {
  if (selection_.empty()) return TextOf(messages, "MSG0803");
  return FillCatalogText(TextOf(messages, "MSG0804"), {SizeText(SelectedBytes()), std::to_string(selection_.size())});
}

}  // namespace rexmoor
