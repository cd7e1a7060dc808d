#include "tools/stubpack/resource_directory.h"

#include <algorithm>

namespace stubpack {

bool ResourceDirectoryReader::Fits(uint64_t at, uint64_t length) {
  if (base + at + length > size) {
    problem = "the resource directory points beyond the end of the file";
    return false;
  }
  return true;
}

bool ResourceDirectoryReader::Id(uint32_t field, ResourceId& id) {
  if (!(field & 0x80000000)) {
    id = ResourceId::Number(static_cast<uint16_t>(field));
    return true;
  }
  const uint64_t at = field & 0x7FFFFFFF;
  if (!Fits(at, 2)) return false;
  const uint32_t units = GetU16(file + base + at);
  if (!Fits(at + 2, 2 * uint64_t{units})) return false;
  // Entries may share a name's bytes, so a small directory could make its readers copy one long
  // name without end; real directories never read more name bytes than the file holds.
  name_bytes += 2 * uint64_t{units};
  if (name_bytes > size) {
    problem = "the resource directory's names add up to more bytes than the file holds";
    return false;
  }
  id = ResourceId();
  for (uint32_t i = 0; i < units; ++i) id.name.push_back(GetU16(file + base + at + 2 + 2 * i));
  return true;
}

bool ResourceDirectoryReader::Table(uint64_t at, std::vector<Entry>& entries) {
  if (!Fits(at, 16)) return false;
  const uint32_t count = uint32_t{GetU16(file + base + at + 12)} + GetU16(file + base + at + 14);
  if (!Fits(at + 16, 8 * uint64_t{count})) return false;
  entries.clear();
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = file + base + at + 16 + 8 * i;
    Entry entry;
    if (!Id(GetU32(e), entry.id)) return false;
    entry.target = GetU32(e + 4);
    entries.push_back(entry);
  }
  return true;
}

bool ResourceDirectoryReader::Leaf(uint64_t at, const std::string& what, Data& data) {
  if (!Fits(at, 16)) return false;
  const uint8_t* entry = file + base + at;
  data.size = GetU32(entry + 4);
  data.code_page = GetU32(entry + 8);
  if (!pe.RvaToOffset(GetU32(entry), data.offset) || data.offset + data.size > size) {
    problem = "resource " + what + ": its data lies outside the file";
    return false;
  }
  return true;
}

bool OpenResourceDirectory(const uint8_t* file, uint64_t size, ResourceDirectoryReader& reader,
                           std::string& problem) {
  reader = ResourceDirectoryReader();
  reader.file = file;
  reader.size = size;
  Bytes head(file, file + std::min<uint64_t>(size, 65536));
  if (!ParsePe(head, reader.pe, problem)) return false;
  if (reader.pe.magic != 0x20B && reader.pe.magic != 0x10B) {
    problem = "not a PE executable: unknown optional header";
    return false;
  }
  const uint32_t rva = reader.pe.DirectoryRva(kResourceDirectory, head);
  if (rva == 0 || reader.pe.DirectorySize(kResourceDirectory, head) == 0) return true;
  if (!reader.pe.RvaToOffset(rva, reader.base)) {
    problem = "the resource directory lies outside every section's raw data";
    return false;
  }
  reader.present = true;
  return true;
}

}  // namespace stubpack
