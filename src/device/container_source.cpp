#include "device/container_source.h"

#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

#include "platform/digest_library.h"
#include "platform/lazy_library.h"

namespace rexmoor {

namespace fs = std::filesystem;

namespace {

// The container libraries, each loaded when the first image of its kind is opened: most images
// are raw, and these four (with libbfio under them) would otherwise be loaded by every run.
REXMOOR_LAZY_LIBRARY(LibEwf, "libewf.so.2")
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_error_free);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_error_sprint);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_glob);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_glob_free);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_handle_close);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_handle_free);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_handle_get_bytes_per_sector);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_handle_get_checksum_error);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_handle_get_chunk_size);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_handle_get_md5_hash);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_handle_get_media_size);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_handle_get_number_of_checksum_errors);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_handle_get_sha1_hash);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_handle_initialize);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_handle_open);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_handle_read_random);
REXMOOR_LAZY_FUNCTION(LibEwf(), libewf_handle_segment_files_corrupted);

REXMOOR_LAZY_LIBRARY(LibVhdi, "libvhdi.so.1")
REXMOOR_LAZY_FUNCTION(LibVhdi(), libvhdi_error_free);
REXMOOR_LAZY_FUNCTION(LibVhdi(), libvhdi_error_sprint);
REXMOOR_LAZY_FUNCTION(LibVhdi(), libvhdi_file_close);
REXMOOR_LAZY_FUNCTION(LibVhdi(), libvhdi_file_free);
REXMOOR_LAZY_FUNCTION(LibVhdi(), libvhdi_file_get_disk_type);
REXMOOR_LAZY_FUNCTION(LibVhdi(), libvhdi_file_get_media_size);
REXMOOR_LAZY_FUNCTION(LibVhdi(), libvhdi_file_get_utf8_parent_filename);
REXMOOR_LAZY_FUNCTION(LibVhdi(), libvhdi_file_initialize);
REXMOOR_LAZY_FUNCTION(LibVhdi(), libvhdi_file_open);
REXMOOR_LAZY_FUNCTION(LibVhdi(), libvhdi_file_read_buffer_at_offset);
REXMOOR_LAZY_FUNCTION(LibVhdi(), libvhdi_file_set_parent_file);

REXMOOR_LAZY_LIBRARY(LibVmdk, "libvmdk.so.1")
REXMOOR_LAZY_FUNCTION(LibVmdk(), libvmdk_error_free);
REXMOOR_LAZY_FUNCTION(LibVmdk(), libvmdk_error_sprint);
REXMOOR_LAZY_FUNCTION(LibVmdk(), libvmdk_extent_descriptor_free);
REXMOOR_LAZY_FUNCTION(LibVmdk(), libvmdk_extent_descriptor_get_utf8_filename);
REXMOOR_LAZY_FUNCTION(LibVmdk(), libvmdk_handle_close);
REXMOOR_LAZY_FUNCTION(LibVmdk(), libvmdk_handle_free);
REXMOOR_LAZY_FUNCTION(LibVmdk(), libvmdk_handle_get_extent_descriptor);
REXMOOR_LAZY_FUNCTION(LibVmdk(), libvmdk_handle_get_media_size);
REXMOOR_LAZY_FUNCTION(LibVmdk(), libvmdk_handle_get_number_of_extents);
REXMOOR_LAZY_FUNCTION(LibVmdk(), libvmdk_handle_initialize);
REXMOOR_LAZY_FUNCTION(LibVmdk(), libvmdk_handle_open);
REXMOOR_LAZY_FUNCTION(LibVmdk(), libvmdk_handle_open_extent_data_files);
REXMOOR_LAZY_FUNCTION(LibVmdk(), libvmdk_handle_read_buffer_at_offset);

REXMOOR_LAZY_LIBRARY(LibQcow, "libqcow.so.1")
REXMOOR_LAZY_FUNCTION(LibQcow(), libqcow_error_free);
REXMOOR_LAZY_FUNCTION(LibQcow(), libqcow_error_sprint);
REXMOOR_LAZY_FUNCTION(LibQcow(), libqcow_file_close);
REXMOOR_LAZY_FUNCTION(LibQcow(), libqcow_file_free);
REXMOOR_LAZY_FUNCTION(LibQcow(), libqcow_file_get_media_size);
REXMOOR_LAZY_FUNCTION(LibQcow(), libqcow_file_get_utf8_backing_filename);
REXMOOR_LAZY_FUNCTION(LibQcow(), libqcow_file_get_utf8_backing_filename_size);
REXMOOR_LAZY_FUNCTION(LibQcow(), libqcow_file_initialize);
REXMOOR_LAZY_FUNCTION(LibQcow(), libqcow_file_open);
REXMOOR_LAZY_FUNCTION(LibQcow(), libqcow_file_read_buffer_at_offset);
REXMOOR_LAZY_FUNCTION(LibQcow(), libqcow_file_set_parent_file);

// kSuccess once the library that reads the format is loaded.
Result NeedLibrary(LazyLibrary& library, const char* format, std::string& error) {
  std::string why;
  if (library.Load(&why)) return kSuccess;
  error = std::string(format) + " images cannot be read: " + why;
  return kErrNotSupported;
}

