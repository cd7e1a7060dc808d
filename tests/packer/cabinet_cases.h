// The table of setups that the packer's cabinet writer is checked on, each read back by three
// independent readers: gcab, cabextract (host) and the system's cabinet.dll (Wine).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tests/packer/packer_fixture.h"

namespace packer_tests {

enum class SetupContent {
  kRandom,   // incompressible: deflate cannot shrink a block, so each is stored
  kNibbles,  // bytes of 16 values, 4 bits of entropy each: compresses to about half
  // 48 KiB runs of each in turn, so that stored and deflated blocks follow one another and some
  // blocks hold both, as in a program with compressed resources
  kAlternating,
};

struct CabinetCase {
  const char* name;
  uint64_t size;
  SetupContent content;
  int64_t seconds;  // setup's date, seconds since 1970
  // What every reader must report: the date and time in UTC as "YYYY-MM-DD HH:MM:SS", DOS's
  // two-second steps and range applied.
  const char* date;
};
const std::vector<CabinetCase>& CabinetCases();
inline void PrintTo(const CabinetCase& c, std::ostream* out) { *out << c.name; }

// Writes the case's setup at `path`, made at test time from a seed of the case's own, in chunks
// (the largest is 200 MB).
void MakeSetup(const CabinetCase& c, const fs::path& path);

// Empty when both files hold the same bytes, else where they first differ.
std::string CompareFiles(const fs::path& expected, const fs::path& actual);

}  // namespace packer_tests
