// The fixed 32-byte start header of a 7z archive: signature, version, and the CRC32 that covers
// the next header's offset, size and CRC.
#pragma once

#include <cstddef>
#include <cstdint>

enum class StartHeaderVerdict { kValid, kTooShort, kBadSignature, kCrcMismatch };

struct StartHeader {
  StartHeaderVerdict verdict = StartHeaderVerdict::kTooShort;
  uint8_t version_major = 0;
  uint8_t version_minor = 0;
  uint32_t stored_crc = 0;    // bytes 8-11
  uint32_t computed_crc = 0;  // over bytes 12-31
  uint64_t next_header_offset = 0;
  uint64_t next_header_size = 0;
};

constexpr size_t kStartHeaderSize = 32;

// The standard reflected CRC32 (polynomial 0xEDB88320), as 7z and zip use it.
uint32_t Crc32(const uint8_t* bytes, size_t size);

// Reads the start header at the front of `bytes`; the fields after the signature are filled only
// when the signature matched.
StartHeader CheckStartHeader(const uint8_t* bytes, size_t size);
