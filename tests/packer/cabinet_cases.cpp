#include "tests/packer/cabinet_cases.h"

#include <algorithm>
#include <fstream>
#include <random>

namespace packer_tests {

const std::vector<CabinetCase>& CabinetCases() {
  constexpr int64_t kPacked = 1780000000;  // kEpoch, 2026-05-28 20:26:40 UTC
  constexpr const char* kPackedDate = "2026-05-28 20:26:40";
  using C = SetupContent;
  static const std::vector<CabinetCase> cases = {
      // Sizes around the 32 KiB block; the 200 MB one is the streaming row.
      {"Empty", 0, C::kRandom, kPacked, kPackedDate},
      {"OneByte", 1, C::kRandom, kPacked, kPackedDate},
      {"OneWholeBlock", 32768, C::kRandom, kPacked, kPackedDate},
      {"OneBlockAndOneByte", 32769, C::kRandom, kPacked, kPackedDate},
      {"HalfCompressible7MB", 7000000, C::kNibbles, kPacked, kPackedDate},
      {"Incompressible200MB", 200000000, C::kRandom, kPacked, kPackedDate},
      {"StoredAndDeflatedBlocksInTurn", 1000000, C::kAlternating, kPacked, kPackedDate},
      // Dates: the ends of DOS's range, the clamps beyond them, leap days, odd seconds.
      {"FirstDosSecond", 1000, C::kNibbles, 315532800, "1980-01-01 00:00:00"},
      {"Before1980Clamps", 1000, C::kNibbles, 315532799, "1980-01-01 00:00:00"},
      {"Before1970Clamps", 1000, C::kNibbles, -86400, "1980-01-01 00:00:00"},
      {"LeapDayLastOddSecond", 1000, C::kNibbles, 1709251199, "2024-02-29 23:59:58"},
      {"CenturyLeapDay", 1000, C::kNibbles, 951827697, "2000-02-29 12:34:56"},
      {"LastDosSecond", 1000, C::kNibbles, 4354819198, "2107-12-31 23:59:58"},
      {"After2107Clamps", 1000, C::kNibbles, 4354819200 + 86400LL * 400, "2107-12-31 23:59:58"},
  };
  return cases;
}

void MakeSetup(const CabinetCase& c, const fs::path& path) {
  std::mt19937_64 random(c.size * 31 + static_cast<uint64_t>(c.seconds));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> chunk(1 << 20);
  for (uint64_t left = c.size; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), left));
    const uint64_t done = c.size - left;
    for (size_t i = 0; i < n; i += 8) {
      uint64_t word = random();
      const bool nibbles = c.content == SetupContent::kNibbles ||
                           (c.content == SetupContent::kAlternating && (done + i) / 49152 % 2 == 1);
      if (nibbles) word = (word & 0x0F0F0F0F0F0F0F0FULL) | 0x6060606060606060ULL;
      for (size_t j = 0; j < 8 && i + j < n; ++j) chunk[i + j] = static_cast<char>(word >> (8 * j));
    }
    out.write(chunk.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string CompareFiles(const fs::path& expected, const fs::path& actual) {
  std::ifstream a(expected, std::ios::binary), b(actual, std::ios::binary);
  if (!b) return actual.string() + " is missing";
  std::vector<char> x(1 << 20), y(1 << 20);
  for (uint64_t at = 0;;) {
    a.read(x.data(), static_cast<std::streamsize>(x.size()));
    b.read(y.data(), static_cast<std::streamsize>(y.size()));
    const size_t n = static_cast<size_t>(a.gcount()), m = static_cast<size_t>(b.gcount());
    const size_t common = std::min(n, m);
    const auto differ = std::mismatch(x.begin(), x.begin() + common, y.begin());
    if (differ.first != x.begin() + common)
      return "they differ at byte " + std::to_string(at + (differ.first - x.begin()));
    if (n != m) return "they differ in size after " + std::to_string(at + common) + " bytes";
    if (n == 0) return {};
    at += n;
  }
}

}  // namespace packer_tests
