#include "engine/file_digest.h"

#include <openssl/evp.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace rexmoor {

namespace {

thread_local IFileObserver* g_observer = nullptr;

std::string Hex(const unsigned char* bytes, unsigned int length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 15]);
  }
  return text;
}

struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;

Context Start(const EVP_MD* kind) {
  Context context(EVP_MD_CTX_new());
  if (context && EVP_DigestInit_ex(context.get(), kind, nullptr) != 1) context.reset();
  return context;
}

std::string End(Context& context) {
  if (!context) return {};
  std::array<unsigned char, EVP_MAX_MD_SIZE> bytes{};
  unsigned int length = 0;
  const bool ok = EVP_DigestFinal_ex(context.get(), bytes.data(), &length) == 1;
  context.reset();
  return ok ? Hex(bytes.data(), length) : std::string();
}

// A piece waiting to be hashed: the contexts it feeds (SHA-256, MD5), its copy, and for each
// digest whether it is still waiting.
struct Piece {
  std::array<EVP_MD_CTX*, 2> contexts{};
  std::vector<std::uint8_t> bytes;
  std::array<bool, 2> busy{};    // each guarded by its digest thread's lock
  std::array<bool, 2> failed{};  // the digest refused it
};

// The thread that feeds one digest the pieces handed over, in order: one for SHA-256, one for
// MD5, so that both can run beside the writing at once. Each is made once and lives as long as
// the process (never joined, so that an exit while a recovery runs cannot hang on it).
class DigestThread {
 public:
  static DigestThread& Get(std::size_t digest) {
    static auto* const sha256 = new DigestThread(0);
    static auto* const md5 = new DigestThread(1);
    return digest == 0 ? *sha256 : *md5;
  }

  void Post(Piece& piece) {
    const std::lock_guard<std::mutex> guard(lock_);
    piece.busy[digest_] = true;
    piece.failed[digest_] = false;
    queue_.push_back(&piece);
    wake_.notify_one();
  }

  void Wait(const Piece& piece) {
    std::unique_lock<std::mutex> guard(lock_);
    done_.wait(guard, [&] { return !piece.busy[digest_]; });
  }

 private:
  explicit DigestThread(std::size_t digest) : digest_(digest) { std::thread([this] { Loop(); }).detach(); }

  void Loop() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      wake_.wait(guard, [this] { return !queue_.empty(); });
      Piece* piece = queue_.front();
      queue_.pop_front();
      guard.unlock();
      const bool ok = EVP_DigestUpdate(piece->contexts[digest_], piece->bytes.data(), piece->bytes.size()) == 1;
      guard.lock();
      piece->failed[digest_] = !ok;
      piece->busy[digest_] = false;
      done_.notify_all();
    }
  }

  std::size_t digest_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<Piece*> queue_;
};

}  // namespace

IFileObserver* CurrentFileObserver() { return g_observer; }

bool AppendByteRun(std::vector<ByteRun>& runs, const ByteRun& run) {
  if (run.length == 0) return true;
  if (!runs.empty()) {
    ByteRun& last = runs.back();
    const bool followsInFile = last.fileOffset + (last.kind == ByteRun::Kind::Compressed ? last.uncompressedLength
                                                                                          : last.length) == run.fileOffset;
    // Compressed units stay apart: each one is its own unit of decompression.
    const bool joinable = last.kind == run.kind && run.kind != ByteRun::Kind::Compressed && followsInFile &&
                          (run.kind == ByteRun::Kind::Fill || last.imageOffset + last.length == run.imageOffset);
    if (joinable) {
      last.length += run.length;
      return true;
    }
  }
  if (runs.size() >= kMaxByteRunsPerFile) return false;
  runs.push_back(run);
  return true;
}

ScopedFileObserver::ScopedFileObserver(IFileObserver* observer) : previous_(g_observer) { g_observer = observer; }

ScopedFileObserver::~ScopedFileObserver() { g_observer = previous_; }

struct StreamDigest::State {
  Context sha256;
  Context md5;
  // Two copies in turn: one is hashed while the caller fills the other.
  std::array<Piece, 2> pieces;
  std::size_t next = 0;
  bool posted = false;

  // Waits for every piece handed over; a digest that refused one is dropped.
  void Drain() {
    if (!posted) return;
    for (Piece& piece : pieces) Settle(piece);
    posted = false;
  }

  // Waits for both digests of the piece; one that refused it is dropped. False when one did.
  bool Settle(Piece& piece) {
    bool ok = true;
    for (std::size_t digest = 0; digest < 2; ++digest) {
      DigestThread::Get(digest).Wait(piece);
      if (piece.failed[digest]) {
        (digest == 0 ? sha256 : md5).reset();
        piece.failed[digest] = false;
        ok = false;
      }
    }
    return ok;
  }
};

StreamDigest::StreamDigest() : state_(std::make_unique<State>()) {}

StreamDigest::~StreamDigest() { state_->Drain(); }

void StreamDigest::Begin(bool sha256, bool md5) {
  state_->Drain();
  state_->sha256 = sha256 ? Start(EVP_sha256()) : Context();
  state_->md5 = md5 ? Start(EVP_md5()) : Context();
}

void StreamDigest::Update(const void* data, std::size_t length) {
  if (length == 0) return;
  state_->Drain();  // in order after what was handed over
  for (Context* context : {&state_->sha256, &state_->md5})
    if (*context && EVP_DigestUpdate(context->get(), data, length) != 1) context->reset();
}

void StreamDigest::UpdateLater(const void* data, std::size_t length) {
  if (length == 0 || !Active()) return;
  Piece& piece = state_->pieces[state_->next];
  state_->next ^= 1;
  if (!state_->Settle(piece)) {
    state_->Drain();
    return Update(data, length);
  }
  piece.contexts = {state_->sha256.get(), state_->md5.get()};
  piece.bytes.assign(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + length);
  state_->posted = true;
  for (std::size_t digest = 0; digest < 2; ++digest)
    if (piece.contexts[digest] != nullptr) DigestThread::Get(digest).Post(piece);
}

FileDigests StreamDigest::Finish() {
  state_->Drain();
  FileDigests digests;
  digests.sha256 = End(state_->sha256);
  digests.md5 = End(state_->md5);
  return digests;
}

bool StreamDigest::Active() const { return state_->sha256 || state_->md5; }

}  // namespace rexmoor
