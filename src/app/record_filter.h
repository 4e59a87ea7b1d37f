// Finding files among thousands of finds: a name with wildcards, a size range, a range of the
// modified time, and the state of each find — how it was found (deleted entry of a live volume,
// entry of a formatted volume, carved) and what its content looks like (intact, possibly
// overwritten, incomplete). The command line's --name/--min-size/--max-size/--since/--until/
// --state and the window's search field and filters are this one filter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/file_recovery_parse.h"
#include "engine/found_file_record.h"

namespace rexmoor {

// How a find was found, from the engine that found it.
enum class FoundHow : std::uint8_t { Deleted, Formatted, Carved };
// What its content looks like, from the record's content state.
enum class Condition : std::uint8_t { Intact, PossiblyOverwritten, Incomplete };

FoundHow FoundHowOf(const FoundFileRecord& record);
Condition ConditionOf(const FoundFileRecord& record);
// "intact", "possibly overwritten", "incomplete (end estimated)".
const char* ConditionText(Condition condition);
// Where a find's data came from ("inode", "journal", "extent-leaf", "carved") and where its name
// came from ("directory", "deleted-entry", "journal", "none"); null when the engine does not say.
const char* DataSourceText(const FoundFileRecord& record);
const char* NameSourceText(const FoundFileRecord& record);

// The permissions and owner a find's file system kept for it (ext inodes); none when it keeps none.
struct FileOwnership {
  std::uint16_t mode = 0;  // st_mode: the type and permission bits
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
};
std::optional<FileOwnership> OwnershipOf(IFileRecoveryParse& engine, const FoundFileRecord& record);
// "rw-r--r--" and the like, with the set-id and sticky bits as ls shows them.
std::string PermissionText(std::uint16_t mode);

struct RecordFilter {
  // Matched against the name (not the folder), case-insensitively; '*' and '?' are wildcards. A
  // pattern without them matches names that contain it.
  std::string name;
  std::optional<std::uint64_t> minSize, maxSize;  // bytes, both ends included
  // FILETIME of the modified time, both ends included; a find without a modified time is not
  // in a time range.
  std::optional<std::uint64_t> since, until;
  // Bit sets over FoundHow and Condition; 0 lets every one through.
  std::uint8_t how = 0;
  std::uint8_t conditions = 0;

  bool Empty() const;
  // Folders pass only an empty filter: the filters are about files.
  bool Matches(const FoundFileRecord& record) const;
};

inline constexpr std::uint8_t Bit(FoundHow how) { return static_cast<std::uint8_t>(1u << static_cast<unsigned>(how)); }
inline constexpr std::uint8_t Bit(Condition c) { return static_cast<std::uint8_t>(1u << static_cast<unsigned>(c)); }

// Case-insensitive (ASCII) wildcard match of the whole text.
bool WildcardMatch(std::string_view pattern, std::string_view text);

// "1500", "10K", "2.5M", "1G" (K = 1024); nullopt for anything else.
std::optional<std::uint64_t> ParseSizeText(std::string_view text);
// "2024-06-30" or "2024-06-30 14:05[:09]" (or with 'T'), as FILETIME; a date alone is its first
// moment, or with endOfDay its last.
std::optional<std::uint64_t> ParseDateText(std::string_view text, bool endOfDay);
// A comma-separated list of deleted, formatted, carved, intact, overwritten, incomplete, added to
// the filter's bit sets; false (with the unknown word in error) for anything else.
bool ParseStateList(std::string_view list, RecordFilter& filter, std::string& error);

}  // namespace rexmoor
