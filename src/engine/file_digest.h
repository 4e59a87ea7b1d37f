// Digests of the files a recovery writes, made from the very bytes the engines' file sink writes
// (no second read), and where on the medium those bytes lay. A recovery asks for them by setting a
// file observer for the time it calls RecoverItem on its thread; every sink written on that thread
// feeds it, and the engines' read loops tell it each piece's place. Nothing is hashed or noted
// while no observer is set.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/result_codes.h"

namespace rexmoor {

struct FileDigests {
  std::string sha256;  // lower-case hex; empty when not asked for
  std::string md5;
};

struct FoundFileRecord;

// One stretch of a file's data and where it lay. imageOffset counts from the first byte of the
// image file or device, not of the partition. Data runs were read there as they are; a fill run
// was not read at all (sparse, or past what the volume wrote: zeros); a resident run lay inside a
// file record; a compressed run is `length` bytes on the medium that gave `uncompressedLength`
// bytes of the file.
struct ByteRun {
  enum class Kind : std::uint8_t { Data, Fill, Resident, Compressed };
  std::uint64_t fileOffset = 0;
  std::uint64_t imageOffset = 0;  // not for fill runs
  std::uint64_t length = 0;
  std::uint64_t uncompressedLength = 0;  // compressed runs only
  Kind kind = Kind::Data;
  bool operator==(const ByteRun&) const = default;
};

// Cap on the runs kept for one file: a damaged chain that hops cluster by cluster across a large
// volume still ends in a list of bounded size; what is past the cap is left out (and said so).
inline constexpr std::size_t kMaxByteRunsPerFile = 1u << 16;

// Appends a run, joined to the last one when it continues it both in the file and on the medium
// (fill runs: in the file). False when the cap left it out.
bool AppendByteRun(std::vector<ByteRun>& runs, const ByteRun& run);

class IFileObserver {
 public:
  virtual ~IFileObserver() = default;
  virtual bool WantsSha256() const = 0;
  virtual bool WantsMd5() const = 0;
  // A file's sink opened its destination; record is the found file when the engine knows it.
  virtual void FileStarted(const std::string& /*path*/, const FoundFileRecord* /*record*/) {}
  // A piece of the current file's data was handed to its sink from there.
  virtual void DataRun(const ByteRun& /*run*/) {}
  // One file ended (before its last progress report): its path, result, and the digests of what
  // was written of it.
  virtual void FileWritten(const std::string& path, Result result, const FileDigests& digests) = 0;
};

// The observer of this thread, or null.
IFileObserver* CurrentFileObserver();

// Tells this thread's observer where a piece of file data lay; costs a test when none listens.
inline void NoteDataRun(const ByteRun& run) {
  if (IFileObserver* observer = CurrentFileObserver(); observer != nullptr && run.length != 0) observer->DataRun(run);
}
inline void NoteDataRead(std::uint64_t fileOffset, std::uint64_t imageOffset, std::uint64_t length) {
  NoteDataRun(ByteRun{fileOffset, imageOffset, length, 0, ByteRun::Kind::Data});
}
inline void NoteZeroFill(std::uint64_t fileOffset, std::uint64_t length) {
  NoteDataRun(ByteRun{fileOffset, 0, length, 0, ByteRun::Kind::Fill});
}

// Sets the thread's observer for its lifetime, and puts the one before it back.
class ScopedFileObserver {
 public:
  explicit ScopedFileObserver(IFileObserver* observer);
  ~ScopedFileObserver();
  ScopedFileObserver(const ScopedFileObserver&) = delete;
  ScopedFileObserver& operator=(const ScopedFileObserver&) = delete;

 private:
  IFileObserver* previous_;
};

// SHA-256 and MD5 over a stream of pieces (OpenSSL's EVP), each only when asked for.
class StreamDigest {
 public:
  StreamDigest();
  ~StreamDigest();
  StreamDigest(const StreamDigest&) = delete;
  StreamDigest& operator=(const StreamDigest&) = delete;

  void Begin(bool sha256, bool md5);
  void Update(const void* data, std::size_t length);
  // Copies the piece and hashes it on the digests' own thread while the caller goes on (writes
  // it, reads the next); Finish waits for what is still being hashed. This keeps hashing off the
  // path of a recovery, which is bound by reading and writing.
  void UpdateLater(const void* data, std::size_t length);
  // The hex digests of everything since Begin; the digest is done with.
  FileDigests Finish();
  bool Active() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace rexmoor
