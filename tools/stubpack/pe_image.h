// Reading PE headers, and the headers of a stub with one resource section appended.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/stubpack/bytes.h"

namespace stubpack {

constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint64_t kResourceFileAlignment = 4096;  // Wine maps such raw data instead of reading it

struct PeSection {
  std::string name;
  uint32_t virtual_address = 0, virtual_size = 0;
  uint32_t raw_offset = 0, raw_size = 0;
};

struct PeHeaders {
  uint32_t pe_offset = 0;        // "PE\0\0"
  uint32_t optional_offset = 0;  // the optional header
  uint16_t machine = 0, characteristics = 0, subsystem = 0;
  uint16_t magic = 0;  // 0x10B for a 32-bit image (PE32), 0x20B for a 64-bit one (PE32+)
  bool Is32Bit() const { return magic == 0x10B; }
  uint32_t section_alignment = 0, file_alignment = 0, size_of_image = 0, size_of_headers = 0;
  uint32_t directory_count = 0;
  uint32_t section_table_offset = 0;
  std::vector<PeSection> sections;
  uint32_t DirectoryRva(uint32_t index, const Bytes& headers) const;
  uint32_t DirectorySize(uint32_t index, const Bytes& headers) const;
  uint32_t DirectoryOffset(uint32_t index) const;  // file offset of the entry
  // The file offset of `rva`, or false when no section holds it with raw data.
  bool RvaToOffset(uint32_t rva, uint64_t& offset) const;
};

// Parses the headers at the start of a file (`headers` holds at least its first 4096 bytes or
// the whole file when shorter). `problem` says which rule failed.
bool ParsePe(const Bytes& headers, PeHeaders& pe, std::string& problem);

// Reads a file's first bytes: enough for its headers.
bool ReadHead(const std::string& path, Bytes& head, uint64_t& file_size, std::string& problem);

// The stub as the packer needs it: a 64-bit GUI executable with no resources, no signature and
// nothing after its last section, with room for one more section header.
struct StubImage {
  Bytes headers;  // its first size_of_headers bytes
  PeHeaders pe;
  uint64_t file_size = 0;
  uint32_t next_rva = 0;  // where an appended section starts in memory
};
bool ReadStubImage(const std::string& path, StubImage& stub, std::string& problem);

// The stub's headers with a ".rsrc" section added and the image's size, the initialised-data
// size and the resource directory updated; the checksum field is left 0 for the caller.
Bytes PackedHeaders(const StubImage& stub, uint32_t rsrc_rva, uint32_t rsrc_size,
                    uint32_t rsrc_offset, uint32_t rsrc_raw_size, uint32_t& checksum_offset);

// The PE checksum, fed with the file's bytes in order (the checksum field itself as zeros).
class PeChecksum {
 public:
  void Add(const uint8_t* data, size_t size);
  uint32_t Finish(uint64_t file_size) const;

 private:
  uint64_t sum_ = 0;
  bool odd_ = false;  // an odd byte count so far: the next byte is a high half
};

}  // namespace stubpack
