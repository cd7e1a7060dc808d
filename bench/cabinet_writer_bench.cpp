// The packer's cabinet writer alone: setup's bytes in per second of wall time, on a 200 MB
// incompressible setup (every block stored) and a 7 MB one that compresses to about half (every
// block deflated), made here from fixed seeds. Prints, for each, the cabinet's size and the
// median and best of RUNS writes. Not a test; bench/cabinet_writer.sh builds and runs it.
//
//   cabinet-writer-bench WORK_DIRECTORY RUNS
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tools/stubpack/cabinet.h"

namespace {

struct Setup {
  const char* name;
  uint64_t size;
  bool nibbles;  // bytes of 16 values (4 bits of entropy each), else random bytes
};

bool Make(const Setup& s, const std::string& path) {
  std::mt19937_64 random(s.size);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> chunk(1 << 20);
  for (uint64_t left = s.size; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), left));
    for (size_t i = 0; i < n; i += 8) {
      uint64_t word = random();
      if (s.nibbles) word = (word & 0x0F0F0F0F0F0F0F0FULL) | 0x6060606060606060ULL;
      for (size_t j = 0; j < 8 && i + j < n; ++j) chunk[i + j] = static_cast<char>(word >> (8 * j));
    }
    out.write(chunk.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::atoi(argv[2]) < 1) {
    std::fprintf(stderr, "usage: cabinet-writer-bench WORK_DIRECTORY RUNS\n");
    return 2;
  }
  const std::string work = argv[1];
  const int runs = std::atoi(argv[2]);
  const Setup setups[] = {{"incompressible", 200000000, false},
                          {"half-compressible", 7000000, true}};
  std::printf(
      "| setup | bytes | cabinet bytes | median s | best s | MB/s (median) | MB/s (best) |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
  for (const Setup& s : setups) {
    const std::string setup = work + "/" + s.name + ".bin", cabinet = work + "/" + s.name + ".cab";
    if (!Make(s, setup)) {
      std::fprintf(stderr, "cannot write %s\n", setup.c_str());
      return 1;
    }
    std::vector<double> seconds;
    for (int run = 0; run < runs; ++run) {
      std::string problem;
      const auto start = std::chrono::steady_clock::now();
      const auto outcome = stubpack::WriteSetupCabinet(setup, cabinet, 1780000000, problem);
      const auto end = std::chrono::steady_clock::now();
      if (outcome != stubpack::CabinetOutcome::kWritten) {
        std::fprintf(stderr, "%s: %s\n", setup.c_str(), problem.c_str());
        return 1;
      }
      seconds.push_back(std::chrono::duration<double>(end - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    const double median = seconds[seconds.size() / 2], best = seconds.front();
    std::ifstream written(cabinet, std::ios::binary | std::ios::ate);
    std::printf("| %s | %llu | %lld | %.3f | %.3f | %.1f | %.1f |\n", s.name,
                static_cast<unsigned long long>(s.size), static_cast<long long>(written.tellg()),
                median, best, s.size / median / 1e6, s.size / best / 1e6);
    std::remove(setup.c_str());
    std::remove(cabinet.c_str());
  }
  return 0;
}
