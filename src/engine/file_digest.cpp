#include "engine/file_digest.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/digest_library.h"

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

// The digests a stream may ask for, by index: SHA-256, MD5.
constexpr std::size_t kDigests = 2;
using DigestSet = std::array<bool, kDigests>;

const EVP_MD* DigestKind(std::size_t digest) { return digest == 0 ? EVP_sha256() : EVP_md5(); }

}  // namespace

constexpr int kUnplaced = -1;
constexpr int kHere = -2;

// One file's digests. A context is made when first fed: on the caller's thread until the first
// of the file's pieces is handed to the threads, from then on by each digest's own thread alone,
// which also ends it.
struct DigestFile {
  DigestSet wanted{};
  DigestSet started{};
  std::array<Context, kDigests> contexts;  // null once a digest failed: it gives no digest then
  FileDigests digests;                     // each written by its digest's finisher, before done
  int unfinished = 0;                      // digests the threads have still to end; under their lock
  // Where each digest is made, chosen at the file's first piece: a lane's thread, or the caller's
  // own (kHere).
  std::array<int, kDigests> lane{kUnplaced, kUnplaced};
  std::atomic<bool> done{false};

  void Feed(std::size_t digest, const void* data, std::size_t length) {
    Context& context = Started(digest);
    if (context && EVP_DigestUpdate(context.get(), data, length) != 1) context.reset();
  }
  void Close(std::size_t digest) {
    std::string text = End(Started(digest));
    (digest == 0 ? digests.sha256 : digests.md5) = std::move(text);
  }

 private:
  Context& Started(std::size_t digest) {
    // Without libcrypto no digest is made: the file is written all the same.
    if (!started[digest] && LibCrypto().Load()) contexts[digest] = Start(DigestKind(digest));
    started[digest] = true;
    return contexts[digest];
  }
};

namespace {

// The threads that hash behind the writing, and the blocks their copies wait in. Every digest
// has lanes, one thread each, and a file's digest is made whole on one of them, the one with the
// fewest bytes still to hash when the file's first piece came: one file's digest cannot be split,
// but the files behind it are hashed beside it (and SHA-256 beside MD5, and all beside the
// writer). SHA-256 has a lane for every core but one, which is left to the writer: SHA-256 hashes
// about as fast as a file is written, so a lane more only takes the writer's time. MD5 is slower
// by half and is then what the run waits for: it has a lane for every core.
// A poster copies a piece into blocks and goes on: a thread is woken only when it sleeps on an
// empty queue, and the poster waits only when every block is taken, so a writer faster than
// hashing is held back by the cap and not by every piece. Every thread walks the queue in order,
// taking what is its lane's; a block is free again once every digest took all that was copied
// into it. Blocks are made only as the backlog needs them and reused in the order they were freed,
// so that the copies stay within a few blocks that the caches hold while hashing keeps up, and the
// block written is one the hashing threads left a while ago (measured faster than reusing the one
// just read). Made once, the threads live as long as the process (never joined, so that an exit
// while a recovery runs cannot hang on them).
class DigestPipeline {
 public:
  // The pipeline, or null when it could not be made (no thread): callers hash on their own.
  static DigestPipeline* Get() {
    static DigestPipeline* const instance = Make();
    return instance;
  }

  static std::atomic<std::size_t>& WantedCapacity() {
    static std::atomic<std::size_t> bytes{std::size_t{64} << 20};
    return bytes;
  }

  // Copies the piece for the file's digests; returns how much of it. Short only when no block
  // could be had at all (no memory): nothing is in flight then, so the caller can hash the rest on
  // its own thread.
  std::size_t Post(const std::shared_ptr<DigestFile>& file, const std::uint8_t* data, std::size_t length) {
    const std::lock_guard<std::mutex> posting(posting_);
    std::unique_lock<std::mutex> guard(lock_);
    std::size_t posted = 0;
    while (posted < length) {
      if (open_ < 0 && !OpenBlock(guard)) return posted;
      Block& block = blocks_[static_cast<std::size_t>(open_)];
      const std::size_t offset = fill_;
      const std::size_t take = std::min(length - posted, blockSize_ - fill_);
      fill_ += take;
      ++block.holds;
      const int index = open_;
      if (fill_ == blockSize_) {
        open_ = -1;
        Unhold(index);  // the open block's own hold: the entry's keeps it
      }
      std::uint8_t* const bytes = block.bytes.get() + offset;
      guard.unlock();
      std::memcpy(bytes, data + posted, take);
      guard.lock();
      Push(Entry{file, index, bytes, take, false, 0});
      posted += take;
    }
    return posted;
  }

