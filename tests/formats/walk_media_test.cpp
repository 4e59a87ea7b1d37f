// The audio and video structure walks over real files made by real tools: each file is measured to
// the byte whatever follows it on the medium, a damaged file is never given more bytes than it
// has, and random bytes behind a format's magic are almost never taken for a file.
#include <gtest/gtest.h>

#include <random>

#include "carve_test_support.h"
#include "formats/walk_media.h"

namespace rexmoor::formats {
namespace {

using carvetest::Bytes;
using Walk = WalkResult (*)(FileBytes&, std::uint64_t);

WalkResult Ts188(FileBytes& file, std::uint64_t limit) { return MeasureTransportStream(file, limit, 188); }
WalkResult Ts192(FileBytes& file, std::uint64_t limit) { return MeasureTransportStream(file, limit, 192); }

constexpr std::uint64_t kNoLimit = std::uint64_t{1} << 40;

WalkResult Measure(Walk walk, const Bytes& bytes, std::uint64_t limit = kNoLimit) {
  MemoryFileBytes file(bytes);
  return walk(file, limit);
}

Bytes Joined(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

struct Sample {
  const char* file;
  Walk walk;
  std::size_t magic;  // how many of its first bytes make the format's magic, for the random-data test
  // Whether the file's own structure says where it ends (a size, an end code, a closing tag or
  // index). Where only the bytes after it can tell, a file that runs to the medium's end, or to a
  // sector that cannot be read, is not measured.
  bool endsItself;
  // Tagless MPEG audio has no start or end of its own: a copy right behind it continues the stream.
  bool copyContinues = false;
};

const Sample kSamples[] = {
    {"sample.mp3", MeasureMpegAudio, 3, true},         // ID3v2.3, CBR layer III, ID3v1 last
    {"sample_vbr.mp3", MeasureMpegAudio, 3, false},    // ID3v2.4, VBR MPEG-2 layer III with its info frame
    {"sample.mp2", MeasureMpegAudio, 4, false, true},  // MPEG-1 layer II, no tags
    {"ffmpeg_native.mp2", MeasureMpegAudio, 4, false, true},
    {"sample.mp4", MeasureIsoMedia, 8, false},
    {"sample_mp42.mp4", MeasureIsoMedia, 8, false},
    {"sample_frag.mp4", MeasureIsoMedia, 8, false},    // fragmented: moov, then moof/mdat pairs, mfra
    {"sample.mov", MeasureIsoMedia, 8, false},
    {"sample.3gp", MeasureIsoMedia, 8, false},
    {"sample.mkv", MeasureMatroska, 4, true},
    {"sample_live.mkv", MeasureMatroska, 4, false},    // written to a pipe: Segment of unknown size
    {"sample.webm", MeasureMatroska, 4, true},
    {"sample.flv", MeasureFlv, 3, false},
    {"sample.mpg", MeasureMpegPs, 4, true},            // MPEG-1 program stream with its end code
    {"ffmpeg_ps.mpg", MeasureMpegPs, 4, false},        // no end code
    {"sample.vob", MeasureMpegPs, 4, false},           // MPEG-2 packs, no end code
    {"sample_es.mpeg", MeasureMpegPs, 4, true},        // video elementary stream, sequence end code
    {"sample.ts", Ts188, 1, false},
    {"sample.mts", Ts192, 5, false},
    {"sample.wmv", MeasureAsf, 16, true},
    {"sample.wma", MeasureAsf, 16, true},
    {"sample.rm", MeasureRealMedia, 4, false},
    {"sample.mxf", MeasureMxf, 14, true},              // random index pack last
    {"sample.mid", MeasureMidi, 8, true},
    {"sample.mmf", MeasureMmf, 4, true},
    {"sample.heic", MeasureHeif, 8, false},
    {"sample.avif", MeasureHeif, 8, false},
    {"alpha.avif", MeasureHeif, 8, false},           // a second item (the alpha plane) in the meta box
    {"container.jxl", MeasureJxlContainer, 12, false},
    {"lossless.jxl", MeasureJxlContainer, 12, false},  // a level box before the codestream
    {"recompressed.jxl", MeasureJxlContainer, 12, false},  // JPEG reconstruction box, codestream in parts
    {"sample.flac", MeasureFlac, 4, true},             // STREAMINFO's sample count closes the last frame
    {"padded.flac", MeasureFlac, 4, true},             // stereo, fixed 1152-sample blocks, tags and padding
    {"streamed.flac", MeasureFlac, 4, true},           // no sample count: the last frame ends at its CRC
    {"sample.ogg", MeasureOgg, 4, true},               // Vorbis: end-of-stream page
    {"flac_in_ogg.oga", MeasureOgg, 4, true},
    {"sample.ogv", MeasureOgg, 4, true},               // Theora and Vorbis streams interleaved
    {"sample.opus", MeasureOgg, 4, true},
    {"sample.m4a", MeasureIsoMedia, 8, false},
    {"sample.m4b", MeasureIsoMedia, 8, false},
    {"sample.aiff", MeasureAiff, 4, true},
    {"sample.aifc", MeasureAiff, 4, true},
    {"sample_opus.webm", MeasureMatroska, 4, true},
    {"sample.aac", MeasureAdts, 7, false, true},      // ADTS has no start or end of its own
    {"stereo.aac", MeasureAdts, 7, false, true},      // frames longer than a sector
    {"sample.amr", MeasureAmr, 6, false},
    {"dtx.amr", MeasureAmr, 6, false},                // ends in comfort noise and one no-data frame
    {"sample.awb", MeasureAmr, 9, false},             // SID and no-data frames among the speech
    {"sample.caf", MeasureCaf, 20, false},
    {"alac.caf", MeasureCaf, 20, false},              // packet table after the audio
    {"sample.wv", MeasureWavPack, 4, true},           // four blocks to the declared sample count
    {"tagged.wv", MeasureWavPack, 4, true},           // hybrid, APE tag last
    {"ffmpeg.wv", MeasureWavPack, 4, true},
    {"sample.dsf", MeasureDsf, 4, true},              // ID3v2 tag at the metadata pointer
};

TEST(MediaWalks, RealFilesMeasureToTheByteAndDamageNeverLengthens) {
  std::mt19937_64 rng(20261209);
  Bytes noise(1 << 20);
  for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
  const Bytes zeros(1 << 20, 0);
  for (const Sample& s : kSamples) {
    SCOPED_TRACE(s.file);
    const Bytes file = carvetest::LoadSample(s.file);
    ASSERT_GT(file.size(), 600u);
    const std::uint64_t n = file.size();
    const auto expectLength = [&](const Bytes& medium, std::uint64_t want, const char* what) {
      const WalkResult r = Measure(s.walk, medium);
      EXPECT_EQ(r.verdict, WalkVerdict::kMeasured) << what;
      EXPECT_EQ(r.length, want) << what;
    };
    const WalkResult alone = Measure(s.walk, file);
    if (s.endsItself) {
      EXPECT_EQ(alone.verdict, WalkVerdict::kMeasured) << "alone, up to the medium's end";
      EXPECT_EQ(alone.length, n);
    } else {
      EXPECT_EQ(alone.verdict, WalkVerdict::kUnsure) << "alone, up to the medium's end";
    }
    expectLength(Joined(file, noise), n, "random bytes after");
    expectLength(Joined(file, zeros), n, "zeros after");
    if (s.copyContinues)
      expectLength(Joined(Joined(file, file), noise), 2 * n, "a copy of itself after, then random bytes");
    else
      expectLength(Joined(file, file), n, "a copy of itself after");

    // A limit short of the file's end is never overstepped.
    const WalkResult limited = Measure(s.walk, Joined(file, noise), n - 1);
    EXPECT_TRUE(limited.verdict != WalkVerdict::kMeasured || limited.length <= n - 1);

    // Damaged copies: cut short, the header sector alone, the header sector then random bytes,
    // and bytes overwritten inside. None may be measured past the bytes it has.
    std::vector<Bytes> damaged;
    for (std::uint64_t cut : {n - 1, n * 3 / 4, n / 2, std::uint64_t{512}, std::uint64_t{40}})
      damaged.emplace_back(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut));
    damaged.push_back(Joined(Bytes(file.begin(), file.begin() + 512), Bytes(noise.begin(), noise.begin() + 65536)));
    for (int round = 0; round < 8; ++round) {
      Bytes hit = file;
      for (int k = 0; k < 4; ++k) hit[rng() % (n - 16) + 16] = static_cast<std::uint8_t>(rng());
      damaged.push_back(hit);
    }
    for (const Bytes& d : damaged) {
      const WalkResult r = Measure(s.walk, d);
      if (r.verdict == WalkVerdict::kMeasured) {
        EXPECT_LE(r.length, d.size());
      }
    }
  }
}

// Header tests pass on random data by chance; the walk must then decline, not measure.
TEST(MediaWalks, RandomBytesBehindAMagicAreAlmostNeverMeasured) {
  struct Magic {
    Walk walk;
    Bytes bytes;
  };
  std::vector<Magic> magics;
  for (const Sample& s : kSamples) {
    const Bytes file = carvetest::LoadSample(s.file);
    ASSERT_GE(file.size(), s.magic) << s.file;
    magics.push_back({s.walk, Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(s.magic))});
  }
  magics.push_back({MeasureApe, {'M', 'A', 'C', ' ', 0x96, 0x0F}});  // no tool writes APE: magic only
  magics.push_back({MeasureApe, {'M', 'A', 'C', ' ', 0x8E, 0x0F}});  // an older version

