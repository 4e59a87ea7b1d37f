#include "engine/scan_catalogue.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "engine/file_type_lists.h"
#include "engine/scan_log_index.h"
#include "platform/byte_view.h"
#include "platform/clock.h"
#include "platform/data_dir.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

// Reading a damaged relation or folder file must not exhaust memory: a real catalogue of several
// million records stays well below these.
constexpr std::uint64_t kMaxRelationBytes = 256ull << 20;
constexpr std::uint64_t kMaxFolderInfoBytes = 256ull << 20;
// Folder nesting deeper than this is taken as a loop in damaged relations.
constexpr std::uint32_t kMaxWalkDepth = 4096;
// The "other" filter reads names of unknown types only from catalogues below this size.
constexpr std::uint64_t kOtherModeMaxBytes = 0x8000000;
constexpr std::size_t kMaxPatternBytes = 4095;
constexpr std::size_t kRelationWriteChunk = 1 << 20;

void AppendRelationEntry(std::string& out, std::uint64_t key, const std::vector<std::int32_t>& ids) {
  char number[24];
  out += " | ";
  auto r = std::to_chars(number, number + sizeof(number), key);
  out.append(number, r.ptr);
  out += " - [";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i != 0) out += ',';
    r = std::to_chars(number, number + sizeof(number), ids[i]);
    out.append(number, r.ptr);
  }
  out += ']';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Unsigned decimal at pos; false (with pos past the digits) when there are none or it overflows.
bool ParseU64(std::string_view text, std::size_t& pos, std::uint64_t& value) {
  std::size_t start = pos;
  bool overflow = false;
  value = 0;
  while (pos < text.size() && IsDigit(text[pos])) {
    std::uint64_t digit = static_cast<std::uint64_t>(text[pos] - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) overflow = true;
    value = value * 10 + digit;
    ++pos;
  }
  return pos != start && !overflow;
}

// Signed 32-bit decimal at pos.
bool ParseI32(std::string_view text, std::size_t& pos, std::int32_t& value) {
  bool negative = false;
  if (pos < text.size() && text[pos] == '-') {
    negative = true;
    ++pos;
  }
  std::uint64_t magnitude = 0;
  std::size_t start = pos;
  bool overflow = false;
  while (pos < text.size() && IsDigit(text[pos])) {
    if (!overflow) {
      magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[pos] - '0');
      if (magnitude > 0x80000000ull) overflow = true;
    }
    ++pos;
  }
  if (pos == start || overflow) return false;
  if (!negative && magnitude > 0x7FFFFFFFull) return false;
  value = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                   : static_cast<std::int32_t>(magnitude);
  return true;
}

bool IsSkippedPicture(const FoundFileRecord& record) {
  return record.isFolder == 0 && record.contentState == 0 &&
         IsPictureExtension(ExtensionOf(FieldText(record.name, kRecordNameSize)));
}

}  // namespace

// --- relation text and folder file ------------------------------------------------------------

std::string FormatRelations(const RelationMap& relations) {
  std::string out;
  for (const auto& [key, ids] : relations) AppendRelationEntry(out, key, ids);
  return out;
}

RelationMap ParseRelations(std::string_view text, std::size_t maxItems) {
  RelationMap relations;
  std::size_t pos = 0;
  std::size_t items = 0;
  constexpr std::size_t kKeyItems = 16;  // a map node costs about as much as 16 ids
  while (items < maxItems) {
    std::size_t bar = text.find(" | ", pos);
    if (bar == std::string_view::npos) break;
    pos = bar + 3;
    std::uint64_t key = 0;
    if (!ParseU64(text, pos, key)) continue;
    std::size_t open = text.find("- [", pos);
    if (open == std::string_view::npos) break;
    pos = open + 3;
    std::vector<std::int32_t> ids;
    std::int32_t id = 0;
    items += kKeyItems;
    while (items < maxItems && ParseI32(text, pos, id)) {
      ids.push_back(id);
      ++items;
      if (pos < text.size() && text[pos] == ',') {
        ++pos;
        continue;
      }
      break;
    }
    if (pos < text.size() && text[pos] == ']') ++pos;
    std::vector<std::int32_t>& slot = relations[key];
    items -= std::min(items, slot.size());  // a repeated key replaces the earlier list
    slot = std::move(ids);
  }
  return relations;
}

