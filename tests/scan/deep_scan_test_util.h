// Helpers for tests of the deep scan: a raw medium of real sample files laid back to back, a deep
// scan of an image with its progress reports kept, and recovery of found files into a folder.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "app/type_patterns.h"
#include "engine/folder_recovery.h"
#include "formats/carve_test_support.h"
#include "scan/engine_factory.h"
#include "scan/professional_recovery.h"
#include "test_support.h"

namespace rexmoor::deeptest {

using carvetest::Bytes;

// One sample file placed in a raw image.
struct PlacedFile {
  std::string name;
  Bytes bytes;
  std::uint64_t sector = 0;
  bool exact = false;      // its rule measures the file itself (a size field or a footer)
  bool sizeField = false;  // from a length in its header
};

// Every carvable sample (and, with copies > 1, repeated copies), sector-aligned, with gaps of
// random, zero and text sectors between them and random or zero slack after each.
inline std::vector<PlacedFile> BuildRawImage(carvetest::ImageBuilder& builder, std::uint32_t seed, int copies = 1) {
  std::vector<PlacedFile> files;
  for (int copy = 0; copy < copies; ++copy) {
    for (const auto& sample : carvetest::LoadManifest()) {
      if (sample.headerCheck == "NO-MATCH" || sample.extent == "not carved") continue;
      PlacedFile f;
      f.name = sample.name;
      f.bytes = carvetest::LoadSample(sample.name);
      f.exact = sample.measured.find("=size") != std::string::npos;
      f.sizeField = f.exact && sample.extent == "size field";
      files.push_back(std::move(f));
    }
  }
  std::mt19937 rng(seed);
  std::shuffle(files.begin(), files.end(), rng);
  static const char kText[] = "Minutes of the meeting, item 4: the budget was agreed. ";
  builder.Zeros(8);
  for (PlacedFile& f : files) {
    f.sector = builder.Place(f.bytes);
    // Slack: the rest of the last sector holds old random bytes for every other file.
    if (rng() % 2 == 0 && f.bytes.size() % 512 != 0) {
      Bytes& image = builder.bytes();
      const Bytes noise = test::RandomBytes(512 - f.bytes.size() % 512, static_cast<std::uint32_t>(rng()));
      std::copy(noise.begin(), noise.end(), image.end() - static_cast<std::ptrdiff_t>(noise.size()));
    }
    switch (rng() % 3) {
      case 0: builder.Random(1 + rng() % 6, static_cast<std::uint32_t>(rng())); break;
      case 1: {
        Bytes text;
        for (int k = 0; k < 40; ++k) carvetest::Append(text, kText);
        builder.Place(text);
        break;
      }
      default: break;
    }
    // Nothing before a file continues a packet grid or a walk into it.
    builder.Zeros(1 + rng() % 3);
  }
  builder.Zeros(8);
  return files;
}

// The scan callback's reports, and an optional cancel once the sweep is past a share of its work.
struct ProgressLog {
  struct Report {
    std::int32_t progress;
    std::int32_t weight;
    std::uint64_t sectorsDone;
    std::uint64_t sectorsTotal;
    std::uint64_t filesFound;
  };
  std::vector<Report> reports;
  double cancelAt = 2.0;  // share of sectorsTotal; above 1: never

  static std::int32_t Callback(void* userData, std::int32_t progress, std::int32_t weight, std::int32_t,
                               std::uint64_t sectorsDone, std::uint64_t sectorsTotal, std::uint64_t filesFound,
                               std::int32_t) {
    auto* log = static_cast<ProgressLog*>(userData);
    log->reports.push_back({progress, weight, sectorsDone, sectorsTotal, filesFound});
    if (weight == kSweepWeight && sectorsTotal != 0 &&
        static_cast<double>(sectorsDone) >= log->cancelAt * static_cast<double>(sectorsTotal))
      return kCancelled;
    return 0;
  }
};

// A deep-scan engine for an image, scanned. Null when the factory gave none.
inline std::unique_ptr<CProfessionalRecovery> DeepScanImage(const std::string& image, ProgressLog* log = nullptr,
                                                            Result* result = nullptr) {
  EnginePtr engine = CreateEngineForImage(image, 'D', true);
  auto* deep = dynamic_cast<CProfessionalRecovery*>(engine.get());
  if (deep == nullptr) return nullptr;
  engine.release();
  std::unique_ptr<CProfessionalRecovery> owned(deep);
  owned->SetCallbacks(log != nullptr ? &ProgressLog::Callback : nullptr, nullptr, log, 100);
  const Result r = owned->Scan(nullptr);
  if (result != nullptr) *result = r;
  return owned;
}

// The files of every type, as the search for all types asks for them.
inline RecordList FilterAll(IFileRecoveryParse& engine) {
  RecordList out;
  engine.FilterByType(ConvertSearchPattern(BuildSearchPattern({}, {})), out);
  return out;
}

// Writes a file record into a fresh folder and returns its bytes (empty when nothing was written).
inline Bytes RecoverBytes(IFileRecoveryParse& engine, const FoundFileRecord& record) {
  test::TempDir out;
  const std::string path = out / "recovered";
  if (engine.RecoverItem(&record, path, SeparatorLevel(path) - 1) != kSuccess) return {};
  return test::ReadFileBytes(path);
}

}  // namespace rexmoor::deeptest