// Bounds on what a hostile container can make us open or hold.
constexpr std::size_t kMaxSegments = 10000;
constexpr int kMaxParentDepth = 8;
constexpr std::size_t kMaxReadRequest = 16u << 20;

constexpr char kEwfSignature[8] = {'E', 'V', 'F', 0x09, 0x0d, 0x0a, static_cast<char>(0xff), 0x00};
constexpr char kVhdFooter[8] = {'c', 'o', 'n', 'e', 'c', 't', 'i', 'x'};
constexpr char kVhdxSignature[8] = {'v', 'h', 'd', 'x', 'f', 'i', 'l', 'e'};
constexpr char kVmdkSparse[4] = {'K', 'D', 'M', 'V'};
constexpr char kVmdkDescriptor[] = "# Disk DescriptorFile";
constexpr char kQcowSignature[4] = {'Q', 'F', 'I', static_cast<char>(0xfb)};

bool StartsWith(const std::uint8_t* bytes, std::size_t have, const char* sig, std::size_t length) {
  return have >= length && std::memcmp(bytes, sig, length) == 0;
}

// The name of piece index (0-based) of a split raw image, in the form of the first piece's name.
// Numeric suffixes keep their width ("001" → "002", "999" → "1000"); alphabetic ones go as GNU
// split names them: aa ... yz, then zaaa ... zyzz, then zzaaaa ...
std::string SplitPieceName(const std::string& stem, const std::string& firstSuffix, std::size_t index) {
  const bool numeric = std::all_of(firstSuffix.begin(), firstSuffix.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (numeric) {
    std::string number = std::to_string(std::stoull(firstSuffix) + index);
    if (number.size() < firstSuffix.size()) number.insert(0, firstSuffix.size() - number.size(), '0');
    return stem + number;
  }
  std::string prefix;
  std::uint64_t left = index;
  for (std::size_t width = firstSuffix.size(); width <= 8; ++width, prefix += 'z') {
    std::uint64_t names = 25;  // those of this width whose first letter is not z
    for (std::size_t i = 1; i < width; ++i) names *= 26;
    if (left >= names) {
      left -= names;
      continue;
    }
    std::string letters(width, 'a');
    for (std::size_t i = width; i-- > 0;) {
      letters[i] = static_cast<char>('a' + left % 26);
      left /= 26;
    }
    return stem + prefix + letters;
  }
  return {};
}

// "disk.001" → stem "disk.", suffix "001"; "disk.aa" → "disk.", "aa". False for other names.
bool SplitName(const std::string& path, std::string& stem, std::string& suffix) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return false;
  suffix = path.substr(dot + 1);
  stem = path.substr(0, dot + 1);
  if (suffix.size() >= 3 && suffix.size() <= 4 &&
      std::all_of(suffix.begin(), suffix.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return suffix == std::string(suffix.size() - 1, '0') + "1" || suffix == std::string(suffix.size(), '0');
  return suffix == "aa";
}

bool IsRegularFile(const std::string& path, std::uint64_t* size = nullptr) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (size != nullptr) *size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool HasVhdName(const std::string& path) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return tail == ".vhd";
}

std::vector<std::string> SplitPieces(const std::string& path) {
  std::vector<std::string> pieces;
  std::string stem, suffix;
  if (!SplitName(path, stem, suffix)) return pieces;
  for (std::size_t i = 0; i < kMaxSegments; ++i) {
    std::string name = SplitPieceName(stem, suffix, i);
    if (name.empty() || !IsRegularFile(name)) break;
    pieces.push_back(std::move(name));
  }
  return pieces;
}

// The piece files of a split raw image, each read with pread.
class SplitRawReader final : public MediumReader {
 public:
  Result Open(const std::vector<std::string>& names, std::string& error) {
    std::uint64_t start = 0;
    for (const std::string& name : names) {
      Piece piece;
      if (Result r = FileHandle::OpenReadOnly(name, piece.file); r != kSuccess) {
        error = "cannot open the piece " + name + ": " + ResultMessage(r);
        return r;
      }
      if (Result r = piece.file.Size(piece.length); r != kSuccess) return r;
      piece.start = start;
      start += piece.length;
      pieces_.push_back(std::move(piece));
    }
    size_ = start;
    return kSuccess;
  }
  std::uint64_t Size() const override { return size_; }
  ssize_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    if (offset >= size_) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
    auto it = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                               [](std::uint64_t at, const Piece& p) { return at < p.start; });
    if (it == pieces_.begin()) return -1;
    --it;
    std::size_t done = 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (done < length && it != pieces_.end()) {
      const std::uint64_t at = offset + done - it->start;
      if (at >= it->length) {
        ++it;
        continue;
      }
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, it->length - at));
      const ssize_t n = it->file.Pread(out + done, want, at);
      if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;  // a piece shorter than it was
      done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
  }

 private:
  struct Piece {
    FileHandle file;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
  };
  std::vector<Piece> pieces_;
  std::uint64_t size_ = 0;
};

