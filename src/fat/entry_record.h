// The fields of a found-file record that come straight from a FAT directory entry, shared by the
// quick and the formatted FAT engine.
#pragma once

#include <span>
#include <string>

#include "engine/found_file_record.h"
#include "engine/name_sanitize.h"
#include "formats/fat_dir_entry.h"
#include "formats/fat_layout.h"

namespace rexmoor {

// "." and ".." as the first name bytes of an entry.
inline bool IsDotEntry(const std::uint8_t* e) { return e[0] == '.' && e[1] == ' '; }
inline bool IsDotDotEntry(const std::uint8_t* e) { return e[0] == '.' && e[1] == '.'; }

// The three stamps of the entry.
inline void SetEntryTimes(FoundFileRecord& record, std::span<const std::uint8_t> raw) {
  const FatTimes times = DecodeFatTimes(raw);
  record.createdTime = times.created;
  record.accessedTime = times.accessed;
  record.modifiedTime = times.modified;
}

// The name a found entry is listed under: its long name, else its short name (a folder's without
// the extension field), made safe to create on disk.
inline std::string EntryDisplayName(const std::string& longName, std::span<const std::uint8_t> raw, bool isFolder) {
  return SanitizeName(!longName.empty() ? longName : DecodeShortName(raw, !isFolder));
}

}  // namespace rexmoor
