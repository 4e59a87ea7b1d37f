// Building blocks the document converters share: text cut at a number of characters, bytes of
// unknown encoding made into valid UTF-8, and the small table a spreadsheet preview shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace rexmoor {

// Valid UTF-8 sequences as they are; any other byte read as Latin-1 (0x80-0x9F, controls there,
// become '?'), so the result is valid UTF-8 whatever the input.
std::string ValidUtf8(std::string_view bytes);
// Unicode characters in valid UTF-8 text.
std::size_t CountCharacters(std::string_view utf8);
// Line ends ("\r\n", "\n", "\r") become "\r\n"; other control characters but the tab go.
std::string NormalizeLines(std::string_view utf8);

// Text that stops growing at a number of Unicode characters.
class LimitedText {
 public:
  explicit LimitedText(std::size_t maxCharacters) : left_(maxCharacters) {}
  // Appends valid UTF-8 as far as it fits, cut on a character boundary.
  void Append(std::string_view utf8);
  void Append(char c) { Append(std::string_view(&c, 1)); }
  // "\r\n", only when both characters fit.
  void AppendBreak();
  bool Full() const { return left_ == 0; }
  const std::string& str() const { return text_; }

 private:
  std::string text_;
  std::size_t left_;
};

// The top-left corner of a table's used range: at most kRows rows and kColumns columns, counted
// from the first row and the first column that hold anything. Cells may come in any order and
// any number; only the few that can still be shown are kept. Rows and columns count from 0.
class CellGrid {
 public:
  static constexpr std::size_t kRows = 10;
  static constexpr std::size_t kColumns = 10;
  static constexpr std::size_t kMaxCellCharacters = 256;

  // Pins the corner at (0, 0) instead of the first used cell (text files, whose rows and
  // fields are all there is).
  void AnchorAtOrigin() { anchored_ = true; }
  // Empty cells are not part of the used range and are ignored. Text of any encoding; control
  // characters become spaces and long text is cut.
  void Add(std::uint64_t row, std::uint64_t column, std::string_view text);
  // A cell whose text is only known later by a key (a spreadsheet's shared strings, stored
  // after the sheet); it counts as used.
  void AddDeferred(std::uint64_t row, std::uint64_t column, std::uint64_t key);
  // The keys of the deferred cells still kept, and their texts once known (keys not given
  // leave their cells empty).
  std::vector<std::uint64_t> DeferredKeys() const;
  void Resolve(const std::map<std::uint64_t, std::string>& texts);
  bool Empty() const { return rows_.empty(); }
  // Cells separated by a tab, every row ended by "\r\n"; empty when there is no cell.
  std::string Text() const;

 private:
  struct Cell {
    std::string text;
    bool deferred = false;
    std::uint64_t key = 0;
  };
  void Put(std::uint64_t row, std::uint64_t column, Cell cell);
  static std::string Clean(std::string_view text);

  std::map<std::uint64_t, std::map<std::uint64_t, Cell>> rows_;
  std::uint64_t firstColumn_ = UINT64_MAX;
  bool anchored_ = false;
};

// Comma-separated text, quoted fields ("" for a quote, line breaks inside quotes) included,
// into the grid: the first CellGrid::kRows records. Stops early at a form feed that starts a
// record (a sheet break).
void ParseCsv(std::string_view text, char separator, CellGrid& grid);
// ',' unless the first line has more ';' or tabs outside quotes.
char GuessCsvSeparator(std::string_view text);

}  // namespace rexmoor
