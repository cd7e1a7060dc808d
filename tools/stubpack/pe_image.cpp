#include "tools/stubpack/pe_image.h"

#include <algorithm>
#include <cstring>

#include "tools/stubpack/system.h"

namespace stubpack {

namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32 = 0x10B;
constexpr uint16_t kPe32Plus = 0x20B;
constexpr uint16_t kExecutableImage = 0x0002;
constexpr uint16_t kDll = 0x2000;
constexpr uint16_t kSubsystemWindowsGui = 2;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kInitializedDataReadOnly = 0x40000040;  // CNT_INITIALIZED_DATA | MEM_READ

}  // namespace

uint32_t PeHeaders::DirectoryOffset(uint32_t index) const {
  // The directories follow 112 bytes of fields in PE32+, 96 in PE32.
  return optional_offset + (magic == kPe32 ? 96 : 112) + 8 * index;
}
uint32_t PeHeaders::DirectoryRva(uint32_t index, const Bytes& headers) const {
  return index < directory_count ? GetU32(&headers[DirectoryOffset(index)]) : 0;
}
uint32_t PeHeaders::DirectorySize(uint32_t index, const Bytes& headers) const {
  return index < directory_count ? GetU32(&headers[DirectoryOffset(index) + 4]) : 0;
}

bool PeHeaders::RvaToOffset(uint32_t rva, uint64_t& offset) const {
  for (const PeSection& s : sections) {
    if (rva >= s.virtual_address && rva - s.virtual_address < s.raw_size) {
      offset = uint64_t{s.raw_offset} + (rva - s.virtual_address);
      return true;
    }
  }
  return false;
}

bool ParsePe(const Bytes& h, PeHeaders& pe, std::string& problem) {
  if (h.size() < 64 || h[0] != 'M' || h[1] != 'Z') {
    problem = "not a PE executable: no \"MZ\" header";
    return false;
  }
  pe.pe_offset = GetU32(&h[0x3C]);
  if (uint64_t{pe.pe_offset} + 24 > h.size() || std::memcmp(&h[pe.pe_offset], "PE\0\0", 4) != 0) {
    problem = "not a PE executable: no \"PE\" signature where the DOS header points";
    return false;
  }
  const uint8_t* file_header = &h[pe.pe_offset + 4];
  pe.machine = GetU16(file_header);
  const uint16_t section_count = GetU16(file_header + 2);
  const uint16_t optional_size = GetU16(file_header + 16);
  pe.characteristics = GetU16(file_header + 18);
  pe.optional_offset = pe.pe_offset + 24;
  pe.section_table_offset = pe.optional_offset + optional_size;
  if (optional_size < 2 || uint64_t{pe.optional_offset} + optional_size > h.size()) {
    problem = "not a PE executable: the optional header is cut short";
    return false;
  }
  pe.magic = GetU16(&h[pe.optional_offset]);
  if (pe.magic == kPe32Plus || pe.magic == kPe32) {
    // The fields up to the subsystem sit alike in both; PE32+ widens the four sizes after them.
    const uint32_t fields = pe.magic == kPe32Plus ? 112 : 96;
    if (optional_size < fields) {
      problem = "not a PE executable: the optional header is cut short";
      return false;
    }
    const uint8_t* o = &h[pe.optional_offset];
    pe.section_alignment = GetU32(o + 32);
    pe.file_alignment = GetU32(o + 36);
    pe.size_of_image = GetU32(o + 56);
    pe.size_of_headers = GetU32(o + 60);
    pe.subsystem = GetU16(o + 68);
    pe.directory_count = GetU32(o + fields - 4);
    if (fields + uint64_t{pe.directory_count} * 8 > optional_size) {
      problem = "not a PE executable: more data directories than the optional header holds";
      return false;
    }
  }
  if (uint64_t{pe.section_table_offset} + uint64_t{section_count} * kSectionHeaderSize > h.size()) {
    problem = "not a PE executable: the section table is cut short";
    return false;
  }
  pe.sections.clear();
  for (uint32_t i = 0; i < section_count; ++i) {
    const uint8_t* s = &h[pe.section_table_offset + i * kSectionHeaderSize];
    PeSection section;
    section.name.assign(reinterpret_cast<const char*>(s),
                        strnlen(reinterpret_cast<const char*>(s), 8));
    section.virtual_size = GetU32(s + 8);
    section.virtual_address = GetU32(s + 12);
    section.raw_size = GetU32(s + 16);
    section.raw_offset = GetU32(s + 20);
    pe.sections.push_back(section);
  }
  return true;
}

