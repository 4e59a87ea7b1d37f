// What the desktop program shows after a search, without any toolkit: the file-type options the
// user picks from, the type tree (six categories, one node per normalised extension, with counts),
// the file list of the open node, checking into the selection map, sorting, and the selection
// line. The GUI shows it through its own item models; everything here is tested on its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/recovery_job.h"
#include "app/record_filter.h"
#include "engine/found_file_record.h"

namespace rexmoor {

// The six categories of the type tree, in tree order.
enum class TypeCategory { Photo, Audio, Video, Office, Zip, Other };
inline constexpr std::size_t kTypeCategoryCount = 6;

const char* CategoryNodeName(TypeCategory category);   // "NodePhoto" ... "NodeOther"
const char* CategoryGroupName(TypeCategory category);  // "FileTypePhoto" ... "FileTypeOther"
const char* CategoryTextKey(TypeCategory category);    // "MSG0807" ... "MSG0812" (section MainWnd)
const char* CategoryCheckName(TypeCategory category);  // "ChkPhoto", "ChkMusic", ... "ChkOther"

// One option of the file-type page: "JPG/JPEG (.jpg .jpeg)" with extensions "jpg|jpeg".
struct FileTypeOption {
  std::string name;        // control name, "OptJpg"
  std::string text;        // "JPG/JPEG (.jpg .jpeg)"
  std::string extensions;  // "jpg|jpeg"; the Other Files option has "other"
  // Some extension of it is found by content in raw sectors too; false: only by name, in a file
  // system's folders (live, deleted or formatted).
  bool carved = true;
};

struct FileTypeGroup {
  TypeCategory category;
  std::vector<FileTypeOption> options;
};

// The options shipped on the file-type page, grouped by category in tree order.
const std::vector<FileTypeGroup>& ShippedFileTypeGroups();

// One extension the program knows, for the list of types: where it is found and under which
// option of the file-type page.
struct KnownFileType {
  std::string extension;
  TypeCategory category = TypeCategory::Other;
  bool carved = false;  // the carver finds it by content
  std::string option;   // the text of its option; files of an extension without one come under "Other Files"
};
// Every extension of the file-type page's options and of the carver's table, by category and
// then extension, each once.
std::vector<KnownFileType> ListKnownFileTypes();

// The name of an option's tree node: its text before the first "(", less the one character just
// before it ("Bitmap (.bmp)" gives "Bitmap", "OGG Files(.ogg)" gives "OGG File").
std::string OptionLabel(std::string_view optionText);

// The extension a found file is grouped under: the text after the last ".", lower-cased and
// normalised (jpeg -> jpg, tiff -> tif, scr -> pcx, midi -> mid, m4p -> m4a, docx -> doc,
// xlsx -> xls, pptx -> ppt, htm -> html); "unknow" when there is no "." or nothing after it.
std::string ResultExtension(std::string_view fileName);

// A record's FILETIME as "2024-3-9 08:05:01" (UTC, month and day not padded);
// "    ----    " for 0.
std::string RecordTimeText(std::uint64_t fileTime);

// The file types chosen on the file-type page (the selected-types map): extension -> option.
class FileTypeSelection {
 public:
  // Everything selected, as the page starts.
  FileTypeSelection();

  void SetOption(TypeCategory category, std::size_t option, bool selected);
  bool OptionSelected(TypeCategory category, std::size_t option) const;
  // Selects or clears every option of the category.
  void SetCategory(TypeCategory category, bool selected);
  // Checked, partial or unchecked, for the category's check box.
  bool CategoryAnySelected(TypeCategory category) const;
  bool CategoryAllSelected(TypeCategory category) const;
  bool AnySelected() const;
  bool OtherFilesSelected() const;

  // The selected option that carries the extension, with its category; none when no selected
  // option carries it.
  struct Match {
    TypeCategory category;
    const FileTypeOption* option;
  };
  std::optional<Match> OptionFor(std::string_view extension) const;

  // "*.ext|*.ext|..." over the selected extensions in their order (sorted, each once); when none
  // is selected, the five group pattern lists joined.
  std::string SearchPattern() const;

 private:
  std::array<std::vector<bool>, kTypeCategoryCount> selected_;
};

enum class CheckState { Unchecked, Partial, Checked };

// One extension node of the type tree.
struct TypeNode {
  std::string extension;                // "jpg", "unknow"
  std::string label;                    // "JPG/JPEG", "UNKNOW Files" (without the count)
  std::string text;                     // "JPG/JPEG (2)"
  std::vector<std::size_t> records;     // indices into the result list, in result order
};

struct CategoryNode {
  TypeCategory category;
  std::string text;                     // "Photo (12)", or the bare category text when empty
  std::vector<TypeNode> children;
  std::size_t FileCount() const;
};

// One node of the folder view: the folders the engines rebuilt, as their paths name them. Node 0
// is the root (the files found at a volume's root); files found by their content, without a
// folder, have a node of their own below it.
struct FolderNode {
  std::string name;                   // "Holiday"; the root's and the carved node's from the texts
  std::string path;                   // "Holiday/Day 1/", as the engines give it; "" for the root
  std::size_t parent = 0;             // the root is its own parent
  std::vector<std::size_t> children;  // folder node indices, by name, the carved node last
  std::vector<std::size_t> records;   // the files directly in it, result indices in result order
  std::size_t fileCount = 0;          // files in it and below
  std::string text;                   // "Holiday (12)"
  bool carved = false;
};

// Columns of the file list after its check box column.
// The condition is the content state in words (record_filter.h).
enum class FileColumn { FileName, Size, ModifiedTime, CreatedTime, Path, Type, Condition };
inline constexpr std::size_t kFileColumnCount = 7;

// A node of the tree: the category and, for an extension node, the child's index.
struct NodeRef {
  TypeCategory category = TypeCategory::Photo;
  std::optional<std::size_t> child;
  bool operator==(const NodeRef&) const = default;
};

class ResultModel {
 public:
  // texts looks up a key of the main window's section (the category names MSG0807..MSG0812).
  using Texts = std::function<std::string(const std::string& key)>;