std::vector<FolderInfo> ParseFolderInfo(std::span<const std::uint8_t> bytes) {
  std::vector<FolderInfo> folders(bytes.size() / kFolderInfoSize);
  for (std::size_t i = 0; i < folders.size(); ++i) {
    const std::uint8_t* p = bytes.data() + i * kFolderInfoSize;
    folders[i].objectNumber = LoadU32LE(p);
    folders[i].recordId = LoadU32LE(p + 4);
    std::memcpy(folders[i].name.data(), p + 8, kFolderInfoNameSize);
  }
  return folders;
}

std::vector<std::uint8_t> FormatFolderInfo(const std::vector<FolderInfo>& folders) {
  std::vector<std::uint8_t> out(folders.size() * kFolderInfoSize);
  for (std::size_t i = 0; i < folders.size(); ++i) {
    std::uint8_t* p = out.data() + i * kFolderInfoSize;
    for (int b = 0; b < 4; ++b) {
      p[b] = static_cast<std::uint8_t>(folders[i].objectNumber >> (8 * b));
      p[4 + b] = static_cast<std::uint8_t>(folders[i].recordId >> (8 * b));
    }
    std::memcpy(p + 8, folders[i].name.data(), kFolderInfoNameSize);
  }
  return out;
}

// --- ScanCatalogue ----------------------------------------------------------------------------

ScanCatalogue::ScanCatalogue() : writeBuffer_(kCatalogueBlockRecords, MakeEmptyRecord()) {}

ScanCatalogue::~ScanCatalogue() { Close(); }

Result ScanCatalogue::OpenCatalogue(const std::string& logName) {
  return OpenCatalogueIn(GetScanLogIndex().CurrentScanFolder(), logName);
}

