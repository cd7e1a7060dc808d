// The first file of a cabinet, read back as the stub's expansion meets it: the packer's reader of
// setup's cabinet, with zlib and no more, so that it can be built for fuzzing on its own.
#pragma once

#include <cstdint>
#include <string>

#include "tools/stubpack/bytes.h"

namespace stubpack {

// The checksum that the cabinet format keeps for each data block: a XOR of 32-bit words, the
// last one to three bytes taken most significant first, starting from `seed`.
uint32_t CabinetBlockChecksum(const uint8_t* data, size_t size, uint32_t seed);

// What is wrong with `data` as a cabinet that the platform's cabinet library expands into
// one whole file, or an empty text: the header, the first file and every data block of its
// folder, with their checksums.
std::string CabinetProblem(const uint8_t* data, uint64_t size);

// The first file of a cabinet that CabinetProblem passes, expanded: its first `keep` bytes into
// `file` (all of it when shorter), its size as the cabinet declares it into `file_size`. Every
// block up to the file's end is expanded and checked all the same, the part beyond `keep` only
// passing through a 32 KiB window, so memory stays bounded whatever the cabinet claims. False
// with `problem` when a data block does not expand to the size it claims (what the stub's
// expansion would meet too), or with `unsupported` set as well when the folder's compression is
// one the packer does not expand (Quantum, LZX).
bool ExpandFirstFile(const uint8_t* data, uint64_t size, uint64_t keep, Bytes& file,
                     uint64_t& file_size, bool& unsupported, std::string& problem);
// The same, keeping the whole file.
inline bool ExpandFirstFile(const uint8_t* data, uint64_t size, Bytes& file, bool& unsupported,
                            std::string& problem) {
  uint64_t file_size = 0;
  return ExpandFirstFile(data, size, UINT64_MAX, file, file_size, unsupported, problem);
}

}  // namespace stubpack
