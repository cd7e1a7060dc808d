// Reading the resource directory of a PE file in memory: its tables, identifiers and data
// entries, each checked against the file's end before it is read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/stubpack/pe_image.h"
#include "tools/stubpack/resource_tree.h"

namespace stubpack {

struct ResourceDirectoryReader {
  const uint8_t* file = nullptr;
  uint64_t size = 0;
  PeHeaders pe;
  bool present = false;     // false: the image has no resource directory
  uint64_t base = 0;        // file offset of the directory's start
  std::string problem;      // what the last failed read met
  uint64_t name_bytes = 0;  // of every name read so far

  struct Entry {
    ResourceId id;  // kept as stored: small letters matter to the loader
    uint32_t target;
    bool IsTable() const { return (target & 0x80000000) != 0; }
    uint32_t Offset() const { return target & 0x7FFFFFFF; }
  };
  // The entries of the table `at` bytes from the directory's start (the root is at 0).
  bool Table(uint64_t at, std::vector<Entry>& entries);

  struct Data {
    uint64_t offset = 0;  // in the file
    uint32_t size = 0, code_page = 0;
  };
  // The data entry `at` bytes from the directory's start; `what` names it in a problem.
  bool Leaf(uint64_t at, const std::string& what, Data& data);

 private:
  bool Fits(uint64_t at, uint64_t length);
  bool Id(uint32_t field, ResourceId& id);
};

// Reads the headers of the PE file `file` and finds its resource directory; false with `problem`
// when the file is no PE image or the directory lies outside every section's raw data.
bool OpenResourceDirectory(const uint8_t* file, uint64_t size, ResourceDirectoryReader& reader,
                           std::string& problem);

}  // namespace stubpack