template <typename Error, typename Sprint, typename Free>
std::string TakeLibraryError(Error*& error, const Sprint& sprint, const Free& release) {
  if (error == nullptr) return "unknown error";
  char text[512] = {};
  sprint(error, text, sizeof text);
  release(&error);
  error = nullptr;
  std::string message(text);
  // The libraries stack one line per call level; the last line says what went wrong.
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  const std::size_t newline = message.rfind('\n');
  return newline == std::string::npos ? message : message.substr(newline + 1);
}

// EWF (E01) evidence files through libewf. A chunk that cannot be read, or whose checksum does
// not match, is a read fault; the bytes before it in a read still arrive.
class EwfReader final : public MediumReader {
 public:
  ~EwfReader() override {
    if (handle_ != nullptr) {
      libewf_handle_close(handle_, nullptr);
      libewf_handle_free(&handle_, nullptr);
    }
  }
  Result Open(const std::string& path, std::string& error) {
    if (Result r = NeedLibrary(LibEwf(), "EWF", error); r != kSuccess) return r;
    libewf_error_t* err = nullptr;
    char** names = nullptr;
    int count = 0;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &err) != 1 || count <= 0) {
      error = "cannot find the segments of " + path + ": " + Message(err);
      return kErrFileNotFound;
    }
    for (int i = 0; i < count && static_cast<std::size_t>(i) < kMaxSegments; ++i) files_.emplace_back(names[i]);
    const int opened = static_cast<std::size_t>(count) <= kMaxSegments && libewf_handle_initialize(&handle_, &err) == 1
                           ? libewf_handle_open(handle_, names, count, LIBEWF_OPEN_READ, &err)
                           : -1;
    libewf_glob_free(names, count, nullptr);
    size64_t size = 0;
    if (opened != 1 || libewf_handle_get_media_size(handle_, &size, &err) != 1) {
      error = "cannot read the EWF image " + path + ": " + Message(err);
      return kErrReadFault;
    }
    // A segment cut short or missing leaves chunks whose every read fails, and libewf keeps a
    // buffer from each failed read: such an image is refused whole.
    if (libewf_handle_segment_files_corrupted(handle_, nullptr) == 1) {
      error = "the EWF image " + path + " is incomplete or damaged: a segment file is cut short or missing";
      return kErrReadFault;
    }
    std::uint32_t chunk = 0;
    if (libewf_handle_get_chunk_size(handle_, &chunk, nullptr) == 1 && chunk >= 512 && chunk <= (64u << 20))
      chunkBytes_ = chunk;
    (void)libewf_handle_get_bytes_per_sector(handle_, &bytesPerSector_, nullptr);
    if (bytesPerSector_ == 0 || bytesPerSector_ > (1u << 16)) bytesPerSector_ = 512;
    size_ = size;
    return kSuccess;
  }
  std::uint64_t Size() const override { return size_; }
  ssize_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    if (offset >= size_) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>({length, size_ - offset, kMaxReadRequest}));
    std::lock_guard<std::mutex> hold(lock_);
    length = static_cast<std::size_t>(SoundBytes(offset, length));
    if (length == 0) return -1;
    auto* out = static_cast<std::uint8_t*>(buffer);
    if (Read(offset, out, length) != static_cast<ssize_t>(length)) {
      // Chunk by chunk, to find the one that fails and keep what lies before it.
      std::size_t done = 0;
      while (done < length) {
        const std::uint64_t at = offset + done;
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, chunkBytes_ - at % chunkBytes_));
        if (Read(at, out + done, piece) != static_cast<ssize_t>(piece)) {
          MarkBad(at / chunkBytes_);
          break;
        }
        done += piece;
      }
      length = done;
    }
    NoteChecksumErrors();
    length = static_cast<std::size_t>(SoundBytes(offset, length));
    return length == 0 ? -1 : static_cast<ssize_t>(length);
  }
  const std::vector<std::string>& Files() const { return files_; }
  libewf_handle_t* Handle() { return handle_; }

 private:
  static std::string Message(libewf_error_t*& err) {
    return TakeLibraryError(err, libewf_error_sprint, libewf_error_free);
  }
  ssize_t Read(std::uint64_t offset, std::uint8_t* out, std::size_t length) {
    // libewf loses a chunk buffer on every read that fails (the fuzzer's leak reports point into
    // libewf_chunk_data_initialize). A hostile image of nothing but bad chunks would take all the
    // memory there is: past a budget of such losses, every further read is a fault without
    // asking libewf.
    if (failedReadBytes_ >= kMaxFailedReadBytes) return -1;
    libewf_error_t* err = nullptr;
    const ssize_t n = libewf_handle_read_random(handle_, out, length, static_cast<off64_t>(offset), &err);
    if (err != nullptr) libewf_error_free(&err);
    if (n != static_cast<ssize_t>(length)) failedReadBytes_ += chunkBytes_;
    return n;
  }
  // How many of the length bytes at offset come before the first chunk known to be bad.
  std::uint64_t SoundBytes(std::uint64_t offset, std::uint64_t length) const {
    if (length == 0 || bad_.empty()) return length;
    const auto first = bad_.lower_bound(offset / chunkBytes_);
    if (first == bad_.end() || *first > (offset + length - 1) / chunkBytes_) return length;
    const std::uint64_t badStart = *first * chunkBytes_;
    return badStart > offset ? badStart - offset : 0;
  }
  void MarkBad(std::uint64_t chunk) {
    if (bad_.size() < kMaxBadChunks) bad_.insert(chunk);
  }
  // libewf records each chunk whose checksum failed, and hands its stored bytes back all the same.
  void NoteChecksumErrors() {
    uint32_t count = 0;
    if (libewf_handle_get_number_of_checksum_errors(handle_, &count, nullptr) != 1) return;
    for (; checksumErrorsSeen_ < count; ++checksumErrorsSeen_) {
      uint64_t first = 0, sectors = 0;
      if (libewf_handle_get_checksum_error(handle_, checksumErrorsSeen_, &first, &sectors, nullptr) != 1) continue;
      const std::uint64_t begin = first * bytesPerSector_;
      const std::uint64_t end = std::min(size_, begin + std::min<std::uint64_t>(sectors, size_) * bytesPerSector_);
      for (std::uint64_t at = begin - begin % chunkBytes_; at < end; at += chunkBytes_) MarkBad(at / chunkBytes_);
    }
  }
  static constexpr std::size_t kMaxBadChunks = 1u << 20;
  static constexpr std::uint64_t kMaxFailedReadBytes = 256ull << 20;
  std::uint64_t failedReadBytes_ = 0;
  libewf_handle_t* handle_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t chunkBytes_ = 32768;
  std::uint32_t bytesPerSector_ = 512;
  std::uint32_t checksumErrorsSeen_ = 0;
  std::set<std::uint64_t> bad_;  // chunk numbers
  std::vector<std::string> files_;
  std::mutex lock_;
};

