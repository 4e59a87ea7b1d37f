#include "ntfs/ntfs_folders.h"

#include <algorithm>

#include "engine/name_sanitize.h"
#include "engine/scan_catalogue.h"
#include "ntfs/ntfs_volume_reader.h"
#include "platform/text.h"

namespace rexmoor {

std::optional<FileNameInfo> ChooseFileName(std::span<const std::uint8_t> record, const RecordHeader& header) {
  std::optional<FileNameInfo> best;
  AttributeWalker walk(record, header);
  while (auto a = walk.Next()) {
    if (a->type != kAttrFileName || a->nonResident) continue;
    auto name = ParseFileName(a->value);
    if (!name) continue;
    if (!best || FileNameRank(name->nameSpace) > FileNameRank(best->nameSpace)) best = name;
  }
  return best;
}

std::string FoundNameOf(const FileNameInfo& name) {
  return SanitizeName(FileNameText(name, kRecordNameSize - 1));
}

std::string StreamNameOf(const FileNameInfo& file, std::span<const std::uint8_t> streamName) {
  std::string suffix = ":" + SanitizeName(Utf16NameText(streamName, kMaxNameBytes));
  suffix.resize(TruncateUtf8(suffix, kMaxNameBytes / 2).size());
  std::string base = FoundNameOf(file);
  base.resize(TruncateUtf8(base, kMaxNameBytes - suffix.size()).size());
  return base + suffix;
}

void ForEachNamedStream(const NtfsVolumeReader& reader, std::span<const std::uint8_t> record,
                        const RecordHeader& header, const FileNameInfo& name, const FoundFileRecord& file,
                        NtfsDataStream& scratch, const std::function<void(FoundFileRecord&)>& add) {
  const std::vector<Attribute> streams = NamedDataStreams(record, header);
  for (std::size_t i = 0; i < streams.size(); ++i) {
    FoundFileRecord r = file;
    (void)reader.FindStream(record, header, kAttrData, scratch, streams[i].name);
    r.size = std::min(scratch.found ? scratch.realSize : 0, reader.VolumeBytes());
    r.extra = static_cast<std::uint16_t>(i + 1);
    const std::string text = StreamNameOf(name, streams[i].name);
    SetRecordName(r, text);
    // The clusters of a file whose volume was not placed (clusterBytes -1) are not read.
    const bool unplaced = file.clusterBytes == -1 && !scratch.resident;
    r.contentState = unplaced ? 1 : reader.CheckContent(scratch, text, file.locationSector);
    add(r);
  }
}

void NtfsFolderChains::Reset(NtfsRecordFetch fetch, std::uint32_t recordSize) {
  fetch_ = std::move(fetch);
  buffer_.assign(recordSize, 0);
  folders_.clear();
  deferred_.clear();
}

const NtfsFolder* NtfsFolderChains::Find(std::uint32_t u) const {
  auto it = folders_.find(u);
  return it == folders_.end() ? nullptr : &it->second;
}

void NtfsFolderChains::Note(std::uint32_t u, NtfsFolder folder) { folders_.emplace(u, std::move(folder)); }

std::uint32_t NtfsFolderChains::Depth(std::uint32_t u) {
  if (u == kRootFolderRecord) return 0;
  if (const NtfsFolder* known = Find(u)) return known->depth;

  // Walk up until the root, a folder already known, or the end of the chain; then give every
  // folder on the way its depth, counting down from the top.
  std::vector<std::pair<std::uint32_t, NtfsFolder>> path;
  std::unordered_set<std::uint32_t> onPath;
  std::vector<std::uint32_t> met;  // every folder read on the way, in the order it was met
  std::uint32_t base = 0;  // depth of whatever the top of the path lies in
  std::uint32_t current = u;
  while (true) {
    if (current == kRootFolderRecord) break;
    if (const NtfsFolder* known = Find(current)) {
      base = known->depth;
      break;
    }
    if (onPath.count(current) != 0 || path.size() >= kMaxNtfsFolderDepth) {
      // A loop, or a chain deeper than any real tree: the last folder reached ends it.
      NtfsFolder lost;
      lost.inUse = path.back().second.inUse;
      onPath.erase(path.back().first);
      Note(path.back().first, lost);
      path.pop_back();
      base = 1;
      break;
    }
    met.push_back(current);
    NtfsFolder folder;
    RecordHeader header;
    std::optional<FileNameInfo> name;
    // The file system's own records (other than the root) are never shown as folders.
    const bool readable = current >= kFirstUserRecord && fetch_ && fetch_(current, buffer_, header) == kSuccess;
    if (readable) {
      folder.inUse = header.InUse();
      if (header.IsDirectory()) name = ChooseFileName(buffer_, header);
    }
    if (!name || name->ParentNumber() == 0) {
      // Unreadable, no longer a folder, or nameless: a lost folder in the root.
      Note(current, folder);
      base = 1;
      break;
    }
    folder.kind = NtfsFolder::Kind::Named;
    folder.parent = name->ParentNumber();
    folder.name = FoundNameOf(*name);
    const NtfsTimes times = FileTimesOf(buffer_, header, *name);
    folder.created = times.created;
    folder.modified = times.modified;
    folder.accessed = times.accessed;
    onPath.insert(current);
    path.emplace_back(current, std::move(folder));
    current = path.back().second.parent;
  }
  std::uint32_t depth = base;
  for (auto it = path.rbegin(); it != path.rend(); ++it) {
    it->second.depth = ++depth;
  }
  for (auto& [number, folder] : path) Note(number, std::move(folder));
  // Deferred() lists the folders in the order the walk met them: a folder before those above it.
  deferred_.insert(deferred_.end(), met.begin(), met.end());
  const NtfsFolder* result = Find(u);
  return result != nullptr ? result->depth : 1;
}

std::optional<ChainFolderRecord> MakeChainFolderRecord(NtfsFolderChains& chains, std::uint32_t number,
                                                       std::uint16_t sourceTag, std::int32_t engineTag) {
  const NtfsFolder* folder = chains.Find(number);
  if (folder == nullptr) return std::nullopt;
  ChainFolderRecord out;
  if (folder->kind == NtfsFolder::Kind::Lost) {
    out.record = MakeLostFolderRecord(sourceTag, engineTag, number);
    out.parentKey = ScanCatalogue::MakeFolderKey(kRootFolderRecord, 0);
    out.lost = true;
    return out;
  }
  FoundFileRecord& r = out.record;
  r = MakeEmptyRecord();
  r.sourceTag = sourceTag;
  r.engineTag = engineTag;
  r.isFolder = 1;
  r.deletedMark = folder->inUse ? 0 : 1;
  r.contentState = 1;
  r.objectNumber = number;
  r.createdTime = folder->created;
  r.accessedTime = folder->accessed;
  r.modifiedTime = folder->modified;
  SetRecordName(r, folder->name);
  const std::uint32_t parent = folder->parent;
  // Depth may read further records; the folder pointer is not used after it.
  out.parentKey = ScanCatalogue::MakeFolderKey(parent, chains.Depth(parent));
  return out;
}

}  // namespace rexmoor
