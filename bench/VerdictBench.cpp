// Speed of the format checks alone: every file of the folders named on the
// command line is held in memory and checked (FindFileExtent over clusters
// of 4 KiB) as often as it takes to pass 8 MiB, and the megabytes per
// second of each type (its fastest round) are printed, with the type's share of the total time.
//
// Usage: bench_verdicts DIR...   (e.g. a folder made by tests/fixtures/make_media.sh)
// With VERDICT_LIST=1 each file's verdict and first bad offset are printed
// too, one line a file, to compare two builds' verdicts.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "analysis/FileSize.h"
#include "analysis/FileType.h"

int main(int argc, char** argv) {
  using namespace vantrel;
  constexpr std::uint32_t kCluster = 4096;
  struct Total {
    double seconds = 0;
    std::uint64_t bytes = 0;
    int files = 0, verified = 0;
  };
  std::map<std::string, Total> totals;
  const bool list = std::getenv("VERDICT_LIST") != nullptr;
  for (int a = 1; a < argc; ++a) {
    for (const auto& entry : std::filesystem::directory_iterator(argv[a])) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (bytes.empty()) continue;
      int kind = 1;
      std::string type;
      if (!DetectFileType(bytes.data(), std::min<std::size_t>(bytes.size(), kCluster), kind, type) || kind != 1) continue;
      const int rounds = static_cast<int>(std::max<std::size_t>(1, (64u << 20) / bytes.size() / 8));
      TVerdict verdict = vdNone;
      std::uint64_t bad = 0;
      // The fastest round: the machine may be busy with other work.
      double best = 1e9;
      for (int r = 0; r < rounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        TMemoryClusterSource source(bytes.data(), bytes.size(), kCluster);
        const TFileExtent extent = FindFileExtent(type, source);
        verdict = extent.Verdict;
        bad = extent.BadOffset;
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
      }
      if (list) std::printf("%s %d %llu\n", entry.path().filename().c_str(), static_cast<int>(verdict),
                            static_cast<unsigned long long>(bad));
      Total& t = totals[type];
      t.seconds += best;
      t.bytes += bytes.size();
      ++t.files;
      t.verified += verdict == vdVerified;
    }
  }
  double all = 0;
  std::uint64_t allBytes = 0;
  for (const auto& [type, t] : totals) {
    all += t.seconds;
    allBytes += t.bytes;
  }
  for (const auto& [type, t] : totals)
    std::printf("%-7s %4d files %8.1f MB/s  %5.1f %% of the time  (%d verified)\n", type.c_str(), t.files,
                t.bytes / 1048576.0 / t.seconds, 100 * t.seconds / all, t.verified);
  std::printf("%-7s %4s       %8.1f MB/s\n", "all", "", allBytes / 1048576.0 / all);
}
