#include "app/result_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/file_identity.h"
#include "app/type_patterns.h"
#include "engine/file_type_lists.h"
#include "engine/scan_catalogue.h"
#include "formats/file_format_table.h"
#include "platform/text.h"
#include "test_support.h"

namespace rexmoor {
namespace {

// FILETIMEs of known UTC instants (seconds from `date -u +%s`, plus 11644473600, times 10^7).
constexpr std::uint64_t k20240309_080501 = 133544451010000000ull;
constexpr std::uint64_t k20240229_120000 = 133536816000000000ull;
constexpr std::uint64_t k19000301_000000 = 94405824000000000ull;
constexpr std::uint64_t k20230915_100000 = 133392456000000000ull;
constexpr std::uint64_t k20231002_090000 = 133407108000000000ull;

FoundFileRecord Rec(const char* name, std::uint32_t id, std::uint64_t size = 100, bool folder = false,
                    std::uint16_t source = 'C') {
  FoundFileRecord r = MakeEmptyRecord();
  CopyToField(name, r.name, kRecordNameSize);
  r.recordId = id;
  r.sourceTag = source;
  r.engineTag = kTagFastNtfs;
  r.size = size;
  r.isFolder = folder ? 1 : 0;
  return r;
}

std::string EnglishText(const std::string& key) {
  static const std::pair<const char*, const char*> kTexts[] = {{"MSG0807", "Photo"},
                                                               {"MSG0808", "Audio"},
                                                               {"MSG0809", "Video"},
                                                               {"MSG0810", "Office"},
                                                               {"MSG0811", "Zip"},
                                                               {"MSG0812", "Other"},
                                                               {"MSG0803", "No file selected"},
                                                               {"MSG0804", "Selected: %s in %d files"},
                                                               {"FolderRoot", "All folders"},
                                                               {"FolderCarved", "Found by content"}};
  for (const auto& [k, v] : kTexts)
    if (key == k) return v;
  return "?" + key;
}

std::vector<std::string> SplitBars(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t bar = text.find('|', start);
    parts.push_back(text.substr(start, bar - start));
    if (bar == std::string::npos) return parts;
    start = bar + 1;
  }
}

// Index of the option carrying the extension inside its group.
std::size_t OptionIndex(TypeCategory category, const std::string& firstExtension) {
  const auto& options = ShippedFileTypeGroups().at(static_cast<std::size_t>(category)).options;
  for (std::size_t i = 0; i < options.size(); ++i)
    if (SplitBars(options[i].extensions).front() == firstExtension) return i;
  ADD_FAILURE() << "no option for " << firstExtension;
  return 0;
}

FileTypeSelection Nothing() {
  FileTypeSelection types;
  for (std::size_t c = 0; c < kTypeCategoryCount; ++c) types.SetCategory(static_cast<TypeCategory>(c), false);
  return types;
}

FileTypeSelection Only(TypeCategory category, const std::string& firstExtension) {
  FileTypeSelection types = Nothing();
  types.SetOption(category, OptionIndex(category, firstExtension), true);
  return types;
}

std::vector<std::string> ColumnTexts(const ResultModel& model, FileColumn column) {
  std::vector<std::string> texts;
  for (std::size_t row = 0; row < model.RowCount(); ++row) texts.push_back(model.CellText(row, column));
  return texts;
}

std::vector<std::string> ChildTexts(const ResultModel& model, TypeCategory category) {
  std::vector<std::string> texts;
  for (const TypeNode& node : model.Category(category).children) texts.push_back(node.text);
  return texts;
}

using Names = std::vector<std::string>;

// --- the shipped options and the type selection ------------------------------------------------------------

TEST(FileTypeSelection, ShippedGroupsHaveTheirOptionsOnceAndTextsNameTheirExtensions) {
  const auto& groups = ShippedFileTypeGroups();
  ASSERT_EQ(groups.size(), kTypeCategoryCount);
  const std::size_t expectedCounts[] = {48, 24, 30, 27, 14, 1};
  std::set<std::string> names;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    EXPECT_EQ(groups[g].category, static_cast<TypeCategory>(g));
    EXPECT_EQ(groups[g].options.size(), expectedCounts[g]) << CategoryGroupName(groups[g].category);
    std::set<std::string> extensionsInGroup;
    for (const FileTypeOption& option : groups[g].options) {
      EXPECT_TRUE(names.insert(option.name).second) << "duplicate control " << option.name;
      EXPECT_EQ(option.extensions, ToLowerAscii(option.extensions));
      std::string listed;  // "(.a .b)" as the text must show it
      for (const std::string& e : SplitBars(option.extensions)) {
        EXPECT_TRUE(extensionsInGroup.insert(e).second) << "extension twice in a group: " << e;
        listed += (listed.empty() ? "(." : " .") + e;
      }
      if (option.extensions != "other") {
        EXPECT_NE(option.text.find(" " + listed + ")"), std::string::npos) << option.text;
        EXPECT_EQ(option.name.rfind("Opt", 0), 0u) << option.name;
      }
    }
  }
  const FileTypeOption& other = groups.back().options.at(0);
  EXPECT_EQ(other.name, "OptOtherFileItem");
  EXPECT_EQ(other.extensions, "other");
  EXPECT_EQ(other.text, "Other Files (.*)");
  EXPECT_EQ(groups[0].options.at(0).name, "OptBmp");

