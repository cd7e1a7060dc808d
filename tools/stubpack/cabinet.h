// setup.exe as a one-file MSZIP cabinet, written by our own code on zlib so that every build of
// the packer writes the same bytes; cabinet_reader.h reads it back.
#pragma once

#include <cstdint>
#include <string>

#include "tools/stubpack/bytes.h"
#include "tools/stubpack/cabinet_reader.h"

namespace stubpack {

struct DosDateTime {
  uint16_t date = 0, time = 0;
};

// The DOS date and time of `seconds` since 1970 read in UTC; 1980-01-01 00:00:00 for anything
// earlier, 2107-12-31 23:59:58 for anything later.
DosDateTime DosDateTimeFromUnix(int64_t seconds);

// The largest setup one cabinet folder holds: 65535 data blocks of 32 KiB.
constexpr uint64_t kMaxCabinetSetupBytes = uint64_t{0xFFFF} * 32768;

enum class CabinetOutcome {
  kWritten,
  kTooLarge,  // setup is larger than kMaxCabinetSetupBytes; nothing written
  kFailed,    // reading setup or writing the cabinet failed
};

// Writes `cabinet_path`: one folder, MSZIP, one file "setup.exe" with the bytes of
// `setup_path`, the given date and time and attributes 0. `problem` says why when it is not
// written.
CabinetOutcome WriteSetupCabinet(const std::string& setup_path, const std::string& cabinet_path,
                                 int64_t seconds, std::string& problem);

}  // namespace stubpack
