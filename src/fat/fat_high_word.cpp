// Where a deleted FAT32 entry lost the high word of its first cluster: the candidates that share
// its low word are tried, a folder by its "."/".." pair, a file by the content its extension
// promises. And the content check of found files.
#include "fat/fast_fat_recovery.h"
#include "formats/carve_at_sector.h"
#include "formats/file_format_table.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

// The searches try high words 0..256.
constexpr std::uint32_t kMaxHighWord = 256;

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
  for (std::uint32_t h = 0; h <= kMaxHighWord; ++h) {
    const std::uint64_t cluster = (std::uint64_t{h} << 16) | lowWord;
    if (cluster > layout_.maxCluster) break;
    if (!layout_.IsValidCluster(cluster)) continue;
    if (!FirstSectorOf(static_cast<std::uint32_t>(cluster), sectorBuffer_)) break;
    if (IsDotPair(sectorBuffer_.data())) return static_cast<std::uint16_t>(h);
  }
  return 0;
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
  std::uint16_t found = 0;
  for (std::uint32_t h = 0; h <= kMaxHighWord; ++h) {
    const std::uint64_t cluster = (std::uint64_t{h} << 16) | lowWord;
    if (cluster > layout_.maxCluster) break;
    if (!layout_.IsValidCluster(cluster)) continue;
    if (!FirstSectorOf(static_cast<std::uint32_t>(cluster), sectorBuffer_)) break;
    if (ContentMatches(sectorBuffer_, extension, *layout_.ClusterSector(cluster))) {
      found = static_cast<std::uint16_t>(h);
      break;
    }
  }
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
