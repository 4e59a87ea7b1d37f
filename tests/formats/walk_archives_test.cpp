// The archive, document and database walks over real files: each must end a file at its last
// byte whatever follows it on the medium, and must not take random bytes behind a header for a file.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "formats/walk_archives.h"
#include "formats/walk_documents.h"
#include "test_support.h"

namespace rexmoor::formats {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Walk = WalkResult (*)(FileBytes&, std::uint64_t);

std::string SamplePath(const std::string& name) {
  return std::string(REXMOOR_TEST_SOURCE_DIR) + "/samples/files/" + name;
}

WalkResult WalkOver(Walk walk, const Bytes& bytes, std::uint64_t limit) {
  MemoryFileBytes file(bytes);
  return walk(file, limit);
}

void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

// No RAR writer is free software, so the RAR files are put together here, block by block as the
// format lays them out: two stored members whose data holds the archive's own signatures.
void PutU16(Bytes& b, std::uint32_t v) { b.push_back(v & 0xFF), b.push_back(v >> 8 & 0xFF); }
void PutU32(Bytes& b, std::uint32_t v) { PutU16(b, v & 0xFFFF), PutU16(b, v >> 16); }
void PutVint(Bytes& b, std::uint64_t v) {
  for (; v >= 0x80; v >>= 7) b.push_back(static_cast<std::uint8_t>(v | 0x80));
  b.push_back(static_cast<std::uint8_t>(v));
}
std::uint32_t Crc(const std::uint8_t* p, std::size_t n) {
  return static_cast<std::uint32_t>(crc32(0, p, static_cast<uInt>(n)));
}

Bytes StoredMembers(int i) {
  Bytes data = test::RandomBytes(3000 + 1000 * i, 40 + i);
  static const char kPlanted[] = "Rar!\x1A\x07\x00 and Rar!\x1A\x07\x01\x00 inside";
  std::memcpy(data.data() + 100, kPlanted, sizeof kPlanted);
  return data;
}

Bytes Rar4(bool withEndBlock) {
  Bytes out = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
  const auto block = [&](std::uint8_t type, std::uint16_t flags, const Bytes& fields, const Bytes& data) {
    Bytes h = {type};
    PutU16(h, flags);
    PutU16(h, static_cast<std::uint32_t>(7 + fields.size()));
    Append(h, fields);
    PutU16(out, Crc(h.data(), h.size()) & 0xFFFF);
    Append(out, h);
    Append(out, data);
  };
  block(0x73, 0, Bytes(6, 0), {});
  for (int i = 0; i < 2; ++i) {
    const Bytes data = StoredMembers(i);
    const std::string name = "member" + std::to_string(i) + ".bin";
    Bytes f;
    PutU32(f, static_cast<std::uint32_t>(data.size()));  // packed
    PutU32(f, static_cast<std::uint32_t>(data.size()));  // unpacked
    f.push_back(3);                                      // Unix
    PutU32(f, Crc(data.data(), data.size()));
    PutU32(f, 0x52210000);  // DOS time
    f.push_back(29);        // version to unpack
    f.push_back(0x30);      // stored
    PutU16(f, static_cast<std::uint32_t>(name.size()));
    PutU32(f, 0x81A4);
    f.insert(f.end(), name.begin(), name.end());
    block(0x74, 0x8000, f, data);
  }
  if (withEndBlock) block(0x7B, 0x4000, {}, {});
  return out;
}

Bytes Rar5() {
  Bytes out = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};
  const auto block = [&](const Bytes& fields, const Bytes& data) {
    Bytes sized;
    PutVint(sized, fields.size());
    Append(sized, fields);
    PutU32(out, Crc(sized.data(), sized.size()));
    Append(out, sized);
    Append(out, data);
  };
  block({1, 0, 0}, {});  // main header: no flags
  for (int i = 0; i < 2; ++i) {
    const Bytes data = StoredMembers(i);
    const std::string name = "member" + std::to_string(i) + ".bin";
    Bytes f = {2, 2};  // file header with a data area
    PutVint(f, data.size());
    PutVint(f, 0x04);  // file flags: CRC32 present
    PutVint(f, data.size());
    PutVint(f, 0x1A4);  // attributes
    PutU32(f, Crc(data.data(), data.size()));
    PutVint(f, 0);  // stored, version 0
    PutVint(f, 1);  // Unix
    PutVint(f, name.size());
    f.insert(f.end(), name.begin(), name.end());
    block(f, data);
  }
  block({5, 0, 0}, {});  // end of archive
  return out;
}