Result ScanCatalogue::OpenCatalogueIn(const std::string& scanFolder, const std::string& logName) {
  Close();
  if (scanFolder.empty() || logName.empty() || logName == "." || logName == ".." ||
      logName.find('/') != std::string::npos)
    return kErrInvalidParameter;
  std::string folder = scanFolder;
  if (folder.back() != '/') folder += '/';
  CreateFolderTree(folder);  // a failure shows up as the open's error below

  mainPath_ = folder + logName;
  logName_ = logName;
  relationPath_ = mainPath_ + "_Relation";
  folderPath_ = mainPath_ + "_DirInfo";
  if (Result r = FileHandle::OpenStateFile(mainPath_, mainFile_); r != kSuccess) return Note(r);
  if (Result r = FileHandle::OpenStateFile(relationPath_, relationFile_); r != kSuccess) {
    mainFile_.Close();
    return Note(r);
  }

  // New records go after the last whole record an earlier run left; their ids follow on from it
  // so that an id always names the record at its position.
  std::uint64_t mainSize = 0;
  if (mainFile_.Size(mainSize) == kSuccess) {
    std::uint64_t whole = std::min<std::uint64_t>(mainSize / kRecordSize, std::numeric_limits<std::uint32_t>::max());
    loadedRecords_ = static_cast<std::uint32_t>(whole);
    recordCount_ = loadedRecords_;
    appendOffset_ = whole * kRecordSize;
  }

  std::string text;
  if (ReadPrefix(relationFile_, kMaxRelationBytes, text) == kSuccess && !text.empty())
    relations_ = ParseRelations(text);

  if (Note(FileHandle::OpenStateFile(folderPath_, folderFile_)) == kSuccess) {
    std::string bytes;
    if (ReadPrefix(folderFile_, kMaxFolderInfoBytes, bytes) == kSuccess && !bytes.empty()) {
      folders_ = ParseFolderInfo(
          std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
      for (std::size_t i = 0; i < folders_.size(); ++i) IndexFolder(i);
    }
  }
  return kSuccess;
}

Result ScanCatalogue::CreateCatalogue(std::string_view prefix, std::uint64_t partitionStartSector) {
  Close();
  std::string folder = GetScanLogIndex().CurrentScanFolder();
  if (folder.empty()) return Note(kErrInvalidParameter);
  if (folder.back() != '/') folder += '/';
  CreateFolderTree(folder);  // a failure shows up as the create's error below
  const CivilTime now = LocalNow();
  const std::string stem = std::string(prefix) + Format("%lld_%04d%02d%02d%02d%02d%02d",
                                                        static_cast<long long>(partitionStartSector), now.year,
                                                        now.month, now.day, now.hour, now.minute, now.second);
  constexpr int kMaxTries = 10000;
  for (int n = 1; n <= kMaxTries; ++n) {
    const std::string name = n == 1 ? stem : stem + "_" + std::to_string(n);
    auto taken = [](const std::string& path) {
      struct stat st {};
      return ::lstat(path.c_str(), &st) == 0;
    };
    if (taken(folder + name + "_Relation") || taken(folder + name + "_DirInfo")) continue;
    FileHandle claim;
    const Result r = FileHandle::CreateNew(folder + name, claim);
    if (r == kErrFileExists) continue;
    if (r != kSuccess) return Note(r);
    claim.Close();
    return OpenCatalogueIn(folder, name);
  }
  return Note(kErrFileExists);
}

FoundFileRecord* ScanCatalogue::AppendRecord() {
  if (bufferedRecords_ >= kCatalogueBlockRecords) FlushRecords();
  ++recordCount_;
  FoundFileRecord* slot = &writeBuffer_[bufferedRecords_++];
  *slot = MakeEmptyRecord();
  return slot;
}

void ScanCatalogue::AddRelation(std::uint64_t parentKey, std::uint32_t childRecordId,
                                std::uint32_t childObjectNumber) {
  (void)childObjectNumber;  // only folders keep their identity, in the folder list
  const auto id = static_cast<std::int32_t>(childRecordId);
  relations_[parentKey].push_back(id);
  relationsDirty_ = true;
  if (parentIndexBuilt_) NoteChild(parentKey, id);
}

void ScanCatalogue::AddRelation(std::uint64_t parentKey, std::uint32_t childRecordId,
                                std::uint32_t childObjectNumber, std::string_view folderName) {
  AddRelation(parentKey, childRecordId, childObjectNumber);
  FolderInfo info;
  info.objectNumber = childObjectNumber;
  info.recordId = childRecordId;
  CopyToField(folderName, info.name.data(), info.name.size());
  folders_.push_back(info);
  IndexFolder(folders_.size() - 1);
  foldersDirty_ = true;
}

void ScanCatalogue::IndexFolder(std::size_t index) { folderByObject_.emplace(folders_[index].objectNumber, index); }

Result ScanCatalogue::FlushRecords() {
  if (bufferedRecords_ == 0) return kSuccess;
  const std::size_t bytes = bufferedRecords_ * kRecordSize;
  Result r = mainFile_.IsValid() ? WriteAll(mainFile_, writeBuffer_.data(), bytes, appendOffset_) : kErrInvalidHandle;
  // The buffer is emptied even when the write failed: the scan goes on, and ids keep naming
  // their positions.
  appendOffset_ += bytes;
  bufferedRecords_ = 0;
  return Note(r);
}

Result ScanCatalogue::WriteRelations() {
  if (!relationsDirty_ || !relationFile_.IsValid()) return kSuccess;
  std::string chunk;
  std::uint64_t offset = 0;
  for (const auto& [key, ids] : relations_) {
    AppendRelationEntry(chunk, key, ids);
    if (chunk.size() >= kRelationWriteChunk) {
      if (Result r = WriteAll(relationFile_, chunk.data(), chunk.size(), offset); r != kSuccess) return r;
      offset += chunk.size();
      chunk.clear();
    }
  }
  if (!chunk.empty()) {
    if (Result r = WriteAll(relationFile_, chunk.data(), chunk.size(), offset); r != kSuccess) return r;
    offset += chunk.size();
  }
  // A shorter text than before (a damaged file read back) must not leave old bytes behind it.
  if (::ftruncate(relationFile_.fd(), static_cast<off_t>(offset)) != 0) return ResultFromErrno(errno);
  relationsDirty_ = false;
  return kSuccess;
}

Result ScanCatalogue::WriteFolders() {
  if (!foldersDirty_ || !folderFile_.IsValid()) return kSuccess;
  std::vector<std::uint8_t> bytes = FormatFolderInfo(folders_);
  if (Result r = WriteAll(folderFile_, bytes.data(), bytes.size(), 0); r != kSuccess) return r;
  if (::ftruncate(folderFile_.fd(), static_cast<off_t>(bytes.size())) != 0) return ResultFromErrno(errno);
  foldersDirty_ = false;
  return kSuccess;
}

Result ScanCatalogue::Flush() {
  if (Result r = FlushRecords(); r != kSuccess) return r;
  if (Result r = Note(WriteRelations()); r != kSuccess) return r;
  return Note(WriteFolders());
}

bool ScanCatalogue::ReadRecord(std::uint32_t recordId, FoundFileRecord& out) const {
  if (recordId == 0) return false;
  const std::uint64_t offset = static_cast<std::uint64_t>(recordId - 1) * kRecordSize;
  if (offset >= appendOffset_) {
    const std::uint64_t index = (offset - appendOffset_) / kRecordSize;
    if (index >= bufferedRecords_) return false;
    out = writeBuffer_[static_cast<std::size_t>(index)];
    return true;
  }
  if (!mainFile_.IsValid()) return false;
  return mainFile_.Pread(&out, kRecordSize, offset) == static_cast<ssize_t>(kRecordSize);
}

Result ScanCatalogue::ListChildren(std::uint64_t parentKey, RecordList& out) {
  auto it = parentKey == 0 ? relations_.begin() : relations_.find(parentKey);
  if (it != relations_.end()) {
    FoundFileRecord record;
    for (std::int32_t id : it->second) {
      if (!ReadRecord(static_cast<std::uint32_t>(id), record)) continue;
      if (IsSkippedPicture(record)) continue;
      out.push_back(record);
    }
  }
  SortRecords(out);
  return kSuccess;
}

Result ScanCatalogue::CountFilesBelow(std::uint64_t parentKey, std::int32_t& outCount) {
  outCount = 0;
  std::int64_t count = 0;
  const std::uint32_t startLevel = KeyLevel(parentKey);
  std::deque<std::uint64_t> queue{parentKey};
  // Every key is walked once, so relations that loop (or name a folder twice) still end.
  std::unordered_set<std::uint64_t> seen{parentKey};
  FoundFileRecord record;
  while (!queue.empty()) {
    const std::uint64_t key = queue.front();
    queue.pop_front();
    auto it = relations_.find(key);
    if (it == relations_.end()) continue;
    const std::uint32_t level = KeyLevel(key);
    const bool mayDescend = level != std::numeric_limits<std::uint32_t>::max() && level - startLevel < kMaxWalkDepth;
    for (std::int32_t id : it->second) {
      if (!ReadRecord(static_cast<std::uint32_t>(id), record)) continue;
      if (record.isFolder == 0) {
        ++count;
      } else if (mayDescend) {
        const std::uint64_t child = MakeFolderKey(record.objectNumber, level + 1);
        if (seen.insert(child).second) queue.push_back(child);
      }
    }
  }
  outCount = static_cast<std::int32_t>(std::min<std::int64_t>(count, std::numeric_limits<std::int32_t>::max()));
  return kSuccess;
}

void ScanCatalogue::NoteChild(std::uint64_t key, std::int32_t recordId) {
  const auto id = static_cast<std::uint32_t>(recordId);
  if (recordId <= 0 || id > recordCount_) return;  // names no record: never the start of a walk
  if (parentSlotById_.size() <= id) parentSlotById_.resize(static_cast<std::size_t>(id) + 1, 0);
  std::uint32_t& slot = parentSlotById_[id];
  if (slot != 0 && parentKeys_[slot - 1] <= key) return;  // the lowest key wins
  auto [it, inserted] = parentSlotByKey_.emplace(key, static_cast<std::uint32_t>(parentKeys_.size() + 1));
  if (inserted) parentKeys_.push_back(key);
  slot = it->second;
}

const std::uint64_t* ScanCatalogue::KeyContaining(std::int32_t recordId) {
  if (!parentIndexBuilt_) {
    parentSlotById_.clear();
    for (const auto& [key, ids] : relations_)
      for (std::int32_t id : ids) NoteChild(key, id);
    parentIndexBuilt_ = true;
  }
  const auto id = static_cast<std::uint32_t>(recordId);
  if (recordId <= 0 || id >= parentSlotById_.size() || parentSlotById_[id] == 0) return nullptr;
  return &parentKeys_[parentSlotById_[id] - 1];
}

std::optional<std::uint64_t> ScanCatalogue::ParentKeyOf(std::uint32_t recordId) {
  if (recordId > static_cast<std::uint32_t>(INT32_MAX)) return std::nullopt;
  const std::uint64_t* key = KeyContaining(static_cast<std::int32_t>(recordId));
  if (key == nullptr) return std::nullopt;
  return *key;
}

bool ScanCatalogue::FindFolderRecordInMain(std::uint32_t objectNumber, FoundFileRecord& out) {
  // Extend the index over records written since the last look, one block at a time.
  if (mainFile_.IsValid() && mainFolderScanned_ < appendOffset_) {
    std::vector<FoundFileRecord> block(kCatalogueBlockRecords);
    while (mainFolderScanned_ < appendOffset_) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(kCatalogueBlockBytes, appendOffset_ - mainFolderScanned_));
      ssize_t got = mainFile_.Pread(block.data(), want, mainFolderScanned_);
      if (got < static_cast<ssize_t>(kRecordSize)) break;
      const std::size_t records = static_cast<std::size_t>(got) / kRecordSize;
      for (std::size_t i = 0; i < records; ++i) {
        if (block[i].isFolder == 0) continue;
        const std::uint64_t position = mainFolderScanned_ / kRecordSize + i + 1;
        const std::uint32_t objectNumber = block[i].objectNumber;
        mainFolderByObject_.emplace(objectNumber, static_cast<std::uint32_t>(position));
      }
      mainFolderScanned_ += records * kRecordSize;
    }
  }
  auto it = mainFolderByObject_.find(objectNumber);
  return it != mainFolderByObject_.end() && ReadRecord(it->second, out);
}

