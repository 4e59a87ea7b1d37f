// Where a deleted FAT32 entry lost the high word of its first cluster: the candidates that share
// its low word are tried, a folder by its "."/".." pair, a file by the content its extension
// promises. And the content check of found files.
#include "fat/fast_fat_recovery.h"
#include "fat/high_word_search.h"
#include "formats/carve_at_sector.h"
#include "formats/file_format_table.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

bool IsDotPair(const std::uint8_t* s) { return s[0] == '.' && s[1] == ' ' && s[32] == '.' && s[33] == '.'; }

}  // namespace

bool CFastFatRecovery::FirstSectorOf(std::uint32_t cluster, std::vector<std::uint8_t>& sector) {
  auto at = layout_.ClusterSector(cluster);
  if (!at) return false;
  sector.resize(layout_.bytesPerSector);
  return ReadVolume(*at, 1, sector.data(), nullptr) == kSuccess;
}

std::uint16_t CFastFatRecovery::FindFolderHighWord(std::uint16_t lowWord) {
  if (auto it = folderHighWords_.find(lowWord); it != folderHighWords_.end()) return it->second;
  const std::uint16_t high = SearchFolderHighWord(lowWord);
  folderHighWords_.emplace(lowWord, high);
  return high;
}

std::uint16_t CFastFatRecovery::SearchFolderHighWord(std::uint16_t lowWord) {
  return SearchHighWord(lowWord, [this](std::uint32_t cluster) {
    if (cluster > layout_.maxCluster) return HighWordProbe::Stop;
    if (!layout_.IsValidCluster(cluster)) return HighWordProbe::Reject;
    if (!FirstSectorOf(cluster, sectorBuffer_)) return HighWordProbe::Stop;
    return IsDotPair(sectorBuffer_.data()) ? HighWordProbe::Accept : HighWordProbe::Reject;
  });
}

std::uint16_t CFastFatRecovery::FindFileHighWord(const std::string& name, std::uint16_t lowWord) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return 0;
  const std::string_view extension = std::string_view(name).substr(dot + 1);
  if (FindFormatByExtension(extension) == nullptr) return 0;
  std::string key = ToLowerAscii(extension);
  key += '/';
  key += std::to_string(lowWord);
  if (auto it = fileHighWords_.find(key); it != fileHighWords_.end()) return it->second;
  const std::uint16_t found = SearchHighWord(lowWord, [&](std::uint32_t cluster) {
    if (cluster > layout_.maxCluster) return HighWordProbe::Stop;
    if (!layout_.IsValidCluster(cluster)) return HighWordProbe::Reject;
    if (!FirstSectorOf(cluster, sectorBuffer_)) return HighWordProbe::Stop;
    return ContentMatches(sectorBuffer_, extension, *layout_.ClusterSector(cluster)) ? HighWordProbe::Accept
                                                                                     : HighWordProbe::Reject;
  });
  fileHighWords_.emplace(std::move(key), found);
  return found;
}

std::int32_t CFastFatRecovery::CheckContentByExtension(const FoundFileRecord& record) {
  const std::string_view extension = RecordExtension(record);
  if (RecordName(record).find('.') == std::string_view::npos) return 1;
  if (!FirstSectorOf(record.objectNumber, sectorBuffer_)) return 1;
  return ContentMatches(sectorBuffer_, extension, *layout_.ClusterSector(record.objectNumber)) ? 1 : 0;
}

bool CFastFatRecovery::ContentMatches(std::span<const std::uint8_t> sector, std::string_view extension,
                                      std::uint64_t volumeSector) {
  return CheckSignatureByExtension(sector, extension, source_, sectorSize_, AbsoluteSector(volumeSector));
}

}  // namespace rexmoor
