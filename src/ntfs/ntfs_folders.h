// The folder tree above found NTFS files, rebuilt from parent references. A found file is
// catalogued under its parent folder's key (record number, depth); the folders on its chain up to
// the root are remembered and catalogued afterwards. A chain that cannot be followed (the parent's
// record is unreadable, no longer a folder, one of the file system's own, part of a loop, or absurdly
// deep) ends in a folder of its own in the root, named "LostFolder%d" after the record number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/found_file_record.h"
#include "formats/ntfs_record.h"
#include "platform/result_codes.h"

namespace rexmoor {

// Chains longer than this are taken as damage; the folder at this depth becomes a lost folder.
inline constexpr std::uint32_t kMaxNtfsFolderDepth = 1024;

// The $FILE_NAME a record is shown by: the first of the most preferred namespace (Win32 over POSIX
// over DOS), so a DOS name that comes first gives way to the long name after it.
std::optional<FileNameInfo> ChooseFileName(std::span<const std::uint8_t> record, const RecordHeader& header);
// The name as it goes into a record: UTF-8, cut to the record's field, safe as a path component.
std::string FoundNameOf(const FileNameInfo& name);

// The name a named stream of a file is listed and written by: "file:stream", both parts safe as a
// path component; a long file name gives way to the stream's.
std::string StreamNameOf(const FileNameInfo& file, std::span<const std::uint8_t> streamName);


struct NtfsFolder {
  enum class Kind : std::uint8_t { Named, Lost };
  Kind kind = Kind::Lost;
  std::uint32_t parent = 0;  // Named: the folder it lies in
  std::uint32_t depth = 1;   // folders between it and the root, itself included
  bool inUse = false;
  std::string name;          // Named: as FoundNameOf gives it
  std::uint64_t created = 0;
  std::uint64_t modified = 0;
  std::uint64_t accessed = 0;
};

// Reads and prepares record n into the buffer (one record long).
using NtfsRecordFetch = std::function<Result(std::uint32_t number, std::span<std::uint8_t> buffer,
                                             RecordHeader& header)>;

class NtfsFolderChains {
 public:
  void Reset(NtfsRecordFetch fetch, std::uint32_t recordSize);

  // The depth of folder u (0 for the root, record 5), following its chain as far as needed; every
  // folder met is noted in Deferred(). Each folder's record is read once per scan.
  std::uint32_t Depth(std::uint32_t u);
  // Folders met on chains, in the order they were first met.
  const std::vector<std::uint32_t>& Deferred() const { return deferred_; }
  const NtfsFolder* Find(std::uint32_t u) const;

 private:
  void Note(std::uint32_t u, NtfsFolder folder);

  NtfsRecordFetch fetch_;
  std::vector<std::uint8_t> buffer_;
  std::unordered_map<std::uint32_t, NtfsFolder> folders_;
  std::vector<std::uint32_t> deferred_;
};

class NtfsVolumeReader;
struct NtfsDataStream;
// The found records of a file's named streams: each a copy of the file's record with the stream's
// name, number (in extra), size and content check, handed to add in the record's order.
void ForEachNamedStream(const NtfsVolumeReader& reader, std::span<const std::uint8_t> record,
                        const RecordHeader& header, const FileNameInfo& name, const FoundFileRecord& file,
                        NtfsDataStream& scratch, const std::function<void(FoundFileRecord&)>& add);

// A folder of the chains as it goes into the catalogue: a named folder under its parent's key,
// a lost one in the root. The engine adds what only it knows (cluster size, origin, location).
struct ChainFolderRecord {
  FoundFileRecord record;
  std::uint64_t parentKey = 0;
  bool lost = false;
};
std::optional<ChainFolderRecord> MakeChainFolderRecord(NtfsFolderChains& chains, std::uint32_t number,
                                                       std::uint16_t sourceTag, std::int32_t engineTag);

}  // namespace rexmoor
