#include "engine/file_digest.h"

#include <openssl/evp.h>

#include <array>

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
};

StreamDigest::StreamDigest() : state_(std::make_unique<State>()) {}

StreamDigest::~StreamDigest() = default;

void StreamDigest::Begin(bool sha256, bool md5) {
  state_->sha256 = sha256 ? Start(EVP_sha256()) : Context();
  state_->md5 = md5 ? Start(EVP_md5()) : Context();
}

void StreamDigest::Update(const void* data, std::size_t length) {
  if (length == 0) return;
  for (Context* context : {&state_->sha256, &state_->md5})
    if (*context && EVP_DigestUpdate(context->get(), data, length) != 1) context->reset();
}

FileDigests StreamDigest::Finish() {
  FileDigests digests;
  digests.sha256 = End(state_->sha256);
  digests.md5 = End(state_->md5);
  return digests;
}

bool StreamDigest::Active() const { return state_->sha256 || state_->md5; }

}  // namespace rexmoor
