// Helpers for the carver's tests: minimal but well-formed files of each format built in memory,
// the committed real sample files with their manifest, and raw image files laid out sector by
// sector that serve as the medium.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "formats/carving_context.h"
#include "formats/file_type_id.h"
#include "formats/walk_media.h"
#include "device/sector_source.h"
#include "test_support.h"

namespace rexmoor::carvetest {

using Bytes = std::vector<std::uint8_t>;

inline void Append(Bytes& b, const void* data, std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  b.insert(b.end(), p, p + n);
}
inline void Append(Bytes& b, const char* text) { Append(b, text, std::strlen(text)); }
inline void Append(Bytes& b, std::initializer_list<std::uint8_t> bytes) { b.insert(b.end(), bytes); }
inline void AppendBytes(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
inline void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Put64(Bytes& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Put16BE(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}
inline void Put32BE(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
inline void Append16(Bytes& b, std::uint16_t v) {
  b.resize(b.size() + 2);
  Put16(b, b.size() - 2, v);
}
inline void Append32(Bytes& b, std::uint32_t v) {
  b.resize(b.size() + 4);
  Put32(b, b.size() - 4, v);
}
inline void Append16BE(Bytes& b, std::uint16_t v) {
  b.resize(b.size() + 2);
  Put16BE(b, b.size() - 2, v);
}
inline void Append32BE(Bytes& b, std::uint32_t v) {
  b.resize(b.size() + 4);
  Put32BE(b, b.size() - 4, v);
}

// Random bytes that avoid the given byte values (so no marker or footer appears by chance).
inline Bytes RandomAvoiding(std::size_t n, std::uint32_t seed, std::initializer_list<std::uint8_t> avoid) {
  Bytes b = test::RandomBytes(n, seed);
  for (auto& c : b) {
    while (std::find(avoid.begin(), avoid.end(), c) != avoid.end()) c = static_cast<std::uint8_t>(c + 1);
  }
  return b;
}

inline std::uint32_t Crc32(const std::uint8_t* p, std::size_t n) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return c ^ 0xFFFFFFFFu;
}

// ------------------------------------------------------------------ synthetic files

// Baseline JFIF: APP0, DQT, SOF0, SOS, entropy data without markers, EOI.
inline Bytes MakeJpeg(std::size_t entropyBytes, std::uint32_t seed) {
  Bytes b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01,
             0x00, 0x00};
  Append(b, {0xFF, 0xDB, 0x00, 0x43, 0x00});
  for (int i = 1; i <= 64; ++i) b.push_back(static_cast<std::uint8_t>(i));
  Append(b, {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x10, 0x00, 0x10, 0x03, 0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03,
             0x11, 0x01});
  Append(b, {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00});
  AppendBytes(b, RandomAvoiding(entropyBytes, seed, {0xFF}));
  Append(b, {0xFF, 0xD9});
  return b;
}

// An Exif picture whose APP1 segment carries a thumbnail JPEG; the thumbnail's end marker is
// followed by zeros to the end of its sector, so only the segment walk tells it apart.
inline Bytes MakeExifJpeg(std::size_t entropyBytes, std::uint32_t seed) {
  Bytes thumb = MakeJpeg(300, seed + 1);
  Bytes app1 = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 0x2A, 0x00, 0x08, 0x00, 0x00, 0x00};
  AppendBytes(app1, thumb);
  // Segment starts at 2, its data at 6: pad so the thumbnail ends 100 bytes before a 512 boundary,
  // and zeros follow it to that boundary.
  const std::size_t thumbEnd = 6 + app1.size();
  const std::size_t target = (thumbEnd / 512 + 1) * 512;
  app1.resize(app1.size() + (target - thumbEnd) + 40, 0);
  Bytes b = {0xFF, 0xD8, 0xFF, 0xE1};
  Append16BE(b, static_cast<std::uint16_t>(app1.size() + 2));
  AppendBytes(b, app1);
  Bytes rest = MakeJpeg(entropyBytes, seed);
  b.insert(b.end(), rest.begin() + 20, rest.end());  // DQT onwards
  return b;
}

inline Bytes MakePng(std::size_t idatBytes, std::uint32_t seed) {
  Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  Append32BE(b, 13);
  Append(b, "IHDR");
  Append(b, {0, 0, 0, 16, 0, 0, 0, 16, 8, 2, 0, 0, 0});
  Append32BE(b, 0x12345678);
  Append32BE(b, static_cast<std::uint32_t>(idatBytes));
  Append(b, "IDAT");
  AppendBytes(b, RandomAvoiding(idatBytes, seed, {'I'}));
  Append32BE(b, 0x9ABCDEF0);
  Append(b, {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82});
  return b;
}

inline Bytes MakeGif(std::size_t dataBytes, std::uint32_t seed) {
  Bytes b;
  Append(b, "GIF89a");
  Append(b, {16, 0, 16, 0, 0x80, 0, 0});
  AppendBytes(b, RandomAvoiding(dataBytes, seed, {0x00, 0x3B}));
  Append(b, {0x00, 0x3B});
  return b;
}

inline Bytes MakePdf(std::size_t bodyBytes, std::uint32_t seed, const char* eol = "\n") {
  Bytes b;
  Append(b, "%PDF-1.4\n1 0 obj\n<< /Length 0 >>\nstream\n");
  AppendBytes(b, RandomAvoiding(bodyBytes, seed, {'%', 't'}));
  Append(b, "\nendstream\nendobj\ntrailer\n<< /Size 2 >>\nstartxref\n9\n%%EOF");
  Append(b, eol);
  return b;
}

struct ZipMember {
  std::string name;
  std::size_t dataBytes;
};

// A stored ZIP archive: local headers, central directory and end record with a comment.
inline Bytes MakeZip(const std::vector<ZipMember>& members, std::uint32_t seed, const std::string& comment = "") {
  Bytes b;
  Bytes central;
  std::uint32_t index = 0;
  for (const ZipMember& m : members) {
    const std::uint32_t offset = static_cast<std::uint32_t>(b.size());
    Bytes data = RandomAvoiding(m.dataBytes, seed + index++, {'P'});
    Append(b, {'P', 'K', 3, 4, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    Append32(b, Crc32(data.data(), data.size()));
    Append32(b, static_cast<std::uint32_t>(data.size()));
    Append32(b, static_cast<std::uint32_t>(data.size()));
    Append16(b, static_cast<std::uint16_t>(m.name.size()));
    Append16(b, 0);
    Append(b, m.name.c_str());
    AppendBytes(b, data);
    Append(central, {'P', 'K', 1, 2, 20, 0, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    Append32(central, Crc32(data.data(), data.size()));
    Append32(central, static_cast<std::uint32_t>(data.size()));
    Append32(central, static_cast<std::uint32_t>(data.size()));
    Append16(central, static_cast<std::uint16_t>(m.name.size()));
    Append(central, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    Append32(central, offset);
    Append(central, m.name.c_str());
  }
  const std::uint32_t centralOffset = static_cast<std::uint32_t>(b.size());
  AppendBytes(b, central);
  Append(b, {'P', 'K', 5, 6, 0, 0, 0, 0});
  Append16(b, static_cast<std::uint16_t>(members.size()));
  Append16(b, static_cast<std::uint16_t>(members.size()));
  Append32(b, static_cast<std::uint32_t>(central.size()));
  Append32(b, centralOffset);
  Append16(b, static_cast<std::uint16_t>(comment.size()));
  Append(b, comment.c_str());
  return b;
}

inline Bytes MakeRiff(const char* form, const char* firstChunk, std::size_t dataBytes, std::uint32_t seed) {
  Bytes b;
  Append(b, "RIFF");
  Append32(b, static_cast<std::uint32_t>(4 + 8 + dataBytes));
  Append(b, form);
  Append(b, firstChunk);
  Append32(b, static_cast<std::uint32_t>(dataBytes));
  AppendBytes(b, test::RandomBytes(dataBytes, seed));
  return b;
}

inline Bytes MakeBmp(std::size_t pixelBytes, std::uint32_t seed) {
  Bytes b(54, 0);
  b[0] = 'B';
  b[1] = 'M';
  Put32(b, 2, static_cast<std::uint32_t>(54 + pixelBytes));
  Put32(b, 10, 54);
  Put32(b, 14, 40);
  Put32(b, 18, 16);
  Put32(b, 22, 16);
  Put16(b, 26, 1);
  Put16(b, 28, 24);
  AppendBytes(b, test::RandomBytes(pixelBytes, seed));
  return b;
}

inline Bytes MakeCab(std::size_t bodyBytes, std::uint32_t seed) {
  Bytes b(36, 0);
  std::memcpy(b.data(), "MSCF", 4);
  Put32(b, 8, static_cast<std::uint32_t>(36 + bodyBytes));
  AppendBytes(b, test::RandomBytes(bodyBytes, seed));
  return b;
}

inline Bytes MakeMidi(const std::vector<std::size_t>& trackBytes, std::uint32_t seed) {
  Bytes b;
  Append(b, "MThd");
  Append32BE(b, 6);
  Append16BE(b, 1);
  Append16BE(b, static_cast<std::uint16_t>(trackBytes.size()));
  Append16BE(b, 96);
  std::uint32_t i = 0;
  for (std::size_t n : trackBytes) {
    Append(b, "MTrk");
    Append32BE(b, static_cast<std::uint32_t>(n));
    AppendBytes(b, RandomAvoiding(n, seed + i++, {'M'}));
  }
  return b;
}

// 188-byte transport-stream packets (PID 0x100), sync byte first.
inline Bytes MakeTs(std::size_t packets, std::uint32_t seed) {
  Bytes b;
  for (std::size_t i = 0; i < packets; ++i) {
    Append(b, {0x47, 0x01, 0x00, static_cast<std::uint8_t>(0x10 | (i & 0x0F))});
    AppendBytes(b, RandomAvoiding(184, seed + static_cast<std::uint32_t>(i), {0x47}));
  }
  return b;
}

// 192-byte camcorder packets; the first carries time stamp 0 and the PAT pattern.
inline Bytes MakeMts(std::size_t packets, std::uint32_t seed, std::uint32_t firstStamp = 0) {
  Bytes b;
  for (std::size_t i = 0; i < packets; ++i) {
    const std::uint32_t stamp = firstStamp + static_cast<std::uint32_t>(i) * 1000;
    Append32(b, stamp);
    Append(b, {0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00});
    AppendBytes(b, RandomAvoiding(176, seed + static_cast<std::uint32_t>(i), {0x47}));
  }
  return b;
}

inline Bytes Make7z(std::size_t packedBytes, std::size_t headerBytes, std::uint32_t seed) {
  Bytes b = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C, 0x00, 0x04};
  b.resize(32, 0);
  Put64(b, 12, packedBytes);
  Put64(b, 20, headerBytes);
  Put32(b, 8, Crc32(b.data() + 12, 20));
  AppendBytes(b, test::RandomBytes(packedBytes + headerBytes, seed));
  return b;
}

// Compound document (512-byte sectors): header, stream data sectors, one FAT sector, one
// directory sector. firstData is the start of stream sector 0, rootClass the root entry's class
// id, streamName the second directory entry's name.
inline Bytes MakeCompound(std::size_t dataSectors, const Bytes& firstData, const Bytes& rootClass,
                          const std::string& streamName, std::uint32_t seed) {
  const std::uint32_t fatSector = static_cast<std::uint32_t>(dataSectors);
  const std::uint32_t dirSector = fatSector + 1;
  Bytes b(512, 0);
  const std::uint8_t magic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::memcpy(b.data(), magic, 8);
  Put16(b, 24, 0x3E);
  Put16(b, 26, 3);
  Put16(b, 28, 0xFFFE);
  Put16(b, 30, 9);
  Put16(b, 32, 6);
  Put32(b, 44, 1);
  Put32(b, 48, dirSector);
  Put32(b, 56, 4096);
  Put32(b, 60, 0xFFFFFFFE);
  Put32(b, 64, 0);
  Put32(b, 68, 0xFFFFFFFE);
  Put32(b, 72, 0);
  for (int i = 0; i < 109; ++i) Put32(b, 76 + 4 * i, 0xFFFFFFFF);
  Put32(b, 76, fatSector);
  Bytes data = test::RandomBytes(dataSectors * 512, seed);
  std::copy(firstData.begin(), firstData.end(), data.begin());
  AppendBytes(b, data);
  Bytes fat(512, 0xFF);
  for (std::uint32_t i = 0; i + 1 < dataSectors; ++i) Put32(fat, 4 * i, i + 1);
  if (dataSectors > 0) Put32(fat, 4 * (dataSectors - 1), 0xFFFFFFFE);
  Put32(fat, 4 * fatSector, 0xFFFFFFFD);
  Put32(fat, 4 * dirSector, 0xFFFFFFFE);
  AppendBytes(b, fat);
  Bytes dir(512, 0);
  const auto putName = [&dir](std::size_t entry, const std::string& name) {
    for (std::size_t i = 0; i < name.size(); ++i) Put16(dir, entry * 128 + 2 * i, static_cast<std::uint8_t>(name[i]));
    Put16(dir, entry * 128 + 64, static_cast<std::uint16_t>((name.size() + 1) * 2));
  };
  putName(0, "Root Entry");
  dir[66] = 5;
  std::copy(rootClass.begin(), rootClass.end(), dir.begin() + 80);
  putName(1, streamName);
  dir[128 + 66] = 2;
  AppendBytes(b, dir);
  return b;
}

// A PE image header sector with the given characteristics.
inline Bytes MakePe(std::uint16_t characteristics) {
  Bytes b(1024, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 60, 0x80);
  std::memcpy(b.data() + 0x80, "PE\0\0", 4);
  Put16(b, 0x80 + 4, 0x8664);
  Put16(b, 0x80 + 22, characteristics);
  return b;
}

inline Bytes MakeIco(const std::vector<std::uint32_t>& imageBytes, std::uint32_t seed) {
  Bytes b = {0, 0, 1, 0};
  Append16(b, static_cast<std::uint16_t>(imageBytes.size()));
  std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * imageBytes.size());
  for (std::uint32_t n : imageBytes) {
    Append(b, {16, 16, 0, 0, 1, 0, 32, 0});
    Append32(b, n);
    Append32(b, offset);
    offset += n;
  }
  for (std::uint32_t n : imageBytes) AppendBytes(b, test::RandomBytes(n, seed++));
  return b;
}

inline Bytes MakeTtf(std::uint16_t tables, std::uint32_t seed) {
  Bytes b;
  Append32BE(b, 0x00010000);
  Append16BE(b, tables);
  // The binary-search fields, as font tools write them.
  std::uint16_t power = 1;
  std::uint16_t log2 = 0;
  while (power * 2 <= tables) {
    power = static_cast<std::uint16_t>(power * 2);
    ++log2;
  }
  Append16BE(b, static_cast<std::uint16_t>(16 * power));
  Append16BE(b, log2);
  Append16BE(b, static_cast<std::uint16_t>(16 * tables - 16 * power));
  std::uint32_t offset = 12 + 16u * tables;
  std::vector<std::uint32_t> lengths;
  for (std::uint16_t i = 0; i < tables; ++i) {
    const std::uint32_t length = 40 + 36 * i;
    Append(b, {'t', 'b', static_cast<std::uint8_t>('a' + i % 26), 'l'});
    Append32BE(b, 0);
    Append32BE(b, offset);
    Append32BE(b, length);
    lengths.push_back(length);
    offset += (length + 3) & ~3u;
  }
  for (std::uint16_t i = 0; i < tables; ++i) {
    Bytes table = test::RandomBytes((lengths[i] + 3) & ~3u, seed + i);
    if (i == 0) Put32BE(table, 0, 0x00010000);  // a "head"-like table first
    AppendBytes(b, table);
  }
  b.resize(b.size() - ((lengths.back() + 3) & ~3u) + lengths.back());  // no padding after the last
  return b;
}

// A beginning-of-stream Ogg page at the start of b whose first packet begins with `packet`,
// its CRC right.
inline void PutOggFirstPage(Bytes& b, const char* packet, std::size_t packetLength) {
  const std::uint8_t head[] = {'O', 'g', 'g', 'S', 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0x2A, 0, 0, 0, 0, 0, 0, 0,
                               0, 0, 0, 0, 1, static_cast<std::uint8_t>(packetLength)};
  std::copy(std::begin(head), std::end(head), b.begin());
  std::memcpy(b.data() + sizeof head, packet, std::strlen(packet));
  const std::uint32_t crc = formats::OggPageCrc({b.data(), sizeof head + packetLength});
  for (int i = 0; i < 4; ++i) b[22 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
}

// A first sector of each format, well-formed as far as its header test looks, for the formats
// whose test needs no further sectors. Empty for those that do (ts, compound, packages).
inline Bytes SyntheticHeader(FileTypeId type, std::uint32_t seed) {
  Bytes b = test::RandomBytes(512, seed);
  const auto put = [&b](std::size_t at, std::initializer_list<std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
  };
  const auto text = [&b](std::size_t at, const char* s) { std::memcpy(b.data() + at, s, std::strlen(s)); };
  // A little-endian TIFF whose IFD0 holds one entry at 10 and its text at 26.
  const auto tiffWith = [&](std::uint16_t tag, std::uint16_t fieldType, const char* value) {
    const auto n = static_cast<std::uint8_t>(std::strlen(value) + 1);
    put(0, {'I', 'I', 0x2A, 0, 8, 0, 0, 0, 1, 0, static_cast<std::uint8_t>(tag), static_cast<std::uint8_t>(tag >> 8),
            static_cast<std::uint8_t>(fieldType), 0, n, 0, 0, 0, 26, 0, 0, 0, 0, 0, 0, 0});
    std::memcpy(b.data() + 26, value, n);
  };
  switch (type) {
    case kTypeCr2: put(0, {'I', 'I', 0x2A, 0, 16, 0, 0, 0, 'C', 'R', 2, 0}); break;
    case kTypeNef: tiffWith(271, 2, "NIKON CORPORATION"); break;
    case kTypeArw: tiffWith(271, 2, "SONY"); break;
    case kTypeDng: tiffWith(271, 2, "Canon"); put(10, {0x12, 0xC6, 1, 0, 4, 0, 0, 0, 1, 4, 0, 0}); break;
    case kTypeOrf: put(0, {'I', 'I', 'R', 'O', 8, 0, 0, 0}); break;
    case kTypeRw2: put(0, {'I', 'I', 'U', 0, 24, 0, 0, 0}); break;
    case kTypePef: tiffWith(271, 2, "PENTAX Corporation"); break;
    case kTypeSrw: tiffWith(271, 2, "SAMSUNG"); break;
    case kTypeCr3: text(4, "ftypcrx "); break;
    case kTypeRaf: text(0, "FUJIFILMCCD-RAW 0201"); break;
    case kTypeCrw: put(0, {'I', 'I', 26, 0, 0, 0}); text(6, "HEAPCCDR"); put(14, {2, 0, 1, 0}); break;
    case kTypeMrw: put(0, {0, 'M', 'R', 'M', 0, 0, 0x10, 0, 0, 'P', 'R', 'D', 0, 0, 0, 24}); break;
    case kTypeX3f: text(0, "FOVb"); put(4, {2, 0, 2, 0}); break;
    case kTypeErf: tiffWith(271, 2, "SEIKO EPSON CORP."); break;
    case kType3fr: tiffWith(271, 2, "Hasselblad"); break;
    case kTypeKdc:  // IFD0: Make (its text at 50), then the KDC IFD tag
      put(0, {'I', 'I', 0x2A, 0, 8, 0, 0, 0, 2, 0, 0x0F, 0x01, 2, 0, 22, 0, 0, 0, 50, 0, 0, 0,
              0x00, 0xFE, 4, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
      std::memcpy(b.data() + 50, "EASTMAN KODAK COMPANY", 22);
      break;
    case kTypeDcr:  // IFD0: Make (its text at 50), Model (at 64)
      put(0, {'I', 'I', 0x2A, 0, 8, 0, 0, 0, 2, 0, 0x0F, 0x01, 2, 0, 6, 0, 0, 0, 50, 0, 0, 0,
              0x10, 0x01, 2, 0, 12, 0, 0, 0, 64, 0, 0, 0, 0, 0, 0, 0});
      std::memcpy(b.data() + 50, "Kodak", 6);
      std::memcpy(b.data() + 64, "DCS Pro 14N", 12);
      break;
    case kTypeMef: tiffWith(271, 2, "Mamiya"); break;
    case kTypeMos: tiffWith(271, 2, "Leaf"); break;
    case kTypeIiq: put(0, {'I', 'I', 0x2A, 0, 16, 0, 0, 0}); text(8, "IIII"); put(12, {1}); text(13, "waR"); break;
    case kTypeMpeg: put(0, {0, 0, 1, 0xBA}); put(14, {0, 0, 1, 0xBB}); break;
    case kTypeMp4: text(4, "ftypisom"); break;
    case kType3gp: text(4, "ftyp3gp4"); break;
    case kTypeMov: text(4, "ftypqt  "); break;
    case kTypeRmvb: text(0, ".RMF"); break;
    case kTypeWmv: put(0, {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C}); break;
    case kTypeSwf: text(0, "FWS"); b[3] = 4; break;
    case kTypeAvi: text(0, "RIFF"); text(8, "AVI LIST"); break;
    case kTypeWav: text(0, "RIFF"); text(8, "WAVEfmt "); break;
    case kTypeFlv: text(0, "FLV"); put(3, {1, 5, 0, 0, 0, 9}); break;
    case kTypeMkv: put(0, {0x1A, 0x45, 0xDF, 0xA3}); break;
    case kTypeMts: put(0, {0, 0, 0, 0, 0x47, 0x40, 0, 0x10, 0, 0, 0xB0, 0x11, 0, 0, 0xC1, 0}); break;
    case kTypeMxf: put(0, {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00}); break;
    case kTypeMp3: text(0, "ID3"); put(3, {3, 0, 0, 0, 0, 0x10, 0x20}); break;
    case kTypeMid: text(0, "MThd"); put(4, {0, 0, 0, 6, 0, 1, 0, 1, 0, 96}); text(14, "MTrk"); break;
    case kTypeApe: text(0, "MAC "); break;
    case kTypeMp2: put(0, {0xFF, 0xFD, 0xE4, 0x00}); break;
    case kTypeMmf: text(0, "MMMD"); break;
    case kTypeGif: text(0, "GIF89a"); break;
    case kTypeBmp: text(0, "BM"); put(6, {0, 0, 0, 0}); put(14, {40, 0, 0, 0}); break;
    case kTypeJpg: put(0, {0xFF, 0xD8, 0xFF, 0xE0}); text(6, "JFIF"); break;
    case kTypePng: put(0, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}); break;
    case kTypePsd: text(0, "8BPS"); break;
    case kTypeTif: put(0, {'I', 'I', 0x2A, 0}); break;
    case kTypeIco: { Bytes ico = MakeIco({100, 200}, seed); std::copy(ico.begin(), ico.begin() + 38, b.begin()); break; }
    case kTypeTtf: { Bytes ttf = MakeTtf(9, seed); std::copy(ttf.begin(), ttf.begin() + 512, b.begin()); break; }
    case kTypePdf: text(0, "%PDF-1.5"); break;
    case kTypeGz: put(0, {0x1F, 0x8B, 0x08, 0x08, 0, 0, 0, 0, 0x02, 0x03}); break;
    case kType7z: put(0, {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C}); break;
    case kTypeZip: put(0, {'P', 'K', 3, 4}); break;
    case kTypeRar: text(0, "Rar!"); put(4, {0x1A, 0x07, 0x00}); break;
    case kTypeCab: text(0, "MSCF"); break;
    case kTypeExe: case kTypeDll: case kTypeSys: {
      Bytes pe = MakePe(type == kTypeExe ? 0x0022 : type == kTypeDll ? 0x2022 : 0x1022);
      std::copy(pe.begin(), pe.begin() + 512, b.begin());
      break;
    }
    case kTypeGho: put(0, {0xFE, 0xEF, 0, 0}); break;
    case kTypeDb: std::memcpy(b.data(), "SQLite format 3", 16); break;
    case kTypeDbx: put(0, {0xCF, 0xAD, 0x12, 0xFE}); break;
    case kTypePst: text(0, "!BDN"); text(8, "SM"); break;
    case kTypeFla: put(0, {0xD0, 0xCF, 0x11, 0xE0, 0x0E, 0x11, 0xFC, 0x0D}); break;
    case kTypeWebp: text(0, "RIFF"); put(4, {0x00, 0x10, 0, 0}); text(8, "WEBPVP8L"); break;
    case kTypeHeic: put(0, {0, 0, 0, 0x18}); text(4, "ftypheic"); put(12, {0, 0, 0, 0}); text(16, "mif1heic"); break;
    case kTypeAvif: put(0, {0, 0, 0, 0x1C}); text(4, "ftypavif"); put(12, {0, 0, 0, 0}); text(16, "avifmif1miaf"); break;
    case kTypeJxl: put(0, {0, 0, 0, 0x0C}); text(4, "JXL "); put(8, {0x0D, 0x0A, 0x87, 0x0A, 0, 0, 0, 0x14}); text(16, "ftypjxl "); break;
    case kTypeFlac:
      text(0, "fLaC");
      put(4, {0, 0, 0, 0x22, 0x10, 0, 0x10, 0, 0, 0, 0x10, 0, 0x20, 0, 0x0A, 0xC4, 0x42, 0xF0});
      break;
    case kTypeOgg: PutOggFirstPage(b, "\x01vorbis", 30); break;
    case kTypeOpus: PutOggFirstPage(b, "OpusHead", 19); break;
    case kTypeM4a: text(4, "ftypM4A "); break;
    case kTypeAiff: text(0, "FORM"); put(4, {0, 0, 0x10, 0}); text(8, "AIFFCOMM"); put(16, {0, 0, 0, 18}); break;
    case kTypeWebm:
      put(0, {0x1A, 0x45, 0xDF, 0xA3, 0x9F, 0x42, 0x86, 0x81, 0x01, 0x42, 0xF7, 0x81, 0x01, 0x42, 0xF2, 0x81, 0x04,
              0x42, 0xF3, 0x81, 0x08, 0x42, 0x82, 0x84});
      text(24, "webm");
      break;
    case kTypeAac:  // three 100-byte ADTS frames: LC, 44.1 kHz, stereo
      for (std::size_t at : {0u, 100u, 200u}) put(at, {0xFF, 0xF1, 0x50, 0x80, 0x0C, 0x9F, 0xFC});
      break;
    case kTypeAmr: text(0, "#!AMR\n"); put(6, {0x3C}); break;
    case kTypeCaf:
      text(0, "caff"); put(4, {0, 1, 0, 0}); text(8, "desc");
      put(12, {0, 0, 0, 0, 0, 0, 0, 32, 0x40, 0xE5, 0x88, 0x80, 0, 0, 0, 0}); text(28, "lpcm");
      break;
    case kTypeWv: text(0, "wvpk"); put(4, {0, 0x10, 0, 0, 0x10, 0x04, 0, 0, 0x44, 0xAC, 0, 0, 0, 0, 0, 0}); break;
    case kTypeDsf:
      text(0, "DSD "); put(4, {28, 0, 0, 0, 0, 0, 0, 0});
      text(28, "fmt "); put(32, {52, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0});
      break;
    case kTypeM4v: text(4, "ftypM4V "); break;
    case kTypeOdt: case kTypeOds: case kTypeOdp: case kTypeOdg: case kTypeEpub: {
      const char* mimetype = type == kTypeOdt   ? "application/vnd.oasis.opendocument.text"
                             : type == kTypeOds ? "application/vnd.oasis.opendocument.spreadsheet"
                             : type == kTypeOdp ? "application/vnd.oasis.opendocument.presentation"
                             : type == kTypeOdg ? "application/vnd.oasis.opendocument.graphics"
                                                : "application/epub+zip";
      const auto n = static_cast<std::uint8_t>(std::strlen(mimetype));
      put(0, {'P', 'K', 3, 4, 10, 0, 0, 0, 0, 0});
      put(18, {n, 0, 0, 0, n, 0, 0, 0, 8, 0, 0, 0});
      text(30, "mimetype");
      text(38, mimetype);
      break;
    }
    case kTypeRtf: text(0, "{\\rtf1\\ansi\\deff0 "); break;
    case kTypePlist: text(0, "bplist00"); b[8] = 0xD2; break;
    default: return {};
  }
  return b;
}

// ------------------------------------------------------------------ real samples

inline std::string SamplesDir() { return std::string(REXMOOR_TEST_SOURCE_DIR) + "/samples/files"; }

struct SampleInfo {
  std::string name;
  std::string ext;
  FileTypeId type = kTypeNone;
  std::uint64_t size = 0;
  std::string sha256;
  std::string headerCheck;  // OK, OK-BUT-FIRST-MATCH-x, NO-MATCH, ...
  std::string firstMatch;   // ext:id
  std::string extent;       // size field, footer, walk, ...
  std::string measured;     // the length the manifest's emulation measured ("15121 (=size)", "-")
  std::uint64_t walkStop = 0;  // a stop inside the file the manifest names ("walk stops at N"), else 0
};

// The table at the top of MANIFEST.txt, plus the "walk stops at" notes of each file's section.
inline std::vector<SampleInfo> LoadManifest() {
  std::vector<SampleInfo> out;
  std::ifstream in(SamplesDir() + "/MANIFEST.txt");
  std::string line;
  std::map<std::string, std::uint64_t> stops;
  std::string section;
  while (std::getline(in, line)) {
    if (line.rfind("## ", 0) == 0) {
      section = line.substr(3);
      continue;
    }
    if (!section.empty()) {
      const std::size_t at = line.find("walk stops at ");
      if (line.rfind("extent:", 0) == 0 && at != std::string::npos)
        stops[section] = std::stoull(line.substr(at + 14));
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (cols.size() < 8) continue;
    SampleInfo s;
    s.name = cols[0];
    s.ext = cols[1];
    s.type = std::stoi(cols[2]);
    s.size = std::stoull(cols[3]);
    s.sha256 = cols[4];
    s.headerCheck = cols[5];
    s.firstMatch = cols[6];
    s.extent = cols[7];
    if (cols.size() > 8) s.measured = cols[8];
    out.push_back(s);
  }
  for (SampleInfo& s : out) {
    if (auto it = stops.find(s.name); it != stops.end()) s.walkStop = it->second;
  }
  return out;
}

inline Bytes LoadSample(const std::string& name) { return test::ReadFileBytes(SamplesDir() + "/" + name); }

// ------------------------------------------------------------------ media

// An image file used as the medium: 512-byte sectors, built by appending pieces.
class ImageBuilder {
 public:
  static constexpr std::size_t kSector = 512;

  // Appends the bytes at the next sector boundary (zero-padding the previous piece); returns the
  // sector where they begin.
  std::uint64_t Place(const Bytes& bytes) {
    PadToSector();
    const std::uint64_t sector = image_.size() / kSector;
    AppendBytes(image_, bytes);
    PadToSector();
    return sector;
  }
  // The same with random bytes, not zeros, after the file to the end of its last sector: what the
  // slack of a file in free space really holds.
  std::uint64_t PlaceWithRandomSlack(const Bytes& bytes, std::uint32_t seed) {
    const std::uint64_t sector = Place(bytes);
    const std::size_t tail = bytes.size() % kSector;
    if (tail != 0) {
      const Bytes junk = test::RandomBytes(kSector - tail, seed);
      std::copy(junk.begin(), junk.end(), image_.end() - static_cast<std::ptrdiff_t>(junk.size()));
    }
    return sector;
  }
  void Zeros(std::size_t sectors) {
    PadToSector();
    image_.resize(image_.size() + sectors * kSector, 0);
  }
  void Random(std::size_t sectors, std::uint32_t seed) {
    PadToSector();
    AppendBytes(image_, test::RandomBytes(sectors * kSector, seed));
  }
  void PadToSector() { image_.resize((image_.size() + kSector - 1) / kSector * kSector, 0); }
  std::uint64_t Sectors() const { return image_.size() / kSector; }
  Bytes& bytes() { return image_; }

 private:
  Bytes image_;
};

// The image written to a temporary folder and opened as a sector source.
class Medium {
 public:
  explicit Medium(const Bytes& image) {
    path_ = dir_ / "medium.img";
    test::WriteFileBytes(path_, image);
    EXPECT_EQ(OpenImageSource(path_, source_), kSuccess);
    image_ = image;
  }
  const SectorSource& source() const { return source_; }
  const Bytes& image() const { return image_; }
  Bytes Sector(std::uint64_t n, std::size_t size = 512) const {
    Bytes s(size, 0);
    const std::size_t at = static_cast<std::size_t>(n) * size;
    if (at < image_.size()) std::copy(image_.begin() + at, image_.begin() + std::min(image_.size(), at + size), s.begin());
    return s;
  }

 private:
  test::TempDir dir_;
  std::string path_;
  SectorSource source_;
  Bytes image_;
};

}  // namespace rexmoor::carvetest
