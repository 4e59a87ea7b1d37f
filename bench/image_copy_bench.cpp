// How fast the image copy moves a medium into an image file, next to `dd bs=1M` of the same file
// in the same run.
//
//   image_copy_bench [MIB] [WORK_DIR]     (defaults 384 and /tmp)
//
// The source is made on the spot (pseudo-random, so that nothing along the way can shortcut
// zeros) and read once so that it sits in the page cache. Then, each the best of three runs with
// the output removed before every run: dd to a new file, and the copy job to a new file. Neither
// flushes the output to the disk. The goal: the copy takes at most 1.25 times dd's time.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "device/image_copy.h"

namespace {

using namespace rexmoor;
using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "image_copy_bench: %s\n", what.c_str());
  std::exit(1);
}

void MakeSource(const std::string& path, std::uint64_t mib) {
  FileHandle file;
  if (FileHandle::OpenReadWrite(path, file, true) != kSuccess) Fail("cannot create " + path);
  std::mt19937_64 random(42);
  std::vector<std::uint64_t> block((1u << 20) / 8);
  for (std::uint64_t i = 0; i < mib; ++i) {
    for (auto& word : block) word = random();
    if (WriteAll(file, block.data(), 1u << 20, i << 20) != kSuccess) Fail("cannot write " + path);
  }
}

void WarmUp(const std::string& path) {
  FileHandle file;
  if (FileHandle::OpenReadOnly(path, file) != kSuccess) Fail("cannot open " + path);
  std::vector<std::uint8_t> buffer(1u << 20);
  for (std::uint64_t at = 0; file.Pread(buffer.data(), buffer.size(), at) > 0; at += buffer.size()) {
  }
}

double TimeDd(const std::string& source, const std::string& out) {
  ::unlink(out.c_str());
  const std::string command = "dd if='" + source + "' of='" + out + "' bs=1M status=none";
  const auto start = Clock::now();
  if (std::system(command.c_str()) != 0) Fail("dd failed");
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double TimeCopy(const std::string& source, const std::string& out) {
  ::unlink(out.c_str());
  const auto start = Clock::now();
  ImageCopyJob job;
  if (OpenImageCopy(job, out, source, 0, 0, nullptr, nullptr) != kSuccess) Fail(job.error);
  if (RunImageCopy(job) != kSuccess) Fail(job.error);
  CloseImageCopy(job);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 384;
  const std::string dir = argc > 2 ? argv[2] : "/tmp";
  if (mib == 0) Fail("MIB must be at least 1");
  const std::string source = dir + "/image_copy_bench.src";
  const std::string out = dir + "/image_copy_bench.out";
  MakeSource(source, mib);
  WarmUp(source);
  double dd = 1e30;
  double copy = 1e30;
  for (int run = 0; run < 3; ++run) {
    dd = std::min(dd, TimeDd(source, out));
    copy = std::min(copy, TimeCopy(source, out));
  }
  ::unlink(out.c_str());
  ::unlink(source.c_str());
  const double mb = static_cast<double>(mib);
  std::printf("source            %llu MiB (in the page cache)\n", static_cast<unsigned long long>(mib));
  std::printf("dd bs=1M          %7.3f s  %8.1f MiB/s\n", dd, mb / dd);
  std::printf("image copy        %7.3f s  %8.1f MiB/s\n", copy, mb / copy);
  std::printf("copy time / dd    %7.2f  (goal: at most 1.25)\n", copy / dd);
  return 0;
}
