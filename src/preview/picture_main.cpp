// rexmoor-picture IN OUT MAXSIDE: draws a picture that Qt's own readers cannot read into OUT, for
// the preview and the thumbnails. HEIF, HEIC and AVIF are decoded with libheif, JPEG XL with libjxl,
// camera raw files give their embedded preview through LibRaw (or, when they carry none, their raw
// data developed at half size); where LibRaw does not know the camera, the JPEG preview that the
// file's own directories point to is taken. OUT is a JPEG (a raw file's own preview, as it is) or a binary PPM
// whose longer side is at most MAXSIDE; readers tell them apart by their content. Run by the
// preview as a child process with limits on its time and memory; exit 0 drawn, 1 not a picture
// it can draw, 2 usage, 3 out of memory.
#include <fcntl.h>
#include <jxl/decode.h>
#include <libheif/heif.h>
#include <libraw/libraw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "preview/raw_preview.h"

namespace {

constexpr int kDrawn = 0, kRefused = 1, kUsage = 2, kNoMemory = 3;

// Pictures larger than this are not decoded (the memory limit would end them anyway; this says so
// before a byte is allocated).
constexpr std::uint64_t kMaxPixels = 200ull * 1000 * 1000;
constexpr int kMaxSideLimit = 65535;
// A JPEG XL file is decoded from memory.
constexpr std::uint64_t kMaxJxlFileBytes = 256ull << 20;

struct Rgb {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bytes;  // width * height * 3
};

bool SizeAllowed(std::uint64_t width, std::uint64_t height) {
  return width > 0 && height > 0 && width <= kMaxSideLimit && height <= kMaxSideLimit && width * height <= kMaxPixels;
}

// Box filter down to maxSide on the longer side: each output pixel is the mean of the input
// pixels it covers, so a large picture does not come out grainy.
Rgb Shrink(const Rgb& in, int maxSide) {
  const int longer = std::max(in.width, in.height);
  if (longer <= maxSide) return in;
  Rgb out;
  out.width = std::max(1, static_cast<int>(static_cast<std::int64_t>(in.width) * maxSide / longer));
  out.height = std::max(1, static_cast<int>(static_cast<std::int64_t>(in.height) * maxSide / longer));
  out.bytes.assign(static_cast<std::size_t>(out.width) * out.height * 3, 0);
  for (int y = 0; y < out.height; ++y) {
    const int y0 = static_cast<int>(static_cast<std::int64_t>(y) * in.height / out.height);
    const int y1 = std::max(y0 + 1, static_cast<int>(static_cast<std::int64_t>(y + 1) * in.height / out.height));
    for (int x = 0; x < out.width; ++x) {
      const int x0 = static_cast<int>(static_cast<std::int64_t>(x) * in.width / out.width);
      const int x1 = std::max(x0 + 1, static_cast<int>(static_cast<std::int64_t>(x + 1) * in.width / out.width));
      std::uint64_t sum[3] = {0, 0, 0};
      for (int sy = y0; sy < y1; ++sy) {
        const std::uint8_t* row = in.bytes.data() + (static_cast<std::size_t>(sy) * in.width + x0) * 3;
        for (int sx = x0; sx < x1; ++sx, row += 3)
          for (int c = 0; c < 3; ++c) sum[c] += row[c];
      }
      const std::uint64_t count = static_cast<std::uint64_t>(y1 - y0) * (x1 - x0);
      std::uint8_t* px = out.bytes.data() + (static_cast<std::size_t>(y) * out.width + x) * 3;
      for (int c = 0; c < 3; ++c) px[c] = static_cast<std::uint8_t>(sum[c] / count);
    }
  }
  return out;
}

// Written beside the target and renamed over it, so that a reader never sees half a file.
bool WriteAtomically(const std::string& path, const std::string& header, const std::uint8_t* data, std::size_t size) {
  const std::string partial = path + ".part" + std::to_string(::getpid());
  const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  bool ok = true;
  auto put = [&](const std::uint8_t* p, std::size_t n) {
    while (ok && n > 0) {
      const ssize_t w = ::write(fd, p, n);
      if (w <= 0) {
        ok = false;
        break;
      }
      p += w;
      n -= static_cast<std::size_t>(w);
    }
  };
  put(reinterpret_cast<const std::uint8_t*>(header.data()), header.size());
  put(data, size);
  ok = ::close(fd) == 0 && ok;
  if (ok && std::rename(partial.c_str(), path.c_str()) == 0) return true;
  std::remove(partial.c_str());
  return false;
}

int WritePpm(const Rgb& picture, const std::string& path, int maxSide) {
  const Rgb small = Shrink(picture, maxSide);
  const std::string header = "P6\n" + std::to_string(small.width) + " " + std::to_string(small.height) + "\n255\n";
  return WriteAtomically(path, header, small.bytes.data(), small.bytes.size()) ? kDrawn : kRefused;
}

// ---- HEIF, HEIC, AVIF ----

struct HeifContextFree {
  void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HeifHandleFree {
  void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct HeifImageFree {
  void operator()(heif_image* i) const { heif_image_release(i); }
};

int DrawHeif(const std::string& in, const std::string& out, int maxSide) {
  std::unique_ptr<heif_context, HeifContextFree> context(heif_context_alloc());
  if (!context || heif_context_read_from_file(context.get(), in.c_str(), nullptr).code != heif_error_Ok)
    return kRefused;
  heif_image_handle* primary = nullptr;
  if (heif_context_get_primary_image_handle(context.get(), &primary).code != heif_error_Ok) return kRefused;
  std::unique_ptr<heif_image_handle, HeifHandleFree> handle(primary);
  // A thumbnail large enough for the side asked for is decoded instead of the whole picture.
  const int thumbnails = heif_image_handle_get_number_of_thumbnails(handle.get());
  if (thumbnails > 0 && thumbnails < 16) {
    std::vector<heif_item_id> ids(static_cast<std::size_t>(thumbnails));
    heif_image_handle_get_list_of_thumbnail_IDs(handle.get(), ids.data(), thumbnails);
    for (heif_item_id id : ids) {
      heif_image_handle* thumb = nullptr;
      if (heif_image_handle_get_thumbnail(handle.get(), id, &thumb).code != heif_error_Ok) continue;
      std::unique_ptr<heif_image_handle, HeifHandleFree> owned(thumb);
      if (std::max(heif_image_handle_get_width(thumb), heif_image_handle_get_height(thumb)) >= maxSide) {
        handle = std::move(owned);
        break;
      }
    }
  }
  if (!SizeAllowed(static_cast<std::uint64_t>(std::max(0, heif_image_handle_get_width(handle.get()))),
                   static_cast<std::uint64_t>(std::max(0, heif_image_handle_get_height(handle.get())))))
    return kRefused;
  heif_image* decoded = nullptr;
  if (heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code !=
      heif_error_Ok)
    return kRefused;
  std::unique_ptr<heif_image, HeifImageFree> image(decoded);
  int stride = 0;
  const std::uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  Rgb rgb;
  rgb.width = heif_image_get_width(image.get(), heif_channel_interleaved);
  rgb.height = heif_image_get_height(image.get(), heif_channel_interleaved);
  if (plane == nullptr || !SizeAllowed(static_cast<std::uint64_t>(std::max(0, rgb.width)),
                                       static_cast<std::uint64_t>(std::max(0, rgb.height))) ||
      stride < rgb.width * 3)
    return kRefused;
  rgb.bytes.resize(static_cast<std::size_t>(rgb.width) * rgb.height * 3);
  for (int y = 0; y < rgb.height; ++y)
    std::memcpy(rgb.bytes.data() + static_cast<std::size_t>(y) * rgb.width * 3,
                plane + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride), static_cast<std::size_t>(rgb.width) * 3);
  return WritePpm(rgb, out, maxSide);
}

// ---- JPEG XL ----

struct JxlFree {
  void operator()(JxlDecoder* d) const { JxlDecoderDestroy(d); }
};

bool ReadWhole(const std::string& path, std::uint64_t cap, std::vector<std::uint8_t>& bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && static_cast<std::uint64_t>(st.st_size) <= cap;
  if (ok) {
    bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    ok = done > 0;
  }
  ::close(fd);
  return ok;
}

int DrawJxl(const std::string& in, const std::string& out, int maxSide) {
  std::vector<std::uint8_t> file;
  if (!ReadWhole(in, kMaxJxlFileBytes, file)) return kRefused;
  std::unique_ptr<JxlDecoder, JxlFree> decoder(JxlDecoderCreate(nullptr));
  if (!decoder || JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS ||
      JxlDecoderSetInput(decoder.get(), file.data(), file.size()) != JXL_DEC_SUCCESS)
    return kRefused;
  JxlDecoderCloseInput(decoder.get());
  const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  Rgb rgb;
  // Every call moves the decoder on by at least one event; a bounded loop all the same.
  for (int step = 0; step < 64; ++step) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(decoder.get());
    if (status == JXL_DEC_BASIC_INFO) {
      JxlBasicInfo info{};
      if (JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS || !SizeAllowed(info.xsize, info.ysize))
        return kRefused;
      rgb.width = static_cast<int>(info.xsize);
      rgb.height = static_cast<int>(info.ysize);
    } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
      std::size_t size = 0;
      if (rgb.width == 0 || JxlDecoderImageOutBufferSize(decoder.get(), &format, &size) != JXL_DEC_SUCCESS ||
          size != static_cast<std::size_t>(rgb.width) * rgb.height * 3)
        return kRefused;
      rgb.bytes.resize(size);
      if (JxlDecoderSetImageOutBuffer(decoder.get(), &format, rgb.bytes.data(), size) != JXL_DEC_SUCCESS)
        return kRefused;
    } else if (status == JXL_DEC_FULL_IMAGE) {
      return rgb.bytes.empty() ? kRefused : WritePpm(rgb, out, maxSide);  // the first frame of an animation
    } else {
      return kRefused;  // an error, input that ends early, or a picture without frames
    }
  }
  return kRefused;
}