  // Formats that once shared the cr2 entry, and the video typo, are options of their own.
  FileTypeSelection types;
  for (const char* ext : {"k25", "mrw", "dng", "cr2", "mqv"}) {
    const auto match = types.OptionFor(ext);
    ASSERT_TRUE(match) << ext;
    EXPECT_EQ(match->option->extensions, ext);
  }
  EXPECT_EQ(types.OptionFor("k25")->option->text, "Kodak (.k25)");
  EXPECT_EQ(types.OptionFor("mqv")->option->text, "MQV Files (.mqv)");
  EXPECT_FALSE(types.OptionFor("mvq"));
}

TEST(FileTypeSelection, OptionForMatchesWholeExtensionsOfSelectedOptionsInGroupOrder) {
  FileTypeSelection types;
  const auto jpeg = types.OptionFor("jpeg");
  ASSERT_TRUE(jpeg);
  EXPECT_EQ(jpeg->category, TypeCategory::Photo);
  EXPECT_EQ(jpeg->option->name, "OptJpg");
  EXPECT_FALSE(types.OptionFor("jp"));  // a part of "jpg|jpeg" is no extension of it
  EXPECT_FALSE(types.OptionFor("jpg|jpeg"));
  EXPECT_FALSE(types.OptionFor("unknow"));

  // .rm is both a sound and a video type: the audio group comes first.
  EXPECT_EQ(types.OptionFor("rm")->category, TypeCategory::Audio);
  types.SetOption(TypeCategory::Audio, OptionIndex(TypeCategory::Audio, "rm"), false);
  EXPECT_EQ(types.OptionFor("rm")->category, TypeCategory::Video);
  types.SetCategory(TypeCategory::Video, false);
  EXPECT_FALSE(types.OptionFor("rm"));
  EXPECT_FALSE(types.OptionFor("mp4"));
}

TEST(FileTypeSelection, CategoryAndOtherStatesFollowTheOptions) {
  FileTypeSelection types;
  EXPECT_TRUE(types.CategoryAllSelected(TypeCategory::Photo));
  EXPECT_TRUE(types.OtherFilesSelected());
  types.SetOption(TypeCategory::Photo, 3, false);
  EXPECT_FALSE(types.OptionSelected(TypeCategory::Photo, 3));
  EXPECT_TRUE(types.CategoryAnySelected(TypeCategory::Photo));
  EXPECT_FALSE(types.CategoryAllSelected(TypeCategory::Photo));
  types.SetOption(TypeCategory::Photo, 1000, false);  // out of range: ignored
  EXPECT_FALSE(types.OptionSelected(TypeCategory::Photo, 1000));

  types.SetCategory(TypeCategory::Other, false);
  EXPECT_FALSE(types.OtherFilesSelected());
  EXPECT_FALSE(types.CategoryAnySelected(TypeCategory::Other));
  EXPECT_TRUE(types.AnySelected());
  EXPECT_FALSE(Nothing().AnySelected());
}

TEST(FileTypeSelection, DefaultPatternHasEverySelectedExtensionOnceInOrderAndOtherFiles) {
  const std::vector<std::string> parts = SplitBars(FileTypeSelection().SearchPattern());
  ASSERT_FALSE(parts.empty());
  EXPECT_EQ(parts.back(), "*.other");
  const std::vector<std::string> extensions(parts.begin(), parts.end() - 1);
  EXPECT_TRUE(std::is_sorted(extensions.begin(), extensions.end()));
  EXPECT_EQ(std::set<std::string>(extensions.begin(), extensions.end()).size(), extensions.size());
  for (const char* want : {"*.jpg", "*.jpeg", "*.tiff", "*.docx", "*.rm", "*.k25", "*.mqv"})
    EXPECT_EQ(std::count(parts.begin(), parts.end(), want), 1) << want;
  EXPECT_EQ(std::count(parts.begin(), parts.end(), "*.other"), 1);
}

TEST(FileTypeSelection, PatternOfChosenOptionsAndOfNothing) {
  EXPECT_EQ(Only(TypeCategory::Photo, "png").SearchPattern(), "*.png");
  EXPECT_EQ(Only(TypeCategory::Photo, "jpg").SearchPattern(), "*.jpeg|*.jpg");
  EXPECT_EQ(Only(TypeCategory::Other, "other").SearchPattern(), "*.other");
  FileTypeSelection two = Only(TypeCategory::Other, "other");
  two.SetOption(TypeCategory::Zip, OptionIndex(TypeCategory::Zip, "zip"), true);
  EXPECT_EQ(two.SearchPattern(), "*.zip|*.other");

  const std::string lists = std::string(kPictureList) + "|" + std::string(kAudioList) + "|" + std::string(kVideoList) +
                            "|" + std::string(kDocumentList) + "|" + std::string(kArchiveList);
  EXPECT_EQ(Nothing().SearchPattern(), lists);
}

