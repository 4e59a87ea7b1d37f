// Digests of the files a recovery writes, made from the very bytes the engines' file sink writes
// (no second read). A recovery asks for them by setting a file observer for the time it calls
// RecoverItem on its thread; every sink written on that thread feeds it. Nothing is hashed while
// no observer is set.
#pragma once

#include <memory>
#include <string>

#include "platform/result_codes.h"

namespace rexmoor {

struct FileDigests {
  std::string sha256;  // lower-case hex; empty when not asked for
  std::string md5;
};

class IFileObserver {
 public:
  virtual ~IFileObserver() = default;
  virtual bool WantsSha256() const = 0;
  virtual bool WantsMd5() const = 0;
  // One file ended (before its last progress report): its path, result, and the digests of what
  // was written of it.
  virtual void FileWritten(const std::string& path, Result result, const FileDigests& digests) = 0;
};

// The observer of this thread, or null.
IFileObserver* CurrentFileObserver();

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