using rexmoor::ByteSpan;

// Reads exactly n bytes at offset, or fails.
bool ReadAt(int fd, std::uint64_t offset, std::size_t n, std::uint8_t* out) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd, out + done, n - done, static_cast<off_t>(offset + done));
    if (r <= 0) return false;
    done += static_cast<std::size_t>(r);
  }
  return true;
}

ByteSpan LargestOwnPreview(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return {};
  return rexmoor::LargestEmbeddedPreview(
      [fd](std::uint64_t offset, std::size_t n, std::uint8_t* out) { return ReadAt(fd, offset, n, out); },
      static_cast<std::uint64_t>(st.st_size));
}

int WriteSpan(int fd, const ByteSpan& span, const std::string& out) {
  std::vector<std::uint8_t> jpeg(static_cast<std::size_t>(span.length));
  return ReadAt(fd, span.offset, jpeg.size(), jpeg.data()) && WriteAtomically(out, {}, jpeg.data(), jpeg.size())
             ? kDrawn
             : kRefused;
}

// ---- camera raw files ----

// An 8-bit RGB bitmap LibRaw made, as a PPM; anything else is refused.
int WriteBitmap(const libraw_processed_image_t& image, const std::string& out, int maxSide) {
  if (image.type != LIBRAW_IMAGE_BITMAP || image.colors != 3 || image.bits != 8 || !SizeAllowed(image.width, image.height) ||
      image.data_size < static_cast<unsigned>(image.width) * image.height * 3)
    return kRefused;
  Rgb rgb;
  rgb.width = image.width;
  rgb.height = image.height;
  rgb.bytes.assign(image.data, image.data + static_cast<std::size_t>(rgb.width) * rgb.height * 3);
  return WritePpm(rgb, out, maxSide);
}