  // Chooses where each digest the file wants is made: on the lane with the fewest bytes waiting,
  // unless even that one is more than a few blocks behind the writing. Then the caller makes it as
  // it writes, from the bytes still in its caches and without a copy, while the lanes catch up:
  // hashing slower than writing is shared out rather than waited for at the end. True when any
  // digest went to a lane.
  bool Place(DigestFile& file) {
    const std::lock_guard<std::mutex> guard(lock_);
    const std::size_t behind = std::max<std::size_t>(blockSize_, maxBlocks_ * blockSize_ / 8);
    bool any = false;
    for (std::size_t digest = 0; digest < kDigests; ++digest) {
      if (!file.wanted[digest] || file.lane[digest] != kUnplaced) continue;
      const int lane = QuietestLane(digest);
      file.lane[digest] = waiting_[digest][static_cast<std::size_t>(lane)] > behind ? kHere : lane;
      any = any || file.lane[digest] >= 0;
    }
    return any;
  }

  void PostFinish(const std::shared_ptr<DigestFile>& file) {
    const std::lock_guard<std::mutex> posting(posting_);
    const std::lock_guard<std::mutex> guard(lock_);
    Push(Entry{file, -1, nullptr, 0, true, 0});
  }

  void Wait(const DigestFile& file) {
    std::unique_lock<std::mutex> guard(lock_);
    ++waiters_;
    done_.wait(guard, [&file] { return file.done.load(std::memory_order_acquire); });
    --waiters_;
  }

 private:
  struct Block {
    std::unique_ptr<std::uint8_t[]> bytes;
    int holds = 0;  // entries not yet taken by every digest, and the poster while it is open
  };
  struct Entry {
    std::shared_ptr<DigestFile> file;
    int block = -1;
    const std::uint8_t* data = nullptr;
    std::size_t length = 0;
    bool finish = false;  // no data: the file's digests are ended
    int pending = 0;      // digests that have still to take it
  };

  static DigestPipeline* Make() {
    auto* pipeline = new (std::nothrow) DigestPipeline();
    if (pipeline == nullptr) return nullptr;
    pipeline->Resize();
    const std::size_t cores = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, kMaxLanes);
    const std::array<std::size_t, kDigests> lanes = {std::max<std::size_t>(cores - 1, 1), cores};
    // Only the lanes whose threads started are given files; without one for a digest, callers hash
    // on their own. A thread already started keeps its pipeline: it is never freed then.
    try {
      for (std::size_t lane = 0; lane < kMaxLanes; ++lane)
        for (std::size_t digest = 0; digest < kDigests; ++digest) {
          if (lane >= lanes[digest]) continue;
          std::thread([pipeline, digest, lane] { pipeline->Loop(digest, lane); }).detach();
          ++pipeline->lanes_[digest];
        }
    } catch (const std::system_error&) {
      for (const std::size_t started : pipeline->lanes_)
        if (started == 0) return nullptr;
    }
    return pipeline;
  }

  // The digest's lane with the fewest bytes waiting.
  int QuietestLane(std::size_t digest) const {
    std::size_t best = 0;
    for (std::size_t lane = 1; lane < lanes_[digest]; ++lane)
      if (waiting_[digest][lane] < waiting_[digest][best]) best = lane;
    return static_cast<int>(best);
  }