// A parent named inside a differencing image: an absolute path, or one relative to the child;
// Windows-style names ("C:\disks\base.vhd", ".\base.vhd") are looked for beside the child.
std::string ParentPath(const std::string& child, std::string named) {
  std::replace(named.begin(), named.end(), '\\', '/');
  const fs::path dir = fs::path(child).parent_path();
  if (!named.empty() && named[0] == '/' && IsRegularFile(named)) return named;
  const fs::path relative = dir / named;
  if (IsRegularFile(relative.string())) return relative.string();
  return (dir / fs::path(named).filename()).string();
}

// libqcow copies whole clusters out of what it read of the file: a cluster its tables place past
// the file's end (a cut-off image) makes it read beyond its own buffer. Every table and cluster
// the image names is therefore checked to lie within the file before libqcow is given it.
namespace qcow {
constexpr std::size_t kVersion = 4;        // u32, big-endian like every field here
constexpr std::size_t kClusterBits = 20;   // u32
constexpr std::size_t kL1Size = 36;        // u32: entries
constexpr std::size_t kL1Offset = 40;      // u64
constexpr std::size_t kHeaderBytes = 48;
// A standard L1 or L2 entry: a flag at the top, the offset in bits 9 to 55, bit 0 marking a
// cluster of zeros (L2). The other bits are reserved: libqcow takes some of them as part of the
// offset, so an entry with any of them set is damaged.
constexpr std::uint64_t kOffsetMask = 0x00fffffffffffe00ull;
constexpr std::uint64_t kReservedBits = 0x3f000000000001feull;
constexpr std::uint64_t kCompressed = 1ull << 62;
constexpr std::uint64_t kMaxL1Entries = 1u << 22;

std::uint64_t BigEndian(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}
}  // namespace qcow