// The largest JPEG preview, LibRaw's or the one the file's own directories point to (LibRaw may
// pick a small thumbnail, and does not know every camera); else LibRaw's bitmap thumbnail; else
// the raw data, developed at half size.
int DrawRaw(const std::string& in, const std::string& out, int maxSide) {
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(in.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return kRefused;
  const ByteSpan own = LargestOwnPreview(file.fd);
  auto raw = std::make_unique<LibRaw>(0);
  raw->imgdata.params.max_raw_memory_mb = 1024;
  if (raw->open_file(in.c_str()) != LIBRAW_SUCCESS) return own.length > 0 ? WriteSpan(file.fd, own, out) : kRefused;
  int error = 0;
  if (raw->unpack_thumb() == LIBRAW_SUCCESS) {
    libraw_processed_image_t* thumb = raw->dcraw_make_mem_thumb(&error);
    if (thumb != nullptr) {
      int drawn = -1;
      if (thumb->type == LIBRAW_IMAGE_JPEG && thumb->data_size > 4 && thumb->data[0] == 0xFF &&
          thumb->data[1] == 0xD8 && thumb->data_size > own.length) {
        drawn = WriteAtomically(out, {}, thumb->data, thumb->data_size) ? kDrawn : kRefused;
      } else if (own.length == 0) {
        drawn = WriteBitmap(*thumb, out, maxSide);
      }
      LibRaw::dcraw_clear_mem(thumb);
      if (drawn == kDrawn) return kDrawn;
    }
  }
  if (own.length > 0) return WriteSpan(file.fd, own, out);
  if (!SizeAllowed(raw->imgdata.sizes.raw_width, raw->imgdata.sizes.raw_height)) return kRefused;
  raw->imgdata.params.half_size = 1;
  raw->imgdata.params.use_camera_wb = 1;
  if (raw->unpack() != LIBRAW_SUCCESS || raw->dcraw_process() != LIBRAW_SUCCESS) return kRefused;
  libraw_processed_image_t* image = raw->dcraw_make_mem_image(&error);
  if (image == nullptr) return kRefused;
  const int drawn = WriteBitmap(*image, out, maxSide);
  LibRaw::dcraw_clear_mem(image);
  return drawn;
}

// ---- which decoder ----

enum class Kind { Heif, Jxl, Raw };

Kind KindOf(const std::string& path) {
  std::uint8_t head[16] = {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    // A short or failed read leaves zeros: no kind is recognised by them.
    if (::read(fd, head, sizeof head) < 0) std::memset(head, 0, sizeof head);
    ::close(fd);
  }
  static constexpr std::uint8_t kJxlBox[12] = {0, 0, 0, 0x0C, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};
  if ((head[0] == 0xFF && head[1] == 0x0A) || std::memcmp(head, kJxlBox, sizeof kJxlBox) == 0) return Kind::Jxl;
  // ISO media: every HEIF brand goes to libheif; Canon's CR3 ("crx ") is a raw file.
  if (std::memcmp(head + 4, "ftyp", 4) == 0 && std::memcmp(head + 8, "crx ", 4) != 0) return Kind::Heif;
  return Kind::Raw;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: rexmoor-picture IN OUT MAXSIDE\n", stderr);
    return kUsage;
  }
  char* end = nullptr;
  const long side = std::strtol(argv[3], &end, 10);
  if (end == argv[3] || *end != '\0' || side < 16 || side > 8192) {
    std::fputs("rexmoor-picture: MAXSIDE must be 16 to 8192\n", stderr);
    return kUsage;
  }
  // The libraries report every oddity of a damaged file; a preview has no use for that.
  if (std::freopen("/dev/null", "w", stderr) == nullptr) return kRefused;
  try {
    const std::string in = argv[1], out = argv[2];
    switch (KindOf(in)) {
      case Kind::Jxl: return DrawJxl(in, out, static_cast<int>(side));
      case Kind::Heif: return DrawHeif(in, out, static_cast<int>(side));
      case Kind::Raw: return DrawRaw(in, out, static_cast<int>(side));
    }
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  } catch (...) {
    return kRefused;
  }
  return kRefused;
}
