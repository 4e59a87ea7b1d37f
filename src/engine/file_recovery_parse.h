// The interface every recovery engine presents. The application obtains an engine from the
// factory, scans, then browses, filters, previews and recovers through these operations, handing
// records back to the engine that produced them. Slots keep their historical order.
#pragma once

#include <cstdint>
#include <string>

#include "engine/found_file_record.h"
#include "platform/result_codes.h"

namespace rexmoor {

// Any non-zero return asks the engine to stop; kCancelled is the user's cancel.
using ScanProgressCallback = std::int32_t (*)(void* userData, std::int32_t progress, std::int32_t weight,
                                              std::int32_t secondsLeft, std::uint64_t sectorsDone,
                                              std::uint64_t sectorsTotal, std::uint64_t filesFound,
                                              std::int32_t reserved);
using FileProgressCallback = std::int32_t (*)(void* userData, std::int32_t percent, std::int32_t scale,
                                              std::int32_t resultCode, const char* destinationPath);
using FilterProgressCallback = std::int32_t (*)(void* userData, std::int32_t percent, std::int32_t reserved);
using PreviewProgressCallback = std::int32_t (*)(void* userData, std::int32_t percent, std::int32_t resultCode);

class IFileRecoveryParse {
 public:
  virtual ~IFileRecoveryParse() = default;

  // 0: opens an image file (512-byte sectors, partition start 0); 0 when already open.
  virtual Result OpenImageFile(const std::string& imagePath, std::uint16_t sourceTag) = 0;
  // 1: opens a partition of drive N; 0 when already open.
  virtual Result OpenDisk(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                          std::uint16_t sourceTag) = 0;
  // 2
  virtual Result SetCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback,
                              void* userData, std::int32_t weight) = 0;
  // 3: null scans into a new catalogue; a name loads that earlier catalogue instead.
  virtual Result Scan(const char* logName) = 0;
  // 4: appends the folder's children (null folder with level 0 = root), then sorts the list.
  virtual Result GetChildren(const FoundFileRecord* folder, std::int32_t level, RecordList& out) = 0;
  // 5: number of file records anywhere below the folder.
  virtual Result CountFiles(const FoundFileRecord* folder, std::int32_t level, std::int32_t* count) = 0;
  // 6
  virtual std::uint64_t GetFoundCount() = 0;
  // 7: names of the ancestor folders, outermost first, each followed by '/'.
  virtual Result GetFolderPath(const FoundFileRecord* record, std::string& out) = 0;
  // 8: writes a file, or recreates a folder and everything below it.
  virtual Result RecoverItem(const FoundFileRecord* record, const std::string& destination,
                             std::int32_t levelBase) = 0;
  // 9: next run of unallocated sectors at or after *start; non-zero for engines with a free map.
  virtual std::int32_t GetNextFreeRange(std::uint64_t* start, std::uint64_t* length) = 0;
  // 10
  virtual Result SetFilterCallback(FilterProgressCallback callback, void* userData) = 0;
  // 11: appends the file records whose type matches the dotted extension list; 1 when read.
  virtual std::int32_t FilterByType(const std::string& extensions, RecordList& out) = 0;
  // 12
  virtual Result BuildFreeSpaceMap() = 0;
  // 13: previewable types go to a temporary file (outPath); others copy leading bytes to buffer.
  virtual Result ExtractForPreview(const FoundFileRecord* record, std::string& outPath, std::uint8_t* buffer,
                                   std::uint32_t* byteCount, PreviewProgressCallback callback,
                                   void* userData) = 0;
};

}  // namespace rexmoor