Result CheckQcowLayout(const std::string& path, std::string& error) {
  const auto damaged = [&](const std::string& what) {
    error = "the QCOW image " + path + " is cut short or damaged: " + what;
    return kErrReadFault;
  };
  FileHandle file;
  if (Result r = FileHandle::OpenReadOnly(path, file); r != kSuccess) return r;
  std::uint64_t fileBytes = 0;
  if (Result r = file.Size(fileBytes); r != kSuccess) return r;
  std::uint8_t header[qcow::kHeaderBytes] = {};
  if (file.ReadFully(header, sizeof header, 0) != kSuccess) return damaged("its header is incomplete");
  const std::uint64_t version = qcow::BigEndian(header + qcow::kVersion, 4);
  if (version != 2 && version != 3) {
    error = path + " is a QCOW image of version " + std::to_string(version) + ": only versions 2 and 3 are read";
    return kErrNotSupported;
  }
  const std::uint64_t clusterBits = qcow::BigEndian(header + qcow::kClusterBits, 4);
  if (clusterBits < 9 || clusterBits > 21) return damaged("its cluster size is out of range");
  const std::uint64_t cluster = 1ull << clusterBits;
  const std::uint64_t l1Entries = qcow::BigEndian(header + qcow::kL1Size, 4);
  const std::uint64_t l1Offset = qcow::BigEndian(header + qcow::kL1Offset, 8);
  if (l1Entries > qcow::kMaxL1Entries || l1Offset > fileBytes || l1Entries * 8 > fileBytes - l1Offset)
    return damaged("its first table lies past its end");
  std::vector<std::uint8_t> l1(static_cast<std::size_t>(l1Entries * 8));
  if (!l1.empty() && file.ReadFully(l1.data(), l1.size(), l1Offset) != kSuccess) return damaged("its first table cannot be read");
  const auto within = [&](std::uint64_t offset, std::uint64_t length) {
    return offset <= fileBytes && length <= fileBytes - offset;
  };
  const std::uint64_t compressedBits = 62 - (clusterBits - 8);
  std::vector<std::uint8_t> l2(static_cast<std::size_t>(cluster));
  for (std::uint64_t i = 0; i < l1Entries; ++i) {
    const std::uint64_t l1Entry = qcow::BigEndian(l1.data() + i * 8, 8);
    if ((l1Entry & (qcow::kReservedBits | 1 | qcow::kCompressed)) != 0) return damaged("its first table is corrupt");
    const std::uint64_t l2Offset = l1Entry & qcow::kOffsetMask;
    if (l2Offset == 0) continue;
    if (!within(l2Offset, cluster) || file.ReadFully(l2.data(), l2.size(), l2Offset) != kSuccess)
      return damaged("a second-level table lies past its end");
    for (std::uint64_t j = 0; j < cluster / 8; ++j) {
      const std::uint64_t entry = qcow::BigEndian(l2.data() + j * 8, 8);
      bool fits = true;
      if ((entry & qcow::kCompressed) != 0) {
        // Compressed: the offset in the low bits, then the count of further 512-byte sectors.
        const std::uint64_t offset = entry & ((1ull << compressedBits) - 1);
        const std::uint64_t sectors = ((entry & ~qcow::kCompressed & ~(1ull << 63)) >> compressedBits) + 1;
        const std::uint64_t start = offset & ~std::uint64_t{511};
        fits = offset < fileBytes && sectors * 512 <= cluster + 512 &&
               start + sectors * 512 <= (fileBytes + 511) / 512 * 512;
      } else if ((entry & qcow::kReservedBits) != 0) {
        fits = false;
      } else if ((entry & qcow::kOffsetMask) != 0) {
        fits = within(entry & qcow::kOffsetMask, cluster);
      }
      if (!fits) return damaged("a data cluster lies past its end");
    }
  }
  return kSuccess;
}

// What tells the libraries of differencing formats apart: libvhdi (VHD, VHDX) and libqcow.
struct VhdiLibrary {
  using File = libvhdi_file_t;
  using Error = libvhdi_error_t;
  static constexpr const char* kFormat = "virtual disk";
  static constexpr const char* kParent = "parent disk";
  static Result Check(const std::string&, std::string& error) { return NeedLibrary(LibVhdi(), "VHD and VHDX", error); }
  static int Initialize(File** file, Error** error) { return libvhdi_file_initialize(file, error); }
  static int Open(File* file, const std::string& path, Error** error) {
    return libvhdi_file_open(file, path.c_str(), LIBVHDI_OPEN_READ, error);
  }
  static void Close(File* file) { libvhdi_file_close(file, nullptr); }
  static void Free(File** file) { libvhdi_file_free(file, nullptr); }
  static int SetParent(File* child, File* parent, Error** error) {
    return libvhdi_file_set_parent_file(child, parent, error);
  }
  static int MediaSize(File* file, size64_t* size, Error** error) {
    return libvhdi_file_get_media_size(file, size, error);
  }
  static ssize_t Read(File* file, void* buffer, std::size_t length, off64_t offset, Error** error) {
    return libvhdi_file_read_buffer_at_offset(file, buffer, length, offset, error);
  }
  static std::string Message(Error*& error) { return TakeLibraryError(error, libvhdi_error_sprint, libvhdi_error_free); }
  // 1 and the name when the file has a parent, 0 when it has none, -1 when its name cannot be read.
  static int ParentName(File* file, std::string& name) {
    uint32_t type = 0;
    if (libvhdi_file_get_disk_type(file, &type, nullptr) != 1 || type != LIBVHDI_DISK_TYPE_DIFFERENTIAL) return 0;
    std::uint8_t text[1024] = {};
    if (libvhdi_file_get_utf8_parent_filename(file, text, sizeof text, nullptr) != 1) return -1;
    name = reinterpret_cast<const char*>(text);
    return 1;
  }
};

struct QcowLibrary {
  using File = libqcow_file_t;
  using Error = libqcow_error_t;
  static constexpr const char* kFormat = "QCOW image";
  static constexpr const char* kParent = "backing file";
  static Result Check(const std::string& path, std::string& error) {
    if (Result r = NeedLibrary(LibQcow(), "QCOW", error); r != kSuccess) return r;
    return CheckQcowLayout(path, error);
  }
  static int Initialize(File** file, Error** error) { return libqcow_file_initialize(file, error); }
  static int Open(File* file, const std::string& path, Error** error) {
    return libqcow_file_open(file, path.c_str(), LIBQCOW_OPEN_READ, error);
  }
  static void Close(File* file) { libqcow_file_close(file, nullptr); }
  static void Free(File** file) { libqcow_file_free(file, nullptr); }
  static int SetParent(File* child, File* parent, Error** error) {
    return libqcow_file_set_parent_file(child, parent, error);
  }
  static int MediaSize(File* file, size64_t* size, Error** error) {
    return libqcow_file_get_media_size(file, size, error);
  }
  static ssize_t Read(File* file, void* buffer, std::size_t length, off64_t offset, Error** error) {
    return libqcow_file_read_buffer_at_offset(file, buffer, length, offset, error);
  }
  static std::string Message(Error*& error) { return TakeLibraryError(error, libqcow_error_sprint, libqcow_error_free); }
  static int ParentName(File* file, std::string& name) {
    std::size_t size = 0;
    if (libqcow_file_get_utf8_backing_filename_size(file, &size, nullptr) != 1 || size <= 1) return 0;
    std::uint8_t text[1024] = {};
    if (size > sizeof text || libqcow_file_get_utf8_backing_filename(file, text, sizeof text, nullptr) != 1) return -1;
    name = reinterpret_cast<const char*>(text);
    return 1;
  }
};

