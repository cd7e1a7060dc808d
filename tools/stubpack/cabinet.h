// setup.exe as a one-file MSZIP cabinet, written by libgcab, and read back.
#pragma once

#include <cstdint>
#include <string>

#include "tools/stubpack/bytes.h"

namespace stubpack {

struct DosDateTime {
  uint16_t date = 0, time = 0;
};

// The DOS date and time of `seconds` since 1970 read in UTC; 1980-01-01 00:00:00 for anything
// earlier, 2107-12-31 23:59:58 for anything later.
DosDateTime DosDateTimeFromUnix(int64_t seconds);

// Writes `cabinet_path`: one folder, MSZIP, one file "setup.exe" with the bytes of
// `setup_path`, the given date and time and attributes 0.
bool WriteSetupCabinet(const std::string& setup_path, const std::string& cabinet_path,
                       int64_t seconds, std::string& problem);

// What is wrong with `data` as a cabinet that the platform's cabinet library expands into
// one whole file, or an empty text: the header, the first file and every data block of its
// folder, with their checksums.
std::string CabinetProblem(const uint8_t* data, uint64_t size);

// The first file of a cabinet that CabinetProblem passes, expanded into `file`. False with
// `problem` when a data block does not expand to the size it claims (what the stub's
// expansion would meet too), or with `unsupported` set as well when the folder's compression is
// one the packer does not expand (Quantum, LZX).
bool ExpandFirstFile(const uint8_t* data, uint64_t size, Bytes& file, bool& unsupported,
                     std::string& problem);

}  // namespace stubpack