  // Makes a free block the open one: the one freed longest ago, else a new one while under the
  // cap, else (waiting until a quarter of them are free again) the first freed.
  bool OpenBlock(std::unique_lock<std::mutex>& guard) {
    if (entries_.empty()) Resize();
    while (free_.empty()) {
      if (blocks_.size() < maxBlocks_) {
        std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[blockSize_]);
        if (bytes) {
          blocks_.push_back(Block{std::move(bytes), 0});
          free_.push_back(static_cast<int>(blocks_.size() - 1));
          break;
        }
        if (blocks_.empty()) return false;
      }
      wantedFree_ = std::max<std::size_t>(1, blocks_.size() / 4);
      room_.wait(guard, [this] { return free_.size() >= wantedFree_; });
      wantedFree_ = 0;
    }
    open_ = free_.front();
    free_.pop_front();
    fill_ = 0;
    blocks_[static_cast<std::size_t>(open_)].holds = 1;
    return true;
  }

  // With nothing in flight, takes up a new cap.
  void Resize() {
    const std::size_t cap = std::max<std::size_t>(WantedCapacity().load(), 1);
    const std::size_t blockSize = std::min(kBlockSize, std::max<std::size_t>(cap / 16, 1));
    if (blockSize == blockSize_ && cap / blockSize == maxBlocks_) return;
    blocks_.clear();
    free_.clear();
    open_ = -1;
    blockSize_ = blockSize;
    maxBlocks_ = cap / blockSize;
  }

  void Unhold(int index) {
    if (--blocks_[static_cast<std::size_t>(index)].holds != 0) return;
    free_.push_back(index);
    if (wantedFree_ != 0 && free_.size() >= wantedFree_) room_.notify_one();
  }

  void Push(Entry entry) {
    for (std::size_t digest = 0; digest < kDigests; ++digest) {
      if (!entry.file->wanted[digest] || entry.file->lane[digest] < 0) continue;
      const auto lane = static_cast<std::size_t>(entry.file->lane[digest]);
      ++entry.pending;
      waiting_[digest][lane] += entry.length;
      if (sleeping_[digest][lane]) {
        sleeping_[digest][lane] = false;
        wake_[digest][lane].notify_one();
      }
    }
    entries_.push_back(std::move(entry));
  }

  void Loop(std::size_t digest, std::size_t lane) {
    std::unique_lock<std::mutex> guard(lock_);
    std::uint64_t& cursor = cursor_[digest][lane];
    for (;;) {
      if (cursor < base_) cursor = base_;
      if (cursor - base_ == entries_.size()) {
        sleeping_[digest][lane] = true;
        wake_[digest][lane].wait(guard);
        continue;
      }
      // Stays where it is until its pending count drops: only the front of the queue is removed.
      Entry& entry = entries_[cursor - base_];
      ++cursor;
      if (!entry.file->wanted[digest] || entry.file->lane[digest] != static_cast<int>(lane)) continue;
      waiting_[digest][lane] -= entry.length;
      DigestFile& file = *entry.file;
      guard.unlock();
      if (entry.finish) {
        file.Close(digest);
      } else {
        file.Feed(digest, entry.data, entry.length);
      }
      guard.lock();
      if (entry.finish && --file.unfinished == 0) {
        file.done.store(true, std::memory_order_release);
        if (waiters_ > 0) done_.notify_all();
      }
      --entry.pending;
      Release();
    }
  }

  // Drops the entries every digest has taken from the front of the queue.
  void Release() {
    while (!entries_.empty() && entries_.front().pending == 0) {
      if (entries_.front().block >= 0) Unhold(entries_.front().block);
      entries_.pop_front();
      ++base_;
    }
  }

  static constexpr std::size_t kBlockSize = std::size_t{256} << 10;
  static constexpr std::size_t kMaxLanes = 8;
  template <typename T>
  using PerLane = std::array<std::array<T, kMaxLanes>, kDigests>;

  std::mutex posting_;  // one poster at a time, so that a file's pieces keep their order
  std::mutex lock_;     // everything below
  PerLane<std::condition_variable> wake_;
  std::condition_variable room_;
  std::condition_variable done_;
  std::deque<Entry> entries_;
  std::uint64_t base_ = 0;  // number of entries ever removed: the sequence number of the front
  PerLane<std::uint64_t> cursor_{};  // each lane's next entry, by sequence number
  PerLane<bool> sleeping_{};
  PerLane<std::uint64_t> waiting_{};  // bytes handed to each lane and not yet taken
  std::array<std::size_t, kDigests> lanes_{};  // of each digest, started
  std::vector<Block> blocks_;
  std::deque<int> free_;  // blocks free, the one freed first at the front
  std::size_t blockSize_ = 0;
  std::size_t maxBlocks_ = 0;
  int open_ = -1;  // the block being filled
  std::size_t fill_ = 0;
  std::size_t wantedFree_ = 0;  // while the poster waits: the free blocks it waits for
  int waiters_ = 0;
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

