// Digests of the files a recovery writes, made from the very bytes the engines' file sink writes
// (no second read), and where on the medium those bytes lay. A recovery asks for them by setting a
// file observer for the time it calls RecoverItem on its thread; every sink written on that thread
// feeds it, and the engines' read loops tell it each piece's place. Nothing is hashed or noted
// while no observer is set.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
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

class DigestTicket;

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
  // was written of it, which may still be being made behind the writing.
  virtual void FileWritten(const std::string& path, Result result, const DigestTicket& digests) = 0;
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

struct DigestFile;

// A file's digests, made behind its writing on the digests' own threads: ready once the last
// piece handed over was hashed. A default ticket is ready and holds none.
class DigestTicket {
 public:
  DigestTicket() = default;
  bool Ready() const;
  // The digests; waits for them when they are still being made. A digest that failed is empty.
  FileDigests Wait() const;

 private:
  friend class StreamDigest;
  explicit DigestTicket(std::shared_ptr<DigestFile> file) : file_(std::move(file)) {}
  std::shared_ptr<DigestFile> file_;
};

// SHA-256 and MD5 over a stream of pieces (OpenSSL's EVP), each only when asked for.
class StreamDigest {
 public:
  StreamDigest() = default;
  ~StreamDigest() = default;
  StreamDigest(const StreamDigest&) = delete;
  StreamDigest& operator=(const StreamDigest&) = delete;

  void Begin(bool sha256, bool md5);
  void Update(const void* data, std::size_t length);
  // Copies the piece and hashes it on the digests' own threads while the caller goes on (writes
  // it, reads the next, starts the next file): the threads run behind the writing by whole files.
  // The caller waits only while the copies not yet hashed fill the backlog (HashingBacklog). When
  // the threads are already well behind at a file's first piece, the caller makes that file's
  // digest itself as it goes.
  void UpdateLater(const void* data, std::size_t length);
  // The hex digests of everything since Begin; the digest is done with.
  FileDigests Finish();
  // The same without waiting for the pieces still being hashed.
  DigestTicket FinishLater();
  bool Active() const;

 private:
  std::shared_ptr<DigestFile> file_;
  bool posted_ = false;  // pieces went to the threads: every later one must follow them there
  bool placed_ = false;  // where each digest is made was chosen
  bool toLanes_ = false;  // and some go to the threads
};

// The most bytes handed to the digests' threads and not yet hashed, for the whole process
// (64 MiB unless changed). A new cap takes effect once nothing is in flight.
std::size_t HashingBacklog();
void SetHashingBacklog(std::size_t bytes);

// Whether digests can be made here at all: false, and why, when the digest library cannot be
// loaded (a stream then gives no digests).
bool DigestsAvailable(std::string* why = nullptr);

}  // namespace rexmoor