// A virtual disk with the chain of parents a differencing disk reads its unwritten blocks from.
template <typename Library>
class ChainReader final : public MediumReader {
 public:
  ~ChainReader() override {
    for (auto it = chain_.rbegin(); it != chain_.rend(); ++it) {
      Library::Close(*it);
      Library::Free(&*it);
    }
  }
  Result Open(const std::string& path, std::string& error) {
    std::string current = path;
    for (int depth = 0;; ++depth) {
      if (Result r = Library::Check(current, error); r != kSuccess) return r;
      typename Library::Error* err = nullptr;
      typename Library::File* file = nullptr;
      if (Library::Initialize(&file, &err) != 1) return Fail(err, path, error);
      if (Library::Open(file, current, &err) != 1) {
        Library::Free(&file);
        return Fail(err, current, error);
      }
      if (!chain_.empty() && Library::SetParent(chain_.back(), file, &err) != 1) {
        Library::Close(file);
        Library::Free(&file);
        return Fail(err, current, error);
      }
      chain_.push_back(file);
      files_.push_back(current);
      std::string named;
      const int hasParent = Library::ParentName(file, named);
      if (hasParent == 0) break;
      if (hasParent < 0) {
        error = "the " + std::string(Library::kParent) + " name of " + current + " cannot be read";
        return kErrInvalidParameter;
      }
      if (depth + 1 >= kMaxParentDepth) {
        error = path + " has more than " + std::to_string(kMaxParentDepth) + " " + Library::kParent + "s";
        return kErrInvalidParameter;
      }
      const std::string parent = ParentPath(current, named);
      if (!IsRegularFile(parent)) {
        error = "the " + std::string(Library::kParent) + " " + named + " of " + current + " is missing (looked for " +
                parent + ")";
        return kErrFileNotFound;
      }
      current = parent;
    }
    size64_t size = 0;
    typename Library::Error* err = nullptr;
    if (Library::MediaSize(chain_.front(), &size, &err) != 1) return Fail(err, path, error);
    size_ = size;
    return kSuccess;
  }
  std::uint64_t Size() const override { return size_; }
  ssize_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    if (offset >= size_) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>({length, size_ - offset, kMaxReadRequest}));
    std::lock_guard<std::mutex> hold(lock_);
    typename Library::Error* err = nullptr;
    const ssize_t n = Library::Read(chain_.front(), buffer, length, static_cast<off64_t>(offset), &err);
    if (err != nullptr) (void)Library::Message(err);
    return n < 0 ? -1 : n;
  }
  const std::vector<std::string>& Files() const { return files_; }

 private:
  static Result Fail(typename Library::Error*& err, const std::string& path, std::string& error) {
    error = "cannot read the " + std::string(Library::kFormat) + " " + path + ": " + Library::Message(err);
    return kErrReadFault;
  }
  std::vector<typename Library::File*> chain_;  // the disk first, then its parents
  std::vector<std::string> files_;
  std::uint64_t size_ = 0;
  std::mutex lock_;
};

// VMDK (a descriptor with its extents, or one sparse extent) through libvmdk.
class VmdkReader final : public MediumReader {
 public:
  ~VmdkReader() override {
    if (handle_ != nullptr) {
      libvmdk_handle_close(handle_, nullptr);
      libvmdk_handle_free(&handle_, nullptr);
    }
  }
  Result Open(const std::string& path, std::string& error) {
    if (Result r = NeedLibrary(LibVmdk(), "VMDK", error); r != kSuccess) return r;
    libvmdk_error_t* err = nullptr;
    files_.push_back(path);
    if (libvmdk_handle_initialize(&handle_, &err) != 1 ||
        libvmdk_handle_open(handle_, path.c_str(), LIBVMDK_OPEN_READ, &err) != 1)
      return Fail(err, path, error);
    int extents = 0;
    if (libvmdk_handle_get_number_of_extents(handle_, &extents, nullptr) == 1) {
      const fs::path dir = fs::path(path).parent_path();
      for (int i = 0; i < extents && static_cast<std::size_t>(i) < kMaxSegments; ++i) {
        libvmdk_extent_descriptor_t* extent = nullptr;
        if (libvmdk_handle_get_extent_descriptor(handle_, i, &extent, nullptr) != 1) continue;
        std::uint8_t name[1024] = {};
        if (libvmdk_extent_descriptor_get_utf8_filename(extent, name, sizeof name, nullptr) == 1) {
          const std::string file = (dir / fs::path(reinterpret_cast<const char*>(name)).filename()).string();
          if (file != path && !IsRegularFile(file)) {
            libvmdk_extent_descriptor_free(&extent, nullptr);
            error = "the extent file " + file + " of " + path + " is missing";
            return kErrFileNotFound;
          }
          if (file != path) files_.push_back(file);
        }
        libvmdk_extent_descriptor_free(&extent, nullptr);
      }
    }
    if (libvmdk_handle_open_extent_data_files(handle_, &err) != 1) return Fail(err, path, error);
    size64_t size = 0;
    if (libvmdk_handle_get_media_size(handle_, &size, &err) != 1) return Fail(err, path, error);
    size_ = size;
    return kSuccess;
  }
  std::uint64_t Size() const override { return size_; }
  ssize_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    if (offset >= size_) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>({length, size_ - offset, kMaxReadRequest}));
    std::lock_guard<std::mutex> hold(lock_);
    libvmdk_error_t* err = nullptr;
    const ssize_t n = libvmdk_handle_read_buffer_at_offset(handle_, buffer, length, static_cast<off64_t>(offset), &err);
    if (err != nullptr) libvmdk_error_free(&err);
    return n < 0 ? -1 : n;
  }
  const std::vector<std::string>& Files() const { return files_; }

 private:
  static Result Fail(libvmdk_error_t*& err, const std::string& path, std::string& error) {
    error = "cannot read the VMDK image " + path + ": " + TakeLibraryError(err, libvmdk_error_sprint, libvmdk_error_free);
    return kErrReadFault;
  }
  libvmdk_handle_t* handle_ = nullptr;
  std::vector<std::string> files_;
  std::uint64_t size_ = 0;
  std::mutex lock_;
};

