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

// A piece waiting to be hashed: the contexts it feeds, its copy, and whether it is still waiting.
struct Piece {
  EVP_MD_CTX* sha256 = nullptr;
  EVP_MD_CTX* md5 = nullptr;
  std::vector<std::uint8_t> bytes;
  bool busy = false;     // guarded by the thread's lock
  bool failed = false;   // a digest refused it
};

// The thread that hashes the pieces handed over, in order. It is made once and lives as long as
// the process (never joined, so that an exit while a recovery runs cannot hang on it).
class DigestThread {
 public:
  static DigestThread& Get() {
    static auto* const thread = new DigestThread();
    return *thread;
  }

  void Post(Piece& piece) {
    const std::lock_guard<std::mutex> guard(lock_);
    piece.busy = true;
    piece.failed = false;
    queue_.push_back(&piece);
    wake_.notify_one();
  }

  void Wait(const Piece& piece) {
    std::unique_lock<std::mutex> guard(lock_);
    done_.wait(guard, [&piece] { return !piece.busy; });
  }

 private:
  DigestThread() { std::thread([this] { Loop(); }).detach(); }

  void Loop() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      wake_.wait(guard, [this] { return !queue_.empty(); });
      Piece* piece = queue_.front();
      queue_.pop_front();
      guard.unlock();
      bool ok = true;
      for (EVP_MD_CTX* context : {piece->sha256, piece->md5})
        if (context != nullptr && EVP_DigestUpdate(context, piece->bytes.data(), piece->bytes.size()) != 1) ok = false;
      guard.lock();
      piece->failed = !ok;
      piece->busy = false;
      done_.notify_all();
    }
  }

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
    for (Piece& piece : pieces) {
      DigestThread::Get().Wait(piece);
      if (piece.failed) {
        if (piece.sha256 != nullptr) sha256.reset();
        if (piece.md5 != nullptr) md5.reset();
        piece.failed = false;
      }
    }
    posted = false;
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
  DigestThread::Get().Wait(piece);
  if (piece.failed) {
    state_->Drain();
    return Update(data, length);
  }
  piece.sha256 = state_->sha256.get();
  piece.md5 = state_->md5.get();
  piece.bytes.assign(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + length);
  state_->posted = true;
  DigestThread::Get().Post(piece);
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
