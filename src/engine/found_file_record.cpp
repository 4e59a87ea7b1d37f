#include "engine/found_file_record.h"

#include <algorithm>
#include <cstring>

#include "platform/text.h"

namespace rexmoor {

FoundFileRecord MakeEmptyRecord() {
  FoundFileRecord record;
  std::memset(&record, 0, sizeof(record));
  return record;
}

std::string_view RecordName(const FoundFileRecord& record) { return FieldText(record.name, kRecordNameSize); }

void SetRecordName(FoundFileRecord& record, std::string_view name) {
  CopyToField(name, record.name, kRecordNameSize);
}

FoundFileRecord MakeLostFolderRecord(std::uint16_t sourceTag, std::int32_t engineTag, std::uint32_t number) {
  FoundFileRecord record = MakeEmptyRecord();
  record.sourceTag = sourceTag;
  record.engineTag = engineTag;
  record.isFolder = 1;
  record.deletedMark = 1;
  record.contentState = 1;
  record.clusterBytes = -1;
  record.objectNumber = number;
  SetRecordName(record, Format("LostFolder%u", number));
  return record;
}

std::string_view RecordExtension(const FoundFileRecord& record) {
  std::string_view name = RecordName(record);
  std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

bool RecordLess(const FoundFileRecord& a, const FoundFileRecord& b) {
  if ((a.isFolder != 0) != (b.isFolder != 0)) return a.isFolder == 0;
  return CompareNoCase(RecordName(a), RecordName(b)) < 0;
}

void SortRecords(RecordList& records, std::size_t from) {
  if (from >= records.size() || records.size() - from < 2) return;
  FoundFileRecord* const part = records.data() + from;
  const std::size_t n = records.size() - from;
  // The positions are sorted, not the records: std::sort makes the same comparisons and the same
  // moves either way, so equal names end in the same order, but a move is of one word instead of a
  // whole record, and each name is measured once.
  struct Key {
    std::string_view name;
    bool folder;
  };
  std::vector<Key> keys(n);
  for (std::size_t i = 0; i < n; ++i) keys[i] = Key{RecordName(part[i]), part[i].isFolder != 0};
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&keys](std::size_t a, std::size_t b) {
    const Key& x = keys[a];
    const Key& y = keys[b];
    if (x.folder != y.folder) return !x.folder;
    return CompareNoCase(x.name, y.name) < 0;
  });
  // Position k takes the record from order[k]: each cycle of the permutation is walked once, with
  // one record held aside.
  for (std::size_t start = 0; start < n; ++start) {
    if (order[start] == start) continue;
    const FoundFileRecord held = part[start];
    std::size_t k = start;
    while (order[k] != start) {
      const std::size_t next = order[k];
      part[k] = part[next];
      order[k] = k;
      k = next;
    }
    part[k] = held;
    order[k] = k;
  }
}

}  // namespace rexmoor
