// A whole file mapped read-only: inspect and the layout checks read resources in place, so a
// large archive costs address space, not memory.
#pragma once

#include <cstdint>
#include <string>

namespace stubpack {

class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  bool Open(const std::string& path, std::string& problem);
  const uint8_t* Data() const { return data_; }
  uint64_t Size() const { return size_; }

 private:
  const uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
};

}  // namespace stubpack
