// The resource section: identifiers as the loader compares them, the directory in the order its
// binary search expects, and the data streamed behind it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/stubpack/bytes.h"

namespace stubpack {

constexpr uint16_t kLanguageUsEnglish = 1033;

struct ResourceId {
  bool is_number = false;
  uint16_t number = 0;
  std::u16string name;  // as stored: in capitals

  static ResourceId Number(uint16_t number);
  static ResourceId Name(const std::u16string& name);  // capitalises
  std::string Display() const;                         // UTF-8, numbers as "#N"
};

// At every level named entries come first, in ascending order of their UTF-16 units, then
// numbered ones in ascending order.
bool operator<(const ResourceId& a, const ResourceId& b);
bool operator==(const ResourceId& a, const ResourceId& b);

// Capitals as resource compilers store them and FindResourceW looks them up.
std::u16string Capitalise(const std::u16string& text);

// A command-line identifier: 1 to 65535 in decimal is a number, anything else a name.
bool ParseResourceId(const std::string& text, ResourceId& id, std::string& problem);

struct ResourceEntry {
  ResourceId type;
  ResourceId name;
  uint16_t language = kLanguageUsEnglish;
  Bytes bytes;       // the data, when `path` is empty
  std::string path;  // else the data is streamed from this file
  uint64_t size = 0;
  std::string origin;  // what gave it, for messages
};

struct SectionLayout {
  Bytes directory;                    // tables, data entries and names, padded to 8
  std::vector<uint64_t> data_offset;  // per entry, from the section's start
  uint64_t size = 0;                  // the section's bytes without the final file padding
};

// `entries` sorted by type and name, unique. Data entries hold RVAs, hence `section_rva`.
SectionLayout LayOutSection(const std::vector<ResourceEntry>& entries, uint32_t section_rva);

}  // namespace stubpack
