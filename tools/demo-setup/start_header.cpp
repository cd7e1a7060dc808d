#include "tools/demo-setup/start_header.h"

namespace {

constexpr uint8_t kSignature[6] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};

uint64_t ReadLittleEndian(const uint8_t* bytes, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

uint32_t Crc32(const uint8_t* bytes, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

StartHeader CheckStartHeader(const uint8_t* bytes, size_t size) {
  StartHeader header;
  if (bytes == nullptr || size < kStartHeaderSize) return header;
  for (size_t i = 0; i < sizeof(kSignature); ++i) {
    if (bytes[i] != kSignature[i]) {
      header.verdict = StartHeaderVerdict::kBadSignature;
      return header;
    }
  }
  header.version_major = bytes[6];
  header.version_minor = bytes[7];
  header.stored_crc = static_cast<uint32_t>(ReadLittleEndian(bytes + 8, 4));
  header.next_header_offset = ReadLittleEndian(bytes + 12, 8);
  header.next_header_size = ReadLittleEndian(bytes + 20, 8);
  header.computed_crc = Crc32(bytes + 12, 20);
  header.verdict = header.stored_crc == header.computed_crc ? StartHeaderVerdict::kValid
                                                            : StartHeaderVerdict::kCrcMismatch;
  return header;
}