Result ScanCatalogue::AncestorRecords(const FoundFileRecord* record, RecordList& out) {
  if (record == nullptr) return kErrInvalidParameter;
  std::unordered_set<std::uint64_t> visited;
  auto current = static_cast<std::int32_t>(record->recordId);
  for (std::uint32_t depth = 0; depth < kMaxWalkDepth; ++depth) {
    const std::uint64_t* keyPtr = KeyContaining(current);
    if (keyPtr == nullptr) return kSuccess;  // in the root
    const std::uint64_t key = *keyPtr;
    if (!visited.insert(key).second) return kSuccess;  // damaged relations that loop
    const std::uint32_t objectNumber = KeyObjectNumber(key);
    if (auto f = folderByObject_.find(objectNumber); f != folderByObject_.end()) {
      const FolderInfo& info = folders_[f->second];
      FoundFileRecord folder = MakeEmptyRecord();
      folder.isFolder = 1;
      folder.contentState = 1;
      folder.recordId = info.recordId;
      folder.objectNumber = info.objectNumber;
      CopyToField(info.Name(), folder.name, kRecordNameSize);
      out.push_back(folder);
      if (static_cast<std::int32_t>(info.recordId) == current) return kSuccess;
      current = static_cast<std::int32_t>(info.recordId);
      continue;
    }
    FoundFileRecord folder;
    if (!FindFolderRecordInMain(objectNumber, folder)) return kErrInvalidParameter;
    out.push_back(folder);
    current = static_cast<std::int32_t>(folder.recordId);
  }
  return kSuccess;
}