// The pattern is only useful if the engines read it as meant: the catalogue filter behind every
// engine's FilterByType gets it converted, as the search job hands it on.
TEST(FileTypeSelection, CatalogueFilterReturnsWhatThePatternSelects) {
  test::TempDir dir;
  ScanCatalogue catalogue;
  ASSERT_EQ(catalogue.OpenCatalogueIn(dir.path(), "Pro_Fat_0_1"), kSuccess);
  for (const char* name : {"photo.jpg", "scan.TIFF", "readme.xyz", "noext", "song.mp3"}) {
    FoundFileRecord* slot = catalogue.AppendRecord();
    slot->recordId = catalogue.RecordCount();
    slot->contentState = 1;
    SetRecordName(*slot, name);
  }
  auto found = [&catalogue](const FileTypeSelection& types) {
    RecordList out;
    catalogue.FilterByExtensions(ConvertSearchPattern(types.SearchPattern()), out);
    Names names;
    for (const FoundFileRecord& r : out) names.emplace_back(RecordName(r));
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(found(FileTypeSelection()), (Names{"noext", "photo.jpg", "readme.xyz", "scan.TIFF", "song.mp3"}));
  EXPECT_EQ(found(Only(TypeCategory::Other, "other")), (Names{"noext", "readme.xyz"}));
  EXPECT_EQ(found(Only(TypeCategory::Photo, "tif")), (Names{"scan.TIFF"}));
}

// --- extensions and cell texts ------------------------------------------------------------------------------

TEST(ResultModel, ExtensionsAreLowerCasedNormalisedOrUnknown) {
  const std::pair<const char*, const char*> kCases[] = {
      {"A.JPEG", "jpg"},  {"b.Tiff", "tif"},    {"c.scr", "pcx"},        {"d.MIDI", "mid"},      {"e.m4p", "m4a"},
      {"f.docx", "doc"},  {"g.XLSX", "xls"},    {"h.pptx", "ppt"},       {"i.htm", "html"},      {"j.Png", "png"},
      {"k.tar.gz", "gz"}, {"README", "unknow"}, {"trailing.", "unknow"}, {".profile", "profile"}};
  for (const auto& [name, ext] : kCases) EXPECT_EQ(ResultExtension(name), ext) << name;
}

TEST(ResultModel, OptionLabelDropsTheCharacterBeforeTheBracket) {
  EXPECT_EQ(OptionLabel("Bitmap (.bmp)"), "Bitmap");
  EXPECT_EQ(OptionLabel("OGG Files(.ogg)"), "OGG File");
  EXPECT_EQ(OptionLabel("JPG/JPEG (.jpg .jpeg)"), "JPG/JPEG");
  EXPECT_EQ(OptionLabel("(.x)"), "");
  EXPECT_EQ(OptionLabel("No bracket"), "No bracket");
}

TEST(ResultModel, TimeTextsAreUtcCivilDates) {
  EXPECT_EQ(RecordTimeText(k20240309_080501), "2024-3-9 08:05:01");
  EXPECT_EQ(RecordTimeText(k20240309_080501 + 9999999), "2024-3-9 08:05:01");  // fractions cut off
  EXPECT_EQ(RecordTimeText(k20240229_120000), "2024-2-29 12:00:00");
  EXPECT_EQ(RecordTimeText(k19000301_000000), "1900-3-1 00:00:00");  // 1900 had no 29 February
  EXPECT_EQ(RecordTimeText(1), "1601-1-1 00:00:00");
  EXPECT_EQ(RecordTimeText(0), "    ----    ");
  EXPECT_EQ(RecordTimeText(std::numeric_limits<std::uint64_t>::max()), "60056-5-28 05:36:10");
}

TEST(ResultModel, CellTextsOfFilesAndFolders) {
  FoundFileRecord jpeg = Rec("A.JPEG", 1, 1024);
  jpeg.modifiedTime = k20240309_080501;
  FoundFileRecord small = Rec("b.jpg", 2, 1023);
  FoundFileRecord folder = Rec("DCIM.jpg", 3, 4096, /*folder=*/true);
  ResultModel model;
  model.Rebuild({jpeg, small, folder}, FileTypeSelection(), EnglishText);
  ASSERT_EQ(model.RowCount(), 3u);
  EXPECT_EQ(ColumnTexts(model, FileColumn::FileName), (Names{"A.JPEG", "b.jpg", "DCIM.jpg"}));
  EXPECT_EQ(ColumnTexts(model, FileColumn::Size), (Names{"1.00 KB", "1023 Bytes", ""}));
  EXPECT_EQ(ColumnTexts(model, FileColumn::Type), (Names{"JPEG", "jpg", "folder"}));
  EXPECT_EQ(ColumnTexts(model, FileColumn::ModifiedTime), (Names{"2024-3-9 08:05:01", "    ----    ", "    ----    "}));
  EXPECT_EQ(ColumnTexts(model, FileColumn::CreatedTime)[0], "    ----    ");
  EXPECT_EQ(ColumnTexts(model, FileColumn::Path), (Names{"", "", ""}));  // until the folders are known
  model.SetFolders({"DCIM/100CANON/", "", "Holiday/"}, EnglishText);
  EXPECT_EQ(ColumnTexts(model, FileColumn::Path), (Names{"DCIM/100CANON/", "", "Holiday/"}));
  // An engine that did not look at the content leaves state 0: "possibly overwritten".
  EXPECT_EQ(ColumnTexts(model, FileColumn::Condition), (Names{"possibly overwritten", "possibly overwritten",
                                                              "possibly overwritten"}));

  model.Rebuild({Rec("README", 4), Rec("x.", 5), Rec("huge.bin", 6, std::numeric_limits<std::uint64_t>::max())},
                FileTypeSelection(), EnglishText);
  ASSERT_EQ(ChildTexts(model, TypeCategory::Other), (Names{"BIN Files (1)", "UNKNOW Files (2)"}));
  EXPECT_EQ(model.CellText(0, FileColumn::Size), "16777216.00 TB");  // not a negative number
  model.OpenNode(NodeRef{TypeCategory::Other, 1});
  EXPECT_EQ(ColumnTexts(model, FileColumn::Type), (Names{"file", "file"}));
}

// The search and the filters narrow the tree, its counts and the list; what was checked stays
// checked, and the open node stays open while anything in it passes.
TEST(ResultModel, FilterNarrowsTheTreeAndKeepsTheSelection) {
  FoundFileRecord a = Rec("IMG_0001.jpg", 1, 3000), b = Rec("IMG_0002.jpg", 2, 900000), c = Rec("notes.txt", 3, 40);
  FoundFileRecord d = Rec("song.mp3", 4, 5000000);
  a.contentState = c.contentState = d.contentState = 1;
  d.engineTag = kTagFileType;
  ResultModel model;
  model.Rebuild({a, b, c, d}, FileTypeSelection(), EnglishText);
  model.OpenNode(NodeRef{TypeCategory::Photo, 0});
  model.SetRowChecked(1, true);  // IMG_0002.jpg
  auto counts = [&] {
    Names texts;
    for (const CategoryNode& category : model.Categories()) texts.push_back(category.text);
    return texts;
  };
  struct Case {
    RecordFilter filter;
    Names categories;
    std::size_t rows;  // of the open node: photo while it has rows, else the first that has
  };
  RecordFilter img, big, overwritten, carved, none;
  img.name = "img_*";
  big.minSize = 4000;
  overwritten.conditions = Bit(Condition::PossiblyOverwritten);
  carved.how = Bit(FoundHow::Carved);
  none.name = "*.docx";
  const Case cases[] = {
      {img, {"Photo (2)", "Audio", "Video", "Office", "Zip", "Other"}, 2},
      {big, {"Photo (1)", "Audio (1)", "Video", "Office", "Zip", "Other"}, 1},
      {overwritten, {"Photo (1)", "Audio", "Video", "Office", "Zip", "Other"}, 1},
      {carved, {"Photo", "Audio (1)", "Video", "Office", "Zip", "Other"}, 1},
      {none, {"Photo", "Audio", "Video", "Office", "Zip", "Other"}, 0},
      {RecordFilter{}, {"Photo (2)", "Audio (1)", "Video", "Office (1)", "Zip", "Other"}, 2},
  };
  for (const Case& test : cases) {
    model.SetFilter(test.filter, FileTypeSelection(), EnglishText);
    EXPECT_EQ(counts(), test.categories) << test.filter.name;
    EXPECT_EQ(model.RowCount(), test.rows) << test.filter.name;
    EXPECT_EQ(model.Selection().size(), 1u) << "the checked file stays checked";
  }
  model.SetFilter(big, FileTypeSelection(), EnglishText);
  ASSERT_TRUE(model.OpenedNode());
  EXPECT_EQ(model.OpenedNode()->category, TypeCategory::Photo);
  EXPECT_EQ(model.CellText(0, FileColumn::FileName), "IMG_0002.jpg");
  EXPECT_EQ(model.CellText(0, FileColumn::Condition), "possibly overwritten");
  EXPECT_TRUE(model.RowChecked(0));
}

// The folder view: one node per folder the paths name (a lost parent's "LostFolder<n>" too), the
// root's own files at the root, carved files in a node of their own, counts of everything below,
// checking a folder checks its files and those below, and a filter narrows it as it does the
// type tree.
TEST(ResultModel, FolderViewMirrorsThePathsTheEnginesGave) {
  std::vector<FoundFileRecord> records = {Rec("a.jpg", 1), Rec("b.jpg", 2), Rec("c.txt", 3), Rec("d.jpg", 4),
                                          Rec("e.pdf", 5), Rec("f.jpg", 6)};
  records[4].engineTag = kTagFileType;
  ResultModel model;
  model.Rebuild(records, FileTypeSelection(), EnglishText);
  model.SetFolders({"Holiday/", "Holiday/Day 1/", "", "LostFolder12/", "", "holiday/Day 2\\"}, EnglishText);
  auto texts = [&] {
    Names out;
    std::function<void(std::size_t, int)> walk = [&](std::size_t n, int depth) {
      out.push_back(std::string(static_cast<std::size_t>(depth) * 2, ' ') + model.FolderNodes()[n].text);
      for (std::size_t child : model.FolderNodes()[n].children) walk(child, depth + 1);
    };
    walk(0, 0);
    return out;
  };
  EXPECT_EQ(texts(), (Names{"All folders (6)", "  Holiday (2)", "    Day 1 (1)", "  holiday (1)", "    Day 2 (1)",
                            "  LostFolder12 (1)", "  Found by content (1)"}));
  model.OpenFolder(0);
  EXPECT_EQ(ColumnTexts(model, FileColumn::FileName), (Names{"c.txt"}));
  EXPECT_FALSE(model.OpenedNode());
  const std::size_t holiday = model.FolderNodes()[0].children[0];
  model.OpenFolder(holiday);
  EXPECT_EQ(ColumnTexts(model, FileColumn::FileName), (Names{"a.jpg"}));
  model.SetFolderChecked(holiday, true);
  EXPECT_EQ(model.Selection().size(), 2u);  // a.jpg, and b.jpg below it
  EXPECT_EQ(model.FolderCheck(holiday), CheckState::Checked);
  EXPECT_EQ(model.FolderCheck(0), CheckState::Partial);
  EXPECT_EQ(model.NodeCheck(NodeRef{TypeCategory::Photo, std::nullopt}), CheckState::Partial);  // the same files

  RecordFilter jpegs;
  jpegs.name = "*.jpg";
  model.SetFilter(jpegs, FileTypeSelection(), EnglishText);
  EXPECT_EQ(texts(), (Names{"All folders (4)", "  Holiday (2)", "    Day 1 (1)", "  holiday (1)", "    Day 2 (1)",
                            "  LostFolder12 (1)"}));
  ASSERT_TRUE(model.OpenedFolder());
  EXPECT_EQ(model.FolderNodes()[*model.OpenedFolder()].path, "Holiday/");  // still open
  model.OpenNode(NodeRef{TypeCategory::Photo, 0});
  EXPECT_FALSE(model.OpenedFolder());
}

// --- the tree ----------------------------------------------------------------------------------------------

TEST(ResultModel, OneNodePerNormalisedExtensionWithCountsUnderItsOptionsCategory) {
  ResultModel model;
  model.Rebuild({Rec("A.JPEG", 1), Rec("song.mp3", 2), Rec("b.jpg", 3), Rec("c.png", 4), Rec("d.bmp", 5)},
                FileTypeSelection(), EnglishText);
  const CategoryNode& photo = model.Category(TypeCategory::Photo);
  EXPECT_EQ(photo.category, TypeCategory::Photo);
  EXPECT_EQ(ChildTexts(model, TypeCategory::Photo), (Names{"Bitmap (1)", "JPG/JPEG (2)", "PNG Graphics Files (1)"}));
  EXPECT_EQ(photo.children.at(1).extension, "jpg");
  EXPECT_EQ(photo.children.at(1).label, "JPG/JPEG");
  EXPECT_EQ(photo.children.at(1).records, (std::vector<std::size_t>{0, 2}));
  EXPECT_EQ(photo.text, "Photo (4)");
  EXPECT_EQ(model.Category(TypeCategory::Audio).text, "Audio (1)");
  EXPECT_EQ(model.Category(TypeCategory::Video).text, "Video");  // no children, no count
  EXPECT_TRUE(model.Category(TypeCategory::Other).children.empty());
  EXPECT_EQ(model.Category(TypeCategory::Zip).category, TypeCategory::Zip);

  // The first node of the first filled category is open, its rows in result order.
  ASSERT_EQ(model.OpenedNode(), (NodeRef{TypeCategory::Photo, 0}));
  EXPECT_EQ(ColumnTexts(model, FileColumn::FileName), (Names{"d.bmp"}));
  model.OpenNode(NodeRef{TypeCategory::Photo, 1});
  EXPECT_EQ(ColumnTexts(model, FileColumn::FileName), (Names{"A.JPEG", "b.jpg"}));
  EXPECT_EQ(model.RowResultIndex(1), 2u);
  model.OpenNode(NodeRef{TypeCategory::Photo, std::nullopt});  // a category: the list stays
  model.OpenNode(NodeRef{TypeCategory::Photo, 7});
  EXPECT_EQ(model.OpenedNode(), (NodeRef{TypeCategory::Photo, 1}));
  EXPECT_EQ(model.RowCount(), 2u);
  EXPECT_EQ(model.Node(NodeRef{TypeCategory::Photo, 7}), nullptr);
  EXPECT_EQ(model.Node(NodeRef{TypeCategory::Photo, std::nullopt}), nullptr);

  model.Retranslate([](const std::string& key) { return key == "MSG0807" ? "Fotos" : "x"; });
  EXPECT_EQ(model.Category(TypeCategory::Photo).text, "Fotos (4)");
  EXPECT_EQ(model.Category(TypeCategory::Video).text, "x");
}

TEST(ResultModel, UnknownTypesGoLastUnderOtherOnlyWhenOtherFilesAreChosen) {
  const RecordList results = {Rec("README", 1), Rec("a.xyz", 2), Rec("Photos", 3, 0, /*folder=*/true), Rec("b.abc", 4),
                              Rec("c.jpg", 5)};
  ResultModel model;
  model.Rebuild(results, FileTypeSelection(), EnglishText);
  EXPECT_EQ(ChildTexts(model, TypeCategory::Other), (Names{"ABC Files (1)", "XYZ Files (1)", "UNKNOW Files (2)"}));
  EXPECT_EQ(model.Category(TypeCategory::Other).text, "Other (4)");

  FileTypeSelection noOther;
  noOther.SetCategory(TypeCategory::Other, false);
  model.Rebuild(results, noOther, EnglishText);
  EXPECT_TRUE(model.Category(TypeCategory::Other).children.empty());
  EXPECT_EQ(model.Category(TypeCategory::Other).text, "Other");
  EXPECT_EQ(ChildTexts(model, TypeCategory::Photo), (Names{"JPG/JPEG (1)"}));

  // A type whose option is off falls to Other when that is chosen, and is shown nowhere if not.
  FileTypeSelection noJpg;
  noJpg.SetOption(TypeCategory::Photo, OptionIndex(TypeCategory::Photo, "jpg"), false);
  model.Rebuild(results, noJpg, EnglishText);
  EXPECT_TRUE(model.Category(TypeCategory::Photo).children.empty());
  EXPECT_EQ(model.Category(TypeCategory::Other).children.at(1).text, "JPG Files (1)");
  EXPECT_EQ(model.OpenedNode(), (NodeRef{TypeCategory::Other, 0}));

  noJpg.SetCategory(TypeCategory::Other, false);
  model.Rebuild(results, noJpg, EnglishText);
  for (const CategoryNode& category : model.Categories()) EXPECT_TRUE(category.children.empty());
  EXPECT_FALSE(model.OpenedNode());
  EXPECT_EQ(model.RowCount(), 0u);
  EXPECT_EQ(model.Results().size(), results.size());  // kept, only not shown
}

// --- checking ----------------------------------------------------------------------------------------------

TEST(ResultModel, CheckingACategoryChecksEveryRowOfItsNodesAndRowsUncheckSingly) {
  ResultModel model;
  model.Rebuild({Rec("a.jpg", 1), Rec("b.jpg", 2), Rec("c.png", 3), Rec("s.mp3", 4)}, FileTypeSelection(), EnglishText);
  const NodeRef photo{TypeCategory::Photo, std::nullopt};
  const NodeRef jpg{TypeCategory::Photo, 0};
  const NodeRef png{TypeCategory::Photo, 1};
  const NodeRef audio{TypeCategory::Audio, std::nullopt};

  model.SetNodeChecked(photo, true);
  EXPECT_EQ(model.Selection().size(), 3u);
  model.OpenNode(jpg);
  EXPECT_TRUE(model.RowChecked(0));
  EXPECT_TRUE(model.RowChecked(1));
  EXPECT_EQ(model.CheckedRowCount(), 2u);
  EXPECT_EQ(model.AllRowsCheck(), CheckState::Checked);
  EXPECT_EQ(model.NodeCheck(photo), CheckState::Checked);
  EXPECT_EQ(model.NodeCheck(audio), CheckState::Unchecked);
  EXPECT_EQ(model.NodeCheck(NodeRef{TypeCategory::Video, std::nullopt}), CheckState::Unchecked);  // empty

  model.SetRowChecked(1, false);
  EXPECT_EQ(model.Selection().size(), 2u);
  EXPECT_EQ(model.Selection().count(SelectionKey(model.RowRecord(1))), 0u);
  EXPECT_EQ(model.Selection().count(SelectionKey(model.RowRecord(0))), 1u);
  EXPECT_EQ(model.CheckedRowCount(), 1u);
  EXPECT_EQ(model.AllRowsCheck(), CheckState::Partial);
  EXPECT_EQ(model.NodeCheck(jpg), CheckState::Partial);
  EXPECT_EQ(model.NodeCheck(png), CheckState::Checked);
  EXPECT_EQ(model.NodeCheck(photo), CheckState::Partial);

  // The header check box acts on the open list only.
  model.SetAllRowsChecked(true);
  EXPECT_EQ(model.NodeCheck(photo), CheckState::Checked);
  model.SetAllRowsChecked(false);
  EXPECT_EQ(model.AllRowsCheck(), CheckState::Unchecked);
  EXPECT_EQ(model.NodeCheck(jpg), CheckState::Unchecked);
  EXPECT_EQ(model.NodeCheck(photo), CheckState::Partial);
  EXPECT_EQ(model.Selection().size(), 1u);

  model.SetNodeChecked(png, false);
  EXPECT_EQ(model.NodeCheck(photo), CheckState::Unchecked);
  model.SetRowChecked(0, true);
  model.SetRowChecked(0, true);  // twice changes nothing
  EXPECT_EQ(model.Selection().size(), 1u);
  model.ClearSelection();
  EXPECT_EQ(model.CheckedRowCount(), 0u);
}

TEST(ResultModel, SelectionSurvivesRebuildAndKeysKeepSourcesApart) {
  // The same record number and engine on two drives are two files.
  const FoundFileRecord onC = Rec("a.jpg", 7, 10, false, 'C');
  const FoundFileRecord onD = Rec("a.jpg", 7, 20, false, 'D');
  ResultModel model;
  model.Rebuild({onC, onD}, FileTypeSelection(), EnglishText);
  model.SetRowChecked(0, true);
  EXPECT_FALSE(model.RowChecked(1));
  EXPECT_EQ(model.NodeCheck(NodeRef{TypeCategory::Photo, 0}), CheckState::Partial);

  model.Rebuild({Rec("z.png", 9), onD, onC}, FileTypeSelection(), EnglishText);
  ASSERT_EQ(model.Selection().size(), 1u);
  model.OpenNode(NodeRef{TypeCategory::Photo, 0});  // jpg before png
  EXPECT_EQ(ColumnTexts(model, FileColumn::Size), (Names{"20 Bytes", "10 Bytes"}));
  EXPECT_FALSE(model.RowChecked(0));
  EXPECT_TRUE(model.RowChecked(1));

  // The map holds copies: a record gone from the results stays selected.
  model.Rebuild({}, FileTypeSelection(), EnglishText);
  EXPECT_EQ(model.SelectedBytes(), 10u);
}

TEST(ResultModel, SelectedBytesSaturateAndTheInfoLineUsesTheMessages) {
  ResultModel model;
  EXPECT_EQ(model.SelectionInfo(EnglishText), "No file selected");
  model.Rebuild({Rec("a.jpg", 1, 1024), Rec("b.jpg", 2, 512), Rec("dir.jpg", 3, 512, /*folder=*/true)},
                FileTypeSelection(), EnglishText);
  model.SetAllRowsChecked(true);
  EXPECT_EQ(model.SelectedBytes(), 2048u);  // the folder's size field counts too
  EXPECT_EQ(model.SelectionInfo(EnglishText), "Selected: 2.00 KB in 3 files");

  model.Rebuild({Rec("a.jpg", 4, std::numeric_limits<std::uint64_t>::max() - 1), Rec("b.jpg", 5, 5)},
                FileTypeSelection(), EnglishText);
  model.SetAllRowsChecked(true);
  EXPECT_EQ(model.SelectedBytes(), std::numeric_limits<std::uint64_t>::max());
  model.ClearSelection();
  EXPECT_EQ(model.SelectionInfo(EnglishText), "No file selected");
  EXPECT_EQ(model.SelectionInfo(nullptr), "");
}

// --- sorting -----------------------------------------------------------------------------------------------

TEST(ResultModel, DirectionsFlipByColumn) {
  ResultModel model;
  for (FileColumn c : {FileColumn::FileName, FileColumn::Size, FileColumn::Type}) EXPECT_EQ(model.Direction(c), 0);
  const std::pair<FileColumn, int> kFirst[] = {{FileColumn::FileName, 1},      {FileColumn::Type, 1},
                                               {FileColumn::Path, 1},          {FileColumn::Size, -1},
                                               {FileColumn::ModifiedTime, -1}, {FileColumn::CreatedTime, -1}};
  for (const auto& [column, first] : kFirst) {
    model.SortBy(column);
    EXPECT_EQ(model.Direction(column), first);
    EXPECT_EQ(model.SortColumn(), column);
    model.SortBy(column);
    EXPECT_EQ(model.Direction(column), -first);
    model.SortBy(column);
    EXPECT_EQ(model.Direction(column), first);
  }
  EXPECT_EQ(model.Direction(FileColumn::FileName), 1);  // others keep theirs
}

TEST(ResultModel, SizeSortPutsFoldersFirstAscendingAndLastDescending) {
  ResultModel model;
  model.Rebuild({Rec("big.jpg", 1, 5000), Rec("dir.jpg", 2, 9999, true), Rec("tie1.jpg", 3, 10), Rec("small.jpg", 4, 1),
                 Rec("tie2.jpg", 5, 10)},
                FileTypeSelection(), EnglishText);
  model.SortBy(FileColumn::Size);  // descending first
  EXPECT_EQ(ColumnTexts(model, FileColumn::FileName),
            (Names{"big.jpg", "tie1.jpg", "tie2.jpg", "small.jpg", "dir.jpg"}));
  model.SortBy(FileColumn::Size);
  EXPECT_EQ(ColumnTexts(model, FileColumn::FileName),
            (Names{"dir.jpg", "small.jpg", "tie1.jpg", "tie2.jpg", "big.jpg"}));

  // The order stays through a new search.
  model.Rebuild({Rec("x.jpg", 1, 30), Rec("y.jpg", 2, 20)}, FileTypeSelection(), EnglishText);
  EXPECT_EQ(model.SortColumn(), FileColumn::Size);
  EXPECT_EQ(ColumnTexts(model, FileColumn::FileName), (Names{"y.jpg", "x.jpg"}));
}

TEST(ResultModel, TimesSortByDateAndNamesIgnoreCase) {
  FoundFileRecord october = Rec("c.JPG", 1);
  october.modifiedTime = k20231002_090000;
  october.createdTime = k20230915_100000;
  FoundFileRecord september = Rec("A.jpg", 2);
  september.modifiedTime = k20230915_100000;
  september.createdTime = k20231002_090000;
  FoundFileRecord undated = Rec("b.jpeg", 3);
  ResultModel model;
  model.Rebuild({october, september, undated}, FileTypeSelection(), EnglishText);

  model.SortBy(FileColumn::ModifiedTime);
  EXPECT_EQ(ColumnTexts(model, FileColumn::FileName), (Names{"c.JPG", "A.jpg", "b.jpeg"}));
  model.SortBy(FileColumn::ModifiedTime);  // ascending: no time first, September before October
  EXPECT_EQ(ColumnTexts(model, FileColumn::FileName), (Names{"b.jpeg", "A.jpg", "c.JPG"}));
  model.SortBy(FileColumn::CreatedTime);
  EXPECT_EQ(ColumnTexts(model, FileColumn::FileName), (Names{"A.jpg", "c.JPG", "b.jpeg"}));

  model.SortBy(FileColumn::FileName);
  EXPECT_EQ(ColumnTexts(model, FileColumn::FileName), (Names{"A.jpg", "b.jpeg", "c.JPG"}));
  model.SortBy(FileColumn::FileName);
  EXPECT_EQ(ColumnTexts(model, FileColumn::FileName), (Names{"c.JPG", "b.jpeg", "A.jpg"}));
  model.SortBy(FileColumn::Type);  // "JPG" and "jpg" tie and keep result order
  EXPECT_EQ(ColumnTexts(model, FileColumn::FileName), (Names{"b.jpeg", "c.JPG", "A.jpg"}));
  model.SortBy(FileColumn::Path);  // every path is the same: result order
  EXPECT_EQ(ColumnTexts(model, FileColumn::FileName), (Names{"c.JPG", "A.jpg", "b.jpeg"}));
}

}  // namespace
}  // namespace rexmoor

