// The one record every engine produces for a file or folder it finds. Its layout is also the
// scan-log main file format, so it is packed and fixed byte for byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace rexmoor {

static_assert(std::endian::native == std::endian::little, "records are stored little-endian");

enum EngineTag : std::int32_t {
  kTagFastNtfs = 0,
  kTagFastFat = 1,
  kTagProNtfs = 2,
  kTagProFat = 3,
  kTagFileType = 4,
  kTagFastExfat = 5,
  kTagProExfat = 6,
  kTagFastExt = 7,
};

inline constexpr std::size_t kRecordNameSize = 258;

#pragma pack(push, 1)
struct FoundFileRecord {
  std::uint16_t sourceTag;
  std::int32_t engineTag;
  std::int32_t isFolder;
  std::int32_t deletedMark;
  std::int32_t contentState;  // 1 plausible, 0 overwritten (pictures hidden), 2 carved with an estimated end
  std::uint32_t recordId;
  std::uint32_t objectNumber;
  std::int32_t clusterBytes;
  std::uint64_t createdTime;
  std::uint64_t accessedTime;
  std::uint64_t modifiedTime;
  std::uint64_t size;
  std::uint64_t dataAreaSector;
  std::uint64_t locationSector;
  std::uint64_t partitionStartSector;
  char name[kRecordNameSize];
  std::uint16_t extra;
};
#pragma pack(pop)

inline constexpr std::size_t kRecordSize = 346;
static_assert(sizeof(FoundFileRecord) == kRecordSize);
static_assert(offsetof(FoundFileRecord, sourceTag) == 0);
static_assert(offsetof(FoundFileRecord, engineTag) == 2);
static_assert(offsetof(FoundFileRecord, isFolder) == 6);
static_assert(offsetof(FoundFileRecord, deletedMark) == 10);
static_assert(offsetof(FoundFileRecord, contentState) == 14);
static_assert(offsetof(FoundFileRecord, recordId) == 18);
static_assert(offsetof(FoundFileRecord, objectNumber) == 22);
static_assert(offsetof(FoundFileRecord, clusterBytes) == 26);
static_assert(offsetof(FoundFileRecord, createdTime) == 30);
static_assert(offsetof(FoundFileRecord, accessedTime) == 38);
static_assert(offsetof(FoundFileRecord, modifiedTime) == 46);
static_assert(offsetof(FoundFileRecord, size) == 54);
static_assert(offsetof(FoundFileRecord, dataAreaSector) == 62);
static_assert(offsetof(FoundFileRecord, locationSector) == 70);
static_assert(offsetof(FoundFileRecord, partitionStartSector) == 78);
static_assert(offsetof(FoundFileRecord, name) == 86);
static_assert(offsetof(FoundFileRecord, extra) == 344);

using RecordList = std::vector<FoundFileRecord>;
// A list about to be filled is given room for at most this many records at once (it grows past
// that as needed).
inline constexpr std::uint64_t kReserveRecords = 1u << 20;

// A zero-filled record.
FoundFileRecord MakeEmptyRecord();
// The record's name, stopping at the first NUL or the field's end.
std::string_view RecordName(const FoundFileRecord& record);
void SetRecordName(FoundFileRecord& record, std::string_view name);
// Text after the last '.' of the name, or empty when there is none.
std::string_view RecordExtension(const FoundFileRecord& record);

// The folder a find is listed under when its own folder's record or entry is gone: "LostFolder<n>"
// after the number that named the folder (a record number, a cluster).
FoundFileRecord MakeLostFolderRecord(std::uint16_t sourceTag, std::int32_t engineTag, std::uint32_t number);

// Result-list order: files before folders, then by name with ASCII letters folded.
bool RecordLess(const FoundFileRecord& a, const FoundFileRecord& b);
// Puts the records from `from` on in that order, as std::sort with RecordLess would (equal ones
// included).
void SortRecords(RecordList& records, std::size_t from = 0);

}  // namespace rexmoor