Result ScanCatalogue::FolderPathOf(const FoundFileRecord* record, std::string& out) {
  out.clear();
  if (record == nullptr) return kErrInvalidParameter;
  RecordList ancestors;
  // A chain that breaks off still gives the part of the path that was found.
  AncestorRecords(record, ancestors);
  for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
    out += FieldText(it->name, kRecordNameSize);
    out += '/';
  }
  return kSuccess;
}

std::int32_t ScanCatalogue::FilterByExtensions(const std::string& pattern, RecordList& out, std::size_t sortFrom) {
  Flush();
  if (!mainFile_.IsValid()) return 0;
  std::uint64_t fileSize = 0;
  if (mainFile_.Size(fileSize) != kSuccess) return 0;

  const std::string_view patternText = TruncateUtf8(pattern, kMaxPatternBytes);
  const bool otherMode = patternText.find(".other") != std::string_view::npos && fileSize < kOtherModeMaxBytes;
  const std::string& known = KnownExtensions();

  std::vector<FoundFileRecord> block(kCatalogueBlockRecords);
  // Room for every record of the file, so that the list is not moved as it grows: only the part
  // that is filled is ever touched.
  out.reserve(out.size() + static_cast<std::size_t>(std::min<std::uint64_t>(fileSize / kRecordSize, kReserveRecords)));
  std::uint64_t offset = 0;
  std::string extension;  // reused: no allocation per record
  std::string dotted;
  // A scan of many thousand files has few distinct extensions: each is looked up in the lists
  // once (for every record it was a third of a recovery's time).
  struct Verdict {
    bool picture;
    bool match;
  };
  std::unordered_map<std::string, Verdict> verdicts;
  while (offset < fileSize) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kCatalogueBlockBytes, fileSize - offset));
    ssize_t got = mainFile_.Pread(block.data(), want, offset);
    if (got <= 0) break;
    const std::size_t records = static_cast<std::size_t>(got) / kRecordSize;
    // A short tail (a truncated last record) is counted as read but not used.
    offset += records != 0 ? records * kRecordSize : static_cast<std::uint64_t>(got);
    for (std::size_t i = 0; i < records; ++i) {
      const FoundFileRecord& record = block[i];
      if (record.isFolder != 0) continue;
      extension.assign(ExtensionOf(FieldText(record.name, kRecordNameSize)));
      for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (extension.empty()) {
        if (otherMode) out.push_back(record);
        continue;
      }
      auto verdict = verdicts.find(extension);
      if (verdict == verdicts.end()) {
        dotted.assign(1, '.');
        dotted += extension;
        const bool match = patternText.find(dotted) != std::string_view::npos ||
                           (otherMode && known.find(dotted) == std::string::npos);
        // A hostile volume's names could bring a million extensions: the memo stops growing.
        if (verdicts.size() >= 4096) verdicts.clear();
        verdict = verdicts.emplace(extension, Verdict{IsPictureExtension(extension), match}).first;
      }
      if (record.contentState == 0 && verdict->second.picture) continue;
      if (verdict->second.match) out.push_back(record);
    }
    if (filterCallback_ != nullptr) {
      const auto percent = static_cast<std::int32_t>(offset * 100 / fileSize);
      if (filterCallback_(filterUserData_, percent, 0) != 0) break;
    }
    if (records == 0) break;
  }
  SortRecords(out, sortFrom);
  return 1;
}

void ScanCatalogue::Close() {
  Flush();
  mainFile_.Close();
  relationFile_.Close();
  folderFile_.Close();
  mainPath_.clear();
  relationPath_.clear();
  folderPath_.clear();
  bufferedRecords_ = 0;
  appendOffset_ = 0;
  recordCount_ = 0;
  loadedRecords_ = 0;
  relations_.clear();
  folders_.clear();
  relationsDirty_ = false;
  foldersDirty_ = false;
  folderByObject_.clear();
  parentSlotById_.clear();
  parentKeys_.clear();
  parentSlotByKey_.clear();
  parentIndexBuilt_ = false;
  mainFolderByObject_.clear();
  mainFolderScanned_ = 0;
  error_ = kSuccess;
}

}  // namespace rexmoor
