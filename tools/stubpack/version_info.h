// Reading a version resource (RT_VERSION): the fixed part, the string tables and the
// translations, each node checked against the block's size before it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace stubpack {

struct VersionString {
  std::string key, value;  // UTF-8
};

struct VersionTable {
  std::string name;  // as stored, e.g. "040904b0": language and code page in hexadecimal
  std::vector<VersionString> strings;
};

struct VersionInfo {
  bool has_fixed = false;  // a fixed part (VS_FIXEDFILEINFO) with its signature
  uint16_t file_version[4] = {}, product_version[4] = {};
  uint32_t file_flags_mask = 0, file_flags = 0, file_os = 0, file_type = 0, file_subtype = 0;
  std::vector<VersionTable> tables;    // StringFileInfo's, in the block's order
  std::vector<uint32_t> translations;  // VarFileInfo/Translation: language << 16 | code page
};

// Reads the block `data` of `size` bytes (a version resource's data). False with a one-line
// `problem` for a block that cannot be read with certainty: a node whose length is odd, too
// short or reaches beyond its parent, a key without its terminator, a fixed part without its
// signature, a text value without a terminator.
bool ReadVersionInfo(const uint8_t* data, size_t size, VersionInfo& info, std::string& problem);

// The version resource of the PE file `image` (RT_VERSION 1, its first language, which is what
// the block's readers find), never read beyond `size`. `present` is false when the image has
// none; false with `problem` when the headers, the directory or the block cannot be read.
bool ReadImageVersionInfo(const uint8_t* image, uint64_t size, VersionInfo& info, bool& present,
                          std::string& problem);

// The table that users see: the one the first translation names, else "040904b0" (US English,
// Unicode), else the first; null when there is none.
const VersionTable* ChosenTable(const VersionInfo& info);

// The value of `key` in `table` (null when it is absent).
const std::string* FindVersionString(const VersionTable& table, const std::string& key);

}  // namespace stubpack