// The same movie as a compressed SWF: "CWS", and everything after the 8-byte header deflated.
Bytes CompressedSwf(const Bytes& fws) {
  uLongf size = compressBound(static_cast<uLong>(fws.size()));
  Bytes out(8 + size);
  std::memcpy(out.data(), fws.data(), 8);
  out[0] = 'C';
  EXPECT_EQ(compress2(out.data() + 8, &size, fws.data() + 8, static_cast<uLong>(fws.size() - 8), 9), Z_OK);
  out.resize(8 + size);
  return out;
}

struct Case {
  std::string name;
  Walk walk;
  Bytes bytes;
};

std::vector<Case> Cases() {
  const std::vector<std::pair<const char*, Walk>> samples = {
      {"sample.7z", Measure7z},
      {"solid_off.7z", Measure7z},
      {"sample.zip", MeasureZip},
      {"sample.docx", MeasureZip},
      {"sample.xlsx", MeasureZip},
      {"sample.pptx", MeasureZip},
      {"zip_streamed.zip", MeasureZip},
      {"zip64.zip", MeasureZip},
      {"zip_stored.zip", MeasureZip},
      {"sample.gz", MeasureGzip},
      {"sample_noname.gz", MeasureGzip},
      {"sample_default.gz", MeasureGzip},
      {"two_members.gz", MeasureGzip},
      {"sample.pdf", MeasurePdf},
      {"ps2pdf.pdf", MeasurePdf},
      {"linearised.pdf", MeasurePdf},
      {"updated.pdf", MeasurePdf},
      {"object_streams.pdf", MeasurePdf},
      {"sample.db", MeasureSqlite},
      {"wal.db", MeasureSqlite},
      {"page64k.db", MeasureSqlite},
      {"sample.xls", MeasureCompoundDocument},
      {"installer.msi", MeasureCompoundDocument},
      {"sample.cab", MeasureCab},
      {"stored.cab", MeasureCab},
      {"sample.swf", MeasureSwf},
      {"sample_v6.swf", MeasureSwf},
      {"pandoc.rtf", MeasureRtf},
      {"binary.rtf", MeasureRtf},
      {"large.plist", MeasureBinaryPlist},
  };
  std::vector<Case> cases;
  for (const auto& [name, walk] : samples) cases.push_back({name, walk, test::ReadFileBytes(SamplePath(name))});
  cases.push_back({"rar4", MeasureRar, Rar4(true)});
  cases.push_back({"rar5", MeasureRar, Rar5()});
  for (const char* name : {"sample.swf", "sample_v6.swf"}) {
    const Bytes fws = test::ReadFileBytes(SamplePath(name));
    cases.push_back({std::string(name) + " compressed", MeasureSwf, CompressedSwf(fws)});
  }
  return cases;
}

void ExpectMeasured(const WalkResult& r, std::uint64_t length, const std::string& what) {
  EXPECT_EQ(r.verdict, WalkVerdict::kMeasured) << what;
  if (r.verdict == WalkVerdict::kMeasured) {
    EXPECT_EQ(r.length, length) << what;
  }
}

TEST(ArchiveWalks, RealFilesEndAtTheirLastByteWhateverFollows) {
  const Bytes random = test::RandomBytes(1 << 20, 7);
  const Bytes zeros(1 << 20, 0);
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    ASSERT_GT(c.bytes.size(), 512u);
    const std::uint64_t size = c.bytes.size();
    for (const Bytes* after : {&random, &zeros}) {
      Bytes medium = c.bytes;
      Append(medium, *after);
      ExpectMeasured(WalkOver(c.walk, medium, medium.size()), size,
                     after == &random ? "random after" : "zeros after");
    }
    Bytes twice = c.bytes;
    Append(twice, c.bytes);
    // gzip members may follow one another: a second copy is a second member of the same file.
    const bool copyJoins = c.walk == MeasureGzip;
    ExpectMeasured(WalkOver(c.walk, twice, twice.size()), copyJoins ? 2 * size : size, "a copy after");
    // The file alone, its end the medium's end and the limit.
    ExpectMeasured(WalkOver(c.walk, c.bytes, size), size, "alone");
    const WalkResult cut = WalkOver(c.walk, twice, size - 1);
    EXPECT_TRUE(cut.verdict != WalkVerdict::kMeasured || cut.length < size) << "limit one byte short";
  }
}

