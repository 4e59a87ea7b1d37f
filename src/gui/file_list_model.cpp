#include "gui/file_list_model.h"

#include "gui/gui_support.h"
#include "platform/text.h"

namespace rexmoor::gui {

namespace {

// Control names of the columns; their header texts come from the main window's section.
constexpr const char* kColumnNames[kFileColumnCount] = {"FileName", "Size", "ModifiedTime", "CreatedTime",
                                                        "Path",     "Type", "Condition"};
constexpr const char* kColumnFallback[kFileColumnCount] = {"Name", "Size", "Modified", "Created",
                                                           "Path", "Type", "Condition"};

// The content state in the user's language, where the language file has it.
QString ConditionWords(const FoundFileRecord& record) {
  const Condition condition = ConditionOf(record);
  const char* key = condition == Condition::PossiblyOverwritten ? "ConditionOverwritten"
                    : condition == Condition::Incomplete        ? "ConditionIncomplete"
                                                                : "ConditionIntact";
  const QString text = SectionText("MainWnd", key);
  return text.isEmpty() ? QString::fromLatin1(ConditionText(condition)) : text;
}

}  // namespace

FileListModel::FileListModel(ResultModel& results, QObject* parent) : QAbstractTableModel(parent), results_(results) {}

void FileListModel::Reset() {
  beginResetModel();
  endResetModel();
}

void FileListModel::ChecksChanged() {
  if (results_.RowCount() == 0) return;
  emit dataChanged(index(0, 0), index(static_cast<int>(results_.RowCount()) - 1, 0), {Qt::CheckStateRole});
}

void FileListModel::Retranslate() { emit headerDataChanged(Qt::Horizontal, 0, columnCount() - 1); }

int FileListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(results_.RowCount());
}

int FileListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(kFileColumnCount);
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const auto row = static_cast<std::size_t>(index.row());
  const FileColumn column = ColumnOf(index.column());
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
      if (column == FileColumn::Condition) return ConditionWords(results_.RowRecord(row));
      return FromUtf8(results_.CellText(row, column));
    case Qt::CheckStateRole:
      if (column == FileColumn::FileName) return results_.RowChecked(row) ? Qt::Checked : Qt::Unchecked;
      return {};
    case Qt::DecorationRole:
      if (column == FileColumn::FileName) {
        const FoundFileRecord& record = results_.RowRecord(row);
        const std::int32_t isFolder = record.isFolder;
        if (isFolder != 0) return ThemeIcon("folder");
        return FileTypeIcon(FromUtf8(results_.CellText(row, FileColumn::Type)).toLower());
      }
      return {};
    case Qt::TextAlignmentRole:
      if (column == FileColumn::Size) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
      return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    default:
      return {};
  }
}

bool FileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::CheckStateRole || ColumnOf(index.column()) != FileColumn::FileName) return false;
  results_.SetRowChecked(static_cast<std::size_t>(index.row()),
                         static_cast<Qt::CheckState>(value.toInt()) == Qt::Checked);
  emit dataChanged(index, index, {Qt::CheckStateRole});
  emit checksChanged();
  return true;
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (ColumnOf(index.column()) == FileColumn::FileName) flags |= Qt::ItemIsUserCheckable;
  return flags;
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
  if (role == Qt::DisplayRole) {
    const QString text = SectionText("MainWnd", kColumnNames[section]);
    return text.isEmpty() ? QString::fromLatin1(kColumnFallback[section]) : text;
  }
  if (role == Qt::TextAlignmentRole) return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
  return {};
}

// The view's sort order is ignored: each column flips by its own rule (names ascending first,
// sizes and times descending first).
void FileListModel::sort(int column, Qt::SortOrder) {
  if (column < 0 || column >= columnCount()) return;
  emit layoutAboutToBeChanged();
  results_.SortBy(ColumnOf(column));
  emit layoutChanged();
}

}  // namespace rexmoor::gui