std::string Hex(const unsigned char* bytes, std::size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

}  // namespace

ContainerKind DetectContainer(const std::string& path) {
  std::uint64_t size = 0;
  if (!IsRegularFile(path, &size)) return ContainerKind::None;
  FileHandle file;
  if (FileHandle::OpenReadOnly(path, file) != kSuccess) return ContainerKind::None;
  std::uint8_t head[64] = {};
  const ssize_t got = file.Pread(head, sizeof head, 0);
  const std::size_t have = got > 0 ? static_cast<std::size_t>(got) : 0;
  if (StartsWith(head, have, kEwfSignature, sizeof kEwfSignature)) return ContainerKind::Ewf;
  if (StartsWith(head, have, kVhdxSignature, sizeof kVhdxSignature)) return ContainerKind::Vhdx;
  if (StartsWith(head, have, kQcowSignature, sizeof kQcowSignature)) return ContainerKind::Qcow;
  if (StartsWith(head, have, kVmdkSparse, sizeof kVmdkSparse) ||
      StartsWith(head, have, kVmdkDescriptor, sizeof kVmdkDescriptor - 1))
    return ContainerKind::Vmdk;
  if (StartsWith(head, have, kVhdFooter, sizeof kVhdFooter)) return ContainerKind::Vhd;
  // A fixed VHD is a raw disk with the footer behind it: the last 512 bytes (511 in old ones).
  // Only a file named so is looked at there: the end of any other file is not read just to look
  // (on a failing medium a read far ahead of the copy is one too many), and a fixed VHD read
  // as raw gives its disk all the same.
  if (size >= 1024 && HasVhdName(path)) {
    std::uint8_t tail[512] = {};
    if (file.Pread(tail, sizeof tail, size - 512) == 512 &&
        (StartsWith(tail, 512, kVhdFooter, sizeof kVhdFooter) || StartsWith(tail + 1, 511, kVhdFooter, sizeof kVhdFooter)))
      return ContainerKind::Vhd;
  }
  if (SplitPieces(path).size() >= 2) return ContainerKind::SplitRaw;
  return ContainerKind::None;
}

const char* ContainerKindName(ContainerKind kind) {
  switch (kind) {
    case ContainerKind::Ewf: return "EWF";
    case ContainerKind::Vhd: return "VHD";
    case ContainerKind::Vhdx: return "VHDX";
    case ContainerKind::Vmdk: return "VMDK";
    case ContainerKind::Qcow: return "QCOW2";
    case ContainerKind::SplitRaw: return "split raw";
    case ContainerKind::None: break;
  }
  return "raw";
}

namespace {

template <typename Reader>
Result OpenAs(const std::string& path, std::shared_ptr<MediumReader>& out, std::string& error,
              std::vector<std::string>* files) {
  auto reader = std::make_shared<Reader>();
  if (Result r = reader->Open(path, error); r != kSuccess) return r;
  if (files != nullptr) *files = reader->Files();
  out = std::move(reader);
  return kSuccess;
}

Result OpenKind(const std::string& path, ContainerKind kind, std::shared_ptr<MediumReader>& out, std::string& error,
                std::vector<std::string>* files) {
  out.reset();
  switch (kind) {
    case ContainerKind::Ewf: return OpenAs<EwfReader>(path, out, error, files);
    case ContainerKind::Vhd:
    case ContainerKind::Vhdx: return OpenAs<ChainReader<VhdiLibrary>>(path, out, error, files);
    case ContainerKind::Vmdk: return OpenAs<VmdkReader>(path, out, error, files);
    case ContainerKind::Qcow: return OpenAs<ChainReader<QcowLibrary>>(path, out, error, files);
    case ContainerKind::SplitRaw: {
      const std::vector<std::string> pieces = SplitPieces(path);
      auto reader = std::make_shared<SplitRawReader>();
      if (Result r = reader->Open(pieces, error); r != kSuccess) return r;
      if (files != nullptr) *files = pieces;
      out = std::move(reader);
      return kSuccess;
    }
    case ContainerKind::None: break;
  }
  if (files != nullptr) *files = {path};
  return kSuccess;
}

}  // namespace