  // Six empty categories, each knowing which it is, before the first search.
  ResultModel();

  // Replaces the result list and builds the tree from it; the selection map survives. Opens the
  // first extension node of the first category that has one (or none when the tree is empty).
  void Rebuild(RecordList results, const FileTypeSelection& types, const Texts& texts);
  // Category texts again (after a language change), counts unchanged.
  void Retranslate(const Texts& texts);
  // The folder each result was found in ("Holiday/", "" at the root or for a carved file),
  // parallel to Results(); shown in the Path column and made into the folder view. Cleared by
  // Rebuild.
  void SetFolders(std::vector<std::string> folders, const Texts& texts);
  // Only the results the filter lets through make up the tree, its counts and the list; the
  // selection keeps what was checked before. The open node stays open while it has results.
  void SetFilter(const RecordFilter& filter, const FileTypeSelection& types, const Texts& texts);
  const RecordFilter& Filter() const { return filter_; }

  const RecordList& Results() const { return results_; }
  const std::array<CategoryNode, kTypeCategoryCount>& Categories() const { return categories_; }
  const CategoryNode& Category(TypeCategory category) const;
  const TypeNode* Node(const NodeRef& ref) const;

  // The file list: the open extension node's records (after sorting).
  void OpenNode(const NodeRef& ref);  // a category ref leaves the list as it is
  std::optional<NodeRef> OpenedNode() const { return opened_; }

  // The folder view, over the same files as the type tree (the filter applied). Texts:
  // "FolderRoot" names the root, "FolderCarved" the node of the files found by content.
  const std::vector<FolderNode>& FolderNodes() const { return folderNodes_; }
  // The list: the files directly in the folder. Closes the open type node (and back).
  void OpenFolder(std::size_t node);
  std::optional<std::size_t> OpenedFolder() const { return openedFolder_; }
  // Every file in the folder and below.
  void SetFolderChecked(std::size_t node, bool checked);
  CheckState FolderCheck(std::size_t node) const;
  std::size_t RowCount() const { return rows_.size(); }
  const FoundFileRecord& RowRecord(std::size_t row) const;
  std::size_t RowResultIndex(std::size_t row) const { return rows_.at(row); }
  // The cell text of a row: name, size ("" for a folder), times, "    ----    ", type.
  std::string CellText(std::size_t row, FileColumn column) const;

  // Checking. Every change goes to the selection map; the states below are read from it.
  void SetRowChecked(std::size_t row, bool checked);
  void SetNodeChecked(const NodeRef& ref, bool checked);  // extension or category node
  void SetAllRowsChecked(bool checked);                   // the header check box
  bool RowChecked(std::size_t row) const;
  std::size_t CheckedRowCount() const;
  CheckState NodeCheck(const NodeRef& ref) const;
  CheckState AllRowsCheck() const;

  // Sorting by a column: the direction flips by the column's rule (name and type start
  // ascending, size and times descending); times compare as dates, folders come first by size.
  void SortBy(FileColumn column);
  // 1 ascending, -1 descending, 0 never sorted.
  int Direction(FileColumn column) const;
  std::optional<FileColumn> SortColumn() const { return sortColumn_; }

  const SelectionMap& Selection() const { return selection_; }
  void ClearSelection();
  std::uint64_t SelectedBytes() const;
  // MSG0803 when nothing is selected, else MSG0804 filled with the size text and the count.
  std::string SelectionInfo(const Texts& messages) const;

 private:
  void FillRows();
  void SortRows();
  void BuildTree(const FileTypeSelection& types, const Texts& texts);
  void BuildFolders(const Texts& texts);
  // The result indices of the files in the folder and below.
  std::vector<std::size_t> FilesBelow(std::size_t node) const;
  const std::string& FolderOf(std::size_t result) const;

  RecordList results_;
  std::vector<std::string> folders_;
  RecordFilter filter_;
  std::array<CategoryNode, kTypeCategoryCount> categories_{};
  std::optional<NodeRef> opened_;
  std::vector<FolderNode> folderNodes_;
  std::optional<std::size_t> openedFolder_;
  std::vector<std::size_t> rows_;
  SelectionMap selection_;
  std::array<int, kFileColumnCount> directions_{};
  std::optional<FileColumn> sortColumn_;
};

}  // namespace rexmoor