bool ReadHead(const std::string& path, Bytes& head, uint64_t& file_size, std::string& problem) {
  sys::File file;
  if (!file.OpenRead(path, problem)) return false;
  if (!file.Size(file_size, problem)) {
    problem = "cannot be read: " + problem;
    return false;
  }
  head.assign(static_cast<size_t>(std::min<uint64_t>(file_size, 65536)), 0);
  size_t done = 0;
  while (done < head.size()) {
    const int64_t got = file.ReadAt(done, head.data() + done, head.size() - done, problem);
    if (got <= 0) {
      problem = "cannot be read: " + (got < 0 ? problem : std::string("cut short"));
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

bool ReadStubImage(const std::string& path, StubImage& stub, std::string& problem) {
  Bytes head;
  if (!ReadHead(path, head, stub.file_size, problem)) return false;
  PeHeaders& pe = stub.pe;
  if (!ParsePe(head, pe, problem)) return false;
  const auto refuse = [&](const std::string& rule) {
    problem = "not a stub.exe: " + rule;
    return false;
  };
  if (pe.machine != kMachineAmd64 || pe.magic != kPe32Plus)
    return refuse("a stub is a 64-bit (x86-64, PE32+) image");
  if (!(pe.characteristics & kExecutableImage) || (pe.characteristics & kDll))
    return refuse("a stub is an executable, not a library");
  if (pe.subsystem != kSubsystemWindowsGui) return refuse("a stub is built for the GUI subsystem");
  if (pe.sections.empty()) return refuse("it has no sections");
  if (pe.section_alignment == 0 || pe.file_alignment == 0 ||
      kResourceFileAlignment % pe.file_alignment != 0 || pe.size_of_headers > head.size())
    return refuse("its alignments or header size are not those of a linked image");
  if (pe.directory_count <= kSecurityDirectory)
    return refuse("its header has no resource or security directory entries");
  if (pe.DirectoryRva(kResourceDirectory, head) != 0 ||
      pe.DirectorySize(kResourceDirectory, head) != 0)
    return refuse("it has resources already (packed before?)");
  if (pe.DirectoryRva(kSecurityDirectory, head) != 0 ||
      pe.DirectorySize(kSecurityDirectory, head) != 0)
    return refuse("it is signed already");
  uint64_t raw_end = pe.size_of_headers;
  uint64_t first_raw = UINT64_MAX;
  uint64_t virtual_end = 0;
  for (const PeSection& s : pe.sections) {
    if (s.name == ".rsrc") return refuse("it has a resource section already");
    if (s.raw_size != 0) {
      raw_end = std::max<uint64_t>(raw_end, uint64_t{s.raw_offset} + s.raw_size);
      first_raw = std::min<uint64_t>(first_raw, s.raw_offset);
    }
    virtual_end = std::max<uint64_t>(
        virtual_end, uint64_t{s.virtual_address} + std::max(s.virtual_size, s.raw_size));
  }
  if (raw_end != stub.file_size) return refuse("bytes follow its last section");
  const uint64_t table_end = pe.section_table_offset + (uint64_t{pe.sections.size()} + 1) * 40;
  if (table_end > pe.size_of_headers || table_end > first_raw)
    return refuse("its headers have no room for one more section header");
  stub.next_rva = static_cast<uint32_t>(AlignUp(virtual_end, pe.section_alignment));
  stub.headers.assign(head.begin(), head.begin() + pe.size_of_headers);
  return true;
}

Bytes PackedHeaders(const StubImage& stub, uint32_t rsrc_rva, uint32_t rsrc_size,
                    uint32_t rsrc_offset, uint32_t rsrc_raw_size, uint32_t& checksum_offset) {
  Bytes h = stub.headers;
  const PeHeaders& pe = stub.pe;
  uint8_t* file_header = &h[pe.pe_offset + 4];
  SetU16(file_header + 2, static_cast<uint32_t>(pe.sections.size() + 1));
  uint8_t* o = &h[pe.optional_offset];
  SetU32(o + 8, GetU32(o + 8) + rsrc_raw_size);  // SizeOfInitializedData
  SetU32(o + 56,
         static_cast<uint32_t>(AlignUp(uint64_t{rsrc_rva} + rsrc_size, pe.section_alignment)));
  checksum_offset = pe.optional_offset + 64;
  SetU32(&h[checksum_offset], 0);
  SetU32(&h[pe.DirectoryOffset(kResourceDirectory)], rsrc_rva);
  SetU32(&h[pe.DirectoryOffset(kResourceDirectory) + 4], rsrc_size);

  uint8_t* s = &h[pe.section_table_offset + pe.sections.size() * 40];
  std::memset(s, 0, 40);
  std::memcpy(s, ".rsrc", 5);
  SetU32(s + 8, rsrc_size);
  SetU32(s + 12, rsrc_rva);
  SetU32(s + 16, rsrc_raw_size);
  SetU32(s + 20, rsrc_offset);
  SetU32(s + 36, kInitializedDataReadOnly);
  return h;
}

void PeChecksum::Add(const uint8_t* data, size_t size) {
  // End-around-carry sums of 16-bit words can be gathered in a wider accumulator and folded
  // at the end; that keeps the pass over a large payload near the speed of reading it.
  size_t i = 0;
  if (odd_ && size > 0) {
    sum_ += uint64_t{data[0]} << 8;
    i = 1;
    odd_ = false;
  }
  for (; i + 8 <= size; i += 8) {
    uint32_t low, high;
    std::memcpy(&low, data + i, 4);
    std::memcpy(&high, data + i + 4, 4);
    sum_ += uint64_t{low} + high;  // at most 2^33 per step: no overflow before 2^30 steps
    if (sum_ >> 60) sum_ = (sum_ & 0xFFFFFFFF) + (sum_ >> 32);
  }
  for (; i + 2 <= size; i += 2) sum_ += GetU16(data + i);
  if (i < size) {
    sum_ += data[i];
    odd_ = true;
  }
}

uint32_t PeChecksum::Finish(uint64_t file_size) const {
  uint64_t sum = sum_;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + file_size);
}

}  // namespace stubpack
