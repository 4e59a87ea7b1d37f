// How fast the deep scan sweeps a medium without a file system, next to a plain sequential read
// of the same file, and how much memory it takes.
//
//   deep_scan_bench SAMPLES_DIR [MIB] [WORK_DIR] [keep]     (defaults 1024 and /tmp)
//
// The medium is made on the spot: the real files of SAMPLES_DIR (every one, repeated) laid
// sector-aligned one after another with runs of random, zero and text sectors between them, MIB
// mebibytes in all. It is read once so that it sits in the page cache, then timed: `cat` to
// /dev/null and the deep scan (in a child process, whose peak resident set is taken), each the
// best of three runs, and, when it is installed, PhotoRec on the same image (one run). With "keep" the image stays in WORK_DIR for profiling.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "engine/scan_log_index.h"
#include "scan/engine_factory.h"
#include "scan/professional_recovery.h"

namespace {

using namespace rexmoor;
using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "deep_scan_bench: %s\n", what.c_str());
  std::exit(1);
}

std::vector<std::vector<std::uint8_t>> LoadSamples(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) Fail("cannot read " + dir);
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name[0] == '.' || name == "MANIFEST.txt") continue;
    names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  std::vector<std::vector<std::uint8_t>> out;
  for (const std::string& name : names) {
    std::ifstream in(dir + "/" + name, std::ios::binary);
    out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (out.empty()) Fail("no samples in " + dir);
  return out;
}

// Writes the medium piece by piece, so that building it holds only one piece in memory.
std::uint64_t BuildImage(const std::string& path, const std::vector<std::vector<std::uint8_t>>& samples,
                         std::uint64_t bytes, std::uint64_t& filesPlaced) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) Fail("cannot write " + path);
  std::mt19937_64 rng(20261208);
  std::vector<std::uint8_t> piece;
  static const char kText[] = "The quarterly figures were discussed and the minutes approved. ";
  std::uint64_t written = 0;
  std::size_t next = 0;
  filesPlaced = 0;
  auto put = [&](const std::vector<std::uint8_t>& data) {
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    written += data.size();
  };
  while (written < bytes) {
    piece = samples[next++ % samples.size()];
    piece.resize((piece.size() + 511) / 512 * 512, 0);
    put(piece);
    ++filesPlaced;
    const std::uint64_t gap = 1 + rng() % 64;
    piece.assign(gap * 512, 0);
    switch (rng() % 3) {
      case 0:
        for (auto& b : piece) b = static_cast<std::uint8_t>(rng());
        break;
      case 1:
        for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<std::uint8_t>(kText[i % (sizeof kText - 1)]);
        break;
      default: break;
    }
    put(piece);
    piece.assign(512, 0);  // nothing runs on into the next file
    put(piece);
  }
  return written;
}

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// Runs the command in a child; its time and peak resident set (KiB).
bool TimeCommand(const std::vector<std::string>& argv, double& seconds, long& maxRssKiB) {
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) < 0) return false;
  seconds = Seconds(start);
  maxRssKiB = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The deep scan in a child, so that its peak resident set is its own.
bool TimeDeepScan(const std::string& image, const std::string& dataDir, double& seconds, long& maxRssKiB,
                  std::uint64_t& found) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return false;
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::close(pipeFds[0]);
    ::setenv("REXMOOR_DATA_DIR", dataDir.c_str(), 1);
    EnginePtr engine = CreateEngineForImage(image, 'B', true);
    if (!engine || engine->Scan(nullptr) != kSuccess) ::_exit(1);
    const std::uint64_t count = engine->GetFoundCount();
    (void)!::write(pipeFds[1], &count, sizeof count);
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  int status = 0;
  rusage usage{};
  const bool ended = ::wait4(pid, &status, 0, &usage) >= 0;
  seconds = Seconds(start);
  maxRssKiB = usage.ru_maxrss;
  found = 0;
  (void)!::read(pipeFds[0], &found, sizeof found);
  ::close(pipeFds[0]);
  return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool Installed(const char* program) {
  const std::string command = std::string("command -v ") + program + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Fail("usage: deep_scan_bench SAMPLES_DIR [MIB] [WORK_DIR]");
  const std::string samplesDir = argv[1];
  const std::uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
  const std::string workDir = argc > 3 ? argv[3] : "/tmp";
  const std::string image = workDir + "/rexmoor_deep_bench.img";
  const std::string dataDir = workDir + "/rexmoor_deep_bench_data";

  std::uint64_t placed = 0;
  const std::uint64_t bytes = BuildImage(image, LoadSamples(samplesDir), mib << 20, placed);
  const double mibs = static_cast<double>(bytes) / (1 << 20);
  std::printf("medium: %.0f MiB, %llu sample files with random, zero and text gaps\n", mibs,
              static_cast<unsigned long long>(placed));

  double seconds = 0;
  long rss = 0;
  // Read once so that every run below reads from the page cache.
  (void)TimeCommand({"cat", image}, seconds, rss);
  double catSeconds = 1e9;
  for (int run = 0; run < 3; ++run) {
    if (!TimeCommand({"sh", "-c", "cat \"$0\" > /dev/null", image}, seconds, rss)) Fail("cat failed");
    catSeconds = std::min(catSeconds, seconds);
  }
  std::printf("cat to /dev/null:  %8.1f MiB/s  (%.2f s)\n", mibs / catSeconds, catSeconds);

  std::uint64_t found = 0;
  double scanSeconds = 1e9;
  long scanRss = 0;
  for (int run = 0; run < 3; ++run) {
    (void)std::system(("rm -rf '" + dataDir + "'").c_str());
    if (!TimeDeepScan(image, dataDir, seconds, rss, found)) Fail("the deep scan failed");
    scanSeconds = std::min(scanSeconds, seconds);
    scanRss = std::max(scanRss, rss);
  }
  seconds = scanSeconds;
  rss = scanRss;
  std::printf("deep scan:         %8.1f MiB/s  (%.2f s, %llu files found, peak RSS %.1f MiB)\n", mibs / seconds, seconds,
              static_cast<unsigned long long>(found), rss / 1024.0);
  std::printf("deep scan / cat:   %8.2f\n", catSeconds / seconds);

  if (Installed("photorec")) {
    const std::string out = workDir + "/rexmoor_deep_bench_photorec";
    (void)std::system(("rm -rf '" + out + "'*").c_str());
    double prSeconds = 0;
    long prRss = 0;
    const bool ok =
        TimeCommand({"photorec", "/d", out, "/cmd", image, "partition_none,fileopt,everything,enable,search"}, prSeconds,
                    prRss);
    std::string countText;
    if (FILE* p = ::popen(("find '" + out + "'* -type f 2>/dev/null | wc -l").c_str(), "r")) {
      char line[64] = {};
      if (std::fgets(line, sizeof line, p) != nullptr) countText = line;
      ::pclose(p);
    }
    if (!countText.empty() && countText.back() == '\n') countText.pop_back();
    std::printf("photorec:          %8.1f MiB/s  (%.2f s, %s files, peak RSS %.1f MiB)%s\n", mibs / prSeconds, prSeconds,
                countText.c_str(), prRss / 1024.0, ok ? "" : " [exit status not 0]");
    std::printf("photorec / cat:    %8.2f\n", catSeconds / prSeconds);
    (void)std::system(("rm -rf '" + out + "'*").c_str());
  } else {
    std::printf("photorec:          not installed (apt-get install testdisk)\n");
  }
  (void)std::system(("rm -rf '" + dataDir + "'").c_str());
  if (!(argc > 4 && std::string(argv[4]) == "keep")) ::unlink(image.c_str());
  return 0;
}