TEST(ArchiveWalks, DamagedFilesNeverMeasureBeyondTheBytesThere) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::size_t size = c.bytes.size();
    Bytes headerThenRandom(c.bytes.begin(), c.bytes.begin() + 512);
    Append(headerThenRandom, test::RandomBytes(size - 512, 11));
    Bytes holed = c.bytes;  // a sector in the middle overwritten
    std::memset(holed.data() + size / 2 / 512 * 512, 0xA5, 512);
    const std::vector<std::pair<const char*, Bytes>> variants = {
        {"half", Bytes(c.bytes.begin(), c.bytes.begin() + size / 2)},
        {"header sector only", Bytes(c.bytes.begin(), c.bytes.begin() + 512)},
        {"last byte missing", Bytes(c.bytes.begin(), c.bytes.end() - 1)},
        {"header sector then random", headerThenRandom},
        {"sector overwritten", holed},
    };
    for (const auto& [what, bytes] : variants) {
      // The limit lies well past the bytes: a walk that trusted a size field or ran on
      // through an unreadable stretch would measure past them.
      const WalkResult r = WalkOver(c.walk, bytes, bytes.size() + (1 << 20));
      EXPECT_TRUE(r.verdict != WalkVerdict::kMeasured || r.length <= bytes.size())
          << what << ": measured " << r.length << " of " << bytes.size();
    }
  }
}

TEST(ArchiveWalks, RarWithoutEndBlockEndsAfterItsLastBlock) {
  const Bytes rar = Rar4(false);
  for (const Bytes& after : {test::RandomBytes(4096, 3), Bytes(4096, 0), rar}) {
    Bytes medium = rar;
    Append(medium, after);
    ExpectMeasured(WalkOver(MeasureRar, medium, medium.size()), rar.size(), "unterminated RAR 4");
  }
}

TEST(ArchiveWalks, RandomBytesBehindAHeaderAreNotMeasured) {
  struct Magic {
    const char* name;
    Walk walk;
    Bytes head;
  };
  const std::vector<Magic> magics = {
      {"7z", Measure7z, {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4}},
      {"zip", MeasureZip, {'P', 'K', 3, 4}},
      {"rar4", MeasureRar, {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00}},
      {"rar5", MeasureRar, {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00}},
      {"gzip", MeasureGzip, {0x1F, 0x8B, 0x08, 0x00}},
      {"pdf", MeasurePdf, {'%', 'P', 'D', 'F', '-', '1', '.', '4', '\n'}},
      {"sqlite", MeasureSqlite, {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', 0}},
      {"ole", MeasureCompoundDocument, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}},
      {"cab", MeasureCab, {'M', 'S', 'C', 'F', 0, 0, 0, 0}},
      {"fws", MeasureSwf, {'F', 'W', 'S', 8}},
      {"cws", MeasureSwf, {'C', 'W', 'S', 8}},
      {"rtf", MeasureRtf, {'{', '\\', 'r', 't', 'f', '1'}},
      {"bplist", MeasureBinaryPlist, {'b', 'p', 'l', 'i', 's', 't', '0', '0'}},
  };
  // 64 MiB of random bytes in 64 KiB blocks, each tried behind every header.
  constexpr std::size_t kBlock = 1 << 16;
  constexpr int kBlocks = 1024;
  std::mt19937_64 rng(20261209);
  Bytes block(kBlock);
  std::vector<int> measured(magics.size(), 0);
  for (int i = 0; i < kBlocks; ++i) {
    for (std::size_t k = 0; k < kBlock; k += 8) {
      const std::uint64_t v = rng();
      std::memcpy(block.data() + k, &v, 8);
    }
    for (std::size_t m = 0; m < magics.size(); ++m) {
      Bytes b = block;
      std::memcpy(b.data(), magics[m].head.data(), magics[m].head.size());
      if (WalkOver(magics[m].walk, b, b.size()).verdict == WalkVerdict::kMeasured) ++measured[m];
    }
  }
  for (std::size_t m = 0; m < magics.size(); ++m) EXPECT_LE(measured[m], kBlocks / 1000) << magics[m].name;
}

}  // namespace
}  // namespace rexmoor::formats
