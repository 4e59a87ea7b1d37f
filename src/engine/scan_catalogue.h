// An engine's catalogue of found files, kept on disk rather than in memory: the records file
// (346-byte records in recordId order), the parent-to-children relation text ("_Relation") and the
// folder names ("_DirInfo"). Appended to while scanning, browsed one folder at a time afterwards,
// filtered by type in fixed-size blocks, and reopened when a deep scan continues an earlier one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/file_recovery_parse.h"
#include "engine/found_file_record.h"
#include "platform/file_handle.h"
#include "platform/result_codes.h"
#include "platform/text.h"

namespace rexmoor {

inline constexpr std::size_t kCatalogueBlockRecords = 200;
inline constexpr std::size_t kCatalogueBlockBytes = kCatalogueBlockRecords * kRecordSize;  // 69,200
inline constexpr std::size_t kFolderInfoSize = 268;
inline constexpr std::size_t kFolderInfoNameSize = 260;

// One "_DirInfo" record: u32 objectNumber, u32 recordId, 260-byte NUL-terminated name.
struct FolderInfo {
  std::uint32_t objectNumber = 0;
  std::uint32_t recordId = 0;
  std::array<char, kFolderInfoNameSize> name{};

  std::string_view Name() const { return FieldText(name.data(), name.size()); }
};

// Parent key (objectNumber in the low half, level in the high half) -> child recordIds in the order
// they were added. Ids are stored as the signed numbers the relation text holds.
using RelationMap = std::map<std::uint64_t, std::vector<std::int32_t>>;

// " | key - [id,id,...]" per entry, keys ascending.
std::string FormatRelations(const RelationMap& relations);
// Rebuilds the map from relation text. Malformed or overflowing parts end their entry; text
// without " | " gives an empty map. Parsing stops once maxItems ids (a key counts as 16) are held,
// which bounds the memory a damaged file can claim.
inline constexpr std::size_t kMaxRelationItems = 64u << 20;
RelationMap ParseRelations(std::string_view text, std::size_t maxItems = kMaxRelationItems);

// Whole 268-byte records; a trailing partial record is ignored.
std::vector<FolderInfo> ParseFolderInfo(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> FormatFolderInfo(const std::vector<FolderInfo>& folders);

inline std::uint32_t KeyObjectNumber(std::uint64_t key) { return static_cast<std::uint32_t>(key); }
inline std::uint32_t KeyLevel(std::uint64_t key) { return static_cast<std::uint32_t>(key >> 32); }

class ScanCatalogue {
 public:
  ScanCatalogue();
  ~ScanCatalogue();
  ScanCatalogue(const ScanCatalogue&) = delete;
  ScanCatalogue& operator=(const ScanCatalogue&) = delete;

  static std::uint64_t MakeFolderKey(std::uint32_t objectNumber, std::uint32_t level) {
    return (static_cast<std::uint64_t>(level) << 32) | objectNumber;
  }

  // Opens (creating when missing) the three files of logName in the scan-log index's current scan
  // folder, and reads back the relations and folder names an existing catalogue holds. Any
  // catalogue already open is closed first.
  Result OpenCatalogue(const std::string& logName);
  // The same in a given folder.
  Result OpenCatalogueIn(const std::string& scanFolder, const std::string& logName);
  // Opens a new, empty catalogue in the current scan folder under a name no log there has yet:
  // prefix, the partition start sector, "_" and the local time to the second with every field
  // zero-padded ("Fast_0_20261208071503"), then "_2", "_3", ... while that name is taken. The
  // main file is claimed with an exclusive create, so two scans never share a log.
  Result CreateCatalogue(std::string_view prefix, std::uint64_t partitionStartSector);
  // The name the catalogue was opened under.
  const std::string& LogName() const { return logName_; }
  bool IsOpen() const { return mainFile_.IsValid(); }

  // The slot for the next record, zero-filled; the caller fills it and sets recordId to
  // RecordCount(). The slot stays valid until the next AppendRecord, Flush or Close.
  FoundFileRecord* AppendRecord();
  // Registers a child under its parent folder's key; with a name the child is a folder whose name
  // and identity also go to the folder list.
  void AddRelation(std::uint64_t parentKey, std::uint32_t childRecordId, std::uint32_t childObjectNumber);
  void AddRelation(std::uint64_t parentKey, std::uint32_t childRecordId, std::uint32_t childObjectNumber,
                   std::string_view folderName);
  // Writes buffered records, then the relation and folder files when they changed.
  Result Flush();
  // The first failure to create, open or write the catalogue's files since it was opened: a scan
  // whose finds could not be kept must not end as if there were none.
  Result Error() const { return error_; }

  // Appends the children of the key (key 0: of the lowest key) and sorts the list. Pictures whose
  // content did not match their type are left out.
  Result ListChildren(std::uint64_t parentKey, RecordList& out);
  // Number of file records anywhere below the key.
  Result CountFilesBelow(std::uint64_t parentKey, std::int32_t& outCount);
  // The folders above the record, innermost first; 87 when the chain breaks off (what was found
  // stays in out).
  Result AncestorRecords(const FoundFileRecord* record, RecordList& out);
  // Names of the ancestors, outermost first, each followed by '/'; empty in the root.
  Result FolderPathOf(const FoundFileRecord* record, std::string& out);
  // The key of the folder the record was registered under; nothing when it was registered under
  // none.
  std::optional<std::uint64_t> ParentKeyOf(std::uint32_t recordId);

  void SetFilterCallback(FilterProgressCallback callback, void* userData) {
    filterCallback_ = callback;
    filterUserData_ = userData;
  }
  // Appends every file record whose type matches the dotted extension list (".other" selects
  // unknown types), then sorts the list. 1 when the records file could be read, else 0.
  // sortFrom: the records of out from there on are sorted when done (all of them by default).
  std::int32_t FilterByExtensions(const std::string& pattern, RecordList& out, std::size_t sortFrom = 0);

  void Close();

  // Records in the catalogue, including those an opened earlier catalogue held.
  std::uint32_t RecordCount() const { return recordCount_; }
  // Records the file held when it was opened.
  std::uint32_t LoadedRecordCount() const { return loadedRecords_; }
  // Reads one record by its 1-based id, from the file or from the write buffer.
  bool ReadRecord(std::uint32_t recordId, FoundFileRecord& out) const;

  const RelationMap& Relations() const { return relations_; }
  const std::vector<FolderInfo>& Folders() const { return folders_; }
  const std::string& MainPath() const { return mainPath_; }
  const std::string& RelationPath() const { return relationPath_; }
  const std::string& FolderInfoPath() const { return folderPath_; }

 private:
  Result FlushRecords();
  Result Note(Result r) {
    if (error_ == kSuccess) error_ = r;
    return r;
  }
  Result WriteRelations();
  Result WriteFolders();
  void IndexFolder(std::size_t index);
  void NoteChild(std::uint64_t key, std::int32_t recordId);
  const std::uint64_t* KeyContaining(std::int32_t recordId);
  bool FindFolderRecordInMain(std::uint32_t objectNumber, FoundFileRecord& out);

  FileHandle mainFile_;
  FileHandle relationFile_;
  FileHandle folderFile_;
  std::string mainPath_;
  std::string logName_;
  std::string relationPath_;
  std::string folderPath_;

  std::vector<FoundFileRecord> writeBuffer_;  // kCatalogueBlockRecords records
  std::size_t bufferedRecords_ = 0;
  std::uint64_t appendOffset_ = 0;  // where the buffer goes: just after the last whole record
  std::uint32_t recordCount_ = 0;
  std::uint32_t loadedRecords_ = 0;

  RelationMap relations_;
  std::vector<FolderInfo> folders_;
  bool relationsDirty_ = false;
  bool foldersDirty_ = false;
  Result error_ = kSuccess;

  // Lookups for the ancestor walk, so that a folder path costs a few probes rather than a pass
  // over every relation list. Both keep the first match, as a walk in key order would find.
  std::unordered_map<std::uint32_t, std::size_t> folderByObject_;
  // Parent key of each record, indexed by recordId (4 bytes a record): 1 + an index into
  // parentKeys_, 0 for none. Ids that name no record are left out.
  std::vector<std::uint32_t> parentSlotById_;
  std::vector<std::uint64_t> parentKeys_;
  std::unordered_map<std::uint64_t, std::uint32_t> parentSlotByKey_;
  bool parentIndexBuilt_ = false;
  // Folder records found by reading the records file, for folders missing from the folder list;
  // covers the file up to mainFolderScanned_.
  std::unordered_map<std::uint32_t, std::uint32_t> mainFolderByObject_;
  std::uint64_t mainFolderScanned_ = 0;

  FilterProgressCallback filterCallback_ = nullptr;
  void* filterUserData_ = nullptr;
};

}  // namespace rexmoor
