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

void SortRecords(RecordList& records) {
  if (records.size() > 1) std::sort(records.begin(), records.end(), RecordLess);
}

}  // namespace rexmoor
