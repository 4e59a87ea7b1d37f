#include "preview/preview_text.h"

#include <algorithm>

namespace rexmoor {

namespace {

// Length of the well-formed UTF-8 sequence at the start of bytes, or 0 (overlong forms,
// surrogates and values past U+10FFFF are not well-formed).
std::size_t SequenceLength(std::string_view bytes) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (bytes.size() < length) return 0;
  if (at(1) < low || at(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if ((at(i) & 0xC0) != 0x80) return 0;
  return length;
}

void AppendLatin1(std::string& out, unsigned char byte) {
  if (byte < 0x80) {
    out.push_back(static_cast<char>(byte));
  } else if (byte < 0xA0) {
    out.push_back('?');
  } else {
    out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
    out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
  }
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

std::string ValidUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t length = SequenceLength(bytes.substr(i));
    if (length == 0) {
      AppendLatin1(out, static_cast<unsigned char>(bytes[i]));
      ++i;
    } else {
      out.append(bytes.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::size_t CountCharacters(std::string_view utf8) {
  return static_cast<std::size_t>(
      std::count_if(utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string NormalizeLines(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + utf8.size() / 16);
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < utf8.size() && utf8[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else if (c == '\t' || !IsControl(c)) {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

void LimitedText::Append(std::string_view utf8) {
  std::size_t cut = 0;
  for (; cut < utf8.size(); ++cut) {
    if ((static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) continue;  // inside a character
    if (left_ == 0) break;
    --left_;
  }
  text_.append(utf8.substr(0, cut));
}

void LimitedText::AppendBreak() {
  if (left_ < 2) {
    left_ = 0;
    return;
  }
  text_ += "\r\n";
  left_ -= 2;
}

std::string CellGrid::Clean(std::string_view text) {
  const std::string valid = ValidUtf8(text.substr(0, kMaxCellCharacters * 4));
  std::string clean;
  clean.reserve(valid.size());
  for (char c : valid) clean.push_back(IsControl(static_cast<unsigned char>(c)) ? ' ' : c);
  LimitedText limited(kMaxCellCharacters);
  limited.Append(clean);
  return limited.str();
}

void CellGrid::Put(std::uint64_t row, std::uint64_t column, Cell cell) {
  firstColumn_ = std::min(firstColumn_, column);
  if (anchored_ && (row >= kRows || column >= kColumns)) return;
  // Only the kRows lowest rows that hold anything can be shown, and in each of them only its
  // kColumns lowest columns: whatever the first used column turns out to be, the shown ones
  // are among those.
  if (rows_.size() == kRows && row > rows_.rbegin()->first) return;
  auto& cells = rows_[row];  // a new row is below the last one kept, which then goes
  if (rows_.size() > kRows) rows_.erase(std::prev(rows_.end()));
  if (cells.count(column) != 0) return;  // a cell given twice keeps its first text
  if (cells.size() == kColumns && column > cells.rbegin()->first) return;
  cells.emplace(column, std::move(cell));
  if (cells.size() > kColumns) cells.erase(std::prev(cells.end()));
}

void CellGrid::Add(std::uint64_t row, std::uint64_t column, std::string_view text) {
  if (text.empty()) return;
  Put(row, column, Cell{Clean(text)});
}

void CellGrid::AddDeferred(std::uint64_t row, std::uint64_t column, std::uint64_t key) {
  Put(row, column, Cell{{}, true, key});
}

std::vector<std::uint64_t> CellGrid::DeferredKeys() const {
  std::vector<std::uint64_t> keys;
  for (const auto& [row, cells] : rows_)
    for (const auto& [column, cell] : cells)
      if (cell.deferred) keys.push_back(cell.key);
  return keys;
}

void CellGrid::Resolve(const std::map<std::uint64_t, std::string>& texts) {
  for (auto& [row, cells] : rows_)
    for (auto& [column, cell] : cells) {
      if (!cell.deferred) continue;
      const auto text = texts.find(cell.key);
      if (text != texts.end()) cell.text = Clean(text->second);
      cell.deferred = false;
    }
}

std::string CellGrid::Text() const {
  if (rows_.empty()) return {};
  const std::uint64_t firstRow = anchored_ ? 0 : rows_.begin()->first;
  const std::uint64_t firstColumn = anchored_ ? 0 : firstColumn_;
  // The table is as wide as its widest shown row.
  std::uint64_t width = 0;
  for (const auto& [row, cells] : rows_) {
    if (row - firstRow >= kRows) break;
    for (const auto& [column, cell] : cells)
      if (column >= firstColumn && column - firstColumn < kColumns) width = std::max(width, column - firstColumn + 1);
  }
  if (width == 0) return {};
  std::string out;
  std::uint64_t next = firstRow;
  for (const auto& [row, cells] : rows_) {
    if (row - firstRow >= kRows) break;
    for (; next < row; ++next) out += std::string(width - 1, '\t') + "\r\n";  // an empty row between
    for (std::uint64_t c = 0; c < width; ++c) {
      if (c != 0) out.push_back('\t');
      const auto cell = cells.find(firstColumn + c);
      if (cell != cells.end()) out += cell->second.text;
    }
    out += "\r\n";
    next = row + 1;
  }
  return out;
}

void ParseCsv(std::string_view text, char separator, CellGrid& grid) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::size_t i = 0;
  for (std::uint64_t row = 0; row < CellGrid::kRows && i < text.size(); ++row) {
    if (text[i] == '\f') return;
    std::uint64_t column = 0;
    bool recordEnd = false;
    while (!recordEnd) {
      std::string field;
      const bool quoted = i < text.size() && text[i] == '"';
      if (quoted) ++i;
      bool inQuotes = quoted;
      // Fields are kept to what a cell shows; the rest is passed over.
      const std::size_t keep = CellGrid::kMaxCellCharacters * 4;
      const auto put = [&](char c) {
        if (field.size() < keep) field.push_back(c);
      };
      for (; i < text.size(); ++i) {
        const char c = text[i];
        if (inQuotes) {
          if (c != '"') {
            put(c);
          } else if (i + 1 < text.size() && text[i + 1] == '"') {
            put('"');
            ++i;
          } else {
            inQuotes = false;  // anything up to the separator still belongs to the field
          }
          continue;
        }
        if (c == separator) {
          ++i;
          break;
        }
        if (c == '\r' || c == '\n') {
          if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
          ++i;
          recordEnd = true;
          break;
        }
        put(c);
      }
      if (i >= text.size()) recordEnd = true;
      if (column < CellGrid::kColumns) grid.Add(row, column, field);
      ++column;
    }
  }
}

char GuessCsvSeparator(std::string_view text) {
  std::size_t commas = 0, semicolons = 0, tabs = 0;
  bool inQuotes = false;
  for (std::size_t i = 0; i < text.size() && i < 65536; ++i) {
    const char c = text[i];
    if (c == '"') inQuotes = !inQuotes;
    if (inQuotes) continue;
    if (c == '\n' || c == '\r') break;
    if (c == ',') ++commas;
    if (c == ';') ++semicolons;
    if (c == '\t') ++tabs;
  }
  if (semicolons > commas && semicolons >= tabs) return ';';
  if (tabs > commas && tabs > semicolons) return '\t';
  return ',';
}

}  // namespace rexmoor