bool DigestTicket::Ready() const { return !file_ || file_->done.load(std::memory_order_acquire); }

FileDigests DigestTicket::Wait() const {
  if (!file_) return {};
  if (!Ready()) DigestPipeline::Get()->Wait(*file_);
  return file_->digests;
}

void StreamDigest::Begin(bool sha256, bool md5) {
  file_.reset();
  posted_ = false;
  placed_ = false;
  if (!sha256 && !md5) return;
  file_ = std::make_shared<DigestFile>();
  file_->wanted = {sha256, md5};
}

void StreamDigest::Update(const void* data, std::size_t length) {
  if (length == 0 || !file_) return;
  if (posted_) return UpdateLater(data, length);  // in order after what the threads hold
  for (std::size_t digest = 0; digest < kDigests; ++digest)
    if (file_->wanted[digest]) file_->Feed(digest, data, length);
}

void StreamDigest::UpdateLater(const void* data, std::size_t length) {
  if (length == 0 || !file_) return;
  DigestPipeline* const pipeline = DigestPipeline::Get();
  const auto* const bytes = static_cast<const std::uint8_t*>(data);
  if (!placed_) {
    placed_ = true;
    toLanes_ = pipeline != nullptr && pipeline->Place(*file_);
  }
  for (std::size_t digest = 0; digest < kDigests; ++digest)
    if (file_->wanted[digest] && file_->lane[digest] == kHere) file_->Feed(digest, bytes, length);
  const std::size_t posted = toLanes_ ? pipeline->Post(file_, bytes, length) : 0;
  posted_ = posted_ || posted > 0;
  // No thread, or no memory for the copy of the rest and nothing in flight: the threads took
  // all before it, so the rest is hashed here, in order.
  if (posted < length)
    for (std::size_t digest = 0; digest < kDigests; ++digest)
      if (file_->wanted[digest] && file_->lane[digest] != kHere) file_->Feed(digest, bytes + posted, length - posted);
}

DigestTicket StreamDigest::FinishLater() {
  if (!file_) return {};
  std::shared_ptr<DigestFile> file = std::move(file_);
  placed_ = false;
  // What was made here ends here; the lanes end what they hold.
  for (std::size_t digest = 0; digest < kDigests; ++digest)
    if (file->wanted[digest] && (!posted_ || file->lane[digest] == kHere)) file->Close(digest);
  if (posted_) {
    posted_ = false;
    for (std::size_t digest = 0; digest < kDigests; ++digest)
      file->unfinished += file->wanted[digest] && file->lane[digest] >= 0 ? 1 : 0;
    DigestPipeline::Get()->PostFinish(file);
  } else {
    file->done.store(true, std::memory_order_release);
  }
  return DigestTicket(std::move(file));
}

FileDigests StreamDigest::Finish() { return FinishLater().Wait(); }

bool StreamDigest::Active() const { return file_ != nullptr; }

std::size_t HashingBacklog() { return DigestPipeline::WantedCapacity().load(); }

void SetHashingBacklog(std::size_t bytes) { DigestPipeline::WantedCapacity().store(std::max<std::size_t>(bytes, 1)); }

bool DigestsAvailable(std::string* why) { return LibCrypto().Load(why); }

}  // namespace rexmoor
