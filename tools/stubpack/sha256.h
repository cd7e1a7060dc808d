// SHA-256 (FIPS 180-4) of our own: the packer also builds for Windows, where no crypto library
// is at hand, and it hashes each installer it writes and each resource inspect lists.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace stubpack {

struct Sha256 {
  uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  uint64_t length = 0;  // bytes added
  uint8_t block[64] = {};
  size_t used = 0;  // bytes of `block` waiting for the rest of it
};

void Sha256Add(Sha256& hash, const uint8_t* data, size_t size);
// The digest; `hash` is spent.
std::array<uint8_t, 32> Sha256Finish(Sha256& hash);
// Lowercase hex, as sha256sum prints it.
std::string Sha256Hex(const uint8_t* data, size_t size);
std::string HexDigest(const std::array<uint8_t, 32>& digest);

// Whether the processor's SHA instructions are used; for tests, the portable rounds can be forced
// so that both are checked on one machine.
bool Sha256HasExtensions();
void Sha256ForcePortable(bool force);

}  // namespace stubpack