Result OpenContainer(const std::string& path, std::shared_ptr<MediumReader>& out, std::string& error) {
  return OpenKind(path, DetectContainer(path), out, error, nullptr);
}

std::vector<std::string> ContainerFiles(const std::string& path) {
  std::vector<std::string> files{path};
  std::shared_ptr<MediumReader> reader;
  std::string ignored;
  (void)OpenKind(path, DetectContainer(path), reader, ignored, &files);
  if (files.empty()) files.push_back(path);
  return files;
}

Result MakeShadowMedium(const MediumReader& reader, FileHandle& out) {
  const int fd = ::memfd_create("rexmoor-shadow", MFD_CLOEXEC);
  if (fd < 0) return ResultFromErrno(errno);
  out = FileHandle(fd);
  if (::ftruncate(fd, static_cast<off_t>(reader.Size())) != 0) {
    const Result r = ResultFromErrno(errno);
    out.Close();
    return r;
  }
  return kSuccess;
}

void CopyIntoShadow(MediumReader& reader, const FileHandle& shadow, std::uint64_t offset, std::uint64_t length) {
  const std::uint64_t size = reader.Size();
  if (offset >= size) return;
  length = std::min(length, size - offset);
  std::vector<std::uint8_t> block(1u << 20);
  for (std::uint64_t done = 0; done < length;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), length - done));
    const ssize_t n = reader.ReadAt(offset + done, block.data(), want);
    if (n <= 0) {
      done += 512;  // an unreadable stretch stays zeros in the shadow
      continue;
    }
    (void)WriteAll(shadow, block.data(), static_cast<std::size_t>(n), offset + done);
    done += static_cast<std::uint64_t>(n);
  }
}

Result VerifyContainer(const std::string& path, ContainerVerification& out, std::string& error,
                       const std::function<bool(std::uint64_t, std::uint64_t)>& progress) {
  out = ContainerVerification{};
  if (DetectContainer(path) != ContainerKind::Ewf) {
    error = path + " is not an EWF image: only EWF images hold the digests of their media";
    return kErrNotSupported;
  }
  auto reader = std::make_shared<EwfReader>();
  if (Result r = reader->Open(path, error); r != kSuccess) return r;
  std::uint8_t md5[16] = {}, sha1[20] = {};
  if (libewf_handle_get_md5_hash(reader->Handle(), md5, sizeof md5, nullptr) == 1) out.storedMd5 = Hex(md5, sizeof md5);
  if (libewf_handle_get_sha1_hash(reader->Handle(), sha1, sizeof sha1, nullptr) == 1)
    out.storedSha1 = Hex(sha1, sizeof sha1);
  if (std::string why; !LibCrypto().Load(&why)) {
    error = "the media of " + path + " cannot be hashed: " + why;
    return kErrNotSupported;
  }
  const auto contextFree = [](EVP_MD_CTX* context) { EVP_MD_CTX_free(context); };
  std::unique_ptr<EVP_MD_CTX, decltype(contextFree)> md5Ctx(EVP_MD_CTX_new(), contextFree);
  std::unique_ptr<EVP_MD_CTX, decltype(contextFree)> sha1Ctx(EVP_MD_CTX_new(), contextFree);
  if (!md5Ctx || !sha1Ctx || EVP_DigestInit_ex(md5Ctx.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestInit_ex(sha1Ctx.get(), EVP_sha1(), nullptr) != 1)
    return kErrNotEnoughMemory;
  const std::uint64_t total = reader->Size();
  std::vector<std::uint8_t> block(1u << 20);
  while (out.bytesRead < total) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), total - out.bytesRead));
    ssize_t n = reader->ReadAt(out.bytesRead, block.data(), want);
    if (n <= 0) {
      // An unreadable stretch is hashed as zeros (as the acquisition would have stored nothing
      // better) and counted: the result cannot match then.
      n = static_cast<ssize_t>(std::min<std::size_t>(want, 512));
      std::fill_n(block.begin(), static_cast<std::size_t>(n), std::uint8_t{0});
      out.badBytes += static_cast<std::uint64_t>(n);
    }
    EVP_DigestUpdate(md5Ctx.get(), block.data(), static_cast<std::size_t>(n));
    EVP_DigestUpdate(sha1Ctx.get(), block.data(), static_cast<std::size_t>(n));
    out.bytesRead += static_cast<std::uint64_t>(n);
    if (progress && !progress(out.bytesRead, total)) return kCancelled;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(md5Ctx.get(), digest, &length);
  out.computedMd5 = Hex(digest, length);
  EVP_DigestFinal_ex(sha1Ctx.get(), digest, &length);
  out.computedSha1 = Hex(digest, length);
  return kSuccess;
}

}  // namespace rexmoor