namespace rexmoor {
namespace {

// The file-type page, the command line's --ext and the carver's table tell one story: every
// type is listed once, the command line takes each, an option is marked carved exactly when the
// carver measures one of its extensions, and a real sample the carver measures never sits under
// an option marked "by name only".
TEST(FileTypeList, OptionsTheCommandLineAndTheCarverAgree) {
  const std::vector<KnownFileType> known = ListKnownFileTypes();
  std::map<std::string, const KnownFileType*> byExtension;
  for (const KnownFileType& type : known) {
    EXPECT_TRUE(byExtension.emplace(type.extension, &type).second) << "listed twice: " << type.extension;
    EXPECT_TRUE(IsKnownExtension(type.extension)) << "--ext refuses " << type.extension;
    EXPECT_FALSE(type.option.empty()) << type.extension;
  }
  for (const FileFormatEntry& row : FileFormatTable()) {
    if (FirstRowForType(row.typeId) != &row) continue;  // an alias a carved file never carries
    const auto it = byExtension.find(row.extension);
    ASSERT_NE(it, byExtension.end()) << row.extension;
    EXPECT_EQ(it->second->carved, FindFormatByExtension(row.extension)->extentRule != nullptr) << row.extension;
  }
  for (const FileTypeGroup& group : ShippedFileTypeGroups()) {
    for (const FileTypeOption& option : group.options) {
      if (option.extensions == "other") continue;
      bool anyCarved = false;
      for (const std::string& e : SplitBars(option.extensions)) {
        ASSERT_TRUE(byExtension.count(e)) << e;
        anyCarved = anyCarved || byExtension[e]->carved;
      }
      EXPECT_EQ(option.carved, anyCarved) << option.text;
    }
  }

  // Real files: what the carver measures is offered as found by content.
  std::ifstream manifest(REXMOOR_TEST_SOURCE_DIR "/samples/files/MANIFEST.txt");
  FileTypeSelection types;
  int measured = 0;
  for (std::string line; std::getline(manifest, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::string name = line.substr(0, line.find('\t'));
    const std::string extension = ToLowerAscii(ExtensionOf(name));
    FileIdentity id;
    // The manifest also names the bigger samples that are made, not committed.
    if (IdentifyFile(REXMOOR_TEST_SOURCE_DIR "/samples/files/" + name, id) != kSuccess) continue;
    if (!id.measured || FindFormatByExtension(extension) == nullptr) continue;
    ++measured;
    // A carved file carries its type's extension, whatever the sample is called.
    if (const auto match = types.OptionFor(id.extension)) EXPECT_TRUE(match->option->carved) << name;
    EXPECT_TRUE(byExtension.count(id.extension) && byExtension[id.extension]->carved) << name;
  }
  EXPECT_GT(measured, 30);

  // The command line's list has the same lines.
  std::string out;
  ASSERT_EQ(test::RunCommand(REXMOOR_CLI_PATH " types --format json", &out), 0);
  EXPECT_EQ(static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n')), known.size());
  EXPECT_NE(out.find(R"({"extension":"nef","group":"photo","carved":)"), std::string::npos);
}

}  // namespace
}  // namespace rexmoor