  constexpr std::size_t kBlock = 64 * 1024;
  Bytes random(64 << 20);
  std::mt19937_64 rng(7);
  for (std::size_t i = 0; i < random.size(); i += 8) {
    const std::uint64_t v = rng();
    std::memcpy(&random[i], &v, 8);
  }
  const std::size_t trials = random.size() / kBlock;
  for (const Magic& m : magics) {
    std::size_t measured = 0;
    for (std::size_t t = 0; t < trials; ++t) {
      std::uint8_t* block = random.data() + t * kBlock;
      Bytes saved(block, block + m.bytes.size());
      std::memcpy(block, m.bytes.data(), m.bytes.size());
      MemoryFileBytes file(std::span<const std::uint8_t>(block, kBlock));
      const WalkResult r = m.walk(file, kNoLimit);
      if (r.verdict == WalkVerdict::kMeasured) {
        ++measured;
        EXPECT_LE(r.length, kBlock);
      }
      std::memcpy(block, saved.data(), saved.size());
    }
    EXPECT_LE(measured, trials / 100) << "magic of " << m.bytes.size() << " bytes starting "
                                      << static_cast<int>(m.bytes[0]) << "," << static_cast<int>(m.bytes[1]);
  }
}

}  // namespace
}  // namespace rexmoor::formats
