// Disk images kept in container formats (EWF evidence files, VHD/VHDX, VMDK, QCOW2) and raw
// images split into numbered pieces, each read as the one logical disk it holds. The format is
// told by the file's content; only split raw images are told by their names.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_handle.h"
#include "platform/result_codes.h"

namespace rexmoor {

// The logical bytes of a medium that is not one plain file. Reads may come from several threads.
class MediumReader {
 public:
  virtual ~MediumReader() = default;
  // Logical length in bytes.
  virtual std::uint64_t Size() const = 0;
  // Reads up to length bytes at offset, like pread: the bytes that arrived, 0 at the end, -1
  // when the container could not give them (a corrupt or missing piece, a checksum mismatch).
  virtual ssize_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) = 0;
};

enum class ContainerKind { None, Ewf, Vhd, Vhdx, Vmdk, Qcow, SplitRaw };

// The container a file is, by its first and last bytes (split raw: by name, when a second piece
// exists beside it). None for a plain file, a device or one that cannot be read.
ContainerKind DetectContainer(const std::string& path);
const char* ContainerKindName(ContainerKind kind);

// Opens the container at path; out stays empty for a plain file (kSuccess). On failure a code and
// a one-line reason (a missing parent or segment is named).
Result OpenContainer(const std::string& path, std::shared_ptr<MediumReader>& out, std::string& error);

// Every file the container's contents come from (its segments, extents, parents), for telling
// whether it changed; just path for a plain file.
std::vector<std::string> ContainerFiles(const std::string& path);

// A memory-backed file as long as the container's disk, holding only the stretches copied in
// with CopyIntoShadow (the rest reads as zeros): for probes that need a descriptor.
Result MakeShadowMedium(const MediumReader& reader, FileHandle& out);
void CopyIntoShadow(MediumReader& reader, const FileHandle& shadow, std::uint64_t offset, std::uint64_t length);

// What `verify` found for an EWF image.
struct ContainerVerification {
  std::string storedMd5, storedSha1;      // lowercase hex; empty when the image holds none
  std::string computedMd5, computedSha1;
  std::uint64_t bytesRead = 0;
  std::uint64_t badBytes = 0;             // in stretches that could not be read
  bool Matches() const {
    return badBytes == 0 && (!storedMd5.empty() || !storedSha1.empty()) &&
           (storedMd5.empty() || storedMd5 == computedMd5) && (storedSha1.empty() || storedSha1 == computedSha1);
  }
};
// Reads the whole media of an EWF image and compares its digests with the stored ones. progress
// (when given) gets the bytes done and the total and returns false to stop (kCancelled).
Result VerifyContainer(const std::string& path, ContainerVerification& out, std::string& error,
                       const std::function<bool(std::uint64_t, std::uint64_t)>& progress = {});

}  // namespace rexmoor
